// obx normals: facet normals and smoothed vertex normals.
#include "internal.h"

#include <tuple>

void obxCrossProduct(const float* u, const float* v, float* n) {
  OBX_ASSERT(u && v && n);
  n[0] = u[1] * v[2] - u[2] * v[1];
  n[1] = u[2] * v[0] - u[0] * v[2];
  n[2] = u[0] * v[1] - u[1] * v[0];
}

float obxDotProduct(const float* u, const float* v) {
  OBX_ASSERT(u && v);
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

void obxNormalizeVector(float* v) {
  OBX_ASSERT(v);
  float length = sqrtf(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (int k = 0; k < 3; k++) v[k] /= length;
}

// Allocation failures of the normal arrays are fatal: going on would write
// through a null pointer, and the caller has no error code to look at.
static float* obxAllocNormals(float* block, size_t count) {
  void* grown = realloc(block, 3 * sizeof(float) * (count + 1));
  if (!grown) throw std::bad_alloc();
  return static_cast<float*>(grown);
}

// The unit normal of the triangle p0 p1 p2 into n, or (0, 0, 0) for a
// triangle that has none: no area, or a corner that is not finite.
// Usual triangles take the float cross product; when its length is out of
// the comfortable range (tiny or huge edges, where the products underflow
// or overflow), it is taken again in double from edges scaled to their
// largest component, which neither underflows nor overflows.
// The float product and its length stay in registers and n is written
// once, in the arithmetic and order of obxCrossProduct and
// obxNormalizeVector, which the library's position-independent build does
// not inline: writing n and calling them read the stores straight back,
// which stalled and took half of the normals' time.
static void obxFacetNormal(const float* p0, const float* p1, const float* p2, float n[3]) {
  const float u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
  const float v[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
  const float w[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                      u[0] * v[1] - u[1] * v[0]};
  const float length2 = w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
  if (length2 >= 1e-30f && length2 <= 1e30f) {
    const float length = sqrtf(length2);
    for (int k = 0; k < 3; k++) n[k] = w[k] / length;
    return;
  }
  double a[3], b[3], largestA = 0, largestB = 0;
  for (int k = 0; k < 3; k++) {
    a[k] = double(p1[k]) - double(p0[k]);
    b[k] = double(p2[k]) - double(p0[k]);
    largestA = std::max(largestA, std::fabs(a[k]));
    largestB = std::max(largestB, std::fabs(b[k]));
  }
  n[0] = n[1] = n[2] = 0.0f;
  // Also false for NaN and infinity.
  if (!(largestA > 0 && largestA <= DBL_MAX && largestB > 0 && largestB <= DBL_MAX)) return;
  for (int k = 0; k < 3; k++) {
    a[k] /= largestA;
    b[k] /= largestB;
  }
  const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                       a[0] * b[1] - a[1] * b[0]};
  const double length = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
  if (!(length > 0)) return;
  for (int k = 0; k < 3; k++) n[k] = float(c[k] / length);
}

// A facet normal of a triangle with an area: not (0, 0, 0), all finite.
static bool obxHasDirection(const float* n) {
  return (n[0] != 0.0f || n[1] != 0.0f || n[2] != 0.0f) && std::isfinite(n[0]) &&
         std::isfinite(n[1]) && std::isfinite(n[2]);
}

void obxComputeFacetNormalsOn(ObxModel* model, ObxPool* pool) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  OBX_ASSERT(model->triangles || model->numtriangles == 0);
  // The new array first: when memory runs out the model keeps the old.
  float* facetnorms = obxCall([=] { return obxAllocNormals(NULL, model->numtriangles); });
  free(model->facetnorms);
  model->facetnorms = facetnorms;
  model->numfacetnorms = model->numtriangles;
  facetnorms[0] = facetnorms[1] = facetnorms[2] = 0.0f;
  // Four slices a thread (of 64Ki triangles at least), each thread putting
  // its pages in place.
  const uint32_t count = model->numtriangles;
  const uint32_t slice =
      pool ? std::max<uint32_t>(1u << 16, count / (4 * pool->threads()) + 1) : std::max(count, 1u);
  auto normals = [=](size_t k) {
    const uint32_t first = uint32_t(k) * slice, end = std::min(count, first + slice);
    obxPrefault(facetnorms + 3 * (size_t(first) + 1), facetnorms + 3 * (size_t(end) + 1));
    for (uint32_t i = first; i < end; i++) {
      ObxTriangle* triangle = &model->triangles[i];
      const float* corners[3];
      for (int j = 0; j < 3; j++) {
        OBX_ASSERT(triangle->vindices[j] <= model->numvertices);
        corners[j] = &model->vertices[3 * size_t(triangle->vindices[j])];
      }
      triangle->findex = i + 1;
      obxFacetNormal(corners[0], corners[1], corners[2], &facetnorms[3 * (size_t(i) + 1)]);
    }
  };
  const size_t slices = (size_t(count) + slice - 1) / slice;
  if (pool)
    pool->run(slices, normals);
  else
    for (size_t k = 0; k < slices; k++) normals(k);
}

void obxComputeFacetNormals(ObxModel* model) { obxComputeFacetNormalsOn(model, NULL); }

// Grows the capacity of model->normals (model->numnormals while
// obxVertexNormals runs) by step normals.
static void obxGrowNormals(ObxModel* model, uint32_t step) {
  // The capacity is a 32-bit count and OBX_NO_INDEX must stay out of reach;
  // stop rather than wrap around.
  if (model->numnormals > UINT32_MAX - 2 - step)
    obxFail("obxVertexNormals(): too many normals (%u+%u)", model->numnormals, step);
  // The count follows the block only once it has grown, so that a failure
  // leaves every index within the array.
  model->normals = obxAllocNormals(model->normals, size_t(model->numnormals) + step);
  model->numnormals += step;
}

// Returns an uninitialised block of count list nodes, or NULL. A fresh
// block of tens of megabytes costs one page fault per 4 KiB page, which
// dominated the run time on big meshes; huge pages cut that to a few.
static ObxNode* obxAllocNodes(size_t count) {
  const size_t bytes = sizeof(ObxNode) * (count ? count : 1);
#ifdef MADV_HUGEPAGE
  const size_t huge = size_t(2) << 20;
  if (bytes >= 2 * huge) {
    const size_t rounded = (bytes + huge - 1) / huge * huge;
    void* block = aligned_alloc(huge, rounded);
    if (block) madvise(block, rounded, MADV_HUGEPAGE);  // only a hint
    return static_cast<ObxNode*>(block);
  }
#endif
  return static_cast<ObxNode*>(malloc(bytes));
}

#define T(x) (model->triangles[(x)])

// What obxVertexNormals changes, put back unless it ends well: the corners'
// normal indices and the normals (the old array itself when it was
// replaced, its count when it grew in place).
struct ObxNormalsUndo {
  ObxModel* model;
  std::vector<uint32_t> nindices;
  float* normals;
  uint32_t numnormals;
  bool replaced = false, done = false;
  ~ObxNormalsUndo() {
    if (done && replaced) free(normals);
    if (done) return;
    for (uint32_t i = 0; i < model->numtriangles; i++)
      memcpy(model->triangles[i].nindices, &nindices[3 * size_t(i)], 3 * sizeof(uint32_t));
    if (replaced) {
      free(model->normals);
      model->normals = normals;
    }
    model->numnormals = numnormals;
  }
};

static void obxSmoothNormals(ObxModel* model, float angle, GLboolean keep) {
  // Past 180 degrees the cosine would wrap around (360 acting as 0): the
  // angle is clamped to 0..180, NaN taken as 0.
  angle = angle > 0.0f ? std::min(angle, 180.0f) : 0.0f;
  const float cos_angle = float(cos(angle * 3.1415927410125732 / 180.0));
  const uint32_t numtriangles = model->numtriangles, numvertices = model->numvertices;
  // Each list node yields at most one normal, so 3 * numtriangles normals
  // always suffice without keep.
  const size_t numnodes = 3 * size_t(numtriangles);
  if (numnodes > UINT32_MAX - 2)
    obxFail("obxVertexNormals(): too many triangles (%u)", numtriangles);

  // One list per vertex, newest triangle first. All nodes come from one
  // block: node 3*i+j stands for corner j of triangle i. They, and the
  // copy of the indices that a failure puts back, come before the model is
  // touched.
  std::vector<ObxNode*> members(size_t(numvertices) + 1);
  const ObxBlock<ObxNode> nodes(obxAllocNodes(numnodes));
  if (!nodes) throw std::bad_alloc();
  ObxNormalsUndo undo = {model, std::vector<uint32_t>(numnodes), model->normals, model->numnormals};
  for (uint32_t i = 0; i < numtriangles; i++)
    memcpy(&undo.nindices[3 * size_t(i)], T(i).nindices, 3 * sizeof(uint32_t));

  if (keep && model->numnormals >= UINT32_MAX - 2)
    obxFail("obxVertexNormals(): too many normals (%u)", model->numnormals);
  uint32_t next = keep ? model->numnormals + 1 : 1;  // index of the next normal to store
  if (!keep) {
    model->normals = obxAllocNormals(NULL, numnodes);
    model->numnormals = uint32_t(numnodes);
    undo.replaced = true;
  }

  ObxNode* node = nodes.get();
  for (uint32_t i = 0; i < numtriangles; i++) {
    OBX_ASSERT(T(i).vindices[0] <= model->numvertices);
    OBX_ASSERT(T(i).vindices[1] <= model->numvertices);
    OBX_ASSERT(T(i).vindices[2] <= model->numvertices);
    OBX_ASSERT(T(i).findex == OBX_NO_INDEX || T(i).findex <= model->numfacetnorms);
    for (int j = 0; j < 3; j++, node++) {
      // Only kept indices must be valid (checked while numnormals is still
      // the count); the others are overwritten.
      if (keep)
        OBX_ASSERT(T(i).nindices[j] == OBX_NO_INDEX || T(i).nindices[j] <= model->numnormals);
      const uint32_t v = T(i).vindices[j];
      node->index = i;
      node->next = members[v];
      members[v] = node;
    }
  }

  // Whether a node's facet normal joins the average depends only on the
  // node and the reference, so one walk per list decides it and assigns the
  // corners at once; the average's slot is taken where the first corner
  // needs it and filled in once the sum is complete.
  const float* facetnorms = model->facetnorms;
  for (uint32_t v = 1; v <= numvertices; v++) {
    ObxNode* head = members[v];
    if (!head) {
      obxWarn("obxVertexNormals(): vertex %d w/o a triangle", int(v));
      continue;
    }

    // The reference is the list's first triangle, passing over triangles
    // without a direction (no area): they take part in no average, so that
    // they change nothing, wherever they are in the file.
    const float* reference = NULL;
    for (node = head; node && !reference && T(node->index).findex != OBX_NO_INDEX;
         node = node->next) {
      const float* facet = &facetnorms[3 * size_t(T(node->index).findex)];
      if (obxHasDirection(facet)) reference = facet;
    }
    float average[3] = {0.0f, 0.0f, 0.0f};
    uint32_t avg = OBX_NO_INDEX;  // where the average goes
    bool undirected = false;      // a triangle without a direction was met
    for (node = head; node; node = node->next) {
      ObxTriangle* triangle = &T(node->index);
      const uint32_t findex = triangle->findex;
      const float* facet = findex == OBX_NO_INDEX ? NULL : &facetnorms[3 * size_t(findex)];
      if (facet && !obxHasDirection(facet)) {
        node->averaged = GL_FALSE;
        undirected = true;
        continue;
      }
      // NaN fails the strict test.
      node->averaged = reference && facet && obxDotProduct(facet, reference) > cos_angle;
      // The corners naming v, as bits; usually exactly one.
      unsigned corners = unsigned(triangle->vindices[0] == v) |
                         unsigned(triangle->vindices[1] == v) << 1 |
                         unsigned(triangle->vindices[2] == v) << 2;
      if (node->averaged) {
        for (int k = 0; k < 3; k++) average[k] += facet[k];
        for (; corners; corners &= corners - 1) {
          const int j = __builtin_ctz(corners);
          if (keep && triangle->nindices[j] != OBX_NO_INDEX) continue;
          if (avg == OBX_NO_INDEX) {
            while (model->numnormals < next) obxGrowNormals(model, 1000);
            avg = next++;
          }
          triangle->nindices[j] = avg;
        }
      } else if (!facet) {
        for (; corners && !keep; corners &= corners - 1)
          triangle->nindices[__builtin_ctz(corners)] = OBX_NO_INDEX;
      } else {
        while (model->numnormals < next) obxGrowNormals(model, 100);
        memcpy(&model->normals[3 * size_t(next)], facet, 3 * sizeof(float));
        bool used = false;
        for (; corners; corners &= corners - 1) {
          const int j = __builtin_ctz(corners);
          if (!keep || triangle->nindices[j] == OBX_NO_INDEX) {
            triangle->nindices[j] = next;
            used = true;
          }
        }
        // An unused slot is overwritten by the next normal stored.
        if (used) next++;
      }
    }
    if (avg != OBX_NO_INDEX) {
      // Normals within 180 degrees of the reference can still cancel out;
      // the reference's own direction is then the answer.
      const float length2 = obxDotProduct(average, average);
      if (length2 > 0.0f && std::isfinite(length2))
        obxNormalizeVector(average);
      else
        memcpy(average, reference, sizeof average);
      memcpy(&model->normals[3 * size_t(avg)], average, sizeof average);
    }
    // The corners of triangles without a direction take the vertex's
    // average, or (0, 0, 0) when it has none (no triangle with an area).
    if (undirected) {
      uint32_t zero = OBX_NO_INDEX;
      for (node = head; node; node = node->next) {
        ObxTriangle* triangle = &T(node->index);
        const uint32_t findex = triangle->findex;
        if (findex == OBX_NO_INDEX || obxHasDirection(&facetnorms[3 * size_t(findex)])) continue;
        for (int j = 0; j < 3; j++) {
          if (triangle->vindices[j] != v || (keep && triangle->nindices[j] != OBX_NO_INDEX))
            continue;
          if (avg == OBX_NO_INDEX && zero == OBX_NO_INDEX) {
            while (model->numnormals < next) obxGrowNormals(model, 100);
            zero = next++;
            memset(&model->normals[3 * size_t(zero)], 0, 3 * sizeof(float));
          }
          triangle->nindices[j] = avg != OBX_NO_INDEX ? avg : zero;
        }
      }
    }
  }

  model->numnormals = next - 1;
  undo.done = true;

  // Shrink to fit; realloc keeps normals 1..numnormals without a copy.
  // Should it fail, the larger block serves as well.
  if (void* fitted = realloc(model->normals, 3 * sizeof(float) * (size_t(model->numnormals) + 1)))
    model->normals = static_cast<float*>(fitted);
  model->normals[0] = model->normals[1] = model->normals[2] = 0.0f;
}

#undef T

void obxVertexNormals(ObxModel* model, float angle, GLboolean keep) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->facetnorms);
  OBX_ASSERT(model->triangles || model->numtriangles == 0);
  // With keep, the existing normals are copied by the final shrink; a count
  // without an array would copy bytes that were never written.
  OBX_ASSERT(!keep || model->normals || model->numnormals == 0);
  obxCall([=] { obxSmoothNormals(model, angle, keep); });
}

