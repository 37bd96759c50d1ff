// The Python module obx: reads models with the library and shows its arrays to numpy in place.
//
// Positions, normals, texture coordinates, colours, facet normals and smoothing groups are views
// of the model's own malloc'd blocks (the library's 1-based arrays from element 1 on), kept alive
// by the model. What numpy users want 0-based (corner indices, per-triangle group, object and
// material, lines and points) is converted once, on first use, into arrays of their own.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "obx/obx.h"

namespace py = pybind11;

namespace {

// Room for a failure's message; the library cuts longer ones to fit.
const size_t kObxMessageSize = 1024;
// The crease angle vertex_normals takes when none is given: the demo's own.
const float kObxDefaultCreaseAngle = 90.0f;
// The values of ObxMaterial.pbr, in the order the header gives them.
const char* const kObxPbrNames[7] = {"Pr", "Pm", "Ps", "Pc", "Pcr", "aniso", "anisor"};

// A failure the library reported; becomes obx.Error with its message.
struct ObxPythonError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

PyObject* warningCategory = nullptr;  // obx.Warning

// Collects the warnings of one call on this thread, to be issued as Python warnings once the
// call is over and the GIL is held again. The library's sink is the thread's, so reads on
// other threads collect their own.
class WarningCollector {
 public:
  WarningCollector() { obxSetWarningSink(&collect, this); }
  ~WarningCollector() { obxSetWarningSink(nullptr, nullptr); }
  WarningCollector(const WarningCollector&) = delete;
  WarningCollector& operator=(const WarningCollector&) = delete;

  // Issues what was collected; a filter that turns warnings into errors raises here.
  void issue() {
    std::vector<std::string> messages;
    messages.swap(messages_);
    for (const std::string& message : messages)
      if (PyErr_WarnEx(warningCategory, message.c_str(), 2) < 0) throw py::error_already_set();
  }

 private:
  static void collect(const char* message, void* context) {
    static_cast<WarningCollector*>(context)->messages_.emplace_back(message);
  }
  std::vector<std::string> messages_;
};

// Runs operation through obxTry, so that a fatal error comes back as obx.Error instead of
// ending the process.
template <class Operation>
void obxCall(Operation operation) {
  char message[kObxMessageSize];
  auto run = [](void* context) { (*static_cast<Operation*>(context))(); };
  if (!obxTry(run, &operation, message, sizeof message)) throw ObxPythonError(message);
}

// What numpy arrays point into: the model, and the blocks a rebuild took out of it while arrays
// still showed them. Shared by the Model and every view's base object.
struct Owner {
  ObxModel* model;
  std::vector<void*> retired;

  explicit Owner(ObxModel* m) : model(m) {}
  ~Owner() {
    obxDeleteModel(model);
    for (void* block : retired) free(block);
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
};

std::string trimmed(const char* text) {
  if (!text) return std::string();
  std::string s(text);
  const char* blanks = " \t\r\n";
  size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// 1-based index (or OBX_NO_INDEX) to 0-based (or -1).
inline int32_t zeroBased(uint32_t index) { return index == OBX_NO_INDEX ? -1 : int32_t(index - 1); }

// The file name of a str, bytes or path-like object, as the system takes it (os.fsencode).
// In C: no Python code runs between a read's call and its start.
std::string fileName(const py::object& file) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(file.ptr(), &encoded)) throw py::error_already_set();
  py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
  return bytes.cast<std::string>();
}

class Model {
 public:
  explicit Model(ObxModel* model) : owner_(std::make_shared<Owner>(model)) {}

  ObxModel* raw() const { return owner_->model; }

  // ---- Views of the model's blocks ----

  py::object positions() const { return view(raw()->vertices, raw()->numvertices, 3); }
  py::object normals() const { return view(raw()->normals, raw()->numnormals, 3); }
  py::object texcoords() const { return view(raw()->texcoords, raw()->numtexcoords, 2); }
  py::object facetNormals() const { return view(raw()->facetnorms, raw()->numfacetnorms, 3); }
  py::object colors() const {
    if (!raw()->colors) return py::none();
    return view(raw()->colors, raw()->numvertices, 3);
  }
  py::object texcoordW() const {
    if (!raw()->texcoordw) return py::none();
    return py::array(py::dtype::of<float>(), {size_t(raw()->numtexcoords)}, {sizeof(float)},
                     raw()->texcoordw + 1, base());
  }
  py::object smoothing() const {
    const size_t n = raw()->numtriangles;
    if (!raw()->smoothing) return filled(n);
    return py::array(py::dtype::of<uint32_t>(), {n}, {sizeof(uint32_t)}, raw()->smoothing, base());
  }

