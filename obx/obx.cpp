// obx: the model library. See obx.h for the records and conventions.
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
[[noreturn]] static void obxAssertFailed(const char* condition, const char* file, int line,
                                         const char* function) {
  fflush(stdout);
  fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
  abort();
}
#define OBX_ASSERT(condition) \
  ((condition) ? (void)0 : obxAssertFailed(#condition, "obx/obx.cpp", __LINE__, __func__))

// ---- Diagnostics and text ------------------------------------------------

static void obxReport(const char* prefix, const char* format, va_list args) {
  fputs(prefix, stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

void obxWarn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Warning: ", format, args);
  va_end(args);
}

// What the readers (and obxVertexNormals) hold while they run, so that a
// fatal error handed to a hook that does not return leaks nothing: each
// notes a resource when it takes it and drops the note when it lets go.
// Reads nest at most OBJ -> MTL -> texture, a few notes each.
enum ObxHeldKind { OBX_HELD_BLOCK, OBX_HELD_MAPPING, OBX_HELD_FILE, OBX_HELD_MODEL };
struct ObxHeld {
  ObxHeldKind kind;
  void* pointer;
  size_t size;  // of a mapping
};
enum { OBX_HELD_MAX = 16 };
static ObxHeld obxHeld[OBX_HELD_MAX];
static int obxHeldCount = 0;
static ObxFatalHook obxFatalHook = NULL;

static void obxHold(ObxHeldKind kind, void* pointer, size_t size) {
  OBX_ASSERT(obxHeldCount < OBX_HELD_MAX);
  obxHeld[obxHeldCount++] = {kind, pointer, size};
}

// Drops the note on pointer; notes are mostly dropped newest first.
static void obxLetGo(const void* pointer) {
  for (int i = obxHeldCount - 1; i >= 0; i--) {
    if (obxHeld[i].pointer != pointer) continue;
    memmove(&obxHeld[i], &obxHeld[i + 1], sizeof(ObxHeld) * size_t(obxHeldCount - 1 - i));
    obxHeldCount--;
    return;
  }
  OBX_ASSERT(!"resource noted");
}

// Releases every noted resource, newest first: a mapped MTL file before the
// model whose mtllib named it.
static void obxReleaseHeld(void) {
  while (obxHeldCount > 0) {
    const ObxHeld held = obxHeld[--obxHeldCount];
    switch (held.kind) {
      case OBX_HELD_BLOCK: free(held.pointer); break;
      case OBX_HELD_MAPPING: munmap(held.pointer, held.size); break;
      case OBX_HELD_FILE: fclose(static_cast<FILE*>(held.pointer)); break;
      case OBX_HELD_MODEL: obxDeleteModel(static_cast<ObxModel*>(held.pointer)); break;
    }
  }
}

ObxFatalHook obxSetFatalHook(ObxFatalHook hook) {
  ObxFatalHook previous = obxFatalHook;
  obxFatalHook = hook;
  return previous;
}

void obxFail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal Error: ", format, args);
  va_end(args);
  if (obxFatalHook) {
    obxReleaseHeld();
    obxFatalHook();
  }
  exit(1);
}

void obxFailUsage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal API Usage: ", format, args);
  va_end(args);
  abort();
}

void obxLogGlErrors(void) {
  for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
    obxWarn("GL error: %s", reinterpret_cast<const char*>(gluErrorString(error)));
}

char* obxCopyString(const char* text) {
  OBX_ASSERT(text != NULL);
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, text, size);
  return copy;
}

static bool obxIsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char* obxTrimCopy(const char* text) {
  OBX_ASSERT(text != NULL);
  size_t length = strlen(text);
  size_t start = 0;
  while (start < length && obxIsTrimmed(text[start])) start++;
  if (start == length) return NULL;
  size_t end = length;  // one past the last kept character
  while (end > start + 1 && obxIsTrimmed(text[end - 1])) end--;
  char* copy = static_cast<char*>(malloc(end - start + 1));
  if (!copy) return NULL;
  memcpy(copy, text + start, end - start);
  copy[end - start] = '\0';
  return copy;
}

char* obxDirectoryOf(const char* path) {
  char* copy = obxCopyString(path);
  if (!copy) return NULL;
  char* slash = strrchr(copy, '/');
  if (slash)
    slash[1] = '\0';
  else
    copy[0] = '\0';
  return copy;
}

// Returns a new heap text of a followed by b, or NULL.
[[maybe_unused]] static char* obxJoin(const char* a, const char* b) {
  size_t la = strlen(a), lb = strlen(b);
  char* joined = static_cast<char*>(malloc(la + lb + 1));
  if (!joined) return NULL;
  memcpy(joined, a, la);
  memcpy(joined + la, b, lb + 1);
  return joined;
}

// ---- Model ---------------------------------------------------------------

void obxDeleteModel(ObxModel* model) {
  OBX_ASSERT(model);
  free(model->path);
  free(model->mtllibname);
  free(model->vertices);
  free(model->normals);
  free(model->texcoords);
  free(model->facetnorms);
  free(model->triangles);
  if (model->materials) {
    for (uint32_t i = 0; i < model->nummaterials; i++) free(model->materials[i].name);
    free(model->materials);
  }
  if (model->textures) {
    for (uint32_t i = 0; i < model->numtextures; i++) {
      free(model->textures[i].name);
      // Textures read without uploads have id 0 and no context to talk to.
      if (model->textures[i].id) glDeleteTextures(1, &model->textures[i].id);
    }
    free(model->textures);
  }
  while (model->groups) {
    ObxGroup* group = model->groups;
    model->groups = group->next;
    free(group->name);
    free(group->triangles);
    free(group);
  }
  free(model);
}

// ==== SECTION: groups and OBJ reader =======================================

// The readers map their file read-only and walk it with the byte scanner of
// obx/scan.h; besides the model's own arrays they hold nothing per token.

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

static ObxMapResult obxMapFile(const char* path, ObxFileView* view) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return OBX_MAP_CANNOT_OPEN;
  struct stat info;
  // Only regular files: the readers take two passes, which a pipe cannot
  // give, and a directory has no text to read.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return OBX_MAP_CANNOT_OPEN;
  }
  view->data = "";
  view->size = size_t(info.st_size);
  if (view->size == 0) {
    close(fd);
    return OBX_MAP_OK;
  }
  // Mapped in one go: each pass reads every page, and faulting them in
  // one at a time costs more than the reading.
  void* mapped = mmap(NULL, view->size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return OBX_MAP_NO_MEMORY;
  madvise(mapped, view->size, MADV_SEQUENTIAL);
  view->data = static_cast<const char*>(mapped);
  obxHold(OBX_HELD_MAPPING, mapped, view->size);
  return OBX_MAP_OK;
}

static void obxUnmapFile(ObxFileView* view) {
  if (view->size) {
    obxLetGo(view->data);
    munmap(const_cast<char*>(view->data), view->size);
  }
  view->data = "";
  view->size = 0;
}

// Copies bytes into a token buffer as the stream read would leave them: a
// zero-terminated text, read up to its first zero byte like any C string.
static void obxCopyToken(char buffer[OBX_TOKEN_SIZE], const char* bytes, size_t length) {
  OBX_ASSERT(length < OBX_TOKEN_SIZE);
  memcpy(buffer, bytes, length);
  buffer[length] = '\0';
}

// The first whitespace-delimited word of text ("%s" scanned back into the
// text); the empty text when there is none.
static void obxFirstWord(char text[OBX_TOKEN_SIZE]) {
  ObxScanner scan = {text, text + strlen(text)};
  const char* word;
  size_t length = obxScanToken(&scan, OBX_TOKEN_MAX, &word);
  memmove(text, word, length);
  text[length] = '\0';
}

// Whether a keyword token begins with the given word (the first strlen(word)
// characters compared, as strncmp does on the zero-terminated token).
static bool obxKeywordIs(const char* token, size_t length, const char* word) {
  size_t n = strlen(word);
  return length >= n && memcmp(token, word, n) == 0;
}

// ---- Groups --------------------------------------------------------------

// The group named name and its position from the head of the list, or NULL.
ObxGroup* obxLookupGroup(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  for (ObxGroup* group = model->groups; group; group = group->next)
    if (strcmp(group->name, name) == 0) return group;
  return NULL;
}

static ObxGroup* obxNewGroup(ObxModel* model, const char* name);

// Returns NULL, with the list unchanged, when memory runs out.
ObxGroup* obxEnsureGroup(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  ObxGroup* group = obxLookupGroup(model, name);
  return group ? group : obxNewGroup(model, name);
}

// A new group at the head of the list; NULL when memory runs out.
static ObxGroup* obxNewGroup(ObxModel* model, const char* name) {
  ObxGroup* group = static_cast<ObxGroup*>(malloc(sizeof(ObxGroup)));
  if (!group) return NULL;
  group->name = obxCopyString(name);
  if (!group->name) {
    free(group);
    return NULL;
  }
  group->numtriangles = 0;
  group->triangles = NULL;
  group->material = 0;
  group->next = model->groups;
  model->groups = group;
  model->numgroups++;
  return group;
}

// ---- OBJ reader ----------------------------------------------------------

