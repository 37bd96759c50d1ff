// The two-pass stream reader behind tests/reference_reader.h: plain stdio,
// one statement at a time, written for reading rather than for speed.
#include "reference_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "obx/internal.h"

namespace {

// The stream reads' buffers: a keyword, a face's first item or a rest of
// line takes up to 127 characters and the terminator; the rest of a map
// statement up to 259.
const int kTokenSize = 128;
const int kMapLineSize = 260;
// The most elements of a kind: count + 1 must fit in 32 bits, and the
// all-ones value means "none".
const uint64_t kMaxCount = 4294967294u;

// A fatal condition on its way out to referenceReadOBJ, which releases
// what the read holds.
struct Fatal {
  std::string message;
};

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(nullptr, 0, format, again);
  va_end(again);
  std::string message(size_t(length > 0 ? length : 0), '\0');
  vsnprintf(&message[0], message.size() + 1, format, args);
  va_end(args);
  throw Fatal{message};
}

[[noreturn]] void failOutOfMemory(const char* reader, const char* path) {
  fail("%s: out of memory reading \"%s\"", reader, path);
}

// A broken promise of this file itself (the two passes disagreeing), not
// of the input: no message the library could match, so stop here.
void require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "reference reader: %s\n", what);
  abort();
}

// A file opened for reading, closed on every way out. Anything but a
// regular file counts as not opened (the reader reads it twice), with the
// library's reason; opened without blocking, so a FIFO without a writer
// is refused rather than waited for. The stream reads the file's text
// after two steps: a UTF-8 byte-order mark reads as blanks, and so does a
// backslash with the line end after it (the line goes on in the next).
// Offsets stay those of the file, whose own bytes count its lines.
class Stream {
 public:
  Stream(const char* path, const char* failure) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      why_ = strerror(errno);
      return;
    }
    struct stat info;
    FILE* raw = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      why_ = "not a regular file (only regular files are read)";
    } else if (!(raw = fdopen(fd, "r"))) {
      why_ = strerror(errno);
    }
    if (!raw) {
      close(fd);
      return;
    }
    char block[4096];
    for (size_t got; (got = fread(block, 1, sizeof block, raw)) > 0;) original_.append(block, got);
    const bool failed = ferror(raw);
    fclose(raw);
    if (failed) {
      why_ = strerror(EIO);
      return;
    }
    const std::string& o = original_;
    auto zero = [&](size_t i) { return o.size() > i && o[i] == '\0'; };
    const bool marked = o.compare(0, 2, "\xFE\xFF") == 0 || o.compare(0, 2, "\xFF\xFE") == 0 ||
                        o.compare(0, 4, std::string("\0\0\xFE\xFF", 4)) == 0;
    const bool wide =
        o.size() >= 6 && ((!zero(0) && zero(1) && !zero(2) && zero(3) && !zero(4) && zero(5)) ||
                          (zero(0) && !zero(1) && zero(2) && !zero(3) && zero(4) && !zero(5)) ||
                          (!zero(0) && zero(1) && zero(2) && zero(3) && !zero(4)));
    if (marked || wide)
      fail("%s \"%s\": it is UTF-16 or UTF-32 text (only ASCII and UTF-8 are read).", failure,
           path);
    text_ = original_;
    if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) text_.replace(0, 3, "   ");
    for (size_t i = 0; i < text_.size(); i++) {
      if (text_[i] != '\\') continue;
      if (text_.compare(i + 1, 1, "\n") == 0) text_.replace(i, 2, "  ");
      if (text_.compare(i + 1, 2, "\r\n") == 0) text_.replace(i, 3, "   ");
    }
    file_ = fmemopen(text_.empty() ? nullptr : &text_[0], text_.size(), "r");
    if (!file_) file_ = fopen("/dev/null", "r");
  }
  ~Stream() {
    if (file_) fclose(file_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  FILE* get() const { return file_; }
  // Why the file could not be opened.
  const char* why() const { return why_.c_str(); }
  // The line of the keyword whose last character precedes offset end (the
  // stream's position right after reading it).
  unsigned long long lineOf(long end) const {
    unsigned long long line = 1;
    for (size_t i = 0; long(i) + 1 < end && i < original_.size(); i++) line += original_[i] == '\n';
    return line;
  }

 private:
  FILE* file_ = nullptr;
  std::string why_, original_, text_;
};

// "%127s": the next keyword or face item; false at the end of the stream,
// where the text is empty.
bool readToken(FILE* file, char token[kTokenSize]) {
  token[0] = '\0';
  return fscanf(file, "%127s", token) == 1;
}

// fgets: the rest of the line, up to size - 1 characters. At the end of
// the stream fgets leaves the buffer alone; the text read is empty then.
void readLine(FILE* file, char* line, int size) {
  if (!fgets(line, size, file)) line[0] = '\0';
}

// text without the blanks and line ends around it.
std::string trimmed(const char* text) {
  std::string t = text;
  const size_t first = t.find_first_not_of(" \t\n\v\f\r");
  if (first == std::string::npos) return "";
  return t.substr(first, t.find_last_not_of(" \t\n\v\f\r") - first + 1);
}

// "%f"s scanned into values; those that fail keep what they held.
int scanFloats(FILE* file, int count, float* values) {
  return count == 3 ? fscanf(file, "%f %f %f", &values[0], &values[1], &values[2])
                    : fscanf(file, "%f %f", &values[0], &values[1]);
}

// ---- Material libraries ---------------------------------------------------

void setDefaults(ObxMaterial* material) {
  memset(material, 0, sizeof *material);
  const float diffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f}, ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f},
              specular[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  memcpy(material->diffuse, diffuse, sizeof diffuse);
  memcpy(material->ambient, ambient, sizeof ambient);
  memcpy(material->specular, specular, sizeof specular);
  material->shininess = 65.0f;
  material->map_diffuse = -1;
}