  // ---- Converted arrays, cached until the model changes ----

  py::object triangles() { return corners(&cachedVertices_, &ObxTriangle::vindices); }
  py::object triangleNormals() { return corners(&cachedNormals_, &ObxTriangle::nindices); }
  py::object triangleTexcoords() { return corners(&cachedTexcoords_, &ObxTriangle::tindices); }

  // The material each triangle is drawn with: its own, or its group's where it has none (0).
  py::object material() {
    return perTriangle(&cachedMaterial_, 0, [](const ObxModel* m, int32_t* p) {
      for (uint32_t i = 0; i < m->numtriangles; i++) p[i] = int32_t(m->triangles[i].material);
      for (const ObxGroup* g = m->groups; g; g = g->next)
        for (uint32_t k = 0; k < g->numtriangles; k++)
          if (p[g->triangles[k]] == 0) p[g->triangles[k]] = int32_t(g->material);
    });
  }

  // Index into groups() of each triangle's group; -1 for one in none.
  py::object group() {
    return perTriangle(&cachedGroup_, -1, [](const ObxModel* m, int32_t* p) {
      // The list runs newest first; groups() lists them in file order.
      int32_t index = int32_t(m->numgroups) - 1;
      for (const ObxGroup* g = m->groups; g; g = g->next, index--)
        for (uint32_t k = 0; k < g->numtriangles; k++) p[g->triangles[k]] = index;
    });
  }

  // Index into objects() of each triangle's object; -1 before the first "o".
  py::object object() {
    return perTriangle(&cachedObject_, -1, [](const ObxModel* m, int32_t* p) {
      for (uint32_t o = 0; o < m->numobjects; o++) {
        uint32_t end = o + 1 < m->numobjects ? m->objects[o + 1].firsttriangle : m->numtriangles;
        for (uint32_t t = m->objects[o].firsttriangle; t < end && t < m->numtriangles; t++)
          p[t] = int32_t(o);
      }
    });
  }

  py::list groups() const {
    std::vector<const ObxGroup*> order;
    for (const ObxGroup* g = raw()->groups; g; g = g->next) order.push_back(g);
    py::list out;
    for (auto g = order.rbegin(); g != order.rend(); ++g) out.append(trimmed((*g)->name));
    return out;
  }
  py::list groupMaterials() const {
    std::vector<const ObxGroup*> order;
    for (const ObxGroup* g = raw()->groups; g; g = g->next) order.push_back(g);
    py::list out;
    for (auto g = order.rbegin(); g != order.rend(); ++g) out.append((*g)->material);
    return out;
  }
  py::list objects() const {
    py::list out;
    for (uint32_t o = 0; o < raw()->numobjects; o++) out.append(trimmed(raw()->objects[o].name));
    return out;
  }
  py::list textures() const {
    py::list out;
    for (uint32_t t = 0; t < raw()->numtextures; t++) out.append(raw()->textures[t].name);
    return out;
  }

  // Runs of polygons: first triangle, corners of each face, faces in the run.
  py::object polygons() const {
    const ObxModel* m = raw();
    py::array_t<uint32_t> out({size_t(m->numpolygons), size_t(3)});
    uint32_t* p = out.mutable_data();
    for (uint32_t i = 0; i < m->numpolygons; i++) {
      p[3 * i] = m->polygons[i].triangle;
      p[3 * i + 1] = m->polygons[i].numcorners;
      p[3 * i + 2] = m->polygons[i].numfaces;
    }
    return out;
  }

  py::list lines() const { return elements('l'); }
  py::list points() const { return elements('p'); }

  py::list materials() const;

  py::object path() const { return raw()->path ? py::str(raw()->path) : py::object(py::none()); }
  py::object mtllib() const {
    return raw()->mtllibname ? py::str(raw()->mtllibname) : py::object(py::none());
  }

  // ---- Operations ----

  void write(const py::object& file, bool normals, bool texcoords, bool materials) {
    const std::string path = fileName(file);
    const ObxModel* m = raw();
    // Only what the model has: the writer warns about every part it cannot serve.
    GLuint mode = OBX_NONE;
    if (normals && m->numnormals) mode |= OBX_SMOOTH;
    if (texcoords && m->numtexcoords) mode |= OBX_TEXTURE;
    if (materials && m->materials) mode |= OBX_MATERIAL;
    WarningCollector warnings;
    char message[kObxMessageSize];
    int written = obxTryWriteOBJ(raw(), path.c_str(), mode, message, sizeof message);
    warnings.issue();
    if (!written) throw ObxPythonError(message);
  }

