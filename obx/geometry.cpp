// obx geometry: extents, fitting, scaling, winding, generated texture coordinates.
#include "internal.h"

float obxMaxOf(float a, float b) { return a < b ? b : a; }

float obxAbsOf(float x) { return x < 0 ? -x : x; }

// Extent as |max| + |min| per axis, which is max - min only when the range
// holds 0; callers rely on that measure, so it stays. It is a double: the
// sum of two floats near the float limit is beyond it. Only vertices with
// three finite coordinates count; without any, everything is 0.
static void obxExtent(const ObxModel* model, float max[3], float min[3], double size[3]) {
  bool any = false;
  for (int k = 0; k < 3; k++) max[k] = min[k] = 0.0f;
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
    for (int k = 0; k < 3; k++) {
      if (!any || max[k] < p[k]) max[k] = p[k];
      if (!any || p[k] < min[k]) min[k] = p[k];
    }
    any = true;
  }
  for (int k = 0; k < 3; k++) size[k] = double(obxAbsOf(max[k])) + obxAbsOf(min[k]);
}

// The factor that takes the largest extent to 2, or 0 for a model without
// size (no vertices, or all at one point), which nothing can scale.
static double obxUnitScale(const double size[3]) {
  const double largest = std::max(std::max(size[0], size[1]), size[2]);
  return largest > 0.0 ? 2.0 / largest : 0.0;
}

float obxFitToUnitCube(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  float max[3], min[3];
  double size[3], centre[3];
  obxExtent(model, max, min, size);
  for (int k = 0; k < 3; k++) centre[k] = (double(max[k]) + min[k]) / 2.0;
  // A model without size is centred and not scaled; 0 says so.
  const double scale = obxUnitScale(size);
  const double factor = scale > 0.0 ? scale : 1.0;
  // In double, and held to the cube: in float, the distance to the centre
  // of a model spanning the whole float range is beyond the float limit,
  // and rounding can put a corner a step outside.
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    float* p = &model->vertices[3 * size_t(i)];
    for (int k = 0; k < 3; k++) {
      const double fitted = (double(p[k]) - centre[k]) * factor;
      p[k] = std::isfinite(fitted) && scale > 0.0 ? float(std::clamp(fitted, -1.0, 1.0))
                                                  : float(fitted);
    }
  }
  return float(scale);
}

void obxDimensions(ObxModel* model, float* dimensions) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  OBX_ASSERT(dimensions);
  float max[3], min[3];
  double size[3];
  obxExtent(model, max, min, size);
  for (int k = 0; k < 3; k++) dimensions[k] = float(std::min(size[k], double(FLT_MAX)));
}

void obxScaleModel(ObxModel* model, float factor) {
  OBX_ASSERT(model);
  for (size_t i = 3; i < 3 * (size_t(model->numvertices) + 1); i++) model->vertices[i] *= factor;
}

void obxFlipWinding(ObxModel* model) {
  OBX_ASSERT(model);
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    ObxTriangle* t = &model->triangles[i];
    std::swap(t->vindices[0], t->vindices[2]);
    if (model->numnormals) std::swap(t->nindices[0], t->nindices[2]);
    if (model->numtexcoords) std::swap(t->tindices[0], t->tindices[2]);
  }
  // Entries 1.. of the normal arrays, 3 floats each.
  for (size_t i = 3; i < 3 * (size_t(model->numfacetnorms) + 1); i++) model->facetnorms[i] *= -1.0f;
  for (size_t i = 3; i < 3 * (size_t(model->numnormals) + 1); i++) model->normals[i] *= -1.0f;
}

// Replaces the model's texture coordinates with count new ones (entry 0
// unused), fill(i, uv) setting entry i, and points every grouped corner's
// texture index at the same-numbered entry: the table is per vertex, or per
// normal. When memory runs out (fatal) the model keeps its own.
template <typename Fill>
static void obxSetTexcoords(ObxModel* model, uint32_t count, bool fromNormals, const char* function,
                            Fill fill) {
  float* texcoords = static_cast<float*>(malloc(2 * (size_t(count) + 1) * sizeof(float)));
  if (!texcoords) obxFail("%s: out of memory for %u texture coordinates", function, count);
  texcoords[0] = texcoords[1] = 0.0f;
  for (uint32_t i = 1; i <= count; i++) fill(i, &texcoords[2 * size_t(i)]);
  free(model->texcoords);
  model->texcoords = texcoords;
  model->numtexcoords = count;
  free(model->texcoordw);  // the new coordinates have two values
  model->texcoordw = NULL;
  // A line's point gets its vertex's coordinate; normals, lines have none.
  for (uint32_t e = 0; e < model->numelements; e++)
    for (uint32_t i = 0; i < model->elements[e].count; i++) {
      uint32_t* item = &model->elementindices[2 * (size_t(model->elements[e].first) + i)];
      item[1] = fromNormals ? OBX_NO_INDEX : item[0];
    }
  for (ObxGroup* group = model->groups; group; group = group->next)
    for (uint32_t i = 0; i < group->numtriangles; i++) {
      ObxTriangle* t = &model->triangles[group->triangles[i]];
      for (int k = 0; k < 3; k++) t->tindices[k] = fromNormals ? t->nindices[k] : t->vindices[k];
    }
}

void obxPlanarTexcoords(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  float max[3], min[3];
  double size[3];
  obxExtent(model, max, min, size);
  // Without size every vertex maps to the middle, (0.5, 0.5).
  const float scale = float(obxUnitScale(size));
  obxSetTexcoords(model, model->numvertices, false, "obxPlanarTexcoords()",
                  [&](uint32_t i, float* uv) {
                    const float* p = &model->vertices[3 * size_t(i)];
                    uv[0] = float((p[0] * scale + 1.0) / 2.0);
                    uv[1] = float((p[2] * scale + 1.0) / 2.0);
                  });
}

void obxSphereTexcoords(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->normals);
  obxSetTexcoords(
      model, model->numnormals, true, "obxSphereTexcoords()", [&](uint32_t i, float* uv) {
        const float* n = &model->normals[3 * size_t(i)];
        float x = n[0], y = n[1], z = n[2];
        float r = float(sqrt(z * z + y * y));
        float rho = float(sqrt(r * r + x * x));
        float theta = 0.0f, phi = 0.0f;
        if (r != 0.0f) {
          // The rounded square roots can come out below a component (a tiny y
          // whose square is subnormal): held to -1..1, the ratios keep asin
          // and acos defined.
          phi = x != 0.0f ? float(acos(std::clamp(x / rho, -1.0f, 1.0f))) : 1.5707963705062866f;
          theta = y != 0.0f ? float(asin(std::clamp(y / r, -1.0f, 1.0f)) + 1.570796325)
                            : 1.5707961320877075f;
        }
        uv[0] = float(theta / 3.14159265);
        uv[1] = float(phi / 3.14159265);
      });
}
