// The three effects: their shader interface, the sampler images, start-up
// failures end to end, and the look of each effect in screenshots of the
// real program.
#include <GL/glew.h>
#include <IL/il.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "shader.h"
#include "state.h"
#include "support.h"

bool init();

namespace {

using namespace ostrel_test;
namespace fs = std::filesystem;

const std::string kSourceDir = OSTREL_SOURCE_DIR;
const std::string kTitle = "Ostrel Project - Obj Loader";

// ---- The catalogue, as the effects must accept it ----------------------------

struct ExpectedUniform {
  const char* name;
  GLenum type;
  std::vector<float> value;  // integers for samplers
};

struct ExpectedEffect {
  const char* name;  // shader base name under shaders/
  EffectSlot slot;
  std::vector<ExpectedUniform> uniforms;
};

const std::vector<ExpectedEffect>& catalogue() {
  static const std::vector<ExpectedEffect> effects = {
      {"skin",
       kSkinSlot,
       {{"skinTex", GL_SAMPLER_2D, {1}},
        {"modelTex", GL_SAMPLER_2D, {0}},
        {"ambient", GL_FLOAT_VEC4, {0.1f, 0.1f, 0.1f, 1.0f}},
        {"lightColor", GL_FLOAT_VEC4, {0.8f, 0.8f, 0.8f, 1.0f}},
        {"kRim", GL_FLOAT, {2.0f}},
        {"kR", GL_FLOAT, {0.75f}},
        {"kS", GL_FLOAT, {0.82f}},
        {"kSpec", GL_FLOAT, {5.0f}},
        {"albedo", GL_FLOAT, {0.8f}},
        {"fresnelS", GL_FLOAT, {0.63f}}}},
      {"hatch",
       kHatchSlot,
       {{"Hatch0", GL_SAMPLER_2D, {2}},
        {"Hatch1", GL_SAMPLER_2D, {3}},
        {"Hatch2", GL_SAMPLER_2D, {4}},
        {"Hatch3", GL_SAMPLER_2D, {5}},
        {"Hatch4", GL_SAMPLER_2D, {6}},
        {"Hatch5", GL_SAMPLER_2D, {7}},
        {"ModelTex", GL_SAMPLER_2D, {0}},
        {"fViewportDimensions", GL_FLOAT_VEC2, {800.0f, 600.0f}}}},
      {"watercolor",
       kWatercolorSlot,
       {{"colorTex", GL_SAMPLER_2D, {8}},
        {"paperTex", GL_SAMPLER_2D, {9}},
        {"granTex", GL_SAMPLER_2D, {10}},
        {"sceneTex", GL_SAMPLER_2D, {0}},
        {"fViewportDimensions", GL_FLOAT_VEC2, {800.0f, 600.0f}},
        {"M", GL_FLOAT, {0.4f}},
        {"D", GL_FLOAT, {0.5f}},
        {"G", GL_FLOAT, {0.5f}},
        {"P", GL_FLOAT, {0.5f}},
        {"S", GL_FLOAT, {0.3f}}}},
  };
  return effects;
}

// Active uniforms of a program by name, without GL's built-in state.
std::map<std::string, GLenum> activeUniforms(GLuint program) {
  std::map<std::string, GLenum> found;
  GLint count = 0;
  glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count);
  for (GLint i = 0; i < count; i++) {
    char name[256];
    GLint size = 0;
    GLenum type = 0;
    glGetActiveUniform(program, GLuint(i), sizeof name, nullptr, &size, &type, name);
    if (std::string(name).rfind("gl_", 0) != 0) found[name] = type;
  }
  return found;
}

