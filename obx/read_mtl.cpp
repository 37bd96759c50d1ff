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
  const ObxInput* input;       // the file, for line numbers
  bool fill;                   // second pass: store and warn
  bool lenient;                // unknown statements warn rather than fail
  unsigned told;               // unknown statements warned of
  uint64_t count;              // materials counted ("default" included)
  uint32_t shared;             // materials before these: the model's, not this read's
  bool toldShared;             // that material 0 takes no maps from this library
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
  memset(material, 0, sizeof *material);
  const float diffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f};
  const float ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  const float specular[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  memcpy(material->diffuse, diffuse, sizeof diffuse);
  memcpy(material->ambient, ambient, sizeof ambient);
  memcpy(material->specular, specular, sizeof specular);
  material->shininess = 65.0f;
  material->map_diffuse = -1;
}

// newmtl: the trimmed rest of the line names the next material, blanks
// inside included (exporters write "newmtl my red"). "default" is the
// built-in material 0: naming it makes 0 current again, as before the
// first newmtl, so a library that defines its own default (a writer that
// writes every material does) gets no second one, and "usemtl default"
// gives the library's values.
static void obxMtlNewMaterial(ObxMtlReader* reader) {
  obxMtlReadLine(reader, OBX_TOKEN_MAX);
  // Without a name the material gets the empty one: every counted
  // material needs one.
  obxTrimInPlace(reader->line);
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

// A copy of text, failing when memory runs out.
static char* obxMtlCopy(const ObxMtlReader* reader, const std::string& text) {
  char* copy = obxCopyString(text.c_str());
  if (!copy) obxFailOutOfMemory("obxReadMTL", reader->filename);
  return copy;
}

// The options in front of a map's file name, parsed into map (which holds
// the defaults); returns the file name, the trimmed rest. An option that
// is not one, or lacks its values, begins the name.
static std::string obxParseMap(const char* line, ObxMap* map, std::string* type,
                               std::string* colorspace) {
  const char* p = line;
  auto blank = [](char c) { return obxIsSpace((unsigned char)c); };
  auto word = [&](const char** at) {
    while (blank(**at)) ++*at;
    const char* start = *at;
    while (**at && !blank(**at)) ++*at;
    return std::string(start, size_t(*at - start));
  };
  auto number = [&](const char** at, float* value) {
    const char* q = *at;
    while (blank(*q)) q++;
    char* end = NULL;
    const float read = strtof(q, &end);
    if (end == q || (*end && !blank(*end))) return false;
    *value = read;
    *at = end;
    return true;
  };
  for (;;) {
    const char* before = p;
    const std::string option = word(&p);
    struct Vector {
      const char* name;
      uint32_t bit;
      float* values;
    } const vectors[] = {{"-s", OBX_MAP_SCALE, map->scale},
                         {"-o", OBX_MAP_ORIGIN, map->origin},
                         {"-t", OBX_MAP_TURBULENCE, map->turbulence}};
    struct Switch {
      const char* name;
      uint32_t bit;
      GLboolean* value;
    } const switches[] = {{"-clamp", OBX_MAP_CLAMP, &map->clamp},
                          {"-blendu", OBX_MAP_BLENDU, &map->blendu},
                          {"-blendv", OBX_MAP_BLENDV, &map->blendv},
                          {"-cc", OBX_MAP_CC, &map->colorcorrect}};
    bool known = false;
    for (const Vector& v : vectors)
      if (option == v.name && number(&p, &v.values[0])) {
        // Up to three values; those not given keep the first's default.
        for (int k = 1; k < 3 && number(&p, &v.values[k]); k++) {
        }
        map->options |= v.bit;
        known = true;
      }
    for (const Switch& sw : switches) {
      if (option != sw.name) continue;
      const char* q = p;
      const std::string value = word(&q);
      if (value != "on" && value != "off") continue;
      *sw.value = value == "on";
      map->options |= sw.bit;
      p = q;
      known = true;
    }
    if ((option == "-bm" && number(&p, &map->bumpmultiplier)) ||
        (option == "-boost" && number(&p, &map->boost))) {
      map->options |= option == "-bm" ? OBX_MAP_BUMP : OBX_MAP_BOOST;
      known = true;
    }
    float texres;
    if (option == "-texres" && number(&p, &texres) && texres >= 0 && texres <= 65536) {
      map->texres = int32_t(texres);
      map->options |= OBX_MAP_TEXRES;
      known = true;
    }
    if (option == "-mm" && number(&p, &map->base)) {
      (void)number(&p, &map->gain);
      map->options |= OBX_MAP_RANGE;
      known = true;
    }
    if (option == "-imfchan" || option == "-type" || option == "-colorspace") {
      const char* q = p;
      const std::string value = word(&q);
      if (!value.empty() && (option != "-imfchan" || value.size() == 1)) {
        if (option == "-imfchan") map->imfchan = value[0], map->options |= OBX_MAP_IMFCHAN;
        if (option == "-type") *type = value, map->options |= OBX_MAP_TYPE;
        if (option == "-colorspace") *colorspace = value, map->options |= OBX_MAP_COLORSPACE;
        p = q;
        known = true;
      }
    }
    if (!known) {
      p = before;
      break;
    }
  }
  std::string name = p;
  static const char kBlanks[] = " \t\n\v\f\r";
  const size_t first = name.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  return name.substr(first, name.find_last_not_of(kBlanks) - first + 1);
}

// A map statement (map_..., bump, disp, decal, norm; refl reads its line
// itself): options, then the trimmed rest of the line is the file name.
// Every map is kept with its options; map_Kd also sets map_diffuse.
static void obxMtlMapLine(ObxMtlReader* reader, size_t length, bool warn) {
  if (!reader->fill) return;
  ObxMap map = {};
  map.texture = -1;
  for (int k = 0; k < 3; k++) map.scale[k] = 1.0f;
  map.bumpmultiplier = map.gain = 1.0f;
  map.blendu = map.blendv = GL_TRUE;
  std::string type, colorspace;
  const std::string name = obxParseMap(reader->line, &map, &type, &colorspace);
  const bool diffuse = obxKeywordIs(reader->token, length, "map_Kd");
  if (warn && !diffuse) {
    char* text = obxTrimCopy(reader->line);
    if (!text && reader->line[strspn(reader->line, " \t\n\r")] != '\0')
      obxFailOutOfMemory("obxReadMTL", reader->filename);
    obxWarn("map %s %s ignored", reader->token, text ? text : "");
    free(text);
  }
  if (diffuse && name.empty())
    obxWarn("obxReadMTL: map_Kd without a file name in file \"%s\" ignored", reader->filename);
  if (!name.empty()) map.texture = obxTextureByName(reader->model, name.c_str());
  ObxMaterial* material = &reader->materials[reader->current];
  // Nothing to look up without a file name; the material keeps its map.
  if (diffuse && map.texture >= 0) material->map_diffuse = map.texture;
  // The model's own material 0, which a later library's first statements
  // change, keeps the maps it has: they are the model's, not this read's.
  if (reader->current < reader->shared) {
    if (!reader->toldShared)
      obxWarn("obxReadMTL: maps of the default material in \"%s\" are not kept", reader->filename);
    reader->toldShared = true;
    return;
  }
  ObxMap* maps = static_cast<ObxMap*>(
      realloc(material->maps, sizeof(ObxMap) * (size_t(material->nummaps) + 1)));
  if (!maps) obxFailOutOfMemory("obxReadMTL", reader->filename);
  material->maps = maps;
  ObxMap* kept = &maps[material->nummaps];
  *kept = map;
  kept->keyword = kept->type = kept->colorspace = NULL;
  material->nummaps++;  // from here on freed with the material
  kept->keyword = obxMtlCopy(reader, reader->token);
  if (map.options & OBX_MAP_TYPE) kept->type = obxMtlCopy(reader, type);
  if (map.options & OBX_MAP_COLORSPACE) kept->colorspace = obxMtlCopy(reader, colorspace);
}

// A statement the reader does not know, kept by name with its line.
static void obxMtlParameter(ObxMtlReader* reader) {
  ObxMaterial* material = &reader->materials[reader->current];
  if (reader->current < reader->shared) return;  // as its maps
  ObxParameter* parameters = static_cast<ObxParameter*>(
      realloc(material->parameters, sizeof(ObxParameter) * (size_t(material->numparameters) + 1)));
  if (!parameters) obxFailOutOfMemory("obxReadMTL", reader->filename);
  material->parameters = parameters;
  ObxParameter* kept = &parameters[material->numparameters];
  kept->name = kept->value = NULL;
  material->numparameters++;  // from here on freed with the material
  kept->name = obxMtlCopy(reader, reader->token);
  obxTrimInPlace(reader->line);
  kept->value = obxMtlCopy(reader, reader->line);
}

static void obxMtlMap(ObxMtlReader* reader, size_t length) {
  obxMtlReadLine(reader, OBX_MAP_LINE_MAX);
  // map_aat switches antialiasing: no image, a value as it was written.
  if (strcmp(reader->token, "map_aat") != 0) return obxMtlMapLine(reader, length, true);
  if (!reader->fill) return;
  char* text = obxTrimCopy(reader->line);
  obxWarn("map %s %s ignored", reader->token, text ? text : "");
  free(text);
  obxMtlParameter(reader);
}

// Up to count numbers of the line read into values (one is a grey when
// count is 3); false without any.
static bool obxMtlNumbers(const ObxMtlReader* reader, int count, float* values) {
  const char* p = reader->line;
  int got = 0;
  for (char* end; got < count; got++, p = end) {
    values[got] = strtof(p, &end);
    if (end == p) break;
  }
  if (got == 1 && count == 3) values[1] = values[2] = values[0];
  return got > 0;
}

// The line at, for messages, counted in the file (continued lines count).
static unsigned long long obxMtlLine(const ObxMtlReader* reader, const char* at) {
  return (unsigned long long)reader->input->lineAt(uint64_t(at - reader->input->data));
}

// A keyword whose first letter promises word: fatal when reading strictly,
// else a warning.
static void obxMtlUnknown(ObxMtlReader* reader, const char* at, const char* word) {
  if (!reader->lenient)
    obxFail("obxReadMTL: Got \"%s\" instead of \"%s\" at line %llu of \"%s\"", reader->token, word,
            obxMtlLine(reader, at), reader->filename);
  // Each warning reads the file up to its line: a few are told.
  if (reader->fill && reader->told++ < 16)
    obxWarn("obxReadMTL: unknown statement \"%s\" at line %llu of \"%s\" ignored", reader->token,
            obxMtlLine(reader, at), reader->filename);
}

// A statement of no letter's case: Tr, Tf, a PBR value, or one the reader
// does not know (kept as text); its line is read either way.
static void obxMtlOther(ObxMtlReader* reader) {
  obxMtlReadLine(reader, OBX_TOKEN_MAX);
  if (!reader->fill) return;
  const char* keyword = reader->token;
  ObxMaterial* material = &reader->materials[reader->current];
  const char* const* pbr = std::find_if(kObxPbrKeywords, kObxPbrKeywords + 7,
                                        [&](const char* name) { return !strcmp(name, keyword); });
  float tr;
  if (strcmp(keyword, "Tr") == 0) {
    // Transparency, where the library gives no opacity (d wins).
    if (obxMtlNumbers(reader, 1, &tr) && !(material->has & OBX_HAS_OPACITY))
      material->diffuse[3] = 1.0f - tr;
  } else if (strcmp(keyword, "Tf") == 0) {
    if (obxMtlNumbers(reader, 3, material->filter)) material->has |= OBX_HAS_FILTER;
  } else if (pbr != kObxPbrKeywords + 7) {
    const ptrdiff_t k = pbr - kObxPbrKeywords;
    if (obxMtlNumbers(reader, 1, &material->pbr[k])) material->has |= OBX_HAS_PBR(k);
  } else if (isalpha(static_cast<unsigned char>(keyword[0]))) {
    obxMtlParameter(reader);
  }
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
        // norm is a map (a normal map): skipped with the maps' warning.
        if (length == 4 && memcmp(token, "norm", 4) == 0) {
          obxMtlMap(reader, length);
        } else if (obxKeywordIs(token, length, "newmtl")) {
          obxMtlNewMaterial(reader);
        } else {
          obxMtlUnknown(reader, token, "newmtl");
          obxMtlReadLine(reader, OBX_TOKEN_MAX);
        }
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
          // One value is a grey: "Kd 0.5" is (0.5, 0.5, 0.5).
          if (obxScanFloats(scan, 3, color) == 1) color[1] = color[2] = color[0];
        } else {
          // Kept, and still told: drawing does not use it.
          if (fill) obxWarn("obxReadMTL: Command \"%s\" ignored", keyword);
          obxMtlReadLine(reader, OBX_TOKEN_MAX);
          if (fill && strcmp(keyword, "Ke") == 0 && obxMtlNumbers(reader, 3, material->emission))
            material->has |= OBX_HAS_EMISSION;
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
          if (fill && strcmp(keyword, "Ni") == 0 && obxMtlNumbers(reader, 1, &material->ior))
            material->has |= OBX_HAS_IOR;
        }
        break;
      case 'd':
        if (strcmp(keyword, "disp") == 0 || strcmp(keyword, "decal") == 0) {
          obxMtlReadLine(reader, OBX_MAP_LINE_MAX);
          obxMtlMapLine(reader, length, false);
          break;
        }
        // Without a number the alpha stays what it was.
        if (obxScanFloat(scan, &value) == 1 && fill) {
          material->diffuse[3] = value;
          material->has |= OBX_HAS_OPACITY;
        }
        break;
      case 'b':
        if (strcmp(keyword, "bump") != 0) {
          obxMtlOther(reader);
          break;
        }
        obxMtlReadLine(reader, OBX_MAP_LINE_MAX);
        obxMtlMapLine(reader, length, false);
        break;
      case 'i': {
        const bool known = obxKeywordIs(token, length, "illum");
        if (!known && reader->lenient) {
          obxMtlUnknown(reader, token, "illum");
          obxMtlReadLine(reader, OBX_TOKEN_MAX);
          break;
        }
        if (!known && fill) obxMtlUnknown(reader, token, "illum");
        // "%d" keeps the low 32 bits of what strtol gives.
        int64_t illum = 0;
        if (obxScanInt(scan, &illum) == 1 && fill) {
          material->illum = int32_t(uint64_t(illum));
          material->has |= OBX_HAS_ILLUM;
          if (material->illum != 2) obxWarn("illum material ignored: illum %d", material->illum);
        }
        break;
      }
      case 'm': obxMtlMap(reader, length); break;
      case 'r':
        obxMtlReadLine(reader, OBX_TOKEN_MAX);
        if (fill) obxWarn("reflection type ignored: r%s", reader->line);
        if (strcmp(keyword, "refl") == 0) obxMtlMapLine(reader, length, false);
        break;
      default:  // "#", "Tr", "Tf", the PBR values, numbers, anything else
        obxMtlOther(reader);
        break;
    }
  }
}

