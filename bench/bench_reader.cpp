// Reading speed of obxReadOBJ and obxVertexNormals against tinyobjloader and
// assimp on generated scenes. Writes its inputs under /tmp/ostrel-bench.
// Run from a Release build (scripts/bench bench_reader); not a test.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <sys/stat.h>
#include <tiny_obj_loader.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <charconv>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "obx/obx.h"

namespace {

const char kDirectory[] = "/tmp/ostrel-bench";
const int kGroups = 16;    // groups per scene, each with a usemtl
const int kMaterials = 4;  // materials in the scene's library

enum class FaceKind { Full, Plain, Quad };

struct Input {
  std::string name;
  FaceKind kind;
  int side;  // grid of side x side vertices
  std::string path;
  double megabytes = 0;
  uint64_t triangles = 0;
};

// Appends numbers to a growing text without stdio's formatting.
struct Text {
  std::string data;
  void number(double value) {
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, float(value)).ptr;
    data.append(buffer, end);
  }
  void integer(uint64_t value) {
    char buffer[24];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    data.append(buffer, end);
  }
  void text(const char* s) { data += s; }
};

// A wavy grid: side x side vertices, two triangles (or one quad) per cell,
// rows split into kGroups groups, each naming a material.
void writeScene(Input* input) {
  const int n = input->side;
  const bool full = input->kind == FaceKind::Full;
  Text out;
  out.data.reserve(size_t(n) * n * 160);
  out.text("# generated grid\nmtllib grid.mtl\n");
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      out.text("v ");
      out.number(x * 0.01);
      out.text(" ");
      out.number(y * 0.01);
      out.text(" ");
      out.number(0.05 * std::sin(x * 0.07) * std::cos(y * 0.05));
      out.text("\n");
    }
  if (full) {
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) {
        out.text("vt ");
        out.number(double(x) / (n - 1));
        out.text(" ");
        out.number(double(y) / (n - 1));
        out.text("\n");
      }
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) {
        double nx = -0.0035 * std::cos(x * 0.07) * std::cos(y * 0.05);
        double ny = 0.0025 * std::sin(x * 0.07) * std::sin(y * 0.05);
        double length = std::sqrt(nx * nx + ny * ny + 1);
        out.text("vn ");
        out.number(nx / length);
        out.text(" ");
        out.number(ny / length);
        out.text(" ");
        out.number(1 / length);
        out.text("\n");
      }
  }
  const int rowsPerGroup = (n - 1 + kGroups - 1) / kGroups;
  uint64_t triangles = 0;
  auto corner = [&](uint64_t index) {
    out.integer(index);
    if (full) {
      out.text("/");
      out.integer(index);
      out.text("/");
      out.integer(index);
    }
  };
  for (int y = 0; y < n - 1; y++) {
    if (y % rowsPerGroup == 0) {
      int g = y / rowsPerGroup;
      out.text("g part");
      out.integer(g);
      out.text("\nusemtl m");
      out.integer(g % kMaterials);
      out.text("\n");
    }
    for (int x = 0; x < n - 1; x++) {
      uint64_t a = uint64_t(y) * n + x + 1, b = a + 1, c = a + n + 1, d = a + n;
      if (input->kind == FaceKind::Quad) {
        out.text("f ");
        corner(a), out.text(" "), corner(b), out.text(" "), corner(c), out.text(" "), corner(d);
        out.text("\n");
      } else {
        out.text("f "), corner(a), out.text(" "), corner(b), out.text(" "), corner(c);
        out.text("\nf "), corner(a), out.text(" "), corner(c), out.text(" "), corner(d);
        out.text("\n");
      }
      triangles += 2;
    }
  }
  input->triangles = triangles;
  input->megabytes = out.data.size() / 1e6;
  FILE* file = fopen(input->path.c_str(), "wb");
  if (!file || fwrite(out.data.data(), 1, out.data.size(), file) != out.data.size()) {
    fprintf(stderr, "cannot write %s\n", input->path.c_str());
    exit(1);
  }
  fclose(file);
}

void writeLibrary() {
  std::string path = std::string(kDirectory) + "/grid.mtl";
  FILE* file = fopen(path.c_str(), "w");
  if (!file) exit(1);
  for (int m = 0; m < kMaterials; m++)
    fprintf(file, "newmtl m%d\nKa 0.1 0.1 0.1\nKd 0.%d 0.5 0.5\nKs 0.2 0.2 0.2\nNs 30\nillum 2\n",
            m, m + 2);
  fclose(file);
}

// Processor time of this process (user and system), in seconds. The
// machine is shared, and every reader here runs on one thread, so processor
// time compares them more steadily than the wall clock does.
double processSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

// The fastest of runs timings of body, in seconds; teardown runs untimed
// after each timing.
double fastest(
    int runs, const std::function<void()>& body, const std::function<void()>& teardown = [] {}) {
  double best = 1e30;
  for (int i = 0; i < runs; i++) {
    double start = processSeconds();
    body();
    best = std::min(best, processSeconds() - start);
    teardown();
  }
  return best;
}