template <typename Body>
std::string printedBy(Body body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::string lowered(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Each effect compiles and links cleanly and declares exactly the catalogue's
// uniforms, every one of them active.
TEST(EffectShaders, compile_cleanly_and_accept_exactly_the_catalogue) {
  requireGlContext();
  for (const ExpectedEffect& effect : catalogue()) {
    SCOPED_TRACE(effect.name);
    std::string base = kSourceDir + "/shaders/" + effect.name;
    char* vertex = nullptr;
    char* fragment = nullptr;
    ASSERT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 1);
    // A fresh text for each run: Mesa skips compiling sources it has seen,
    // and the skipped compile would show an empty log whatever the source.
    std::string stamp = "\n// " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "\n";
    std::string vertexText = vertex + stamp, fragmentText = fragment + stamp;
    free(vertex);
    free(fragment);
    GLuint program = 0;
    int built = 0;
    std::string out = printedBy(
        [&] { built = buildShaderProgram(vertexText.c_str(), fragmentText.c_str(), &program); });
    EXPECT_EQ(built, 1) << out;
    EXPECT_EQ(lowered(out).find("warning"), std::string::npos) << out;
    EXPECT_EQ(lowered(out).find("error"), std::string::npos) << out;

    std::map<std::string, GLenum> expected;
    for (const ExpectedUniform& u : effect.uniforms) expected[u.name] = u.type;
    EXPECT_EQ(activeUniforms(program), expected);
    glUseProgram(0);
  }
}

// init() builds the three effects; every uniform reads back as catalogued.
TEST(EffectStartUp, uniforms_read_back_as_catalogued) {
  requireGlContext();
  std::string out;
  bool ok = false;
  out = printedBy([&] { ok = init(); });
  ASSERT_TRUE(ok) << out;
  EXPECT_NE(out.find("Loading Skin shader, press 1 to activate\n"
                     "Loading Hatch shader, press 3 to activate.\n"
                     "Loading Watercolor shader, press 2 to activate\n"
                     "Done loading shaders.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("glError"), std::string::npos) << out;
  EXPECT_EQ(out.find("InfoLog"), std::string::npos) << out;
  GLint active = -1;
  glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
  EXPECT_EQ(active, GL_TEXTURE0);

  for (const ExpectedEffect& effect : catalogue()) {
    SCOPED_TRACE(effect.name);
    GLuint program = gEffectPrograms[effect.slot];
    ASSERT_NE(program, 0u);
    for (const ExpectedUniform& u : effect.uniforms) {
      SCOPED_TRACE(u.name);
      GLint location = glGetUniformLocation(program, u.name);
      ASSERT_NE(location, -1);
      if (u.type == GL_SAMPLER_2D) {
        GLint value = -1;
        glGetUniformiv(program, location, &value);
        EXPECT_EQ(value, GLint(u.value[0]));
      } else {
        GLfloat value[4] = {};
        glGetUniformfv(program, location, value);
        for (size_t i = 0; i < u.value.size(); i++) EXPECT_FLOAT_EQ(value[i], u.value[i]);
      }
    }
  }
  // The sampler images stay bound on units 1 to 10, each with its own texture.
  std::vector<GLint> names;
  for (int unit = 1; unit <= 10; unit++) {
    glActiveTexture(GLenum(GL_TEXTURE0 + unit));
    GLint name = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
    EXPECT_NE(name, 0) << "unit " << unit;
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << "unit " << unit;
    names.push_back(name);
  }
  glActiveTexture(GL_TEXTURE0);
}

// ---- Sampler images ---------------------------------------------------------------

// A decoded picture, row 0 at the bottom, four bytes per pixel.
struct Rgba {
  int width = 0, height = 0;
  std::vector<uint8_t> p;
  const uint8_t* at(int x, int y) const { return &p[4 * (size_t(y) * width + x)]; }
  double channel(int x, int y, int c) const { return at(x, y)[c] / 255.0; }
};

Rgba decode(const std::string& path) {
  static bool ready = (ilInit(), true);
  (void)ready;
  Rgba image;
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  if (ilLoadImage(path.c_str())) {
    image.width = ilGetInteger(IL_IMAGE_WIDTH);
    image.height = ilGetInteger(IL_IMAGE_HEIGHT);
    image.p.resize(size_t(image.width) * image.height * 4);
    ilCopyPixels(0, 0, 0, ILuint(image.width), ILuint(image.height), 1, IL_RGBA, IL_UNSIGNED_BYTE,
                 image.p.data());
  }
  ilDeleteImages(1, &name);
  return image;
}

std::string matPath(const std::string& name) { return kSourceDir + "/models/mat/" + name; }

double meanChannel(const Rgba& image, int c) {
  double sum = 0;
  for (int y = 0; y < image.height; y++)
    for (int x = 0; x < image.width; x++) sum += image.channel(x, y, c);
  return sum / (double(image.width) * image.height);
}

// Mean absolute step between neighbours across the wrap seam, and across the
// middle lines. Both lie on the noise lattices (every period divides the
// size), so a picture that tiles has the same kind of step at both.
void seamAndInterior(const Rgba& image, int c, double* seam, double* interior) {
  double seamSum = 0, middleSum = 0;
  int w = image.width, h = image.height;
  for (int y = 0; y < h; y++) {
    seamSum += std::abs(image.channel(w - 1, y, c) - image.channel(0, y, c));
    middleSum += std::abs(image.channel(w / 2 - 1, y, c) - image.channel(w / 2, y, c));
  }
  for (int x = 0; x < w; x++) {
    seamSum += std::abs(image.channel(x, h - 1, c) - image.channel(x, 0, c));
    middleSum += std::abs(image.channel(x, h / 2 - 1, c) - image.channel(x, h / 2, c));
  }
  *seam = seamSum / (w + h);
  *interior = middleSum / (w + h);
}

TEST(EffectImages, hatching_tones_darken_in_steps_nest_are_grey_and_tile) {
  std::vector<Rgba> tones;
  for (int i = 0; i < 6; i++) {
    tones.push_back(decode(matPath("Hatch" + std::to_string(i) + ".jpg")));
    ASSERT_EQ(tones.back().width, 256) << i;
    ASSERT_EQ(tones.back().height, 256) << i;
  }
  for (int i = 0; i < 6; i++) {
    SCOPED_TRACE("Hatch" + std::to_string(i));
    const Rgba& t = tones[size_t(i)];
    EXPECT_NEAR(meanChannel(t, 0), 1.0 - 0.125 * (i + 1), 0.03);
    int coloured = 0;
    for (size_t k = 0; k < t.p.size(); k += 4)
      coloured += t.p[k] != t.p[k + 1] || t.p[k + 1] != t.p[k + 2];
    EXPECT_EQ(coloured, 0);
    double seam = 0, interior = 0;
    seamAndInterior(t, 0, &seam, &interior);
    EXPECT_LT(std::abs(seam - interior), 0.5 * interior) << seam << " vs " << interior;
    if (i == 0) continue;
    // Every stroke of the lighter tone is still there in this one.
    const Rgba& lighter = tones[size_t(i - 1)];
    int nested = 0;
    for (size_t k = 0; k < t.p.size(); k += 4) nested += t.p[k] <= lighter.p[k] + 10;
    EXPECT_GE(nested, int(0.99 * 256 * 256));
  }
}

TEST(EffectImages, paper_noise_channels_are_centred_and_tile) {
  Rgba noise = decode(matPath("noise.tga"));
  ASSERT_EQ(noise.width, 256);
  ASSERT_EQ(noise.height, 256);
  for (int c = 0; c < 3; c++) {
    SCOPED_TRACE(c);
    EXPECT_NEAR(meanChannel(noise, c), 0.5, 0.05);
    double seam = 0, interior = 0;
    seamAndInterior(noise, c, &seam, &interior);
    EXPECT_LT(std::abs(seam - interior), 0.5 * interior) << seam << " vs " << interior;
  }
  EXPECT_DOUBLE_EQ(meanChannel(noise, 3), 1.0);
  // Uncompressed true colour: image type 2 in the file header.
  EXPECT_EQ(readFile(matPath("noise.tga")).at(2), 2);
}

double luminance(double r, double g, double b) { return 0.299 * r + 0.587 * g + 0.114 * b; }

TEST(EffectImages, wash_ramp_brightens_left_to_right_and_glaze_ramp_darkens) {
  Rgba wash = decode(matPath("colormap.png"));
  Rgba glaze = decode(matPath("colormap2.png"));
  ASSERT_GT(wash.width, 16);
  ASSERT_GT(glaze.width, 16);
  auto lum = [](const Rgba& m, int x) {
    return luminance(m.channel(x, 0, 0), m.channel(x, 0, 1), m.channel(x, 0, 2));
  };
  for (int x = 1; x < wash.width; x++) EXPECT_GE(lum(wash, x), lum(wash, x - 1) - 1e-9) << x;
  for (int x = 1; x < glaze.width; x++) EXPECT_LE(lum(glaze, x), lum(glaze, x - 1) + 1e-9) << x;
  EXPECT_LT(lum(wash, 0), 0.6);  // a cool, dark shadow band
  EXPECT_GT(wash.channel(0, 0, 2), wash.channel(0, 0, 0));
  EXPECT_GT(lum(wash, wash.width - 1), 0.9);  // paper
  EXPECT_GT(lum(glaze, 0), 0.99);             // no glaze where there is no shadow
  for (const Rgba* m : {&wash, &glaze})  // constant rows
    for (int y = 1; y < m->height; y++)
      for (int x = 0; x < m->width; x++) ASSERT_EQ(memcmp(m->at(x, y), m->at(x, 0), 4), 0);
}

TEST(EffectImages, skin_detail_is_warm_and_tiles) {
  Rgba skin = decode(matPath("skin.jpg"));
  ASSERT_EQ(skin.width, 256);
  double r = meanChannel(skin, 0), g = meanChannel(skin, 1), b = meanChannel(skin, 2);
  EXPECT_GT(r, g);
  EXPECT_GT(g, b);
  EXPECT_GT(b, 0.5);  // a tint, not a colour: the model's texture shows through
  double seam = 0, interior = 0;
  seamAndInterior(skin, 0, &seam, &interior);
  EXPECT_LT(std::abs(seam - interior), 0.5 * interior) << seam << " vs " << interior;
}

// ---- Start-up failures, end to end -----------------------------------------------

// A run-time tree of its own: root/{build, models/mat, shaders}, with the
// program started in root/build as its relative paths expect.
class StartUpTree {
 public:
  StartUpTree() {
    fs::create_directories(build());
    fs::create_directories(dir_.path() + "/models/mat");
    for (const char* name : {"skin.jpg", "Hatch0.jpg", "Hatch1.jpg", "Hatch2.jpg", "Hatch3.jpg",
                             "Hatch4.jpg", "Hatch5.jpg", "colormap.png", "noise.tga",
                             "colormap2.png"})
      fs::copy_file(matPath(name), dir_.path() + "/models/mat/" + name);
    fs::copy(kSourceDir + "/shaders", dir_.path() + "/shaders");
  }
  std::string build() const { return dir_.path() + "/build"; }
  void remove(const std::string& relative) { fs::remove(dir_.path() + "/" + relative); }

 private:
  TempDir dir_;
};

// Runs the program in the tree; it must stop start-up with `expected` as its
// whole output, wait for a character on standard input, then exit 0.
void expectFailedStartUp(const StartUpTree& tree, const std::string& expected) {
  Program program({OSTREL_PROGRAM}, tree.build());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (program.out().size() < expected.size() && program.running() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Still there: it waits for the character.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(program.running()) << program.out() << program.err();
  EXPECT_EQ(program.out(), expected);
  // Blanks and line ends are skipped; a visible character ends the wait.
  program.writeInput("\n \n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(program.running());
  program.writeInput("q\n");
  EXPECT_EQ(program.wait(60), 0) << program.err();
  EXPECT_EQ(program.out(), expected);
}

const std::string kVersionLine = "GL_VERSION major=4 minor=5\n";

TEST(EffectStartUpEndToEnd, missing_hatch3_stops_after_three_hatch_images) {
  StartUpTree tree;
  tree.remove("models/mat/Hatch3.jpg");
  expectFailedStartUp(tree, kVersionLine +
                                "Loading Skin shader, press 1 to activate\n"
                                "Loading Hatch shader, press 3 to activate.\n"
                                "obxLoadTexture(): DevIL ilLoadImage(../models/mat/Hatch3.jpg): "
                                "error " + std::to_string(IL_COULD_NOT_OPEN_FILE) + "\n");
}

TEST(EffectStartUpEndToEnd, missing_watercolor_frag_stops_after_its_images) {
  StartUpTree tree;
  tree.remove("shaders/watercolor.frag");
  expectFailedStartUp(tree, kVersionLine +
                                "Loading Skin shader, press 1 to activate\n"
                                "Loading Hatch shader, press 3 to activate.\n"
                                "Loading Watercolor shader, press 2 to activate\n"
                                "Cannot determine size of the shader ../shaders/watercolor\n");
}

TEST(EffectStartUpEndToEnd, hatch_that_does_not_compile_prints_its_log_and_stops) {
  StartUpTree tree;
  tree.remove("shaders/hatch.vert");
  {
    std::ofstream broken(tree.build() + "/../shaders/hatch.vert");
    broken << "#version 120\nvoid main() { gl_Position = notDeclared; }\n";
  }
  Program program({OSTREL_PROGRAM}, tree.build());
  for (int i = 0; i < 600 && program.out().find("InfoLog") == std::string::npos && program.running(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string out = program.out();
  EXPECT_NE(out.find("Shader InfoLog:\n"), std::string::npos) << out;
  EXPECT_NE(out.find("notDeclared"), std::string::npos) << out;
  EXPECT_EQ(out.find("Watercolor"), std::string::npos) << out;
  EXPECT_EQ(out.find("Done loading shaders."), std::string::npos) << out;
  program.writeInput("x\n");
  EXPECT_EQ(program.wait(60), 0) << program.err();
}

}  // namespace
