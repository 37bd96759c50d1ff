// obx writer: OBJ and MTL output.
#include "internal.h"

#include <array>
#include <unordered_map>
#include <unordered_set>

#include <limits.h>

#include <atomic>

static const char* const kObxHeaderCredits[3] = {
    "#  Ostrel project, obx model library",
    "#  contact: ostrel-dev@users.noreply.example.org",
    "#  web: https://ostrel.example.org/obx",
};

// The seven fix-ups of a requested mode, shared by drawing and writing, in
// this order; each that fires warns with its text and drops a flag, and the
// later ones see the corrected mode.
GLuint obxFixMode(const ObxModel* model, GLuint mode, const char* const warnings[7]) {
  struct Rule {
    GLuint requested;  // the fix-up applies when all of these are set ...
    bool missing;      // ... and this holds
    GLuint dropped;
  } const rules[7] = {
      {OBX_FLAT, !model->facetnorms, OBX_FLAT},
      {OBX_SMOOTH, !model->normals, OBX_SMOOTH},
      {OBX_TEXTURE, !model->texcoords, OBX_TEXTURE},
      {OBX_FLAT | OBX_SMOOTH, true, OBX_FLAT},
      {OBX_COLOR, !model->materials && !model->colors, OBX_COLOR},
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

// The reader takes at most this many characters of a library's name: what
// stays of its 127-byte line behind "mtllib" once the blank before the name
// and the line feed after it are counted.
enum { kObxLibraryNameMax = OBX_TOKEN_MAX - 2 };

// ---- Files replaced whole ----------------------------------------------

// A file being written. A regular file (or a path where none is yet) gets
// its bytes in a new file beside it, flushed to the disk and renamed over
// it only when all of them were written: a full disk, a crash or any other
// failure leaves the old file as it was. Anything else (a device, a pipe)
// cannot be replaced and is written in place.
struct ObxOutput {
  FILE* file = NULL;
  const char* function = NULL;
  std::string target;     // what is replaced: the path, or the file its link names
  std::string temporary;  // the new bytes until they replace target; empty in place
  std::string shown;      // the path as the caller gave it, for messages
  ~ObxOutput() {
    if (file) fclose(file);
    if (!temporary.empty()) unlink(temporary.c_str());
  }
};

// What one call writes: the OBJ, its MTL, and the old MTL kept under a
// second name until the OBJ is in place, so that a failure anywhere leaves
// both files as they were: a new MTL whose OBJ did not follow makes way
// for the old one again.
struct ObxWriting {
  ObxOutput obj, mtl;
  std::string aside;       // the old MTL's second name, empty when there was none
  bool asideOnly = false;  // the old MTL was moved there (no hard links here)
  bool mtlPlaced = false;  // the new MTL is in place, the OBJ not yet
  // A new MTL whose OBJ did not follow makes way for the old one again.
  ~ObxWriting() {
    const bool putBack = !aside.empty() && (mtlPlaced || asideOnly);
    if (putBack) (void)rename(aside.c_str(), mtl.target.c_str());
    if (!putBack && mtlPlaced) unlink(mtl.target.c_str());
    if (!putBack && !aside.empty()) unlink(aside.c_str());
  }
  // Both files are in place: nothing is put back.
  void finish() { mtlPlaced = asideOnly = false; }
};

// The folder part of path, up to and with its last slash ("" for none).
static std::string obxFolderOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);
}

// A fresh name beside target: target's file name, cut so that the whole
// name stays within NAME_MAX, and a suffix no other call uses.
static std::string obxNameBeside(const std::string& target) {
  static std::atomic<unsigned> serial{0};
  char suffix[48];
  snprintf(suffix, sizeof suffix, ".obx-%ld-%u", long(getpid()),
           serial.fetch_add(1, std::memory_order_relaxed));
  const size_t folder = obxFolderOf(target).size();
  const size_t kept = std::min(target.size() - folder, size_t(NAME_MAX) - strlen(suffix));
  return target.substr(0, folder + kept) + suffix;
}