// The file name of a map line: the trimmed text after the options in front
// of it. An option is known with its values (numbers that strtof takes
// whole): -s, -o, -t one to three, -mm one or two, -bm, -boost one, -texres
// one from 0 to 65536; -clamp, -blendu, -blendv, -cc "on" or "off";
// -imfchan one character; -type, -colorspace any word. Anything else, an
// option without its values included, begins the name.
std::string mapFileName(const char* line) {
  std::vector<std::pair<size_t, std::string>> words;  // each word and where it starts
  const std::string text = line;
  for (size_t at = 0;;) {
    at = text.find_first_not_of(" \t\n\v\f\r", at);
    if (at == std::string::npos) break;
    const size_t end = std::min(text.find_first_of(" \t\n\v\f\r", at), text.size());
    words.push_back({at, text.substr(at, end - at)});
    at = end;
  }
  auto isNumber = [](const std::string& word) {
    char* end = nullptr;
    strtof(word.c_str(), &end);
    return end != word.c_str() && *end == '\0';
  };
  size_t w = 0;
  while (w < words.size()) {
    const std::string& option = words[w].second;
    auto numbersAfter = [&](size_t most) {
      size_t n = 0;
      while (n < most && w + 1 + n < words.size() && isNumber(words[w + 1 + n].second)) n++;
      return n;
    };
    size_t take = 0;  // words the option takes with it, 0 for no option
    if (option == "-s" || option == "-o" || option == "-t") {
      take = numbersAfter(3) ? 1 + numbersAfter(3) : 0;
    } else if (option == "-mm") {
      take = numbersAfter(2) ? 1 + numbersAfter(2) : 0;
    } else if (option == "-bm" || option == "-boost") {
      take = numbersAfter(1) ? 2 : 0;
    } else if (option == "-texres") {
      const float value = numbersAfter(1) ? strtof(words[w + 1].second.c_str(), nullptr) : -1;
      take = value >= 0 && value <= 65536 ? 2 : 0;
    } else if (option == "-clamp" || option == "-blendu" || option == "-blendv" ||
               option == "-cc") {
      take = w + 1 < words.size() && (words[w + 1].second == "on" || words[w + 1].second == "off")
                 ? 2
                 : 0;
    } else if (option == "-imfchan") {
      take = w + 1 < words.size() && words[w + 1].second.size() == 1 ? 2 : 0;
    } else if (option == "-type" || option == "-colorspace") {
      take = w + 1 < words.size() ? 2 : 0;
    }
    if (take == 0) break;
    w += take;
  }
  if (w == words.size()) return "";
  return trimmed(line + words[w].first);
}

// One pass over a library. The counting pass (table NULL) consumes exactly
// what the filling pass reads, but keeps nothing and stays silent; it
// returns the number of materials, "default" included.
// Appended to a table of kept materials, the count and the names start
// after them.
// A map's texture, by the name after its options; a map_Kd without one
// warns. The model's own default material (a later library changes it)
// keeps no map, with one warning a library.
int32_t keepMap(ObxModel* model, const char* filename, const char* keyword, const char* line,
                bool shared, bool* toldShared) {
  const std::string name = mapFileName(line);
  if (strncmp(keyword, "map_Kd", 6) == 0 && name.empty())
    obxWarn("obxReadMTL: map_Kd without a file name in file \"%s\" ignored", filename);
  const int32_t texture = name.empty() ? -1 : obxTextureByName(model, name.c_str());
  if (shared && !*toldShared)
    obxWarn("obxReadMTL: maps of the default material in \"%s\" are not kept", filename);
  *toldShared = *toldShared || shared;
  return texture;
}

