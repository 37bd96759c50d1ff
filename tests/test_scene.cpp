// The committed scene: the library reads it without a word of complaint,
// every texture loads, the counts in models/README.md hold, the room faces
// inwards around the starting eye, and the generator still makes exactly the
// committed files.
#include <GL/glew.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "obx/obx.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define OSTREL_LEAK_CHECK 1
#endif

namespace {

using namespace ostrel_test;

const std::string kModels = std::string(OSTREL_SOURCE_DIR) + "/models/";
const std::string kSceneFile = "spy_scene_extended.obj";

// The starting eye in model coordinates: the camera's (0, 30, 100) with the
// model drawn at half scale.
constexpr float kEye[3] = {0, 60, 200};

// What reading the scene left behind, gathered once per process: reading
// 180 thousand triangles under the sanitizers is not free.
struct Scene {
  ObxModel* model = nullptr;
  std::string readWarnings;               // standard error of obxReadOBJ
  std::string normalWarnings;             // standard error of obxVertexNormals
  uint32_t fileNormals = 0;               // normals as read, before the vertex normals replace them
  std::map<std::string, int> formCounts;  // "v", "v/t", "v/t/n", "v//n" -> triangles
};

const Scene& scene() {
  static Scene s;
  if (s.model) return s;
  requireGlContext();
  testing::internal::CaptureStderr();
  s.model = obxReadOBJ((kModels + kSceneFile).c_str());
  s.readWarnings = testing::internal::GetCapturedStderr();
  // The file's own normals are replaced below, so count them and the forms first.
  s.fileNormals = s.model->numnormals;
  for (uint32_t i = 0; i < s.model->numtriangles; i++) {
    const ObxTriangle& t = s.model->triangles[i];
    bool hasT = t.tindices[0] != OBX_NO_INDEX, hasN = t.nindices[0] != OBX_NO_INDEX;
    s.formCounts[hasT ? (hasN ? "v/t/n" : "v/t") : (hasN ? "v//n" : "v")]++;
  }
  testing::internal::CaptureStderr();
  obxVertexNormals(s.model, 180.0f, GL_FALSE);  // as the program does
  s.normalWarnings = testing::internal::GetCapturedStderr();
  return s;
}

const ObxGroup* findGroup(const ObxModel* m, const std::string& name) {
  for (const ObxGroup* g = m->groups; g; g = g->next)
    if (name == g->name) return g;
  return nullptr;
}

const float* vertex(const ObxModel* m, uint32_t i) { return &m->vertices[3 * i]; }

// Names of the regular files in a directory, sorted.
std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    struct stat st;
    if (stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names.insert(e->d_name);
  }
  closedir(d);
  return names;
}

TEST(Scene, reads_without_warnings_or_fatal_errors) {
  const Scene& s = scene();
  ASSERT_NE(s.model, nullptr);
  EXPECT_EQ(s.readWarnings, "");
  EXPECT_GT(s.model->numtriangles, 0u);
}

// A warning here means a vertex no face uses; a non-finite facet normal, a
// zero-area triangle. Either spoils the smooth normals the program draws.
TEST(Scene, vertex_normals_without_warnings_and_every_facet_finite) {
  const Scene& s = scene();
  EXPECT_EQ(s.normalWarnings, "");
  uint32_t bad = 0;
  for (uint32_t i = 1; i <= s.model->numfacetnorms; i++)
    for (int k = 0; k < 3; k++)
      if (!std::isfinite(s.model->facetnorms[3 * i + k])) bad++;
  EXPECT_EQ(bad, 0u);
}

// The effects sample unit 0: a material without a loaded image would draw black.
TEST(Scene, every_material_names_a_texture_that_loads) {
  const ObxModel* m = scene().model;
  ASSERT_GT(m->numtextures, 0u);
  for (uint32_t i = 0; i < m->numtextures; i++) {
    EXPECT_NE(m->textures[i].id, 0u) << m->textures[i].name;
    EXPECT_TRUE(glIsTexture(m->textures[i].id)) << m->textures[i].name;
  }
  for (uint32_t i = 1; i < m->nummaterials; i++)
    EXPECT_GE(m->materials[i].map_diffuse, 0) << m->materials[i].name;
  uint32_t untextured = 0;
  for (uint32_t i = 0; i < m->numtriangles; i++)
    if (m->triangles[i].material == 0) untextured++;
  EXPECT_EQ(untextured, 0u) << "triangles left with the built-in default material";
}