// Fails as: function failed: what "path"after: the reason.
static void obxFailOutput(const ObxOutput* output, const char* what, const char* after, int error) {
  obxFail("%s failed: %s \"%s\"%s: %s.", output->function, what, output->shown.c_str(), after,
          strerror(error));
}

// Opens path for writing into output. A link is followed with throughLink
// (the file it names is replaced), else replaced itself.
static void obxOpenOutput(ObxOutput* output, const char* function, const char* path,
                          bool throughLink) {
  output->function = function;
  output->shown = path;
  struct stat status;
  const bool exists = (throughLink ? stat(path, &status) : lstat(path, &status)) == 0;
  if (exists && throughLink && !S_ISREG(status.st_mode)) {
    output->file = fopen(path, "w");
    if (!output->file) obxFailOutput(output, "can't open file", " to write", errno);
    return;
  }
  output->target = path;
  if (exists && throughLink) {
    const ObxBlock<char> real(realpath(path, NULL));
    if (!real && errno == ENOMEM) throw std::bad_alloc();
    if (!real) obxFailOutput(output, "can't open file", " to write", errno);
    output->target = real.get();
  }
  // The name only has to be new: O_EXCL makes sure it is, and the
  // creation mode lets the umask apply as it would to the file itself.
  // Only a name this call made is kept, to be removed.
  int fd = -1, error = 0;
  for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
    std::string name = obxNameBeside(output->target);
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    error = errno;
    if (fd >= 0)
      output->temporary = std::move(name);
    else if (error != EEXIST)
      break;
  }
  if (fd < 0) {
    // An existing file is never written in place: a failure half-way
    // would leave neither the old bytes nor the new.
    if (exists)
      obxFailOutput(output, "can't replace file", ": no new file can be made beside it", error);
    obxFailOutput(output, "can't open file", " to write", error);
  }
  if (exists && S_ISREG(status.st_mode))
    (void)fchmod(fd, status.st_mode & 07777);  // a copy of a file keeps its mode
  output->file = fdopen(fd, "w");
  if (!output->file) {
    close(fd);
    throw std::bad_alloc();
  }
}

// Fatal when a write to output failed so far.
static void obxCheckOutput(const ObxOutput* output) {
  if (ferror(output->file)) obxFailOutput(output, "can't write file", "", errno ? errno : EIO);
}

// Writes out and closes output, on the disk before it may replace its
// target (else a crash after the rename could leave an empty file); fatal
// when any of it failed, with the first failure's reason.
static void obxCloseOutput(ObxOutput* output) {
  int error = 0;
  if (ferror(output->file) || fflush(output->file) != 0) error = errno ? errno : EIO;
  if (error == 0 && !output->temporary.empty() && fsync(fileno(output->file)) != 0) error = errno;
  if (fclose(output->file) != 0 && error == 0) error = errno ? errno : EIO;
  output->file = NULL;
  if (error) obxFailOutput(output, "can't write file", "", error);
}

// Puts a closed output in place of its target.
static void obxPlaceOutput(ObxOutput* output) {
  if (!output->temporary.empty() && rename(output->temporary.c_str(), output->target.c_str()) != 0)
    obxFailOutput(output, "can't replace file", "", errno);
  output->temporary.clear();
}

// Gives the MTL about to be replaced a second name, so that it can come
// back if the OBJ cannot follow the new one: a hard link, or where the
// file system has none, the old file itself moved there.
static void obxKeepOldLibrary(ObxWriting* writing) {
  const ObxOutput* mtl = &writing->mtl;
  const char* target = mtl->target.c_str();
  struct stat status;
  if (lstat(target, &status) != 0) return;  // none to keep
  if (S_ISDIR(status.st_mode)) obxFailOutput(mtl, "can't replace file", "", EISDIR);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = obxNameBeside(mtl->target);
    if (link(target, name.c_str()) == 0) {
      writing->aside = std::move(name);
      return;
    }
    error = errno;
    if (error == EEXIST) continue;
    if (lstat(name.c_str(), &status) != 0 && rename(target, name.c_str()) == 0) {
      writing->aside = std::move(name);
      writing->asideOnly = true;
      return;
    }
    error = errno;
    break;
  }
  obxFailOutput(mtl, "can't keep the old file", " until the new one is in place", error);
}