uint64_t mtlPass(ObxModel* model, const Stream& stream, const char* filename, ObxMaterial* table,
                 uint32_t size, uint32_t kept) {
  bool toldShared = false;
  FILE* file = stream.get();
  const bool fill = table != nullptr;
  uint64_t count = std::max<uint32_t>(kept, 1);
  uint32_t current = 0;  // statements before the first newmtl change "default"
  uint32_t last = std::max<uint32_t>(kept, 1) - 1;  // the last material named
  ObxMaterial scratch;
  setDefaults(&scratch);
  char keyword[kTokenSize], line[kMapLineSize];
  while (readToken(file, keyword)) {
    ObxMaterial* material = fill ? &table[current] : &scratch;
    float value;
    // norm (a normal map) is one of the maps.
    switch (strcmp(keyword, "norm") == 0 ? 'm' : keyword[0]) {
      case 'n': {
        if (strncmp(keyword, "newmtl", 6) != 0)
          fail("obxReadMTL: Got \"%s\" instead of \"newmtl\" at line %llu of \"%s\"", keyword,
               stream.lineOf(ftell(file)), filename);
        readLine(file, line, kTokenSize);
        const std::string name = trimmed(line);
        const char* word = name.c_str();
        // "default" names the built-in material 0 again.
        if (strcmp(word, "default") == 0) {
          current = 0;
          break;
        }
        if (!fill) {
          count++;
          break;
        }
        require(last + 1 < size, "newmtl beyond the counted materials");
        current = ++last;
        material = &table[current];
        material->name = obxCopyString(word);
        if (!material->name) failOutOfMemory("obxReadMTL", filename);
        break;
      }
      case 'K': {
        float* color = keyword[1] == 'd'   ? material->diffuse
                       : keyword[1] == 'a' ? material->ambient
                       : keyword[1] == 's' ? material->specular
                                           : nullptr;
        if (color) {
          // One number is a grey.
          if (scanFloats(file, 3, color) == 1) color[1] = color[2] = color[0];
          break;
        }
        if (fill) obxWarn("obxReadMTL: Command \"%s\" ignored", keyword);
        readLine(file, line, kTokenSize);
        break;
      }
      case 'N':
        if (keyword[1] == 's') {
          // Three float steps from the file's 0..100 to OpenGL's 0..128.
          if (fscanf(file, "%f", &value) == 1 && fill) {
            material->shininess = value;
            material->shininess /= 100.0;
            material->shininess *= 128.0;
          }
          break;
        }
        if (fill) {
          if (keyword[1] == 'i')
            obxWarn("refraction index ignored");
          else
            obxWarn("obxReadMTL: Command \"%s\" ignored", keyword);
        }
        readLine(file, line, kTokenSize);
        break;
      case 'd':
        if (strcmp(keyword, "disp") == 0 || strcmp(keyword, "decal") == 0) {
          readLine(file, line, kMapLineSize);
          if (fill) keepMap(model, filename, keyword, line, current < kept, &toldShared);
          break;
        }
        if (fscanf(file, "%f", &value) == 1 && fill) {
          material->diffuse[3] = value;
          material->has |= OBX_HAS_OPACITY;
        }
        break;
      case 'b':
        if (strcmp(keyword, "bump") != 0) {
          readLine(file, line, kTokenSize);
          break;
        }
        readLine(file, line, kMapLineSize);
        if (fill) keepMap(model, filename, keyword, line, current < kept, &toldShared);
        break;
      case 'i': {
        if (fill && strncmp(keyword, "illum", 5) != 0)
          fail("obxReadMTL: Got \"%s\" instead of \"illum\" at line %llu of \"%s\"", keyword,
               stream.lineOf(ftell(file)), filename);
        int illum;
        if (fscanf(file, "%d", &illum) == 1 && fill && illum != 2)
          obxWarn("illum material ignored: illum %d", illum);
        break;
      }
      case 'm': {
        readLine(file, line, kMapLineSize);
        if (!fill) break;
        const bool diffuse = strncmp(keyword, "map_Kd", 6) == 0;
        if (!diffuse) {
          char* text = obxTrimCopy(line);
          obxWarn("map %s %s ignored", keyword, text ? text : "");
          free(text);
        }
        const int32_t texture =
            keepMap(model, filename, keyword, line, current < kept, &toldShared);
        if (diffuse && texture >= 0) material->map_diffuse = texture;
        break;
      }
      case 'r':
        readLine(file, line, kTokenSize);
        if (fill) obxWarn("reflection type ignored: r%s", line);
        if (fill && strcmp(keyword, "refl") == 0)
          keepMap(model, filename, keyword, line, current < kept, &toldShared);
        break;
      default:  // "#", "Tf", anything else
        readLine(file, line, kTokenSize);
        // Tr is the opacity's complement where the material has no d.
        if (fill && strcmp(keyword, "Tr") == 0 && !(material->has & OBX_HAS_OPACITY)) {
          char* end = nullptr;
          const float tr = strtof(line, &end);
          if (end != line) material->diffuse[3] = 1.0f - tr;
        }
        break;
    }
  }
  return count;
}

// ---- The OBJ file --------------------------------------------------------

// Everything one read holds and the state of its passes.
struct Reader {
  ObxModel* model = nullptr;
  std::vector<std::string> libraries;  // named so far
  // First pass: the counts, wide so that no file can wrap them unnoticed.
  uint64_t numvertices = 0, numnormals = 0, numtexcoords = 0, numtriangles = 0;
  // Second pass.
  // Each group's member count from the first pass, in the list's order: a
  // map ordered by address would run differently with every heap layout,
  // and the fuzz targets' search with it.
  std::vector<std::pair<const ObxGroup*, uint32_t>> room;
  uint32_t& roomOf(const ObxGroup* of) {
    for (auto& entry : room)
      if (entry.first == of) return entry.second;
    room.emplace_back(of, 0);
    return room.back().second;
  }
  uint32_t next[3] = {1, 1, 1};  // next slot of vertices, texcoords, normals
  uint32_t stored = 0;           // triangles stored so far
  // For messages: the file, where the statement being read ends its
  // keyword, and where each stored triangle's face does.
  const Stream* stream = nullptr;
  long keywordEnd = 0;
  std::vector<long> faceEnds;
  ObxGroup* group = nullptr;
  uint32_t material = 0;
  bool toldShortFace = false;
  long bigPolygon = -1;  // where the first concave polygon too large to clip ends its keyword
  // What the second pass keeps beyond vertices, faces and groups.
  std::vector<float> colors, texcoordw;  // 3 and 1 per element, from element 0
  uint32_t smoothing = 0;                // the current smoothing group
  std::vector<uint32_t> smoothingOf;     // per stored triangle
  std::vector<ObxObject> objects;        // names owned here until the end
  std::vector<std::string> objectNames;
  std::vector<ObxPolygon> polygons;
  std::vector<ObxElement> elements;
  std::vector<uint32_t> elementIndices;
  std::vector<long> elementEnds;  // where each element's keyword ends

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (model) obxDeleteModel(model);
  }
  // Hands the model over.
  ObxModel* release() {
    ObxModel* done = model;
    model = nullptr;
    return done;
  }
};

