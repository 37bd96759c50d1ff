// obx OBJ reader: the model record's life, groups, and obxReadOBJ.
#include "internal.h"

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

ObxMapResult obxMapFile(const char* path, ObxFileView* view) {
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

void obxUnmapFile(ObxFileView* view) {
  if (view->size) {
    obxLetGo(view->data);
    munmap(const_cast<char*>(view->data), view->size);
  }
  view->data = "";
  view->size = 0;
}

// Copies bytes into a token buffer as the stream read would leave them: a
// zero-terminated text, read up to its first zero byte like any C string.
void obxCopyToken(char buffer[OBX_TOKEN_SIZE], const char* bytes, size_t length) {
  OBX_ASSERT(length < OBX_TOKEN_SIZE);
  memcpy(buffer, bytes, length);
  buffer[length] = '\0';
}

// The first whitespace-delimited word of text ("%s" scanned back into the
// text); the empty text when there is none.
void obxFirstWord(char text[OBX_TOKEN_SIZE]) {
  ObxScanner scan = {text, text + strlen(text)};
  const char* word;
  size_t length = obxScanToken(&scan, OBX_TOKEN_MAX, &word);
  memmove(text, word, length);
  text[length] = '\0';
}

// Whether a keyword token begins with the given word (the first strlen(word)
// characters compared, as strncmp does on the zero-terminated token).
bool obxKeywordIs(const char* token, size_t length, const char* word) {
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
void obxAdviseHugePages(void* block, size_t bytes) {
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
