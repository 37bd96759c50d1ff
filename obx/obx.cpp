// obx: the model library. See obx.h for the records and conventions.
#include "obx.h"

#include <GL/glu.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void obxFail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal Error: ", format, args);
  va_end(args);
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
      glDeleteTextures(1, &model->textures[i].id);
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

// ==== SECTION: MTL reader and material lookup ==============================

// ==== SECTION: facet and vertex normals ====================================

// ==== SECTION: texture images ==============================================

GLboolean obxTextureLimitsPending = GL_TRUE;
GLenum obxTextureTarget = GL_TEXTURE_2D;
GLint obxMaxTextureSize = 0;
GLboolean obxGenerateMipmap = GL_FALSE;

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

// The fix-ups of the requested mode, each with its warning, in this order.
static GLuint obxDrawMode(const ObxModel* model, GLuint mode) {
  if ((mode & OBX_FLAT) && !model->facetnorms) {
    obxWarn("obxDraw() warning: flat render mode requested with no facet normals defined.");
    mode &= ~OBX_FLAT;
  }
  if ((mode & OBX_SMOOTH) && !model->normals) {
    obxWarn("obxDraw() warning: smooth render mode requested with no normals defined.");
    mode &= ~OBX_SMOOTH;
  }
  if ((mode & OBX_TEXTURE) && !model->texcoords) {
    obxWarn(
        "obxDraw() warning: texture render mode requested with no texture coordinates "
        "defined.");
    mode &= ~OBX_TEXTURE;
  }
  if ((mode & OBX_FLAT) && (mode & OBX_SMOOTH)) {
    obxWarn(
        "obxDraw() warning: flat render mode requested and smooth render mode requested "
        "(using smooth).");
    mode &= ~OBX_FLAT;
  }
  if ((mode & OBX_COLOR) && !model->materials) {
    obxWarn("obxDraw() warning: color render mode requested with no materials defined.");
    mode &= ~OBX_COLOR;
  }
  if ((mode & OBX_MATERIAL) && !model->materials) {
    obxWarn("obxDraw() warning: material render mode requested with no materials defined.");
    mode &= ~OBX_MATERIAL;
  }
  if ((mode & OBX_COLOR) && (mode & OBX_MATERIAL)) {
    obxWarn(
        "obxDraw() warning: color and material render mode requested using only material "
        "mode.");
    mode &= ~OBX_COLOR;
  }
  return mode;
}

void obxDraw(ObxModel* model, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  mode = obxDrawMode(model, mode);

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
      glBegin(GL_TRIANGLES);
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
            glEnd();
            if (state.texture == -1) {
              glBindTexture(obxTextureTarget, 0);
            } else {
              int32_t map_diffuse = state.texture;
              OBX_ASSERT(map_diffuse >= 0 && map_diffuse < (int64_t)model->numtextures);
              glBindTexture(obxTextureTarget, model->textures[map_diffuse].id);
            }
            glBegin(GL_TRIANGLES);
          }
          if (mode & OBX_MATERIAL) {
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, material->ambient);
            glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material->diffuse);
            glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, material->specular);
            glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, material->shininess);
          }
          if (mode & OBX_COLOR) glColor3fv(material->diffuse);
        }
        if (flat) glNormal3fv(&facetnorms[3 * triangle->findex]);
        for (int j = 0; j < 3; j++) {
          if (smooth && triangle->nindices[j] != OBX_NO_INDEX) {
            OBX_ASSERT(triangle->nindices[j] >= 1 && triangle->nindices[j] <= model->numnormals);
            glNormal3fv(&normals[3 * size_t(triangle->nindices[j])]);
          }
          if (textured && triangle->tindices[j] != OBX_NO_INDEX && state.texture != -1) {
            OBX_ASSERT(triangle->tindices[j] >= 1 &&
                       triangle->tindices[j] <= model->numtexcoords);
            const ObxTexture* texture = &model->textures[state.texture];
            const float* uv = &texcoords[2 * size_t(triangle->tindices[j])];
            glTexCoord2f(uv[0] * texture->width, uv[1] * texture->height);
          }
          OBX_ASSERT(triangle->vindices[j] >= 1 && triangle->vindices[j] <= model->numvertices);
          glVertex3fv(&vertices[3 * size_t(triangle->vindices[j])]);
        }
      }
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