// The path of a library or map name beside the OBJ file: as written, or
// when that is not there, with its backslashes read as slashes.
std::string besideModel(const ObxModel* model, const char* name) {
  char* directory = obxDirectoryOf(model->path);
  if (!directory) failOutOfMemory("obxReadMTL", name);
  std::string written = std::string(directory) + name, slashed = written;
  for (size_t i = strlen(directory); i < slashed.size(); i++)
    if (slashed[i] == '\\') slashed[i] = '/';
  free(directory);
  return access(written.c_str(), F_OK) != 0 && access(slashed.c_str(), F_OK) == 0 ? slashed
                                                                                  : written;
}

// Reads the library name (beside the OBJ file) into a table of the model's
// materials followed by the library's, which becomes the model's. A name
// defined before is warned about; lookups find the first.
void readLibrary(Reader* reader, const char* name) {
  ObxModel* model = reader->model;
  const std::string filename = besideModel(model, name);
  Stream stream(filename.c_str(), "obxReadMTL() failed: can't read material file");
  if (!stream.get())
    fail("obxReadMTL() failed: can't open material file \"%s\": %s.", filename.c_str(),
         stream.why());

  const uint32_t kept = model->nummaterials;
  const uint64_t count = mtlPass(model, stream, filename.c_str(), nullptr, 0, kept);
  if (count > UINT32_MAX) fail("obxReadMTL: too many materials in \"%s\"", filename.c_str());
  ObxMaterial* table = static_cast<ObxMaterial*>(malloc(sizeof(ObxMaterial) * size_t(count)));
  if (!table) failOutOfMemory("obxReadMTL", filename.c_str());
  for (uint64_t i = 0; i < count; i++) setDefaults(&table[i]);
  for (uint32_t i = 0; i < kept; i++) table[i] = model->materials[i];
  if (kept == 0) table[0].name = obxCopyString("default");
  free(model->materials);  // its names live on in table
  model->materials = table;
  model->nummaterials = uint32_t(count);
  if (!table[0].name) failOutOfMemory("obxReadMTL", filename.c_str());

  rewind(stream.get());
  mtlPass(model, stream, filename.c_str(), table, uint32_t(count), kept);
  for (uint32_t i = kept; i < count; i++)
    for (uint32_t j = 0; j < kept; j++)
      if (strcmp(table[i].name, table[j].name) == 0) {
        obxWarn("obxReadOBJ: material \"%s\" of \"%s\" is defined before; the first is used",
                table[i].name, name);
        break;
      }
}

// mtllib: the trimmed rest of the line names one library when a file of
// that name is there, else one library a word; each is read now, once, so
// that the second pass finds its materials.
void readMtllib(Reader* reader, FILE* file) {
  ObxModel* model = reader->model;
  char line[kTokenSize];
  readLine(file, line, kTokenSize);
  const std::string rest = trimmed(line);
  if (rest.empty()) {
    obxWarn("obxReadOBJ: mtllib without a file name ignored");
    return;
  }
  std::vector<std::string> names;
  if (rest.find_first_of(" \t\n\v\f\r") == std::string::npos ||
      access(besideModel(model, rest.c_str()).c_str(), F_OK) == 0) {
    names.push_back(rest);
  } else {
    char word[kTokenSize];
    int used = 0;
    for (const char* at = rest.c_str(); sscanf(at, "%127s%n", word, &used) == 1; at += used)
      names.push_back(word);
  }
  free(model->mtllibname);
  model->mtllibname = obxCopyString(names[0].c_str());
  if (!model->mtllibname) failOutOfMemory("obxReadOBJ", model->path);
  for (const std::string& name : names) {
    bool read = false;
    for (const std::string& before : reader->libraries) read = read || before == name;
    if (read) continue;
    reader->libraries.push_back(name);
    readLibrary(reader, name.c_str());
  }
}

// g: the rest of the line without its last character (normally the line
// feed, so the blank after "g" stays), and without a CR before that.
void readGroupName(FILE* file, char name[kTokenSize]) {
  readLine(file, name, kTokenSize);
  size_t length = strlen(name);
  if (length > 0) name[--length] = '\0';
  if (length > 0 && name[length - 1] == '\r') name[length - 1] = '\0';
}

ObxGroup* ensureGroup(Reader* reader, const char* name) {
  ObxGroup* group = obxEnsureGroup(reader->model, name);
  if (!group) failOutOfMemory("obxReadOBJ", reader->model->path);
  return group;
}

// A face's items all have the form of its first item.
enum Form { kFormV, kFormVT, kFormVTN, kFormVN };
const char* const kItemFormat[] = {"%lld", "%lld/%lld", "%lld/%lld/%lld", "%lld//%lld"};
// Which field (0 vertex, 1 texture coordinate, 2 normal) each value of a
// form's format goes to, in order.
const int kFieldOf[4][3] = {{0}, {0, 1}, {0, 1, 2}, {0, 2}};
const char* const kKindName[3] = {"vertex", "texture coordinate", "normal"};

Form formOf(const char* item) {
  long long v, t, n;
  if (strstr(item, "//")) return kFormVN;
  if (sscanf(item, "%lld/%lld/%lld", &v, &t, &n) == 3) return kFormVTN;
  if (sscanf(item, "%lld/%lld", &v, &t) == 2) return kFormVT;
  return kFormV;
}

