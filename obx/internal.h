// obx internals: what the library's areas share behind obx.h.
#ifndef OBX_INTERNAL_H
#define OBX_INTERNAL_H

#include "obx.h"

#include <GL/glu.h>
#include <IL/il.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scan.h"

// Preconditions stay checked in every build type: a model that breaks them
// would otherwise be read out of bounds. The report has the shape of the
// runtime's assert, so tools that parse those lines keep working.
[[noreturn]] void obxAssertFailed(const char* condition, const char* file, int line,
                                const char* function);
#define OBX_ASSERT(condition) \
  ((condition) ? (void)0 : obxAssertFailed(#condition, __FILE__, __LINE__, __func__))

// What the readers (and obxVertexNormals) hold while they run, so that a
// fatal error handed to a hook that does not return leaks nothing: each
// notes a resource when it takes it and drops the note when it lets go.
enum ObxHeldKind { OBX_HELD_BLOCK, OBX_HELD_MAPPING, OBX_HELD_FILE, OBX_HELD_MODEL };
void obxHold(ObxHeldKind kind, void* pointer, size_t size);
void obxLetGo(const void* pointer);
// realloc for a block on the held list: the note follows the block. NULL
// when memory runs out, with the old block still held.
void* obxReallocHeld(void* block, size_t bytes);
void obxFreeHeld(void* block);

// Returns a new heap text of a followed by b, or NULL.
char* obxJoin(const char* a, const char* b);
[[noreturn]] void obxFailOutOfMemory(const char* reader, const char* path);

// ---- What the OBJ and MTL readers share ----------------------------------

// Token and line reads have the sizes of the stream reads they stand for:
// a 128-byte buffer (127 characters and the terminator), and 259 characters
// for the rest of an MTL map statement.
enum {
  OBX_TOKEN_SIZE = 128,
  OBX_TOKEN_MAX = OBX_TOKEN_SIZE - 1,
  OBX_MAP_LINE_MAX = 259,
};

// A file mapped read-only, or an empty view for an empty file.
struct ObxFileView {
  const char* data;
  size_t size;
};
enum ObxMapResult { OBX_MAP_OK, OBX_MAP_CANNOT_OPEN, OBX_MAP_NO_MEMORY };
ObxMapResult obxMapFile(const char* path, ObxFileView* view);
void obxUnmapFile(ObxFileView* view);

void obxCopyToken(char buffer[OBX_TOKEN_SIZE], const char* bytes, size_t length);
void obxFirstWord(char text[OBX_TOKEN_SIZE]);
bool obxKeywordIs(const char* token, size_t length, const char* word);
void obxWarnNoMaterial(const char* name);

// The mode drawing or writing can honour for model, with one of warnings
// for each flag it drops (shared by obxDraw and obxWriteOBJ).
GLuint obxFixMode(const ObxModel* model, GLuint mode, const char* const warnings[7]);

// Asks for huge pages under a big block that is about to be filled.
void obxAdviseHugePages(void* block, size_t bytes);

#endif
