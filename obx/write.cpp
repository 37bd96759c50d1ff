// obx writer: OBJ and MTL output.
#include "internal.h"

#include <atomic>

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

// ---- Files replaced whole ----------------------------------------------

// A file being written. A regular file (or a path where none is yet) gets
// its bytes in a temporary file beside it, renamed over it only when all
// of them were written and closed: a full disk or any other failure
// leaves the old file as it was. Anything else (a device, a pipe) cannot
// be replaced and is written in place.
struct ObxOutput {
  FILE* file;
  char* target;     // what is replaced: the path, or where its link points
  char* temporary;  // NULL when written in place
  const char* function;
  char* shown;  // the path as the caller gave it, for messages

  // An output that is let go before it is put in place leaves nothing.
  ~ObxOutput() {
    if (file) fclose(file);
    if (temporary) unlink(temporary);
    free(temporary);
    free(target);
    free(shown);
  }
};
using ObxOutputOwner = std::unique_ptr<ObxOutput>;

static ObxOutputOwner obxOpenInPlace(ObxOutputOwner output) {
  output->file = fopen(output->shown, "w");
  if (!output->file)
    obxFail("%s failed: can't open file \"%s\" to write: %s.", output->function, output->shown,
            strerror(errno));
  return output;
}

// Opens path for writing; fatal when it cannot.
static ObxOutputOwner obxOpenOutput(const char* function, const char* path) {
  ObxOutputOwner output(new (std::nothrow) ObxOutput());
  if (!output) obxFail("%s failed: out of memory writing \"%s\".", function, path);
  output->function = function;
  output->shown = obxCopyString(path);
  if (!output->shown) obxFail("%s failed: out of memory writing \"%s\".", function, path);
  struct stat status;
  const bool exists = stat(path, &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) return obxOpenInPlace(std::move(output));
  // Through a symbolic link, the file it names is replaced, not the link.
  output->target = exists ? realpath(path, NULL) : obxCopyString(path);
  if (!output->target) obxFail("%s failed: out of memory writing \"%s\".", function, path);
  const size_t room = strlen(output->target) + 48;
  output->temporary = static_cast<char*>(malloc(room));
  if (!output->temporary) obxFail("%s failed: out of memory writing \"%s\".", function, path);
  // The name only has to be new: O_EXCL makes sure it is, and the
  // creation mode lets the umask apply as it would to the file itself.
  static std::atomic<unsigned> serial{0};
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
    snprintf(output->temporary, room, "%s.obx-%ld-%u", output->target, long(getpid()),
             serial.fetch_add(1, std::memory_order_relaxed));
    fd = open(output->temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    free(output->temporary);
    output->temporary = NULL;  // not made: nothing to remove
    // A file the caller may write in a folder it may not: written in place
    // as before, since nothing else can be done with it.
    if (exists && (error == EACCES || error == EPERM) && access(path, W_OK) == 0)
      return obxOpenInPlace(std::move(output));
    obxFail("%s failed: can't open file \"%s\" to write: %s.", function, path, strerror(error));
  }
  if (exists) (void)fchmod(fd, status.st_mode & 07777);  // a copy of a file keeps its mode
  output->file = fdopen(fd, "w");
  if (!output->file) {
    close(fd);
    obxFail("%s failed: out of memory writing \"%s\".", function, path);
  }
  return output;
}

// Fatal when a write to output failed so far.
static void obxCheckOutput(ObxOutput* output) {
  if (ferror(output->file))
    obxFail("%s failed: can't write file \"%s\": %s.", output->function, output->shown,
            strerror(errno ? errno : EIO));
}

// Writes out and closes output; fatal when any of it failed, with the
// first failure's reason.
static void obxCloseOutput(ObxOutput* output) {
  int error = 0;
  if (ferror(output->file) || fflush(output->file) != 0) error = errno ? errno : EIO;
  if (fclose(output->file) != 0 && error == 0) error = errno ? errno : EIO;
  output->file = NULL;
  if (error)
    obxFail("%s failed: can't write file \"%s\": %s.", output->function, output->shown,
            strerror(error));
}

// Puts a closed output in place of its target and lets it go.
static void obxCommitOutput(ObxOutputOwner output) {
  if (output->temporary && rename(output->temporary, output->target) != 0)
    obxFail("%s failed: can't replace file \"%s\": %s.", output->function, output->shown,
            strerror(errno));
  free(output->temporary);
  output->temporary = NULL;
}

// ---- Numbers ----------------------------------------------------------------

// Whether text reads back as value (bit for bit, NaN as NaN).
static bool obxReadsBackAs(const char* text, float value) {
  float back;
  const std::from_chars_result result = std::from_chars(text, text + strlen(text), back);
  if (result.ec != std::errc()) return false;
  return std::isnan(value) ? std::isnan(back) : memcmp(&back, &value, sizeof back) == 0;
}