// Scans one item in the form's format, from text when given, else from the
// stream. Returns the scan's result: that many values were converted.
int scanItem(FILE* file, const char* text, Form form, long long values[3]) {
  const char* format = kItemFormat[form];
  return text ? sscanf(text, format, &values[0], &values[1], &values[2])
              : fscanf(file, format, &values[0], &values[1], &values[2]);
}

// The face's items as scanned: each one's converted values, up to the
// first that converts none. The first is a token, scanned from its text.
struct Item {
  int converted;
  long long values[3];
};
std::vector<Item> readItems(FILE* file, Form* form) {
  char token[kTokenSize];
  readToken(file, token);
  *form = formOf(token);
  std::vector<Item> items;
  for (const char* text = token;; text = nullptr) {
    Item item;
    item.converted = scanItem(file, text, *form, item.values);
    if (item.converted < 1) return items;
    items.push_back(item);
  }
}

// The corners of a face: k >= 3 give k - 2 triangles; fewer make none, and
// are told of once a file.
uint64_t countFace(Reader* reader, FILE* file) {
  Form form;
  const size_t corners = readItems(file, &form).size();
  if (corners >= 3) return corners - 2;
  if (!reader->toldShortFace)
    obxWarn(
        "obxReadOBJ: a face of fewer than three corners makes no triangle at line %llu of \"%s\"",
        reader->stream->lineOf(reader->keywordEnd), reader->model->path);
  reader->toldShortFace = true;
  return 0;
}

// Numbers after a vector's own on its line, up to count: each must begin
// right after blanks with a digit, a sign or a point. After any, the rest
// of the line is skipped. Returns how many were read.
int readExtra(FILE* file, int count, float values[3]) {
  int got = 0;
  for (; got < count; got++) {
    int c;
    while ((c = fgetc(file)) == ' ' || c == '\t') {
    }
    if (c == EOF) break;
    ungetc(c, file);
    if (!(isdigit(c) || c == '-' || c == '+' || c == '.')) break;
    if (fscanf(file, "%f", &values[got]) != 1) break;
  }
  if (got > 0) {
    char line[kTokenSize];
    readLine(file, line, kTokenSize);
  }
  return got;
}

// An index of a line or point: -k counts back from the count read so far;
// 0 (failing the check after the pass) when it names none.
uint32_t elementIndex(long long value, uint32_t count) {
  if (value < 0) return -value <= (long long)count ? uint32_t((long long)count + 1 + value) : 0;
  return value <= (long long)kMaxCount ? uint32_t(value) : 0;
}

// The items of an "l" or "p" statement up to its line's end: "v", "v/vt"
// or with a normal, which is skipped. Something else ends the items and
// the rest of its line is skipped. Stored by the second pass.
void readElement(Reader* reader, FILE* file, char type, bool store) {
  ObxElement element = {type, uint32_t(reader->elementIndices.size() / 2), 0, reader->stored,
                        reader->group};
  for (;;) {
    int c;
    while ((c = fgetc(file)) == ' ' || c == '\t' || c == '\r') {
    }
    if (c == EOF || c == '\n') break;
    ungetc(c, file);
    long long v = 0, t = 0, n = 0;
    if (fscanf(file, "%lld", &v) != 1) {
      char line[kTokenSize];
      readLine(file, line, kTokenSize);
      break;
    }
    bool hasT = false;
    if ((c = fgetc(file)) == '/') {
      hasT = fscanf(file, "%lld", &t) == 1;
      if ((c = fgetc(file)) == '/')
        (void)!fscanf(file, "%lld", &n);
      else if (c != EOF)
        ungetc(c, file);
    } else if (c != EOF) {
      ungetc(c, file);
    }
    if (store) {
      reader->elementIndices.push_back(elementIndex(v, reader->next[0] - 1));
      reader->elementIndices.push_back(hasT ? elementIndex(t, reader->next[1] - 1) : OBX_NO_INDEX);
    }
    element.count++;
  }
  if (!store || element.count == 0) return;
  reader->elements.push_back(element);
  reader->elementEnds.push_back(reader->keywordEnd);
}

// The statements beyond vertices, faces, groups and materials, read alike
// by both passes and kept by the second; false for another keyword.
bool readOther(Reader* reader, FILE* file, const char* keyword, bool store) {
  char line[kTokenSize];
  if (keyword[0] == 'v' && (keyword[1] == '\0' || (keyword[1] == 't' && keyword[2] == '\0'))) {
    // After the vector's own numbers, which the caller scanned.
    const bool vertex = keyword[1] == '\0';
    float values[3];
    const int count = vertex ? 3 : 1;
    if (readExtra(file, count, values) < count || !store) return true;
    std::vector<float>& kept = vertex ? reader->colors : reader->texcoordw;
    const size_t index = reader->next[vertex ? 0 : 1] - 1;
    kept.resize(std::max(kept.size(), size_t(count) * (index + 1)), vertex ? 1.0f : 0.0f);
    std::copy(values, values + count, kept.begin() + ptrdiff_t(size_t(count) * index));
    return true;
  }
  if (keyword[1] != '\0') return false;
  switch (keyword[0]) {
    case 'o':
      readLine(file, line, kTokenSize);
      if (store) {
        reader->objectNames.push_back(trimmed(line));
        reader->objects.push_back({nullptr, reader->stored, uint32_t(reader->elements.size())});
      }
      return true;
    case 's': {
      readLine(file, line, kTokenSize);
      const std::string text = trimmed(line);
      unsigned long long value = 0;
      for (size_t i = 0; i < text.size() && isdigit((unsigned char)text[i]) && value <= UINT32_MAX;
           i++)
        value = 10 * value + unsigned(text[i] - '0');
      if (store) reader->smoothing = value <= UINT32_MAX ? uint32_t(value) : 0;
      return true;
    }
    case 'l':
    case 'p': readElement(reader, file, keyword[0], store); return true;
    default: return false;
  }
}