// A big model's arrays are filled front to back once: in huge pages that is
// a few hundred page faults instead of tens of thousands, and the kernel
// clears them several times faster. Only a hint, on the whole 2 MB pages
// inside a block of at least 8 MB that nothing has touched yet.
static void obxAdviseHugePages(void* block, size_t bytes) {
  const size_t huge = size_t(2) << 20;
  if (bytes < 4 * huge) return;
  uintptr_t first = (uintptr_t(block) + huge - 1) & ~uintptr_t(huge - 1);
  uintptr_t last = (uintptr_t(block) + bytes) & ~uintptr_t(huge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// The reader's fast paths take the common shapes of v, vn, vt and f lines
// and hand everything else to the exact scanner; with this off, every byte
// goes through the exact scanner. Not in the header: only the tests, which
// hold the two ways against each other, turn it off.
bool obxReaderFastPaths = true;

// A face item made of plain numbers of up to nine digits in the form's
// layout ("7", "7/8", "7/8/9", "7//9"): scanned straight from the input,
// with the same fields, result and consumption as obxScanItem. Anything
// else (signs, longer numbers, a partial match, the end of the input) is
// scanned by obxScanItem itself. The form is fixed per face, so each face's
// loop gets its own copy without the form's branches.
template <bool Signed, ObxItemForm form>
__attribute__((always_inline)) static inline int obxScanItemQuick(ObxScanner* s, uint32_t fields[3],
                                                                  bool* outOfRange) {
  obxSkipSpace(s);
  const char* p = s->p;
  const char* const end = s->end;
  uint32_t values[3];
  const int count = form == OBX_FORM_V ? 1 : form == OBX_FORM_VTN ? 3 : 2;
  for (int i = 0; i < count; i++) {
    if (i > 0) {
      if (p == end || *p != '/') return obxScanItem<Signed>(s, form, fields, outOfRange);
      p++;
      if (form == OBX_FORM_VN) {
        if (p == end || *p != '/') return obxScanItem<Signed>(s, form, fields, outOfRange);
        p++;
      }
    }
    if (end - p >= OBX_QUICK_MARGIN) {
      // Eight bytes at once; at most seven digits come this way.
      const uint64_t word = obxLoad8(p);
      const int digits = obxDigitCount8(word);
      if (digits == 0 || digits == 8) return obxScanItem<Signed>(s, form, fields, outOfRange);
      // The counting pass, which scans signed, keeps no values.
      values[i] = Signed ? 0 : obxDigitValue8(word, digits);
      p += digits;
      continue;
    }
    const char* start = p;
    uint32_t value = 0;
    while (p < end && obxIsDigit((unsigned char)*p)) value = value * 10 + uint32_t(*p++ - '0');
    if (p == start || p - start > 9) return obxScanItem<Signed>(s, form, fields, outOfRange);
    values[i] = value;
  }
  s->p = p;
  fields[0] = values[0];
  if (form == OBX_FORM_VT || form == OBX_FORM_VTN) fields[1] = values[1];
  if (form == OBX_FORM_VN) fields[2] = values[1];
  if (form == OBX_FORM_VTN) fields[2] = values[2];
  return count;
}

template <bool Convert>
static inline int obxScanVertexFloats(ObxScanner* s, int count, float* values) {
  if (obxReaderFastPaths) return obxScanFloatsQuick<Convert>(s, count, values);
  return obxScanFloats<Convert>(s, count, values);
}

// Steps over the numbers of a v, vn or vt statement without keeping them,
// so that the next statement that does anything begins where it would
// after storing them: a whole short line of plain numbers at once (any
// further numbers on it would be statements that do nothing), anything
// else by the exact scan.
static inline void obxSkipVertexFloats(ObxScanner* s, int count, float* ignored) {
  if (obxReaderFastPaths) {
    if (const char* feed = obxQuickNumberLine(s->p, s->end, count)) {
      s->p = feed;
      return;
    }
  }
  obxScanVertexFloats<false>(s, count, ignored);
}

// A statement's keyword token: "%127s". The usual keywords, one or two
// bytes before a blank, are taken without the byte loop.
static inline size_t obxScanKeyword(ObxScanner* s, const char** token) {
  if (obxReaderFastPaths) {
    obxSkipSpace(s);
    const char* p = s->p;
    if (s->end - p >= OBX_QUICK_MARGIN) {
      *token = p;
      const size_t length = obxIsSpace((unsigned char)p[1])   ? 1
                            : obxIsSpace((unsigned char)p[2]) ? 2
                                                              : 0;
      if (length) {
        s->p = p + length;
        return length;
      }
    }
  }
  return obxScanToken(s, OBX_TOKEN_MAX, token);
}

template <bool Signed, ObxItemForm form>
__attribute__((always_inline)) static inline int obxScanFaceItem(ObxScanner* s, uint32_t fields[3],
                                                                 bool* outOfRange) {
  if (obxReaderFastPaths) return obxScanItemQuick<Signed, form>(s, fields, outOfRange);
  return obxScanItem<Signed>(s, form, fields, outOfRange);
}

// realloc for a block on the held list: the note follows the block. NULL
// when memory runs out, with the old block still held.
static void* obxReallocHeld(void* block, size_t bytes) {
  if (block) obxLetGo(block);
  void* grown = realloc(block, bytes);
  if (grown || block) obxHold(OBX_HELD_BLOCK, grown ? grown : block, 0);
  return grown;
}

static void obxFreeHeld(void* block) {
  if (!block) return;
  obxLetGo(block);
  free(block);
}

// The reader finds groups and materials by name through an index, so that
// a file of many groups, or of many usemtl among many materials, reads in
// time that grows with its size rather than with their product (20,000
// groups took a second otherwise). Open addressing over a power-of-two
// table of entry numbers (1-based, 0 for empty), at most half full, in one
// held block; the names stay with the entries.
struct ObxNameIndex {
  uint32_t* slots;
  uint32_t mask;   // slots - 1
  uint32_t count;  // entries
};

static uint32_t obxHashName(const char* name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++)
    h = (h ^ *p) * 16777619u;
  return h ^ (h >> 15);
}

// The slot of name, or of the empty slot where it would go.
template <typename NameOf>
static uint32_t* obxIndexSlot(const ObxNameIndex* index, const char* name, const NameOf& nameOf) {
  for (uint32_t i = obxHashName(name) & index->mask;; i = (i + 1) & index->mask) {
    uint32_t* slot = &index->slots[i];
    if (*slot == 0 || strcmp(nameOf(*slot), name) == 0) return slot;
  }
}

// The entry named name, 0 when there is none.
template <typename NameOf>
static uint32_t obxIndexFind(const ObxNameIndex* index, const char* name, const NameOf& nameOf) {
  return index->slots ? *obxIndexSlot(index, name, nameOf) : 0;
}

// Adds entry under its name unless an entry already has that name (the
// first keeps it); false when memory runs out.
template <typename NameOf>
static bool obxIndexAdd(ObxNameIndex* index, uint32_t entry, const NameOf& nameOf) {
  if (2 * (uint64_t(index->count) + 1) > uint64_t(index->mask) + 1 || !index->slots) {
    const uint64_t size = index->slots ? 2 * (uint64_t(index->mask) + 1) : 64;
    if (size > (uint64_t(1) << 32)) return false;
    uint32_t* slots = static_cast<uint32_t*>(calloc(size_t(size), sizeof(uint32_t)));
    if (!slots) return false;
    ObxNameIndex grown = {slots, uint32_t(size - 1), index->count};
    for (uint32_t i = 0; index->slots && i <= index->mask; i++)
      if (index->slots[i]) *obxIndexSlot(&grown, nameOf(index->slots[i]), nameOf) = index->slots[i];
    obxFreeHeld(index->slots);
    obxHold(OBX_HELD_BLOCK, slots, 0);
    *index = grown;
  }
  uint32_t* slot = obxIndexSlot(index, nameOf(entry), nameOf);
  if (*slot == 0) {
    *slot = entry;
    index->count++;
  }
  return true;
}

static void obxIndexFree(ObxNameIndex* index) {
  obxFreeHeld(index->slots);
  *index = {NULL, 0, 0};
}

// State of one obxReadOBJ: the mapped file and the counts of the first pass.
struct ObxObjReader {
  ObxModel* model;
  ObxFileView file;
  ObxScanner scan;
  char token[OBX_TOKEN_SIZE];  // keyword, face item or line, for names and messages
  // First pass: counts kept wide, so a file cannot wrap them unnoticed.
  uint64_t numvertices, numnormals, numtexcoords, numtriangles;
  uint32_t* capacity;  // per group, list order: the member count of the first pass
  bool outOfBounds;    // second pass: some stored triangle has an index out of bounds
  // The first pass stores the numbers of v, vn and vt as it counts them, in
  // arrays that grow (room for this many, besides the unused slot 0), so
  // that the second pass only steps over those lines.
  uint64_t room[3];
  // Where the first pass read a v, vn or vt line the exact way (offsets,
  // in order), so that the second pass steps over every other one by its
  // line feed alone; when more lines than fit went that way, all go the
  // exact way in the second pass too (exactCount > OBX_EXACT_LINES_MAX).
  uint64_t exactLines[64];  // OBX_EXACT_LINES_MAX
  uint32_t exactCount;
  bool stored;  // the first pass has stored every triangle: no second pass
  uint32_t librariesRead;  // material libraries read (each replaces the table)
  // The groups in the order they were made (entry k is groups[k - 1]) and
  // their index; the materials' index, as of librariesIndexed.
  ObxGroup** groups;
  uint32_t numgroups, groupRoom;
  ObxNameIndex groupIndex, materialIndex;
  uint32_t librariesIndexed;
  uint32_t exactNext;  // second pass: the next entry of exactLines to meet
};
enum { OBX_EXACT_LINES_MAX = 64 };

static void obxWarnNoMaterial(const char* name);

[[noreturn]] static void obxFailOutOfMemory(const char* reader, const char* path) {
  obxFail("%s: out of memory reading \"%s\"", reader, path);
  abort();  // not reached: obxFail exits
}

// The group named name, made when there is none yet.
static ObxGroup* obxReaderGroup(ObxObjReader* reader, const char* name) {
  ObxModel* model = reader->model;
  auto nameOf = [reader](uint32_t entry) { return reader->groups[entry - 1]->name; };
  const uint32_t entry = obxIndexFind(&reader->groupIndex, name, nameOf);
  if (entry) return reader->groups[entry - 1];
  if (reader->numgroups == reader->groupRoom) {
    const uint64_t room = reader->groupRoom ? 2 * uint64_t(reader->groupRoom) : 16;
    void* grown = room < UINT32_MAX ? obxReallocHeld(reader->groups, sizeof(ObxGroup*) * room) : NULL;
    if (!grown) obxFailOutOfMemory("obxReadOBJ", model->path);
    reader->groups = static_cast<ObxGroup**>(grown);
    reader->groupRoom = uint32_t(room);
  }
  ObxGroup* group = obxNewGroup(model, name);
  if (!group) obxFailOutOfMemory("obxReadOBJ", model->path);
  reader->groups[reader->numgroups++] = group;
  if (!obxIndexAdd(&reader->groupIndex, reader->numgroups, nameOf))
    obxFailOutOfMemory("obxReadOBJ", model->path);
  return group;
}

// The entry (1-based, in the order made) of the group named name; 0 when
// there is none.
static uint32_t obxReaderGroupEntry(ObxObjReader* reader, const char* name) {
  auto nameOf = [reader](uint32_t entry) { return reader->groups[entry - 1]->name; };
  return obxIndexFind(&reader->groupIndex, name, nameOf);
}

// The material named name in the model's table, the first of that name as
// obxFindMaterial finds it, but through the index; false when there is
// none (and no warning).
static bool obxReaderMaterial(ObxObjReader* reader, const char* name, uint32_t* material) {
  ObxModel* model = reader->model;
  auto nameOf = [model](uint32_t entry) { return model->materials[entry - 1].name; };
  if (reader->librariesIndexed != reader->librariesRead || !reader->materialIndex.slots) {
    obxIndexFree(&reader->materialIndex);
    for (uint32_t i = 0; i < model->nummaterials; i++) {
      OBX_ASSERT(model->materials[i].name != NULL);
      if (!obxIndexAdd(&reader->materialIndex, i + 1, nameOf))
        obxFailOutOfMemory("obxReadOBJ", model->path);
    }
    reader->librariesIndexed = reader->librariesRead;
  }
  const uint32_t entry = obxIndexFind(&reader->materialIndex, name, nameOf);
  if (!entry) return false;
  *material = entry - 1;
  return true;
}

// Reads the rest of the line (one 127-character read) into the token buffer.
static void obxReadLine(ObxObjReader* reader) {
  const char* line;
  size_t length = obxScanLine(&reader->scan, OBX_TOKEN_MAX, &line);
  obxCopyToken(reader->token, line, length);
}

// A group name: the rest of the line without its last character (normally
// the line end), so it keeps the blank after "g".
static void obxReadGroupName(ObxObjReader* reader) {
  obxReadLine(reader);
  size_t length = strlen(reader->token);
  if (length > 0) reader->token[--length] = '\0';
  // A CR LF line end leaves its CR; it is no part of the name.
  if (length > 0 && reader->token[length - 1] == '\r') reader->token[length - 1] = '\0';
}

// The common first items, made of plain numbers of up to nine digits and
// slashes only ("7", "7/8", "7/8/9", "7//9"), decided and scanned straight
// from the input: the same form and values as the full rules below give
// them. Returns false for anything else.
static inline bool obxQuickFirstItem(const char* item, size_t length, ObxItemForm* form,
                                     uint32_t fields[3]) {
  const char* p = item;
  const char* end = item + length;
  uint32_t values[3];
  int count = 0;
  bool doubleSlash = false;
  for (;;) {
    const char* start = p;
    uint32_t value = 0;
    while (p < end && obxIsDigit((unsigned char)*p)) value = value * 10 + uint32_t(*p++ - '0');
    if (p == start || p - start > 9) return false;
    values[count++] = value;
    if (p == end) break;
    if (*p != '/' || count == 3) return false;
    p++;
    if (p < end && *p == '/') {
      if (count != 1) return false;
      doubleSlash = true;
      p++;
    }
  }
  if (doubleSlash) {
    if (count != 2) return false;
    *form = OBX_FORM_VN;
    fields[0] = values[0];
    fields[2] = values[1];
    return true;
  }
  static const ObxItemForm forms[4] = {OBX_FORM_V, OBX_FORM_V, OBX_FORM_VT, OBX_FORM_VTN};
  *form = forms[count];
  for (int i = 0; i < count; i++) fields[i] = values[i];
  return true;
}

// Decides a face's form from its first item (a zero-terminated token) and
// scans that item into fields.
template <bool Signed>
static ObxItemForm obxScanFirstItem(const char* item, uint32_t fields[3], bool* outOfRange) {
  ObxScanner scan = {item, item + strlen(item)};
  if (strstr(item, "//")) {
    obxScanItem<Signed>(&scan, OBX_FORM_VN, fields, outOfRange);
    return OBX_FORM_VN;
  }
  if (obxScanItem<Signed>(&scan, OBX_FORM_VTN, fields, outOfRange) == 3) return OBX_FORM_VTN;
  scan.p = item;
  if (obxScanItem<Signed>(&scan, OBX_FORM_VT, fields, outOfRange) == 2) return OBX_FORM_VT;
  scan.p = item;
  obxScanItem<Signed>(&scan, OBX_FORM_V, fields, outOfRange);
  return OBX_FORM_V;
}

// Reads the first item of a face as a token, decides the face's form and
// scans the item. At the end of the file there is no item, and the face is
// scanned from the empty text.
template <bool Signed>
static inline ObxItemForm obxReadFirstItem(ObxObjReader* reader, uint32_t fields[3],
                                           bool* outOfRange) {
  if (obxReaderFastPaths) {
    // The usual first item, numbers of up to seven digits with slashes and
    // a blank after it, taken eight bytes at a time: the token it is and
    // the form and fields that obxQuickFirstItem gives that token.
    obxSkipSpace(&reader->scan);
    const char* p = reader->scan.p;
    if (reader->scan.end - p >= OBX_QUICK_MARGIN) {
      uint32_t values[3];
      int count = 0;
      bool doubleSlash = false;
      for (;;) {
        const uint64_t word = obxLoad8(p);
        const int digits = obxDigitCount8(word);
        if (digits == 0 || digits == 8) break;
        values[count++] = Signed ? 0 : obxDigitValue8(word, digits);  // as above
        p += digits;
        if (obxIsSpace((unsigned char)*p)) {
          if (doubleSlash && count != 2) break;
          reader->scan.p = p;
          if (doubleSlash) {
            fields[0] = values[0];
            fields[2] = values[1];
            return OBX_FORM_VN;
          }
          for (int i = 0; i < count; i++) fields[i] = values[i];
          return count == 1 ? OBX_FORM_V : count == 2 ? OBX_FORM_VT : OBX_FORM_VTN;
        }
        if (*p != '/' || count == 3) break;
        p++;
        if (*p == '/') {
          if (count != 1) break;
          doubleSlash = true;
          p++;
        }
      }
    }  // otherwise the token way, from the same place
  }
  const char* item;
  size_t length = obxScanToken(&reader->scan, OBX_TOKEN_MAX, &item);
  ObxItemForm form;
  if (obxReaderFastPaths && obxQuickFirstItem(item, length, &form, fields)) return form;
  obxCopyToken(reader->token, item, length);
  return obxScanFirstItem<Signed>(reader->token, fields, outOfRange);
}

// mtllib: the first word of the rest of the line names the library, which is
// read at once so that the second pass finds every material.
static void obxReadMtllib(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  obxReadLine(reader);
  obxFirstWord(reader->token);
  // Without a name there is no library to read; the statement is dropped
  // rather than reading the directory itself.
  if (reader->token[0] == '\0') {
    obxWarn("obxReadOBJ: mtllib without a file name ignored");
    return;
  }
  // The library just read, named again, gives the same table and textures:
  // reading it once keeps a run of such statements from costing their
  // number times the library's length.
  if (model->mtllibname && strcmp(model->mtllibname, reader->token) == 0) return;
  char* name = obxTrimCopy(reader->token);
  if (!name) obxFailOutOfMemory("obxReadOBJ", model->path);
  free(model->mtllibname);
  model->mtllibname = name;
  reader->librariesRead++;
  obxReadMTL(model, model->mtllibname);
}

// Counts the triangles of one face: a face of k >= 3 items gives k - 2, a
// shorter one gives 1.
template <ObxItemForm form>
static uint64_t obxCountItems(ObxScanner* scan, uint32_t fields[3], bool* outOfRange) {
  obxScanFaceItem<true, form>(scan, fields, outOfRange);
  obxScanFaceItem<true, form>(scan, fields, outOfRange);
  uint64_t count = 1;
  while (obxScanFaceItem<true, form>(scan, fields, outOfRange) > 0) count++;
  return count;
}

static uint64_t obxCountFace(ObxObjReader* reader) {
  if (obxReaderFastPaths) {
    // A whole line of plain items at once, without their numbers' values.
    const char* feed;
    if (const int items = obxQuickFaceLine(reader->scan.p, reader->scan.end, &feed)) {
      reader->scan.p = feed;
      return items >= 3 ? uint64_t(items - 2) : 1;
    }
  }
  uint32_t fields[3] = {0, 0, 0};
  bool outOfRange = false;  // values are not kept in this pass
  switch (obxReadFirstItem<true>(reader, fields, &outOfRange)) {
    case OBX_FORM_V: return obxCountItems<OBX_FORM_V>(&reader->scan, fields, &outOfRange);
    case OBX_FORM_VT: return obxCountItems<OBX_FORM_VT>(&reader->scan, fields, &outOfRange);
    case OBX_FORM_VTN: return obxCountItems<OBX_FORM_VTN>(&reader->scan, fields, &outOfRange);
    case OBX_FORM_VN: break;
  }
  return obxCountItems<OBX_FORM_VN>(&reader->scan, fields, &outOfRange);
}

// Makes room for twice as many elements of width floats in *array (or for
// a first share of them, from the size of the file); slot 0 is zeroed.
static void obxGrowVectors(ObxObjReader* reader, float** array, uint64_t* room, int width) {
  // A first share of one element per 64 bytes of file holds all of a usual
  // file's elements; what is never touched costs no memory.
  const uint64_t first = std::min<uint64_t>(std::max<uint64_t>(1024, reader->file.size / 64), 1u << 24);
  // Counts past 32 bits fail after the pass; no room is made for them.
  const uint64_t wanted = std::min<uint64_t>(*room ? 2 * *room : first, UINT32_MAX - 1);
  if (wanted + 1 > SIZE_MAX / (sizeof(float) * size_t(width)))
    obxFailOutOfMemory("obxReadOBJ", reader->model->path);
  const size_t bytes = sizeof(float) * size_t(width) * size_t(wanted + 1);
  float* grown = static_cast<float*>(realloc(*array, bytes));
  if (!grown) obxFailOutOfMemory("obxReadOBJ", reader->model->path);
  if (!*array)
    for (int i = 0; i < width; i++) grown[i] = 0.0f;
  *array = grown;
  *room = wanted;
  if (obxReaderFastPaths) obxAdviseHugePages(grown, bytes);
}

// Cuts *array down to count elements of width floats, or frees it when
// there are none (the vertex array always keeps its slot 0).
static void obxFitVectors(ObxModel* model, float** array, uint32_t count, int width) {
  if (!*array) return;
  if (count == 0 && array != &model->vertices) {
    free(*array);
    *array = NULL;
    return;
  }
  // Shrinking gives back only what was never touched; it cannot fail
  // in a way that loses the block.
  float* fitted = static_cast<float*>(realloc(*array, sizeof(float) * width * (size_t(count) + 1)));
  if (fitted) *array = fitted;
}

// The first pass's v, vn or vt statement: counts it and stores its Count
// numbers as element *count of *array (1-based), zero for those missing.
template <int Count>
static void obxStoreVectorLine(ObxObjReader* reader, float** array, uint64_t* count,
                               uint64_t* room, uint32_t* sofar) {
  ObxScanner* scan = &reader->scan;
  const uint64_t n = ++*count;
  // The model's count follows, for the index checks of triangles stored in
  // this pass; it is set for good after the pass.
  *sofar = uint32_t(std::min<uint64_t>(n, UINT32_MAX));
  if (n > *room) {
    // A count that can no longer fit fails after the pass, with its own
    // message; its lines are only stepped over until then.
    if (n > UINT32_MAX - 1) {
      float ignored[Count];
      obxScanVertexFloats<false>(scan, Count, ignored);
      return;
    }
    obxGrowVectors(reader, array, room, Count);
  }
  float* values = *array + Count * size_t(n);
  if (obxReaderFastPaths) {
    if (const char* feed = obxQuickVertexLine<Count>(reader->file.data, scan->p, scan->end, values)) {
      scan->p = feed;
      return;
    }
  }
  if (reader->exactCount <= OBX_EXACT_LINES_MAX) {
    if (reader->exactCount < OBX_EXACT_LINES_MAX)
      reader->exactLines[reader->exactCount] = uint64_t(scan->p - reader->file.data);
    reader->exactCount++;
  }
  for (int i = 0; i < Count; i++) values[i] = 0.0f;
  obxScanVertexFloats<true>(scan, Count, values);
}

// The second pass's v, vn or vt statement, already stored: consumes what
// the first pass consumed there.
static inline void obxStepOverVectorLine(ObxObjReader* reader, int count) {
  ObxScanner* scan = &reader->scan;
  if (reader->exactCount <= OBX_EXACT_LINES_MAX) {
    const uint64_t offset = uint64_t(scan->p - reader->file.data);
    if (reader->exactNext == reader->exactCount || reader->exactLines[reader->exactNext] != offset) {
      // Read whole in the first pass: the line ends within 64 bytes, and the
      // read stopped at its line feed.
      const void* feed = memchr(scan->p, '\n', 64);
      OBX_ASSERT(feed);
      scan->p = static_cast<const char*>(feed);
      return;
    }
    reader->exactNext++;
  }
  float ignored[3];
  obxSkipVertexFloats(scan, count, ignored);
}

// Stores one scanned item as a corner of triangle, by the face's form.
static inline void obxStoreCorner(ObxTriangle* triangle, int corner, ObxItemForm form,
                                  const uint32_t fields[3]) {
  triangle->vindices[corner] = fields[0];
  triangle->tindices[corner] =
      (form == OBX_FORM_VT || form == OBX_FORM_VTN) ? fields[1] : OBX_NO_INDEX;
  triangle->nindices[corner] =
      (form == OBX_FORM_VN || form == OBX_FORM_VTN) ? fields[2] : OBX_NO_INDEX;
}

// The most items a face line read at once may have: a line of up to 63
// bytes holds at most 32.
enum { OBX_QUICK_FACE_ITEMS = 32 };

// State of storing the triangles, in whichever pass stores them.
struct ObxFill {
  uint32_t triangles;  // triangles stored
  uint32_t room;       // triangles model->triangles has room for
  ObxGroup* group;
  uint32_t groupCapacity;  // second pass: the first pass's count for group
  uint32_t material;
  bool outOfBounds;  // as in ObxObjReader
  bool growing;      // first pass: the arrays grow as the triangles come
  bool unsure;       // first pass: a face needs the second pass's message
  // Trying to read a face line at once costs about as much as reading a
  // short one; where the lines keep being turned down (too long, say), the
  // faces go item by item for a while without trying.
  uint32_t quickMisses;  // face lines turned down in a row
  uint32_t quickPause;   // faces left to read before trying again
};
enum { OBX_QUICK_MISSES_MAX = 8, OBX_QUICK_PAUSE = 256 };

// Makes room for more triangles while the first pass stores them.
static void obxGrowTriangles(ObxObjReader* reader, ObxFill* fill) {
  // The second pass has room for exactly what the first counted.
  OBX_ASSERT(fill->growing);
  ObxModel* model = reader->model;
  const uint32_t limit = UINT32_MAX - 1;  // counts + 1 must still fit
  // Stopping here rather than after the pass only matters to a file of more
  // than four billion triangles: it fails with this message either way,
  // unless some later statement would have failed first.
  if (fill->room == limit) obxFail("obxReadOBJ: too many elements in \"%s\"", model->path);
  // The first share holds all the triangles of most files (a face of big
  // models takes some 25 bytes a triangle, and at least 8), so that the
  // block is rarely moved; what is never touched costs no memory.
  const uint64_t first = std::min<uint64_t>(std::max<uint64_t>(1024, reader->file.size / 16), 1u << 25);
  const uint64_t wanted = std::min<uint64_t>(fill->room ? 2 * uint64_t(fill->room) : first, limit);
  if (wanted > SIZE_MAX / sizeof(ObxTriangle)) obxFailOutOfMemory("obxReadOBJ", model->path);
  const size_t bytes = sizeof(ObxTriangle) * size_t(wanted);
  ObxTriangle* grown = static_cast<ObxTriangle*>(realloc(model->triangles, bytes));
  if (!grown) obxFailOutOfMemory("obxReadOBJ", model->path);
  model->triangles = grown;
  fill->room = uint32_t(wanted);
  obxAdviseHugePages(grown, bytes);
}

// The slot of the next triangle.
static inline ObxTriangle* obxNextTriangle(ObxObjReader* reader, ObxFill* fill) {
  if (__builtin_expect(fill->triangles == fill->room, 0)) obxGrowTriangles(reader, fill);
  return &reader->model->triangles[fill->triangles];
}

// Makes room in group's member list while the first pass stores triangles:
// a list of n members has room for the next power of two from 16 up.
static void obxGrowGroup(ObxObjReader* reader, ObxGroup* group) {
  const size_t n = group->numtriangles;
  const size_t wanted = n == 0 ? 16 : 2 * n;
  uint32_t* grown = static_cast<uint32_t*>(realloc(group->triangles, sizeof(uint32_t) * wanted));
  if (!grown) obxFailOutOfMemory("obxReadOBJ", reader->model->path);
  group->triangles = grown;
}

// Whether index lies outside 1..count; none, when allowed, is not.
static inline bool obxIndexOutside(uint32_t index, uint32_t count, bool noneAllowed) {
  return (index - 1u >= count) && !(noneAllowed && index == OBX_NO_INDEX);
}

static inline void obxAppendTriangle(ObxObjReader* reader, ObxFill* fill) {
  ObxModel* model = reader->model;
  ObxGroup* group = fill->group;
  const uint32_t members = group->numtriangles;
  if (fill->growing) {
    if (members == 0 || (members >= 16 && (members & (members - 1)) == 0))
      obxGrowGroup(reader, group);
  } else {
    // The first pass counted exactly these members; more would overrun.
    OBX_ASSERT(members < fill->groupCapacity);
  }
  // A stored triangle no longer changes: its bounds are noted here, while it
  // is at hand, so that the check after the pass runs only when it fails.
  // (In the first pass the counts are those so far; a later element only
  // makes the check run.)
  const ObxTriangle* t = &model->triangles[fill->triangles];
  bool outside = false;
  for (int j = 0; j < 3; j++)
    outside |= obxIndexOutside(t->vindices[j], model->numvertices, false) |
               obxIndexOutside(t->nindices[j], model->numnormals, true) |
               obxIndexOutside(t->tindices[j], model->numtexcoords, true);
  fill->outOfBounds |= outside;
  group->triangles[group->numtriangles++] = fill->triangles;
  fill->triangles++;
}

// The next triangle of a face's fan: corners 0 and 1 are corners 0 and 2
// of the triangle stored just before it. (Making room may move the array,
// so that one is found by its place.)
static inline ObxTriangle* obxNextFanTriangle(ObxObjReader* reader, ObxFill* fill) {
  ObxTriangle* next = obxNextTriangle(reader, fill);
  const ObxTriangle* previous = next - 1;
  next->material = fill->material;
  next->findex = OBX_NO_INDEX;
  for (int c = 0; c < 2; c++) {
    const int from = c == 0 ? 0 : 2;
    next->vindices[c] = previous->vindices[from];
    next->nindices[c] = previous->nindices[from];
    next->tindices[c] = previous->tindices[from];
  }
  return next;
}

// The rest of a face after its first item, stored as corner 0 of triangle.
template <ObxItemForm form>
static void obxFillItems(ObxObjReader* reader, ObxFill* fill, ObxTriangle* triangle,
                         uint32_t fields[3], bool outOfRange) {
  ObxScanner* scan = &reader->scan;
  obxStoreCorner(triangle, 0, form, fields);
  obxScanFaceItem<false, form>(scan, fields, &outOfRange);
  obxStoreCorner(triangle, 1, form, fields);
  obxScanFaceItem<false, form>(scan, fields, &outOfRange);
  for (;;) {
    obxStoreCorner(triangle, 2, form, fields);
    // An index beyond 32 bits would be cut to some other, valid-looking
    // index; it cannot name anything in a file this reader can hold.
    // (The first pass leaves the message to the second.)
    if (outOfRange) {
      if (!fill->growing)
        obxFail("index for triangle %d out of bounds (more than 32 bits)\n", int(fill->triangles));
      fill->unsure = true;
    }
    obxAppendTriangle(reader, fill);
    if (obxScanFaceItem<false, form>(scan, fields, &outOfRange) < 1) break;
    triangle = obxNextFanTriangle(reader, fill);
  }
}

// A face whose items were all read at once: items[0..count-1], count >= 3,
// made into the same fan of triangles as obxFillItems makes, starting with
// triangle.
template <ObxItemForm form>
static void obxFillReadItems(ObxObjReader* reader, ObxFill* fill, ObxTriangle* triangle,
                             const uint32_t items[][3], int count) {
  obxStoreCorner(triangle, 0, form, items[0]);
  obxStoreCorner(triangle, 1, form, items[1]);
  obxStoreCorner(triangle, 2, form, items[2]);
  obxAppendTriangle(reader, fill);
  for (int k = 3; k < count; k++) {
    obxStoreCorner(obxNextFanTriangle(reader, fill), 2, form, items[k]);
    obxAppendTriangle(reader, fill);
  }
}

static void obxFillFace(ObxObjReader* reader, ObxFill* fill) {
  uint32_t fields[3] = {0, 0, 0};
  bool outOfRange = false;

  ObxTriangle* triangle = obxNextTriangle(reader, fill);
  triangle->findex = OBX_NO_INDEX;
  if (fill->group->material == 0) fill->group->material = fill->material;
  triangle->material = fill->material;
  if (fill->quickPause) {
    fill->quickPause--;
  } else if (obxReaderFastPaths) {
    // A short line of plain items, all read at once.
    uint32_t items[OBX_QUICK_FACE_ITEMS][3];
    ObxItemForm form;
    const char* feed;
    const int count = obxQuickFaceValues<OBX_QUICK_FACE_ITEMS>(reader->scan.p, reader->scan.end,
                                                               &form, items, &feed);
    if (!count && ++fill->quickMisses == OBX_QUICK_MISSES_MAX) {
      fill->quickMisses = 0;
      fill->quickPause = OBX_QUICK_PAUSE;
    }
    if (count) {
      fill->quickMisses = 0;
      reader->scan.p = feed;
      switch (form) {
        case OBX_FORM_V: return obxFillReadItems<OBX_FORM_V>(reader, fill, triangle, items, count);
        case OBX_FORM_VT: return obxFillReadItems<OBX_FORM_VT>(reader, fill, triangle, items, count);
        case OBX_FORM_VTN:
          return obxFillReadItems<OBX_FORM_VTN>(reader, fill, triangle, items, count);
        case OBX_FORM_VN: return obxFillReadItems<OBX_FORM_VN>(reader, fill, triangle, items, count);
      }
    }
  }
  switch (obxReadFirstItem<false>(reader, fields, &outOfRange)) {
    case OBX_FORM_V: return obxFillItems<OBX_FORM_V>(reader, fill, triangle, fields, outOfRange);
    case OBX_FORM_VT: return obxFillItems<OBX_FORM_VT>(reader, fill, triangle, fields, outOfRange);
    case OBX_FORM_VTN:
      return obxFillItems<OBX_FORM_VTN>(reader, fill, triangle, fields, outOfRange);
    case OBX_FORM_VN: break;
  }
  obxFillItems<OBX_FORM_VN>(reader, fill, triangle, fields, outOfRange);
}

// The first pass counts what the file holds, reads the material library and
// stores the numbers of v, vn and vt. Where nothing that the second pass
// does can come out differently, it stores the triangles too, and there is
// no second pass: with the fast paths on, until a face or usemtl would need
// the second pass's message (an index past 32 bits, a material not found;
// the lookup warns) or a material library is read after a usemtl (the
// second pass looks names up in the last library read). From there it only
// counts, and the second pass stores every triangle as before.
static void obxFirstPass(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  ObxScanner* scan = &reader->scan;
  ObxGroup* group = obxReaderGroup(reader, "default");
  ObxFill fill;
  memset(&fill, 0, sizeof fill);
  fill.group = group;
  fill.growing = obxReaderFastPaths;
  bool materialsUsed = false;  // a usemtl has been looked up

  for (;;) {
    const char* token;
    size_t length = obxScanKeyword(scan, &token);
    if (length == 0) break;
    const char second = length > 1 ? token[1] : '\0';
    switch (token[0]) {
      case 'v':
        // Both passes read the numbers of v, vn and vt the same way, so a
        // long line or a statement sharing its line cannot make them count
        // differently.
        if (second == '\0') {
          obxStoreVectorLine<3>(reader, &model->vertices, &reader->numvertices, &reader->room[0],
                                &model->numvertices);
        } else if (second == 'n') {
          obxStoreVectorLine<3>(reader, &model->normals, &reader->numnormals, &reader->room[1],
                                &model->numnormals);
        } else if (second == 't') {
          obxStoreVectorLine<2>(reader, &model->texcoords, &reader->numtexcoords,
                                &reader->room[2], &model->numtexcoords);
        } else {
          obxCopyToken(reader->token, token, length);
          obxFail("obxFirstPass(): Unknown token \"%s\".", reader->token);
        }
        break;
      case 'f':
        if (fill.growing) {
          const uint32_t before = fill.triangles;
          obxFillFace(reader, &fill);
          reader->numtriangles += fill.triangles - before;
          if (fill.unsure) fill.growing = false;
        } else {
          uint64_t count = obxCountFace(reader);
          reader->numtriangles += count;
          // May wrap only when the total exceeds 32 bits, which fails below.
          group->numtriangles += uint32_t(count);
        }
        break;
      case 'g':
        obxReadGroupName(reader);
        group = obxReaderGroup(reader, reader->token);
        fill.group = group;
        break;
      case 'm': {
        if (!obxKeywordIs(token, length, "mtllib")) {
          obxCopyToken(reader->token, token, length);
          obxFail("obxReadOBJ: Got \"%s\" instead of \"mtllib\"", reader->token);
        }
        const uint32_t libraries = reader->librariesRead;
        obxReadMtllib(reader);
        if (reader->librariesRead != libraries && materialsUsed) fill.growing = false;
        break;
      }
      case 'u':
        if (!obxKeywordIs(token, length, "usemtl")) {
          obxCopyToken(reader->token, token, length);
          obxFail("obxReadOBJ: Got \"%s\" instead of \"usemtl\"", reader->token);
        }
        obxReadLine(reader);
        if (fill.growing) {
          // As the second pass does it, without the lookup's warning.
          materialsUsed = true;
          obxFirstWord(reader->token);
          if (!obxReaderMaterial(reader, reader->token, &fill.material)) {
            fill.growing = false;
            break;
          }
          if (group->material == 0 && group->numtriangles > 0) group->material = fill.material;
        }
        break;
      default:  // "#", "s", "o", "l", numbers, anything else
        obxReadLine(reader);
        break;
    }
  }

  const uint64_t limit = UINT32_MAX - 1;  // counts + 1 must still fit
  if (reader->numvertices > limit || reader->numnormals > limit || reader->numtexcoords > limit ||
      reader->numtriangles > limit)
    obxFail("obxReadOBJ: too many elements in \"%s\"", model->path);
  model->numvertices = uint32_t(reader->numvertices);
  model->numnormals = uint32_t(reader->numnormals);
  model->numtexcoords = uint32_t(reader->numtexcoords);
  model->numtriangles = uint32_t(reader->numtriangles);
  // The arrays shrink to their counts; the model always has a vertex array.
  if (!model->vertices) obxGrowVectors(reader, &model->vertices, &reader->room[0], 3);
  obxFitVectors(model, &model->vertices, model->numvertices, 3);
  obxFitVectors(model, &model->normals, model->numnormals, 3);
  obxFitVectors(model, &model->texcoords, model->numtexcoords, 2);

  reader->stored = fill.growing;
  if (!reader->stored) return;
  OBX_ASSERT(fill.triangles == model->numtriangles);
  reader->outOfBounds = fill.outOfBounds;
  // As after a second pass: an array of exactly the triangles (a block
  // even without any), and a list for every group (one spare entry).
  ObxTriangle* fitted = static_cast<ObxTriangle*>(
      realloc(model->triangles, sizeof(ObxTriangle) * std::max<size_t>(model->numtriangles, 1)));
  if (!fitted) obxFailOutOfMemory("obxReadOBJ", model->path);
  if (model->numtriangles == 0) memset(fitted, 0, sizeof(ObxTriangle));
  model->triangles = fitted;
  for (ObxGroup* g = model->groups; g; g = g->next) {
    uint32_t* list = static_cast<uint32_t*>(
        realloc(g->triangles, sizeof(uint32_t) * (size_t(g->numtriangles) + 1)));
    if (!list) obxFailOutOfMemory("obxReadOBJ", model->path);
    g->triangles = list;
  }
}

// A zeroed block of count elements of size bytes; NULL when memory runs out.
static void* obxAllocateZeroed(size_t count, size_t size) {
  void* block = calloc(count ? count : 1, size);
  if (block && obxReaderFastPaths) obxAdviseHugePages(block, count * size);
  return block;
}

// Before a second pass: each group's list has room for the members the
// first pass counted, and is empty again, as is the triangle array.
static void obxPrepareSecondPass(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  reader->capacity =
      static_cast<uint32_t*>(obxReallocHeld(NULL, sizeof(uint32_t) * (size_t(reader->numgroups) + 1)));
  if (!reader->capacity) obxFailOutOfMemory("obxReadOBJ", model->path);
  for (uint32_t i = 0; i < reader->numgroups; i++) {
    ObxGroup* g = reader->groups[i];
    // One spare entry, so that a group without members still gets a block.
    uint32_t* list = static_cast<uint32_t*>(
        realloc(g->triangles, sizeof(uint32_t) * (size_t(g->numtriangles) + 1)));
    if (!list) obxFailOutOfMemory("obxReadOBJ", model->path);
    g->triangles = list;
    reader->capacity[i] = g->numtriangles;
    g->numtriangles = 0;
    g->material = 0;
  }
  free(model->triangles);
  model->triangles =
      static_cast<ObxTriangle*>(obxAllocateZeroed(model->numtriangles, sizeof(ObxTriangle)));
  if (!model->triangles) obxFailOutOfMemory("obxReadOBJ", model->path);
}

static void obxSecondPass(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  ObxScanner* scan = &reader->scan;
  ObxFill fill;
  memset(&fill, 0, sizeof fill);
  fill.room = model->numtriangles;
  uint32_t entry = obxReaderGroupEntry(reader, "default");
  OBX_ASSERT(entry);
  fill.group = reader->groups[entry - 1];
  fill.groupCapacity = reader->capacity[entry - 1];

  for (;;) {
    const char* token;
    size_t length = obxScanKeyword(scan, &token);
    if (length == 0) break;
    const char second = length > 1 ? token[1] : '\0';
    switch (token[0]) {
      case 'v':
        // Stored by the first pass, which has stopped at every other "v" keyword.
        OBX_ASSERT(second == '\0' || second == 'n' || second == 't');
        obxStepOverVectorLine(reader, second == 't' ? 2 : 3);
        break;
      case 'f': obxFillFace(reader, &fill); break;
      case 'g':
        obxReadGroupName(reader);
        entry = obxReaderGroupEntry(reader, reader->token);
        OBX_ASSERT(entry);
        fill.group = reader->groups[entry - 1];
        fill.groupCapacity = reader->capacity[entry - 1];
        break;
      case 'u':
        obxReadLine(reader);
        // Without a name the lookup of the empty name finds nothing and
        // selects the default material, with the lookup's warning.
        obxFirstWord(reader->token);
        if (!obxReaderMaterial(reader, reader->token, &fill.material)) {
          obxWarnNoMaterial(reader->token);
          fill.material = 0;
        }
        if (fill.group->material == 0 && fill.group->numtriangles > 0)
          fill.group->material = fill.material;
        break;
      default:  // "#", "mtllib" (read in the first pass), anything else
        obxReadLine(reader);
        break;
    }
  }
  OBX_ASSERT(fill.triangles == model->numtriangles);
  reader->outOfBounds = fill.outOfBounds;
}

// Checks every corner's indices, so that no index read from the file can
// reach beyond an array later.
static void obxCheckIndices(const ObxModel* model) {
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const ObxTriangle* triangle = &model->triangles[i];
    for (int j = 0; j < 3; j++) {
      uint32_t n = triangle->nindices[j];
      if (n != OBX_NO_INDEX && (n == 0 || n > model->numnormals))
        obxFail("normal index for triangle %d out of bounds (%d > %d)\n", int(i), int(n),
                int(model->numnormals));
      uint32_t v = triangle->vindices[j];
      if (v == 0 || v > model->numvertices)
        obxFail("vertex index for triangle %d out of bounds (%d > %d)\n", int(i), int(v),
                int(model->numvertices));
      // Texture coordinates are checked like the others: drawing reads
      // texcoords by these indices.
      uint32_t t = triangle->tindices[j];
      if (t != OBX_NO_INDEX && (t == 0 || t > model->numtexcoords))
        obxFail("texture coordinate index for triangle %d out of bounds (%d > %d)\n", int(i),
                int(t), int(model->numtexcoords));
    }
  }
}

