// obx OBJ reader: obxReadOBJ and its statements.
#include <sched.h>

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

// A block of a large file read on a thread of its own (see obxScanBlocks):
// what the file before it decides is noted for the join rather than done.
// Anything unusual (a warning, a failure, lines, points, an index that may
// be out of bounds) ends the block's read as unusual, and the join reads
// the block again in turn, as one thread would.
struct ObxUnusual {};
struct ObxBlockEvent {
  char kind;          // 'g' group, 'u' usemtl, 'm' mtllib, 'o' object, 's' smoothing
  uint32_t triangle;  // the block's triangles before it
  uint32_t value;     // s: the group
  std::string text;   // the name or line
};
struct ObxBlockNotes {
  std::vector<ObxBlockEvent> events;
  int64_t excess[3];  // the most a positive index passed the elements read in the block
  int64_t lowest[3];  // the lowest relative index resolved in the block (may be below 1)
  bool relative[3];   // some index is relative: stored as kObxRelative + its value
  std::vector<std::pair<uint32_t, uint64_t>> bigFaces;  // first triangle, offset
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
  ObxRoom polygonRoom = {};  // the model's polygons, grown as its triangles are
  const ObxReadOptions* options = NULL;
  uint64_t nextReport = 0;  // where progress is told next
  std::vector<ObxElement> elements;
  std::vector<uint32_t> elementIndices;
  std::vector<uint64_t> elementOffsets;  // each element's statement, for messages
  size_t elementMark = 0;                // elementIndices before the statement being read
  uint64_t stopAt = UINT64_MAX;          // the scan ends before a statement at this offset or later
  ObxBlockNotes* block = NULL;           // reading a block on a thread of its own
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
  // A block's arrays are used again round after round: pages come as they
  // are touched, so that a small file's blocks hold no more than they use.
  if (reader->block) {
    room->ready = room->allocated;
    return;
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
  if (reader->block) throw ObxUnusual();
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
static void obxLog(ObxObjReader* reader, char kind, const char* text, uint32_t value = 0) {
  reader->block->events.push_back({kind, reader->model->numtriangles, value, text});
}

static void obxSetGroup(ObxObjReader* reader, const char* name) {
  if (reader->block) return obxLog(reader, 'g', name);
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
  if (reader->block) throw ObxUnusual();
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
static void obxNameLibraries(ObxObjReader* reader, const char* line) {
  ObxModel* model = reader->model;
  if (line != reader->token) obxCopyToken(reader->token, line, strlen(line));
  // Without a name there is no library to read; the statement is dropped
  // rather than reading the directory itself.
  if (reader->token[0] == '\0') {
    obxWarn("obxReadOBJ: mtllib without a file name ignored");
    return;
  }
  std::vector<std::string> names;
  if (std::none_of(reader->token, reader->token + strlen(reader->token),
                   [](char c) { return obxIsSpace((unsigned char)c); }) ||
      obxFileExists(obxFileBeside(model, reader->token).c_str())) {
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

static void obxReadMtllib(ObxObjReader* reader) {
  obxReadLine(reader);
  obxTrimInPlace(reader->token);
  if (reader->block) return obxLog(reader, 'm', reader->token);
  obxNameLibraries(reader, reader->token);
}

static void obxUseMaterial(ObxObjReader* reader, const char* name) {
  if (reader->block) return obxLog(reader, 'u', name);
  bool found = false;
  reader->material = obxMaterialNamed(reader, name, &found);
  reader->uses.push_back({name, reader->material, reader->model->numtriangles});
  if (reader->group->numtriangles > 0) obxGroupEvent(reader);
}

// usemtl: the trimmed rest of the line names the material, looked up in
// the table of the moment; the table after the scan decides (a later
// mtllib may add it).
static void obxReadUsemtl(ObxObjReader* reader) {
  obxReadLine(reader);
  // Without a name the lookup of the empty name finds nothing and selects
  // the default material, with the lookup's warning.
  obxTrimInPlace(reader->token);
  obxUseMaterial(reader, reader->token);
}

// ---- o, s, l, p

static void obxStartObject(ObxObjReader* reader, const char* name) {
  if (reader->block) return obxLog(reader, 'o', name);
  reader->objects.push_back({name, reader->model->numtriangles, uint32_t(reader->elements.size())});
}

// o: the trimmed rest of the line names an object, which runs to the next.
static void obxReadObject(ObxObjReader* reader) {
  obxReadLine(reader);
  obxTrimInPlace(reader->token);
  obxStartObject(reader, reader->token);
}

static void obxSetSmoothing(ObxObjReader* reader, uint32_t group) {
  if (reader->block) return obxLog(reader, 's', "", group);
  const uint32_t current = reader->smoothing.empty() ? 0 : reader->smoothing.back().second;
  if (group != current) reader->smoothing.push_back({reader->model->numtriangles, group});
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
  obxSetSmoothing(reader, value <= UINT32_MAX ? uint32_t(value) : 0);
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
  if (reader->block) throw ObxUnusual();
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

// In a block, elements before it are not known yet. An index above the
// block's elements names one before it, in bounds when the join finds
// that many; a relative one is kept as an offset from the block's count,
// which the join adds to the elements before the block.
static const uint32_t kObxRelative = 0xC0000000u;  // + a relative index resolved in a block
static const int64_t kObxBlockReach = 1 << 30;     // the farthest a block's index may reach back
static uint32_t obxResolveInBlock(ObxObjReader* reader, int64_t value, ObxKind kind,
                                  uint32_t count) {
  ObxBlockNotes* notes = reader->block;
  if (value > 0 && value < 0x80000000) {
    notes->excess[kind] = std::max(notes->excess[kind], value - int64_t(count));
    return uint32_t(value);
  }
  if (value >= 0 || value < -kObxBlockReach || count >= kObxBlockReach - 1) throw ObxUnusual();
  const int64_t local = int64_t(count) + 1 + value;
  notes->lowest[kind] = std::min(notes->lowest[kind], local);
  notes->relative[kind] = true;
  return uint32_t(int64_t(kObxRelative) + local);
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
  if (reader->block) return obxResolveInBlock(reader, value, kind, count);
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
  const uint32_t count = obxCount(reader->model, kind);
  if (__builtin_expect(uint64_t(value) - 1 < count, 1)) return uint32_t(value);
  // In a later block the usual index names an element of an earlier one.
  if (reader->block && uint64_t(value) - 1 < 0x7FFFFFFF) {
    int64_t& excess = reader->block->excess[kind];
    excess = std::max(excess, value - int64_t(count));
    return uint32_t(value);
  }
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
static inline void obxAddToGroup(ObxObjReader* reader) {
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

// Puts the triangle just filled into the current group, or in a block
// leaves that to the join.
static inline void obxAddTriangle(ObxObjReader* reader) {
  if (__builtin_expect(reader->block != NULL, 0))
    reader->model->numtriangles++;
  else
    obxAddToGroup(reader);
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
// Returns what obxTriangulatePolygon does (0 too when it is not tried).
// The polygon's n - 2 triangles are at fan; position(v) is where vertex
// v's coordinates are, for v among the count read.
template <typename Position>
static int obxClipConcave(ObxObjReader* reader, ObxTriangle* fan, uint32_t n, uint32_t count,
                          Position position) {
  // The corners in order: the first triangle's first two, then the last
  // corner of each.
  auto vertex = [&](uint32_t i) { return i < 2 ? fan[0].vindices[i] : fan[i - 2].vindices[2]; };
  for (uint32_t i = 0; i < n; i++)
    if (obxOutside(vertex(i), count)) return 0;
  auto point = [&](uint32_t i) { return position(vertex(i)); };
  if (!obxFanFolds(n, point)) return 0;
  std::vector<const float*>& points = reader->clipPoints;
  points.resize(n);
  for (uint32_t i = 0; i < n; i++) points[i] = point(i);
  std::vector<uint32_t>& corners = reader->clipped;
  const int made = obxTriangulatePolygon(points.data(), n, kObxMaxClipped, &corners);
  if (made <= 0) return made;
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
  return made;
}

// Notes faces of n > 3 corners from triangle first on: the run before
// them grows when it holds faces of as many corners up to first.
static inline void obxAddPolygons(ObxObjReader* reader, uint32_t first, uint32_t n,
                                  uint32_t faces) {
  ObxModel* model = reader->model;
  ObxPolygon* last = model->numpolygons ? &model->polygons[model->numpolygons - 1] : NULL;
  if (last && last->numcorners == n &&
      uint64_t(last->triangle) + uint64_t(last->numfaces) * (n - 2) == first &&
      last->numfaces <= UINT32_MAX - faces) {
    last->numfaces += faces;
    return;
  }
  if (model->numpolygons >= reader->polygonRoom.ready)
    obxGrow(reader, &model->polygons, &reader->polygonRoom, 1024);
  model->polygons[model->numpolygons++] = {first, n, faces};
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
    const uint32_t n = model->numtriangles - mark.numtriangles + 2;
    // A block's polygons are clipped after the join, which has the
    // vertices before it; the rare one too large to clip is noted.
    if (reader->block && n > kObxMaxClipped)
      reader->block->bigFaces.push_back(
          {mark.numtriangles, obxOffsetOf(reader, reader->statement)});
    if (!reader->block &&
        obxClipConcave(reader, &model->triangles[mark.numtriangles], n, model->numvertices,
                       [model](uint32_t v) { return &model->vertices[3 * size_t(v)]; }) < 0 &&
        !reader->bigPolygon)
      reader->bigPolygon = obxOffsetOf(reader, reader->statement) + 1;
    obxAddPolygons(reader, mark.numtriangles, n, 1);
  }
  if (reader->block && reader->outOfBounds) throw ObxUnusual();
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
      if (reader->block) throw ObxUnusual();  // a block does not move the window
      obxMore(reader, reader->scan.p, obxWindow - size_t(obxLookahead));
      continue;
    }
    const char* p = reader->scan.p;
    if (__builtin_expect(obxOffsetOf(reader, p) >= reader->stopAt, 0)) return;
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
          // A third value only after "vt" itself: "vtx 1 2 3" reads as it
          // always did, its rest left to the next statement.
          if (length == 2 || token[2] == '\0') obxReadExtra(reader, 1, model->numtexcoords);
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
      if (reader->block) throw ObxUnusual();
      obxUndo(reader, token);
      obxMore(reader, reader->statement, 2 * size_t(reader->scan.end - reader->statement));
    }
  }
}

// ---- Reading on several threads
//
// A large file is read a round at a time, a block of its bytes per thread.
// Each thread reads its block (pread, from the first line end at or after
// the block's offset) and scans it as the one-thread scan would, into
// arrays of its own, noting what depends on the file before it
// (ObxBlockNotes). The join takes the blocks in order on the calling
// thread: a block whose scan began where the one before it ended, and met
// nothing unusual, has its statements applied (groups, materials,
// libraries, objects, smoothing) and its elements numbered on from the
// model's. While the threads scan the next round they finish the joined
// blocks: materials, group lists, indices, concave polygons clipped, arrays
// copied into place. The first block that cannot be joined is scanned
// again on the calling thread with the rest of its round. So the model, its
// warnings and its failure are the one-thread reader's; what stays serial
// is the join's bookkeeping, a few events a block.

static size_t obxBlockSize = 0;     // 0: from the file's size (obxBlockBytes)
static uint64_t obxBlocksFrom = 0;  // 0: kObxBlocksFrom

// Files below this read on one thread: on two cores a 9.6 MB file read
// about 10% slower on both (starting the threads, the join), files of 16
// and 32 MB 5 to 10% faster.
static const uint64_t kObxBlocksFrom = uint64_t(16) << 20;

void obxSetReadBlocks(size_t block, uint64_t from) {
  obxBlockSize = block;
  obxBlocksFrom = from;
}

// A block's bytes: 1% of the file, within 256 KiB to 8 MiB: a round's
// threads wait for its slowest block, and each round costs a join.
static size_t obxBlockBytes(uint64_t size) {
  if (obxBlockSize) return obxBlockSize;
  return size_t(std::min<uint64_t>(std::max<uint64_t>(size / 100, 256 << 10), 8 << 20));
}

// The cores this process may run on.
static unsigned obxUsableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(std::max(CPU_COUNT(&set), 1));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// One thread's block and what it made of it.
struct ObxBlockScan {
  ObxModel local = {};  // its elements, numbered from 1
  ObxGroup group = {};  // stands for the groups, which the join keeps
  ObxObjReader reader;  // over local
  ObxBlockNotes notes;
  ObxInput bytes;        // the block's bytes, read by its thread
  uint64_t start = 0;    // the offset of its first statement
  uint64_t stopped = 0;  // of the first statement after it
  bool usable = false;
  // Set by the join: the elements of each kind and the triangles before
  // it, and each run of its triangles between statements: the first, its
  // material, its group and where in the group's list it goes.
  uint32_t base[3] = {0, 0, 0};
  uint32_t firstTriangle = 0;
  struct Run {
    uint32_t first, material;
    ObxGroup* group;
    uint32_t member;
  };
  std::vector<Run> runs;
  uint64_t bigPolygon = 0;  // 1 + the offset of its first polygon too large to clip

  ObxBlockScan(const ObxObjReader* main, size_t blockBytes) {
    local.path = main->model->path;  // for messages, which end the block's scan
    reader.model = &local;
    reader.input = &bytes;
    reader.lenient = main->lenient;
    reader.firstShare = std::max<size_t>(blockBytes / 32, 1024);
    reader.group = &group;
    reader.lastUse.push_back(0);
    reader.block = &notes;
  }
  ~ObxBlockScan() {
    free(local.vertices);
    free(local.normals);
    free(local.texcoords);
    free(local.triangles);
    free(local.polygons);
    free(local.colors);
    free(local.texcoordw);
  }
  ObxBlockScan(const ObxBlockScan&) = delete;
  ObxBlockScan& operator=(const ObxBlockScan&) = delete;

  // Reads its bytes from source and scans the statements that begin in
  // them: the first block's from its offset from on, a later block's from
  // after the first line end at or after from; up to the first line end at
  // or after to. Each block finds its own edges and the one before it finds
  // the same: the bytes they read overlap. Anything that cannot be told
  // from the bytes read makes the block unusual.
  void read(const ObxInput& source, bool first, uint64_t from, uint64_t to) {
    local.numvertices = local.numnormals = local.numtexcoords = 0;
    local.numtriangles = local.numpolygons = 0;
    reader.extraFilled[0] = reader.extraFilled[1] = 0;
    group.numtriangles = 0;
    notes.events.clear();
    notes.bigFaces.clear();
    for (int k = 0; k < 3; k++) {
      notes.excess[k] = 0;
      notes.lowest[k] = INT64_MAX;
      notes.relative[k] = false;
    }
    runs.clear();
    bigPolygon = 0;
    reader.outOfBounds = false;
    usable = false;
    // Two bytes before a later block show whether its first line end is
    // a backslash's continuation; what is kept ahead after its end holds
    // its last statement.
    const uint64_t at = first ? from : from - 2;
    const size_t ahead = 2 * size_t(obxLookahead);
    if (!bytes.readAt(source, at, size_t(to - at) + ahead)) return;
    const char* begin = bytes.data + (from - at);
    const char* limit = bytes.eof ? bytes.end : bytes.end - obxLookahead;
    auto lineEndFrom = [&](const char* p) -> const char* {
      if (p >= limit) return p <= bytes.end && bytes.eof ? bytes.end : NULL;
      const void* feed = memchr(p, '\n', size_t(limit - p));
      return feed ? static_cast<const char*>(feed) + 1 : bytes.eof ? bytes.end : NULL;
    };
    const char* edge = first ? begin : lineEndFrom(begin);
    const char* next = lineEndFrom(bytes.data + (to - at));
    if (!edge || !next) return;
    reader.scan = {edge, bytes.end};
    obxSkipSpace(&reader.scan);
    start = obxOffsetOf(&reader, reader.scan.p);
    reader.stopAt = obxOffsetOf(&reader, next);
    try {
      obxScanFile(&reader);
      usable = true;
    } catch (...) {  // anything unusual, failures too: the join reads it again
      return;
    }
    stopped = obxOffsetOf(&reader, reader.scan.p);
  }
};

// Makes room for needed units of *array at once, growing as obxGrow does
// but without putting pages in place: the threads that copy do.
template <typename T>
static void obxReserve(ObxObjReader* reader, T** array, ObxRoom* room, uint64_t needed,
                       uint64_t first) {
  room->ready = room->allocated;
  while (needed > room->ready) {
    obxGrow(reader, array, room, first);
    room->ready = room->allocated;
  }
}

// Whether block can follow the model read so far: every index it holds
// names an element read before it, as in one scan.
static bool obxCanJoin(const ObxObjReader* reader, const ObxBlockScan& block) {
  const ObxModel* model = reader->model;
  const ObxModel& local = block.local;
  const uint32_t before[3] = {model->numvertices, model->numtexcoords, model->numnormals};
  const uint32_t added[3] = {local.numvertices, local.numtexcoords, local.numnormals};
  for (int k = 0; k < 3; k++) {
    if (block.notes.excess[k] > int64_t(before[k])) return false;
    if (block.notes.relative[k] && block.notes.lowest[k] + int64_t(before[k]) < 1) return false;
    if (uint64_t(before[k]) + added[k] > kObxMaxCount) return false;
  }
  return uint64_t(model->numtriangles) + local.numtriangles <= kObxMaxCount;
}

// Makes room in the current group for the block's triangles [from, to),
// as their faces would have, with the material of the moment; the threads
// that finish the block fill the list.
static void obxJoinRun(ObxObjReader* reader, ObxBlockScan* block, uint32_t from, uint32_t to) {
  if (from == to) return;
  obxGroupEvent(reader);
  ObxGroup* group = reader->group;
  block->runs.push_back({from, reader->material, group, group->numtriangles});
  // A list of n members has room for the next power of two from 16 up.
  auto room = [](uint64_t n) {
    uint64_t r = 16;
    while (r < n) r *= 2;
    return n ? r : 0;
  };
  const uint64_t members = group->numtriangles, after = members + (to - from);
  if (room(after) > room(members)) {
    void* grown = realloc(group->triangles, sizeof(uint32_t) * room(after));
    if (!grown) obxReaderOutOfMemory(reader);
    group->triangles = static_cast<uint32_t*>(grown);
  }
  group->numtriangles = uint32_t(after);
}

// Applies what block noted and numbers its elements on from the model's.
static void obxJoin(ObxObjReader* reader, ObxBlockScan* block) {
  ObxModel* model = reader->model;
  const ObxModel& local = block->local;
  block->base[OBX_KIND_VERTEX] = model->numvertices;
  block->base[OBX_KIND_TEXCOORD] = model->numtexcoords;
  block->base[OBX_KIND_NORMAL] = model->numnormals;
  block->firstTriangle = model->numtriangles;
  const uint64_t share = reader->firstShare;
  obxReserve(reader, &model->vertices, &reader->room[0],
             3 * (uint64_t(model->numvertices) + local.numvertices + 2), 3 * share);
  if (local.numnormals)
    obxReserve(reader, &model->normals, &reader->room[1],
               3 * (uint64_t(model->numnormals) + local.numnormals + 2), 3 * share);
  if (local.numtexcoords)
    obxReserve(reader, &model->texcoords, &reader->room[2],
               2 * (uint64_t(model->numtexcoords) + local.numtexcoords + 2), 2 * share);
  obxReserve(reader, &model->triangles, &reader->triangleRoom,
             uint64_t(model->numtriangles) + local.numtriangles + 1, 4 * share);
  // The statements in order, each after the triangles before it.
  uint32_t done = 0;
  for (const ObxBlockEvent& event : block->notes.events) {
    obxJoinRun(reader, block, done, event.triangle);
    done = event.triangle;
    model->numtriangles = block->firstTriangle + done;
    switch (event.kind) {
      case 'g': obxSetGroup(reader, event.text.c_str()); break;
      case 'u': obxUseMaterial(reader, event.text.c_str()); break;
      case 'm': obxNameLibraries(reader, event.text.c_str()); break;
      case 'o': obxStartObject(reader, event.text.c_str()); break;
      default: obxSetSmoothing(reader, event.value); break;
    }
  }
  obxJoinRun(reader, block, done, local.numtriangles);
  model->numtriangles = block->firstTriangle + local.numtriangles;
  for (uint32_t i = 0; i < local.numpolygons; i++) {
    const ObxPolygon& polygon = local.polygons[i];
    obxAddPolygons(reader, block->firstTriangle + polygon.triangle, polygon.numcorners,
                   polygon.numfaces);
  }
  // Colours and third values: the model's filled out to the block's last
  // (its own copied in by the threads).
  for (int which = 0; which < 2; which++) {
    const uint32_t filled = block->reader.extraFilled[which];
    if (filled > 1)
      obxFillExtra(reader, which,
                   block->base[which ? OBX_KIND_TEXCOORD : OBX_KIND_VERTEX] + filled - 1);
  }
  model->numvertices += local.numvertices;
  model->numnormals += local.numnormals;
  model->numtexcoords += local.numtexcoords;
}

// Finishes a joined block of set, with those before it in its round
// (joined before it): its triangles get their materials and absolute
// indices, its concave polygons are clipped (their vertices found in the
// model or in the round's blocks, which no thread writes now), and its
// arrays are copied into the model's.
static void obxFinishBlock(ObxModel* model, ObxBlockScan* const* set, size_t which) {
  ObxBlockScan* block = set[which];
  ObxModel& local = block->local;
  ObxTriangle* triangles = local.triangles;
  for (size_t r = 0; r < block->runs.size(); r++) {
    const ObxBlockScan::Run& run = block->runs[r];
    const uint32_t end = r + 1 < block->runs.size() ? block->runs[r + 1].first : local.numtriangles;
    if (run.material != 0)
      for (uint32_t t = run.first; t < end; t++) triangles[t].material = run.material;
    for (uint32_t t = run.first; t < end; t++)
      run.group->triangles[run.member + (t - run.first)] = block->firstTriangle + t;
  }
  const bool* relative = block->notes.relative;
  const uint32_t* base = block->base;
  auto fix = [](uint32_t* index, uint32_t from) {
    if (*index != OBX_NO_INDEX && *index > 0x80000000u)
      *index = uint32_t(int64_t(from) + int64_t(*index) - int64_t(kObxRelative));
  };
  if (relative[0] || relative[1] || relative[2])
    for (uint32_t t = 0; t < local.numtriangles; t++)
      for (int c = 0; c < 3; c++) {
        if (relative[OBX_KIND_VERTEX]) fix(&triangles[t].vindices[c], base[OBX_KIND_VERTEX]);
        if (relative[OBX_KIND_TEXCOORD]) fix(&triangles[t].tindices[c], base[OBX_KIND_TEXCOORD]);
        if (relative[OBX_KIND_NORMAL]) fix(&triangles[t].nindices[c], base[OBX_KIND_NORMAL]);
      }
  auto position = [&](uint32_t v) -> const float* {
    for (size_t j = which + 1; j-- > 0;)
      if (v > set[j]->base[OBX_KIND_VERTEX])
        return &set[j]->local.vertices[3 * size_t(v - set[j]->base[OBX_KIND_VERTEX])];
    return &model->vertices[3 * size_t(v)];
  };
  const uint32_t count = base[OBX_KIND_VERTEX] + local.numvertices;
  for (uint32_t i = 0; i < local.numpolygons; i++) {
    const ObxPolygon& polygon = local.polygons[i];
    const uint32_t n = polygon.numcorners;
    for (uint32_t f = 0; f < polygon.numfaces; f++) {
      const uint32_t first = polygon.triangle + f * (n - 2);
      if (obxClipConcave(&block->reader, &triangles[first], n, count, position) >= 0 ||
          block->bigPolygon)
        continue;
      for (const auto& face : block->notes.bigFaces)
        if (face.first == first) block->bigPolygon = face.second + 1;
    }
  }
  // Elements 1 on, after the model's; the unused element 0 is zero. The
  // pages come in one call each (as obxGrow has them come): a fault a page
  // cost more than the copy.
  auto copy = [](auto* to, const auto* from, size_t at, size_t elements) {
    if (elements == 0) return;
    obxPrefault(to + at, to + at + elements);
    memcpy(to + at, from, elements * sizeof *from);
  };
  auto copyVectors = [&](float* to, const float* from, uint32_t before, uint32_t added,
                         size_t width) {
    if (added == 0) return;
    if (before == 0) std::fill(to, to + width, 0.0f);
    copy(to, from + width, width * (size_t(before) + 1), width * added);
  };
  copyVectors(model->vertices, local.vertices, base[OBX_KIND_VERTEX], local.numvertices, 3);
  copyVectors(model->normals, local.normals, base[OBX_KIND_NORMAL], local.numnormals, 3);
  copyVectors(model->texcoords, local.texcoords, base[OBX_KIND_TEXCOORD], local.numtexcoords, 2);
  const uint32_t* extras = block->reader.extraFilled;
  if (extras[0] > 1)
    copy(model->colors, local.colors + 3, 3 * (size_t(base[OBX_KIND_VERTEX]) + 1),
         3 * size_t(extras[0] - 1));
  if (extras[1] > 1)
    copy(model->texcoordw, local.texcoordw + 1, size_t(base[OBX_KIND_TEXCOORD]) + 1,
         size_t(extras[1] - 1));
  copy(model->triangles, triangles, block->firstTriangle, local.numtriangles);
}

// Scans on one thread from offset from up to a statement at offset stop
// or later; returns where it stopped.
static uint64_t obxScanUpTo(ObxObjReader* reader, uint64_t from, uint64_t stop) {
  reader->input->seek(from);
  obxMore(reader, reader->input->data, obxWindow);
  reader->stopAt = stop;
  obxScanFile(reader);
  reader->stopAt = UINT64_MAX;
  return obxOffsetOf(reader, reader->scan.p);
}

static void obxScanBlocks(ObxObjReader* reader, ObxPool& pool) {
  const unsigned threads = pool.threads();
  ObxInput* input = reader->input;
  const uint64_t size = input->size;
  const size_t bytes = obxBlockBytes(size);
  // Two sets of blocks: one round's are finished while the next round's
  // are read, in one phase.
  std::vector<std::unique_ptr<ObxBlockScan>> owned;
  std::vector<ObxBlockScan*> sets[2];
  for (int k = 0; k < 2; k++)
    for (unsigned i = 0; i < threads; i++) {
      owned.emplace_back(new ObxBlockScan(reader, bytes));
      sets[k].push_back(owned.back().get());
    }
  ObxModel* model = reader->model;
  size_t current = 0, finishing = 0;  // blocks of the other set left to finish
  // Finishes the other set's blocks in the same phase as work(i) for i < count.
  auto phase = [&](size_t count, auto work) {
    ObxBlockScan* const* done = sets[1 - current].data();
    pool.run(count + finishing, [&](size_t i) {
      if (i < finishing)
        obxFinishBlock(model, done, i);
      else
        work(i - finishing);
    });
    for (size_t i = 0; i < finishing; i++) {
      if (!reader->bigPolygon) reader->bigPolygon = done[i]->bigPolygon;
      // Each step the block passed is told, as one thread tells them.
      while (reader->options && reader->nextReport < done[i]->stopped)
        obxReport(reader, reader->nextReport);
    }
    finishing = 0;
  };
  obxSkipSpace(&reader->scan);
  uint64_t at = obxOffsetOf(reader, reader->scan.p);
  if (reader->options) obxReport(reader, at);  // the start
  while (at < size) {
    const uint64_t from = at;
    std::vector<ObxBlockScan*>& set = sets[current];
    phase(threads, [&](size_t i) {
      set[i]->read(*input, i == 0, from + i * bytes, from + (i + 1) * bytes);
    });
    size_t joined = 0;
    for (; joined < threads; joined++) {
      ObxBlockScan* block = set[joined];
      if (!block->usable || block->start != at || !obxCanJoin(reader, *block)) break;
      obxJoin(reader, block);
      at = block->stopped;
    }
    current = 1 - current;
    finishing = joined;
    // The rest of the round on this thread, once the model's arrays are whole.
    if (joined < threads) {
      phase(0, [](size_t) {});
      at = obxScanUpTo(reader, at, from + threads * bytes);
    }
  }
  phase(0, [](size_t) {});
  // What is left: nothing, or what a file grown meanwhile has more.
  obxScanUpTo(reader, at, UINT64_MAX);
}

// The threads a read of input uses: those asked, or every core the
// process may use; one below the size at which blocks pay.
static unsigned obxReadThreads(const ObxInput& input, unsigned asked) {
  const unsigned threads = asked ? asked : obxUsableCores();
  const uint64_t from = obxBlocksFrom ? obxBlocksFrom : kObxBlocksFrom;
  return input.size >= from ? threads : 1;
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

// Reads the model of file, opened, whose path or name is path.
static ObxModel* obxReadModel(const char* path, ObxInput& file, const ObxReadOptions* options) {
  obxToldNoContext = false;  // each read says once that it uploads nothing
  const ObxOpenerScope opener(options);
  // Threads for a large file, started once for its blocks and its normals.
  std::unique_ptr<ObxPool> pool;
  const unsigned threads = obxReadThreads(file, options ? options->threads : 0);
  if (threads > 1) pool.reset(new ObxPool(threads));
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
    if (pool)
      obxScanBlocks(&reader, *pool);
    else
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
  obxComputeFacetNormalsOn(model.get(), pool.get());
  return model.release();
}

ObxModel* obxReadOBJWithOptions(const char* path, const ObxReadOptions* options) {
  OBX_ASSERT(path != NULL);
  return obxCall([=] {
    ObxInput file;
    if (file.open(path) != OBX_OPEN_OK)
      obxFail("obxReadOBJ() failed: can't open data file \"%s\": %s.", path, file.why);
    return obxReadModel(path, file, options);
  });
}

ObxModel* obxReadOBJFromMemory(const char* name, const void* data, size_t size,
                               const ObxReadOptions* options) {
  OBX_ASSERT(name != NULL && (data != NULL || size == 0));
  return obxCall([=] {
    ObxInput bytes;
    bytes.openMemory(data, size);
    return obxReadModel(name, bytes, options);
  });
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

ObxModel* obxTryReadOBJFromMemory(const char* name, const void* data, size_t size,
                                  const ObxReadOptions* options, char* message,
                                  size_t messageSize) {
  struct Call {
    const char* name;
    const void* data;
    size_t size;
    const ObxReadOptions* options;
    ObxModel* model;
  } call = {name, data, size, options, NULL};
  auto read = [](void* context) {
    Call* c = static_cast<Call*>(context);
    c->model = obxReadOBJFromMemory(c->name, c->data, c->size, c->options);
  };
  return obxTry(read, &call, message, messageSize) ? call.model : NULL;
}

ObxModel* obxTryReadOBJ(const char* path, char* message, size_t size) {
  return obxTryReadOBJWithOptions(path, NULL, message, size);
}
