// Fuzz target: an OBJ file and the MTL library it names. The input is the
// OBJ text, a separator line "=====", and the MTL text; the OBJ gets an
// mtllib statement naming the MTL in front. The reader must read both as
// the two-pass reference reader (tests/reference_reader.cpp) does: the same
// model and material table, or the same fatal message, and the same
// warnings.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "fuzz/reference.h"

static const char kSeparator[] = "\n=====\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find(kSeparator);
  std::string obj = "mtllib scene.mtl\n" + input.substr(0, split);
  std::string mtl = split == std::string::npos ? "" : input.substr(split + strlen(kSeparator));
  fuzz::writeFile("scene.mtl", mtl.data(), mtl.size());
  const std::string path = fuzz::writeFile("scene.obj", obj.data(), obj.size());

  const fuzz::Reading library = fuzz::readWithLibrary(path);
  const fuzz::Reading reference = fuzz::readWithReference(path);
  if (!fuzz::sameReading(library, reference) ||
      (library.model && !fuzz::sameMaterials(library.model, reference.model)))
    fuzz::reportDifference("fuzz_obj_mtl", library, reference);
  if (reference.model) obxDeleteModel(reference.model);
  ObxModel* model = library.model;
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