  void vertexNormals(float angle, bool keep) {
    retire(&raw()->normals, 3 * (size_t(raw()->numnormals) + 1));
    change([&] { obxVertexNormals(raw(), angle, keep); });
  }

  void smoothingNormals(bool keep) {
    retire(&raw()->normals, 3 * (size_t(raw()->numnormals) + 1));
    change([&] { obxSmoothingGroupNormals(raw(), keep); });
  }

  void weld(float epsilon) {
    const size_t floats = 3 * (size_t(raw()->numvertices) + 1);
    retire(&raw()->vertices, floats);
    retire(&raw()->colors, floats);
    change([&] { obxMergeVertices(raw(), epsilon); });
  }

  float fit() {
    float scale = 0;
    change([&] { scale = obxFitToUnitCube(raw()); });
    return scale;
  }

 private:
  // The object a view keeps alive: a share of the owner.
  py::capsule base() const {
    return py::capsule(new std::shared_ptr<Owner>(owner_),
                       [](void* share) { delete static_cast<std::shared_ptr<Owner>*>(share); });
  }

  // count items of width floats from element 1 of a 1-based array.
  py::array view(float* block, uint32_t count, size_t width) const {
    if (!block || count == 0)
      return py::array(py::dtype::of<float>(), {size_t(0), width},
                       {width * sizeof(float), sizeof(float)});
    return py::array(py::dtype::of<float>(), {size_t(count), width},
                     {width * sizeof(float), sizeof(float)}, block + width, base());
  }

  // Caches a converted array, read-only: every access hands out the same object, which a
  // caller's in-place change must not alter for the next.
  static py::object keep(py::object* cache, py::array array) {
    array.attr("setflags")(py::arg("write") = false);
    return *cache = array;
  }

  // One value a triangle, starting at `initial`, set by fill and cached as keep does.
  template <typename Fill>
  py::object perTriangle(py::object* cache, int32_t initial, Fill fill) {
    if (*cache) return *cache;
    const ObxModel* m = raw();
    py::array_t<int32_t> out(size_t(m->numtriangles));
    std::fill(out.mutable_data(), out.mutable_data() + m->numtriangles, initial);
    fill(m, out.mutable_data());
    return keep(cache, out);
  }

  static py::array_t<uint32_t> filled(size_t n) {
    py::array_t<uint32_t> out(n);
    std::fill(out.mutable_data(), out.mutable_data() + n, 0u);
    return out;
  }

  py::object corners(py::object* cache, uint32_t (ObxTriangle::*field)[3]) {
    if (*cache) return *cache;
    const ObxModel* m = raw();
    py::array_t<int32_t> out({size_t(m->numtriangles), size_t(3)});
    int32_t* p = out.mutable_data();
    for (uint32_t i = 0; i < m->numtriangles; i++) {
      const uint32_t* c = m->triangles[i].*field;
      p[3 * size_t(i)] = zeroBased(c[0]);
      p[3 * size_t(i) + 1] = zeroBased(c[1]);
      p[3 * size_t(i) + 2] = zeroBased(c[2]);
    }
    return keep(cache, out);
  }

  // Each "l" or "p" of the kind: (items, 2) arrays of vertex and texture-coordinate indices,
  // 0-based, -1 for none.
  py::list elements(char type) const {
    const ObxModel* m = raw();
    py::list out;
    for (uint32_t e = 0; e < m->numelements; e++) {
      const ObxElement& element = m->elements[e];
      if (element.type != type) continue;
      py::array_t<int32_t> items({size_t(element.count), size_t(2)});
      int32_t* p = items.mutable_data();
      const uint32_t* source = &m->elementindices[2 * size_t(element.first)];
      for (size_t i = 0; i < 2 * size_t(element.count); i++) p[i] = zeroBased(source[i]);
      out.append(items);
    }
    return out;
  }

  // A rebuild frees or reallocates the block at *field. While views show it (someone else
  // holds a share of the owner), they keep the old block, which the owner frees at the end,
  // and the library gets a copy to work on.
  void retire(float** field, size_t floats) {
    if (!*field || owner_.use_count() == 1) return;
    float* copy = static_cast<float*>(malloc(floats * sizeof(float)));
    if (!copy) throw std::bad_alloc();
    memcpy(copy, *field, floats * sizeof(float));
    owner_->retired.push_back(*field);
    *field = copy;
  }

