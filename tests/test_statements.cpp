// Statements beyond vertices, faces and groups: objects, smoothing groups,
// colours, third texture values, polygons, lines and points, each kept when
// read, written back and read again the same.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::readFile;
using ostrel_test::TempDir;
constexpr uint32_t N = OBX_NO_INDEX;

const char* const kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nv 0.5 2 0\n";

std::vector<uint32_t> smoothingOf(const ObxModel* m) {
  std::vector<uint32_t> s;
  for (uint32_t i = 0; m->smoothing && i < m->numtriangles; i++) s.push_back(m->smoothing[i]);
  return s;
}

std::string objectsOf(const ObxModel* m) {
  std::string s;
  for (uint32_t i = 0; i < m->numobjects; i++)
    s += std::string(m->objects[i].name) + "@" + std::to_string(m->objects[i].firsttriangle) + "," +
         std::to_string(m->objects[i].firstelement) + " ";
  return s;
}

std::string elementsOf(const ObxModel* m) {
  std::string s;
  for (uint32_t e = 0; e < m->numelements; e++) {
    const ObxElement& el = m->elements[e];
    s += el.type;
    for (uint32_t i = 0; i < el.count; i++) {
      s += " " + std::to_string(m->elementindices[2 * (el.first + i)]);
      const uint32_t t = m->elementindices[2 * (el.first + i) + 1];
      if (t != N) s += "/" + std::to_string(t);
    }
    s += std::string(" in ") + (el.group ? el.group->name : "?") + "@" +
         std::to_string(el.triangle) + "; ";
  }
  return s;
}

std::string polygonsOf(const ObxModel* m) {
  std::string s;
  for (uint32_t i = 0; i < m->numpolygons; i++)
    s += std::to_string(m->polygons[i].triangle) + ":" + std::to_string(m->polygons[i].numcorners) +
         "x" + std::to_string(m->polygons[i].numfaces) + " ";
  return s;
}

std::vector<float> floatsOf(const float* values, size_t count) {
  return values ? std::vector<float>(values, values + count) : std::vector<float>();
}

// Everything these statements keep, as one text to compare.
std::string extrasOf(const ObxModel* m) {
  std::ostringstream s;
  s << "objects " << objectsOf(m) << "| polygons " << polygonsOf(m) << "| elements "
    << elementsOf(m) << "| smoothing";
  for (uint32_t v : smoothingOf(m)) s << " " << v;
  s << " | colours";
  for (float v : floatsOf(m->colors, 3 * (size_t(m->numvertices) + 1))) s << " " << v;
  s << " | w";
  for (float v : floatsOf(m->texcoordw, size_t(m->numtexcoords) + 1)) s << " " << v;
  s << " | groups";
  for (const ObxGroup* g = m->groups; g; g = g->next) s << " [" << g->name << "]";
  return s.str();
}

// Reads text, checks it, writes it, reads that back and checks it again;
// a second write gives the same bytes. Returns the first write.
std::string roundTrip(const std::string& text, const std::function<void(const ObxModel*)>& check) {
  TempDir dir;
  ObxModel* a = obxReadOBJ(dir.write("in.obj", text).c_str());
  const GLuint mode = a->texcoords ? OBX_TEXTURE : OBX_NONE;
  check(a);
  const std::string first = dir.path() + "/first.obj", second = dir.path() + "/second.obj";
  obxWriteOBJ(a, first.c_str(), mode);
  ObxModel* b = obxReadOBJ(first.c_str());
  check(b);
  EXPECT_EQ(extrasOf(b), extrasOf(a));
  EXPECT_EQ(b->numtriangles, a->numtriangles);
  obxWriteOBJ(b, second.c_str(), mode);
  EXPECT_EQ(readFile(second), readFile(first));
  obxDeleteModel(a);
  obxDeleteModel(b);
  return readFile(first);
}