// The file name a library is written under: the last part of name, so
// that it lands beside the OBJ whatever the model says. Fatal when that
// would not read back as the same name.
static const char* obxLibraryFileName(const char* function, const char* name) {
  const char* slash = strrchr(name, '/');
  const char* file = slash ? slash + 1 : name;
  const size_t length = strlen(file);
  const char* fault = length == 0                                         ? "it has no file name"
                      : strcmp(file, ".") == 0 || strcmp(file, "..") == 0 ? "it names a folder"
                      : length > size_t(kObxLibraryNameMax) ? "its file name is too long"
                      : file[strcspn(file, " \t\n\v\f\r")]  ? "its file name has a blank"
                                                            : NULL;
  if (fault)
    obxFail("%s failed: material library name \"%s\" can't be read back: %s.", function, name,
            fault);
  return file;
}

// ---- Numbers ----------------------------------------------------------------

// Writes " value": "%f" when that reads back as the same float (bit for
// bit, NaN as NaN), which is nearly always so and keeps files as they were;
// otherwise the shortest text that does (small values such as 1e-7, which
// six decimals lose).
static void obxPutNumber(FILE* file, float value) {
  char text[64];
  snprintf(text, sizeof text, "%f", double(value));
  float back;
  const bool same =
      std::from_chars(text, text + strlen(text), back).ec == std::errc() &&
      (std::isnan(value) ? std::isnan(back) : memcmp(&back, &value, sizeof back) == 0);
  if (!same) *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
  fprintf(file, " %s", text);
}

static void obxPutNumbers(FILE* file, const char* keyword, const float* values, int count) {
  fputs(keyword, file);
  for (int k = 0; k < count; k++) obxPutNumber(file, values[k]);
  fputc('\n', file);
}

// Writes the Ns line: the file's 0..100 scale, in a text the reader's two
// steps (/ 100, * 128) take back to the same shininess.
static void obxPutShininess(FILE* file, float shininess) {
  const double ns = shininess / 128.0 * 100.0;
  auto readsBack = [&](const char* text) {
    float back;
    if (std::from_chars(text, text + strlen(text), back).ec != std::errc()) return false;
    back = float(float(back / 100.0) * 128.0);
    return std::isnan(shininess) ? std::isnan(back) : back == shininess;
  };
  char text[64];
  snprintf(text, sizeof text, "%f", ns);
  // Else the float nearest the value, then its neighbours one step up and
  // down, then two: the reader's two steps round twice.
  for (int tried = 0; tried < 5 && !readsBack(text); tried++) {
    float candidate = float(ns);
    for (int k = 0; k < (tried + 1) / 2; k++)
      candidate = std::nextafter(candidate, tried % 2 ? FLT_MAX : -FLT_MAX);
    *std::to_chars(text, text + sizeof text - 1, candidate).ptr = '\0';
  }
  if (!readsBack(text)) snprintf(text, sizeof text, "%f", ns);
  fprintf(file, "Ns %s\n", text);
}

// ---- MTL ------------------------------------------------------------------

// Writes the comment block that opens a file of the kind ("OBJ", "MTL"),
// and a blank line after it.
static void obxPutHeader(FILE* file, const char* kind) {
  fprintf(file, "#  \n#  Wavefront %s generated by OBX library\n#  \n#  OBX library\n", kind);
  for (const char* line : kObxHeaderCredits) fprintf(file, "%s\n", line);
  fprintf(file, "#  \n\n");
}

