// obxtool end to end: the real program run without a display, its output
// files read back with the library.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::readFile;
using ostrel_test::runProcess;
using ostrel_test::RunResult;
using ostrel_test::TempDir;

const char kUsageLine[] = "usage: obxtool info [--strict] FILE\n";

// Two triangles of a 4 x 2 quad standing at z = 0, written corner by corner
// (vertices 4 and 5 repeat 1 and 3), and one leaning back to z = -1:
//   3,5 (4,2,0)   6 (0,2,-1)
//   1,4 (0,0,0)   2 (4,0,0)
const char kBoxObj[] =
    "mtllib box.mtl\n"
    "v 0 0 0\nv 4 0 0\nv 4 2 0\nv 0 0 0\nv 4 2 0\nv 0 2 -1\n"
    "vt 0 0\nvt 1 0\nvt 1 1\n"
    "o box\ng front\nusemtl red\n"
    "f 1/1 2/2 3/3\nf 4/1 5/3 6/3\n"
    "g back\n"
    "f 3 2 1\n";
const char kBoxMtl[] = "newmtl red\nKd 1 0 0\nmap_Kd wood.ppm\n";

// The box model in a fresh directory.
struct Box {
  Box() {
    dir.write("box.mtl", kBoxMtl);
    obj = dir.write("box.obj", kBoxObj);
  }
  std::string out(const std::string& name) const { return dir.path() + "/" + name; }
  TempDir dir;
  std::string obj;
};

// Runs obxtool with args, DISPLAY unset so that nothing could reach X.
RunResult obxtool(const std::vector<std::string>& args, const std::string& cwd = "/") {
  std::vector<std::string> argv = {"/usr/bin/env", "-u", "DISPLAY", OSTREL_OBXTOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, cwd);
}

// Reads a written model back in this process; textures by name only.
ObxModel* readBack(const std::string& path) {
  obxTextureUpload = GL_FALSE;
  return obxReadOBJ(path.c_str());
}

TEST(Obxtool, info_prints_counts_bounds_groups_and_materials) {
  Box box;
  RunResult r = obxtool({"info", box.obj});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "vertices: 6\n"
            "normals: 0\n"
            "texcoords: 3\n"
            "triangles: 3\n"
            "groups: 3\n"
            "materials: 2\n"
            "textures: 1\n"
            "objects: 1\n"
            "smoothing groups: 0\n"
            "polygons: 0\n"
            "lines: 0\n"
            "points: 0\n"
            "vertex colours: no\n"
            "bounds: 0 0 -1 to 4 2 0\n"
            "object box: 3 triangles\n"
            "group default: 0 triangles\n"
            "group front: 2 triangles, material red\n"
            "group back: 1 triangle, material red\n"  // usemtl outlives the group
            "material default\n"
            "material red: map_Kd wood.ppm\n");
}

TEST(Obxtool, info_of_a_model_without_vertices_has_no_bounds) {
  TempDir dir;
  std::string path = dir.write("empty.obj", "# nothing\n");
  RunResult r = obxtool({"info", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("vertices: 0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bounds: none\ngroup default: 0 triangles\n"), std::string::npos) << r.out;
}

TEST(Obxtool, convert_fit_puts_the_model_in_the_unit_cube) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, box.out("fit.obj"), "--fit"});
  ASSERT_EQ(r.status, 0) << r.err;
  ObxModel* m = readBack(box.out("fit.obj"));
  ASSERT_EQ(m->numvertices, 6u);
  float low[3] = {1e9f, 1e9f, 1e9f}, high[3] = {-1e9f, -1e9f, -1e9f};
  for (uint32_t i = 1; i <= m->numvertices; i++)
    for (int k = 0; k < 3; k++) {
      low[k] = std::min(low[k], m->vertices[3 * i + k]);
      high[k] = std::max(high[k], m->vertices[3 * i + k]);
    }
  // Extent 4 x 2 x 1 centred and scaled by 2/4.
  const float expectLow[3] = {-1.0f, -0.5f, -0.25f};
  for (int k = 0; k < 3; k++) {
    EXPECT_FLOAT_EQ(low[k], expectLow[k]) << k;
    EXPECT_FLOAT_EQ(high[k], -expectLow[k]) << k;
  }
  obxDeleteModel(m);
}

TEST(Obxtool, convert_weld_merges_the_repeated_corners) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, box.out("weld.obj"), "--weld", "0.001"});
  ASSERT_EQ(r.status, 0) << r.err;
  ObxModel* m = readBack(box.out("weld.obj"));
  ASSERT_EQ(m->numvertices, 4u);
  ASSERT_EQ(m->numtriangles, 3u);
  // The front's second triangle now names the first one's corners 1 and 3.
  EXPECT_EQ(m->triangles[1].vindices[0], 1u);
  EXPECT_EQ(m->triangles[1].vindices[1], 3u);
  EXPECT_EQ(m->triangles[1].vindices[2], 4u);
  EXPECT_EQ(m->vertices[3 * 4 + 2], -1.0f);  // vertex 6 moved up to slot 4
  obxDeleteModel(m);
}

