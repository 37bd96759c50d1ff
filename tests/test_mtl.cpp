// The MTL reader, material lookup and textures shared by file name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::stderrOfChild;
using ostrel_test::TempDir;
using testing::Eq;
using testing::ExitedWithCode;

// A model read from an OBJ file that names library.mtl, written beside it.
struct Library {
  explicit Library(const std::string& mtl, const std::string& obj = "") {
    dir.write("library.mtl", mtl);
    path = dir.write("scene.obj", "mtllib library.mtl\n" + obj);
  }
  ObxModel* read() const { return obxReadOBJ(path.c_str()); }
  TempDir dir;
  std::string path;
};

struct ReadMtl {
  explicit ReadMtl(const std::string& mtl) : library(mtl), model(library.read()) {}
  ~ReadMtl() { obxDeleteModel(model); }
  ObxModel* operator->() const { return model; }
  const ObxMaterial& operator[](uint32_t i) const { return model->materials[i]; }
  Library library;
  ObxModel* model;
};

void expectColor(const float* actual, float r, float g, float b, float a) {
  EXPECT_EQ(actual[0], r);
  EXPECT_EQ(actual[1], g);
  EXPECT_EQ(actual[2], b);
  EXPECT_EQ(actual[3], a);
}

// Standard error of reading the library, and the model through *model.
std::string warningsOf(const Library& library, ObxModel** model) {
  testing::internal::CaptureStderr();
  *model = library.read();
  return testing::internal::GetCapturedStderr();
}

// A w x h raw PPM of one colour.
std::string ppm(int w, int h, unsigned char r, unsigned char g, unsigned char b) {
  std::string image = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (int i = 0; i < w * h; i++) image += {char(r), char(g), char(b)};
  return image;
}

TEST(Mtl, library_without_newmtl_is_one_default_material) {
  ReadMtl m("# nothing but a comment\n");
  ASSERT_EQ(m->nummaterials, 1u);
  const ObxMaterial& d = m[0];
  EXPECT_STREQ(d.name, "default");
  expectColor(d.diffuse, 0.8f, 0.8f, 0.8f, 1.0f);
  expectColor(d.ambient, 0.2f, 0.2f, 0.2f, 1.0f);
  expectColor(d.specular, 0.0f, 0.0f, 0.0f, 1.0f);
  EXPECT_EQ(d.shininess, 65.0f);
  EXPECT_EQ(d.map_diffuse, -1);
}

TEST(Mtl, statements_before_newmtl_change_the_default_material) {
  ReadMtl m("Kd 0.1 0.2 0.3\nd 0.25\nnewmtl a\n");
  ASSERT_EQ(m->nummaterials, 2u);
  expectColor(m[0].diffuse, 0.1f, 0.2f, 0.3f, 0.25f);
  expectColor(m[1].diffuse, 0.8f, 0.8f, 0.8f, 1.0f);
}

TEST(Mtl, red_material_has_its_values_and_the_defaults) {
  ReadMtl m("newmtl red\nKd 1 0 0\nd 0.5\nNs 100\n");
  ASSERT_EQ(m->nummaterials, 2u);
  const ObxMaterial& red = m[1];
  EXPECT_STREQ(red.name, "red");
  expectColor(red.diffuse, 1, 0, 0, 0.5f);
  expectColor(red.ambient, 0.2f, 0.2f, 0.2f, 1);
  expectColor(red.specular, 0, 0, 0, 1);
  EXPECT_EQ(red.shininess, 128.0f);
  EXPECT_EQ(red.map_diffuse, -1);
}

TEST(Mtl, ka_kd_ks_fill_their_colour) {
  ReadMtl m("newmtl m\nKa 0.1 0.2 0.3\nKd 0.4 0.5 0.6\nKs 0.7 0.8 0.9\n");
  expectColor(m[1].ambient, 0.1f, 0.2f, 0.3f, 1);
  expectColor(m[1].diffuse, 0.4f, 0.5f, 0.6f, 1);
  expectColor(m[1].specular, 0.7f, 0.8f, 0.9f, 1);
}