// A material table being read, freed with the names it owns (from entry
// owned on) unless it is taken.
struct ObxMaterialTable {
  ObxMaterial* materials = NULL;
  uint32_t count = 0, owned = 0;
  ~ObxMaterialTable() {
    for (uint32_t i = owned; i < count && materials; i++) obxFreeMaterial(&materials[i]);
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
      obxDeleteTextureId(model->textures[i].id);
    }
    model->numtextures = count;
  }
};

std::string obxFileBeside(const ObxModel* model, const char* name) {
  const ObxBlock<char> directory(obxDirectoryOf(model->path));
  if (!directory) throw std::bad_alloc();
  std::string path = directory.get() + std::string(name);
  if (!strchr(name, '\\') || obxFileExists(path.c_str())) return path;
  std::string slashed = name;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  slashed = directory.get() + slashed;
  return obxFileExists(slashed.c_str()) ? slashed : path;
}

bool obxReadLibrary(ObxModel* model, const char* name, bool append, bool lenient) {
  const std::string path = obxFileBeside(model, name);
  const char* filename = path.c_str();
  ObxInput file;
  const ObxOpenResult opened = obxLoadFile(filename, &file);
  if (opened == OBX_OPEN_NO_MEMORY) obxFailOutOfMemory("obxReadMTL", filename);
  if (opened == OBX_OPEN_FAILED && lenient) {
    obxWarn("obxReadMTL: can't open material file \"%s\": %s; its materials are not read", filename,
            file.why);
    return false;
  }
  if (opened == OBX_OPEN_FAILED)
    obxFail("obxReadMTL() failed: can't open material file \"%s\": %s.", filename, file.why);

  // On the heap: the reader holds a 260-byte line buffer besides the token.
  const ObxBlock<ObxMtlReader> state(static_cast<ObxMtlReader*>(calloc(1, sizeof(ObxMtlReader))));
  if (!state) obxFailOutOfMemory("obxReadMTL", filename);
  ObxMtlReader* reader = state.get();
  reader->model = model;
  reader->filename = filename;
  reader->lenient = lenient;
  // Appended, the library's materials follow the model's, and what it says
  // before its first newmtl changes the shared material 0.
  const uint32_t kept = append && model->nummaterials > 0 ? model->nummaterials : 0;
  reader->count = std::max<uint32_t>(kept, 1);  // "default" included
  reader->shared = kept;
  reader->input = &file;
  const char* start;
  try {
    start = obxTextStart(&file, "obxReadMTL() failed: can't read material file", filename);
  } catch (const ObxError& error) {
    if (!lenient) throw;
    obxWarn("%s Its materials are not read.", error.what());
    return false;
  }
  reader->scan = {start, file.end};
  obxMtlPass(reader);
  if (reader->count > UINT32_MAX) obxFail("obxReadMTL: too many materials in \"%s\"", filename);

  // The new table is filled aside: the model keeps its old one, and its
  // textures, until every statement has been read. Kept entries are
  // copies whose names stay the model's.
  ObxMaterialTable table;
  table.materials = static_cast<ObxMaterial*>(malloc(sizeof(ObxMaterial) * size_t(reader->count)));
  if (!table.materials) obxFailOutOfMemory("obxReadMTL", filename);
  table.count = uint32_t(reader->count);
  table.owned = kept;
  if (kept) memcpy(table.materials, model->materials, sizeof(ObxMaterial) * kept);
  for (uint32_t i = kept; i < table.count; i++) obxSetMaterialDefaults(&table.materials[i]);
  if (!kept) {
    table.materials[0].name = obxCopyString("default");
    if (!table.materials[0].name) obxFailOutOfMemory("obxReadMTL", filename);
  }

  ObxTextureMark mark = {model, model->numtextures};
  reader->materials = table.materials;
  reader->fill = true;
  reader->current = 0;
  reader->last = std::max<uint32_t>(kept, 1) - 1;
  reader->scan = {start, file.end};
  obxMtlPass(reader);
  OBX_ASSERT(reader->last + 1 == table.count);

  // Replaced, the old table goes with its names; appended, only the old
  // array goes, its names now the new table's.
  std::swap(model->materials, table.materials);
  std::swap(model->nummaterials, table.count);
  table.owned = append ? table.count : 0;
  mark.kept = true;
  return true;
}

