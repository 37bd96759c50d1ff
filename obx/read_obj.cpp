// obx OBJ reader: obxReadOBJ and its statements.
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

// ---- The OBJ reader --------------------------------------------------------
//
// One pass over the file stores everything as it comes: elements,
// triangles, groups. Reading used to take two passes, the first counting
// and reading material libraries, the second storing and looking up
// materials, and callers see what those gave. What the second pass
// decided is decided here after the scan, with the same results: usemtl
// names are looked up in the libraries' merged table (with the lookup's
// warnings, in file order), group materials follow from the materials then
// known, and a failure the second pass would meet waits until the scan
// has found no failure of the first.

// One usemtl statement: its name, the material found for it in the table
// of the moment, and its first triangle (its triangles run to the next one's).
struct ObxUse {
  std::string name;
  uint32_t material;
  uint32_t first;
};

// A face or usemtl of a group that would set the group's material if it
// had none yet.
struct ObxGroupEvent {
  uint32_t group;  // entry in groups
  uint32_t use;    // 1-based into uses
};

// An array the reader fills front to back: its allocated elements, and
// those of them whose pages are in place.
struct ObxRoom {
  uint32_t ready, allocated;
};

// A face with an index outside the elements read before it: its
// triangles and its offset in the file, for the check after the scan.
struct ObxFaceAt {
  uint32_t first, end;
  uint64_t offset;
};

// The working state of one read.
struct ObxObjReader {
  ObxModel* model = NULL;
  ObxInput* input = NULL;
  bool lenient = false;
  ObxScanner scan = {NULL, NULL};   // over the input's window
  char token[OBX_TOKEN_SIZE] = {};  // keyword, item or line, for names and messages
  ObxRoom room[3] = {};             // floats of the vertex, normal, texcoord arrays
  ObxRoom triangleRoom = {};
  uint64_t firstShare = 0;   // elements of a kind a first block holds
  bool outOfBounds = false;  // a stored index lies outside the elements read so far

  std::vector<ObxGroup*> groups;  // in the order made
  std::vector<uint32_t> lastUse;  // per group: the use of its last event
  // Groups by name, so that a file of many groups reads in time that grows
  // with its size (20,000 groups took a second with the list search).
  std::unordered_map<std::string_view, uint32_t> groupIndex;
  ObxGroup* group = NULL;  // current
  uint32_t entry = 0;      // the current group's

  std::unordered_set<std::string> libraries;  // named so far, each read once
  // The model's materials by name, the first of a name as obxFindMaterial
  // finds it, so that many usemtl among many materials read in time that
  // grows with the file.
  std::unordered_map<std::string_view, uint32_t> materialIndex;
  uint32_t material = 0;  // current, as found in the table of the moment

  std::vector<ObxUse> uses;
  std::vector<ObxGroupEvent> events;

  // Where the statement being read begins (its keyword).
  const char* statement = NULL;
  std::vector<ObxFaceAt> faceOffsets;
  // What the face being read may change, put back when it runs into the
  // window's end and is read again.
  struct {
    uint32_t numtriangles, members, lastUse;
    size_t events;
    bool outOfBounds, failed;
  } faceMark = {};
  // The first failure of the storing kind: reported after the scan, unless
  // the scan fails first, after the warnings of the usemtl before it.
  std::string failure;
  uint32_t usesBeforeFailure = 0;
  std::vector<std::string> told;       // warnings given once a read
  std::vector<uint32_t> clipped;       // a concave polygon's triangles, as corner numbers
  std::vector<ObxTriangle> clipItems;  // and its corners
  std::vector<const float*> clipPoints;
  uint64_t bigPolygon = 0;  // 1 + the offset of the first concave polygon too large to clip

  // What the file says beyond vertices, faces and groups, kept as it comes.
  // The model's colors and texcoordw, grown as the vectors are, and the
  // elements of each filled so far (from 0 to the last that had a value).
  ObxRoom extraRoom[2] = {};
  uint32_t extraFilled[2] = {0, 0};
  std::vector<std::pair<uint32_t, uint32_t>> smoothing;  // (first triangle, group) per change
  struct Object {
    std::string name;
    uint32_t firsttriangle, firstelement;
  };
  std::vector<Object> objects;
  ObxRoom polygonRoom = {};
  const ObxReadOptions* options = NULL;
  uint64_t nextReport =
      0;  // where progress is told next  // the model's polygons, grown as its triangles are
  std::vector<ObxElement> elements;
  std::vector<uint32_t> elementIndices;
  std::vector<uint64_t> elementOffsets;  // each element's statement, for messages
  size_t elementMark = 0;                // elementIndices before the statement being read
};

static const uint32_t kObxMaxCount = UINT32_MAX - 1;  // a count + 1 must fit 32 bits

// The window of the file held at a time, and what is left of it when more
// is read behind: every statement of a usual file begins with the whole
// statement in the window. A longer one (a face of thousands of items) is
// read again from its keyword in a wider window.
static const size_t kObxWindow = size_t(256) << 10;
static const size_t kObxLookahead = 16 << 10;
static size_t obxWindow = kObxWindow;
static ptrdiff_t obxLookahead = kObxLookahead;

void obxSetReadWindow(size_t window, size_t lookahead) {
  if (window == 0) window = kObxWindow, lookahead = kObxLookahead;
  // Any statement but a vector or a face reads at most a keyword and a
  // line of 127 characters each, which the lookahead must hold.
  OBX_ASSERT(lookahead >= 2 * OBX_TOKEN_SIZE && window >= 2 * lookahead);
  obxWindow = window;
  obxLookahead = ptrdiff_t(lookahead);
}

[[noreturn]] static void obxReaderOutOfMemory(ObxObjReader* reader) {
  obxFailOutOfMemory("obxReadOBJ", reader->model->path);
}

// Makes room for at least one more element in *array: pages for the next
// megabyte of the block, or a bigger block, a first share of first
// elements and then twice as many. Fails past kObxMaxCount elements.
// The pages come in one call rather than a fault each: the array is
// written front to back at once, and a fault costs several times a page's
// share of the call.
template <typename T>
static void obxGrow(ObxObjReader* reader, T** array, ObxRoom* room, uint64_t first) {
  if (room->ready == room->allocated) {
    const uint64_t wanted = std::min<uint64_t>(
        room->allocated ? 2 * uint64_t(room->allocated) : first, kObxMaxCount + 1);
    // A file of more than four billion elements of a kind fails here rather
    // than after the scan; only a later failure of another kind could differ.
    if (wanted <= room->allocated)
      obxFail("obxReadOBJ: too many elements in \"%s\"", reader->model->path);
    if (wanted > SIZE_MAX / sizeof(T)) obxReaderOutOfMemory(reader);
    T* grown = static_cast<T*>(realloc(*array, size_t(wanted) * sizeof(T)));
    if (!grown) obxReaderOutOfMemory(reader);
    *array = grown;
    room->allocated = uint32_t(wanted);
  }
  const uint32_t ready =
      uint32_t(std::min<uint64_t>(room->allocated, room->ready + (1u << 20) / sizeof(T) + 1));
  obxPrefault(*array + room->ready, *array + ready);
  room->ready = ready;
}

static uint64_t obxOffsetOf(const ObxObjReader* reader, const char* at) {
  return reader->input->offset + uint64_t(at - reader->input->data);
}

// The current statement's line, as messages end: ' at line N of "path"'.
static std::string obxWhere(ObxObjReader* reader) {
  char where[64];
  snprintf(where, sizeof where, " at line %llu of \"",
           (unsigned long long)reader->input->lineAt(obxOffsetOf(reader, reader->statement)));
  return where + std::string(reader->model->path) + '"';
}

