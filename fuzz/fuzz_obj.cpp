// Fuzz target: the OBJ reader against the two-pass reference reader
// (tests/reference_reader.cpp); both must build the same model or fail with
// the same message, and print the same warnings. The reader on several
// threads, in blocks of a few dozen bytes whose edges fall everywhere, and
// from memory, must read as it reads on one.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "fuzz/reference.h"
#include "obx/internal.h"

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
  if (members != m->numtriangles) return false;
  // Lines and points name vertices and texture coordinates it has too.
  for (uint32_t e = 0; e < m->numelements; e++)
    for (uint32_t i = 0; i < m->elements[e].count; i++) {
      const uint32_t* item = &m->elementindices[2 * (size_t(m->elements[e].first) + i)];
      if (item[0] - 1u >= m->numvertices) return false;
      if (item[1] != OBX_NO_INDEX && item[1] - 1u >= m->numtexcoords) return false;
    }
  return true;
}

// The input read from memory on 2 or 3 threads, in blocks of 8 to 68
// bytes and a sixteenth of it (a few dozen rounds at most: each round
// waits for its threads), both chosen by its size.
ObxModel* readFromMemoryOrNull(const std::string& path, const uint8_t* data, size_t size) {
  ObxReadOptions options = {};
  options.threads = 2 + unsigned(size % 2);
  if (setjmp(fuzz::fatalReturn) != 0) return NULL;
  return obxReadOBJFromMemory(path.c_str(), data, size, &options);
}

fuzz::Reading readInBlocks(const std::string& path, const uint8_t* data, size_t size) {
  obxSetReadBlocks(8 + size % 61 + size / 16, 1);
  fuzz::CapturedStderr captured;
  ObxModel* model = readFromMemoryOrNull(path, data, size);
  obxSetReadBlocks(0, 0);
  return {model, captured.finish()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  const std::string path = fuzz::writeFile("model.obj", data, size);

  const fuzz::Reading library = fuzz::readWithLibrary(path);
  const fuzz::Reading reference = fuzz::readWithReference(path);
  if (!fuzz::sameReading(library, reference))
    fuzz::reportDifference("fuzz_obj", library, reference);
  if (reference.model) obxDeleteModel(reference.model);
  const fuzz::Reading blocks = readInBlocks(path, data, size);
  if (!fuzz::sameReading(blocks, library))
    fuzz::reportDifference("fuzz_obj", blocks, library, "the reader in blocks",
                           "the reader on one thread");
  if (blocks.model) obxDeleteModel(blocks.model);
  ObxModel* model = library.model;
  if (!model) return 0;
  if (!indicesInRange(model)) {
    fprintf(stderr, "fuzz_obj: the model holds an index out of range\n");
    abort();
  }
  // Smooth normals walk every triangle's indices, which the reader checked.
  if (setjmp(fuzz::fatalReturn) == 0) obxVertexNormals(model, 90.0f, GL_FALSE);
  obxDeleteModel(model);
  return 0;
}