ObxModel* obxReadOBJ(const char* path) {
  OBX_ASSERT(path != NULL);
  ObxObjReader reader;
  memset(&reader, 0, sizeof reader);
  ObxMapResult mapped = obxMapFile(path, &reader.file);
  if (mapped == OBX_MAP_CANNOT_OPEN)
    obxFail("obxReadOBJ() failed: can't open data file \"%s\".", path);
  if (mapped == OBX_MAP_NO_MEMORY) obxFailOutOfMemory("obxReadOBJ", path);

  ObxModel* model = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
  if (!model) obxFailOutOfMemory("obxReadOBJ", path);
  obxHold(OBX_HELD_MODEL, model, 0);
  model->path = obxCopyString(path);
  if (!model->path) obxFailOutOfMemory("obxReadOBJ", path);
  reader.model = model;

  reader.scan = {reader.file.data, reader.file.data + reader.file.size};
  obxFirstPass(&reader);

  if (!reader.stored) {
    obxPrepareSecondPass(&reader);
    reader.scan = {reader.file.data, reader.file.data + reader.file.size};
    obxSecondPass(&reader);
    obxFreeHeld(reader.capacity);
  }
  obxIndexFree(&reader.materialIndex);
  obxIndexFree(&reader.groupIndex);
  obxFreeHeld(reader.groups);
  obxUnmapFile(&reader.file);

  // The check names the first bad triangle; the second pass has seen
  // whether there is one.
  if (reader.outOfBounds || !obxReaderFastPaths) obxCheckIndices(model);
  obxComputeFacetNormals(model);
  obxLetGo(model);
  return model;
}