// Reads on behind keep (where the scanner stands), whose bytes move to the
// window's start, with room for at least room bytes.
static void obxMore(ObxObjReader* reader, const char* keep, size_t room) {
  if (!reader->input->more(keep, room)) obxReaderOutOfMemory(reader);
  reader->scan = {reader->input->data, reader->input->end};
}

// Puts back what the statement at token changed: a vector adds one
// element, a face what its mark holds.
static void obxUndo(ObxObjReader* reader, const char* token) {
  ObxModel* model = reader->model;
  if (token[0] == 'f') {
    const auto& mark = reader->faceMark;
    model->numtriangles = mark.numtriangles;
    reader->group->numtriangles = mark.members;
    reader->lastUse[reader->entry] = mark.lastUse;
    reader->events.resize(mark.events);
    if (!reader->faceOffsets.empty() && reader->faceOffsets.back().first >= mark.numtriangles)
      reader->faceOffsets.pop_back();
    reader->outOfBounds = mark.outOfBounds;
    if (!mark.failed) reader->failure.clear();
    return;
  }
  if (token[0] == 'l' || token[0] == 'p') {
    if (reader->elementIndices.size() > reader->elementMark) {
      reader->elements.pop_back();
      reader->elementOffsets.pop_back();
    }
    reader->elementIndices.resize(reader->elementMark);
    return;
  }
  OBX_ASSERT(token[0] == 'v');
  uint32_t* count = token[1] == 'n'   ? &model->numnormals
                    : token[1] == 't' ? &model->numtexcoords
                                      : &model->numvertices;
  --*count;
  // A colour or third value read with it goes too.
  uint32_t& filled = reader->extraFilled[token[1] == 't' ? 1 : 0];
  if (token[1] != 'n') filled = std::min(filled, *count + 1);
}

// Notes the first failure that the storing pass would meet; the scan goes
// on, as a failure of the counting pass further on would still come first.
// Its text goes before the place it names and the final line feed.
static void obxDeferFailure(ObxObjReader* reader, const char* format, ...) {
  if (!reader->failure.empty()) return;
  va_list args;
  va_start(args, format);
  char message[256];  // the longest message takes about 130 characters
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  reader->failure = message + obxWhere(reader) + '\n';
  reader->usesBeforeFailure = uint32_t(reader->uses.size());
}

// Reads the rest of the line (one 127-character read) into the token buffer.
static void obxReadLine(ObxObjReader* reader) {
  const char* line;
  const size_t length = obxScanLine(&reader->scan, OBX_TOKEN_MAX, &line);
  obxCopyToken(reader->token, line, length);
}

// ---- v, vn, vt

// Element count of array (1-based), with Count numbers, zero for those the
// line does not have.
template <int Count>
static void obxReadVector(ObxObjReader* reader, float** array, uint32_t* count, ObxRoom* room) {
  if (__builtin_expect((uint64_t(*count) + 2) * Count > room->ready, 0))
    obxGrow(reader, array, room, Count * reader->firstShare);
  float* values = *array + Count * size_t(++*count);
  if (*count == 1)
    for (int i = 0; i < Count; i++) values[i - Count] = 0.0f;  // the unused element 0
  for (int i = 0; i < Count; i++) values[i] = 0.0f;
  obxScanFloats(&reader->scan, Count, values);
}

// Numbers after a vector's own on its line: a vertex's colour (count 3), a
// texture coordinate's third value (1), kept in *kept at element index.
// After any such number the rest of the line is skipped, as it was when
// they were not kept; fewer than count are not kept.
// Makes *array (width floats an element, absent where an element has no
// value) hold elements 0..index, those from the filled ones on absent.
static void obxFillExtra(ObxObjReader* reader, int which, uint32_t index) {
  float** array = which == 0 ? &reader->model->colors : &reader->model->texcoordw;
  const size_t width = which == 0 ? 3 : 1;
  const float absent = which == 0 ? 1.0f : 0.0f;
  ObxRoom* room = &reader->extraRoom[which];
  while (width * (size_t(index) + 1) > room->ready)
    obxGrow(reader, array, room, width * reader->firstShare);
  uint32_t& filled = reader->extraFilled[which];
  if (filled <= index)
    std::fill(*array + width * filled, *array + width * (size_t(index) + 1), absent);
  filled = std::max(filled, index + 1);
}

static __attribute__((noinline)) void obxReadExtraNumbers(ObxObjReader* reader, int which,
                                                          uint32_t index) {
  const size_t count = which == 0 ? 3 : 1;
  ObxScanner* s = &reader->scan;
  float values[3];
  size_t got = 0;
  for (; got < count; got++) {
    const char* p = s->p;
    while (p < s->end && (*p == ' ' || *p == '\t')) p++;
    if (p == s->end || !(obxIsDigit((unsigned char)*p) || *p == '-' || *p == '+' || *p == '.'))
      break;
    s->p = p;
    if (obxScanFloat(s, &values[got]) != 1) break;
  }
  if (got == 0) return;
  // The rest of the line goes; mostly there is none.
  if (s->p == s->end || *s->p != '\n') obxReadLine(reader);
  if (got < count) return;
  obxFillExtra(reader, which, index);
  float* array = which == 0 ? reader->model->colors : reader->model->texcoordw;
  std::copy(values, values + count, array + count * size_t(index));
}

// which: 0 a vertex's colour, 1 a texture coordinate's third value.
static inline void obxReadExtra(ObxObjReader* reader, int which, uint32_t index) {
  const ObxScanner* s = &reader->scan;
  if (__builtin_expect(s->p < s->end && (*s->p == '\n' || *s->p == '\r'), 1)) return;
  obxReadExtraNumbers(reader, which, index);
}

// ---- g

// Makes the group named name current, making it when there is none yet.
static void obxSetGroup(ObxObjReader* reader, const char* name) {
  const auto found = reader->groupIndex.find(name);
  if (found != reader->groupIndex.end()) {
    reader->entry = found->second;
  } else {
    ObxGroup* group = obxNewGroup(reader->model, name);
    if (!group) obxReaderOutOfMemory(reader);
    reader->entry = uint32_t(reader->groups.size());
    reader->groups.push_back(group);
    reader->lastUse.push_back(0);
    reader->groupIndex.emplace(group->name, reader->entry);
  }
  reader->group = reader->groups[reader->entry];
}

// A group name: the rest of the line without its last character (normally
// the line end), so that it keeps the blank after "g"; the CR of a CR LF
// line end is no part of it.
static void obxReadGroup(ObxObjReader* reader) {
  obxReadLine(reader);
  size_t length = strlen(reader->token);
  if (length > 0) reader->token[--length] = '\0';
  if (length > 0 && reader->token[length - 1] == '\r') reader->token[length - 1] = '\0';
  obxSetGroup(reader, reader->token);
}

// Notes an event of the current group that sets its material if it has
// none: only when the material may differ from the group's last event's.
static inline void obxGroupEvent(ObxObjReader* reader) {
  const uint32_t use = uint32_t(reader->uses.size());
  if (use == 0 || reader->lastUse[reader->entry] == use) return;
  reader->lastUse[reader->entry] = use;
  reader->events.push_back({reader->entry, use});
}

// ---- mtllib and usemtl

// The material named name in the model's table; *found tells whether
// there is one.
static uint32_t obxMaterialNamed(const ObxObjReader* reader, const char* name, bool* found) {
  const auto material = reader->materialIndex.find(name);
  *found = material != reader->materialIndex.end();
  return *found ? material->second : 0;
}