TEST(Obxtool, convert_flip_reverses_every_triangle) {
  Box box;
  ASSERT_EQ(obxtool({"convert", box.obj, box.out("plain.obj")}).status, 0);
  RunResult r = obxtool({"convert", box.obj, box.out("flip.obj"), "--flip"});
  ASSERT_EQ(r.status, 0) << r.err;
  ObxModel* a = readBack(box.out("plain.obj"));
  ObxModel* b = readBack(box.out("flip.obj"));
  ASSERT_EQ(a->numtriangles, b->numtriangles);
  for (uint32_t i = 0; i < a->numtriangles; i++) {
    for (int k = 0; k < 3; k++)
      EXPECT_EQ(b->triangles[i].vindices[k], a->triangles[i].vindices[2 - k]) << i;
    // The facet normals the reader computes point the other way.
    const float* fa = &a->facetnorms[3 * a->triangles[i].findex];
    const float* fb = &b->facetnorms[3 * b->triangles[i].findex];
    EXPECT_FLOAT_EQ(obxDotProduct(fa, fb), -1.0f) << i;
  }
  obxDeleteModel(a);
  obxDeleteModel(b);
}

TEST(Obxtool, convert_mode_selects_the_written_parts) {
  Box box;
  RunResult r = obxtool(
      {"convert", box.obj, box.out("full.obj"), "--normals", "90", "--mode", "smooth,texture"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string full = readFile(box.out("full.obj"));
  // The front and back faces meet at 180 degrees: no corner shares a normal.
  EXPECT_NE(full.find("\n# 9 normals\nvn "), std::string::npos) << full;
  EXPECT_NE(full.find("\n# 3 texcoords\nvt 0.000000 0.000000\n"), std::string::npos) << full;
  EXPECT_EQ(full.find("mtllib"), std::string::npos);  // material was not asked for
  // The front faces have texture coordinates, the back face none: it goes
  // out without them rather than with an index that reads back as another.
  int withTexture = 0, withoutTexture = 0;
  for (size_t at = full.find("\nf "); at != std::string::npos; at = full.find("\nf ", at + 1)) {
    std::string line = full.substr(at + 1, full.find('\n', at + 1) - at - 1);
    int i[9];
    char rest;
    if (sscanf(line.c_str(), "f %d/%d/%d %d/%d/%d %d/%d/%d%c", &i[0], &i[1], &i[2], &i[3], &i[4],
               &i[5], &i[6], &i[7], &i[8], &rest) == 9)
      withTexture++;
    else if (sscanf(line.c_str(), "f %d//%d %d//%d %d//%d%c", &i[0], &i[1], &i[2], &i[3], &i[4],
                    &i[5], &rest) == 6)
      withoutTexture++;
    else
      ADD_FAILURE() << line;
  }
  EXPECT_EQ(withTexture, 2);
  EXPECT_EQ(withoutTexture, 1);

  r = obxtool({"convert", box.obj, box.out("bare.obj"), "--normals", "90", "--mode", "none"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bare = readFile(box.out("bare.obj"));
  EXPECT_EQ(bare.find("\nvn "), std::string::npos);
  EXPECT_EQ(bare.find("\nvt "), std::string::npos);
  EXPECT_NE(bare.find("\nf 1 2 3\n"), std::string::npos) << bare;
}

TEST(Obxtool, convert_by_default_writes_what_the_model_has_and_an_mtl_named_after_out) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, box.out("copy.obj")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string obj = readFile(box.out("copy.obj"));
  EXPECT_NE(obj.find("\nmtllib copy.mtl\n"), std::string::npos) << obj;
  EXPECT_NE(obj.find("\nvt "), std::string::npos);
  EXPECT_EQ(obj.find("\nvn "), std::string::npos);  // the box has no normals
  EXPECT_NE(readFile(box.out("copy.mtl")).find("newmtl red\n"), std::string::npos);
  EXPECT_EQ(readFile(box.out("box.mtl")), kBoxMtl);  // the input's library stays as it was
  ObxModel* m = readBack(box.out("copy.obj"));
  ASSERT_EQ(m->numtextures, 1u);
  EXPECT_STREQ(m->textures[0].name, "wood.ppm");
  EXPECT_EQ(m->materials[obxFindMaterial(m, "red")].diffuse[0], 1.0f);
  obxDeleteModel(m);
}

TEST(Obxtool, convert_planar_and_sphere_give_one_texcoord_per_vertex_or_normal) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, box.out("planar.obj"), "--planar"});
  ASSERT_EQ(r.status, 0) << r.err;
  ObxModel* m = readBack(box.out("planar.obj"));
  EXPECT_EQ(m->numtexcoords, 6u);
  for (uint32_t i = 0; i < m->numtriangles; i++)
    for (int k = 0; k < 3; k++) EXPECT_EQ(m->triangles[i].tindices[k], m->triangles[i].vindices[k]);
  obxDeleteModel(m);

  r = obxtool({"convert", box.obj, box.out("sphere.obj"), "--sphere", "--normals", "30"});
  ASSERT_EQ(r.status, 0) << r.err;
  m = readBack(box.out("sphere.obj"));
  EXPECT_EQ(m->numtexcoords, m->numnormals);
  EXPECT_GT(m->numnormals, 0u);
  obxDeleteModel(m);
}

