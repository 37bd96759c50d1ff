// The three effects: their shader interface, the sampler images, start-up
// failures end to end, and the look of each effect in screenshots of the
// real program.
#include <GL/glew.h>
#include <GL/glu.h>
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

#include "camera.h"
#include "creases.h"
#include "frame.h"
#include "shader.h"
#include "state.h"
#include "support.h"
#include "viewer.h"

bool init(const char* modelPath);

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
    std::string stamp =
        "\n// " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
        "\n";
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

// Start-up, once per process (the texture-unit counter only rises, so a
// second start-up in the same process would run out of units). Returns
// whether it succeeded; *out receives what it printed.
bool startedUp(std::string* out = nullptr) {
  static std::string printed;
  static bool ok = [] {
    requireGlContext();
    bool result = false;
    printed = printedBy([&] { result = init(nullptr); });
    return result;
  }();
  if (out) *out = printed;
  return ok;
}

// init() builds the three effects; every uniform reads back as catalogued.
TEST(EffectStartUp, uniforms_read_back_as_catalogued) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
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
    EXPECT_NEAR(meanChannel(t, 0), 1.0 - (i + 1) / 7.0, 0.03);  // even steps from white
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
  for (const Rgba* m : {&wash, &glaze})       // constant rows
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
    for (const char* name :
         {"skin.jpg", "Hatch0.jpg", "Hatch1.jpg", "Hatch2.jpg", "Hatch3.jpg", "Hatch4.jpg",
          "Hatch5.jpg", "colormap.png", "noise.tga", "colormap2.png"})
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
                                "error " +
                                std::to_string(IL_COULD_NOT_OPEN_FILE) + "\n");
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
  for (int i = 0;
       i < 600 && program.out().find("InfoLog") == std::string::npos && program.running(); i++)
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

// ---- The look of each effect, in screenshots of the real program -------------

// Luminance and masks over a screenshot; the mask drops the clear colour.
struct Shot {
  Image image;
  std::vector<double> lum;    // 0..1 per pixel
  std::vector<uint8_t> mask;  // 1 where the scene was drawn

  explicit Shot(Image picture) : image(std::move(picture)) {
    const int kClear[3] = {51, 26, 13};  // glClearColor(0.2, 0.1, 0.05)
    size_t n = size_t(image.width) * image.height;
    lum.resize(n);
    mask.resize(n);
    for (size_t i = 0; i < n; i++) {
      const uint8_t* c = &image.rgb[3 * i];
      lum[i] = luminance(c[0], c[1], c[2]) / 255.0;
      bool clear = std::abs(c[0] - kClear[0]) <= 2 && std::abs(c[1] - kClear[1]) <= 2 &&
                   std::abs(c[2] - kClear[2]) <= 2;
      mask[i] = !clear;
    }
  }
  int width() const { return image.width; }
  int height() const { return image.height; }
  size_t index(int x, int y) const { return size_t(y) * width() + x; }
};

double maskShare(const Shot& s) {
  return double(std::count(s.mask.begin(), s.mask.end(), 1)) / double(s.mask.size());
}

// Share of pixels where two masks disagree, relative to the first mask.
double maskMismatch(const Shot& a, const Shot& b) {
  size_t differ = 0, inside = 0;
  for (size_t i = 0; i < a.mask.size(); i++) {
    differ += a.mask[i] != b.mask[i];
    inside += a.mask[i];
  }
  return inside ? double(differ) / double(inside) : 1.0;
}

// Mean and standard deviation of f(i) over the mask of `s`.
template <typename F>
void maskStats(const Shot& s, F f, double* mean, double* sigma) {
  double sum = 0, sum2 = 0;
  size_t n = 0;
  for (size_t i = 0; i < s.mask.size(); i++)
    if (s.mask[i]) {
      double v = f(i);
      sum += v;
      sum2 += v * v;
      n++;
    }
  *mean = n ? sum / double(n) : 0;
  *sigma = n ? std::sqrt(std::max(0.0, sum2 / double(n) - *mean * *mean)) : 0;
}

double blackShare(const Shot& s) {
  size_t black = 0, n = 0;
  for (size_t i = 0; i < s.mask.size(); i++)
    if (s.mask[i]) {
      const uint8_t* c = &s.image.rgb[3 * i];
      black += c[0] == 0 && c[1] == 0 && c[2] == 0;
      n++;
    }
  return n ? double(black) / double(n) : 1.0;
}