TEST(Scene, counts_match_the_readme) {
  std::istringstream readme(readFile(kModels + "README.md"));
  std::map<std::string, long> stated;
  std::string line;
  while (std::getline(readme, line)) {
    char name[32];
    long value;
    if (sscanf(line.c_str(), "- %31[a-z]: %ld", name, &value) == 2) stated[name] = value;
  }
  ASSERT_EQ(stated.size(), 7u) << "the README's count list changed shape";
  const ObxModel* m = scene().model;
  EXPECT_EQ(stated["vertices"], long(m->numvertices));
  EXPECT_EQ(stated["texcoords"], long(m->numtexcoords));
  EXPECT_EQ(stated["triangles"], long(m->numtriangles));
  EXPECT_EQ(stated["groups"], long(m->numgroups));
  EXPECT_EQ(stated["materials"], long(m->nummaterials));
  EXPECT_EQ(stated["textures"], long(m->numtextures));
  EXPECT_EQ(stated["normals"], long(scene().fileNormals));
}

TEST(Scene, exercises_the_reader_as_real_files_do) {
  const Scene& s = scene();
  const ObxModel* m = s.model;
  EXPECT_GE(m->numgroups, 21u);     // 20 of its own and "default"
  EXPECT_GE(m->nummaterials, 11u);  // 10 of its own and "default"
  EXPECT_GE(m->numtriangles, 100000u);
  EXPECT_LE(m->numtriangles, 300000u);
  for (const char* form : {"v", "v/t", "v/t/n", "v//n"}) {
    auto it = s.formCounts.find(form);
    EXPECT_TRUE(it != s.formCounts.end() && it->second > 0) << "no face of the form " << form;
  }
  bool transparent = false;
  for (uint32_t i = 1; i < m->nummaterials; i++)
    if (m->materials[i].diffuse[3] < 1.0f) transparent = true;
  EXPECT_TRUE(transparent);

  std::set<std::string> formats;
  std::map<int32_t, int> users;
  for (uint32_t i = 0; i < m->numtextures; i++) {
    std::string name = m->textures[i].name;
    formats.insert(name.substr(name.rfind('.') + 1));
  }
  for (uint32_t i = 1; i < m->nummaterials; i++) users[m->materials[i].map_diffuse]++;
  EXPECT_EQ(formats, (std::set<std::string>{"jpg", "png", "ppm", "tga"}));
  int shared = 0;
  for (const auto& u : users) shared += u.second > 1;
  EXPECT_GE(shared, 3) << "textures shared by several materials";

  // What the reader skips or splits must be there to skip and split.
  std::istringstream file(readFile(kModels + kSceneFile));
  std::string line;
  int comments = 0, smoothing = 0, objects = 0, polygons = 0, quads = 0;
  size_t longest = 0;
  while (std::getline(file, line)) {
    longest = std::max(longest, line.size());
    if (line.empty()) continue;
    comments += line[0] == '#';
    smoothing += line.compare(0, 2, "s ") == 0;
    objects += line.compare(0, 2, "o ") == 0;
    if (line.compare(0, 2, "f ") == 0) {
      int items = 0;
      std::istringstream words(line.substr(2));
      std::string w;
      while (words >> w) items++;
      quads += items == 4;
      polygons += items > 4;
    }
  }
  EXPECT_GT(comments, 0);
  EXPECT_GT(smoothing, 0);
  EXPECT_GT(objects, 0);
  EXPECT_GT(quads, 0);
  EXPECT_GT(polygons, 0);
  EXPECT_LT(longest, 127u) << "the reader's line buffer holds 127 characters";
}

