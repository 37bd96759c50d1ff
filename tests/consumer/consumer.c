/* A program built against an installed obx: reads the model named on the
 * command line without a display and prints its counts on one line. */
#include <obx/obx.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: consumer FILE.obj\n");
    return 2;
  }
  obxTextureUpload = GL_FALSE; /* no context here: textures by name only */
  ObxModel* model = obxReadOBJ(argv[1]);
  printf("vertices %u triangles %u groups %u materials %u textures %u texture-id %u\n",
         model->numvertices, model->numtriangles, model->numgroups, model->nummaterials,
         model->numtextures, model->numtextures ? model->textures[0].id : 0u);
  obxDeleteModel(model);
  return 0;
}