// Mean squared luminance step between neighbours that are both drawn.
double neighbourEnergy(const Shot& s) {
  double sum = 0;
  size_t n = 0;
  for (int y = 0; y + 1 < s.height(); y++)
    for (int x = 0; x + 1 < s.width(); x++) {
      size_t i = s.index(x, y);
      if (!s.mask[i]) continue;
      for (size_t j : {s.index(x + 1, y), s.index(x, y + 1)})
        if (s.mask[j]) {
          double d = s.lum[i] - s.lum[j];
          sum += d * d;
          n++;
        }
    }
  return n ? sum / double(n) : 0;
}

// Calls f(x0, y0) for each block of the given size lying wholly in the mask.
template <typename F>
void forEachBlock(const Shot& s, int size, F f) {
  for (int y0 = 0; y0 + size <= s.height(); y0 += size)
    for (int x0 = 0; x0 + size <= s.width(); x0 += size) {
      bool inside = true;
      for (int y = y0; y < y0 + size && inside; y++)
        for (int x = x0; x < x0 + size && inside; x++) inside = s.mask[s.index(x, y)];
      if (inside) f(x0, y0);
    }
}

double blockMean(const Shot& s, int x0, int y0, int size) {
  double sum = 0;
  for (int y = y0; y < y0 + size; y++)
    for (int x = x0; x < x0 + size; x++) sum += s.lum[s.index(x, y)];
  return sum / (size * size);
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double ma = 0, mb = 0;
  for (size_t i = 0; i < a.size(); i++) ma += a[i], mb += b[i];
  ma /= double(a.size());
  mb /= double(b.size());
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < a.size(); i++) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(std::max(saa * sbb, 1e-12));
}

// Luminance minus its 3x3 box mean: the fine texture of a picture.
double detail(const Shot& s, int x, int y) {
  double sum = 0;
  for (int j = -1; j <= 1; j++)
    for (int i = -1; i <= 1; i++) sum += s.lum[s.index(x + i, y + j)];
  return s.lum[s.index(x, y)] - sum / 9.0;
}

double blockDetailSigma(const Shot& s, int x0, int y0, int size) {
  double sum = 0, sum2 = 0;
  int n = 0;
  for (int y = std::max(y0, 1); y < std::min(y0 + size, s.height() - 1); y++)
    for (int x = std::max(x0, 1); x < std::min(x0 + size, s.width() - 1); x++) {
      double d = detail(s, x, y);
      sum += d;
      sum2 += d * d;
      n++;
    }
  double mean = sum / n;
  return std::sqrt(std::max(0.0, sum2 / n - mean * mean));
}

// Distance in pixels from each drawn pixel to the nearest undrawn one
// (8-neighbour steps; 1 next to the background), 0 outside the mask.
std::vector<int> insideDistance(const Shot& s) {
  std::vector<int> distance(s.mask.size(), -1);
  std::deque<size_t> queue;
  for (size_t i = 0; i < s.mask.size(); i++)
    if (!s.mask[i]) distance[i] = 0, queue.push_back(i);
  while (!queue.empty()) {
    size_t i = queue.front();
    queue.pop_front();
    int x = int(i % size_t(s.width())), y = int(i / size_t(s.width()));
    for (int dy = -1; dy <= 1; dy++)
      for (int dx = -1; dx <= 1; dx++) {
        int nx = x + dx, ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= s.width() || ny >= s.height()) continue;
        size_t j = s.index(nx, ny);
        if (distance[j] != -1) continue;
        distance[j] = distance[i] + 1;
        queue.push_back(j);
      }
  }
  for (int& d : distance) d = std::max(d, 0);  // a screen without background
  return distance;
}

// Mean luminance of the drawn pixels at distances lo..hi from the background.
double bandMean(const Shot& s, const std::vector<int>& distance, int lo, int hi) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < distance.size(); i++)
    if (distance[i] >= lo && distance[i] <= hi) sum += s.lum[i], n++;
  return n ? sum / double(n) : 0;
}

double saturation(const uint8_t* c) {
  int hi = std::max({c[0], c[1], c[2]}), lo = std::min({c[0], c[1], c[2]});
  return hi ? double(hi - lo) / hi : 0;
}