// Writes a material's maps with their options; the map_Kd image is
// map_diffuse's (a map_Kd line is written for it when the maps have none).
static void obxPutMaps(FILE* file, const ObxModel* model, const ObxMaterial* m) {
  auto named = [&](int32_t texture) {
    return texture >= 0 && uint32_t(texture) < model->numtextures ? model->textures[texture].name
                                                                  : NULL;
  };
  bool diffuse = false;
  for (uint32_t i = 0; m->maps && i < m->nummaps; i++) {
    const ObxMap& map = m->maps[i];
    const bool kd = strncmp(map.keyword, "map_Kd", 6) == 0;
    diffuse = diffuse || kd;
    fputs(map.keyword, file);
    const struct {
      const char* name;
      uint32_t bit;
      const float* values;
      int count;
    } numbers[] = {{"-s", OBX_MAP_SCALE, map.scale, 3},
                   {"-o", OBX_MAP_ORIGIN, map.origin, 3},
                   {"-t", OBX_MAP_TURBULENCE, map.turbulence, 3},
                   {"-bm", OBX_MAP_BUMP, &map.bumpmultiplier, 1},
                   {"-mm", OBX_MAP_RANGE, &map.base, 1},
                   {"-boost", OBX_MAP_BOOST, &map.boost, 1}};
    for (const auto& n : numbers) {
      if (!(map.options & n.bit)) continue;
      fprintf(file, " %s", n.name);
      for (int k = 0; k < n.count; k++) obxPutNumber(file, n.values[k]);
      if (n.bit == OBX_MAP_RANGE) obxPutNumber(file, map.gain);
    }
    const struct {
      const char* name;
      uint32_t bit;
      GLboolean value;
    } switches[] = {{"-clamp", OBX_MAP_CLAMP, map.clamp},
                    {"-blendu", OBX_MAP_BLENDU, map.blendu},
                    {"-blendv", OBX_MAP_BLENDV, map.blendv},
                    {"-cc", OBX_MAP_CC, map.colorcorrect}};
    for (const auto& sw : switches)
      if (map.options & sw.bit) fprintf(file, " %s %s", sw.name, sw.value ? "on" : "off");
    if (map.options & OBX_MAP_IMFCHAN) fprintf(file, " -imfchan %c", map.imfchan);
    if (map.options & OBX_MAP_TEXRES) fprintf(file, " -texres %d", int(map.texres));
    if ((map.options & OBX_MAP_TYPE) && map.type) fprintf(file, " -type %s", map.type);
    if ((map.options & OBX_MAP_COLORSPACE) && map.colorspace)
      fprintf(file, " -colorspace %s", map.colorspace);
    const char* name = named(kd && m->map_diffuse >= 0 ? m->map_diffuse : map.texture);
    if (name) fprintf(file, " %s", name);
    fputc('\n', file);
  }
  if (!diffuse && named(m->map_diffuse)) fprintf(file, "map_Kd %s\n", named(m->map_diffuse));
}

// Writes the materials to the file called name in the folder of folderOf
// through writing's MTL output, closed and not yet in place. A link of
// that name is replaced, not followed: the name comes from the model.
static void obxWriteMaterials(ObxWriting* writing, const ObxModel* model,
                              const std::string& folderOf, const char* name) {
  ObxOutput* output = &writing->mtl;
  obxOpenOutput(output, "obxWriteMTL()", (obxFolderOf(folderOf) + name).c_str(), false);
  FILE* file = output->file;
  obxPutHeader(file, "MTL");
  for (uint32_t i = 0; i < model->nummaterials; i++) {
    const ObxMaterial* m = &model->materials[i];
    fprintf(file, "newmtl %s\n", m->name);
    obxPutNumbers(file, "Ka", m->ambient, 3);
    obxPutNumbers(file, "Kd", m->diffuse, 3);
    obxPutNumbers(file, "Ks", m->specular, 3);
    obxPutShininess(file, m->shininess);
    // Opacity and the diffuse map are written too, so that a model read back
    // keeps its transparent pass and its textures; a reader that knows
    // neither statement loses nothing else.
    if (m->diffuse[3] != 1.0f) obxPutNumbers(file, "d", &m->diffuse[3], 1);
    if (m->has & OBX_HAS_EMISSION) obxPutNumbers(file, "Ke", m->emission, 3);
    if (m->has & OBX_HAS_FILTER) obxPutNumbers(file, "Tf", m->filter, 3);
    if (m->has & OBX_HAS_IOR) obxPutNumbers(file, "Ni", &m->ior, 1);
    if (m->has & OBX_HAS_ILLUM) fprintf(file, "illum %d\n", int(m->illum));
    for (int k = 0; k < 7; k++)
      if (m->has & OBX_HAS_PBR(k)) obxPutNumbers(file, kObxPbrKeywords[k], &m->pbr[k], 1);
    obxPutMaps(file, model, m);
    for (uint32_t k = 0; m->parameters && k < m->numparameters; k++)
      fprintf(file, "%s %s\n", m->parameters[k].name, m->parameters[k].value);
    fprintf(file, "\n");
  }
  obxCloseOutput(output);
}