// ==== SECTION: MTL reader and material lookup ==============================

// State of one obxReadMTL. Both passes walk the file through the same
// statement code, so they cannot disagree on where statements begin: the
// counting pass consumes exactly what the filling pass reads, it only keeps
// nothing and stays silent.
struct ObxMtlReader {
  ObxModel* model;
  const char* filename;  // directory of the model joined with the name, for messages
  ObxScanner scan;
  bool fill;                   // second pass: store and warn
  uint64_t count;              // materials counted ("default" included)
  uint32_t current;            // material the statements change
  char token[OBX_TOKEN_SIZE];  // keyword, for messages
  char line[OBX_MAP_LINE_MAX + 1];
};

// Reads the rest of the line (up to max characters) into reader->line.
static void obxMtlReadLine(ObxMtlReader* reader, size_t max) {
  const char* line;
  size_t length = obxScanLine(&reader->scan, max, &line);
  memcpy(reader->line, line, length);
  reader->line[length] = '\0';
}

static void obxSetMaterialDefaults(ObxMaterial* material) {
  material->name = NULL;
  const float diffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f};
  const float ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  const float specular[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  memcpy(material->diffuse, diffuse, sizeof diffuse);
  memcpy(material->ambient, ambient, sizeof ambient);
  memcpy(material->specular, specular, sizeof specular);
  material->shininess = 65.0f;
  material->map_diffuse = -1;
}

// newmtl: the first word of the rest of the line names the next material.
static void obxMtlNewMaterial(ObxMtlReader* reader) {
  obxMtlReadLine(reader, OBX_TOKEN_MAX);
  if (!reader->fill) {
    reader->count++;
    return;
  }
  ObxModel* model = reader->model;
  OBX_ASSERT(reader->current + 1 < model->nummaterials);
  // Without a word the material gets the empty name: every counted material
  // needs one, and only the first word of a name is kept.
  obxFirstWord(reader->line);
  ObxMaterial* material = &model->materials[++reader->current];
  material->name = obxCopyString(reader->line);
  if (!material->name) obxFailOutOfMemory("obxReadMTL", reader->filename);
}