// Warns of what at the current statement, once a read. Each warning reads
// the file up to its line: a file of endless kinds of faults gets a few.
static void obxTellOnce(ObxObjReader* reader, const std::string& what) {
  static const size_t kObxMostTold = 16;
  if (reader->told.size() > kObxMostTold ||
      std::find(reader->told.begin(), reader->told.end(), what) != reader->told.end())
    return;
  reader->told.push_back(what);
  if (reader->told.size() > kObxMostTold)
    obxWarn("obxReadOBJ: more faults in \"%s\" not told", reader->model->path);
  else
    obxWarn("obxReadOBJ: %s%s", what.c_str(), obxWhere(reader).c_str());
}

// mtllib: each library the line names is read at once (its textures are
// loaded as it is read) and its materials added to the model's table; a
// library named again is not read again. A name with blanks is one
// library when a file of the whole name is there, else each word is one.
static void obxReadMtllib(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  obxReadLine(reader);
  obxTrimInPlace(reader->token);
  // Without a name there is no library to read; the statement is dropped
  // rather than reading the directory itself.
  if (reader->token[0] == '\0') {
    obxWarn("obxReadOBJ: mtllib without a file name ignored");
    return;
  }
  std::vector<std::string> names;
  struct stat status;
  if (std::none_of(reader->token, reader->token + strlen(reader->token),
                   [](char c) { return obxIsSpace((unsigned char)c); }) ||
      stat(obxFileBeside(model, reader->token).c_str(), &status) == 0) {
    names.push_back(reader->token);
  } else {
    ObxScanner words = {reader->token, reader->token + strlen(reader->token)};
    const char* word;
    for (size_t length; (length = obxScanToken(&words, OBX_TOKEN_MAX, &word)) > 0;)
      names.emplace_back(word, length);
  }
  char* name = obxCopyString(names[0].c_str());
  if (!name) obxReaderOutOfMemory(reader);
  free(model->mtllibname);
  model->mtllibname = name;

  for (const std::string& library : names) {
    if (!reader->libraries.insert(library).second) continue;
    const uint32_t before = model->nummaterials;
    if (!obxReadLibrary(model, library.c_str(), true, reader->lenient)) continue;
    // A name defined again by a later library keeps its first material.
    for (uint32_t i = before; i < model->nummaterials; i++) {
      const auto added = reader->materialIndex.emplace(model->materials[i].name, i);
      if (!added.second && added.first->second < before)
        obxWarn("obxReadOBJ: material \"%s\" of \"%s\" is defined before; the first is used",
                model->materials[i].name, library.c_str());
    }
  }
}

// usemtl: the trimmed rest of the line names the material, looked up in
// the table of the moment; the table after the scan decides (a later
// mtllib may add it).
static void obxReadUsemtl(ObxObjReader* reader) {
  obxReadLine(reader);
  // Without a name the lookup of the empty name finds nothing and selects
  // the default material, with the lookup's warning.
  obxTrimInPlace(reader->token);
  bool found = false;
  reader->material = obxMaterialNamed(reader, reader->token, &found);
  reader->uses.push_back({reader->token, reader->material, reader->model->numtriangles});
  if (reader->group->numtriangles > 0) obxGroupEvent(reader);
}

// ---- o, s, l, p

// o: the trimmed rest of the line names an object, which runs to the next.
static void obxReadObject(ObxObjReader* reader) {
  obxReadLine(reader);
  obxTrimInPlace(reader->token);
  reader->objects.push_back(
      {reader->token, reader->model->numtriangles, uint32_t(reader->elements.size())});
}

// s: a smoothing group's number, the leading digits of the trimmed rest of
// the line; "off", or anything else without them, is 0 (none), as is a
// number beyond 32 bits.
static void obxReadSmoothing(ObxObjReader* reader) {
  obxReadLine(reader);
  obxTrimInPlace(reader->token);
  uint64_t value = 0;
  for (const char* p = reader->token; obxIsDigit((unsigned char)*p) && value <= UINT32_MAX; p++)
    value = 10 * value + uint64_t(*p - '0');
  const uint32_t group = value <= UINT32_MAX ? uint32_t(value) : 0;
  const uint32_t current = reader->smoothing.empty() ? 0 : reader->smoothing.back().second;
  if (group != current) reader->smoothing.push_back({reader->model->numtriangles, group});
}

// An index of a line or point made absolute as a face's; 0 (none can be)
// fails the check after the scan.
static uint32_t obxElementIndex(int64_t value, uint32_t count) {
  if (value < 0) return uint64_t(0) - uint64_t(value) <= count ? uint32_t(count + 1 + value) : 0;
  return value <= int64_t(kObxMaxCount) ? uint32_t(value) : 0;
}

// l, p: items up to the line's end, "v" or "v/vt" (a normal after them is
// no part of a line and is skipped). Anything else ends the items and is
// skipped with the rest of the line. Indices are checked after the scan.
static void obxReadElement(ObxObjReader* reader, char type) {
  ObxModel* model = reader->model;
  std::vector<uint32_t>& indices = reader->elementIndices;
  reader->elementMark = indices.size();
  ObxElement element = {type, uint32_t(indices.size() / 2), 0, model->numtriangles, reader->group};
  ObxScanner* s = &reader->scan;
  for (;;) {
    while (s->p < s->end && (*s->p == ' ' || *s->p == '\t' || *s->p == '\r')) s->p++;
    if (s->p == s->end || *s->p == '\n') break;
    int64_t v = 0, t = 0, n = 0;
    if (obxScanInt(s, &v) != 1) {
      obxReadLine(reader);
      break;
    }
    bool hasT = false;
    if (obxScanLiteral(s, '/') == 1) {
      hasT = obxScanInt(s, &t) == 1;
      if (obxScanLiteral(s, '/') == 1) (void)obxScanInt(s, &n);
    }
    indices.push_back(obxElementIndex(v, model->numvertices));
    indices.push_back(hasT ? obxElementIndex(t, model->numtexcoords) : OBX_NO_INDEX);
    element.count++;
  }
  if (element.count == 0) return;  // nothing to keep
  reader->elements.push_back(element);
  reader->elementOffsets.push_back(obxOffsetOf(reader, reader->statement));
}

// ---- f

enum ObxKind { OBX_KIND_VERTEX, OBX_KIND_TEXCOORD, OBX_KIND_NORMAL };

// The elements of a kind read so far.
static uint32_t obxCount(const ObxModel* model, ObxKind kind) {
  return kind == OBX_KIND_VERTEX     ? model->numvertices
         : kind == OBX_KIND_TEXCOORD ? model->numtexcoords
                                     : model->numnormals;
}

// An index as read, made absolute: -k is the k-th last element of its
// kind read before the face, as the format defines relative indices, so
// -1 never means "none"; one reaching before the first element fails.
// 0 stays 0 and fails the check after the scan, as does an index of an
// element not read yet, which a later line may still define.
static uint32_t obxResolveOther(ObxObjReader* reader, int64_t value, ObxKind kind) {
  static const char* const kKinds[3] = {"vertex", "texture coordinate", "normal"};
  const ObxModel* model = reader->model;
  const uint32_t count = obxCount(model, kind);
  if (value < 0 && uint64_t(0) - uint64_t(value) <= count)
    return uint32_t(int64_t(count) + 1 + value);
  reader->outOfBounds = true;
  if (value >= 0 && value <= int64_t(kObxMaxCount)) return uint32_t(value);
  // Read leniently, the check after the scan drops a texture coordinate or
  // normal index that is out of bounds: 0 is.
  if (reader->lenient && kind != OBX_KIND_VERTEX) return 0;
  // Larger indices would be cut to some other, valid-looking index (the
  // largest to "none"); no model this reader can hold has such elements.
  if (value > 0)
    obxDeferFailure(reader, "%s index for triangle %u out of bounds (%lld is above %u)",
                    kKinds[kind], model->numtriangles, (long long)value, kObxMaxCount);
  else
    obxDeferFailure(reader,
                    "%s index for triangle %u out of bounds (%lld reaches before the first %s; %u "
                    "read so far)",
                    kKinds[kind], model->numtriangles, (long long)value, kKinds[kind], count);
  return 0;
}

