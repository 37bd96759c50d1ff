// obx model records: a model's release and its groups.
#include "internal.h"

void obxFreeMaterial(ObxMaterial* material) {
  free(material->name);
  for (uint32_t i = 0; material->maps && i < material->nummaps; i++) {
    free(material->maps[i].keyword);
    free(material->maps[i].type);
    free(material->maps[i].colorspace);
  }
  free(material->maps);
  for (uint32_t i = 0; material->parameters && i < material->numparameters; i++) {
    free(material->parameters[i].name);
    free(material->parameters[i].value);
  }
  free(material->parameters);
}

void obxDeleteModel(ObxModel* model) {
  OBX_ASSERT(model);
  free(model->path);
  free(model->mtllibname);
  free(model->vertices);
  free(model->normals);
  free(model->texcoords);
  free(model->facetnorms);
  free(model->triangles);
  for (uint32_t i = 0; model->materials && i < model->nummaterials; i++)
    obxFreeMaterial(&model->materials[i]);
  free(model->materials);
  for (uint32_t i = 0; model->textures && i < model->numtextures; i++) {
    free(model->textures[i].name);
    // Textures read without uploads have id 0 and no context to talk to.
    obxDeleteTextureId(model->textures[i].id);
  }
  free(model->textures);
  free(model->colors);
  free(model->texcoordw);
  free(model->smoothing);
  for (uint32_t i = 0; model->objects && i < model->numobjects; i++) free(model->objects[i].name);
  free(model->objects);
  free(model->polygons);
  free(model->elements);
  free(model->elementindices);
  while (model->groups) {
    ObxGroup* group = model->groups;
    model->groups = group->next;
    free(group->name);
    free(group->triangles);
    free(group);
  }
  free(model);
}

// ---- Groups ----------------------------------------------------------------

ObxGroup* obxLookupGroup(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  for (ObxGroup* group = model->groups; group; group = group->next)
    if (strcmp(group->name, name) == 0) return group;
  return NULL;
}

ObxGroup* obxNewGroup(ObxModel* model, const char* name) {
  ObxBlock<ObxGroup> group(static_cast<ObxGroup*>(malloc(sizeof(ObxGroup))));
  char* copy = group ? obxCopyString(name) : NULL;
  if (!copy) return NULL;
  *group = {copy, 0, NULL, 0, model->groups};
  model->groups = group.release();
  model->numgroups++;
  return model->groups;
}

// Returns NULL, with the list unchanged, when memory runs out.
ObxGroup* obxEnsureGroup(ObxModel* model, const char* name) {
  OBX_ASSERT(model);
  ObxGroup* group = obxLookupGroup(model, name);
  return group ? group : obxNewGroup(model, name);
}
