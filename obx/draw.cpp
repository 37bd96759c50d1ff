// obx drawing: immediate-mode drawing, display lists and the GL error report.
#include "internal.h"

#include <GL/glu.h>

// Material and texture tracking of one drawing pass.
struct ObxDrawState {
  int64_t material;                  // current material index, -1 before the first
  int32_t texture;                   // current texture index, -1 for none
  bool materialDirty, textureDirty;  // to be set before the next triangle
  bool transparent;                  // the current material is drawn in pass 1
  bool anyTransparent;               // some material of the call is transparent
};

static void obxTrackMaterial(const ObxModel* model, ObxDrawState* state, uint32_t index) {
  OBX_ASSERT(index < model->nummaterials);
  const ObxMaterial* material = &model->materials[index];
  state->material = index;
  state->transparent = material->diffuse[3] < 1.0f;  // NaN counts as opaque
  state->anyTransparent = state->anyTransparent || state->transparent;
  state->materialDirty = true;
  state->textureDirty = state->textureDirty || material->map_diffuse != state->texture;
  state->texture = material->map_diffuse;
}

static const char* const kObxDrawWarnings[7] = {
    "obxDraw() warning: flat render mode requested with no facet normals defined.",
    "obxDraw() warning: smooth render mode requested with no normals defined.",
    "obxDraw() warning: texture render mode requested with no texture coordinates defined.",
    "obxDraw() warning: flat render mode requested and smooth render mode requested (using "
    "smooth).",
    "obxDraw() warning: color render mode requested with no materials defined.",
    "obxDraw() warning: material render mode requested with no materials defined.",
    "obxDraw() warning: color and material render mode requested using only material mode.",
};

void obxDraw(ObxModel* model, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  mode = obxFixMode(model, mode, kObxDrawWarnings);

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
  // Vertex colours stand in for the material's diffuse colour.
  const float* colors = (mode & OBX_COLOR) ? model->colors : NULL;

  ObxDrawState state = {};
  for (int pass = 0; pass < 2; pass++) {
    state = {-1, -1, false, false, false, state.anyTransparent};
    for (ObxGroup* group = model->groups; group; group = group->next) {
      if (tracking) obxTrackMaterial(model, &state, group->material);
      // The bracket opens at the group's first drawn triangle, after its
      // material and texture are set, and closes around later material
      // changes: material calls inside glBegin/glEnd turn into per-vertex
      // attributes in common drivers and slow the whole bracket down. A
      // group with nothing to draw still issues its empty pair.
      bool open = false;
      auto close = [&open] {
        if (open) glEnd();
        open = false;
      };
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
            close();
            OBX_ASSERT(state.texture == -1 ||
                       (state.texture >= 0 && state.texture < int64_t(model->numtextures)));
            glBindTexture(obxTextureTarget,
                          state.texture == -1 ? 0 : model->textures[state.texture].id);
          }
          if (mode & OBX_MATERIAL) {
            close();
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, material->ambient);
            glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material->diffuse);
            glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, material->specular);
            // GL takes 0..128 only and keeps the last value for others;
            // files often say more (Ns above 100).
            glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS,
                        std::isnan(material->shininess)
                            ? 0.0f
                            : std::min(std::max(material->shininess, 0.0f), 128.0f));
          }
          if ((mode & OBX_COLOR) && !colors) glColor3fv(material->diffuse);
        }
        if (!open) glBegin(GL_TRIANGLES);
        open = true;
        if (flat) {
          OBX_ASSERT(triangle->findex >= 1 && triangle->findex <= model->numfacetnorms);
          glNormal3fv(&model->facetnorms[3 * size_t(triangle->findex)]);
        }
        for (int j = 0; j < 3; j++) {
          if (smooth && triangle->nindices[j] != OBX_NO_INDEX) {
            OBX_ASSERT(triangle->nindices[j] >= 1 && triangle->nindices[j] <= model->numnormals);
            glNormal3fv(&model->normals[3 * size_t(triangle->nindices[j])]);
          }
          if (textured && triangle->tindices[j] != OBX_NO_INDEX && state.texture != -1) {
            OBX_ASSERT(triangle->tindices[j] >= 1 && triangle->tindices[j] <= model->numtexcoords);
            const ObxTexture* texture = &model->textures[state.texture];
            const float* uv = &model->texcoords[2 * size_t(triangle->tindices[j])];
            glTexCoord2f(uv[0] * texture->width, uv[1] * texture->height);
          }
          OBX_ASSERT(triangle->vindices[j] >= 1 && triangle->vindices[j] <= model->numvertices);
          if (colors) glColor3fv(&colors[3 * size_t(triangle->vindices[j])]);
          glVertex3fv(&model->vertices[3 * size_t(triangle->vindices[j])]);
        }
      }
      if (!open) glBegin(GL_TRIANGLES);
      glEnd();
    }
    // Lines and points once, with the opaque triangles, in the state they
    // left.
    for (uint32_t e = 0; pass == 0 && e < model->numelements; e++) {
      const ObxElement& element = model->elements[e];
      glBegin(element.type == 'l' ? GL_LINE_STRIP : GL_POINTS);
      for (uint32_t i = 0; i < element.count; i++) {
        const uint32_t v = model->elementindices[2 * (size_t(element.first) + i)];
        OBX_ASSERT(v >= 1 && v <= model->numvertices);
        if (colors) glColor3fv(&colors[3 * size_t(v)]);
        glVertex3fv(&model->vertices[3 * size_t(v)]);
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

void obxLogGlErrors(void) {
  for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
    obxWarn("GL error: %s", reinterpret_cast<const char*>(gluErrorString(error)));
}