// Counts what the file holds, makes its groups and reads its libraries.
void firstPass(Reader* reader, FILE* file) {
  ObxGroup* group = ensureGroup(reader, "default");
  char keyword[kTokenSize], line[kTokenSize];
  float ignored[3];
  while (readToken(file, keyword)) {
    reader->keywordEnd = ftell(file);
    switch (keyword[0]) {
      case 'v':
        // The numbers are scanned as the second pass scans them, so that a
        // long line, or a statement on the same line, reads the same in both.
        if (keyword[1] == '\0') {
          reader->numvertices++;
          scanFloats(file, 3, ignored);
          readOther(reader, file, keyword, false);
        } else if (keyword[1] == 'n') {
          reader->numnormals++;
          scanFloats(file, 3, ignored);
        } else if (keyword[1] == 't') {
          reader->numtexcoords++;
          scanFloats(file, 2, ignored);
          readOther(reader, file, keyword, false);
        } else {
          fail("obxFirstPass(): Unknown token \"%s\" at line %llu of \"%s\".", keyword,
               reader->stream->lineOf(ftell(file)), reader->model->path);
        }
        break;
      case 'm':
        if (strncmp(keyword, "mtllib", 6) != 0)
          fail("obxReadOBJ: Got \"%s\" instead of \"mtllib\" at line %llu of \"%s\"", keyword,
               reader->stream->lineOf(ftell(file)), reader->model->path);
        readMtllib(reader, file);
        break;
      case 'u':
        if (strncmp(keyword, "usemtl", 6) != 0)
          fail("obxReadOBJ: Got \"%s\" instead of \"usemtl\" at line %llu of \"%s\"", keyword,
               reader->stream->lineOf(ftell(file)), reader->model->path);
        readLine(file, line, kTokenSize);
        break;
      case 'g':
        readGroupName(file, line);
        group = ensureGroup(reader, line);
        break;
      case 'f': {
        const uint64_t triangles = countFace(reader, file);
        reader->numtriangles += triangles;
        // Wraps only past the limit on the total, which fails below.
        group->numtriangles += uint32_t(triangles);
        break;
      }
      default:  // "#", "s", "o", "l", "p", anything else
        if (!readOther(reader, file, keyword, false)) readLine(file, line, kTokenSize);
        break;
    }
  }
}

// A zeroed block of count elements (a block even for none).
void* allocateZeroed(const Reader* reader, size_t count, size_t size) {
  void* block = calloc(count ? count : 1, size);
  if (!block) failOutOfMemory("obxReadOBJ", reader->model->path);
  return block;
}

// Arrays of the sizes counted, and every group empty again with room for
// the members it will get.
void prepareSecondPass(Reader* reader) {
  ObxModel* model = reader->model;
  if (reader->numvertices > kMaxCount || reader->numnormals > kMaxCount ||
      reader->numtexcoords > kMaxCount || reader->numtriangles > kMaxCount)
    fail("obxReadOBJ: too many elements in \"%s\"", model->path);
  model->numvertices = uint32_t(reader->numvertices);
  model->numnormals = uint32_t(reader->numnormals);
  model->numtexcoords = uint32_t(reader->numtexcoords);
  model->numtriangles = uint32_t(reader->numtriangles);
  model->vertices = static_cast<float*>(
      allocateZeroed(reader, 3 * (size_t(model->numvertices) + 1), sizeof(float)));
  if (model->numnormals)
    model->normals = static_cast<float*>(
        allocateZeroed(reader, 3 * (size_t(model->numnormals) + 1), sizeof(float)));
  if (model->numtexcoords)
    model->texcoords = static_cast<float*>(
        allocateZeroed(reader, 2 * (size_t(model->numtexcoords) + 1), sizeof(float)));
  model->triangles =
      static_cast<ObxTriangle*>(allocateZeroed(reader, model->numtriangles, sizeof(ObxTriangle)));
  for (ObxGroup* group = model->groups; group; group = group->next) {
    group->triangles =
        static_cast<uint32_t*>(allocateZeroed(reader, group->numtriangles, sizeof(uint32_t)));
    reader->roomOf(group) = group->numtriangles;
    group->numtriangles = 0;
    group->material = 0;
  }
}

// A converted field of a face item as an index into its 1-based array.
// Negative values count back from the last element of the kind read so
// far (-1 is the last); 0 and values past the array fail the check after
// the pass.
// Messages name the triangle of the fan the item's corner first goes to.
uint32_t resolveIndex(const Reader* reader, int field, long long value, uint32_t triangle) {
  const char* kind = kKindName[field];
  const uint32_t count = reader->next[field] - 1;
  const unsigned long long line = reader->stream->lineOf(reader->keywordEnd);
  const char* path = reader->model->path;
  if (value > (long long)kMaxCount)
    fail(
        "%s index for triangle %u out of bounds (%lld is above 4294967294) at line %llu of "
        "\"%s\"\n",
        kind, triangle, value, line, path);
  if (value >= 0) return uint32_t(value);
  if (value < -(long long)count)
    fail(
        "%s index for triangle %u out of bounds (%lld reaches before the first %s; %u read so "
        "far) at line %llu of \"%s\"\n",
        kind, triangle, value, kind, count, line, path);
  return uint32_t((long long)count + 1 + value);
}