// Writes " value": "%f" when that reads back as the same float, which is
// nearly always so and keeps files as they were; otherwise the shortest
// text that does (small values such as 1e-7, which six decimals lose).
static void obxPutNumber(FILE* file, float value) {
  char text[64];
  snprintf(text, sizeof text, "%f", double(value));
  if (!obxReadsBackAs(text, value)) {
    const std::to_chars_result result = std::to_chars(text, text + sizeof text - 1, value);
    *result.ptr = '\0';
  }
  fputc(' ', file);
  fputs(text, file);
}

// Writes "keyword" and count numbers on a line.
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
    back /= 100.0;
    back *= 128.0;
    return std::isnan(shininess) ? std::isnan(back) : back == shininess;
  };
  char text[64];
  snprintf(text, sizeof text, "%f", ns);
  if (!readsBack(text)) {
    // The float nearest the value, or one of its neighbours: the two
    // steps round twice.
    const float nearest = float(ns);
    const float up = std::nextafter(nearest, FLT_MAX), down = std::nextafter(nearest, -FLT_MAX);
    const float candidates[5] = {nearest, up, down, std::nextafter(up, FLT_MAX),
                                 std::nextafter(down, -FLT_MAX)};
    bool found = false;
    for (int i = 0; i < 5 && !found; i++) {
      const std::to_chars_result result = std::to_chars(text, text + sizeof text - 1, candidates[i]);
      *result.ptr = '\0';
      found = readsBack(text);
    }
    if (!found) snprintf(text, sizeof text, "%f", ns);
  }
  fprintf(file, "Ns %s\n", text);
}

// ---- MTL ------------------------------------------------------------------

// Writes the materials to a closed output, not yet in place.
static ObxOutputOwner obxWriteMaterials(ObxModel* model, const char* modelpath,
                                        const char* mtllibname) {
  const ObxBlock<char> dir(obxDirectoryOf(modelpath));
  const ObxBlock<char> path(dir ? obxJoin(dir.get(), mtllibname) : NULL);
  if (!path) obxFail("obxWriteMTL() failed: out of memory writing \"%s\".", mtllibname);
  ObxOutputOwner output = obxOpenOutput("obxWriteMTL()", path.get());
  FILE* file = output->file;
  fprintf(file, "#  \n#  Wavefront MTL generated by OBX library\n#  \n#  OBX library\n");
  for (const char* line : kObxHeaderCredits) fprintf(file, "%s\n", line);
  fprintf(file, "#  \n\n");
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
    if (m->map_diffuse >= 0 && uint32_t(m->map_diffuse) < model->numtextures)
      fprintf(file, "map_Kd %s\n", model->textures[m->map_diffuse].name);
    fprintf(file, "\n");
  }
  obxCloseOutput(output.get());
  return output;
}

void obxWriteMTL(ObxModel* model, const char* modelpath, const char* mtllibname) {
  OBX_ASSERT(model);
  OBX_ASSERT(modelpath != NULL && mtllibname != NULL);
  obxCall([=] { obxCommitOutput(obxWriteMaterials(model, modelpath, mtllibname)); });
}

// One triangle as a face line. An attribute goes out only when every corner
// has one: a corner without it is written without it ("none" is no index a
// reader could take back; -1 would read as the last element), and a face's
// items all have one form.
static void obxWriteFace(FILE* file, const ObxTriangle* t, GLuint mode) {
  bool texture = (mode & OBX_TEXTURE) != 0, normal = (mode & (OBX_SMOOTH | OBX_FLAT)) != 0;
  uint32_t normals[3];
  for (int j = 0; j < 3; j++) {
    normals[j] = (mode & OBX_SMOOTH) ? t->nindices[j] : t->findex;
    texture = texture && t->tindices[j] != OBX_NO_INDEX;
    normal = normal && normals[j] != OBX_NO_INDEX;
  }
  fputc('f', file);
  for (int j = 0; j < 3; j++) {
    fprintf(file, " %u", t->vindices[j]);
    if (texture) fprintf(file, "/%u", t->tindices[j]);
    if (normal) fprintf(file, texture ? "/%u" : "//%u", normals[j]);
  }
  fputc('\n', file);
}

// Writes the triangles of group with the usemtl statements that give each
// triangle, and the group, back the materials they have. A reader takes a
// triangle's material from the last usemtl before it (carried across
// groups; *current is that one, 0 before any) and gives a group the first
// non-zero material among its triangles' and the usemtl statements after
// its first triangle.
static void obxWriteGroupFaces(FILE* file, const ObxModel* model, const ObxGroup* group,
                               GLuint mode, uint32_t* current) {
  // Triangle materials go out in every mode, the group's only with
  // OBX_MATERIAL.
  auto use = [&](uint32_t material) {
    if (material == *current || material >= model->nummaterials) return;
    fprintf(file, "usemtl %s\n", model->materials[material].name);
    *current = material;
  };
  uint32_t first = 0;
  for (uint32_t i = 0; i < group->numtriangles && first == 0; i++)
    first = model->triangles[group->triangles[i]].material;
  // A group whose triangles start with material 0 and that has a material
  // of its own (from a usemtl between them) gets it after its first one.
  const bool own = (mode & OBX_MATERIAL) && group->material != 0 && first != group->material;
  for (uint32_t i = 0; i < group->numtriangles; i++) {
    const ObxTriangle* t = &model->triangles[group->triangles[i]];
    use(t->material);
    obxWriteFace(file, t, mode);
    if (i == 0 && own) use(group->material);
  }
}

