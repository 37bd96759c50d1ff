// Welding an unindexed mesh: obxMergeVertices and obxUniqueVectors with a
// tiny epsilon against meshoptimizer's exact-duplicate remap, on a grid of
// 1000 x 1000 distinct vertices split into 1,996,002 triangles and written
// out corner by corner (5,988,006 corners). Best of several runs each, in
// CPU time of this thread.
#include <meshoptimizer.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "obx/obx.h"

namespace {

constexpr int kSide = 1000;  // vertices per grid row and column
constexpr int kRuns = 5;
constexpr float kEpsilon = 1e-6f;  // far below the grid spacing: exact duplicates only
constexpr double kTargetRatio = 3.0;

// The corners of every triangle of a wavy kSide x kSide grid, three floats
// each, in triangle order; the same on every run.
std::vector<float> gridCorners() {
  std::vector<float> grid(3 * size_t(kSide) * kSide);
  for (int j = 0; j < kSide; j++)
    for (int i = 0; i < kSide; i++) {
      float* p = &grid[3 * (size_t(j) * kSide + i)];
      p[0] = float(i) * 0.01f;
      p[1] = float(j) * 0.01f;
      p[2] = float(std::sin(i * 0.05) * std::cos(j * 0.07));
    }
  std::vector<float> corners;
  corners.reserve(size_t(kSide - 1) * (kSide - 1) * 18);
  auto put = [&](int i, int j) {
    const float* p = &grid[3 * (size_t(j) * kSide + i)];
    corners.insert(corners.end(), p, p + 3);
  };
  for (int j = 0; j + 1 < kSide; j++)
    for (int i = 0; i + 1 < kSide; i++) {
      put(i, j), put(i + 1, j), put(i + 1, j + 1);
      put(i, j), put(i + 1, j + 1), put(i, j + 1);
    }
  return corners;
}

// A model holding the corners as its vertices, triangle t naming 3t+1..3t+3;
// released with obxDeleteModel.
ObxModel* cornerModel(const std::vector<float>& corners) {
  ObxModel* model = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
  model->numvertices = uint32_t(corners.size() / 3);
  model->vertices = static_cast<float*>(malloc((corners.size() + 3) * sizeof(float)));
  memset(model->vertices, 0, 3 * sizeof(float));
  memcpy(&model->vertices[3], corners.data(), corners.size() * sizeof(float));
  model->numtriangles = model->numvertices / 3;
  model->triangles = static_cast<ObxTriangle*>(calloc(model->numtriangles, sizeof(ObxTriangle)));
  for (uint32_t t = 0; t < model->numtriangles; t++)
    for (int k = 0; k < 3; k++) {
      model->triangles[t].vindices[k] = 3 * t + k + 1;
      model->triangles[t].nindices[k] = model->triangles[t].tindices[k] = OBX_NO_INDEX;
    }
  return model;
}

double threadMs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Best time of run() over kRuns, with prepare() (untimed) before each.
template <typename P, typename F>
double bestMs(P&& prepare, F&& run) {
  double best = 1e300;
  for (int i = 0; i < kRuns; i++) {
    prepare();
    double start = threadMs();
    run();
    double took = threadMs() - start;
    if (took < best) best = took;
  }
  return best;
}

}  // namespace

int main() {
  const std::vector<float> corners = gridCorners();
  const size_t count = corners.size() / 3;
  printf("%zu corners of %zu triangles, %d distinct vertices\n", count, count / 3, kSide * kSide);

  // meshoptimizer: the remap alone, and with the compacted vertex buffer
  // that obxMergeVertices also produces.
  std::vector<unsigned int> remap(count);
  size_t meshoptUnique = 0;
  double meshopt =
      bestMs([] {},
             [&] {
               meshoptUnique = meshopt_generateVertexRemap(
                   remap.data(), nullptr, count, corners.data(), count, 3 * sizeof(float));
             });
  std::vector<float> compact;
  double meshoptCompact =
      bestMs([&] { compact.assign(3 * size_t(kSide) * kSide, 0.0f); },
             [&] {
               size_t unique = meshopt_generateVertexRemap(
                   remap.data(), nullptr, count, corners.data(), count, 3 * sizeof(float));
               meshopt_remapVertexBuffer(compact.data(), corners.data(), count, 3 * sizeof(float),
                                         remap.data());
               meshoptUnique = unique;
             });

  ObxModel* model = nullptr;
  double merge = bestMs(
      [&] {
        if (model) obxDeleteModel(model);
        model = cornerModel(corners);
      },
      [&] { obxMergeVertices(model, kEpsilon); });

  std::vector<float> vectors(3 + corners.size());
  uint32_t uniqueCount = 0;
  float* unique = nullptr;
  double uniqueMs = bestMs(
      [&] {
        free(unique);
        memcpy(&vectors[3], corners.data(), corners.size() * sizeof(float));
        uniqueCount = uint32_t(count);
      },
      [&] { unique = obxUniqueVectors(vectors.data(), &uniqueCount, kEpsilon); });

  // The three must agree before the times mean anything: both keep the
  // first of each cluster, so even the numbering is the same.
  bool ok = meshoptUnique == size_t(kSide) * kSide && model->numvertices == meshoptUnique &&
            uniqueCount == meshoptUnique;
  for (size_t i = 0; i < count && ok; i++) {
    uint32_t obx = model->triangles[i / 3].vindices[i % 3];
    if (obx != remap[i] + 1 || uint32_t(vectors[3 * (i + 1)]) != obx) {
      printf("corner %zu: obx %u, meshoptimizer %u\n", i, obx, remap[i] + 1);
      ok = false;
    }
  }
  if (ok && memcmp(&model->vertices[3], compact.data(), compact.size() * sizeof(float)) != 0) {
    printf("the welded vertices differ\n");
    ok = false;
  }
  printf("unique vertices: obx %u, meshoptimizer %zu%s\n", model->numvertices, meshoptUnique,
         ok ? ", same numbering" : "");

  printf("meshopt_generateVertexRemap           %8.1f ms\n", meshopt);
  printf("  + meshopt_remapVertexBuffer         %8.1f ms\n", meshoptCompact);
  printf(
      "obxMergeVertices(eps %g)           %8.1f ms  ratio %.2f to the remap, %.2f to both "
      "(target <= %.0f)\n",
      double(kEpsilon), merge, merge / meshopt, merge / meshoptCompact, kTargetRatio);
  printf("obxUniqueVectors(eps %g)           %8.1f ms  ratio %.2f to the remap\n", double(kEpsilon),
         uniqueMs, uniqueMs / meshopt);
  free(unique);
  obxDeleteModel(model);
  return ok ? 0 : 1;
}