// Hue in degrees of an RGB colour.
double hue(double r, double g, double b) {
  double hi = std::max({r, g, b}), lo = std::min({r, g, b});
  if (hi - lo < 1e-9) return 0;
  double h = hi == r   ? std::fmod((g - b) / (hi - lo), 6.0)
             : hi == g ? (b - r) / (hi - lo) + 2
                       : (r - g) / (hi - lo) + 4;
  h *= 60;
  return h < 0 ? h + 360 : h;
}

// Waits until the window shows a picture that differs from `before` (when
// given), is not one flat colour, and stays the same for two captures.
Image settledPicture(const std::string& window, const Image* before) {
  Image last;
  for (int attempt = 0; attempt < 240; attempt++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    Image now = captureWindow(window);
    if (now.rgb.empty()) continue;
    bool flat =
        std::all_of(now.rgb.begin(), now.rgb.end(), [&](uint8_t v) { return v == now.rgb[0]; });
    bool same = last.rgb == now.rgb;
    // A few pixels may change while the key waits in a busy machine's
    // queue: the new effect must change the picture as a whole.
    bool changed = !before || meanAbsDifference(*before, now) > 0.005;
    if (same && changed && !flat) return now;
    last = std::move(now);
  }
  return {};
}

// One run of the real program: keys 0 to 3 at the start view.
struct EffectShots {
  std::vector<Shot> start;  // fixed function, skin, watercolor, hatch
  std::string error;
};

const EffectShots& effectShots() {
  static EffectShots shots = [] {
    EffectShots result;
    if (!noWindowNamed(kTitle, 60)) {
      result.error = "an earlier program's window stays open";
      return result;
    }
    Program program({OSTREL_PROGRAM}, OSTREL_BINARY_DIR);
    std::string window = findWindow(kTitle, 60);
    if (window.empty()) {
      result.error = "no window: " + program.out() + program.err();
      return result;
    }
    std::string dir = std::string(OSTREL_BINARY_DIR) + "/effect-shots";
    fs::create_directories(dir);
    Image previous;
    auto take = [&](const std::string& key, const std::string& name, std::vector<Shot>* into) {
      run("xdotool key --window " + window + " " + key);
      Image picture = settledPicture(window, previous.rgb.empty() ? nullptr : &previous);
      if (picture.rgb.empty()) {
        result.error += "no settled picture for " + name + "\n";
        return;
      }
      savePng(picture, dir + "/" + name + ".png");
      previous = picture;
      into->emplace_back(std::move(picture));
    };
    take("0", "fixed-function", &result.start);
    take("1", "skin", &result.start);
    take("2", "watercolor", &result.start);
    take("3", "hatching", &result.start);
    run("xdotool key --window " + window + " Escape");
    if (program.wait(60) != 0) result.error += "exit status: " + program.err();
    return result;
  }();
  return shots;
}