// What the program does with the scene at start-up, undone: every block the
// reading took is freed and every texture deleted. The shared scene above
// stays alive for the process, so this test reads its own copy.
TEST(Scene, read_normals_and_delete_leave_nothing_behind) {
  requireGlContext();
  testing::internal::CaptureStderr();
  ObxModel* model = obxReadOBJ((kModels + kSceneFile).c_str());
  obxVertexNormals(model, 180.0f, GL_FALSE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::vector<GLuint> textures;
  for (uint32_t i = 0; i < model->numtextures; i++) textures.push_back(model->textures[i].id);
  ASSERT_FALSE(textures.empty());
  obxDeleteModel(model);
  for (GLuint id : textures) EXPECT_FALSE(glIsTexture(id)) << id;
#ifdef OSTREL_LEAK_CHECK
  // Mesa's and X's own blocks are suppressed by library name (lsan.supp).
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the leak report is above";
#endif
}

// Back faces are culled, so the room's shell must face its inside, where the
// starting eye stands.
TEST(Scene, room_shell_faces_inwards_around_the_starting_eye) {
  const ObxModel* m = scene().model;
  const ObxGroup* floor = findGroup(m, " floor");
  const ObxGroup* ceiling = findGroup(m, " ceiling");
  ASSERT_NE(floor, nullptr);
  ASSERT_NE(ceiling, nullptr);
  float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
  for (const ObxGroup* g : {floor, ceiling})
    for (uint32_t i = 0; i < g->numtriangles; i++)
      for (uint32_t v : m->triangles[g->triangles[i]].vindices)
        for (int k = 0; k < 3; k++) {
          lo[k] = std::min(lo[k], vertex(m, v)[k]);
          hi[k] = std::max(hi[k], vertex(m, v)[k]);
        }
  for (int k = 0; k < 3; k++) {
    EXPECT_LT(lo[k], kEye[k]) << "axis " << k;
    EXPECT_GT(hi[k], kEye[k]) << "axis " << k;
  }
  const float inside[3] = {(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
  int checked = 0, outward = 0;
  for (const char* name :
       {" floor", " ceiling", " wall_far", " wall_back", " wall_left", " wall_right"}) {
    const ObxGroup* g = findGroup(m, name);
    ASSERT_NE(g, nullptr) << name;
    for (uint32_t i = 0; i < g->numtriangles; i++) {
      const ObxTriangle& t = m->triangles[g->triangles[i]];
      const float* n = &m->facetnorms[3 * t.findex];
      float d = 0;
      for (int k = 0; k < 3; k++) {
        float centroid = (vertex(m, t.vindices[0])[k] + vertex(m, t.vindices[1])[k] +
                          vertex(m, t.vindices[2])[k]) /
                         3;
        d += n[k] * (inside[k] - centroid);
      }
      checked++;
      outward += d <= 0;
    }
  }
  EXPECT_GT(checked, 100);
  EXPECT_EQ(outward, 0);
}

TEST(Scene, generator_reproduces_the_committed_files) {
  TempDir out;
  RunResult r = runProcess({OSTREL_GEN_SCENE, out.path()}, out.path(), "", 240);
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> made = filesIn(out.path());
  ASSERT_TRUE(made.count(kSceneFile)) << r.err;
  ASSERT_GE(made.size(), 6u);
  for (const std::string& name : made) {
    std::string fresh = readFile(out.path() + "/" + name);
    std::string committed = readFile(kModels + name);
    EXPECT_EQ(fresh.size(), committed.size()) << name;
    EXPECT_TRUE(fresh == committed) << name << " differs from models/" << name;
  }
  // And everything the scene names is among what the generator makes.
  std::istringstream mtl(readFile(out.path() + "/spy_scene_extended.mtl"));
  std::string line;
  int maps = 0;
  while (std::getline(mtl, line))
    if (line.compare(0, 7, "map_Kd ") == 0) {
      maps++;
      EXPECT_TRUE(made.count(line.substr(7))) << line;
    }
  EXPECT_GT(maps, 0);
}

// The real program's first frame shows the room: hardly any clear colour
// (a wall seen from behind lets it through) and neither dark nor washed out.
TEST(SceneEndToEnd, first_frame_shows_a_readable_room) {
  // The program finds ../models from a direct child of the source tree.
  std::string cwd = std::string(OSTREL_SOURCE_DIR) + "/build";
  mkdir(cwd.c_str(), 0755);
  ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", 60));
  Program program({OSTREL_PROGRAM}, cwd);
  std::string window = findWindow("Ostrel Project - Obj Loader", 60);
  ASSERT_FALSE(window.empty()) << program.err();
  Image frame;
  double luminance = 0;
  int clear = 0;
  // Wait for a drawn frame: the window stays black until the first swap.
  for (int attempt = 0; attempt < 60; attempt++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    frame = captureWindow(window);
    if (frame.rgb.empty()) continue;
    double sum = 0;
    clear = 0;
    for (size_t i = 0; i < frame.rgb.size(); i += 3) {
      const uint8_t* p = &frame.rgb[i];
      sum += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
      // Clear colour (0.2, 0.1, 0.05) within rounding.
      clear += std::abs(p[0] - 51) <= 2 && std::abs(p[1] - 26) <= 2 && std::abs(p[2] - 13) <= 2;
    }
    luminance = sum / (frame.rgb.size() / 3);
    if (luminance > 20) break;
  }
  ASSERT_FALSE(frame.rgb.empty());
  size_t pixels = frame.rgb.size() / 3;
  EXPECT_LT(double(clear) / pixels, 0.01) << "background shows through the room";
  EXPECT_GT(luminance, 60) << "too dark to read";
  EXPECT_LT(luminance, 200) << "washed out";
  if (HasFailure()) savePng(frame, cwd + "/scene_first_frame.png");
  run("xdotool key --window " + window + " Escape");
  EXPECT_EQ(program.wait(60), 0) << program.err();
}

}  // namespace