// map_*: the whole trimmed rest of the line is the file name.
static void obxMtlMap(ObxMtlReader* reader, size_t length) {
  obxMtlReadLine(reader, OBX_MAP_LINE_MAX);
  if (!reader->fill) return;
  char* name = obxTrimCopy(reader->line);
  if (obxKeywordIs(reader->token, length, "map_Kd")) {
    // Nothing to look up without a file name; the material keeps its map.
    if (!name)
      obxWarn("obxReadMTL: map_Kd without a file name in file \"%s\" ignored", reader->filename);
    else
      reader->model->materials[reader->current].map_diffuse = obxTextureByName(reader->model, name);
  } else {
    obxWarn("map %s %s ignored", reader->token, name ? name : "");
  }
  free(name);
}

static void obxMtlPass(ObxMtlReader* reader) {
  ObxScanner* scan = &reader->scan;
  for (;;) {
    const char* token;
    size_t length = obxScanToken(scan, OBX_TOKEN_MAX, &token);
    if (length == 0) break;
    obxCopyToken(reader->token, token, length);
    const char* keyword = reader->token;
    const bool fill = reader->fill;
    ObxMaterial* material = fill ? &reader->model->materials[reader->current] : NULL;
    float value;
    switch (keyword[0]) {
      case 'n':
        if (!obxKeywordIs(token, length, "newmtl"))
          obxFail("obxReadMTL: Got \"%s\" instead of \"newmtl\" in file \"%s\"", keyword,
                  reader->filename);
        obxMtlNewMaterial(reader);
        break;
      case 'K': {
        float* color = NULL;
        float scratch[3];
        if (keyword[1] == 'd')
          color = fill ? material->diffuse : scratch;
        else if (keyword[1] == 'a')
          color = fill ? material->ambient : scratch;
        else if (keyword[1] == 's')
          color = fill ? material->specular : scratch;
        if (color) {
          obxScanFloats<true>(scan, 3, color);
        } else {
          if (fill) obxWarn("obxReadMTL: Command \"%s\" ignored", keyword);
          obxMtlReadLine(reader, OBX_TOKEN_MAX);
        }
        break;
      }
      case 'N':
        if (keyword[1] == 's') {
          // The file's 0..100 scale becomes OpenGL's 0..128, in two float
          // steps. A missing number leaves the shininess as it was.
          if (obxScanFloat<true>(scan, &value) == 1 && fill) {
            material->shininess = value;
            material->shininess /= 100.0;
            material->shininess *= 128.0;
          }
        } else {
          if (fill) {
            if (keyword[1] == 'i')
              obxWarn("refraction index ignored");
            else
              obxWarn("obxReadMTL: Command \"%s\" ignored", keyword);
          }
          obxMtlReadLine(reader, OBX_TOKEN_MAX);
        }
        break;
      case 'd':
        // Without a number the alpha stays what it was.
        if (obxScanFloat<true>(scan, &value) == 1 && fill) material->diffuse[3] = value;
        break;
      case 'i': {
        if (fill && !obxKeywordIs(token, length, "illum"))
          obxFail("obxReadMTL: Got \"%s\" instead of \"illum\" in file \"%s\"", keyword,
                  reader->filename);
        uint32_t illum = 0;
        bool outOfRange = false;
        if (obxScanInt<true>(scan, &illum, &outOfRange) == 1 && fill && int32_t(illum) != 2)
          obxWarn("illum material ignored: illum %d", int32_t(illum));
        break;
      }
      case 'm': obxMtlMap(reader, length); break;
      case 'r':
        obxMtlReadLine(reader, OBX_TOKEN_MAX);
        if (fill) obxWarn("reflection type ignored: r%s", reader->line);
        break;
      default:  // "#", "Tr", "Tf", numbers, anything else
        obxMtlReadLine(reader, OBX_TOKEN_MAX);
        break;
    }
  }
}

static void obxFreeMaterials(ObxModel* model) {
  if (!model->materials) return;
  for (uint32_t i = 0; i < model->nummaterials; i++) free(model->materials[i].name);
  free(model->materials);
  model->materials = NULL;
  model->nummaterials = 0;
}

void obxReadMTL(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->path);
  OBX_ASSERT(name != NULL);
  char* directory = obxDirectoryOf(model->path);
  char* filename = directory ? obxJoin(directory, name) : NULL;
  free(directory);
  if (!filename) obxFailOutOfMemory("obxReadMTL", name);
  obxHold(OBX_HELD_BLOCK, filename, 0);

  ObxFileView file;
  ObxMapResult mapped = obxMapFile(filename, &file);
  if (mapped == OBX_MAP_CANNOT_OPEN)
    obxFail("obxReadMTL() failed: can't open material file \"%s\".", filename);
  if (mapped == OBX_MAP_NO_MEMORY) obxFailOutOfMemory("obxReadMTL", filename);

  // Heap state: the reader holds a 260-byte line buffer besides the token.
  ObxMtlReader* reader = static_cast<ObxMtlReader*>(calloc(1, sizeof(ObxMtlReader)));
  if (!reader) obxFailOutOfMemory("obxReadMTL", filename);
  obxHold(OBX_HELD_BLOCK, reader, 0);
  reader->model = model;
  reader->filename = filename;
  reader->count = 1;  // "default"
  reader->scan = {file.data, file.data + file.size};
  obxMtlPass(reader);
  if (reader->count > UINT32_MAX) obxFail("obxReadMTL: too many materials in \"%s\"", filename);

  // A table from an earlier mtllib statement of the same file is dropped.
  obxFreeMaterials(model);
  ObxMaterial* materials =
      static_cast<ObxMaterial*>(malloc(sizeof(ObxMaterial) * size_t(reader->count)));
  if (!materials) obxFailOutOfMemory("obxReadMTL", filename);
  for (uint64_t i = 0; i < reader->count; i++) obxSetMaterialDefaults(&materials[i]);
  model->materials = materials;
  model->nummaterials = uint32_t(reader->count);
  materials[0].name = obxCopyString("default");
  if (!materials[0].name) obxFailOutOfMemory("obxReadMTL", filename);

  reader->fill = true;
  reader->current = 0;
  reader->scan = {file.data, file.data + file.size};
  obxMtlPass(reader);
  OBX_ASSERT(reader->current + 1 == model->nummaterials);

  obxLetGo(reader);
  free(reader);
  obxUnmapFile(&file);
  obxLetGo(filename);
  free(filename);
}

static void obxWarnNoMaterial(const char* name) {
  obxWarn("obxFindMaterial():  can't find material \"%s\".", name);
}

uint32_t obxFindMaterial(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(name != NULL);
  for (uint32_t i = 0; i < model->nummaterials; i++) {
    OBX_ASSERT(model->materials[i].name != NULL);
    if (strcmp(model->materials[i].name, name) == 0) return i;
  }
  obxWarnNoMaterial(name);
  return 0;
}

int32_t obxTextureByName(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(name != NULL);
  for (uint32_t i = 0; i < model->numtextures; i++)
    if (strcmp(model->textures[i].name, name) == 0) return int32_t(i);

  char* directory = obxDirectoryOf(model->path);
  char* path = directory ? obxJoin(directory, name) : NULL;
  free(directory);
  if (!path || model->numtextures >= uint32_t(INT32_MAX))
    obxFailOutOfMemory("obxTextureByName", name);
  obxHold(OBX_HELD_BLOCK, path, 0);
  ObxTexture* textures = static_cast<ObxTexture*>(
      realloc(model->textures, sizeof(ObxTexture) * (size_t(model->numtextures) + 1)));
  if (!textures) obxFailOutOfMemory("obxTextureByName", path);
  model->textures = textures;
  ObxTexture* texture = &textures[model->numtextures];
  texture->name = obxCopyString(name);
  if (!texture->name) obxFailOutOfMemory("obxTextureByName", path);
  // A failed load writes no scales; 1.0 is what every loaded texture gets.
  texture->width = 1.0f;
  texture->height = 1.0f;
  texture->id = 0;
  model->numtextures++;
  // Without uploads the image is not even opened: its pixels would only
  // feed the upload, and the scales stay those of a loaded texture.
  if (obxTextureUpload)
    texture->id =
        obxLoadTexture(path, GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE, &texture->width, &texture->height);
  obxLetGo(path);
  free(path);
  return int32_t(model->numtextures - 1);
}

// ==== SECTION: facet and vertex normals ====================================

void obxCrossProduct(const float* u, const float* v, float* n) {
  OBX_ASSERT(u);
  OBX_ASSERT(v);
  OBX_ASSERT(n);
  n[0] = u[1] * v[2] - u[2] * v[1];
  n[1] = u[2] * v[0] - u[0] * v[2];
  n[2] = u[0] * v[1] - u[1] * v[0];
}

float obxDotProduct(const float* u, const float* v) {
  OBX_ASSERT(u);
  OBX_ASSERT(v);
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

void obxNormalizeVector(float* v) {
  OBX_ASSERT(v);
  float length = sqrtf(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  v[0] /= length;
  v[1] /= length;
  v[2] /= length;
}

// Allocation failures of the normal arrays are fatal: going on would write
// through a null pointer, and the caller has no error code to look at.
static void* obxAllocNormals(void* block, size_t count, const char* function) {
  void* grown = realloc(block, 3 * sizeof(float) * (count + 1));
  if (!grown) obxFail("%s: out of memory for %zu normals", function, count);
  return grown;
}

void obxComputeFacetNormals(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  OBX_ASSERT(model->triangles || model->numtriangles == 0);
  free(model->facetnorms);
  model->facetnorms = NULL;
  model->numfacetnorms = model->numtriangles;
  float* facetnorms =
      static_cast<float*>(obxAllocNormals(NULL, model->numfacetnorms, "obxComputeFacetNormals()"));
  obxAdviseHugePages(facetnorms, 3 * sizeof(float) * (size_t(model->numfacetnorms) + 1));
  model->facetnorms = facetnorms;
  facetnorms[0] = facetnorms[1] = facetnorms[2] = 0.0f;
  const float* vertices = model->vertices;
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    ObxTriangle* triangle = &model->triangles[i];
    OBX_ASSERT(triangle->vindices[0] <= model->numvertices);
    OBX_ASSERT(triangle->vindices[1] <= model->numvertices);
    OBX_ASSERT(triangle->vindices[2] <= model->numvertices);
    triangle->findex = i + 1;
    const float* p0 = &vertices[3 * size_t(triangle->vindices[0])];
    const float* p1 = &vertices[3 * size_t(triangle->vindices[1])];
    const float* p2 = &vertices[3 * size_t(triangle->vindices[2])];
    const float u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    const float v[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    float* n = &facetnorms[3 * (size_t(i) + 1)];
    obxCrossProduct(u, v, n);
    obxNormalizeVector(n);
  }
}

// Grows the capacity of model->normals (model->numnormals while
// obxVertexNormals runs) by step normals.
static void obxGrowNormals(ObxModel* model, uint32_t step) {
  // The capacity is a 32-bit count and OBX_NO_INDEX must stay out of reach;
  // stop rather than wrap around.
  if (model->numnormals > UINT32_MAX - 2 - step)
    obxFail("obxVertexNormals(): too many normals (%u+%u)", model->numnormals, step);
  model->numnormals += step;
  model->normals =
      static_cast<float*>(obxAllocNormals(model->normals, model->numnormals, "obxVertexNormals()"));
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

void obxVertexNormals(ObxModel* model, float angle, GLboolean keep) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->facetnorms);
  OBX_ASSERT(model->triangles || model->numtriangles == 0);
  // With keep, the existing normals are copied by the final shrink; a count
  // without an array would copy bytes that were never written.
  OBX_ASSERT(!keep || model->normals || model->numnormals == 0);

  const float cos_angle = float(cos(angle * 3.1415927410125732 / 180.0));
  const uint32_t numtriangles = model->numtriangles;
  const uint32_t numvertices = model->numvertices;
  // Each list node yields at most one normal, so 3 * numtriangles normals
  // always suffice without keep.
  const size_t numnodes = 3 * size_t(numtriangles);
  if (numnodes > UINT32_MAX - 2)
    obxFail("obxVertexNormals(): too many triangles (%u)", numtriangles);

  uint32_t next;  // index of the next normal to store
  if (!keep) {
    free(model->normals);
    model->normals = NULL;
    model->numnormals = uint32_t(numnodes);
    model->normals =
        static_cast<float*>(obxAllocNormals(NULL, model->numnormals, "obxVertexNormals()"));
    next = 1;
  } else {
    if (model->numnormals >= UINT32_MAX - 2)
      obxFail("obxVertexNormals(): too many normals (%u)", model->numnormals);
    next = model->numnormals + 1;
  }

  // One list per vertex, newest triangle first. All nodes come from one
  // block: node 3*i+j stands for corner j of triangle i.
  // Both are noted, so that a fatal error handed to a hook frees them.
  ObxNode** members = static_cast<ObxNode**>(calloc(size_t(numvertices) + 1, sizeof(ObxNode*)));
  if (members) obxHold(OBX_HELD_BLOCK, members, 0);
  ObxNode* nodes = obxAllocNodes(numnodes);
  if (nodes) obxHold(OBX_HELD_BLOCK, nodes, 0);
  if (!members || !nodes)
    obxFail("obxVertexNormals(): out of memory for %u triangles", numtriangles);
  ObxNode* node = nodes;
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

    // The reference is the list's first triangle.
    const uint32_t reffindex = T(head->index).findex;
    const float* reference = reffindex == OBX_NO_INDEX ? NULL : &facetnorms[3 * size_t(reffindex)];
    float average[3] = {0.0f, 0.0f, 0.0f};
    uint32_t avg = OBX_NO_INDEX;  // where the average goes
    for (node = head; node; node = node->next) {
      ObxTriangle* triangle = &T(node->index);
      const uint32_t findex = triangle->findex;
      const float* facet = findex == OBX_NO_INDEX ? NULL : &facetnorms[3 * size_t(findex)];
      // NaN fails the strict test.
      node->averaged = reference && facet && obxDotProduct(facet, reference) > cos_angle;
      // The corners naming v, as bits; usually exactly one.
      unsigned corners = unsigned(triangle->vindices[0] == v) |
                         unsigned(triangle->vindices[1] == v) << 1 |
                         unsigned(triangle->vindices[2] == v) << 2;
      if (node->averaged) {
        average[0] += facet[0];
        average[1] += facet[1];
        average[2] += facet[2];
        for (; corners; corners &= corners - 1) {
          const int j = __builtin_ctz(corners);
          if (keep && triangle->nindices[j] != OBX_NO_INDEX) continue;
          if (avg == OBX_NO_INDEX) {
            while (model->numnormals < next) obxGrowNormals(model, 1000);
            OBX_ASSERT(model->numnormals >= next);
            avg = next++;
          }
          triangle->nindices[j] = avg;
        }
      } else if (!facet) {
        if (keep) continue;
        for (; corners; corners &= corners - 1)
          triangle->nindices[__builtin_ctz(corners)] = OBX_NO_INDEX;
      } else {
        while (model->numnormals < next) {
          obxWarn("obxVertexNormals(): realloc %d+100\n", int(model->numnormals + 100));
          obxGrowNormals(model, 100);
        }
        OBX_ASSERT(model->numnormals >= next);
        float* slot = &model->normals[3 * size_t(next)];
        slot[0] = facet[0];
        slot[1] = facet[1];
        slot[2] = facet[2];
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
      obxNormalizeVector(average);
      float* slot = &model->normals[3 * size_t(avg)];
      slot[0] = average[0];
      slot[1] = average[1];
      slot[2] = average[2];
    }
  }

  model->numnormals = next - 1;
  obxFreeHeld(nodes);
  obxFreeHeld(members);

  // Shrink to fit; realloc keeps normals 1..numnormals without a copy.
  model->normals =
      static_cast<float*>(obxAllocNormals(model->normals, model->numnormals, "obxVertexNormals()"));
  model->normals[0] = model->normals[1] = model->normals[2] = 0.0f;
}

#undef T

// ==== SECTION: texture images ==============================================

GLboolean obxTextureLimitsPending = GL_TRUE;
GLenum obxTextureTarget = GL_TEXTURE_2D;
GLint obxMaxTextureSize = 0;
GLboolean obxGenerateMipmap = GL_FALSE;
GLboolean obxTextureUpload = GL_TRUE;

// Decoded images above this many bytes are refused: GLU computes image sizes
// in int, and no texture the hardware takes comes near it.
static const size_t kObxMaxImageBytes = size_t(INT32_MAX);

// Header lines of a raw PPM are read in pieces of at most 69 characters.
enum { kObxPpmLineSize = 70 };

void obxInitTextureLimits(void) {
  obxTextureLimitsPending = GL_FALSE;
  obxTextureTarget = GL_TEXTURE_2D;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &obxMaxTextureSize);
  if (obxExtensionSupported("GL_SGIS_generate_mipmap")) obxGenerateMipmap = GL_TRUE;
}