void obxWriteMTL(ObxModel* model, const char* modelpath, const char* mtllibname) {
  OBX_ASSERT(model);
  OBX_ASSERT(modelpath != NULL && mtllibname != NULL);
  obxCall([=] {
    ObxWriting writing;
    obxWriteMaterials(&writing, model, modelpath, obxLibraryFileName("obxWriteMTL()", mtllibname));
    obxPlaceOutput(&writing.mtl);
    writing.finish();
  });
}

// A face's corner: a triangle and one of its corners.
struct ObxCorner {
  const ObxTriangle* t;
  int k;
  std::array<uint32_t, 3> key() const { return {t->vindices[k], t->tindices[k], t->nindices[k]}; }
};

// One face line. An attribute goes out only when every corner has one: a
// corner without it is written without it ("none" is no index a reader
// could take back; -1 would read as the last element), and a face's items
// all have one form.
static void obxWriteFace(FILE* file, const std::vector<ObxCorner>& corners, GLuint mode) {
  bool texture = (mode & OBX_TEXTURE) != 0, normal = (mode & (OBX_SMOOTH | OBX_FLAT)) != 0;
  auto normalOf = [&](const ObxCorner& c) {
    return (mode & OBX_SMOOTH) ? c.t->nindices[c.k] : c.t->findex;
  };
  for (const ObxCorner& c : corners) {
    texture = texture && c.t->tindices[c.k] != OBX_NO_INDEX;
    normal = normal && normalOf(c) != OBX_NO_INDEX;
  }
  fputc('f', file);
  for (const ObxCorner& c : corners) {
    fprintf(file, " %u", c.t->vindices[c.k]);
    if (texture) fprintf(file, "/%u", c.t->tindices[c.k]);
    if (normal) fprintf(file, texture ? "/%u" : "//%u", normalOf(c));
  }
  fputc('\n', file);
}

// The corners of the face whose n - 2 triangles start at first, in order:
// the first triangle's first corner, then along the face's outer edges
// (those no other of its triangles has reversed). Empty when the triangles
// make no single ring of n corners (changed since they were read): they go
// out as triangles then.
static std::vector<ObxCorner> obxPolygonCorners(const ObxTriangle* first, uint32_t n) {
  std::vector<ObxCorner> corners;
  // Mostly the fan the face was read as: each triangle from the first
  // corner to the last corner of the one before.
  bool fan = true;
  for (uint32_t j = 1; fan && j + 2 < n; j++)
    fan = ObxCorner{&first[j], 0}.key() == ObxCorner{first, 0}.key() &&
          ObxCorner{&first[j], 1}.key() == ObxCorner{&first[j - 1], 2}.key();
  if (fan) {
    corners = {{first, 0}, {first, 1}};
    for (uint32_t j = 0; j + 2 < n; j++) corners.push_back({&first[j], 2});
    return corners;
  }
  using Key = std::array<uint32_t, 3>;
  std::vector<std::pair<Key, Key>> edges, outer;
  std::vector<ObxCorner> from;  // the corner each outer edge leaves
  for (uint32_t j = 0; j + 2 < n; j++)
    for (int k = 0; k < 3; k++)
      edges.push_back({ObxCorner{&first[j], k}.key(), ObxCorner{&first[j], (k + 1) % 3}.key()});
  std::vector<std::pair<Key, Key>> sorted = edges;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::pair<Key, size_t>> next;  // outer edges by their first corner
  for (size_t e = 0; e < edges.size(); e++)
    if (!std::binary_search(sorted.begin(), sorted.end(),
                            std::make_pair(edges[e].second, edges[e].first)))
      next.push_back({edges[e].first, e});
  if (next.size() != n) return {};
  std::sort(next.begin(), next.end());
  Key at = ObxCorner{first, 0}.key();
  for (uint32_t i = 0; i < n; i++) {
    const auto found = std::lower_bound(next.begin(), next.end(), std::make_pair(at, size_t(0)));
    if (found == next.end() || found->first != at ||
        (found + 1 != next.end() && (found + 1)->first == at))
      return {};
    corners.push_back({&first[found->second / 3], int(found->second % 3)});
    at = edges[found->second].second;
  }
  if (at != ObxCorner{first, 0}.key()) return {};
  return corners;
}