// One test, one run of the program: a run takes half a minute under the
// sanitizers. Thresholds were set once on a good render of the scene.
TEST(EffectLook, screenshots_show_each_effect_with_its_own_look) {
  const EffectShots& shots = effectShots();
  ASSERT_EQ(shots.error, "");
  ASSERT_EQ(shots.start.size(), 4u);
  const char* names[4] = {"fixed function", "skin", "watercolor", "hatching"};
  const Shot& plain = shots.start[0];
  const Shot& skin = shots.start[1];
  const Shot& water = shots.start[2];
  const Shot& hatch = shots.start[3];

  // Common ground: the scene is drawn, not blank, not flat, not black, and
  // every view differs clearly from the others.
  for (int k = 0; k < 4; k++) {
    SCOPED_TRACE(names[k]);
    const Shot& s = shots.start[size_t(k)];
    double mean = 0, sigma = 0;
    maskStats(
        s, [&](size_t i) { return s.lum[i]; }, &mean, &sigma);
    std::cout << names[k] << ": mask " << maskShare(s) << ", mismatch " << maskMismatch(plain, s)
              << ", black " << blackShare(s) << ", L mean " << mean << " sigma " << sigma
              << ", energy " << neighbourEnergy(s) << "\n";
    EXPECT_GT(maskShare(s), 0.05);
    EXPECT_LT(maskMismatch(plain, s), 0.01);
    EXPECT_LT(blackShare(s), 0.01);
    EXPECT_GT(sigma, 0.03);
    for (int j = 0; j < k; j++) {
      double difference = meanAbsDifference(shots.start[size_t(j)].image, s.image);
      std::cout << "  differs from " << names[j] << " by " << difference << "\n";
      EXPECT_GT(difference, 0.04) << names[j];
    }
  }

  {
    SCOPED_TRACE("hatching");
    double greyness = 0, dummy = 0;
    maskStats(
        hatch,
        [&](size_t i) {
          const uint8_t* c = &hatch.image.rgb[3 * i];
          return (std::abs(c[0] - c[1]) + std::abs(c[1] - c[2])) / 255.0;
        },
        &greyness, &dummy);
    double energyRatio = neighbourEnergy(hatch) / neighbourEnergy(plain);
    std::vector<double> spans;
    forEachBlock(hatch, 8, [&](int x0, int y0) {
      double m = blockMean(hatch, x0, y0, 8);
      if (m < 0.3 || m > 0.7) return;  // mid-tone blocks only
      double lo = 1, hi = 0;
      for (int y = y0; y < y0 + 8; y++)
        for (int x = x0; x < x0 + 8; x++)
          lo = std::min(lo, hatch.lum[hatch.index(x, y)]),
          hi = std::max(hi, hatch.lum[hatch.index(x, y)]);
      spans.push_back(hi - lo);
    });
    ASSERT_FALSE(spans.empty());
    std::nth_element(spans.begin(), spans.begin() + spans.size() / 2, spans.end());
    double medianSpan = spans[spans.size() / 2];
    double light = 0, belowMid = 0, dark = 0;
    maskStats(
        hatch, [&](size_t i) { return hatch.lum[i] >= 0.9 ? 1.0 : 0.0; }, &light, &dummy);
    maskStats(
        hatch, [&](size_t i) { return hatch.lum[i] < 0.5 ? 1.0 : 0.0; }, &belowMid, &dummy);
    maskStats(
        hatch, [&](size_t i) { return hatch.lum[i] < 0.35 ? 1.0 : 0.0; }, &dark, &dummy);
    std::vector<double> a, b;
    forEachBlock(plain, 16, [&](int x0, int y0) {
      a.push_back(blockMean(plain, x0, y0, 16));
      b.push_back(blockMean(hatch, x0, y0, 16));
    });
    double r = correlation(a, b);
    // Lit surfaces stay paper: of the pixels the plain view shows bright,
    // nearly all are near white.
    size_t lit = 0, litWhite = 0;
    for (size_t i = 0; i < plain.mask.size(); i++)
      if (plain.mask[i] && plain.lum[i] > 0.7) lit++, litWhite += hatch.lum[i] >= 0.85;
    const double litPaper = lit ? double(litWhite) / double(lit) : 0;
    std::cout << "hatching: lit pixels near white " << litPaper << ", greyness " << greyness
              << ", energy x" << energyRatio << ", median span " << medianSpan << ", light "
              << light << ", below mid " << belowMid << ", dark " << dark << ", r " << r << "\n";
    EXPECT_LT(greyness, 0.03);    // pure grey strokes
    EXPECT_GE(energyRatio, 2.0);  // strokes, not smooth shading
    EXPECT_GT(medianSpan, 0.3);   // mid tones are ink and paper, not grey
    EXPECT_GE(light, 1.0 / 3);    // paper shows: a third of the picture near white
    EXPECT_LT(belowMid, 0.35);    // not a field of dense cross-hatching
    EXPECT_GT(dark, 0.05);        // ink shows
    EXPECT_GE(r, 0.85);           // 16-pixel blocks follow the fixed-function tone
    EXPECT_GE(litPaper, 0.9);
  }

  {
    SCOPED_TRACE("watercolor");
    double meanL = 0, sigmaL = 0, meanS = 0, sigmaS = 0;
    maskStats(
        water, [&](size_t i) { return water.lum[i]; }, &meanL, &sigmaL);
    maskStats(
        water, [&](size_t i) { return saturation(&water.image.rgb[3 * i]); }, &meanS, &sigmaS);
    // Paper and pigment texture where the plain rendering is flat.
    double paper = 0, plainFlat = 0;
    int flatBlocks = 0;
    forEachBlock(plain, 16, [&](int x0, int y0) {
      double flatness = blockDetailSigma(plain, x0, y0, 16);
      if (flatness > 0.004) return;
      paper += blockDetailSigma(water, x0, y0, 16);
      plainFlat += flatness;
      flatBlocks++;
    });
    // The materials' hues stay: chroma (max - min of RGB) against the plain view's.
    auto chroma = [](const Shot& shot, size_t i) {
      const uint8_t* c = &shot.image.rgb[3 * i];
      return (std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]})) / 255.0;
    };
    double waterChroma = 0, plainChroma = 0, unused = 0;
    maskStats(
        water, [&](size_t i) { return chroma(water, i); }, &waterChroma, &unused);
    maskStats(
        plain, [&](size_t i) { return chroma(plain, i); }, &plainChroma, &unused);
    std::cout << "watercolor: chroma " << waterChroma / plainChroma << " of fixed function, L "
              << meanL << ", saturation " << meanS << " sigma " << sigmaS << ", flat blocks "
              << flatBlocks << " detail " << paper / std::max(flatBlocks, 1) << " (plain "
              << plainFlat / std::max(flatBlocks, 1) << ")\n";
    EXPECT_GT(meanL, 0.45);  // light, transparent washes
    EXPECT_GE(waterChroma, 0.75 * plainChroma);
    ASSERT_GT(flatBlocks, 10);
    EXPECT_GT(paper / flatBlocks, 0.008);
  }

  {
    SCOPED_TRACE("skin");
    double r = 0, g = 0, b = 0;
    for (size_t i = 0; i < skin.mask.size(); i++)
      if (skin.mask[i])
        r += skin.image.rgb[3 * i], g += skin.image.rgb[3 * i + 1], b += skin.image.rgb[3 * i + 2];
    double h = hue(r, g, b);
    // Relative to the mean brightness squared: the skin light is brighter
    // overall (wrap and rim), which scales every step between neighbours
    // without adding any texture.
    double plainMean = 0, skinMean = 0, unused = 0;
    maskStats(
        plain, [&](size_t i) { return plain.lum[i]; }, &plainMean, &unused);
    maskStats(
        skin, [&](size_t i) { return skin.lum[i]; }, &skinMean, &unused);
    double energyRatio = (neighbourEnergy(skin) / (skinMean * skinMean)) /
                         (neighbourEnergy(plain) / (plainMean * plainMean));
    std::cout << "skin: RGB sums " << r << " " << g << " " << b << ", hue " << h << ", energy x"
              << energyRatio << "\n";
    EXPECT_GT(r, g);
    EXPECT_GT(g, b);
    EXPECT_GE(h, 0.0);
    EXPECT_LE(h, 50.0);
    EXPECT_LE(energyRatio, 1.5);  // smooth skin, no added texture noise
  }
}