GLboolean obxExtensionSupported(const char* name) {
  OBX_ASSERT(name != NULL);
  if (*name == '\0' || strchr(name, ' ')) return GL_FALSE;
  const char* list = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
  if (!list) return GL_FALSE;
  const size_t length = strlen(name);
  // Only a whole entry counts: skip matches inside longer names.
  for (const char* at = strstr(list, name); at; at = strstr(at + 1, name)) {
    const bool starts = at == list || at[-1] == ' ';
    const bool ends = at[length] == '\0' || at[length] == ' ';
    if (starts && ends) return GL_TRUE;
  }
  return GL_FALSE;
}

// Reads one header piece into line; false at the end of the file.
// *continued tells whether the piece continues a longer line.
static bool obxReadPpmLine(FILE* file, char* line, bool* continued, bool* complete) {
  *continued = !*complete;
  if (!fgets(line, kObxPpmLineSize, file)) return false;
  *complete = strchr(line, '\n') != NULL;
  return true;
}

static bool obxIsBlankLine(const char* line) {
  for (; *line; line++)
    if (!isspace(static_cast<unsigned char>(*line))) return false;
  return true;
}

// Reads up to wanted decimal numbers as sscanf's "%d %d %d" would, without
// its undefined behaviour for numbers beyond int. Returns how many were
// read, or -1 when one is out of range.
static int obxScanInts(const char* line, int* const* values, int wanted) {
  int parsed = 0;
  for (const char* at = line; parsed < wanted;) {
    char* end = NULL;
    errno = 0;
    const long value = strtol(at, &end, 10);
    if (end == at) break;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return -1;
    *values[parsed++] = int(value);
    at = end;
  }
  return parsed;
}

// obxReadRawPPM, also telling whether the file began with the magic "P6".
static GLubyte* obxReadPpmFile(const char* filename, int* width, int* height, GLenum* format,
                               bool* raw) {
  *raw = false;
  FILE* file = fopen(filename, "rb");
  if (!file) {
    perror(filename);
    return NULL;
  }
  char line[kObxPpmLineSize];
  bool continued = false, complete = true;
  if (!obxReadPpmLine(file, line, &continued, &complete) || strncmp(line, "P6", 2) != 0) {
    fclose(file);
    return NULL;
  }
  *raw = true;

  int w = 0, h = 0, maximum = 0;
  int count = 0;
  bool broken = false;
  while (count < 3) {
    // A header cut short by the end of the file is broken.
    if (!obxReadPpmLine(file, line, &continued, &complete)) {
      broken = true;
      break;
    }
    if (line[0] == '#') continue;
    if (obxIsBlankLine(line)) {
      // The tail of a long line may be only its line end; a header line of
      // nothing but white space would leave the numbers unplaced.
      if (continued) continue;
      broken = true;
      break;
    }
    // The numbers still missing, in header order.
    int* const numbers[3] = {&w, &h, &maximum};
    const int parsed = obxScanInts(line, numbers + count, 3 - count);
    if (parsed < 0) {
      broken = true;
      break;
    }
    count += parsed;
  }
  (void)maximum;  // every sample is taken as one byte

  // The header must promise a picture, and the file must hold all of it:
  // checking the size first also keeps absurd headers from allocating.
  size_t bytes = 0;
  if (!broken && (w <= 0 || h <= 0 || size_t(w) > kObxMaxImageBytes / 3 / size_t(h))) broken = true;
  if (!broken) {
    bytes = size_t(w) * size_t(h) * 3;
    long start = ftell(file);
    if (start < 0 || fseek(file, 0, SEEK_END) != 0) {
      broken = true;
    } else {
      long end = ftell(file);
      if (end < start || size_t(end - start) < bytes || fseek(file, start, SEEK_SET) != 0)
        broken = true;
    }
  }
  GLubyte* pixels = broken ? NULL : static_cast<GLubyte*>(malloc(bytes));
  // A short read would hand over bytes that were never read.
  if (pixels && fread(pixels, 1, bytes, file) != bytes) {
    free(pixels);
    pixels = NULL;
  }
  fclose(file);
  if (!pixels) return NULL;
  *width = w;
  *height = h;
  *format = GL_RGB;
  return pixels;
}

GLubyte* obxReadRawPPM(const char* filename, GLboolean alpha, int* width, int* height,
                       GLenum* format) {
  (void)alpha;  // a raw PPM is always RGB
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  bool raw;
  return obxReadPpmFile(filename, width, height, format, &raw);
}

GLubyte* obxReadImage(const char* filename, GLboolean alpha, int* width, int* height,
                      GLenum* format) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  ilInit();
  ilEnable(IL_ORIGIN_SET);
  ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
  // DevIL keeps errors until they are fetched; an old one (a failed load
  // before) must not fail this image.
  while (ilGetError() != IL_NO_ERROR) {
  }
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  if (!ilLoadImage(filename)) {
    ilDeleteImages(1, &image);
    return NULL;
  }
  const ILint h = ilGetInteger(IL_IMAGE_HEIGHT);
  const ILint w = ilGetInteger(IL_IMAGE_WIDTH);
  const size_t components = alpha ? 4 : 3;
  GLubyte* pixels = NULL;
  if (w > 0 && h > 0 && size_t(w) <= kObxMaxImageBytes / components / size_t(h))
    pixels = static_cast<GLubyte*>(malloc(size_t(w) * size_t(h) * components));
  if (pixels)
    ilCopyPixels(0, 0, 0, ILuint(w), ILuint(h), 1, alpha ? IL_RGBA : IL_RGB, IL_UNSIGNED_BYTE,
                 pixels);
  ilDeleteImages(1, &image);
  if (!pixels) return NULL;
  if (ilGetError() != IL_NO_ERROR) {
    free(pixels);
    return NULL;
  }
  *width = w;
  *height = h;
  *format = alpha ? GL_RGBA : GL_RGB;
  return pixels;
}

// The smallest power of two not below side (side >= 1), in integers: the
// same result as rounding log2 up, without trusting the logarithm's last bit.
static int obxPowerOfTwoAtLeast(int side) {
  int power = 1;
  while (power < side && power <= (INT32_MAX >> 1)) power <<= 1;
  return power;
}

GLuint obxLoadTexture(const char* filename, GLboolean alpha, GLboolean repeat, GLboolean filtering,
                      GLboolean mipmaps, float* texcoordWidth, float* texcoordHeight) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(texcoordWidth && texcoordHeight);
  if (obxTextureLimitsPending) obxInitTextureLimits();

  int width = 0, height = 0;
  GLenum format = 0;
  // A broken "P6" file stays broken: DevIL's own reader would take it too,
  // and on short pixel data it frees its image twice.
  bool raw = false;
  GLubyte* pixels = obxReadPpmFile(filename, &width, &height, &format, &raw);
  if (!pixels && !raw) pixels = obxReadImage(filename, alpha, &width, &height, &format);
  if (!pixels) {
    obxWarn("obxLoadTexture() failed: Unable to load texture from %s!", filename);
    return 0;
  }

  int components = 0;
  switch (format) {
    case GL_LUMINANCE: components = 1; break;
    case GL_RGB:
    case GL_BGR_EXT: components = 3; break;
    case GL_RGBA:
    case GL_BGRA_EXT: components = 4; break;
    default: obxFail("obxLoadTexture(): unknown type 0x%x", format);
  }

  // Rows are packed without padding; only rows of whole words suit the
  // default alignment. The setting stays for the caller.
  glPixelStorei(GL_UNPACK_ALIGNMENT, (components * width) % 4 == 0 ? 4 : 1);

  // Clamp to the hardware's limit, then round up to powers of two. Without
  // a known limit (0: no context answered) there is nothing to clamp to.
  int textureWidth = width, textureHeight = height;
  if (obxMaxTextureSize > 0) {
    if (textureWidth > obxMaxTextureSize) textureWidth = obxMaxTextureSize;
    if (textureHeight > obxMaxTextureSize) textureHeight = obxMaxTextureSize;
  }
  if (obxTextureTarget == GL_TEXTURE_2D) {
    textureWidth = obxPowerOfTwoAtLeast(textureWidth);
    textureHeight = obxPowerOfTwoAtLeast(textureHeight);
  }

  if (textureWidth != width || textureHeight != height) {
    GLubyte* scaled = static_cast<GLubyte*>(
        malloc(size_t(textureWidth) * size_t(textureHeight) * size_t(components)));
    if (!scaled) {
      free(pixels);
      return 0;
    }
    // The scaled buffer has packed rows too; with the default pack
    // alignment GLU would pad rows of 3 or 6 bytes beyond its end.
    GLint packAlignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    gluScaleImage(format, width, height, GL_UNSIGNED_BYTE, pixels, textureWidth, textureHeight,
                  GL_UNSIGNED_BYTE, scaled);
    glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
    free(pixels);
    pixels = scaled;
  }

  GLuint id = 0;
  glGenTextures(1, &id);
  glBindTexture(obxTextureTarget, id);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_MIN_FILTER,
                  filtering ? (mipmaps ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR)
                            : (mipmaps ? GL_NEAREST_MIPMAP_NEAREST : GL_NEAREST));
  glTexParameteri(obxTextureTarget, GL_TEXTURE_MAG_FILTER, filtering ? GL_LINEAR : GL_NEAREST);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_WRAP_S, repeat ? GL_REPEAT : GL_CLAMP);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_WRAP_T, repeat ? GL_REPEAT : GL_CLAMP);
  if (mipmaps && obxGenerateMipmap) {
    glTexParameteri(obxTextureTarget, GL_GENERATE_MIPMAP_SGIS, GL_TRUE);
    glTexImage2D(obxTextureTarget, 0, GLint(format), textureWidth, textureHeight, 0, format,
                 GL_UNSIGNED_BYTE, pixels);
  } else if (mipmaps) {
    gluBuild2DMipmaps(obxTextureTarget, GLint(format), textureWidth, textureHeight, format,
                      GL_UNSIGNED_BYTE, pixels);
  } else {
    glTexImage2D(obxTextureTarget, 0, GLint(format), textureWidth, textureHeight, 0, format,
                 GL_UNSIGNED_BYTE, pixels);
  }
  free(pixels);

  // GL_TEXTURE_2D addresses the whole stretched image with 0..1.
  *texcoordWidth = 1.0f;
  *texcoordHeight = 1.0f;
  return id;
}

// ==== SECTION: drawing =====================================================

// Material and texture tracking of one drawing pass.
struct ObxDrawState {
  int64_t material;  // current material index, -1 before the first
  int32_t texture;   // current texture index, -1 for none
  bool materialDirty;
  bool textureDirty;
  bool transparent;     // the current material is drawn in pass 1
  bool anyTransparent;  // some material of the call is transparent
};

static void obxTrackMaterial(const ObxModel* model, ObxDrawState* state, uint32_t index) {
  OBX_ASSERT(index < model->nummaterials);
  const ObxMaterial* material = &model->materials[index];
  state->material = index;
  state->transparent = material->diffuse[3] < 1.0f;  // NaN counts as opaque
  state->anyTransparent = state->anyTransparent || state->transparent;
  state->materialDirty = true;
  if (material->map_diffuse != state->texture) {
    state->textureDirty = true;
    state->texture = material->map_diffuse;
  }
}

// The seven fix-ups of a requested mode, shared by drawing and writing, in
// this order; each that fires warns with its text and drops a flag, and the
// later ones see the corrected mode.
static GLuint obxFixMode(const ObxModel* model, GLuint mode, const char* const warnings[7]) {
  struct Rule {
    GLuint requested;  // the fix-up applies when all of these are set ...
    bool missing;      // ... and this holds
    GLuint dropped;
  } const rules[7] = {
      {OBX_FLAT, !model->facetnorms, OBX_FLAT},
      {OBX_SMOOTH, !model->normals, OBX_SMOOTH},
      {OBX_TEXTURE, !model->texcoords, OBX_TEXTURE},
      {OBX_FLAT | OBX_SMOOTH, true, OBX_FLAT},
      {OBX_COLOR, !model->materials, OBX_COLOR},
      {OBX_MATERIAL, !model->materials, OBX_MATERIAL},
      {OBX_COLOR | OBX_MATERIAL, true, OBX_COLOR},
  };
  for (int i = 0; i < 7; i++) {
    if ((mode & rules[i].requested) != rules[i].requested || !rules[i].missing) continue;
    obxWarn("%s", warnings[i]);
    mode &= ~rules[i].dropped;
  }
  return mode;
}