// Writes the faces, lines and points in the order read, with the g, o, s
// and usemtl statements that give each back its group, object, smoothing
// group and material. A reader takes a triangle's material from the last
// usemtl before it (*current is that one, 0 before any) and gives a group
// the first non-zero material among its triangles' and the usemtl
// statements after its first triangle. A triangle goes out under the
// oldest group listing it (none listing it: not at all); a face of more
// than three corners that kept its triangles together goes out whole.
static void obxWriteFaces(FILE* file, const ObxModel* model, GLuint mode) {
  std::vector<const ObxGroup*> order;  // oldest first
  for (const ObxGroup* group = model->groups; group; group = group->next) {
    OBX_ASSERT(order.size() < size_t(model->numgroups));
    order.push_back(group);
  }
  std::reverse(order.begin(), order.end());
  std::vector<const ObxGroup*> groupOf(model->numtriangles, NULL);
  for (auto g = order.rbegin(); g != order.rend(); ++g)
    for (uint32_t i = 0; i < (*g)->numtriangles; i++)
      if ((*g)->triangles[i] < model->numtriangles) groupOf[(*g)->triangles[i]] = *g;

  // "default", the group a file starts in, has no "g" line (one would read
  // back as a second group " default").
  const ObxGroup* group = order.empty() || strcmp(order[0]->name, "default") ? NULL : order[0];
  std::unordered_set<const ObxGroup*> started;
  uint32_t material = 0, smoothing = 0, object = 0, polygon = 0;
  auto use = [&](uint32_t m) {
    if (m == material || m >= model->nummaterials) return;
    fprintf(file, "usemtl %s\n", model->materials[m].name);
    material = m;
  };
  // An object or group line begins a paragraph after a face, line or point.
  bool wrote = false;
  auto paragraph = [&] {
    if (wrote) fputc('\n', file);
    wrote = false;
  };
  auto line = [&](const ObxGroup* g) {
    // A name read from a file keeps the blank after "g"; writing another
    // blank before it would grow the name by one on every read and write.
    const bool blank = g->name[0] == ' ' || g->name[0] == '\t' || g->name[0] == '\0';
    paragraph();
    fprintf(file, blank ? "g%s\n" : "g %s\n", g->name);
  };
  // Groups are made in the order their lines come: one not made yet makes
  // those before it first, so that the list keeps its order.
  std::unordered_map<const ObxGroup*, size_t> made;
  for (size_t i = 0; i < order.size(); i++) made.emplace(order[i], i);
  size_t makeNext = group ? 1 : 0;
  auto enter = [&](const ObxGroup* g) {
    const auto found = made.find(g);
    if (g == group || found == made.end()) return;
    while (makeNext <= found->second)
      if (order[makeNext++] != g) line(order[makeNext - 1]);
    line(g);
    group = g;
  };
  auto runEnd = [](const ObxPolygon& run) {
    return uint64_t(run.triangle) + uint64_t(run.numfaces) * (run.numcorners - 2);
  };
  const ObxElement* elements = model->elements;
  uint32_t e = 0, t = 0;
  while (t < model->numtriangles || e < model->numelements) {
    const bool element =
        e < model->numelements && (t == model->numtriangles || elements[e].triangle <= t);
    while (object < model->numobjects && model->objects[object].firsttriangle <= t &&
           model->objects[object].firstelement <= e) {
      paragraph();
      fprintf(file, "o %s\n", model->objects[object++].name);
    }
    if (element) {
      const ObxElement& el = elements[e++];
      enter(el.group);
      const uint32_t* items = &model->elementindices[2 * size_t(el.first)];
      bool texture = (mode & OBX_TEXTURE) && el.type == 'l';
      for (uint32_t i = 0; i < el.count; i++) texture = texture && items[2 * i + 1] != OBX_NO_INDEX;
      fputc(el.type, file);
      wrote = true;
      for (uint32_t i = 0; i < el.count; i++) {
        fprintf(file, " %u", items[2 * i]);
        if (texture) fprintf(file, "/%u", items[2 * i + 1]);
      }
      fputc('\n', file);
      continue;
    }
    const ObxGroup* g = groupOf[t];
    if (!g) {
      t++;
      continue;
    }
    enter(g);
    const ObxTriangle* triangle = &model->triangles[t];
    const uint32_t s = model->smoothing ? model->smoothing[t] : 0;
    if (s != smoothing) fprintf(file, s ? "s %u\n" : "s off\n", s);
    smoothing = s;
    use(triangle->material);
    // The run holding t, and whether a face of it begins there.
    while (polygon < model->numpolygons && runEnd(model->polygons[polygon]) <= t) polygon++;
    // The face's triangles go together when nothing comes between them.
    std::vector<ObxCorner> corners;
    uint32_t n = 3;
    if (polygon < model->numpolygons && model->polygons[polygon].triangle <= t &&
        model->polygons[polygon].numcorners > 3 &&
        (t - model->polygons[polygon].triangle) % (model->polygons[polygon].numcorners - 2) == 0) {
      n = model->polygons[polygon].numcorners;
      const uint64_t end = uint64_t(t) + n - 2;
      bool together = n > 3 && end <= model->numtriangles;
      for (uint32_t j = t + 1; together && j < end; j++)
        together = groupOf[j] == g && model->triangles[j].material == triangle->material &&
                   (model->smoothing ? model->smoothing[j] : 0) == s;
      together = together && (e == model->numelements || elements[e].triangle >= end) &&
                 (object == model->numobjects || model->objects[object].firsttriangle >= end);
      if (together) corners = obxPolygonCorners(triangle, n);
    }
    if (corners.empty()) {
      n = 3;
      corners = {{triangle, 0}, {triangle, 1}, {triangle, 2}};
    }
    obxWriteFace(file, corners, mode);
    wrote = true;
    t += n - 2;
    // A group whose triangles start with material 0 and that has a material
    // of its own (from a usemtl between them) gets it after its first one.
    if (!started.insert(g).second) continue;
    uint32_t first = 0;
    for (uint32_t i = 0; i < g->numtriangles && first == 0; i++)
      if (g->triangles[i] < model->numtriangles) first = model->triangles[g->triangles[i]].material;
    if ((mode & OBX_MATERIAL) && g->material != 0 && first != g->material) use(g->material);
  }
  for (; object < model->numobjects; object++) {
    paragraph();
    fprintf(file, "o %s\n", model->objects[object].name);
  }
  while (makeNext < order.size()) line(order[makeNext++]);  // groups with nothing in them
}