void storeCorner(ObxTriangle* triangle, int corner, Form form, const uint32_t scratch[3]) {
  triangle->vindices[corner] = scratch[0];
  triangle->tindices[corner] = form == kFormVT || form == kFormVTN ? scratch[1] : OBX_NO_INDEX;
  triangle->nindices[corner] = form == kFormVN || form == kFormVTN ? scratch[2] : OBX_NO_INDEX;
}

void copyCorner(ObxTriangle* to, int corner, const ObxTriangle* from, int fromCorner) {
  to->vindices[corner] = from->vindices[fromCorner];
  to->tindices[corner] = from->tindices[fromCorner];
  to->nindices[corner] = from->nindices[fromCorner];
}

ObxTriangle* nextTriangle(Reader* reader) {
  require(reader->stored < reader->model->numtriangles, "more triangles than counted");
  ObxTriangle* triangle = &reader->model->triangles[reader->stored];
  triangle->findex = OBX_NO_INDEX;
  triangle->material = reader->material;
  return triangle;
}

void appendTriangle(Reader* reader) {
  ObxGroup* group = reader->group;
  require(group->numtriangles < reader->roomOf(group), "more group members than counted");
  group->triangles[group->numtriangles++] = reader->stored++;
  reader->faceEnds.push_back(reader->keywordEnd);
  reader->smoothingOf.push_back(reader->smoothing);
}

// A face as a fan of triangles around its first corner, or when concave,
// cut into them by the library's ear clipping (its own tests check the
// triangles; this reader checks which polygons it is given). A value an
// item does not convert keeps the one before it.
void fillFace(Reader* reader, FILE* file) {
  Form form;
  const std::vector<Item> items = readItems(file, &form);
  if (items.size() < 3) return;
  if (reader->group->material == 0) reader->group->material = reader->material;
  std::vector<ObxTriangle> corners(items.size());  // each in its corner 0
  uint32_t scratch[3] = {0, 0, 0};
  for (size_t i = 0; i < items.size(); i++) {
    for (int k = 0; k < items[i].converted; k++)
      scratch[kFieldOf[form][k]] = resolveIndex(reader, kFieldOf[form][k], items[i].values[k],
                                                reader->stored + uint32_t(i < 2 ? 0 : i - 2));
    storeCorner(&corners[i], 0, form, scratch);
  }
  const uint32_t n = uint32_t(items.size());
  std::vector<uint32_t> order;  // three corner numbers a triangle
  std::vector<const float*> points;
  for (const ObxTriangle& corner : corners)
    if (corner.vindices[0] >= 1 && corner.vindices[0] < reader->next[0])
      points.push_back(&reader->model->vertices[3 * size_t(corner.vindices[0])]);
  const int clipped =
      n > 3 && points.size() == n ? obxTriangulatePolygon(points.data(), n, 1024, &order) : 0;
  if (clipped < 0 && reader->bigPolygon < 0) reader->bigPolygon = reader->keywordEnd;
  if (clipped <= 0) {
    order.clear();
    for (uint32_t j = 1; j + 1 < n; j++) order.insert(order.end(), {0, j, j + 1});
  }
  // Faces of as many corners one after the other make one run.
  std::vector<ObxPolygon>& runs = reader->polygons;
  if (n > 3 && !runs.empty() && runs.back().numcorners == n &&
      runs.back().triangle + runs.back().numfaces * (n - 2) == reader->stored)
    runs.back().numfaces++;
  else if (n > 3)
    runs.push_back({reader->stored, n, 1});
  for (size_t j = 0; j < order.size(); j += 3) {
    ObxTriangle* triangle = nextTriangle(reader);
    for (int k = 0; k < 3; k++) copyCorner(triangle, k, &corners[order[j + size_t(k)]], 0);
    appendTriangle(reader);
  }
}

// The element of array (width floats each) in the next slot of field.
float* nextElement(Reader* reader, int field, float* array, uint32_t count, int width) {
  require(reader->next[field] <= count, "more elements than counted");
  return array + size_t(width) * reader->next[field]++;
}

// Stores the numbers, triangles, group members and materials.
void secondPass(Reader* reader, FILE* file) {
  ObxModel* model = reader->model;
  reader->group = obxLookupGroup(model, "default");
  char keyword[kTokenSize], line[kTokenSize];
  while (readToken(file, keyword)) {
    reader->keywordEnd = ftell(file);
    switch (keyword[0]) {
      case 'v':
        // The first pass has failed on every other keyword beginning with 'v'.
        if (keyword[1] == '\0')
          scanFloats(file, 3, nextElement(reader, 0, model->vertices, model->numvertices, 3));
        else if (keyword[1] == 'n')
          scanFloats(file, 3, nextElement(reader, 2, model->normals, model->numnormals, 3));
        else
          scanFloats(file, 2, nextElement(reader, 1, model->texcoords, model->numtexcoords, 2));
        readOther(reader, file, keyword, true);
        break;
      case 'u':
        // Without a name the lookup of the empty name warns and gives 0.
        readLine(file, line, kTokenSize);
        reader->material = obxFindMaterial(model, trimmed(line).c_str());
        if (reader->group->material == 0 && reader->group->numtriangles > 0)
          reader->group->material = reader->material;
        break;
      case 'g':
        readGroupName(file, line);
        reader->group = obxLookupGroup(model, line);
        break;
      case 'f': fillFace(reader, file); break;
      default:  // "#", "mtllib" (read in the first pass), anything else
        if (!readOther(reader, file, keyword, true)) readLine(file, line, kTokenSize);
        break;
    }
  }
  require(reader->stored == model->numtriangles, "fewer triangles than counted");
}