static const char* const kObxDrawWarnings[7] = {
    "obxDraw() warning: flat render mode requested with no facet normals defined.",
    "obxDraw() warning: smooth render mode requested with no normals defined.",
    "obxDraw() warning: texture render mode requested with no texture coordinates defined.",
    "obxDraw() warning: flat render mode requested and smooth render mode requested (using "
    "smooth).",
    "obxDraw() warning: color render mode requested with no materials defined.",
    "obxDraw() warning: material render mode requested with no materials defined.",
    "obxDraw() warning: color and material render mode requested using only material mode.",
};

void obxDraw(ObxModel* model, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  mode = obxFixMode(model, mode, kObxDrawWarnings);

  if (mode & OBX_COLOR)
    glEnable(GL_COLOR_MATERIAL);
  else if (mode & OBX_MATERIAL)
    glDisable(GL_COLOR_MATERIAL);
  if (mode & OBX_TEXTURE) {
    glEnable(obxTextureTarget);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  }
  glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, (mode & OBX_TWO_SIDED) ? 1 : 0);

  // Without materials there is nothing to track: every triangle is opaque
  // and, with OBX_TEXTURE, untextured (the current texture stays -1).
  const bool tracking = (mode & (OBX_TEXTURE | OBX_COLOR | OBX_MATERIAL)) && model->materials;
  const bool flat = mode & OBX_FLAT, smooth = mode & OBX_SMOOTH, textured = mode & OBX_TEXTURE;
  const float* vertices = model->vertices;
  const float* normals = model->normals;
  const float* texcoords = model->texcoords;
  const float* facetnorms = model->facetnorms;

  ObxDrawState state;
  state.anyTransparent = false;
  for (int pass = 0; pass < 2; pass++) {
    state.material = -1;
    state.texture = -1;
    state.materialDirty = state.textureDirty = state.transparent = false;
    for (ObxGroup* group = model->groups; group; group = group->next) {
      if (tracking) obxTrackMaterial(model, &state, group->material);
      // The bracket opens at the group's first drawn triangle, after its
      // material and texture are set, and closes around later material
      // changes: material calls inside glBegin/glEnd turn into per-vertex
      // attributes in common drivers and slow the whole bracket down. A
      // group with nothing to draw still issues its empty pair.
      bool open = false;
      for (uint32_t i = 0; i < group->numtriangles; i++) {
        OBX_ASSERT(group->triangles[i] < model->numtriangles);
        const ObxTriangle* triangle = &model->triangles[group->triangles[i]];
        if (tracking && triangle->material != 0 && triangle->material != state.material)
          obxTrackMaterial(model, &state, triangle->material);
        if (int(state.transparent) != pass) continue;
        if (state.materialDirty) {
          state.materialDirty = false;
          const ObxMaterial* material = &model->materials[state.material];
          if (textured && state.textureDirty) {
            state.textureDirty = false;
            if (open) glEnd();
            open = false;
            if (state.texture == -1) {
              glBindTexture(obxTextureTarget, 0);
            } else {
              int32_t map_diffuse = state.texture;
              OBX_ASSERT(map_diffuse >= 0 && map_diffuse < (int64_t)model->numtextures);
              glBindTexture(obxTextureTarget, model->textures[map_diffuse].id);
            }
          }
          if (mode & OBX_MATERIAL) {
            if (open) glEnd();
            open = false;
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, material->ambient);
            glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material->diffuse);
            glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, material->specular);
            glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, material->shininess);
          }
          if (mode & OBX_COLOR) glColor3fv(material->diffuse);
        }
        if (!open) glBegin(GL_TRIANGLES);
        open = true;
        if (flat) glNormal3fv(&facetnorms[3 * size_t(triangle->findex)]);
        for (int j = 0; j < 3; j++) {
          if (smooth && triangle->nindices[j] != OBX_NO_INDEX) {
            OBX_ASSERT(triangle->nindices[j] >= 1 && triangle->nindices[j] <= model->numnormals);
            glNormal3fv(&normals[3 * size_t(triangle->nindices[j])]);
          }
          if (textured && triangle->tindices[j] != OBX_NO_INDEX && state.texture != -1) {
            OBX_ASSERT(triangle->tindices[j] >= 1 && triangle->tindices[j] <= model->numtexcoords);
            const ObxTexture* texture = &model->textures[state.texture];
            const float* uv = &texcoords[2 * size_t(triangle->tindices[j])];
            glTexCoord2f(uv[0] * texture->width, uv[1] * texture->height);
          }
          OBX_ASSERT(triangle->vindices[j] >= 1 && triangle->vindices[j] <= model->numvertices);
          glVertex3fv(&vertices[3 * size_t(triangle->vindices[j])]);
        }
      }
      if (!open) glBegin(GL_TRIANGLES);
      glEnd();
    }
    if (!state.anyTransparent) break;
    if (pass == 0) {
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE);  // additive
      glDepthMask(GL_FALSE);
    }
  }
  if (state.anyTransparent) {
    glDepthMask(GL_TRUE);
    glDisable(GL_BLEND);
  }
}

GLuint obxDrawList(ObxModel* model, GLuint mode) {
  GLuint list = glGenLists(1);
  glNewList(list, GL_COMPILE);
  obxDraw(model, mode);
  glEndList();
  return list;
}

// ==== SECTION: geometry utilities ==========================================

float obxMaxOf(float a, float b) { return a < b ? b : a; }

float obxAbsOf(float x) { return x < 0 ? -x : x; }

// Extent as |max| + |min| per axis, which is max - min only when the range
// holds 0; callers rely on that measure, so it stays.
static void obxExtent(const ObxModel* model, float max[3], float min[3], float size[3]) {
  OBX_ASSERT(model->numvertices >= 1);
  for (int k = 0; k < 3; k++) max[k] = min[k] = model->vertices[3 + k];
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    for (int k = 0; k < 3; k++) {
      if (max[k] < p[k]) max[k] = p[k];
      if (p[k] < min[k]) min[k] = p[k];
    }
  }
  for (int k = 0; k < 3; k++) size[k] = obxAbsOf(max[k]) + obxAbsOf(min[k]);
}

float obxFitToUnitCube(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  float max[3], min[3], size[3], centre[3];
  obxExtent(model, max, min, size);
  for (int k = 0; k < 3; k++) centre[k] = float((max[k] + min[k]) / 2.0);
  float scale = float(2.0 / obxMaxOf(obxMaxOf(size[0], size[1]), size[2]));
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    float* p = &model->vertices[3 * size_t(i)];
    for (int k = 0; k < 3; k++) p[k] = (p[k] - centre[k]) * scale;
  }
  return scale;
}

void obxDimensions(ObxModel* model, float* dimensions) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  OBX_ASSERT(dimensions);
  float max[3], min[3];
  obxExtent(model, max, min, dimensions);
}

void obxScaleModel(ObxModel* model, float factor) {
  OBX_ASSERT(model);
  for (uint32_t i = 1; i <= model->numvertices; i++)
    for (int k = 0; k < 3; k++) model->vertices[3 * size_t(i) + k] *= factor;
}

static void obxSwap(uint32_t* a, uint32_t* b) {
  uint32_t t = *a;
  *a = *b;
  *b = t;
}

void obxFlipWinding(ObxModel* model) {
  OBX_ASSERT(model);
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    ObxTriangle* t = &model->triangles[i];
    obxSwap(&t->vindices[0], &t->vindices[2]);
    if (model->numnormals) obxSwap(&t->nindices[0], &t->nindices[2]);
    if (model->numtexcoords) obxSwap(&t->tindices[0], &t->tindices[2]);
  }
  for (uint32_t i = 1; i <= model->numfacetnorms; i++)
    for (int k = 0; k < 3; k++) model->facetnorms[3 * size_t(i) + k] *= -1.0f;
  for (uint32_t i = 1; i <= model->numnormals; i++)
    for (int k = 0; k < 3; k++) model->normals[3 * size_t(i) + k] *= -1.0f;
}

// Points every grouped corner's texture index at the same-numbered entry of
// the per-vertex (or per-normal) table the generators just built.
static void obxAssignTexcoords(ObxModel* model, bool fromNormals) {
  for (ObxGroup* group = model->groups; group; group = group->next)
    for (uint32_t i = 0; i < group->numtriangles; i++) {
      ObxTriangle* t = &model->triangles[group->triangles[i]];
      for (int k = 0; k < 3; k++) t->tindices[k] = fromNormals ? t->nindices[k] : t->vindices[k];
    }
}

void obxPlanarTexcoords(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  free(model->texcoords);
  model->numtexcoords = model->numvertices;
  model->texcoords =
      static_cast<float*>(malloc(2 * (size_t(model->numtexcoords) + 1) * sizeof(float)));
  OBX_ASSERT(model->texcoords);
  float size[3];
  obxDimensions(model, size);
  float scale = float(2.0 / obxAbsOf(obxMaxOf(obxMaxOf(size[0], size[1]), size[2])));
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    float x = p[0] * scale, z = p[2] * scale;
    model->texcoords[2 * size_t(i) + 0] = float((x + 1.0) / 2.0);
    model->texcoords[2 * size_t(i) + 1] = float((z + 1.0) / 2.0);
  }
  obxAssignTexcoords(model, false);
}

void obxSphereTexcoords(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->normals);
  free(model->texcoords);
  model->numtexcoords = model->numnormals;
  model->texcoords =
      static_cast<float*>(malloc(2 * (size_t(model->numtexcoords) + 1) * sizeof(float)));
  OBX_ASSERT(model->texcoords);
  for (uint32_t i = 1; i <= model->numnormals; i++) {
    const float* n = &model->normals[3 * size_t(i)];
    float x = n[0], y = n[1], z = n[2];
    float r = float(sqrt(z * z + y * y));
    float rho = float(sqrt(r * r + x * x));
    float theta = 0.0f, phi = 0.0f;
    if (r != 0.0f) {
      phi = x != 0.0f ? float(acos(x / rho)) : 1.5707963705062866f;
      theta = y != 0.0f ? float(asin(y / r) + 1.570796325) : 1.5707961320877075f;
    }
    model->texcoords[2 * size_t(i) + 0] = float(theta / 3.14159265);
    model->texcoords[2 * size_t(i) + 1] = float(phi / 3.14159265);
  }
  obxAssignTexcoords(model, true);
}

// ==== SECTION: OBJ and MTL writer ==========================================

static const char* const kObxHeaderCredits[3] = {
    "#  Ostrel project, obx model library",
    "#  contact: ostrel-dev@users.noreply.example.org",
    "#  web: https://ostrel.example.org/obx",
};

static const char* const kObxWriteWarnings[7] = {
    "obxWriteOBJ() warning: flat normal output requested with no facet normals defined.",
    "obxWriteOBJ() warning: smooth normal output requested with no normals defined.",
    "obxWriteOBJ() warning: texture coordinate output requested with no texture coordinates "
    "defined.",
    "obxWriteOBJ() warning: flat normal output requested and smooth normal output requested "
    "(using smooth).",
    "obxWriteOBJ() warning: color output requested with no colors (materials) defined.",
    "obxWriteOBJ() warning: material output requested with no materials defined.",
    "obxWriteOBJ() warning: color and material output requested outputting only materials.",
};

void obxWriteMTL(ObxModel* model, const char* modelpath, const char* mtllibname) {
  OBX_ASSERT(model);
  char* dir = obxDirectoryOf(modelpath);
  char* path = dir ? obxJoin(dir, mtllibname) : NULL;
  free(dir);
  OBX_ASSERT(path);
  obxHold(OBX_HELD_BLOCK, path, 0);
  FILE* file = fopen(path, "w");
  if (!file) obxFail("obxWriteMTL() failed: can't open file \"%s\".", path);
  fprintf(file, "#  \n#  Wavefront MTL generated by OBX library\n#  \n#  OBX library\n");
  for (const char* line : kObxHeaderCredits) fprintf(file, "%s\n", line);
  fprintf(file, "#  \n\n");
  for (uint32_t i = 0; i < model->nummaterials; i++) {
    const ObxMaterial* m = &model->materials[i];
    fprintf(file, "newmtl %s\n", m->name);
    fprintf(file, "Ka %f %f %f\n", m->ambient[0], m->ambient[1], m->ambient[2]);
    fprintf(file, "Kd %f %f %f\n", m->diffuse[0], m->diffuse[1], m->diffuse[2]);
    fprintf(file, "Ks %f %f %f\n", m->specular[0], m->specular[1], m->specular[2]);
    fprintf(file, "Ns %f\n", m->shininess / 128.0 * 100.0);
    // Opacity and the diffuse map are written too, so that a model read back
    // keeps its transparent pass and its textures; a reader that knows
    // neither statement loses nothing else.
    if (m->diffuse[3] != 1.0f) fprintf(file, "d %f\n", m->diffuse[3]);
    if (m->map_diffuse >= 0 && uint32_t(m->map_diffuse) < model->numtextures)
      fprintf(file, "map_Kd %s\n", model->textures[m->map_diffuse].name);
    fprintf(file, "\n");
  }
  fclose(file);
  obxLetGo(path);
  free(path);
}