// The reference for vertex normals: sum each triangle's facet normal into
// its three vertices, then normalise every vertex's sum.
void referenceNormals(const ObxModel* model, std::vector<float>* sums) {
  sums->assign(3 * (size_t(model->numvertices) + 1), 0.0f);
  float* s = sums->data();
  const float* v = model->vertices;
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const uint32_t* t = model->triangles[i].vindices;
    const float* p0 = &v[3 * size_t(t[0])];
    const float* p1 = &v[3 * size_t(t[1])];
    const float* p2 = &v[3 * size_t(t[2])];
    float u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    float w[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    float n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
    float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 3; k++) s[3 * size_t(t[j]) + k] += n[k] / length;
  }
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    float* n = &s[3 * size_t(i)];
    float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    n[0] /= length, n[1] /= length, n[2] /= length;
  }
}

void line(const char* what, const Input& input, double seconds) {
  printf("  %-34s %8.3f s %9.1f MB/s %8.2f Mtri/s\n", what, seconds, input.megabytes / seconds,
         input.triangles / seconds / 1e6);
}

}  // namespace

// Usage: bench_reader [input name ...]; default: every input.
int main(int argc, char** argv) {
  mkdir(kDirectory, 0755);
  writeLibrary();
  std::vector<Input> inputs = {
      {"full-100k", FaceKind::Full, 225, ""},  {"plain-100k", FaceKind::Plain, 225, ""},
      {"quad-100k", FaceKind::Quad, 225, ""},  {"full-2m", FaceKind::Full, 1001, ""},
      {"plain-2m", FaceKind::Plain, 1001, ""}, {"quad-2m", FaceKind::Quad, 1001, ""},
  };
  if (argc > 1) {
    std::vector<Input> chosen;
    for (const Input& input : inputs)
      for (int i = 1; i < argc; i++)
        if (input.name == argv[i]) chosen.push_back(input);
    inputs = chosen;
  }
  for (Input& input : inputs) {
    input.path = std::string(kDirectory) + "/" + input.name + ".obj";
    writeScene(&input);
  }

  printf("inputs under %s; processor times, the fastest of several runs\n", kDirectory);
  for (const Input& input : inputs) {
    const bool big = input.triangles > 1000000;
    const int runs = big ? 5 : 9;
    printf("%s: %.1f MB, %llu triangles\n", input.name.c_str(), input.megabytes,
           (unsigned long long)input.triangles);

    // Each reader runs its rounds back to back, and neither is timed freeing
    // what it read. (Taking turns was tried: here the memory one reader frees
    // is handed back to the host, and the other then pays to fault it in.)
    ObxModel* model = nullptr;
    double obx = fastest(
        runs, [&] { model = obxReadOBJ(input.path.c_str()); }, [&] { obxDeleteModel(model); });
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    config.vertex_color = false;
    config.mtl_search_path = kDirectory;
    std::unique_ptr<tinyobj::ObjReader> reader;
    double tiny = fastest(
        runs,
        [&] {
          reader = std::make_unique<tinyobj::ObjReader>();
          if (!reader->ParseFromFile(input.path, config)) {
            fprintf(stderr, "tinyobjloader failed: %s\n", reader->Error().c_str());
            exit(1);
          }
        },
        [&] { reader.reset(); });
    line("obxReadOBJ", input, obx);
    line("tinyobjloader", input, tiny);

    double assimp = fastest(big ? 1 : 3, [&] {
      Assimp::Importer importer;
      if (!importer.ReadFile(input.path, aiProcess_Triangulate)) exit(1);
    });
    line("assimp (Triangulate)", input, assimp);
    printf("  ratio obx/tinyobjloader %.2fx, obx/assimp %.2fx\n", tiny / obx, assimp / obx);

    if (input.kind != FaceKind::Full) continue;
    model = obxReadOBJ(input.path.c_str());
    double normals = fastest(runs, [&] { obxVertexNormals(model, 180, 0); });
    line("obxVertexNormals(180, 0)", input, normals);
    std::vector<float> sums;
    double reference = fastest(runs, [&] { referenceNormals(model, &sums); });
    line("accumulate-and-normalise loop", input, reference);
    obxDeleteModel(model);
    double smooth = fastest(1, [&] {
      Assimp::Importer importer;
      if (!importer.ReadFile(input.path, aiProcess_Triangulate | aiProcess_GenSmoothNormals |
                                             aiProcess_ForceGenNormals))
        exit(1);
    });
    line("assimp (+GenSmoothNormals)", input, smooth);
    printf(
        "  normals: obxVertexNormals / reference loop %.2fx; "
        "obx read+normals vs assimp read+normals %.2fx faster\n",
        normals / reference, smooth / (obx + normals));
  }
  return 0;
}