// Corners meet in one normal when they share a vertex and a non-zero
// smoothing group: the sum of their triangles' facet normals, each triangle
// once. Built aside and put in place at the end, so that a failure leaves
// the model as it was.
static void obxGroupNormals(ObxModel* model, GLboolean keep) {
  struct Corner {
    uint32_t v, group, triangle;
    int j;
  };
  std::vector<Corner> corners;
  corners.reserve(3 * size_t(model->numtriangles));
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++)
      if (!keep || model->triangles[i].nindices[j] == OBX_NO_INDEX)
        corners.push_back(
            {model->triangles[i].vindices[j], model->smoothing ? model->smoothing[i] : 0, i, j});
  // Group 0 is no group: each of its triangles stands alone.
  auto key = [](const Corner& c) {
    return std::make_tuple(c.v, c.group, c.group ? 0 : c.triangle);
  };
  std::sort(corners.begin(), corners.end(),
            [&](const Corner& a, const Corner& b) { return key(a) < key(b); });
  const uint32_t kept = keep ? model->numnormals : 0;
  std::vector<float> normals(3 * (size_t(kept) + 1), 0.0f);
  if (kept) std::copy(model->normals + 3, model->normals + 3 * (size_t(kept) + 1), &normals[3]);
  std::vector<uint32_t> indices(corners.size());
  for (size_t first = 0, end; first < corners.size(); first = end) {
    float sum[3] = {0.0f, 0.0f, 0.0f};
    uint32_t last = OBX_NO_INDEX;
    for (end = first; end < corners.size() && key(corners[end]) == key(corners[first]); end++) {
      const ObxTriangle& t = model->triangles[corners[end].triangle];
      if (t.findex == OBX_NO_INDEX || corners[end].triangle == last) continue;
      last = corners[end].triangle;
      for (int k = 0; k < 3; k++) sum[k] += model->facetnorms[3 * size_t(t.findex) + size_t(k)];
    }
    // Facets that cancel out, or none with a direction: (0, 0, 0).
    const float length2 = obxDotProduct(sum, sum);
    if (length2 > 0.0f && std::isfinite(length2)) obxNormalizeVector(sum);
    if (!(length2 > 0.0f && std::isfinite(length2))) sum[0] = sum[1] = sum[2] = 0.0f;
    if (normals.size() / 3 - 1 >= UINT32_MAX - 1)
      obxFail("obxSmoothingGroupNormals(): too many normals");
    normals.insert(normals.end(), sum, sum + 3);
    std::fill(indices.begin() + ptrdiff_t(first), indices.begin() + ptrdiff_t(end),
              uint32_t(normals.size() / 3 - 1));
  }
  float* array = static_cast<float*>(malloc(normals.size() * sizeof(float)));
  if (!array) throw std::bad_alloc();
  std::copy(normals.begin(), normals.end(), array);
  free(model->normals);
  model->normals = array;
  model->numnormals = uint32_t(normals.size() / 3 - 1);
  for (size_t c = 0; c < corners.size(); c++)
    model->triangles[corners[c].triangle].nindices[corners[c].j] = indices[c];
}

void obxSmoothingGroupNormals(ObxModel* model, GLboolean keep) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->facetnorms || model->numtriangles == 0);
  OBX_ASSERT(!keep || model->normals || model->numnormals == 0);
  obxCall([=] { obxGroupNormals(model, keep); });
}
