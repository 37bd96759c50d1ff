// fuzz/harness.h: what the fuzz targets share: a scratch directory for the
// files the readers take, and a fatal hook that returns to the target.
#pragma once

#include <errno.h>
#include <setjmp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "obx/obx.h"

namespace fuzz {

// One directory per process (libFuzzer's workers run side by side),
// removed with the files in it at exit. Plain storage: the exit handler
// runs after static objects are gone.
inline char scratch[256];
inline const char* written[8];  // the file names, each a string literal
inline int numWritten = 0;

inline void removeScratch() {
  char path[320];
  for (int i = 0; i < numWritten; i++) {
    snprintf(path, sizeof path, "%s/%s", scratch, written[i]);
    unlink(path);
  }
  rmdir(scratch);
}

// A new folder of its own; or the one OBX_FUZZ_SCRATCH names (scripts/fuzz
// --ci), the same on every run, so that the paths in messages, which the
// readers compare, lead the search the same way each time.
inline const char* scratchDir() {
  if (!scratch[0]) {
    const char* fixed = getenv("OBX_FUZZ_SCRATCH");
    snprintf(scratch, sizeof scratch, "%s", fixed ? fixed : "/tmp/obx-fuzz-XXXXXX");
    if (fixed ? mkdir(scratch, 0700) != 0 && errno != EEXIST : !mkdtemp(scratch)) abort();
    atexit(removeScratch);
  }
  return scratch;
}

// Writes bytes to name (a string literal) in the scratch directory; returns
// the full path.
inline std::string writeFile(const char* name, const void* data, size_t size) {
  std::string path = std::string(scratchDir()) + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) abort();
  if (size && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
  bool known = false;
  for (int i = 0; i < numWritten; i++) known |= written[i] == name;
  if (!known && numWritten < 8) written[numWritten++] = name;
  return path;
}

// Where a fatal error goes back to: the reader has released what it held
// before the hook runs, so the target only has to go on.
inline jmp_buf fatalReturn;
inline void onFatal(void) { longjmp(fatalReturn, 1); }

// Installs the hook once and keeps the MTL reader from loading images:
// there is no GL context, and a map_Kd may name any path. Every target
// calls this first.
inline void setUp() {
  static const bool done = [] {
    obxSetFatalHook(onFatal);
    obxTextureUpload = GL_FALSE;
    return true;
  }();
  (void)done;
}

// Reads every byte of a returned picture, so that the sanitizer sees a
// block shorter than its sides say.
inline void touchEveryByte(const unsigned char* bytes, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; i++) sum += bytes[i];
  volatile unsigned sink = sum;
  (void)sink;
}

inline bool sameBlock(const void* a, const void* b, size_t bytes) {
  if (!a || !b) return a == b;
  return memcmp(a, b, bytes) == 0;
}

// Whether two readings of one file built the same model, bit for bit.
inline bool sameModel(const ObxModel* a, const ObxModel* b) {
  if (a->numvertices != b->numvertices || a->numnormals != b->numnormals ||
      a->numtexcoords != b->numtexcoords || a->numtriangles != b->numtriangles ||
      a->numgroups != b->numgroups || a->nummaterials != b->nummaterials)
    return false;
  // Bitwise: both ways must convert every number the same.
  if (!sameBlock(a->vertices, b->vertices, 3 * (size_t(a->numvertices) + 1) * sizeof(float)))
    return false;
  if (a->numnormals &&
      !sameBlock(a->normals, b->normals, 3 * (size_t(a->numnormals) + 1) * sizeof(float)))
    return false;
  if (a->numtexcoords &&
      !sameBlock(a->texcoords, b->texcoords, 2 * (size_t(a->numtexcoords) + 1) * sizeof(float)))
    return false;
  if (a->numtriangles &&
      !sameBlock(a->triangles, b->triangles, size_t(a->numtriangles) * sizeof(ObxTriangle)))
    return false;
  if (a->numfacetnorms != b->numfacetnorms ||
      (a->numfacetnorms && !sameBlock(a->facetnorms, b->facetnorms,
                                      3 * (size_t(a->numfacetnorms) + 1) * sizeof(float))))
    return false;
  if ((a->mtllibname == NULL) != (b->mtllibname == NULL) ||
      (a->mtllibname && strcmp(a->mtllibname, b->mtllibname) != 0))
    return false;
  for (const ObxGroup *g = a->groups, *h = b->groups; g && h; g = g->next, h = h->next) {
    if (strcmp(g->name, h->name) != 0 || g->numtriangles != h->numtriangles ||
        g->material != h->material ||
        !sameBlock(g->triangles, h->triangles, g->numtriangles * sizeof(uint32_t)))
      return false;
  }
  return true;
}

// Whether two models hold the same material table, bit for bit, and the
// same textures by name.
inline bool sameMaterials(const ObxModel* a, const ObxModel* b) {
  if (a->nummaterials != b->nummaterials || a->numtextures != b->numtextures) return false;
  for (uint32_t i = 0; i < a->nummaterials; i++) {
    const ObxMaterial& m = a->materials[i];
    const ObxMaterial& n = b->materials[i];
    if (strcmp(m.name, n.name) != 0 || !sameBlock(m.diffuse, n.diffuse, sizeof m.diffuse) ||
        !sameBlock(m.ambient, n.ambient, sizeof m.ambient) ||
        !sameBlock(m.specular, n.specular, sizeof m.specular) ||
        !sameBlock(&m.shininess, &n.shininess, sizeof m.shininess) ||
        m.map_diffuse != n.map_diffuse)
      return false;
  }
  for (uint32_t i = 0; i < a->numtextures; i++)
    if (strcmp(a->textures[i].name, b->textures[i].name) != 0) return false;
  return true;
}

}  // namespace fuzz