TEST(Mtl, ns_is_scaled_from_100_to_128_in_two_float_steps) {
  const struct {
    const char* ns;
    float expected;
  } cases[] = {{"100", 128.0f},
               {"50", 64.0f},
               {"0", 0.0f},
               {"33", float(float(33.0f / 100.0) * 128.0)},
               {"200", 256.0f}};
  for (const auto& c : cases) {
    ReadMtl m(std::string("newmtl m\nNs ") + c.ns + "\n");
    EXPECT_EQ(m[1].shininess, c.expected) << c.ns;
  }
}

TEST(Mtl, fourth_number_after_a_colour_is_a_keyword_whose_line_is_skipped) {
  ReadMtl m("newmtl m\nKd 0.1 0.2 0.3 0.4 d 0.5\nd 0.75\n");
  expectColor(m[1].diffuse, 0.1f, 0.2f, 0.3f, 0.75f);
}

TEST(Mtl, d_without_a_number_keeps_the_alpha) {
  // The scan for the number goes on over the line end and stops at "Ka".
  ReadMtl m("newmtl m\nd 0.5\nd\nKa 1 1 1\nnewmtl n\nd x\n");
  ASSERT_EQ(m->nummaterials, 3u);
  EXPECT_EQ(m[1].diffuse[3], 0.5f);
  EXPECT_EQ(m[1].ambient[0], 1.0f);
  EXPECT_EQ(m[2].diffuse[3], 1.0f);
}

TEST(Mtl, newmtl_takes_the_trimmed_line_and_an_empty_name_without_one) {
  ReadMtl m("newmtl two words\nnewmtl\nnewmtl  last \r\nnewmtl two\n");
  ASSERT_EQ(m->nummaterials, 5u);
  EXPECT_STREQ(m[1].name, "two words");
  EXPECT_STREQ(m[2].name, "");
  EXPECT_STREQ(m[3].name, "last");
  EXPECT_STREQ(m[4].name, "two");
}

// A library's own "default" is the built-in material 0, each time it is
// named: no second material of that name, and usemtl default gives its values.
TEST(Mtl, a_library_default_sets_material_zero) {
  Library library("newmtl a\nnewmtl default\nKd 1 0 0\nnewmtl b\nnewmtl default\nd 0.5\n",
                  "v 0 0 0\nusemtl default\nf 1 1 1\n");
  ObxModel* model = library.read();
  ASSERT_EQ(model->nummaterials, 3u);
  EXPECT_STREQ(model->materials[1].name, "a");
  EXPECT_STREQ(model->materials[2].name, "b");
  EXPECT_EQ(model->triangles[0].material, 0u);
  EXPECT_EQ(model->materials[0].diffuse[0], 1.0f);
  EXPECT_EQ(model->materials[0].diffuse[1], 0.0f);
  EXPECT_EQ(model->materials[0].diffuse[3], 0.5f);
  EXPECT_EQ(model->materials[1].diffuse[0], 0.8f);
  obxDeleteModel(model);
}

TEST(Mtl, find_material_returns_the_first_match) {
  ReadMtl m("newmtl a\nnewmtl b\nnewmtl a\n");
  EXPECT_EQ(obxFindMaterial(m.model, "a"), 1u);
  EXPECT_EQ(obxFindMaterial(m.model, "b"), 2u);
}

TEST(Mtl, find_material_warns_when_there_is_none) {
  ReadMtl m("newmtl a\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(obxFindMaterial(m.model, "A"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxFindMaterial():  can't find material \"A\".\n");
}

