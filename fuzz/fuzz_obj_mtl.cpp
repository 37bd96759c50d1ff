// Fuzz target: an OBJ file and the MTL library it names. The input is the
// OBJ text, a separator line "=====", and the MTL text; the OBJ gets an
// mtllib statement naming the MTL in front.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/harness.h"

extern bool obxReaderFastPaths;  // obx/obx.cpp; not in the header

static const char kSeparator[] = "\n=====\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find(kSeparator);
  std::string obj = "mtllib scene.mtl\n" + input.substr(0, split);
  std::string mtl = split == std::string::npos ? "" : input.substr(split + strlen(kSeparator));
  fuzz::writeFile("scene.mtl", mtl.data(), mtl.size());
  const std::string path = fuzz::writeFile("scene.obj", obj.data(), obj.size());

  // With the fast paths the reader may store the triangles while counting;
  // whether it may depends on the library, so both ways must agree here too.
  ObxModel* model = NULL;
  if (setjmp(fuzz::fatalReturn) == 0) model = obxReadOBJ(path.c_str());
  obxReaderFastPaths = false;
  ObxModel* exact = NULL;
  if (setjmp(fuzz::fatalReturn) == 0) exact = obxReadOBJ(path.c_str());
  obxReaderFastPaths = true;
  if ((model == NULL) != (exact == NULL) || (model && !fuzz::sameModel(model, exact))) {
    fprintf(stderr, "fuzz_obj_mtl: the fast and the exact reading differ\n");
    abort();
  }
  if (exact) obxDeleteModel(exact);
  if (!model) return 0;
  // Every material the reader made has a name, and every triangle's and
  // group's material lies in the table.
  for (uint32_t i = 0; i < model->nummaterials; i++)
    if (!model->materials[i].name) abort();
  const uint32_t materials = model->nummaterials ? model->nummaterials : 1;
  for (uint32_t i = 0; i < model->numtriangles; i++)
    if (model->triangles[i].material >= materials) abort();
  for (const ObxGroup* g = model->groups; g; g = g->next)
    if (g->material >= materials) abort();
  obxDeleteModel(model);
  return 0;
}