void obxReadMTL(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->path);
  OBX_ASSERT(name != NULL);
  obxCall([=] { obxReadLibrary(model, name, false, false); });
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

// Here in the core, which reads them, rather than in texture.cpp.
GLboolean obxTextureUpload = GL_TRUE;
thread_local bool obxToldNoContext = false;

static int32_t obxAddTexture(ObxModel* model, const char* name);

int32_t obxTextureByName(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  OBX_ASSERT(name != NULL);
  for (uint32_t i = 0; i < model->numtextures; i++)
    if (strcmp(model->textures[i].name, name) == 0) return int32_t(i);
  return obxCall([=] { return obxAddTexture(model, name); });
}

static int32_t obxAddTexture(ObxModel* model, const char* name) {
  const std::string found = obxFileBeside(model, name);
  const char* path = found.c_str();
  if (model->numtextures >= uint32_t(INT32_MAX)) obxFailOutOfMemory("obxTextureByName", name);
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
  // Without uploads (or without the GL part) the image is not even opened:
  // its pixels would only feed the upload, and the scales stay those of a
  // loaded texture.
  if (obxTextureUpload && &obxGlHooks)
    texture->id = obxGlHooks.loadTexture(path, &texture->width, &texture->height);
  return int32_t(model->numtextures - 1);
}