TEST(Mtl, find_material_without_a_table_warns) {
  TempDir dir;
  std::string path = dir.write("plain.obj", "v 0 0 0\n");
  ObxModel* model = obxReadOBJ(path.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(obxFindMaterial(model, "x"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxFindMaterial():  can't find material \"x\".\n");
  obxDeleteModel(model);
}

TEST(Mtl, find_material_asserts_a_name) {
  ReadMtl m("newmtl a\n");
  EXPECT_DEATH(obxFindMaterial(m.model, nullptr), "Assertion `name != NULL' failed");
}

struct WarningCase {
  const char* mtl;
  const char* warnings;  // the whole of standard error
};

TEST(Mtl, repeated_mtllib_reads_the_library_once) {
  // One warning per read of the library tells how often it was read.
  Library library("newmtl glass\nNi 1.5\nKd 0 0 1\n",
                  "mtllib library.mtl\nmtllib  library.mtl \nusemtl glass\n");
  ObxModel* model = NULL;
  const std::string err = warningsOf(library, &model);
  ASSERT_EQ(model->nummaterials, 2u);
  EXPECT_STREQ(model->materials[1].name, "glass");
  EXPECT_EQ(model->materials[1].diffuse[2], 1.0f);
  size_t reads = 0;
  for (size_t at = err.find("refraction index ignored"); at != std::string::npos;
       at = err.find("refraction index ignored", at + 1))
    reads++;
  EXPECT_EQ(reads, 1u) << err;
  obxDeleteModel(model);
}

TEST(Mtl, libraries_are_merged_in_the_order_named_each_read_once) {
  // The first definition of a name is the one found, with a warning.
  Library library(
      "newmtl first\nnewmtl second\nKd 1 0 0\n",
      "mtllib other.mtl\nmtllib library.mtl other.mtl\nv 0 0 0\nusemtl second\nf 1 1 1\n");
  library.dir.write("other.mtl", "newmtl second\nKd 0 1 0\nnewmtl third\n");
  ObxModel* model;
  const std::string err = warningsOf(library, &model);
  ASSERT_EQ(model->nummaterials, 5u);
  const char* names[5] = {"default", "first", "second", "second", "third"};
  for (int i = 0; i < 5; i++) EXPECT_STREQ(model->materials[i].name, names[i]);
  EXPECT_EQ(model->triangles[0].material, 2u);
  EXPECT_EQ(model->materials[2].diffuse[0], 1.0f);
  EXPECT_STREQ(model->mtllibname, "library.mtl");
  EXPECT_NE(err.find("material \"second\" of \"other.mtl\" is defined before"), std::string::npos)
      << err;
  obxDeleteModel(model);
}

TEST(MtlWarnings, ignored_statements_warn_in_order) {
  const WarningCase cases[] = {
      {"newmtl m\nNi 1.45\n", "OBX: Warning: refraction index ignored\n"},
      {"newmtl m\nKe 1 1 1\n", "OBX: Warning: obxReadMTL: Command \"Ke\" ignored\n"},
      {"newmtl m\nK\n", "OBX: Warning: obxReadMTL: Command \"K\" ignored\n"},
      {"newmtl m\nNx 3\n", "OBX: Warning: obxReadMTL: Command \"Nx\" ignored\n"},
      {"newmtl m\nillum 1\n", "OBX: Warning: illum material ignored: illum 1\n"},
      {"newmtl m\nillum 2\n", ""},
      {"newmtl m\nmap_Ks  shiny.png \n", "OBX: Warning: map map_Ks shiny.png ignored\n"},
      {"newmtl m\nmap_bump -bm 2 b.png\n", "OBX: Warning: map map_bump -bm 2 b.png ignored\n"},
      {"newmtl m\nrefl -type sphere x.png\n",
       "OBX: Warning: reflection type ignored: r -type sphere x.png\n\n"},
      {"newmtl m\nmap_Kd\n",
       "OBX: Warning: obxReadMTL: map_Kd without a file name in file \"DIR/library.mtl\" "
       "ignored\n"},
      {"newmtl m\nTr 0.5\nTf 1 1 1\n12 Ni\n# Ni\n", ""},
      {"Ni 1\nnewmtl m\nillum 3\nKe 0 0 0\n",
       "OBX: Warning: refraction index ignored\n"
       "OBX: Warning: illum material ignored: illum 3\n"
       "OBX: Warning: obxReadMTL: Command \"Ke\" ignored\n"},
  };
  // Every map's image is looked up; by name only, without a context's say.
  obxTextureUpload = GL_FALSE;
  for (const WarningCase& c : cases) {
    Library library(c.mtl);
    std::string expected = c.warnings;
    size_t dir = expected.find("DIR/");
    if (dir != std::string::npos) expected.replace(dir, 3, library.dir.path());
    ObxModel* model;
    EXPECT_EQ(warningsOf(library, &model), expected) << c.mtl;
    obxDeleteModel(model);
  }
  obxTextureUpload = GL_TRUE;
}

TEST(MtlFatal, malformed_libraries_end_with_their_message) {
  const WarningCase cases[] = {
      {"newmtl a\nnewmaterial b\n",
       "OBX: Fatal Error: obxReadMTL: Got \"newmaterial\" instead of \"newmtl\" at line 2 of "
       "\"DIR/library.mtl\"\n"},
      {"Ni 1\nnewmtl a\nnope\n",
       "OBX: Fatal Error: obxReadMTL: Got \"nope\" instead of \"newmtl\" at line 3 of "
       "\"DIR/library.mtl\"\n"},
      {"newmtl a\nNi 1\nilum 2\n",
       "OBX: Warning: refraction index ignored\n"
       "OBX: Fatal Error: obxReadMTL: Got \"ilum\" instead of \"illum\" at line 3 of "
       "\"DIR/library.mtl\"\n"},
  };
  for (const WarningCase& c : cases) {
    Library library(c.mtl);
    std::string expected = c.warnings;
    size_t dir = expected.find("DIR/");
    expected.replace(dir, 3, library.dir.path());
    EXPECT_EXIT(library.read(), ExitedWithCode(1), Eq(expected)) << c.mtl;
  }
}

TEST(MtlFatal, missing_library_names_the_full_path) {
  TempDir dir;
  std::string path = dir.write("models/scene.obj", "mtllib scene.mtl\n");
  EXPECT_EXIT(obxReadOBJ(path.c_str()), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxReadMTL() failed: can't open material file \"" + dir.path() +
                 "/models/scene.mtl\": No such file or directory.\n"));
}

TEST(MtlRobust, every_truncated_prefix_reads_or_fails_cleanly) {
  const std::string full =
      "# library\nKd 0.5 0.5 0.5\nnewmtl red\nKa 0.1 0.1 0.1\nKd 1 0 0\nKs 1 1 1\n"
      "Ns 50\nd 0.5\nillum 2\nNi 1.5\nnewmtl blue\nKd 0 0 1\nTr 0\nrefl -type x\n";
  TempDir dir;
  dir.write("scene.obj", "mtllib prefix.mtl\n");
  const std::string obj = dir.path() + "/scene.obj";
  int clean = 0;
  for (size_t length = 0; length <= full.size(); length++) {
    dir.write("prefix.mtl", full.substr(0, length));
    int status;
    std::string err = stderrOfChild(
        [&] {
          ObxModel* model = obxReadOBJ(obj.c_str());
          for (uint32_t i = 0; i < model->nummaterials; i++)
            if (!model->materials[i].name) _exit(3);  // every material is named
          obxDeleteModel(model);
        },
        &status);
    ASSERT_TRUE(status == 0 || status == 1) << length << ": " << err;
    ASSERT_EQ(err.find("Sanitizer"), std::string::npos) << length << ": " << err;
    ASSERT_EQ(err.find("runtime error"), std::string::npos) << length << ": " << err;
    if (status == 1)  // a keyword cut short, such as "n" of "newmtl"
      ASSERT_NE(err.find("OBX: Fatal Error: obxReadMTL: Got \""), std::string::npos) << err;
    else
      clean++;
  }
  EXPECT_GT(clean, int(full.size()) / 2);
}

// ---- Textures --------------------------------------------------------------

TEST(MtlTextures, materials_naming_one_file_share_one_texture) {
  ostrel_test::requireGlContext();
  Library library(
      "newmtl a\nmap_Kd wood.ppm\nnewmtl b\nmap_Kd  wood.ppm \nnewmtl c\n"
      "map_Kd stone.ppm\n");
  library.dir.write("wood.ppm", ppm(4, 4, 200, 120, 40));
  library.dir.write("stone.ppm", ppm(2, 2, 90, 90, 90));
  ObxModel* model = library.read();
  ASSERT_EQ(model->numtextures, 2u);
  EXPECT_STREQ(model->textures[0].name, "wood.ppm");
  EXPECT_STREQ(model->textures[1].name, "stone.ppm");
  EXPECT_NE(model->textures[0].id, 0u);
  EXPECT_NE(model->textures[1].id, 0u);
  EXPECT_NE(model->textures[0].id, model->textures[1].id);
  EXPECT_EQ(model->materials[1].map_diffuse, 0);
  EXPECT_EQ(model->materials[2].map_diffuse, 0);
  EXPECT_EQ(model->materials[3].map_diffuse, 1);
  EXPECT_EQ(model->textures[0].width, 1.0f);
  EXPECT_EQ(model->textures[0].height, 1.0f);
  EXPECT_EQ(obxTextureByName(model, "stone.ppm"), 1);
  EXPECT_EQ(model->numtextures, 2u);
  obxDeleteModel(model);
}

TEST(MtlTextures, image_is_found_beside_the_obj_file) {
  ostrel_test::requireGlContext();
  TempDir dir;
  dir.write("models/mat/tile.ppm", ppm(2, 2, 255, 0, 0));
  dir.write("models/scene.mtl", "newmtl t\nmap_Kd mat/tile.ppm\n");
  std::string path = dir.write("models/scene.obj", "mtllib scene.mtl\n");
  ObxModel* model = obxReadOBJ(path.c_str());
  ASSERT_EQ(model->numtextures, 1u);
  EXPECT_STREQ(model->textures[0].name, "mat/tile.ppm");
  EXPECT_NE(model->textures[0].id, 0u);
  obxDeleteModel(model);
}

TEST(MtlTextures, image_that_fails_to_load_is_kept_once_with_id_zero) {
  ostrel_test::requireGlContext();
  Library library("newmtl a\nmap_Kd gone.png\nnewmtl b\nmap_Kd gone.png\n");
  ObxModel* model;
  std::string err = warningsOf(library, &model);
  // One load, so one failure report, however many materials name the file.
  const std::string failure =
      "OBX: Warning: obxLoadTexture() failed: Unable to load texture from " + library.dir.path() +
      "/gone.png!\n";
  EXPECT_NE(err.find(failure), std::string::npos) << err;
  EXPECT_EQ(err.find(failure), err.rfind(failure)) << err;
  ASSERT_EQ(model->numtextures, 1u);
  EXPECT_EQ(model->textures[0].id, 0u);
  EXPECT_EQ(model->textures[0].width, 1.0f);
  EXPECT_EQ(model->materials[1].map_diffuse, 0);
  EXPECT_EQ(model->materials[2].map_diffuse, 0);
  obxDeleteModel(model);
}

TEST(MtlTextures, map_written_with_backslashes_is_found_and_keeps_its_name) {
  ostrel_test::requireGlContext();
  TempDir dir;
  mkdir((dir.path() + "/tex").c_str(), 0755);
  dir.write("tex/a.ppm", ppm(1, 1, 1, 2, 3));
  dir.write("one.mtl", "newmtl x\nmap_Kd tex\\a.ppm\n");
  ObxModel* model = obxReadOBJ(dir.write("scene.obj", "mtllib one.mtl\n").c_str());
  ASSERT_EQ(model->numtextures, 1u);
  EXPECT_STREQ(model->textures[0].name, "tex\\a.ppm");
  EXPECT_NE(model->textures[0].id, 0u);
  obxDeleteModel(model);
}

TEST(MtlTextures, second_mtllib_keeps_the_textures_already_loaded) {
  ostrel_test::requireGlContext();
  TempDir dir;
  dir.write("a.ppm", ppm(1, 1, 1, 2, 3));
  dir.write("one.mtl", "newmtl x\nmap_Kd a.ppm\n");
  dir.write("two.mtl", "newmtl y\nmap_Kd a.ppm\nnewmtl z\n");
  std::string path = dir.write("scene.obj", "mtllib one.mtl\nmtllib two.mtl\n");
  ObxModel* model = obxReadOBJ(path.c_str());
  ASSERT_EQ(model->nummaterials, 4u);
  EXPECT_STREQ(model->materials[2].name, "y");
  ASSERT_EQ(model->numtextures, 1u);
  EXPECT_EQ(model->materials[1].map_diffuse, 0);
  EXPECT_EQ(model->materials[2].map_diffuse, 0);
  obxDeleteModel(model);
}

// With uploads off no image is opened (a missing one draws no warning) and
// no GL is called: the loader would first query the texture limits. Run in
// a child, with no context made, so that the flag starts out pending.
TEST(MtlTextures, without_upload_maps_are_named_with_id_zero_and_no_image_is_opened) {
  Library library(
      "newmtl a\nmap_Kd wood.ppm\nnewmtl b\nmap_Kd gone.png\nnewmtl c\n"
      "map_Kd wood.ppm\n");
  library.dir.write("wood.ppm", ppm(4, 4, 200, 120, 40));
  int status = -1;
  std::string err = stderrOfChild(
      [&] {
        obxTextureUpload = GL_FALSE;
        obxTextureLimitsPending = GL_TRUE;
        ObxModel* model = library.read();
        bool named = model->numtextures == 2 && !strcmp(model->textures[0].name, "wood.ppm") &&
                     !strcmp(model->textures[1].name, "gone.png");
        bool unloaded = model->textures[0].id == 0 && model->textures[1].id == 0 &&
                        model->textures[0].width == 1.0f && model->textures[1].height == 1.0f;
        bool shared = model->materials[1].map_diffuse == 0 &&
                      model->materials[2].map_diffuse == 1 && model->materials[3].map_diffuse == 0;
        bool noGl = obxTextureLimitsPending == GL_TRUE;
        obxDeleteModel(model);
        _exit(!named ? 3 : !unloaded ? 4 : !shared ? 5 : !noGl ? 6 : 0);
      },
      &status);
  EXPECT_EQ(status, 0) << "3 names, 4 ids or scales, 5 sharing, 6 GL was called";
  EXPECT_EQ(err, "");
}

}  // namespace

namespace {

// A material's maps as text: keyword, file, then the options that differ
// from the defaults, as the test rows write them.
std::string mapsOf(const ObxModel* model, const ObxMaterial& m) {
  std::string text;
  for (uint32_t i = 0; i < m.nummaps; i++) {
    const ObxMap& map = m.maps[i];
    text += std::string(map.keyword) + " " +
            (map.texture >= 0 ? model->textures[map.texture].name : "(none)");
    char options[256];
    snprintf(options, sizeof options,
             " [%x s%g,%g,%g o%g t%g bm%g mm%g,%g boost%g %d%d%d%d %c %d %s %s]", map.options,
             map.scale[0], map.scale[1], map.scale[2], map.origin[0], map.turbulence[2],
             map.bumpmultiplier, map.base, map.gain, map.boost, map.clamp, map.blendu, map.blendv,
             map.colorcorrect, map.imfchan ? map.imfchan : '-', int(map.texres),
             map.type ? map.type : "-", map.colorspace ? map.colorspace : "-");
    text += options;
    text += "; ";
  }
  for (uint32_t i = 0; i < m.numparameters; i++)
    text += std::string(m.parameters[i].name) + "=" + m.parameters[i].value + "; ";
  return text;
}

}  // namespace

TEST(MtlKept, every_statement_is_read_kept_written_and_read_back) {
  struct Row {
    const char* what;
    const char* mtl;
    std::function<void(const ObxModel*, const ObxMaterial&)> check;
  };
  const Row rows[] = {
      {"emission, filter, density, illum", "Ke 1 0.5 0\nTf 0.5\nNi 1.45\nillum 7\n",
       [](const ObxModel*, const ObxMaterial& m) {
         EXPECT_EQ(m.has,
                   unsigned(OBX_HAS_EMISSION | OBX_HAS_FILTER | OBX_HAS_IOR | OBX_HAS_ILLUM));
         EXPECT_EQ(m.emission[1], 0.5f);
         EXPECT_EQ(m.filter[2], 0.5f);  // one value is a grey
         EXPECT_EQ(m.ior, 1.45f);
         EXPECT_EQ(m.illum, 7);
       }},
      {"Tr without d is the opacity's complement", "Tr 0.25\n",
       [](const ObxModel*, const ObxMaterial& m) { EXPECT_EQ(m.diffuse[3], 0.75f); }},
      {"d wins over Tr in either order", "d 0.5\nTr 0.25\n",
       [](const ObxModel*, const ObxMaterial& m) { EXPECT_EQ(m.diffuse[3], 0.5f); }},
      {"the PBR values", "Pr 0.1\nPm 0.2\nPs 0.3\nPc 0.4\nPcr 0.5\naniso 0.6\nanisor 0.7\n",
       [](const ObxModel*, const ObxMaterial& m) {
         for (int k = 0; k < 7; k++) {
           EXPECT_TRUE(m.has & OBX_HAS_PBR(k)) << k;
           EXPECT_FLOAT_EQ(m.pbr[k], 0.1f * float(k + 1)) << k;
         }
       }},
      {"maps with their options and blanks in names",
       "map_Kd -s 2 3 -o 0.5 -clamp on my wood.ppm\nmap_Bump -bm 0.5 -imfchan l bump map.png\n"
       "refl -type sphere env.png\ndisp -mm 0.1 2 -texres 512 d.png\nnorm -cc on -blendu off "
       "n.png\n"
       "map_Pr -boost 1.5 -colorspace linear -t 0 0 0.25 r.png\n",
       [](const ObxModel* model, const ObxMaterial& m) {
         ASSERT_GE(m.map_diffuse, 0);
         EXPECT_STREQ(model->textures[m.map_diffuse].name, "my wood.ppm");
         EXPECT_EQ(mapsOf(model, m),
                   "map_Kd my wood.ppm [23 s2,3,1 o0.5 t0 bm1 mm0,1 boost0 1110 - 0 - -]; "
                   "map_Bump bump map.png [408 s1,1,1 o0 t0 bm0.5 mm0,1 boost0 0110 l 0 - -]; "
                   "refl env.png [1000 s1,1,1 o0 t0 bm1 mm0,1 boost0 0110 - 0 sphere -]; "
                   "disp d.png [810 s1,1,1 o0 t0 bm1 mm0.1,2 boost0 0110 - 512 - -]; "
                   "norm n.png [240 s1,1,1 o0 t0 bm1 mm0,1 boost0 0011 - 0 - -]; "
                   "map_Pr r.png [2104 s1,1,1 o0 t0.25 bm1 mm0,1 boost1.5 0110 - 0 - linear]; ");
       }},
      {"statements not known, as written", "sharpness 60\nmap_aat on\nvendor_x  a  b \n",
       [](const ObxModel* model, const ObxMaterial& m) {
         EXPECT_EQ(mapsOf(model, m), "sharpness=60; map_aat=on; vendor_x=a  b; ");
       }},
  };
  obxTextureUpload = GL_FALSE;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    dir.write("lib.mtl", std::string("newmtl m\n") + row.mtl);
    const std::string in =
        dir.write("in.obj", "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
    const std::string first = dir.path() + "/out/first.obj",
                      second = dir.path() + "/out/second.obj";
    mkdir((dir.path() + "/out").c_str(), 0755);
    testing::internal::CaptureStderr();
    ObxModel* a = obxReadOBJ(in.c_str());
    obxWriteOBJ(a, first.c_str(), OBX_MATERIAL);
    ObxModel* b = obxReadOBJ(first.c_str());
    obxWriteOBJ(b, second.c_str(), OBX_MATERIAL);
    testing::internal::GetCapturedStderr();
    for (const ObxModel* m : {a, b}) {
      ASSERT_EQ(m->nummaterials, 2u);
      row.check(m, m->materials[1]);
    }
    EXPECT_EQ(mapsOf(b, b->materials[1]), mapsOf(a, a->materials[1]));
    EXPECT_EQ(ostrel_test::readFile(dir.path() + "/out/second.mtl"),
              ostrel_test::readFile(dir.path() + "/out/first.mtl"));
    obxDeleteModel(a);
    obxDeleteModel(b);
  }
  obxTextureUpload = GL_TRUE;
}