// The library the OBJ names, checked: its file name (see
// obxLibraryFileName), or NULL when none is written: without OBX_MATERIAL
// or a name, or beside an OBJ that is no regular file (a device or a pipe
// has no folder of its own to hold it).
static const char* obxLibraryFor(const ObxModel* model, const ObxOutput* obj, GLuint mode) {
  if (!(mode & OBX_MATERIAL) || !model->mtllibname) return NULL;
  if (obj->temporary.empty()) {
    obxWarn(
        "obxWriteOBJ() warning: \"%s\" is not a regular file: no material library written "
        "beside it.",
        obj->shown.c_str());
    return NULL;
  }
  const char* file = obxLibraryFileName("obxWriteOBJ()", model->mtllibname);
  // Another name of the same file (a link) counts too.
  const std::string path = obxFolderOf(obj->target) + file;
  struct stat library, target;
  if (path == obj->target ||
      (stat(path.c_str(), &library) == 0 && stat(obj->target.c_str(), &target) == 0 &&
       library.st_dev == target.st_dev && library.st_ino == target.st_ino))
    obxFail(
        "obxWriteOBJ() failed: \"%s\" is the model's own material library \"%s\": its "
        "materials would be lost.",
        obj->shown.c_str(), file);
  return file;
}

// Writes elements 1..count of an array of width floats each, one line of
// keyword and numbers apiece.
static void obxPutElements(FILE* file, const char* keyword, const float* values, uint32_t count,
                           int width, const float* extra = NULL, int extraWidth = 0) {
  for (uint32_t i = 1; i <= count; i++) {
    fputs(keyword, file);
    for (int k = 0; k < width; k++) obxPutNumber(file, values[width * size_t(i) + size_t(k)]);
    for (int k = 0; extra && k < extraWidth; k++)
      obxPutNumber(file, extra[extraWidth * size_t(i) + size_t(k)]);
    fputc('\n', file);
  }
}