// Pictures drawn in this process with the programs start-up built, into an
// offscreen 800x600 target (the size fViewportDimensions assumes).
constexpr int kTargetWidth = 800, kTargetHeight = 600;

// Binds the offscreen target, made on first use, with its viewport.
void bindTarget() {
  static GLuint framebuffer = 0;
  if (!framebuffer) {
    GLuint colour = 0, depth = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glGenRenderbuffers(1, &colour);
    glBindRenderbuffer(GL_RENDERBUFFER, colour);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, kTargetWidth, kTargetHeight);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
    glGenRenderbuffers(1, &depth);
    glBindRenderbuffer(GL_RENDERBUFFER, depth);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, kTargetWidth, kTargetHeight);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth);
  }
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glViewport(0, 0, kTargetWidth, kTargetHeight);
}

// Reads the target back, top row first as in screenshots, and unbinds it.
Shot readTarget() {
  glFinish();
  Image image;
  image.width = kTargetWidth;
  image.height = kTargetHeight;
  image.rgb.resize(size_t(kTargetWidth) * kTargetHeight * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, kTargetWidth, kTargetHeight, GL_RGB, GL_UNSIGNED_BYTE, image.rgb.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  size_t row = size_t(kTargetWidth) * 3;
  for (int y = 0; y < kTargetHeight / 2; y++)
    std::swap_ranges(image.rgb.begin() + long(y * row), image.rgb.begin() + long((y + 1) * row),
                     image.rgb.end() - long((y + 1) * row));
  return Shot(image);
}

// The room fills the screen, so silhouettes are checked on a sphere: back-lit,
// as the scene's camera-facing surfaces are, against the clear colour.
Shot renderSphere(GLuint program) {
  static GLuint white = 0;
  bindTarget();
  if (!white) {
    // A plain white model texture on unit 0, with mipmaps as the scene's have.
    glActiveTexture(GL_TEXTURE0);
    glGenTextures(1, &white);
    glBindTexture(GL_TEXTURE_2D, white);
    const uint8_t texels[4 * 4 * 3] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                       255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                       255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                       255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    gluBuild2DMipmaps(GL_TEXTURE_2D, 3, 4, 4, GL_RGB, GL_UNSIGNED_BYTE, texels);
  }
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  gluLookAt(0, 30, 100, 0, 30, 99, 0, 1, 0);  // the program's start view
  glLightfv(GL_LIGHT0, GL_POSITION, gLightPosition);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, white);
  glUseProgram(program);
  GLUquadric* sphere = gluNewQuadric();
  gluQuadricNormals(sphere, GLU_SMOOTH);
  gluQuadricTexture(sphere, GL_TRUE);
  glTranslatef(0, 30, 0);
  gluSphere(sphere, 40, 96, 48);
  gluDeleteQuadric(sphere);
  glUseProgram(0);
  return readTarget();
}