  // Runs an operation that changes the model; the converted arrays no longer hold.
  template <class Operation>
  void change(Operation operation) {
    WarningCollector warnings;
    cachedVertices_ = cachedNormals_ = cachedTexcoords_ = py::object();
    cachedMaterial_ = cachedGroup_ = cachedObject_ = py::object();
    try {
      obxCall(operation);
    } catch (const ObxPythonError&) {
      warnings.issue();
      throw;
    }
    warnings.issue();
  }

  std::shared_ptr<Owner> owner_;
  py::object cachedVertices_, cachedNormals_, cachedTexcoords_;
  py::object cachedMaterial_, cachedGroup_, cachedObject_;
};

py::object floats(const float* values, size_t count) {
  py::list out;
  for (size_t i = 0; i < count; i++) out.append(values[i]);
  return py::tuple(out);
}

// One map statement as a dict: keyword, file, and the options the line had.
py::dict mapDict(const ObxModel* m, const ObxMap& map) {
  py::dict d;
  d["keyword"] = map.keyword;
  d["file"] = map.texture >= 0 && uint32_t(map.texture) < m->numtextures
                  ? py::object(py::str(m->textures[map.texture].name))
                  : py::object(py::none());
  const uint32_t o = map.options;
  if (o & OBX_MAP_SCALE) d["scale"] = floats(map.scale, 3);
  if (o & OBX_MAP_ORIGIN) d["origin"] = floats(map.origin, 3);
  if (o & OBX_MAP_TURBULENCE) d["turbulence"] = floats(map.turbulence, 3);
  if (o & OBX_MAP_BUMP) d["bumpmultiplier"] = map.bumpmultiplier;
  if (o & OBX_MAP_RANGE) d["base"] = map.base, d["gain"] = map.gain;
  if (o & OBX_MAP_CLAMP) d["clamp"] = bool(map.clamp);
  if (o & OBX_MAP_BLENDU) d["blendu"] = bool(map.blendu);
  if (o & OBX_MAP_BLENDV) d["blendv"] = bool(map.blendv);
  if (o & OBX_MAP_BOOST) d["boost"] = map.boost;
  if (o & OBX_MAP_CC) d["colorcorrect"] = bool(map.colorcorrect);
  if (o & OBX_MAP_IMFCHAN) d["imfchan"] = std::string(1, map.imfchan);
  if (o & OBX_MAP_TEXRES) d["texres"] = map.texres;
  if ((o & OBX_MAP_TYPE) && map.type) d["type"] = map.type;
  if ((o & OBX_MAP_COLORSPACE) && map.colorspace) d["colorspace"] = map.colorspace;
  return d;
}

// Every material as a dict; the values a library may leave unset are None when it did.
py::list Model::materials() const {
  const ObxModel* m = raw();
  py::list out;
  for (uint32_t i = 0; m->materials && i < m->nummaterials; i++) {
    const ObxMaterial& material = m->materials[i];
    auto given = [&](uint32_t bit, py::object value) {
      return (material.has & bit) ? value : py::object(py::none());
    };
    py::dict d;
    d["name"] = material.name;
    d["diffuse"] = floats(material.diffuse, 4);
    d["ambient"] = floats(material.ambient, 4);
    d["specular"] = floats(material.specular, 4);
    d["shininess"] = material.shininess;
    d["map_diffuse"] = material.map_diffuse >= 0 && uint32_t(material.map_diffuse) < m->numtextures
                           ? py::object(py::str(m->textures[material.map_diffuse].name))
                           : py::object(py::none());
    d["emission"] = given(OBX_HAS_EMISSION, floats(material.emission, 3));
    d["filter"] = given(OBX_HAS_FILTER, floats(material.filter, 3));
    d["ior"] = given(OBX_HAS_IOR, py::float_(material.ior));
    d["illum"] = given(OBX_HAS_ILLUM, py::int_(material.illum));
    d["opacity"] = given(OBX_HAS_OPACITY, py::float_(material.diffuse[3]));
    py::dict pbr;
    for (int k = 0; k < 7; k++)
      if (material.has & OBX_HAS_PBR(k)) pbr[kObxPbrNames[k]] = material.pbr[k];
    d["pbr"] = pbr;
    py::list maps;
    for (uint32_t k = 0; material.maps && k < material.nummaps; k++)
      maps.append(mapDict(m, material.maps[k]));
    d["maps"] = maps;
    py::list parameters;
    for (uint32_t k = 0; material.parameters && k < material.numparameters; k++)
      parameters.append(
          py::make_tuple(material.parameters[k].name,
                         material.parameters[k].value ? material.parameters[k].value : ""));
    d["parameters"] = parameters;
    out.append(d);
  }
  return out;
}

// A source given as bytes (or any other buffer) is the file's contents; anything else is a path.
bool isContents(const py::object& source) {
  return !py::isinstance<py::str>(source) && PyObject_CheckBuffer(source.ptr());
}

Model readModel(const py::object& source, bool lenient, const std::string& name,
                unsigned threads) {
  ObxReadOptions options = {};
  options.flags = lenient ? OBX_READ_LENIENT : 0u;
  options.threads = threads;
  char message[kObxMessageSize];
  ObxModel* model = nullptr;
  WarningCollector warnings;
  if (isContents(source)) {
    Py_buffer buffer;
    if (PyObject_GetBuffer(source.ptr(), &buffer, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    {
      py::gil_scoped_release release;
      model = obxTryReadOBJFromMemory(name.c_str(), buffer.buf, size_t(buffer.len), &options,
                                      message, sizeof message);
    }
    PyBuffer_Release(&buffer);
  } else {
    const std::string path = fileName(source);
    py::gil_scoped_release release;
    model = obxTryReadOBJWithOptions(path.c_str(), &options, message, sizeof message);
  }
  if (!model) {
    warnings.issue();
    throw ObxPythonError(message);
  }
  Model result(model);
  warnings.issue();
  return result;
}

}  // namespace

PYBIND11_MODULE(obx, m) {
  m.doc() = "Wavefront OBJ/MTL models read by the obx library, as numpy arrays.";

  // Python has no GL context to upload into: maps are kept by name.
  obxTextureUpload = GL_FALSE;

  static py::exception<ObxPythonError> error(m, "Error");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ObxPythonError& e) {
      PyErr_SetString(error.ptr(), e.what());
    }
  });
  warningCategory = PyErr_NewException("obx.Warning", PyExc_UserWarning, nullptr);
  m.attr("Warning") = py::handle(warningCategory);

  py::class_<Model>(m, "Model", "A model read by obx.read; its arrays share its memory.")
      .def_property_readonly("path", &Model::path)
      .def_property_readonly("mtllib", &Model::mtllib)
      .def_property_readonly("positions", &Model::positions)
      .def_property_readonly("normals", &Model::normals)
      .def_property_readonly("texcoords", &Model::texcoords)
      .def_property_readonly("texcoord_w", &Model::texcoordW)
      .def_property_readonly("colors", &Model::colors)
      .def_property_readonly("facet_normals", &Model::facetNormals)
      .def_property_readonly("triangles", &Model::triangles)
      .def_property_readonly("triangle_normals", &Model::triangleNormals)
      .def_property_readonly("triangle_texcoords", &Model::triangleTexcoords)
      .def_property_readonly("material", &Model::material)
      .def_property_readonly("group", &Model::group)
      .def_property_readonly("object", &Model::object)
      .def_property_readonly("smoothing", &Model::smoothing)
      .def_property_readonly("groups", &Model::groups)
      .def_property_readonly("group_materials", &Model::groupMaterials)
      .def_property_readonly("objects", &Model::objects)
      .def_property_readonly("textures", &Model::textures)
      .def_property_readonly("polygons", &Model::polygons)
      .def_property_readonly("lines", &Model::lines)
      .def_property_readonly("points", &Model::points)
      .def_property_readonly("materials", &Model::materials)
      .def("write", &Model::write, py::arg("path"), py::kw_only(), py::arg("normals") = true,
           py::arg("texcoords") = true, py::arg("materials") = true)
      .def("vertex_normals", &Model::vertexNormals, py::arg("angle") = kObxDefaultCreaseAngle,
           py::kw_only(), py::arg("keep") = false)
      .def("smoothing_normals", &Model::smoothingNormals, py::kw_only(), py::arg("keep") = false)
      .def("weld", &Model::weld, py::arg("epsilon"))
      .def("fit", &Model::fit)
      .def("__repr__", [](const Model& model) {
        const ObxModel* r = model.raw();
        return "<obx.Model " + std::string(r->path ? r->path : "") + ": " +
               std::to_string(r->numvertices) + " positions, " + std::to_string(r->numtriangles) +
               " triangles>";
      });

  m.def("read", &readModel, py::arg("source"), py::kw_only(), py::arg("lenient") = false,
        py::arg("name") = "memory.obj", py::arg("threads") = 0u);
}
