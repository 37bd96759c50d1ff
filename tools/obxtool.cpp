// obxtool: prints what an OBJ model holds and converts models with obx,
// without a display: texture images are recorded by name, never uploaded.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <set>
#include <vector>

#include "obx/obx.h"

namespace {

// Exit statuses; the library's fatal messages exit with kExitFailure too.
enum { kExitDone = 0, kExitFailure = 1, kExitUsage = 2 };

const char kUsage[] =
    "usage: obxtool info [--strict] FILE\n"
    "       obxtool convert IN OUT [options]\n"
    "       obxtool -h | --help\n"
    "\n"
    "info     prints the numbers of vertices, normals, texture coordinates,\n"
    "         triangles, groups, materials and textures, of objects, smoothing\n"
    "         groups, polygons, lines and points, whether vertices have\n"
    "         colours, the bounding box, then one line per object, group and\n"
    "         material (with its maps and their options).\n"
    "         Files are read leniently: a missing MTL file, a normal or\n"
    "         texture-coordinate index out of bounds (dropped) and unknown\n"
    "         statements are warnings; --strict makes them failures.\n"
    "convert  reads IN, changes it as the options say and writes OUT; with\n"
    "         materials, also an MTL file named after OUT (OUT's name with\n"
    "         .mtl for its extension, blanks as _) in OUT's directory.\n"
    "\n"
    "convert options, applied in this order whatever order they come in:\n"
    "  --weld EPS       merge vertices closer than EPS on every axis\n"
    "  --fit            centre the model and scale it into the cube -1..1\n"
    "  --flip           reverse every triangle's winding, negate the normals\n"
    "  --normals ANGLE  smooth vertex normals within ANGLE degrees (0..180)\n"
    "  --planar         texture coordinates projected from the x-z plane\n"
    "  --sphere         sphere-map texture coordinates from the normals\n"
    "  --mode LIST      what OUT holds: none, or a comma list of flat,\n"
    "                   smooth, texture, color, material; by default smooth,\n"
    "                   texture and material, each when the model has it\n"
    "\n"
    "Texture images are neither read nor copied: maps keep their names.\n"
    "Exit status: 0 done, 1 failure (a message says why), 2 bad usage.\n";

// Bad usage: the reason and the usage text on stderr.
int usageError(const char* format, const char* detail) {
  fputs("obxtool: ", stderr);
  fprintf(stderr, format, detail);
  fputs("\n\n", stderr);
  fputs(kUsage, stderr);
  return kExitUsage;
}

// A whole-argument finite number, or false. Numbers too small for a
// normal float (strtof's ERANGE on 1e-45) are still numbers.
bool parseNumber(const char* text, float* value) {
  char* end = nullptr;
  float v = strtof(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// The mode flags a comma list names; false on an unknown word.
bool parseMode(const char* text, GLuint* mode, std::string* bad) {
  static const struct {
    const char* word;
    GLuint flag;
  } kWords[] = {{"none", OBX_NONE},       {"flat", OBX_FLAT},   {"smooth", OBX_SMOOTH},
                {"texture", OBX_TEXTURE}, {"color", OBX_COLOR}, {"material", OBX_MATERIAL}};
  *mode = OBX_NONE;
  std::string list = text;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string word = list.substr(start, comma - start);
    bool known = false;
    for (const auto& w : kWords)
      if (word == w.word) {
        *mode |= w.flag;
        known = true;
      }
    if (!known) {
      *bad = word;
      return false;
    }
    start = comma + 1;
  }
  return true;
}

// Group names keep the blank after "g"; the listing shows them without it.
const char* shownName(const char* name) {
  while (*name == ' ' || *name == '\t') name++;
  return name;
}

void printInfo(const ObxModel* model) {
  printf("vertices: %u\n", model->numvertices);
  printf("normals: %u\n", model->numnormals);
  printf("texcoords: %u\n", model->numtexcoords);
  printf("triangles: %u\n", model->numtriangles);
  printf("groups: %u\n", model->numgroups);
  printf("materials: %u\n", model->nummaterials);
  printf("textures: %u\n", model->numtextures);
  printf("objects: %u\n", model->numobjects);
  std::set<uint32_t> smoothing;
  for (uint32_t i = 0; model->smoothing && i < model->numtriangles; i++)
    if (model->smoothing[i]) smoothing.insert(model->smoothing[i]);
  printf("smoothing groups: %zu\n", smoothing.size());
  uint64_t polygons = 0;
  for (uint32_t i = 0; i < model->numpolygons; i++) polygons += model->polygons[i].numfaces;
  printf("polygons: %llu\n", (unsigned long long)polygons);
  uint32_t lines = 0;
  for (uint32_t e = 0; e < model->numelements; e++) lines += model->elements[e].type == 'l';
  printf("lines: %u\npoints: %u\n", lines, model->numelements - lines);
  printf("vertex colours: %s\n", model->colors ? "yes" : "no");
  if (model->numvertices == 0) {
    printf("bounds: none\n");
  } else {
    float low[3], high[3];
    for (int k = 0; k < 3; k++) low[k] = high[k] = model->vertices[3 + k];
    for (uint32_t i = 2; i <= model->numvertices; i++)
      for (int k = 0; k < 3; k++) {
        float c = model->vertices[3 * size_t(i) + k];
        if (c < low[k]) low[k] = c;
        if (c > high[k]) high[k] = c;
      }
    printf("bounds: %g %g %g to %g %g %g\n", low[0], low[1], low[2], high[0], high[1], high[2]);
  }

  for (uint32_t i = 0; i < model->numobjects; i++) {
    const uint32_t end =
        i + 1 < model->numobjects ? model->objects[i + 1].firsttriangle : model->numtriangles;
    const uint32_t count = end - model->objects[i].firsttriangle;
    printf("object %s: %u triangle%s\n", model->objects[i].name, count, count == 1 ? "" : "s");
  }
  // Groups in the order the file opens them: the list holds them newest first.
  std::vector<const ObxGroup*> order;
  for (const ObxGroup* g = model->groups; g; g = g->next) order.push_back(g);
  for (size_t i = order.size(); i-- > 0;) {
    const ObxGroup* g = order[i];
    printf("group %s: %u triangle%s", shownName(g->name), g->numtriangles,
           g->numtriangles == 1 ? "" : "s");
    if (g->material != 0 && g->material < model->nummaterials)
      printf(", material %s", model->materials[g->material].name);
    printf("\n");
  }
  for (uint32_t i = 0; i < model->nummaterials; i++) {
    const ObxMaterial* m = &model->materials[i];
    printf("material %s", m->name);
    auto texture = [&](int32_t t) {
      return t >= 0 && uint32_t(t) < model->numtextures ? model->textures[t].name : "(none)";
    };
    if (m->nummaps == 0 && m->map_diffuse >= 0) printf(": map_Kd %s", texture(m->map_diffuse));
    // Each map with its file and the options its line gave.
    static const char* const kOptions[] = {"-s",       "-o",      "-t",      "-bm",        "-mm",
                                           "-clamp",   "-blendu", "-blendv", "-boost",     "-cc",
                                           "-imfchan", "-texres", "-type",   "-colorspace"};
    for (uint32_t k = 0; k < m->nummaps; k++) {
      printf("%s%s %s", k ? ", " : ": ", m->maps[k].keyword, texture(m->maps[k].texture));
      for (uint32_t o = 0; o < sizeof kOptions / sizeof kOptions[0]; o++)
        if (m->maps[k].options & (1u << o)) printf(" %s", kOptions[o]);
    }
    if (m->numparameters) printf(" (%u other statements)", m->numparameters);
    printf("\n");
  }
}

struct ConvertOptions {
  const char* in = nullptr;
  const char* out = nullptr;
  bool weld = false;
  float epsilon = 0;
  bool fit = false;
  bool flip = false;
  bool normals = false;
  float angle = 0;
  bool planar = false;
  bool sphere = false;
  bool modeGiven = false;
  GLuint mode = OBX_NONE;
};

// Parses convert's arguments (after "convert"); returns kExitDone or the
// usage error's status.
int parseConvert(int argc, char** argv, ConvertOptions* o) {
  int files = 0;
  for (int i = 0; i < argc; i++) {
    const char* a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool takesValue = !strcmp(a, "--weld") || !strcmp(a, "--normals") || !strcmp(a, "--mode");
    if (takesValue && !value) return usageError("%s needs a value", a);
    if (!strcmp(a, "--weld")) {
      if (!parseNumber(value, &o->epsilon) || o->epsilon < 0)
        return usageError("--weld needs a number >= 0, not \"%s\"", value);
      o->weld = true;
      i++;
    } else if (!strcmp(a, "--normals")) {
      if (!parseNumber(value, &o->angle) || o->angle < 0 || o->angle > 180)
        return usageError("--normals needs an angle in degrees, 0 to 180, not \"%s\"", value);
      o->normals = true;
      i++;
    } else if (!strcmp(a, "--mode")) {
      std::string bad;
      if (!parseMode(value, &o->mode, &bad))
        return usageError("unknown mode word \"%s\"", bad.c_str());
      o->modeGiven = true;
      i++;
    } else if (!strcmp(a, "--fit")) {
      o->fit = true;
    } else if (!strcmp(a, "--flip")) {
      o->flip = true;
    } else if (!strcmp(a, "--planar")) {
      o->planar = true;
    } else if (!strcmp(a, "--sphere")) {
      o->sphere = true;
    } else if (a[0] == '-' && a[1] != '\0') {
      return usageError("unknown option %s", a);
    } else if (files == 0) {
      o->in = a;
      files++;
    } else if (files == 1) {
      o->out = a;
      files++;
    } else {
      return usageError("unexpected argument \"%s\"", a);
    }
  }
  if (files < 2) return usageError("%s", "convert needs IN and OUT");
  if (o->planar && o->sphere) return usageError("%s", "--planar and --sphere exclude each other");
  return kExitDone;
}

// The file name part of path.
std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The MTL file's name for OUT: OUT's file name with its extension replaced
// by .mtl, blanks by '_', since a reader takes the first word of mtllib.
std::string mtlNameFor(const char* out) {
  std::string name = baseName(out);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  for (char& c : name)
    if (c == ' ' || (c >= '\t' && c <= '\r')) c = '_';
  return name + ".mtl";
}

// Checks the MTL name for OUT when one is written: a name a reader would
// cut (127 characters), or a path that is OUT itself or IN, is a usage
// error.
int checkMtlName(const ConvertOptions& o) {
  const std::string name = mtlNameFor(o.out);
  if (name.size() > 127)
    return usageError("OUT's name is too long for its MTL file (more than 127 characters): %s",
                      name.c_str());
  if (name == baseName(o.out)) return usageError("OUT would be its own MTL file: %s", o.out);
  const std::string out = o.out;
  const std::string path = out.substr(0, out.size() - baseName(out).size()) + name;
  struct stat in, mtl;
  if (stat(o.in, &in) == 0 && stat(path.c_str(), &mtl) == 0 && in.st_dev == mtl.st_dev &&
      in.st_ino == mtl.st_ino)
    return usageError("OUT's MTL file would be IN itself: %s", path.c_str());
  return kExitDone;
}

// Whether the model's extent (as obxDimensions measures it) is not 0 on
// every axis: fitting and planar mapping divide by it.
// Files from this size on show how far their read is, on stderr.
const long long kProgressBytes = 100ll << 20;

// Reads path with flags, with a progress line for a large file.
ObxModel* readModel(const char* path, unsigned flags) {
  ObxReadOptions options = {};
  options.flags = flags;
  struct stat status;
  if (stat(path, &status) == 0 && status.st_size >= kProgressBytes) {
    options.progress = [](uint64_t done, uint64_t total, void* name) {
      fprintf(stderr, "\robxtool: reading %s: %3d%%", static_cast<const char*>(name),
              int(total ? 100 * done / total : 100));
      if (done >= total) fputc('\n', stderr);
      return 0;
    };
    options.context = const_cast<char*>(path);
  }
  return obxReadOBJWithOptions(path, &options);
}

bool hasSize(ObxModel* model) {
  if (model->numvertices == 0) return false;
  float size[3];
  obxDimensions(model, size);
  return size[0] > 0 || size[1] > 0 || size[2] > 0;
}

int convert(const ConvertOptions& o) {
  ObxModel* model = readModel(o.in, OBX_READ_LENIENT);
  // Welding first lets every later step see the merged vertices; fitting
  // and flipping only move positions and corner order; normals come before
  // the texture coordinates because the sphere map reads them.
  if (o.weld) obxMergeVertices(model, o.epsilon);
  // Checked after welding, which can merge a model into one point.
  if ((o.fit || o.planar) && !hasSize(model)) {
    fprintf(stderr, "obxtool: %s needs a model of some size; %s has none%s\n",
            o.fit ? "--fit" : "--planar", o.in, o.weld ? " once welded" : "");
    obxDeleteModel(model);
    return kExitFailure;
  }
  if (o.fit) obxFitToUnitCube(model);
  if (o.flip) obxFlipWinding(model);
  if (o.normals) {
    obxComputeFacetNormals(model);  // welding moved corners
    obxVertexNormals(model, o.angle, GL_FALSE);
  }
  if (o.planar) obxPlanarTexcoords(model);
  if (o.sphere) {
    if (!model->normals || model->numnormals == 0) {
      fprintf(stderr, "obxtool: --sphere needs vertex normals; %s has none (add --normals)\n",
              o.in);
      obxDeleteModel(model);
      return kExitFailure;
    }
    obxSphereTexcoords(model);
  }

  GLuint mode = o.mode;
  if (!o.modeGiven) {
    if (model->numnormals) mode |= OBX_SMOOTH;
    if (model->numtexcoords) mode |= OBX_TEXTURE;
    if (model->materials) mode |= OBX_MATERIAL;
  }
  // The MTL is written beside OUT under OUT's name, never over IN's own.
  if ((mode & OBX_MATERIAL) && model->materials) {
    if (int status = checkMtlName(o)) {
      obxDeleteModel(model);
      return status;
    }
    free(model->mtllibname);
    model->mtllibname = obxCopyString(mtlNameFor(o.out).c_str());
  }
  obxWriteOBJ(model, o.out, mode);
  obxDeleteModel(model);
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  obxTextureUpload = GL_FALSE;
  for (int i = 1; i < argc; i++)
    if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
      fputs(kUsage, stdout);
      return kExitDone;
    }
  if (argc < 2) return usageError("%s", "no command given");

  if (!strcmp(argv[1], "info")) {
    const bool strict = argc == 4 && !strcmp(argv[2], "--strict");
    if (argc != 3 + strict) return usageError("%s", "info takes [--strict] and one FILE");
    ObxModel* model = readModel(argv[argc - 1], strict ? 0u : OBX_READ_LENIENT);
    printInfo(model);
    obxDeleteModel(model);
    return kExitDone;
  }
  if (!strcmp(argv[1], "convert")) {
    ConvertOptions options;
    int status = parseConvert(argc - 2, argv + 2, &options);
    return status != kExitDone ? status : convert(options);
  }
  return usageError("unknown command \"%s\"", argv[1]);
}