// The index as stored; the usual one names an element read so far. Checked
// here, so that the check of every triangle after the scan runs only when
// some index may be out of bounds.
static inline uint32_t obxResolveIndex(ObxObjReader* reader, int64_t value, ObxKind kind) {
  if (__builtin_expect(uint64_t(value) - 1 < obxCount(reader->model, kind), 1))
    return uint32_t(value);
  return obxResolveOther(reader, value, kind);
}

// The fields of a face item as stored: v, t, n.
struct ObxItem {
  uint32_t v, t, n;
};

// An item of plain numbers of up to nine digits in the form's layout, the
// usual kind, scanned without the general rules: the same fields, result
// and consumption as obxScanItem. Returns 0 for anything else (and near the
// end of the input), with nothing consumed.
template <ObxItemForm form>
static inline int obxQuickItem(ObxScanner* s, int64_t fields[3]) {
  obxSkipSpace(s);
  const char* p = s->p;
  if (s->end - p < 40) return 0;
  const int count = form == OBX_FORM_V ? 1 : form == OBX_FORM_VTN ? 3 : 2;
  for (int i = 0; i < count; i++) {
    if (i > 0 && (*p++ != '/' || (form == OBX_FORM_VN && *p++ != '/'))) return 0;
    uint64_t value;
    const int digits = obxLeadingDigits<9>(p, &value);
    if (digits == 0 || digits > 9) return 0;
    p += digits;
    fields[form == OBX_FORM_VN && i == 1 ? 2 : i] = int64_t(value);
  }
  s->p = p;
  return count;
}

// Stores the fields a scan of the form converted (result of them) into
// item; the others keep their values.
template <ObxItemForm form>
static inline void obxResolveItem(ObxObjReader* reader, const int64_t fields[3], int result,
                                  ObxItem* item) {
  if (result >= 1) item->v = obxResolveIndex(reader, fields[0], OBX_KIND_VERTEX);
  if ((form == OBX_FORM_VT || form == OBX_FORM_VTN) && result >= 2)
    item->t = obxResolveIndex(reader, fields[1], OBX_KIND_TEXCOORD);
  if ((form == OBX_FORM_VN && result == 2) || (form == OBX_FORM_VTN && result == 3))
    item->n = obxResolveIndex(reader, fields[2], OBX_KIND_NORMAL);
}

// Scans the next item of the face into item; returns the scan's result.
template <ObxItemForm form>
static inline int obxReadItem(ObxObjReader* reader, ObxItem* item) {
  int64_t fields[3] = {0, 0, 0};
  int result = obxQuickItem<form>(&reader->scan, fields);
  if (!result) result = obxScanItem(&reader->scan, form, fields);
  obxResolveItem<form>(reader, fields, result, item);
  return result;
}

template <ObxItemForm form>
static inline void obxSetCorner(ObxTriangle* triangle, int corner, const ObxItem& item) {
  const bool hasT = form == OBX_FORM_VT || form == OBX_FORM_VTN;
  const bool hasN = form == OBX_FORM_VN || form == OBX_FORM_VTN;
  triangle->vindices[corner] = item.v;
  triangle->tindices[corner] = hasT ? item.t : OBX_NO_INDEX;
  triangle->nindices[corner] = hasN ? item.n : OBX_NO_INDEX;
}

// The next triangle, with the current material and no facet normal yet.
static inline ObxTriangle* obxNewTriangle(ObxObjReader* reader) {
  if (__builtin_expect(reader->model->numtriangles >= reader->triangleRoom.ready, 0))
    obxGrow(reader, &reader->model->triangles, &reader->triangleRoom, 4 * reader->firstShare);
  ObxTriangle* triangle = &reader->model->triangles[reader->model->numtriangles];
  triangle->findex = OBX_NO_INDEX;
  triangle->material = reader->material;
  return triangle;
}

static inline bool obxOutside(uint32_t index, uint32_t count) { return index - 1u >= count; }

// Puts the triangle just filled into the current group.
static inline void obxAddTriangle(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  ObxGroup* group = reader->group;
  const uint32_t members = group->numtriangles;
  // A list of n members has room for the next power of two from 16 up.
  if (members == 0 || (members >= 16 && (members & (members - 1)) == 0)) {
    uint32_t* grown = static_cast<uint32_t*>(
        realloc(group->triangles, sizeof(uint32_t) * (members ? 2 * size_t(members) : 16)));
    if (!grown) obxReaderOutOfMemory(reader);
    group->triangles = grown;
  }
  group->triangles[group->numtriangles++] = model->numtriangles++;
}

// A face from its first item, scanned into fields with result: a fan of
// triangles around that item. False, with no triangle, for a face of
// fewer than three items (items that yield a number).
template <ObxItemForm form>
static bool obxReadFaceItems(ObxObjReader* reader, const int64_t fields[3], int result) {
  // A field the first item lacks is 0, which the check after the scan reports.
  static const int kFields[4] = {1, 2, 3, 2};
  if (result < kFields[form]) reader->outOfBounds = true;
  ObxItem first = {0, 0, 0};
  obxResolveItem<form>(reader, fields, result, &first);
  ObxItem second = first;
  if (result < 1 || obxReadItem<form>(reader, &second) < 1) return false;
  ObxItem item = second;
  if (obxReadItem<form>(reader, &item) < 1) return false;
  ObxTriangle* triangle = obxNewTriangle(reader);
  obxSetCorner<form>(triangle, 0, first);
  obxSetCorner<form>(triangle, 1, second);
  for (;;) {
    obxSetCorner<form>(triangle, 2, item);
    obxAddTriangle(reader);
    // Mostly the face ends with its line, and the next statement's keyword
    // begins the next: the item scan would skip the line feed and fail there.
    const char* p = reader->scan.p;
    if (reader->scan.end - p >= 2 && *p == '\n' &&
        unsigned((unsigned char)(p[1] | 0x20)) - 'a' < 26u) {
      reader->scan.p = p + 1;
      return true;
    }
    if (obxReadItem<form>(reader, &item) < 1) return true;
    ObxTriangle* next = obxNewTriangle(reader);
    triangle = next - 1;  // making room may have moved it
    for (int c = 0; c < 2; c++) {
      const int from = c == 0 ? 0 : 2;
      next->vindices[c] = triangle->vindices[from];
      next->tindices[c] = triangle->tindices[from];
      next->nindices[c] = triangle->nindices[from];
    }
    triangle = next;
  }
}

