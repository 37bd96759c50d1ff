/* obx reading a model that is not a file: the OBJ text and the material
 * library it names are in memory (say, unpacked from an archive), the
 * library given by an opener; progress is told as the read goes. */
#include <obx/obx.h>
#include <stdio.h>
#include <string.h>

static const char kObj[] =
    "mtllib square.mtl\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
    "usemtl red\nf 1 2 3 4\n";
static const char kMtl[] = "newmtl red\nKd 1 0 0\n";

/* The files the model names, by their path beside the model's name. */
static int open_file(const char* path, const void** data, size_t* size, void* context) {
  (void)context;
  if (strcmp(path, "archive/square.mtl") != 0) return 0;
  *data = kMtl;
  *size = sizeof kMtl - 1;
  return 1;
}

static int progress(uint64_t done, uint64_t total, void* context) {
  (void)done;
  (void)total;
  ++*(int*)context;
  return 0; /* non-zero cancels the read */
}

int main(void) {
  char message[512];
  int told = 0;
  ObxReadOptions options = {0};
  options.open = open_file;
  options.progress = progress;
  options.context = &told; /* passed to both */
  ObxModel* model = obxTryReadOBJFromMemory("archive/square.obj", kObj, sizeof kObj - 1,
                                            &options, message, sizeof message);
  if (!model) {
    fprintf(stderr, "can't read: %s\n", message);
    return 1;
  }
  printf("%u triangles, material %s, progress told %d times\n", model->numtriangles,
         model->materials[model->triangles[0].material].name, told);
  obxDeleteModel(model);
  return 0;
}
