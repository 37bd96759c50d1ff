// Cost of obxVertexNormals(model, 180, 0) against a plain smoothing loop
// (add each facet normal to its three vertices, then normalise) on tori of
// growing size. Best of several runs each, in CPU time of this thread (page
// faults included) so that other work on the machine does not count.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "obx/obx.h"

namespace {

constexpr int kRuns = 10;
constexpr double kTargetRatio = 5.0;

// A closed torus of rings x sides quads, two triangles each, facet normals
// computed; released with obxDeleteModel.
ObxModel* makeTorus(int rings, int sides) {
  ObxModel* model = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
  model->numvertices = uint32_t(rings * sides);
  model->vertices =
      static_cast<float*>(calloc(3 * (size_t(model->numvertices) + 1), sizeof(float)));
  for (int r = 0; r < rings; r++)
    for (int s = 0; s < sides; s++) {
      double a = 2 * M_PI * r / rings, b = 2 * M_PI * s / sides;
      float* p = &model->vertices[3 * (size_t(r) * sides + s + 1)];
      p[0] = float((2 + std::cos(b)) * std::cos(a));
      p[1] = float((2 + std::cos(b)) * std::sin(a));
      p[2] = float(std::sin(b));
    }
  model->numtriangles = uint32_t(2 * rings * sides);
  model->triangles = static_cast<ObxTriangle*>(calloc(model->numtriangles, sizeof(ObxTriangle)));
  auto index = [&](int r, int s) { return uint32_t((r % rings) * sides + (s % sides) + 1); };
  ObxTriangle* t = model->triangles;
  for (int r = 0; r < rings; r++)
    for (int s = 0; s < sides; s++) {
      const uint32_t quad[2][3] = {{index(r, s), index(r + 1, s), index(r + 1, s + 1)},
                                   {index(r, s), index(r + 1, s + 1), index(r, s + 1)}};
      for (int k = 0; k < 2; k++, t++)
        for (int j = 0; j < 3; j++) {
          t->vindices[j] = quad[k][j];
          t->nindices[j] = t->tindices[j] = OBX_NO_INDEX;
        }
    }
  obxComputeFacetNormals(model);
  return model;
}

// The baseline: one normal per vertex, no crease angle.
std::vector<float> plainNormals(const ObxModel* model) {
  std::vector<float> sums(3 * (size_t(model->numvertices) + 1), 0.0f);
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const ObxTriangle& t = model->triangles[i];
    const float* f = &model->facetnorms[3 * size_t(t.findex)];
    for (int j = 0; j < 3; j++) {
      float* n = &sums[3 * size_t(t.vindices[j])];
      n[0] += f[0];
      n[1] += f[1];
      n[2] += f[2];
    }
  }
  for (size_t v = 1; v <= model->numvertices; v++) {
    float* n = &sums[3 * v];
    float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    n[0] /= length;
    n[1] /= length;
    n[2] /= length;
  }
  return sums;
}

double threadMs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

template <typename F>
double bestMs(F&& run) {
  double best = 1e300;
  for (int i = 0; i < kRuns; i++) {
    double start = threadMs();
    run();
    double took = threadMs() - start;
    if (took < best) best = took;
  }
  return best;
}

}  // namespace

int main() {
  const int sizes[][2] = {{100, 100}, {300, 300}, {600, 600}};
  bool ok = true;
  for (const auto& size : sizes) {
    ObxModel* model = makeTorus(size[0], size[1]);
    float sink = 0;
    double obx = bestMs([&] { obxVertexNormals(model, 180, GL_FALSE); });
    double plain = bestMs([&] { sink += plainNormals(model)[3]; });
    // Both must agree before the times mean anything.
    std::vector<float> expected = plainNormals(model);
    for (uint32_t v = 1; v <= model->numvertices && ok; v++)
      for (int k = 0; k < 3; k++)
        if (std::fabs(model->normals[3 * v + k] - expected[3 * v + k]) > 1e-5f) {
          printf("normal %u differs from the plain result\n", v);
          ok = false;
        }
    printf(
        "%7u triangles: obxVertexNormals %8.2f ms, plain %7.2f ms, ratio %5.2f (target <= "
        "%.0f)%s\n",
        model->numtriangles, obx, plain, obx / plain, kTargetRatio, sink == 12345 ? " " : "");
    obxDeleteModel(model);
  }
  return ok ? 0 : 1;
}