// The usual first item, numbers of up to nine digits in one of the forms'
// layouts ("7", "7/8", "7/8/9", "7//9") and a blank after it: the token it
// is, its form and its fields, as the token way below finds them. False
// for anything else (and near the end of the input), with nothing consumed.
static bool obxQuickFirstItem(ObxScanner* s, ObxItemForm* form, int64_t fields[3], int* result) {
  const char* p = s->p;
  if (s->end - p < 40) return false;
  uint64_t values[3];
  int count = 0;
  bool doubleSlash = false;
  for (;;) {
    const int digits = obxLeadingDigits<9>(p, &values[count]);
    if (digits == 0 || digits > 9) return false;
    p += digits;
    count++;
    if (obxIsSpace((unsigned char)*p)) break;
    if (*p++ != '/' || count == 3 || doubleSlash) return false;
    if (*p == '/' && count == 1) {
      doubleSlash = true;
      p++;
    }
  }
  if (doubleSlash && count != 2) return false;
  static const ObxItemForm kForms[4] = {OBX_FORM_V, OBX_FORM_V, OBX_FORM_VT, OBX_FORM_VTN};
  *form = doubleSlash ? OBX_FORM_VN : kForms[count];
  fields[0] = int64_t(values[0]);
  if (doubleSlash) fields[2] = int64_t(values[1]);
  for (int i = 1; !doubleSlash && i < count; i++) fields[i] = int64_t(values[i]);
  *result = count;
  s->p = p;
  return true;
}

// The first item the way the stream reads it: a token, whose form is the
// first of "//" in it, three numbers, two numbers, or else one.
static void obxReadFirstItem(ObxObjReader* reader, ObxItemForm* form, int64_t fields[3],
                             int* result) {
  const char* text;
  const size_t length = obxScanToken(&reader->scan, OBX_TOKEN_MAX, &text);
  obxCopyToken(reader->token, text, length);
  const char* token = reader->token;
  ObxScanner scan = {token, token + strlen(token)};
  if (strstr(token, "//")) {
    *form = OBX_FORM_VN;
    *result = obxScanItem(&scan, OBX_FORM_VN, fields);
    return;
  }
  static const ObxItemForm kTried[3] = {OBX_FORM_VTN, OBX_FORM_VT, OBX_FORM_V};
  static const int kNeeded[3] = {3, 2, OBX_SCAN_EOF};
  for (int i = 0; i < 3; i++) {
    scan.p = token;
    *form = kTried[i];
    if ((*result = obxScanItem(&scan, *form, fields)) >= kNeeded[i]) return;
  }
}

// f: the first item decides the form of all of them.
static bool obxReadFaceForm(ObxObjReader* reader) {
  obxGroupEvent(reader);
  int64_t fields[3] = {0, 0, 0};
  ObxItemForm form;
  int result;
  obxSkipSpace(&reader->scan);
  if (!obxQuickFirstItem(&reader->scan, &form, fields, &result))
    obxReadFirstItem(reader, &form, fields, &result);
  switch (form) {
    default: return obxReadFaceItems<OBX_FORM_V>(reader, fields, result);
    case OBX_FORM_VT: return obxReadFaceItems<OBX_FORM_VT>(reader, fields, result);
    case OBX_FORM_VTN: return obxReadFaceItems<OBX_FORM_VTN>(reader, fields, result);
    case OBX_FORM_VN: return obxReadFaceItems<OBX_FORM_VN>(reader, fields, result);
  }
}

// The most corners a concave polygon may have to be clipped into ears
// (time grows with the square of the corners, or worse); a larger one
// stays a fan, with a warning.
static const uint32_t kObxMaxClipped = 1024;

// Whether the fan from corner 0 of a polygon of n corners (point(i) gives
// corner i's position) folds: one of its triangles faces against the
// polygon, the sum of their normals, and so covers its outside. Every
// convex polygon's fan serves. Run on every polygon read, so in floats and
// with the first few normals kept rather than made twice.
template <typename Point>
static inline bool obxFanFolds(uint32_t n, Point point) {
  enum { kKept = 8 };
  float kept[kKept][3], sum[3] = {0, 0, 0};
  auto normalOf = [&](uint32_t j, float* m) {  // of triangle (0, j, j + 1)
    const float *o = point(0), *b = point(j), *c = point(j + 1);
    const float u[3] = {b[0] - o[0], b[1] - o[1], b[2] - o[2]};
    const float v[3] = {c[0] - o[0], c[1] - o[1], c[2] - o[2]};
    m[0] = u[1] * v[2] - u[2] * v[1];
    m[1] = u[2] * v[0] - u[0] * v[2];
    m[2] = u[0] * v[1] - u[1] * v[0];
  };
  for (uint32_t j = 1; j + 1 < n; j++) {
    float m[3];
    float* made = j <= kKept ? kept[j - 1] : m;
    normalOf(j, made);
    for (int k = 0; k < 3; k++) sum[k] += made[k];
  }
  for (uint32_t j = 1; j + 1 < n; j++) {
    float m[3];
    const float* made = j <= kKept ? kept[j - 1] : m;
    if (j > kKept) normalOf(j, m);
    if (made[0] * sum[0] + made[1] * sum[1] + made[2] * sum[2] < 0) return true;
  }
  return false;
}

int obxTriangulatePolygon(const float* const* points, uint32_t n, uint32_t most,
                          std::vector<uint32_t>* out) {
  if (!obxFanFolds(n, [&](uint32_t i) { return points[i]; })) return 0;
  // The polygon's plane from Newell's normal; the points are seen along
  // its largest axis, turned so that the polygon runs counterclockwise.
  double normal[3] = {0, 0, 0};
  for (uint32_t i = 0; i < n; i++) {
    const float* a = points[i];
    const float* b = points[i + 1 < n ? i + 1 : 0];
    normal[0] += (double(a[1]) - b[1]) * (double(a[2]) + b[2]);
    normal[1] += (double(a[2]) - b[2]) * (double(a[0]) + b[0]);
    normal[2] += (double(a[0]) - b[0]) * (double(a[1]) + b[1]);
  }
  int axis = 0;
  for (int k = 1; k < 3; k++)
    if (std::fabs(normal[k]) > std::fabs(normal[axis])) axis = k;
  if (!(std::fabs(normal[axis]) > 0) || !std::isfinite(normal[axis])) return 0;
  const double turn = normal[axis] > 0 ? 1 : -1;
  const int across = (axis + 1) % 3, up = (axis + 2) % 3;
  if (n > most) return -1;
  std::vector<double> x(n), y(n);
  for (uint32_t i = 0; i < n; i++) {
    x[i] = points[i][across];
    y[i] = turn * points[i][up];
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) return 0;
  }
  auto cross = [&](uint32_t a, uint32_t b, uint32_t c) {
    return (x[b] - x[a]) * (y[c] - y[a]) - (y[b] - y[a]) * (x[c] - x[a]);
  };
  // Ear clipping: a corner that turns left and whose triangle holds no other
  // corner is cut off. When none is left (a polygon that crosses itself),
  // the next corner is cut off anyway, so that every corner is used.
  std::vector<uint32_t> ring(n);
  for (uint32_t i = 0; i < n; i++) ring[i] = i;
  out->clear();
  auto same = [&](uint32_t a, uint32_t b) { return x[a] == x[b] && y[a] == y[b]; };
  for (size_t at = 0, misses = 0; ring.size() > 3;) {
    const size_t m = ring.size();
    at %= m;
    const uint32_t a = ring[(at + m - 1) % m], b = ring[at], c = ring[(at + 1) % m];
    bool ear = cross(a, b, c) > 0;
    for (size_t k = 0; ear && k < m; k++) {
      const uint32_t p = ring[k];
      if (same(p, a) || same(p, b) || same(p, c)) continue;
      ear = !(cross(a, b, p) >= 0 && cross(b, c, p) >= 0 && cross(c, a, p) >= 0);
    }
    if (!ear && ++misses < m) {
      at++;
      continue;
    }
    out->insert(out->end(), {a, b, c});
    ring.erase(ring.begin() + ptrdiff_t(at));
    at = at == 0 ? m - 2 : at - 1;  // the corner before may be an ear now
    misses = 0;
  }
  out->insert(out->end(), {ring[0], ring[1], ring[2]});
  return 1;
}

