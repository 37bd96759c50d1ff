// Memory running out at every allocation of an operation, one at a time:
// each run ends in success or in the out-of-memory failure returned by
// obxTry, never a crash, an assertion or an exception, leaks nothing and
// leaves a model passed in as it was. The test
// executable is linked with malloc, calloc, realloc and aligned_alloc
// wrapped (tests/CMakeLists.txt), and operator new comes here too.
#include <gtest/gtest.h>
#include <dirent.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void* __real_aligned_alloc(size_t alignment, size_t size);
}

namespace {
long allocations = 0;  // counted while failAt > 0
long failAt = 0;       // the allocation that fails, 0 for none

bool failsNow() { return failAt > 0 && ++allocations == failAt; }
}  // namespace

extern "C" {
void* __wrap_malloc(size_t size) { return failsNow() ? NULL : __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) {
  return failsNow() ? NULL : __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size) {
  return failsNow() ? NULL : __real_realloc(block, size);
}
void* __wrap_aligned_alloc(size_t alignment, size_t size) {
  return failsNow() ? NULL : __real_aligned_alloc(alignment, size);
}
}

void* operator new(size_t size) {
  void* block = __wrap_malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  return block;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return __wrap_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return __wrap_malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { free(block); }
void operator delete[](void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
void operator delete[](void* block, size_t) noexcept { free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { free(block); }

namespace {

using ostrel_test::readFile;
using ostrel_test::TempDir;

const char kObj[] =
    "mtllib lib.mtl\n"
    "v 0 0 0 1 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1.0001\nv 0.5 0.5 2\n"
    "vn 0 0 1\nvn 0 1 0\nvt 0 0\nvt 1 0 0.5\nvt 1 1\n"
    "f 1 2 3\no thing\ng first part\nusemtl red\ns 1\nf 1/1/1 2/2/1 3/3/2 4/1/2\n"
    "g second\nusemtl blue\nf -1 -2 -3\nl 1/1 6/2\nf 5//1 6//2 7//1\nusemtl nothing\nf 2 6 7\n"
    "g first part\ns off\nf 4 1 5 7\np 7\n";
const char kMtl[] =
    "newmtl red\nKd 1 0 0\nmap_Kd red.png\nnewmtl blue\nKd 0 0 1\nd 0.5\nmap_Kd blue.png\n"
    "map_Ks -s 2 2 -type sphere shiny.png\nKe 1 0 0\nvendor 1\n";

void expectIndicesInside(const ObxModel* m) {
  for (uint32_t i = 0; i < m->numtriangles; i++)
    for (int k = 0; k < 3; k++) {
      const ObxTriangle& t = m->triangles[i];
      EXPECT_TRUE(t.vindices[k] >= 1 && t.vindices[k] <= m->numvertices);
      EXPECT_TRUE(t.nindices[k] == OBX_NO_INDEX || t.nindices[k] <= m->numnormals);
      EXPECT_TRUE(t.tindices[k] == OBX_NO_INDEX || t.tindices[k] <= m->numtexcoords);
      EXPECT_TRUE(t.findex == OBX_NO_INDEX || t.findex <= m->numfacetnorms);
    }
  EXPECT_TRUE(m->numnormals == 0 || m->normals);
  EXPECT_TRUE(m->numtexcoords == 0 || m->texcoords);
}

// The model and its textures' names, to tell that a failed call changed
// nothing.
std::string snapshot(const ObxModel* m) {
  std::string text = ostrel_test::describe(m);
  for (uint32_t i = 0; i < m->numtextures; i++) text += std::string(m->textures[i].name) + ";";
  for (uint32_t i = 0; i < m->nummaterials; i++)
    text += std::to_string(m->materials[i].map_diffuse) + ";";
  return text;
}

struct Operation {
  const char* name;
  std::function<void(ObxModel*)> run;  // with the model read from kObj
  bool writes = false;
};

TEST(AllocationFailures, every_failed_allocation_fails_cleanly) {
  TempDir dir;
  dir.write("lib.mtl", kMtl);
  dir.write("other.mtl", std::string(kMtl) + "newmtl green\nmap_Kd green.png\n");
  const std::string path = dir.write("model.obj", kObj);
  // Written in a folder of its own, where the MTL file goes too.
  const std::string out = dir.write("out/out.obj", "old bytes\n");
  obxTextureUpload = GL_FALSE;
  const Operation operations[] = {
      {"read", [&](ObxModel*) { obxDeleteModel(obxReadOBJ(path.c_str())); }},
      {"read MTL", [](ObxModel* m) { obxReadMTL(m, "other.mtl"); }},
      {"vertex normals", [](ObxModel* m) { obxVertexNormals(m, 90.0f, GL_FALSE); }},
      {"vertex normals kept", [](ObxModel* m) { obxVertexNormals(m, 30.0f, GL_TRUE); }},
      {"facet normals", [](ObxModel* m) { obxComputeFacetNormals(m); }},
      {"smoothing group normals", [](ObxModel* m) { obxSmoothingGroupNormals(m, GL_FALSE); }},
      {"weld", [](ObxModel* m) { obxMergeVertices(m, 0.01f); }},
      {"unique normals",
       [](ObxModel* m) {
         uint32_t count = m->numnormals;
         free(obxUniqueVectors(m->normals, &count, 0.5f));
       }},
      {"planar", [](ObxModel* m) { obxPlanarTexcoords(m); }},
      {"sphere", [](ObxModel* m) { obxSphereTexcoords(m); }},
      {"write",
       [&](ObxModel* m) { obxWriteOBJ(m, out.c_str(), OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL); },
       true},
  };
  struct Call {
    const Operation* operation;
    ObxModel* model;
  };
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.name);
    int failures = 0;
    for (long n = 1;; n++) {
      ObxModel* model = obxReadOBJ(path.c_str());
      const std::string before = snapshot(model);
      Call call = {&operation, model};
      char message[256];
      allocations = 0;
      failAt = n;
      const int done = obxTry(
          [](void* context) {
            Call* c = static_cast<Call*>(context);
            c->operation->run(c->model);
          },
          &call, message, sizeof message);
      const bool reached = allocations >= n;
      failAt = 0;
      if (!done) {
        failures++;
        EXPECT_NE(std::string(message).find("out of memory"), std::string::npos) << n << message;
        // A failed write leaves the target as it was, a failed change the
        // model.
        if (operation.writes) {
          EXPECT_EQ(readFile(out), "old bytes\n") << n;
        }
        EXPECT_EQ(snapshot(model), before) << n;
      }
      expectIndicesInside(model);
      obxDeleteModel(model);
      if (!reached) break;  // the operation made fewer than n allocations
    }
    EXPECT_GT(failures, 0);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
  }
  // Every temporary file of a failed write was removed: the last, whole
  // write left out.obj and lib.mtl.
  int entries = 0;
  DIR* folder = opendir((dir.path() + "/out").c_str());
  while (dirent* entry = readdir(folder)) entries += entry->d_name[0] != '.';
  closedir(folder);
  EXPECT_EQ(entries, 2);
  EXPECT_NE(readFile(out).find("usemtl blue"), std::string::npos);
}

// What the texture-coordinate calls change: the table and the corners'
// indices into it.
struct TexcoordState {
  std::vector<float> texcoords;
  std::vector<uint32_t> tindices;
  bool operator==(const TexcoordState& other) const {
    return texcoords == other.texcoords && tindices == other.tindices;
  }
};
TexcoordState texcoordState(const ObxModel* m) {
  TexcoordState state;
  if (m->texcoords) state.texcoords.assign(m->texcoords, m->texcoords + 2 * (m->numtexcoords + 1));
  for (uint32_t i = 0; i < m->numtriangles; i++)
    state.tindices.insert(state.tindices.end(), m->triangles[i].tindices,
                          m->triangles[i].tindices + 3);
  return state;
}

// A texture-coordinate call that runs out of memory leaves the model
// exactly as it was.
TEST(AllocationFailures, failed_texture_coordinates_leave_the_model_unchanged) {
  TempDir dir;
  dir.write("lib.mtl", kMtl);
  const std::string path = dir.write("model.obj", kObj);
  obxTextureUpload = GL_FALSE;
  void (*const calls[])(ObxModel*) = {obxPlanarTexcoords, obxSphereTexcoords};
  struct Change {
    void (*call)(ObxModel*);
    ObxModel* model;
  };
  for (auto call : calls) {
    ObxModel* model = obxReadOBJ(path.c_str());
    Change change = {call, model};
    const TexcoordState before = texcoordState(model);
    int failures = 0;
    for (long n = 1;; n++) {
      char message[256];
      allocations = 0;
      failAt = n;
      const int done = obxTry(
          [](void* context) {
            Change* c = static_cast<Change*>(context);
            c->call(c->model);
          },
          &change, message, sizeof message);
      const bool reached = allocations >= n;
      failAt = 0;
      if (done) break;
      failures++;
      EXPECT_TRUE(texcoordState(model) == before) << n << message;
      if (!reached) break;
    }
    EXPECT_GT(failures, 0);
    obxDeleteModel(model);
  }
}

}  // namespace
