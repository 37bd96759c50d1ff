/* obx in a program that must go on after a bad file: reads IN, computes
 * smooth normals and writes OUT, reporting failures and warnings itself. */
#include <obx/obx.h>
#include <stdio.h>

static void collect(const char* message, void* context) {
  ++*(int*)context;
  fprintf(stderr, "warning: %s\n", message);
}

static void smooth(void* model) { obxVertexNormals(model, 90.0f, GL_FALSE); }

int main(int argc, char** argv) {
  char message[512];
  int warnings = 0;
  if (argc != 3) return 2;
  obxTextureUpload = GL_FALSE;           /* no GL context: textures by name */
  obxSetWarningSink(collect, &warnings); /* this thread's warnings */
  ObxModel* model = obxTryReadOBJ(argv[1], message, sizeof message);
  if (!model) {
    fprintf(stderr, "can't read: %s\n", message);
    return 1;
  }
  /* Any obx call can go through obxTry; the writer has its own. */
  if (!obxTry(smooth, model, message, sizeof message) ||
      !obxTryWriteOBJ(model, argv[2], OBX_SMOOTH | OBX_MATERIAL, message, sizeof message)) {
    fprintf(stderr, "failed: %s\n", message);
    obxDeleteModel(model);
    return 1;
  }
  printf("%u triangles, %d warnings\n", model->numtriangles, warnings);
  obxDeleteModel(model);
  return 0;
}