// A polygon just read as a fan from triangle first on: when the fan folds
// over the polygon's outside (a concave polygon), its triangles are made
// again by ear clipping, the same number with the same corners. A convex
// polygon keeps its fan; one naming a vertex not read yet cannot be seen
// and keeps it too.
static void obxClipConcave(ObxObjReader* reader, uint32_t first) {
  ObxModel* model = reader->model;
  ObxTriangle* fan = &model->triangles[first];
  const uint32_t n = model->numtriangles - first + 2;
  // The corners in order: the first triangle's first two, then the last
  // corner of each.
  auto vertex = [&](uint32_t i) { return i < 2 ? fan[0].vindices[i] : fan[i - 2].vindices[2]; };
  for (uint32_t i = 0; i < n; i++)
    if (obxOutside(vertex(i), model->numvertices)) return;
  auto point = [&](uint32_t i) { return &model->vertices[3 * size_t(vertex(i))]; };
  if (!obxFanFolds(n, point)) return;
  std::vector<const float*>& points = reader->clipPoints;
  points.resize(n);
  for (uint32_t i = 0; i < n; i++) points[i] = point(i);
  std::vector<uint32_t>& corners = reader->clipped;
  const int made = obxTriangulatePolygon(points.data(), n, kObxMaxClipped, &corners);
  if (made < 0 && !reader->bigPolygon)
    reader->bigPolygon = obxOffsetOf(reader, reader->statement) + 1;
  if (made <= 0) return;
  std::vector<ObxTriangle>& items = reader->clipItems;  // one corner each, in corner 0
  items.resize(n);
  for (uint32_t i = 0; i < n; i++) {
    const ObxTriangle& from = fan[i < 2 ? 0 : i - 2];
    const int k = i < 2 ? int(i) : 2;
    items[i].vindices[0] = from.vindices[k];
    items[i].tindices[0] = from.tindices[k];
    items[i].nindices[0] = from.nindices[k];
  }
  for (uint32_t j = 0; j + 2 < n; j++)
    for (int k = 0; k < 3; k++) {
      const ObxTriangle& item = items[corners[3 * j + k]];
      fan[j].vindices[k] = item.vindices[0];
      fan[j].tindices[k] = item.tindices[0];
      fan[j].nindices[k] = item.nindices[0];
    }
}

// Notes a face of n > 3 corners from triangle first on: the run before it
// grows when it holds faces of as many corners up to first.
static inline void obxAddPolygon(ObxObjReader* reader, uint32_t first, uint32_t n) {
  ObxModel* model = reader->model;
  ObxPolygon* last = model->numpolygons ? &model->polygons[model->numpolygons - 1] : NULL;
  if (last && last->numcorners == n &&
      uint64_t(last->triangle) + uint64_t(last->numfaces) * (n - 2) == first &&
      last->numfaces < UINT32_MAX) {
    last->numfaces++;
    return;
  }
  if (model->numpolygons >= reader->polygonRoom.ready)
    obxGrow(reader, &model->polygons, &reader->polygonRoom, 1024);
  model->polygons[model->numpolygons++] = {first, n, 1};
}

// A face, noted with its line when an index lies outside the elements
// read before it. A face of fewer than three items makes no triangle and
// leaves no trace but one warning per file.
static void obxReadFace(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  auto& mark = reader->faceMark;
  mark = {model->numtriangles,   reader->group->numtriangles, reader->lastUse[reader->entry],
          reader->events.size(), reader->outOfBounds,         !reader->failure.empty()};
  reader->outOfBounds = false;
  const bool made = obxReadFaceForm(reader);
  // At the window's end the face is read again in a wider one.
  const bool whole = reader->scan.p != reader->scan.end || reader->input->eof;
  if (!made) {
    obxUndo(reader, "f");
    if (whole) obxTellOnce(reader, "a face of fewer than three corners makes no triangle");
    return;
  }
  if (whole && model->numtriangles - mark.numtriangles > 1) {
    obxClipConcave(reader, mark.numtriangles);
    obxAddPolygon(reader, mark.numtriangles, model->numtriangles - mark.numtriangles + 2);
  }
  if (reader->outOfBounds)
    reader->faceOffsets.push_back(
        {mark.numtriangles, model->numtriangles, obxOffsetOf(reader, reader->statement)});
  reader->outOfBounds |= mark.outOfBounds;
}

// ---- The scan and what follows it

// A keyword whose first letter names a statement must begin with its word
// (only that many characters are compared). Read leniently, another is
// skipped with its line and a warning.
static bool obxKnownKeyword(ObxObjReader* reader, const char* token, size_t length,
                            const char* word) {
  if (obxKeywordIs(token, length, word)) return true;
  obxCopyToken(reader->token, token, length);
  if (!reader->lenient)
    obxFail("obxReadOBJ: Got \"%s\" instead of \"%s\"%s", reader->token, word,
            obxWhere(reader).c_str());
  obxTellOnce(reader, std::string("unknown statement \"") + reader->token + "\" ignored");
  obxReadLine(reader);
  return false;
}

// Tells the caller's progress callback how far the read is once it has
// gone another step: 1% of the file, at most 64 MB. A non-zero answer
// cancels the read.
static void obxReport(ObxObjReader* reader, uint64_t done) {
  if (done < reader->nextReport) return;
  const uint64_t total = std::max(reader->input->size, done);
  reader->nextReport = done + std::max<uint64_t>(1, std::min<uint64_t>(total / 100, 64 << 20));
  if (reader->options->progress(done, total, reader->options->context))
    obxFail("obxReadOBJ: reading \"%s\" cancelled", reader->model->path);
}

static void obxScanFile(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  const ObxInput* input = reader->input;
  for (;;) {
    const char* token;
    size_t length;
    obxSkipSpace(&reader->scan);
    if (__builtin_expect(reader->scan.end - reader->scan.p < obxLookahead, 0) && !input->eof) {
      obxMore(reader, reader->scan.p, obxWindow - size_t(obxLookahead));
      continue;
    }
    const char* p = reader->scan.p;
    if (__builtin_expect(reader->options != NULL, 0)) obxReport(reader, obxOffsetOf(reader, p));
    // The usual keywords are one or two bytes before a blank.
    if (reader->scan.end - p >= 3 &&
        (obxIsSpace((unsigned char)p[1]) || obxIsSpace((unsigned char)p[2]))) {
      token = p;
      length = obxIsSpace((unsigned char)p[1]) ? 1 : 2;
      reader->scan.p = p + length;
    } else if ((length = obxScanToken(&reader->scan, OBX_TOKEN_MAX, &token)) == 0) {
      return;
    }
    reader->statement = token;
    switch (token[0]) {
      case 'v':
        // The keyword is read as a C string: "v" and a zero byte is "v".
        if (length == 1 || token[1] == '\0') {
          obxReadVector<3>(reader, &model->vertices, &model->numvertices, &reader->room[0]);
          obxReadExtra(reader, 0, model->numvertices);
        } else if (token[1] == 'n') {
          obxReadVector<3>(reader, &model->normals, &model->numnormals, &reader->room[1]);
        } else if (token[1] == 't') {
          obxReadVector<2>(reader, &model->texcoords, &model->numtexcoords, &reader->room[2]);
          obxReadExtra(reader, 1, model->numtexcoords);
        } else if (!reader->lenient) {
          obxCopyToken(reader->token, token, length);
          obxFail("obxFirstPass(): Unknown token \"%s\"%s.", reader->token,
                  obxWhere(reader).c_str());
        } else {
          obxCopyToken(reader->token, token, length);
          obxTellOnce(reader, std::string("unknown statement \"") + reader->token + "\" ignored");
          obxReadLine(reader);
        }
        break;
      case 'f': obxReadFace(reader); break;
      case 'g': obxReadGroup(reader); break;
      case 'm':
        if (obxKnownKeyword(reader, token, length, "mtllib")) obxReadMtllib(reader);
        break;
      case 'u':
        if (obxKnownKeyword(reader, token, length, "usemtl")) obxReadUsemtl(reader);
        break;
      case 'o':
      case 's':
      case 'l':
      case 'p':
        // Only the one-letter keywords: others beginning so stay skipped.
        if (length > 1 && token[1] != '\0')
          obxReadLine(reader);
        else if (token[0] == 'o')
          obxReadObject(reader);
        else if (token[0] == 's')
          obxReadSmoothing(reader);
        else
          obxReadElement(reader, token[0]);
        break;
      default:  // "#", numbers, anything else
        obxReadLine(reader);
        break;
    }
    // Only a vector, a face, a line or points can run into the window's end, and go on
    // beyond it: it is read again from its keyword in a wider window.
    if (__builtin_expect(reader->scan.p == reader->scan.end, 0) && !input->eof) {
      obxUndo(reader, token);
      obxMore(reader, reader->statement, 2 * size_t(reader->scan.end - reader->statement));
    }
  }
}