// Every corner's indices name elements the model has; the message names
// the face's line.
void checkIndices(const Reader* reader) {
  const ObxModel* model = reader->model;
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const ObxTriangle* triangle = &model->triangles[i];
    for (int j = 0; j < 3; j++) {
      const struct {
        const char* kind;
        uint32_t index, count;
        bool optional;
      } fields[3] = {{"normal", triangle->nindices[j], model->numnormals, true},
                     {"vertex", triangle->vindices[j], model->numvertices, false},
                     {"texture coordinate", triangle->tindices[j], model->numtexcoords, true}};
      for (const auto& f : fields) {
        if (f.optional && f.index == OBX_NO_INDEX) continue;
        if (f.index != 0 && f.index <= f.count) continue;
        const unsigned long long line = reader->stream->lineOf(reader->faceEnds[i]);
        if (f.index == 0)
          fail("%s index for triangle %u out of bounds (0 < 1) at line %llu of \"%s\"\n", f.kind, i,
               line, model->path);
        fail("%s index for triangle %u out of bounds (%u > %u) at line %llu of \"%s\"\n", f.kind, i,
             f.index, f.count, line, model->path);
      }
    }
  }
}

// Every line and point names a vertex, and a texture coordinate or none,
// the model has.
void checkElements(const Reader* reader) {
  const ObxModel* model = reader->model;
  for (size_t e = 0; e < reader->elements.size(); e++)
    for (uint32_t i = 0; i < reader->elements[e].count; i++)
      for (int k = 0; k < 2; k++) {
        const uint32_t index = reader->elementIndices[2 * (reader->elements[e].first + i) + k];
        const uint32_t count = k == 0 ? model->numvertices : model->numtexcoords;
        if ((k == 1 && index == OBX_NO_INDEX) || (index >= 1 && index <= count)) continue;
        fail("%s index for %s %zu out of bounds (%u %s %u) at line %llu of \"%s\"\n",
             k == 0 ? "vertex" : "texture coordinate",
             reader->elements[e].type == 'l' ? "line" : "point", e, index, index == 0 ? "<" : ">",
             index == 0 ? 1u : count, reader->stream->lineOf(reader->elementEnds[e]), model->path);
      }
}

// A malloc'd copy of values cut or filled to count, or NULL for none.
template <typename T>
T* copied(const Reader* reader, const std::vector<T>& values, size_t count, T fill) {
  if (values.empty()) return nullptr;
  T* array = static_cast<T*>(allocateZeroed(reader, count, sizeof(T)));
  for (size_t i = 0; i < count; i++) array[i] = i < values.size() ? values[i] : fill;
  return array;
}

void keepOthers(Reader* reader) {
  ObxModel* model = reader->model;
  model->colors = copied(reader, reader->colors, 3 * (size_t(model->numvertices) + 1), 1.0f);
  model->texcoordw = copied(reader, reader->texcoordw, size_t(model->numtexcoords) + 1, 0.0f);
  if (std::any_of(reader->smoothingOf.begin(), reader->smoothingOf.end(),
                  [](uint32_t s) { return s != 0; }))
    model->smoothing = copied(reader, reader->smoothingOf, model->numtriangles, 0u);
  model->polygons = copied(reader, reader->polygons, reader->polygons.size(), ObxPolygon());
  model->numpolygons = uint32_t(reader->polygons.size());
  model->elements = copied(reader, reader->elements, reader->elements.size(), ObxElement());
  model->elementindices = copied(reader, reader->elementIndices, reader->elementIndices.size(), 0u);
  model->numelements = uint32_t(reader->elements.size());
  model->objects = copied(reader, reader->objects, reader->objects.size(), ObxObject());
  for (size_t i = 0; i < reader->objects.size(); i++) {
    model->objects[i].name = obxCopyString(reader->objectNames[i].c_str());
    if (!model->objects[i].name) failOutOfMemory("obxReadOBJ", model->path);
    model->numobjects++;
  }
}

}  // namespace

ObxModel* referenceReadOBJ(const char* path, std::string* fatal) {
  obxToldNoContext = false;  // each read says once that it uploads nothing
  Reader reader;
  try {
    Stream stream(path, "obxReadOBJ() failed: can't read data file");
    if (!stream.get())
      fail("obxReadOBJ() failed: can't open data file \"%s\": %s.", path, stream.why());
    reader.model = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
    if (!reader.model) failOutOfMemory("obxReadOBJ", path);
    reader.model->path = obxCopyString(path);
    if (!reader.model->path) failOutOfMemory("obxReadOBJ", path);
    reader.stream = &stream;
    firstPass(&reader, stream.get());
    prepareSecondPass(&reader);
    rewind(stream.get());
    secondPass(&reader, stream.get());
    if (reader.bigPolygon >= 0)
      obxWarn(
          "obxReadOBJ: a concave polygon of more than 1024 corners stays a fan at line %llu of "
          "\"%s\"",
          stream.lineOf(reader.bigPolygon), path);
    checkIndices(&reader);
    checkElements(&reader);
    keepOthers(&reader);
    for (uint32_t i = 1; i <= reader.model->numvertices; i++) {
      const float* p = &reader.model->vertices[3 * size_t(i)];
      if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) continue;
      obxWarn("obxReadOBJ: vertex %u in \"%s\" is not finite (extents and fitting leave it out)", i,
              path);
      break;
    }
  } catch (const Fatal& error) {
    *fatal = error.message;
    return nullptr;
  }
  obxComputeFacetNormals(reader.model);
  return reader.release();
}