// One frame of the scene, drawn by the program's own display callback with
// the given effect (0: fixed function) and the camera moved sideways by
// `left` units from the start.
Shot renderScene(GLuint program, float left) {
  bindTarget();
  Camera saved = *gCamera;
  gCamera->position.x -= left;  // the start view looks along -z: left is -x
  gActiveProgram = program;
  display();
  gActiveProgram = 0;
  *gCamera = saved;
  return readTarget();
}

// Mean absolute luminance difference between a region of `a` and the same
// region of `b` moved right by dx pixels.
double regionDifference(const Shot& a, const Shot& b, int x0, int y0, int w, int h, int dx) {
  double sum = 0;
  for (int y = y0; y < y0 + h; y++)
    for (int x = x0; x < x0 + w; x++)
      sum += std::abs(a.lum[a.index(x, y)] - b.lum[b.index(x + dx, y)]);
  return sum / (double(w) * h);
}

// Strokes belong to the surfaces: after a step to the left (0.2 s of A),
// the strokes on the far wall are found again moved right by the wall's
// own parallax, not where they were on the screen.
TEST(EffectLook, hatching_strokes_move_with_the_wall) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
  const float kStep = 20.0f;  // 0.2 s at 100 steps a second, one unit a step
  Shot before = renderScene(gEffectPrograms[kHatchSlot], 0);
  Shot after = renderScene(gEffectPrograms[kHatchSlot], kStep);
  std::string dir = std::string(OSTREL_BINARY_DIR) + "/effect-shots";
  fs::create_directories(dir);
  savePng(before.image, dir + "/hatching-before-step.png");
  savePng(after.image, dir + "/hatching-after-step.png");
  // Wallpaper between the window and the coat stand, clear of both before
  // and after the step. The wall stands at z = -80 (-160 in the model, drawn
  // at half size), the eye at z = 100: a 60-degree view over 600 pixels.
  const int x0 = 500, y0 = 230, w = 100, h = 90;
  const double focal = 300.0 / std::tan(30.0 * M_PI / 180.0);
  const double expected = focal * kStep / (gCamera->position.z + 80.0);
  int best = 0;
  for (int dx = 0; dx <= 120; dx++)
    if (regionDifference(before, after, x0, y0, w, h, dx) <
        regionDifference(before, after, x0, y0, w, h, best))
      best = dx;
  double still = regionDifference(before, after, x0, y0, w, h, 0);
  double moved = regionDifference(before, after, x0, y0, w, h, best);
  std::cout << "wall strokes: moved " << best << " px (wall " << expected << "), difference "
            << moved << " there, " << still << " in place\n";
  EXPECT_NEAR(best, expected, 2.0);
  EXPECT_LT(moved, 0.5 * still);  // the same strokes, found again
}