// The materials of the usemtl statements, looked up in the last library
// read, as the storing pass would after every library was read: its
// warnings in file order, up to a failure of that pass. A material that
// differs from the one found at the time is set on its triangles again.
static void obxResolveMaterials(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  const size_t uses = reader->failure.empty() ? reader->uses.size() : reader->usesBeforeFailure;
  for (size_t k = 0; k < uses; k++) {
    ObxUse* use = &reader->uses[k];
    bool found = false;
    const uint32_t material = obxMaterialNamed(reader, use->name.c_str(), &found);
    if (!found) obxWarnNoMaterial(use->name.c_str());
    if (material == use->material) continue;
    use->material = material;
    const uint32_t last =
        k + 1 < reader->uses.size() ? reader->uses[k + 1].first : model->numtriangles;
    for (uint32_t i = use->first; i < last; i++) model->triangles[i].material = material;
  }
  if (!reader->failure.empty()) obxFail("%s", reader->failure.c_str());
  // A group's material is the first non-zero material among its events.
  for (const ObxGroupEvent& event : reader->events) {
    ObxGroup* group = reader->groups[event.group];
    if (group->material == 0) group->material = reader->uses[event.use - 1].material;
  }
}

// Cuts *array down to count elements of width floats, or frees it when
// there are none (the vertex array always keeps its element 0).
static void obxFitVectors(float** array, uint32_t count, int width, bool keep) {
  if (count == 0 && !keep) {
    free(*array);
    *array = NULL;
    return;
  }
  float* fitted = static_cast<float*>(realloc(*array, sizeof(float) * width * (size_t(count) + 1)));
  if (!fitted && !*array) return;  // caught by the caller
  if (fitted) *array = fitted;
  if (count == 0) memset(*array, 0, sizeof(float) * width);
}

// The arrays cut to their counts: a block even without any elements for
// the vertices and triangles, and a list for every group (one spare entry).
static void obxFitArrays(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  obxFitVectors(&model->vertices, model->numvertices, 3, true);
  obxFitVectors(&model->normals, model->numnormals, 3, false);
  obxFitVectors(&model->texcoords, model->numtexcoords, 2, false);
  ObxTriangle* triangles = static_cast<ObxTriangle*>(
      realloc(model->triangles, sizeof(ObxTriangle) * std::max<size_t>(model->numtriangles, 1)));
  if (!model->vertices || !triangles) obxReaderOutOfMemory(reader);
  if (model->numtriangles == 0) memset(triangles, 0, sizeof(ObxTriangle));
  model->triangles = triangles;
  for (ObxGroup* g = model->groups; g; g = g->next) {
    uint32_t* list = static_cast<uint32_t*>(
        realloc(g->triangles, sizeof(uint32_t) * (size_t(g->numtriangles) + 1)));
    if (!list) obxReaderOutOfMemory(reader);
    g->triangles = list;
  }
}

// Checks every corner's indices, so that no index read from the file can
// reach beyond an array later. Texture coordinates are checked like the
// others: drawing reads texcoords by these indices. The message names the
// face's line: one of the faces noted while reading holds the triangle.
// Read leniently, a face's texture coordinates or normals with an index
// out of bounds are dropped from all its triangles, with one warning of
// each kind.
static void obxCheckIndices(const ObxObjReader* reader) {
  ObxModel* model = reader->model;
  uint32_t dropped[3] = {0, 0, 0};
  std::string first[3];
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    ObxTriangle* triangle = &model->triangles[i];
    for (int j = 0; j < 3; j++) {
      static const char* const kKinds[3] = {"normal", "vertex", "texture coordinate"};
      const uint32_t indices[3] = {triangle->nindices[j], triangle->vindices[j],
                                   triangle->tindices[j]};
      const uint32_t counts[3] = {model->numnormals, model->numvertices, model->numtexcoords};
      for (int k = 0; k < 3; k++) {
        if ((k != 1 && indices[k] == OBX_NO_INDEX) || !obxOutside(indices[k], counts[k])) continue;
        const auto face =
            std::upper_bound(reader->faceOffsets.begin(), reader->faceOffsets.end(), i,
                             [](uint32_t index, const ObxFaceAt& at) { return index < at.first; });
        OBX_ASSERT(face != reader->faceOffsets.begin());
        // Index 0 lies below the first element, any other above the last.
        char text[160];
        const int length =
            snprintf(text, sizeof text, "%s index for triangle %u out of bounds (", kKinds[k], i);
        if (indices[k] == 0)
          snprintf(text + length, sizeof text - size_t(length), "0 < 1)");
        else
          snprintf(text + length, sizeof text - size_t(length), "%u > %u)", indices[k], counts[k]);
        char where[64];
        snprintf(where, sizeof where, " at line %llu of \"",
                 (unsigned long long)reader->input->lineAt((face - 1)->offset));
        const std::string message = text + std::string(where) + model->path + '"';
        if (!reader->lenient || k == 1) obxFail("%s\n", message.c_str());
        if (dropped[k]++ == 0) first[k] = message;
        for (uint32_t t = (face - 1)->first; t < (face - 1)->end; t++)
          for (int c = 0; c < 3; c++)
            (k == 0 ? model->triangles[t].nindices : model->triangles[t].tindices)[c] =
                OBX_NO_INDEX;
      }
    }
  }
  for (int k : {2, 0})
    if (dropped[k])
      obxWarn("obxReadOBJ: %s: the %s dropped from that face and %u more", first[k].c_str(),
              k == 0 ? "normals" : "texture coordinates", dropped[k] - 1);
}

// Once per file: coordinates that are NaN or infinite ("%f" reads "nan",
// "inf" and numbers beyond the float range) stay as read, and the library
// leaves them out of extents and fitting.
static void obxWarnNonFinite(const ObxModel* model) {
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) continue;
    obxWarn("obxReadOBJ: vertex %u in \"%s\" is not finite (extents and fitting leave it out)", i,
            model->path);
    return;
  }
}