void obxWriteOBJ(ObxModel* model, const char* filename, GLuint mode) {
  OBX_ASSERT(model);
  mode = obxFixMode(model, mode, kObxWriteWarnings);
  FILE* file = fopen(filename, "w");
  if (!file) obxFail("obxWriteOBJ() failed: can't open file \"%s\" to write.", filename);
  // The MTL file, written first, may fail.
  obxHold(OBX_HELD_FILE, file, 0);
  fprintf(file, "#  \n#  Wavefront OBJ generated by OBX library\n#  \n#  OBX library\n");
  for (const char* line : kObxHeaderCredits) fprintf(file, "%s\n", line);
  fprintf(file, "#  \n");

  if ((mode & OBX_MATERIAL) && model->mtllibname) {
    fprintf(file, "\nmtllib %s\n\n", model->mtllibname);
    obxWriteMTL(model, filename, model->mtllibname);
  }

  fprintf(file, "\n# %d vertices\n", int(model->numvertices));
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    fprintf(file, "v %f %f %f\n", p[0], p[1], p[2]);
  }
  if (mode & OBX_SMOOTH) {
    fprintf(file, "\n# %u normals\n", model->numnormals);
    for (uint32_t i = 1; i <= model->numnormals; i++) {
      const float* n = &model->normals[3 * size_t(i)];
      fprintf(file, "vn %f %f %f\n", n[0], n[1], n[2]);
    }
  } else if (mode & OBX_FLAT) {
    fprintf(file, "\n# %d normals\n", int(model->numfacetnorms));
    for (uint32_t i = 1; i <= model->numfacetnorms; i++) {
      const float* n = &model->facetnorms[3 * size_t(i)];
      fprintf(file, "vn %f %f %f\n", n[0], n[1], n[2]);
    }
  }
  if (mode & OBX_TEXTURE) {
    fprintf(file, "\n# %d texcoords\n", int(model->numtexcoords));
    for (uint32_t i = 1; i <= model->numtexcoords; i++) {
      const float* t = &model->texcoords[2 * size_t(i)];
      fprintf(file, "vt %f %f\n", t[0], t[1]);
    }
  }
  fprintf(file, "\n# %d groups\n# %d faces (triangles)\n\n", int(model->numgroups),
          int(model->numtriangles));

  // Indices go out through %d: "none" (all bits set) prints as -1.
  int64_t material = -1;
  for (ObxGroup* group = model->groups; group; group = group->next) {
    // A name read from a file keeps the blank after "g"; writing another
    // blank before it would grow the name by one on every read and write.
    const bool blank = group->name[0] == ' ' || group->name[0] == '\t';
    fprintf(file, blank ? "g%s\n" : "g %s\n", group->name);
    if (mode & OBX_MATERIAL) {
      OBX_ASSERT(group->material < model->nummaterials);
      fprintf(file, "usemtl %s\n", model->materials[group->material].name);
      material = group->material;
    }
    for (uint32_t i = 0; i < group->numtriangles; i++) {
      const ObxTriangle* t = &model->triangles[group->triangles[i]];
      if (t->material != 0 && t->material != material && t->material < model->nummaterials) {
        fprintf(file, "usemtl %s\n", model->materials[t->material].name);
        material = t->material;
      }
      const int* v = reinterpret_cast<const int*>(t->vindices);
      const int* n = reinterpret_cast<const int*>(t->nindices);
      const int* x = reinterpret_cast<const int*>(t->tindices);
      int f = int(t->findex);
      if ((mode & OBX_SMOOTH) && (mode & OBX_TEXTURE))
        fprintf(file, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", v[0], x[0], n[0], v[1], x[1], n[1], v[2],
                x[2], n[2]);
      else if ((mode & OBX_FLAT) && (mode & OBX_TEXTURE))
        fprintf(file, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", v[0], x[0], f, v[1], x[1], f, v[2], x[2],
                f);
      else if (mode & OBX_TEXTURE)
        fprintf(file, "f %d/%d %d/%d %d/%d\n", v[0], x[0], v[1], x[1], v[2], x[2]);
      else if (mode & OBX_SMOOTH)
        fprintf(file, "f %d//%d %d//%d %d//%d\n", v[0], n[0], v[1], n[1], v[2], n[2]);
      else if (mode & OBX_FLAT)
        fprintf(file, "f %d//%d %d//%d %d//%d\n", v[0], f, v[1], f, v[2], f);
      else
        fprintf(file, "f %d %d %d\n", v[0], v[1], v[2]);
    }
    fprintf(file, "\n");
  }
  obxLetGo(file);
  fclose(file);
}

// ==== SECTION: vertex welding ==============================================

GLboolean obxVectorsEqual(const float* u, const float* v, float epsilon) {
  return obxAbsOf(u[0] - v[0]) < epsilon && obxAbsOf(u[1] - v[1]) < epsilon &&
         obxAbsOf(u[2] - v[2]) < epsilon;
}

// The distinct-vector search keeps, for every vector, the answer of a
// linear scan: the lowest kept slot within epsilon on every axis, or a new
// slot. Three shortcuts give exactly that answer:
//  - A vector with an infinite or NaN coordinate equals nothing.
//  - A vector equal bit for bit to an earlier finite one takes that one's
//    slot: every slot kept since has a higher number.
//  - The kept vectors sit in a hash grid with cells of four epsilons. A
//    float difference below epsilon means a true one below epsilon times
//    (1 + 2^-23), a quarter cell, so a match lies in the vector's own cell
//    or, on an axis where it is within a quarter cell (and a margin for the
//    cell numbers' rounding) of a face, the neighbour across that face: one
//    to eight cells. Vectors too far out for exact cell numbers are kept
//    aside and compared one by one.
namespace {

inline uint32_t obxMixBits(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return uint32_t(h);
}

bool obxFiniteVector(const float* p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// Open addressing over the first vector of each bit pattern, sized up front
// for every vector being distinct.
struct ObxExactTable {
  const float* vectors = nullptr;
  uint32_t mask = 0;
  std::vector<uint32_t> slots;  // vector index, 0 = empty

  void init(const float* all, uint32_t count) {
    vectors = all;
    uint32_t size = 16;
    while (size < count + count / 4 && size < (1u << 31)) size <<= 1;
    mask = size - 1;
    slots.assign(size, 0);
  }
  uint32_t home(uint32_t i) const {
    uint32_t b[3];
    memcpy(b, &vectors[3 * size_t(i)], sizeof b);
    return obxMixBits((uint64_t(b[0]) << 32 | b[1]) * 0x9E3779B97F4A7C15ull ^ b[2]) & mask;
  }
  // The lookups are independent, so the search asks for a later vector's
  // entry ahead of time.
  void prefetch(uint32_t i) const { __builtin_prefetch(&slots[home(i)]); }
  // The earlier vector with i's bits, or 0 after noting i as the first.
  uint32_t firstOf(uint32_t i) {
    const float* p = &vectors[3 * size_t(i)];
    uint32_t h = home(i);
    for (uint32_t step = 1;; step++) {
      uint32_t j = slots[h];
      if (j == 0) {
        slots[h] = i;
        return 0;
      }
      if (memcmp(&vectors[3 * size_t(j)], p, 3 * sizeof(float)) == 0) return j;
      h = (h + step) & mask;
    }
  }
};

struct ObxWeldGrid {
  static constexpr double kCellLimit = 1099511627776.0;  // 2^40: cell numbers exact to 2^-13
  static constexpr double kReach = 0.25 + 1.0 / 1024;    // a match's distance in cells, at most
  // Open addressing over the occupied cells, by hash: a probe of an empty
  // neighbour cell ends in one cache line, without touching the vectors.
  struct Cell {
    uint32_t hash;  // the cell's hash (cells sharing one share the entry)
    uint32_t head;  // newest kept slot in the cell, 0 = unused entry
  };
  double cell = 0;
  uint32_t mask = 0;
  uint32_t used = 0;
  std::vector<Cell> cells;
  std::vector<uint32_t> next;      // kept slot -> next (older) slot of its cell
  std::vector<uint32_t> outliers;  // finite kept slots beyond the limit

  explicit ObxWeldGrid(double cellSize) : cell(cellSize), mask(1023), cells(1024, Cell{0, 0}) {}

  // Cell numbers of p and, per axis, the neighbour a match may lie in (-1,
  // +1, or 0 for none); false beyond the limit. *nearLimit tells that a
  // match may be an outlier.
  bool cellOf(const float* p, int64_t c[3], int side[3], bool* nearLimit) const {
    *nearLimit = false;
    for (int k = 0; k < 3; k++) {
      double q = double(p[k]) / cell;
      if (!(std::fabs(q) < kCellLimit)) return false;
      if (std::fabs(q) >= kCellLimit - 1) *nearLimit = true;
      double f = std::floor(q);
      c[k] = int64_t(f);
      side[k] = q - f < kReach ? -1 : q - f >= 1 - kReach ? 1 : 0;
    }
    return true;
  }
  static uint32_t hash(int64_t x, int64_t y, int64_t z) {
    return obxMixBits(uint64_t(x) * 0x9E3779B97F4A7C15ull ^ uint64_t(y) * 0xC2B2AE3D27D4EB4Full ^
                      uint64_t(z) * 0x165667B19E3779F9ull);
  }
  // The newest kept slot of the cells hashing to h, or 0.
  uint32_t headOf(uint32_t h) const {
    for (uint32_t b = h & mask;; b = (b + 1) & mask) {
      if (cells[b].head == 0) return 0;
      if (cells[b].hash == h) return cells[b].head;
    }
  }
  Cell* entryFor(uint32_t h) {
    for (uint32_t b = h & mask;; b = (b + 1) & mask)
      if (cells[b].head == 0 || cells[b].hash == h) return &cells[b];
  }
  // Adds a kept slot to its cell, doubling the table at half full.
  void add(uint32_t slot, uint32_t h) {
    if (next.size() <= slot) next.resize(std::max(size_t(slot) + 1, 2 * next.size()));
    if (2 * (size_t(used) + 1) > cells.size() && cells.size() < (size_t(1) << 31)) {
      std::vector<Cell> old(cells.size() * 2, Cell{0, 0});
      old.swap(cells);
      mask = uint32_t(cells.size() - 1);
      for (const Cell& e : old)
        if (e.head) *entryFor(e.hash) = e;
    }
    Cell* e = entryFor(h);
    if (e->head == 0) {
      e->hash = h;
      used++;
    }
    next[slot] = e->head;
    e->head = slot;
  }
};
}  // namespace

// The distinct-vector search; map[i] receives the kept slot of vector i.
static float* obxUniqueVectorsMapped(const float* vectors, uint32_t* numvectors, float epsilon,
                                     uint32_t* map) {
  OBX_ASSERT(vectors && numvectors);
  uint32_t count = *numvectors;
  float* result = static_cast<float*>(malloc(3 * (size_t(count) + 1) * sizeof(float)));
  OBX_ASSERT(result);
  uint32_t kept = 0;
  auto keep = [&](const float* p) {
    memcpy(&result[3 * size_t(++kept)], p, 3 * sizeof(float));
    return kept;
  };

  // With epsilon <= 0 (or NaN) nothing is ever equal; every vector is kept.
  if (!(epsilon > 0.0f)) {
    for (uint32_t i = 1; i <= count; i++) map[i] = keep(&vectors[3 * size_t(i)]);
    *numvectors = kept;
    return result;
  }

  ObxExactTable exact;
  exact.init(vectors, count);
  ObxWeldGrid grid(4.0 * double(epsilon));
  const uint32_t kAhead = 16;
  for (uint32_t i = 1; i <= count; i++) {
    if (count - i >= kAhead) exact.prefetch(i + kAhead);
    const float* p = &vectors[3 * size_t(i)];
    if (!obxFiniteVector(p)) {
      map[i] = keep(p);
      continue;
    }
    if (uint32_t first = exact.firstOf(i)) {
      map[i] = map[first];
      continue;
    }
    uint32_t match = 0;
    int64_t c[3];
    int side[3];
    bool nearLimit = false;
    if (grid.cellOf(p, c, side, &nearLimit)) {
      const uint32_t own = ObxWeldGrid::hash(c[0], c[1], c[2]);
      for (int corner = 0; corner < 8; corner++) {
        if (((corner & 1) && !side[0]) || ((corner & 2) && !side[1]) || ((corner & 4) && !side[2]))
          continue;
        uint32_t h = corner == 0 ? own
                                 : ObxWeldGrid::hash(c[0] + ((corner & 1) ? side[0] : 0),
                                                     c[1] + ((corner & 2) ? side[1] : 0),
                                                     c[2] + ((corner & 4) ? side[2] : 0));
        // Slots of a cell run newest first: the last match is its lowest.
        for (uint32_t j = grid.headOf(h); j; j = grid.next[j])
          if ((match == 0 || j < match) && obxVectorsEqual(p, &result[3 * size_t(j)], epsilon))
            match = j;
      }
      if (nearLimit)
        for (uint32_t j : grid.outliers) {
          if (match != 0 && j > match) break;
          if (obxVectorsEqual(p, &result[3 * size_t(j)], epsilon)) {
            match = j;
            break;
          }
        }
      if (!match) grid.add(keep(p), own);
    } else {
      // Far out: compare against every kept vector.
      for (uint32_t j = 1; j <= kept && !match; j++)
        if (obxVectorsEqual(p, &result[3 * size_t(j)], epsilon)) match = j;
      if (!match) grid.outliers.push_back(keep(p));
    }
    map[i] = match ? match : kept;
  }
  *numvectors = kept;
  return result;
}

float* obxUniqueVectors(float* vectors, uint32_t* numvectors, float epsilon) {
  OBX_ASSERT(vectors && numvectors);
  std::vector<uint32_t> map(size_t(*numvectors) + 1);
  uint32_t count = *numvectors;
  float* result = obxUniqueVectorsMapped(vectors, numvectors, epsilon, map.data());
  // Callers of this interface read the map from the x coordinates.
  for (uint32_t i = 1; i <= count; i++) vectors[3 * size_t(i)] = float(map[i]);
  return result;
}

void obxMergeVertices(ObxModel* model, float epsilon) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  // The map is kept as integers rather than in the x coordinates as floats,
  // which would renumber wrongly beyond 2^24 vertices.
  std::vector<uint32_t> map(size_t(model->numvertices) + 1);
  uint32_t count = model->numvertices;
  float* unique = obxUniqueVectorsMapped(model->vertices, &count, epsilon, map.data());
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int k = 0; k < 3; k++) {
      uint32_t old = model->triangles[i].vindices[k];
      OBX_ASSERT(old >= 1 && old <= model->numvertices);
      model->triangles[i].vindices[k] = map[old];
    }
  free(model->vertices);
  model->numvertices = count;
  model->vertices = static_cast<float*>(malloc(3 * (size_t(count) + 1) * sizeof(float)));
  OBX_ASSERT(model->vertices);
  memset(model->vertices, 0, 3 * sizeof(float));
  memcpy(&model->vertices[3], &unique[3], 3 * size_t(count) * sizeof(float));
  free(unique);
}