// A cube seen from above and to its right shows three faces; the three
// edges where they meet are creases, not silhouettes, so only the crease
// lines can darken them: the smoothed normals round the cube's shading.
// Each edge is sampled between its ends and the same samples are taken
// again a few pixels inside the face beside it.
TEST(EffectLook, hatching_draws_the_cube_s_creases_in_ink) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
  // Corners 1-8 at (+-1, +-1, +-1), one vertex each, shared by the faces.
  const std::string cube =
      "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\n"
      "v -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
      "f 5 6 7 8\nf 2 1 4 3\nf 6 2 3 7\nf 1 5 8 4\nf 8 7 3 4\nf 1 2 6 5\n";
  TempDir dir;
  const std::string path = dir.write("cube.obj", cube);
  obxDeleteModel(gModel);
  gModel = nullptr;
  loadModel(path.c_str(), true);
  EXPECT_EQ(creaseLineCount(), 12u);  // the cube's edges, no face diagonal
  gOrbit.yaw = 35.0f;
  gOrbit.pitch = 30.0f;

  bindTarget();
  gActiveProgram = gEffectPrograms[kHatchSlot];
  display();
  gActiveProgram = 0;
  Shot hatch = readTarget();
  const std::string shots = std::string(OSTREL_BINARY_DIR) + "/effect-shots";
  fs::create_directories(shots);
  savePng(hatch.image, shots + "/hatching-cube.png");

  // Where the cube's corners land: the orbit's view of the placed model.
  GLdouble model[16], projection[16];
  GLint viewport[4] = {0, 0, kTargetWidth, kTargetHeight};
  float eye[3];
  orbitEye(gOrbit, eye);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  gluLookAt(eye[0], eye[1], eye[2], gOrbit.target[0], gOrbit.target[1], gOrbit.target[2], 0, 1, 0);
  glGetDoublev(GL_MODELVIEW_MATRIX, model);
  glPopMatrix();
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  auto screen = [&](float x, float y, float z, double* sx, double* sy) {
    const ModelPlacement& p = gPlacement;
    double wx = p.target[0] + p.scale * (x - p.centre[0]);
    double wy = p.target[1] + p.scale * (y - p.centre[1]);
    double wz = p.target[2] + p.scale * (z - p.centre[2]);
    double sz = 0;
    gluProject(wx, wy, wz, model, projection, viewport, sx, sy, &sz);
    *sy = kTargetHeight - *sy;  // rows from the top, as the shot has them
  };
  // The corner nearest the eye and its three neighbours; the face centre
  // beside each edge gives the direction into that face.
  struct Edge {
    float to[3], face[3];
  };
  const Edge edges[3] = {{{-1, 1, 1}, {0, 1, 0}}, {{1, -1, 1}, {1, 0, 0}}, {{1, 1, -1}, {0, 1, 0}}};
  int dark = 0, darkInside = 0, samples = 0;
  for (const Edge& e : edges) {
    double ax, ay, bx, by, fx, fy;
    screen(1, 1, 1, &ax, &ay);
    screen(e.to[0], e.to[1], e.to[2], &bx, &by);
    screen(e.face[0], e.face[1], e.face[2], &fx, &fy);
    for (double t = 0.2; t <= 0.8; t += 0.05) {
      double x = ax + t * (bx - ax), y = ay + t * (by - ay);
      double ix = fx - x, iy = fy - y, length = std::hypot(ix, iy);
      ix *= 6 / length, iy *= 6 / length;
      // The darkest pixel within one of the point: lines are thin.
      auto darkest = [&](double px, double py) {
        double least = 1;
        for (int dy = -1; dy <= 1; dy++)
          for (int dx = -1; dx <= 1; dx++)
            least = std::min(least, hatch.lum[hatch.index(int(px) + dx, int(py) + dy)]);
        return least;
      };
      samples++;
      dark += darkest(x, y) < 0.5;
      darkInside += darkest(x + ix, y + iy) < 0.5;
    }
  }
  std::cout << "cube creases: " << dark << " of " << samples << " samples dark on the edges, "
            << darkInside << " inside the faces\n";
  EXPECT_GE(dark, samples * 9 / 10);
  EXPECT_LE(darkInside, samples / 2);
}