// Checks the indices of lines and points as a face's are checked. Read
// leniently, a texture coordinate index out of bounds is dropped, with one
// warning.
static void obxCheckElements(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  for (size_t e = 0; e < reader->elements.size(); e++) {
    const ObxElement& element = reader->elements[e];
    for (uint32_t i = 0; i < element.count; i++) {
      for (int k = 0; k < 2; k++) {
        uint32_t* index = &reader->elementIndices[2 * (size_t(element.first) + i) + size_t(k)];
        const uint32_t count = k == 0 ? model->numvertices : model->numtexcoords;
        if ((k == 1 && *index == OBX_NO_INDEX) || !obxOutside(*index, count)) continue;
        char text[160];
        snprintf(text, sizeof text, "%s index for %s %zu out of bounds (%u %s %u) at line %llu",
                 k == 0 ? "vertex" : "texture coordinate", element.type == 'l' ? "line" : "point",
                 e, *index, *index == 0 ? "<" : ">", *index == 0 ? 1u : count,
                 (unsigned long long)reader->input->lineAt(reader->elementOffsets[e]));
        if (k == 0 || !reader->lenient) obxFail("%s of \"%s\"\n", text, model->path);
        obxTellOnce(reader, std::string(text) + ": the texture coordinate dropped");
        *index = OBX_NO_INDEX;
      }
    }
  }
}

// A malloc'd copy of kept, cut or filled with fill to count entries; NULL
// when the file said nothing of its kind.
template <typename T>
static T* obxKeptArray(const std::vector<T>& kept, size_t count, T fill) {
  if (kept.empty()) return NULL;
  T* array = static_cast<T*>(malloc(sizeof(T) * std::max<size_t>(count, 1)));
  if (!array) throw std::bad_alloc();
  const size_t copied = std::min(kept.size(), count);
  std::copy(kept.begin(), kept.begin() + ptrdiff_t(copied), array);
  std::fill(array + copied, array + count, fill);
  return array;
}

// Moves what the file says beyond vertices, faces and groups into the model.
static void obxKeepExtras(ObxObjReader* reader) {
  ObxModel* model = reader->model;
  // Colours and third values filled out to every element and cut to fit.
  for (int which = 0; which < 2; which++) {
    float** array = which == 0 ? &model->colors : &model->texcoordw;
    if (!*array) continue;
    const uint32_t count = which == 0 ? model->numvertices : model->numtexcoords;
    obxFillExtra(reader, which, count);
    const size_t floats = (which == 0 ? 3 : 1) * (size_t(count) + 1);
    if (void* fitted = realloc(*array, floats * sizeof(float)))
      *array = static_cast<float*>(fitted);  // else the larger block serves
  }
  // Smoothing kept only when some triangle is in a group.
  std::vector<uint32_t> smoothing;
  for (size_t k = 0; k < reader->smoothing.size(); k++) {
    const uint32_t end =
        k + 1 < reader->smoothing.size() ? reader->smoothing[k + 1].first : model->numtriangles;
    if (reader->smoothing[k].second == 0 || reader->smoothing[k].first == end) continue;
    smoothing.resize(model->numtriangles, 0);
    std::fill(smoothing.begin() + reader->smoothing[k].first, smoothing.begin() + end,
              reader->smoothing[k].second);
  }
  model->smoothing = obxKeptArray(smoothing, model->numtriangles, 0u);
  if (model->numpolygons == 0) {
    free(model->polygons);
    model->polygons = NULL;
  } else if (void* fitted = realloc(model->polygons, model->numpolygons * sizeof(ObxPolygon))) {
    model->polygons = static_cast<ObxPolygon*>(fitted);  // else the larger block serves
  }
  model->elements = obxKeptArray(reader->elements, reader->elements.size(), ObxElement());
  model->elementindices = obxKeptArray(reader->elementIndices, reader->elementIndices.size(), 0u);
  model->numelements = uint32_t(reader->elements.size());
  if (reader->objects.empty()) return;
  model->objects = static_cast<ObxObject*>(calloc(reader->objects.size(), sizeof(ObxObject)));
  if (!model->objects) throw std::bad_alloc();
  for (const ObxObjReader::Object& object : reader->objects) {
    char* name = obxCopyString(object.name.c_str());
    if (!name) throw std::bad_alloc();
    model->objects[model->numobjects++] = {name, object.firsttriangle, object.firstelement};
  }
}

static ObxModel* obxReadModel(const char* path, const ObxReadOptions* options) {
  obxToldNoContext = false;  // each read says once that it uploads nothing
  ObxInput file;
  if (file.open(path) != OBX_OPEN_OK)
    obxFail("obxReadOBJ() failed: can't open data file \"%s\": %s.", path, file.why);

  ObxModelOwner model(static_cast<ObxModel*>(calloc(1, sizeof(ObxModel))));
  if (!model) obxFailOutOfMemory("obxReadOBJ", path);
  model->path = obxCopyString(path);
  if (!model->path) obxFailOutOfMemory("obxReadOBJ", path);
  try {
    ObxObjReader reader;
    reader.model = model.get();
    reader.input = &file;
    reader.lenient = options && (options->flags & OBX_READ_LENIENT);
    if (options && options->progress) reader.options = options;
    obxMore(&reader, file.data, obxWindow);
    reader.scan.p = obxTextStart(&file, "obxReadOBJ() failed: can't read data file", path);
    // A first block of one element of a kind per 64 bytes of file (and four
    // triangles) holds all of a usual file's elements; what is never
    // touched costs no memory.
    reader.firstShare = std::min<uint64_t>(std::max<uint64_t>(1024, file.size / 64), 1u << 23);
    obxSetGroup(&reader, "default");
    obxScanFile(&reader);
    if (file.error)
      obxFail("obxReadOBJ() failed: can't read data file \"%s\": %s.", path, strerror(file.error));
    if (reader.options) {
      reader.nextReport = 0;  // the end is told whatever the step
      obxReport(&reader, obxOffsetOf(&reader, reader.scan.end));
    }
    obxResolveMaterials(&reader);
    if (reader.bigPolygon)
      obxWarn(
          "obxReadOBJ: a concave polygon of more than 1024 corners stays a fan at line %llu of "
          "\"%s\"",
          (unsigned long long)file.lineAt(reader.bigPolygon - 1), path);
    obxFitArrays(&reader);
    if (reader.outOfBounds) obxCheckIndices(&reader);
    obxCheckElements(&reader);
    obxKeepExtras(&reader);
  } catch (const std::bad_alloc&) {
    obxFailOutOfMemory("obxReadOBJ", path);
  }
  obxWarnNonFinite(model.get());
  obxComputeFacetNormals(model.get());
  return model.release();
}

ObxModel* obxReadOBJWithOptions(const char* path, const ObxReadOptions* options) {
  OBX_ASSERT(path != NULL);
  return obxCall([=] { return obxReadModel(path, options); });
}

ObxModel* obxReadOBJ(const char* path) { return obxReadOBJWithOptions(path, NULL); }

namespace {
struct ObxReadCall {
  const char* path;
  const ObxReadOptions* options;
  ObxModel* model;
};
}  // namespace

ObxModel* obxTryReadOBJWithOptions(const char* path, const ObxReadOptions* options, char* message,
                                   size_t size) {
  ObxReadCall call = {path, options, NULL};
  auto read = [](void* context) {
    ObxReadCall* c = static_cast<ObxReadCall*>(context);
    c->model = obxReadOBJWithOptions(c->path, c->options);
  };
  return obxTry(read, &call, message, size) ? call.model : NULL;
}

ObxModel* obxTryReadOBJ(const char* path, char* message, size_t size) {
  return obxTryReadOBJWithOptions(path, NULL, message, size);
}
