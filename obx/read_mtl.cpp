// obx MTL reader: material tables, material and texture lookup by name.
#include "internal.h"

// State of one obxReadMTL. Both passes walk the file through the same
// statement code, so they cannot disagree on where statements begin: the
// counting pass consumes exactly what the filling pass reads, it only keeps
// nothing and stays silent.
struct ObxMtlReader {
  ObxModel* model;
  ObxMaterial* materials;  // the new table, the model's only once all of it is read
  const char* filename;    // directory of the model joined with the name, for messages
  ObxScanner scan;
  const char* text;            // the file's first byte, for line numbers
  bool fill;                   // second pass: store and warn
  uint64_t count;              // materials counted ("default" included)
  uint32_t current;            // material the statements change
  uint32_t last;               // last material given a name
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
// "default" is the built-in material 0: naming it makes 0 current again,
// as before the first newmtl, so a library that defines its own default
// (a writer that writes every material does) gets no second one, and
// "usemtl default" gives the library's values.
static void obxMtlNewMaterial(ObxMtlReader* reader) {
  obxMtlReadLine(reader, OBX_TOKEN_MAX);
  // Without a word the material gets the empty name: every counted material
  // needs one, and only the first word of a name is kept.
  obxFirstWord(reader->line);
  const bool builtIn = strcmp(reader->line, "default") == 0;
  if (!reader->fill) {
    reader->count += !builtIn;
    return;
  }
  if (builtIn) {
    reader->current = 0;
    return;
  }
  reader->current = ++reader->last;
  OBX_ASSERT(reader->current < reader->count);
  ObxMaterial* material = &reader->materials[reader->current];
  material->name = obxCopyString(reader->line);
  if (!material->name) obxFailOutOfMemory("obxReadMTL", reader->filename);
}

// map_*: the whole trimmed rest of the line is the file name.
static void obxMtlMap(ObxMtlReader* reader, size_t length) {
  obxMtlReadLine(reader, OBX_MAP_LINE_MAX);
  if (!reader->fill) return;
  char* name = obxTrimCopy(reader->line);
  // NULL also when memory ran out: then the line has more than blanks.
  if (!name && reader->line[strspn(reader->line, " \t\n\r")] != '\0')
    obxFailOutOfMemory("obxReadMTL", reader->filename);
  const ObxBlock<char> owned(name);
  if (obxKeywordIs(reader->token, length, "map_Kd")) {
    // Nothing to look up without a file name; the material keeps its map.
    if (!name)
      obxWarn("obxReadMTL: map_Kd without a file name in file \"%s\" ignored", reader->filename);
    else
      reader->materials[reader->current].map_diffuse = obxTextureByName(reader->model, name);
  } else {
    obxWarn("map %s %s ignored", reader->token, name ? name : "");
  }
}

// The line at, for messages: libraries are small and fail once.
static unsigned long long obxMtlLine(const ObxMtlReader* reader, const char* at) {
  return 1 + (unsigned long long)std::count(reader->text, at, '\n');
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
    ObxMaterial* material = fill ? &reader->materials[reader->current] : NULL;
    float value;
    switch (keyword[0]) {
      case 'n':
        if (!obxKeywordIs(token, length, "newmtl"))
          obxFail("obxReadMTL: Got \"%s\" instead of \"newmtl\" at line %llu of \"%s\"", keyword,
                  obxMtlLine(reader, token), reader->filename);
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
          obxScanFloats(scan, 3, color);
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
          if (obxScanFloat(scan, &value) == 1 && fill) {
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
        if (obxScanFloat(scan, &value) == 1 && fill) material->diffuse[3] = value;
        break;
      case 'i': {
        if (fill && !obxKeywordIs(token, length, "illum"))
          obxFail("obxReadMTL: Got \"%s\" instead of \"illum\" at line %llu of \"%s\"", keyword,
                  obxMtlLine(reader, token), reader->filename);
        // "%d" keeps the low 32 bits of what strtol gives.
        int64_t illum = 0;
        if (obxScanInt(scan, &illum) == 1 && fill && int32_t(uint64_t(illum)) != 2)
          obxWarn("illum material ignored: illum %d", int32_t(uint64_t(illum)));
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

// A material table being read, freed with its names unless it is taken.
struct ObxMaterialTable {
  ObxMaterial* materials = NULL;
  uint32_t count = 0;
  ~ObxMaterialTable() {
    for (uint32_t i = 0; i < count && materials; i++) free(materials[i].name);
    free(materials);
  }
};

// Textures that a failed read added go again, so that the model is as it
// was before the call.
struct ObxTextureMark {
  ObxModel* model;
  uint32_t count;
  bool kept = false;
  ~ObxTextureMark() {
    if (kept) return;
    for (uint32_t i = count; i < model->numtextures; i++) {
      free(model->textures[i].name);
      if (model->textures[i].id) glDeleteTextures(1, &model->textures[i].id);
    }
    model->numtextures = count;
  }
};

static void obxReadLibrary(ObxModel* model, const char* name) {
  const ObxBlock<char> directory(obxDirectoryOf(model->path));
  const ObxBlock<char> joined(directory ? obxJoin(directory.get(), name) : NULL);
  if (!joined) obxFailOutOfMemory("obxReadMTL", name);
  const char* filename = joined.get();

  ObxInput file;
  const ObxOpenResult opened = obxLoadFile(filename, &file);
  if (opened == OBX_OPEN_FAILED)
    obxFail("obxReadMTL() failed: can't open material file \"%s\": %s.", filename, file.why);
  if (opened == OBX_OPEN_NO_MEMORY) obxFailOutOfMemory("obxReadMTL", filename);

  // On the heap: the reader holds a 260-byte line buffer besides the token.
  const ObxBlock<ObxMtlReader> state(static_cast<ObxMtlReader*>(calloc(1, sizeof(ObxMtlReader))));
  if (!state) obxFailOutOfMemory("obxReadMTL", filename);
  ObxMtlReader* reader = state.get();
  reader->model = model;
  reader->filename = filename;
  reader->count = 1;  // "default"
  reader->text = file.data;
  reader->scan = {file.data, file.end};
  obxMtlPass(reader);
  if (reader->count > UINT32_MAX) obxFail("obxReadMTL: too many materials in \"%s\"", filename);

  // The new table is filled aside: the model keeps its old one, and its
  // textures, until every statement has been read.
  ObxMaterialTable table;
  table.materials = static_cast<ObxMaterial*>(malloc(sizeof(ObxMaterial) * size_t(reader->count)));
  if (!table.materials) obxFailOutOfMemory("obxReadMTL", filename);
  table.count = uint32_t(reader->count);
  for (uint32_t i = 0; i < table.count; i++) obxSetMaterialDefaults(&table.materials[i]);
  table.materials[0].name = obxCopyString("default");
  if (!table.materials[0].name) obxFailOutOfMemory("obxReadMTL", filename);

  ObxTextureMark mark = {model, model->numtextures};
  reader->materials = table.materials;
  reader->fill = true;
  reader->current = 0;
  reader->last = 0;
  reader->scan = {file.data, file.end};
  obxMtlPass(reader);
  OBX_ASSERT(reader->last + 1 == table.count);

  // A table from an earlier mtllib statement of the same file is dropped.
  std::swap(model->materials, table.materials);
  std::swap(model->nummaterials, table.count);
  mark.kept = true;
}

void obxReadMTL(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->path);
  OBX_ASSERT(name != NULL);
  obxCall([=] { obxReadLibrary(model, name); });
}

void obxWarnNoMaterial(const char* name) {
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

  const ObxBlock<char> directory(obxDirectoryOf(model->path));
  const ObxBlock<char> path(directory ? obxJoin(directory.get(), name) : NULL);
  if (!path || model->numtextures >= uint32_t(INT32_MAX))
    obxFailOutOfMemory("obxTextureByName", name);
  ObxTexture* textures = static_cast<ObxTexture*>(
      realloc(model->textures, sizeof(ObxTexture) * (size_t(model->numtextures) + 1)));
  if (!textures) obxFailOutOfMemory("obxTextureByName", path.get());
  model->textures = textures;
  ObxTexture* texture = &textures[model->numtextures];
  texture->name = obxCopyString(name);
  if (!texture->name) obxFailOutOfMemory("obxTextureByName", path.get());
  // A failed load writes no scales; 1.0 is what every loaded texture gets.
  texture->width = 1.0f;
  texture->height = 1.0f;
  texture->id = 0;
  model->numtextures++;
  // Without uploads the image is not even opened: its pixels would only
  // feed the upload, and the scales stay those of a loaded texture.
  if (obxTextureUpload)
    texture->id = obxLoadTexture(path.get(), GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE, &texture->width,
                                 &texture->height);
  return int32_t(model->numtextures - 1);
}
