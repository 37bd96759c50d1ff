// A C++ program built against obx's core alone, as on a machine without GL:
// reads the model named on the command line with texture uploads left on
// (the core has none to make, so the map stays a name) and prints the same
// line as consumer.c.
#include <obx/obx.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: core FILE.obj\n");
    return 2;
  }
  ObxModel* model = obxReadOBJ(argv[1]);
  obxVertexNormals(model, 90.0f, GL_FALSE);  // GL's names, from obx.h alone
  const GLuint id = model->numtextures ? model->textures[0].id : 0u;
  std::printf("vertices %u triangles %u groups %u materials %u textures %u texture-id %u\n",
              model->numvertices, model->numtriangles, model->numgroups, model->nummaterials,
              model->numtextures, id);
  obxDeleteModel(model);
  return 0;
}