TEST(Obxtool, sphere_without_normals_fails_with_a_reason) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, box.out("x.obj"), "--sphere"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "obxtool: --sphere needs vertex normals; " + box.obj + " has none (add --normals)\n");
  EXPECT_EQ(fopen(box.out("x.obj").c_str(), "r"), nullptr);
}

TEST(Obxtool, fit_and_planar_need_a_model_of_some_size) {
  TempDir dir;
  const std::string empty = dir.write("empty.obj", "# no vertices\n");
  const std::string point = dir.write("point.obj", "v 0 0 0\nv 0 0 0\n");
  for (const std::string& in : {empty, point})
    for (const char* option : {"--fit", "--planar"}) {
      RunResult r = obxtool({"convert", in, dir.path() + "/out.obj", option});
      EXPECT_EQ(r.status, 1) << in << " " << option;
      EXPECT_EQ(r.err, std::string("obxtool: ") + option + " needs a model of some size; " + in +
                           " has none\n");
    }
  EXPECT_EQ(fopen((dir.path() + "/out.obj").c_str(), "r"), nullptr);
}

TEST(Obxtool, help_prints_the_usage_on_stdout) {
  for (const char* flag : {"-h", "--help"}) {
    RunResult r = obxtool({flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.out.rfind(kUsageLine, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--weld EPS"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Obxtool, bad_usage_exits_2_with_the_reason_and_the_usage) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {{}, "obxtool: no command given\n"},
      {{"list", "a.obj"}, "obxtool: unknown command \"list\"\n"},
      {{"info"}, "obxtool: info takes [--strict] and one FILE\n"},
      {{"info", "a.obj", "b.obj"}, "obxtool: info takes [--strict] and one FILE\n"},
      {{"convert", "a.obj"}, "obxtool: convert needs IN and OUT\n"},
      {{"convert", "a.obj", "b.obj", "c.obj"}, "obxtool: unexpected argument \"c.obj\"\n"},
      {{"convert", "a.obj", "b.obj", "--weld"}, "obxtool: --weld needs a value\n"},
      {{"convert", "a.obj", "b.obj", "--weld", "tiny"},
       "obxtool: --weld needs a number >= 0, not \"tiny\"\n"},
      {{"convert", "a.obj", "b.obj", "--weld", "-1"},
       "obxtool: --weld needs a number >= 0, not \"-1\"\n"},
      {{"convert", "a.obj", "b.obj", "--normals", "200"},
       "obxtool: --normals needs an angle in degrees, 0 to 180, not \"200\"\n"},
      {{"convert", "a.obj", "b.obj", "--normals", "nan"},
       "obxtool: --normals needs an angle in degrees, 0 to 180, not \"nan\"\n"},
      {{"convert", "a.obj", "b.obj", "--mode", "smooth,shiny"},
       "obxtool: unknown mode word \"shiny\"\n"},
      {{"convert", "a.obj", "b.obj", "--mode", ""}, "obxtool: unknown mode word \"\"\n"},
      {{"convert", "a.obj", "b.obj", "--planar", "--sphere"},
       "obxtool: --planar and --sphere exclude each other\n"},
      {{"convert", "a.obj", "b.obj", "--smooth"}, "obxtool: unknown option --smooth\n"},
  };
  for (const Case& c : cases) {
    RunResult r = obxtool(c.args);
    std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(r.err.rfind(c.reason, 0), 0u) << r.err;
    EXPECT_NE(r.err.find(std::string("\n\n") + kUsageLine), std::string::npos) << r.err;
  }
}

// OUT names an MTL file that reads back, or is refused before anything is
// written; a failure of either file leaves both targets as they were.
TEST(Obxtool, output_names_read_back_or_are_refused) {
  struct Case {
    const char* name;
    const char* in;  // a copy of the box under this name, or NULL for box.obj
    std::string out;
    const char* folder;  // made first, or NULL
    int status;
    const char* err;  // part of stderr
  } cases[] = {
      {"blanks", NULL, "my model.obj", NULL, 0, ""},
      {"OUT is its own MTL", NULL, "same.mtl", NULL, 2, "OUT would be its own MTL file"},
      {"OUT's MTL is IN", "in.mtl", "in.obj", NULL, 2, "OUT's MTL file would be IN itself"},
      {"too long", NULL, std::string(124, 'x') + ".obj", NULL, 2, "too long for its MTL file"},
      {"MTL fails after OBJ", NULL, "out.obj", "out.mtl", 1, "obxWriteMTL() failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Box box;
    const std::string in = c.in ? box.dir.write(c.in, kBoxObj) : box.obj;
    const std::string out = box.out(c.out);
    if (c.folder) mkdir(box.out(c.folder).c_str(), 0755);
    if (c.status != 0) box.dir.write(c.out, "old bytes\n");
    RunResult r = obxtool({"convert", in, out});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(readFile(out), "old bytes\n");
      if (c.in) {
        EXPECT_EQ(readFile(in), kBoxObj);
      }
      continue;
    }
    EXPECT_NE(readFile(out).find("\nmtllib my_model.mtl\n"), std::string::npos);
    ObxModel* m = readBack(out);
    EXPECT_EQ(m->nummaterials, 2u);
    obxDeleteModel(m);
  }
}

// The scene converted three times in a row keeps every count, group and
// material that info prints, and the second and third files are the same.
TEST(Obxtool, converting_the_scene_again_and_again_keeps_it) {
  TempDir dir;
  const std::string scene = OSTREL_SOURCE_DIR "/models/spy_scene_extended.obj";
  const std::string files[3] = {dir.path() + "/a/s.obj", dir.path() + "/b/s.obj",
                                dir.path() + "/c/s.obj"};
  std::string in = scene;
  for (const std::string& out : files) {
    mkdir(out.substr(0, out.size() - 6).c_str(), 0755);
    RunResult r = obxtool({"convert", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    in = out;
  }
  const std::string before = obxtool({"info", scene}).out;
  EXPECT_EQ(obxtool({"info", files[2]}).out, before);
  EXPECT_NE(before.find("groups: 38\n"), std::string::npos) << before;
  EXPECT_EQ(readFile(files[2]), readFile(files[1]));
  EXPECT_EQ(readFile(dir.path() + "/c/s.mtl"), readFile(dir.path() + "/b/s.mtl"));
}

// Epsilons too small for a normal float are numbers; a model welded into
// one point has no size to fit.
TEST(Obxtool, weld_takes_tiny_epsilons_and_size_is_checked_after_welding) {
  Box box;
  EXPECT_EQ(obxtool({"convert", box.obj, box.out("a.obj"), "--weld", "1e-45"}).status, 0);
  RunResult r = obxtool({"convert", box.obj, box.out("b.obj"), "--weld", "9", "--fit"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--fit needs a model of some size"), std::string::npos) << r.err;
}

TEST(Obxtool, info_reads_leniently_unless_strict) {
  Box box;
  unlink(box.out("box.mtl").c_str());  // exporters often leave the MTL out
  RunResult r = obxtool({"info", box.obj});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("triangles: 3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("OBX: Warning: obxReadMTL: can't open material file"), std::string::npos)
      << r.err;
  r = obxtool({"info", "--strict", box.obj});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("OBX: Fatal Error: obxReadMTL() failed: can't open material file"),
            std::string::npos)
      << r.err;
}

TEST(Obxtool, missing_file_exits_1_with_the_library_message) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing.obj";
  for (const auto& args : {std::vector<std::string>{"info", missing},
                           std::vector<std::string>{"convert", missing, dir.path() + "/o.obj"}}) {
    RunResult r = obxtool(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + missing +
                         "\": No such file or directory.\n");
  }
}

TEST(Obxtool, unwritable_output_exits_1_with_the_library_message) {
  Box box;
  RunResult r = obxtool({"convert", box.obj, "/nonexistent-dir/out.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("OBX: Fatal Error: obxWriteOBJ() failed: can't open file "
                       "\"/nonexistent-dir/out.obj\" to write: No such file or directory.\n"),
            std::string::npos)
      << r.err;
  // A device that fills up: the failed write is reported, not taken for done;
  // no library goes beside a device.
  r = obxtool({"convert", box.obj, "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "OBX: Warning: obxWriteOBJ() warning: \"/dev/full\" is not a regular file: no "
            "material library written beside it.\n"
            "OBX: Fatal Error: obxWriteOBJ() failed: can't write file \"/dev/full\": No space left "
            "on device.\n");
}

}  // namespace