// The lamp's vertices carry its colours: a blue shade over an orange foot.
// Each effect shows them as the plain view does, the shade's pixels bluer
// than the foot's (the hatching, without colour: darker), where a material
// colour left over from drawing would paint both halves alike.
TEST(EffectLook, effects_take_the_colours_of_the_vertices) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
  obxDeleteModel(gModel);
  gModel = nullptr;
  loadModel((std::string(OSTREL_SOURCE_DIR) + "/models/lamp/lamp.obj").c_str(), true);
  ASSERT_TRUE(gDrawMode & OBX_COLOR);
  const struct {
    const char* name;
    GLuint program;
  } effects[] = {{"fixed function", 0},
                 {"skin", gEffectPrograms[kSkinSlot]},
                 {"watercolor", gEffectPrograms[kWatercolorSlot]},
                 {"hatching", gEffectPrograms[kHatchSlot]}};
  for (const auto& e : effects) {
    SCOPED_TRACE(e.name);
    bindTarget();
    gActiveProgram = e.program;
    display();
    gActiveProgram = 0;
    const Shot shot = readTarget();
    // Mean blue minus red and mean luminance of the drawn pixels in the top
    // and bottom thirds of the picture.
    double blue[2] = {0, 0}, lum[2] = {0, 0};
    long count[2] = {0, 0};
    for (int y = 0; y < kTargetHeight; y++) {
      const int part = y < kTargetHeight / 3 ? 0 : y >= 2 * kTargetHeight / 3 ? 1 : -1;
      if (part < 0) continue;
      for (int x = 0; x < kTargetWidth; x++) {
        const size_t i = shot.index(x, y);
        if (!shot.mask[i]) continue;
        const uint8_t* c = shot.image.at(x, y);
        blue[part] += (c[2] - c[0]) / 255.0;
        lum[part] += shot.lum[i];
        count[part]++;
      }
    }
    ASSERT_GT(count[0], 1000);
    ASSERT_GT(count[1], 1000);
    for (int k = 0; k < 2; k++) blue[k] /= double(count[k]), lum[k] /= double(count[k]);
    std::cout << e.name << ": shade blue-red " << blue[0] << " luminance " << lum[0]
              << ", foot blue-red " << blue[1] << " luminance " << lum[1] << "\n";
    if (e.program == gEffectPrograms[kHatchSlot]) {
      EXPECT_LT(lum[0], lum[1] - 0.1);
    } else {
      EXPECT_GT(blue[0], 0.1);
      EXPECT_LT(blue[1], -0.1);
    }
  }
}

// A black square facing the eye, lit by the light that follows it: the
// plain view shows it black, and so must the wash, which leaves white
// paper in the strongest light only where the pigment could shine there.
TEST(EffectLook, watercolor_keeps_a_black_surface_dark_in_the_light) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
  TempDir dir;
  const std::string path = dir.write("black.obj",
                                     "v -1 -1 0 0 0 0\nv 1 -1 0 0 0 0\nv 1 1 0 0 0 0\n"
                                     "v -1 1 0 0 0 0\nf 1 2 3 4\n");
  obxDeleteModel(gModel);
  gModel = nullptr;
  loadModel(path.c_str(), true);
  for (GLuint program : {0u, gEffectPrograms[kWatercolorSlot]}) {
    bindTarget();
    gActiveProgram = program;
    display();
    gActiveProgram = 0;
    const Shot shot = readTarget();
    double sum = 0;
    long count = 0;
    for (size_t i = 0; i < shot.lum.size(); i++)
      if (shot.mask[i]) sum += shot.lum[i], count++;
    ASSERT_GT(count, 10000);
    std::cout << (program ? "watercolor" : "fixed function") << ": black square luminance "
              << sum / double(count) << "\n";
    EXPECT_LT(sum / double(count), 0.06);  // paper in the light: 0.1
  }
}

TEST(EffectLook, watercolor_darkens_and_skin_lights_the_silhouette) {
  std::string out;
  ASSERT_TRUE(startedUp(&out)) << out;
  Shot plain = renderSphere(0);
  Shot skin = renderSphere(gEffectPrograms[kSkinSlot]);
  Shot water = renderSphere(gEffectPrograms[kWatercolorSlot]);
  double share = maskShare(plain);
  ASSERT_GT(share, 0.05);
  ASSERT_LT(share, 0.5);
  EXPECT_LT(maskMismatch(plain, skin), 0.01);
  EXPECT_LT(maskMismatch(plain, water), 0.01);
  std::vector<int> distance = insideDistance(plain);
  double waterEdge = bandMean(water, distance, 1, 3), waterInner = bandMean(water, distance, 6, 12);
  double skinEdge = bandMean(skin, distance, 1, 3), skinInner = bandMean(skin, distance, 8, 16);
  std::cout << "sphere: watercolor edge " << waterEdge << " inner " << waterInner << ", skin edge "
            << skinEdge << " inner " << skinInner << "\n";
  EXPECT_LT(waterEdge, 0.95 * waterInner);  // pigment gathers at the edge
  EXPECT_GT(skinEdge, 1.05 * skinInner);    // the rim of back-lit skin glows
  EXPECT_LT(blackShare(skin), 0.01);
  EXPECT_LT(blackShare(water), 0.01);
}

}  // namespace