static void obxWriteModel(ObxModel* model, const char* filename, GLuint mode);

void obxWriteOBJ(ObxModel* model, const char* filename, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(filename != NULL);
  obxCall([=] { obxWriteModel(model, filename, mode); });
}

static void obxWriteModel(ObxModel* model, const char* filename, GLuint mode) {
  mode = obxFixMode(model, mode, kObxWriteWarnings);
  ObxOutputOwner output = obxOpenOutput("obxWriteOBJ()", filename);
  FILE* file = output->file;
  fprintf(file, "#  \n#  Wavefront OBJ generated by OBX library\n#  \n#  OBX library\n");
  for (const char* line : kObxHeaderCredits) fprintf(file, "%s\n", line);
  fprintf(file, "#  \n");

  // The MTL file is written (not yet put in place) before the OBJ file's
  // bulk: both are replaced only when both were written.
  ObxOutputOwner library;
  if ((mode & OBX_MATERIAL) && model->mtllibname) {
    fprintf(file, "\nmtllib %s\n\n", model->mtllibname);
    library = obxWriteMaterials(model, filename, model->mtllibname);
  }

  fprintf(file, "\n# %d vertices\n", int(model->numvertices));
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* p = &model->vertices[3 * size_t(i)];
    obxPutNumbers(file, "v", p, 3);
  }
  obxCheckOutput(output.get());
  if (mode & OBX_SMOOTH) {
    fprintf(file, "\n# %u normals\n", model->numnormals);
    for (uint32_t i = 1; i <= model->numnormals; i++) {
      const float* n = &model->normals[3 * size_t(i)];
      obxPutNumbers(file, "vn", n, 3);
    }
  } else if (mode & OBX_FLAT) {
    fprintf(file, "\n# %d normals\n", int(model->numfacetnorms));
    for (uint32_t i = 1; i <= model->numfacetnorms; i++) {
      const float* n = &model->facetnorms[3 * size_t(i)];
      obxPutNumbers(file, "vn", n, 3);
    }
  }
  if (mode & OBX_TEXTURE) {
    fprintf(file, "\n# %d texcoords\n", int(model->numtexcoords));
    for (uint32_t i = 1; i <= model->numtexcoords; i++) {
      const float* t = &model->texcoords[2 * size_t(i)];
      obxPutNumbers(file, "vt", t, 2);
    }
  }
  obxCheckOutput(output.get());
  fprintf(file, "\n# %d groups\n# %d faces (triangles)\n\n", int(model->numgroups),
          int(model->numtriangles));

  // The list runs newest first with "default" last. A reader makes groups
  // in the order the file names them, so they go out oldest first, and
  // "default", the group a file starts in, first and without a "g" line
  // (one would read back as a second group " default").
  const ObxBlock<const ObxGroup*> owned(
      static_cast<const ObxGroup**>(malloc(sizeof(ObxGroup*) * (size_t(model->numgroups) + 1))));
  if (!owned) obxFail("obxWriteOBJ() failed: out of memory writing \"%s\".", filename);
  const ObxGroup** order = owned.get();
  size_t count = 0;
  for (const ObxGroup* group = model->groups; group; group = group->next) {
    OBX_ASSERT(count < size_t(model->numgroups));
    order[count++] = group;
  }
  uint32_t material = 0;
  while (count > 0) {
    const ObxGroup* group = order[--count];
    const bool builtIn = group->next == NULL && strcmp(group->name, "default") == 0;
    if (builtIn && group->numtriangles == 0) continue;
    if (!builtIn) {
      // A name read from a file keeps the blank after "g"; writing another
      // blank before it would grow the name by one on every read and write.
      const bool blank = group->name[0] == ' ' || group->name[0] == '\t';
      fprintf(file, blank ? "g%s\n" : "g %s\n", group->name);
    }
    obxWriteGroupFaces(file, model, group, mode, &material);
    fprintf(file, "\n");
    obxCheckOutput(output.get());
  }
  obxCloseOutput(output.get());
  if (library) obxCommitOutput(std::move(library));
  obxCommitOutput(std::move(output));
}

namespace {
struct ObxWriteCall {
  ObxModel* model;
  const char* filename;
  GLuint mode;
};
}  // namespace

int obxTryWriteOBJ(ObxModel* model, const char* filename, GLuint mode, char* message,
                   size_t size) {
  ObxWriteCall call = {model, filename, mode};
  auto write = [](void* context) {
    ObxWriteCall* c = static_cast<ObxWriteCall*>(context);
    obxWriteOBJ(c->model, c->filename, c->mode);
  };
  return obxTry(write, &call, message, size);
}