TEST(Statements, each_is_kept_written_and_read_back) {
  struct Row {
    const char* what;
    std::string text;
    std::function<void(const ObxModel*)> check;
    const char* written;  // a line the first write has
  };
  const std::vector<Row> rows = {
      {"objects, in file order and not merged by name",
       std::string(kTriangle) + "f 1 2 3\no first one\nf 1 2 3\no second\nl 1 2\nf 2 3 4\n"
                                "o first one\nf 1 2 3\n",
       [](const ObxModel* m) {
         EXPECT_EQ(objectsOf(m), "first one@1,0 second@2,0 first one@3,1 ");
       },
       "o first one\n"},
      {"smoothing groups",
       std::string(kTriangle) + "f 1 2 3\ns 1\nf 1 2 3\nf 2 3 4\ns off\nf 1 2 3\ns 7\nf 1 2 3\n"
                                "s 0\nf 1 2 3\n",
       [](const ObxModel* m) {
         EXPECT_EQ(smoothingOf(m), (std::vector<uint32_t>{0, 1, 1, 0, 7, 0}));
       },
       "s 7\n"},
      {"vertex colours, white where a vertex has none",
       "v 0 0 0 1 0 0\nv 1 0 0\nv 0 1 0 0 0.5 1\nf 1 2 3\n",
       [](const ObxModel* m) {
         ASSERT_NE(m->colors, nullptr);
         EXPECT_EQ(floatsOf(m->colors + 3, 9), (std::vector<float>{1, 0, 0, 1, 1, 1, 0, 0.5f, 1}));
       },
       "v 0.000000 0.000000 0.000000 1.000000 0.000000 0.000000\n"},
      {"a fourth vertex value is no colour", "v 0 0 0 1\nv 1 0 0 1\nv 0 1 0 1\nf 1 2 3\n",
       [](const ObxModel* m) { EXPECT_EQ(m->colors, nullptr); }, "f 1 2 3\n"},
      {"third texture values",
       std::string(kTriangle) + "vt 0.5 0.25 0.125\nvt 1 1\nf 1/1 2/2 3/1\n",
       [](const ObxModel* m) {
         EXPECT_EQ(floatsOf(m->texcoordw, 3), (std::vector<float>{0, 0.125f, 0}));
       },
       "vt 0.500000 0.250000 0.125000\n"},
      {"polygons keep their corners, a concave one too",
       std::string(kTriangle) + "v 0.5 0.5 0\nf 1 2 4 3\nf 1 2 4 5 3\nf 1 2 4 6 3\nf 1 2 3\n",
       [](const ObxModel* m) { EXPECT_EQ(polygonsOf(m), "0:4x1 2:5x2 "); }, "f 1 2 4 6 3\n"},
      {"lines and points with relative indices",
       std::string(kTriangle) + "vt 0 0\nvt 1 1\ng wire\nl 1 2 3\nl -2/-1 -1/-2\nf 1 2 3\n"
                                "p 1 -1\n",
       [](const ObxModel* m) {
         EXPECT_EQ(elementsOf(m), "l 1 2 3 in  wire@0; l 4/2 5/1 in  wire@0; p 1 5 in  wire@1; ");
       },
       "l 4/2 5/1\n"},
      {"a bare g keeps its empty name", std::string(kTriangle) + "g\nf 1 2 3\n",
       [](const ObxModel* m) { EXPECT_STREQ(m->groups->name, ""); }, "g\nf 1 2 3\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string written = roundTrip(row.text, row.check);
    EXPECT_NE(written.find(row.written), std::string::npos) << written;
  }
}

TEST(Statements, out_of_bounds_line_indices_fail_with_their_line) {
  TempDir dir;
  char message[256] = "";
  const std::string path = dir.write("bad.obj", "v 0 0 0\nv 1 0 0\n\nl 1 2 3\n");
  EXPECT_EQ(obxTryReadOBJ(path.c_str(), message, sizeof message), nullptr);
  EXPECT_EQ(std::string(message),
            "vertex index for line 0 out of bounds (3 > 2) at line 4 of \"" + path + "\"");
}

TEST(Statements, welding_and_new_texture_coordinates_keep_them_in_step) {
  TempDir dir;
  ObxModel* m = obxReadOBJ(dir.write("weld.obj",
                                     "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 1 0 0 0 1\n"
                                     "v 0 0 0 0.5 0.5 0.5\nvt 0 0 1\nf 1 2 3\nl 4/1 3/1\n")
                               .c_str());
  obxMergeVertices(m, 1e-6f);
  ASSERT_EQ(m->numvertices, 3u);
  EXPECT_EQ(floatsOf(m->colors + 3, 9), (std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(elementsOf(m), "l 1/1 3/1 in default@1; ");
  obxPlanarTexcoords(m);
  EXPECT_EQ(m->texcoordw, nullptr);
  EXPECT_EQ(elementsOf(m), "l 1/1 3/3 in default@1; ");
  obxDeleteModel(m);
}

// A file that says everything at once: objects holding groups, smoothing
// groups changing inside them, coloured vertices, third texture values,
// triangles, quads and pentagons, lines and points, materials.
std::string everything(int objects) {
  std::ostringstream s;
  s << "mtllib every.mtl\n";
  int vertices = 0, texcoords = 0;
  for (int o = 0; o < objects; o++) {
    s << "o part " << o << "\n";
    for (int i = 0; i < 6; i++, vertices++)
      s << "v " << o << " " << i % 3 << " " << i / 3 << " " << (i % 2) << " 0.5 " << o % 2 << "\n";
    for (int i = 0; i < 3; i++, texcoords++) s << "vt " << i * 0.25 << " 0.5 " << o << "\n";
    s << "g " << (o % 2 ? "odd" : "even") << "\nusemtl " << (o % 3 ? "red" : "blue") << "\n";
    const int b = vertices - 6, t = texcoords - 3;
    s << "s " << (o % 4) << "\n";
    s << "f " << b + 1 << "/" << t + 1 << " " << b + 2 << "/" << t + 2 << " " << b + 5 << "/"
      << t + 3 << " " << b + 4 << "/" << t + 1 << "\n";
    s << "f " << b + 2 << " " << b + 3 << " " << b + 6 << "\n";
    s << "l " << b + 1 << " " << b + 2 << " " << b + 3 << "\n";
    s << "s off\nf -6 -5 -4 -1 -3\np " << b + 6 << " -1\n";
  }
  return s.str();
}

TEST(Statements, a_file_of_every_statement_round_trips) {
  TempDir dir;
  dir.write("every.mtl",
            "newmtl red\nKd 1 0 0\nKe 0.5 0 0\nNi 1.5\nillum 2\nTr 0.25\nPr 0.5\n"
            "map_Kd -s 2 2 -clamp on wood.ppm\nbump -bm 0.3 bump map.png\nvendor_x 1 2\n"
            "newmtl blue\nKd 0 0 1\nd 0.5\nrefl -type sphere sky.png\n");
  const std::string in = dir.write("every.obj", everything(7));
  obxTextureUpload = GL_FALSE;  // the maps' images are named, not there
  ObxModel* a = obxReadOBJ(in.c_str());
  EXPECT_EQ(a->numobjects, 7u);
  EXPECT_EQ(a->numpolygons, 14u);  // a quad and a pentagon an object
  EXPECT_EQ(a->numelements, 14u);
  // Each write in a folder of its own, with its every.mtl beside it.
  const std::string first = dir.write("1/every.obj", ""), second = dir.write("2/every.obj", "");
  obxWriteOBJ(a, first.c_str(), OBX_TEXTURE | OBX_MATERIAL);
  ObxModel* b = obxReadOBJ(first.c_str());
  EXPECT_EQ(extrasOf(b), extrasOf(a));
  ASSERT_EQ(b->numtriangles, a->numtriangles);
  for (uint32_t i = 0; i < a->numtriangles; i++) {
    EXPECT_EQ(b->triangles[i].material, a->triangles[i].material) << i;
    for (int k = 0; k < 3; k++) {
      EXPECT_EQ(b->triangles[i].vindices[k], a->triangles[i].vindices[k]) << i;
      EXPECT_EQ(b->triangles[i].tindices[k], a->triangles[i].tindices[k]) << i;
    }
  }
  obxWriteOBJ(b, second.c_str(), OBX_TEXTURE | OBX_MATERIAL);
  EXPECT_EQ(readFile(second), readFile(first));
  EXPECT_EQ(readFile(dir.path() + "/2/every.mtl"), readFile(dir.path() + "/1/every.mtl"));
  ASSERT_EQ(b->nummaterials, 3u);
  EXPECT_EQ(b->materials[1].nummaps, 2u);
  EXPECT_EQ(b->materials[1].numparameters, 1u);
  EXPECT_EQ(b->materials[1].diffuse[3], 0.75f);
  EXPECT_EQ(b->materials[2].maps[0].options, unsigned(OBX_MAP_TYPE));
  obxDeleteModel(a);
  obxDeleteModel(b);
  obxTextureUpload = GL_TRUE;
}

}  // namespace
