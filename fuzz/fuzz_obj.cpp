// Fuzz target: the OBJ reader, once with its fast paths and once without;
// both ways must fail alike or build the same model.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/harness.h"

extern bool obxReaderFastPaths;  // obx/obx.cpp; not in the header

namespace {

// Whether every index the model holds names an element it has: the
// reader's promise to the drawing and normal code.
bool indicesInRange(const ObxModel* m) {
  for (uint32_t i = 0; i < m->numtriangles; i++) {
    const ObxTriangle* t = &m->triangles[i];
    for (int j = 0; j < 3; j++) {
      if (t->vindices[j] - 1u >= m->numvertices) return false;
      if (t->nindices[j] != OBX_NO_INDEX && t->nindices[j] - 1u >= m->numnormals) return false;
      if (t->tindices[j] != OBX_NO_INDEX && t->tindices[j] - 1u >= m->numtexcoords) return false;
    }
    if (t->findex - 1u >= m->numfacetnorms) return false;
    if (m->nummaterials ? t->material >= m->nummaterials : t->material != 0) return false;
  }
  // Each triangle belongs to exactly one group.
  uint64_t members = 0;
  for (const ObxGroup* g = m->groups; g; g = g->next) {
    members += g->numtriangles;
    for (uint32_t i = 0; i < g->numtriangles; i++)
      if (g->triangles[i] >= m->numtriangles) return false;
  }
  return members == m->numtriangles;
}

// Reads path with the fast paths on or off; NULL after a fatal error.
ObxModel* readModel(const std::string& path, bool fast) {
  obxReaderFastPaths = fast;
  ObxModel* model = NULL;
  if (setjmp(fuzz::fatalReturn) == 0) model = obxReadOBJ(path.c_str());
  obxReaderFastPaths = true;
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  const std::string path = fuzz::writeFile("model.obj", data, size);

  ObxModel* fast = readModel(path, true);
  ObxModel* exact = readModel(path, false);
  if ((fast == NULL) != (exact == NULL) || (fast && !fuzz::sameModel(fast, exact))) {
    fprintf(stderr, "fuzz_obj: the fast and the exact reading differ\n");
    abort();
  }
  if (fast && !indicesInRange(fast)) {
    fprintf(stderr, "fuzz_obj: the model holds an index out of range\n");
    abort();
  }
  if (fast) {
    // Smooth normals walk every triangle's indices, which the reader checked.
    if (setjmp(fuzz::fatalReturn) == 0) obxVertexNormals(fast, 90.0f, GL_FALSE);
    obxDeleteModel(fast);
    obxDeleteModel(exact);
  }
  return 0;
}