static void obxWriteModel(ObxModel* model, const char* filename, GLuint mode) {
  mode = obxFixMode(model, mode, kObxWriteWarnings);
  ObxWriting writing;
  ObxOutput* output = &writing.obj;
  obxOpenOutput(output, "obxWriteOBJ()", filename, true);
  FILE* file = output->file;
  obxPutHeader(file, "OBJ");

  // The MTL is written now, beside the file the OBJ replaces, and put in
  // place with the OBJ once both were written.
  if (const char* library = obxLibraryFor(model, output, mode)) {
    fprintf(file, "mtllib %s\n\n\n", library);
    obxWriteMaterials(&writing, model, output->target.c_str(), library);
  }

  fprintf(file, "# %d vertices\n", int(model->numvertices));
  obxPutElements(file, "v", model->vertices, model->numvertices, 3, model->colors, 3);
  obxCheckOutput(output);
  if (mode & OBX_SMOOTH) {
    fprintf(file, "\n# %u normals\n", model->numnormals);
    obxPutElements(file, "vn", model->normals, model->numnormals, 3);
  } else if (mode & OBX_FLAT) {
    fprintf(file, "\n# %d normals\n", int(model->numfacetnorms));
    obxPutElements(file, "vn", model->facetnorms, model->numfacetnorms, 3);
  }
  if (mode & OBX_TEXTURE) {
    fprintf(file, "\n# %d texcoords\n", int(model->numtexcoords));
    obxPutElements(file, "vt", model->texcoords, model->numtexcoords, 2, model->texcoordw, 1);
  }
  obxCheckOutput(output);
  fprintf(file, "\n# %d groups\n# %d faces (triangles)\n\n", int(model->numgroups),
          int(model->numtriangles));

  obxWriteFaces(file, model, mode);
  fprintf(file, "\n");
  obxCheckOutput(output);
  obxCloseOutput(output);
  // The MTL first, so that a reader finding the new OBJ finds its materials.
  if (!writing.mtl.temporary.empty()) {
    obxKeepOldLibrary(&writing);
    obxPlaceOutput(&writing.mtl);
    writing.mtlPlaced = true;
  }
  obxPlaceOutput(output);
  writing.finish();
}

void obxWriteOBJ(ObxModel* model, const char* filename, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(filename != NULL);
  obxCall([=] { obxWriteModel(model, filename, mode); });
}

int obxTryWriteOBJ(ObxModel* model, const char* filename, GLuint mode, char* message, size_t size) {
  auto write = [&] { obxWriteOBJ(model, filename, mode); };
  return obxTry([](void* call) { (*static_cast<decltype(write)*>(call))(); }, &write, message,
                size);
}
