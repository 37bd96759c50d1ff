// Start-up: version parsing, init against real GL, and the real program.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "camera.h"
#include "frame.h"
#include "state.h"
#include "support.h"

bool parseGlVersionString(const char* version, int* major, int* minor);
bool init(const char* modelPath);

namespace {

// How long the program may take to show its window, answer an input or
// end: reading the scene under the sanitizers takes seconds, and much
// longer when other tests load both cores. Waits end as soon as it answers.
constexpr double kPatience = 180;

using namespace ostrel_test;

TEST(App, parse_gl_version_table) {
  struct Case {
    const char* text;
    bool ok;
    int major, minor;
  } cases[] = {
      {"1.5.0", true, 1, 5},
      {"2.0", true, 2, 0},
      {"4.5 (Compatibility Profile) Mesa 22.3.6", true, 4, 5},
      {"abc", false, 0, 0},
      {"3", false, 0, 0},
      {nullptr, false, 0, 0},
  };
  for (const Case& c : cases) {
    int major = -7, minor = -7;
    EXPECT_EQ(parseGlVersionString(c.text, &major, &minor), c.ok) << (c.text ? c.text : "null");
    EXPECT_EQ(major, c.major) << (c.text ? c.text : "null");
    EXPECT_EQ(minor, c.minor) << (c.text ? c.text : "null");
  }
}

TEST(App, globals_start_with_their_documented_values) {
  EXPECT_EQ(gWindow.width, 800);
  EXPECT_EQ(gWindow.height, 600);
  EXPECT_FLOAT_EQ(gWindow.aspect(), 800.0f / 600.0f);
  EXPECT_TRUE(gLightingEnabled);
  EXPECT_EQ(gActiveProgram, 0u);
  ASSERT_NE(gCamera, nullptr);
  EXPECT_EQ(gCamera->position.z, 100.0f);
}

TEST(App, init_sets_the_fixed_gl_state) {
  requireGlContext();
  testing::internal::CaptureStdout();
  bool ok = init(nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok) << out;
  EXPECT_EQ(out.rfind("GL_VERSION major=4 minor=5\n", 0), 0u) << out;

  GLfloat clear[4];
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  EXPECT_FLOAT_EQ(clear[0], 0.2f);
  EXPECT_FLOAT_EQ(clear[1], 0.1f);
  EXPECT_FLOAT_EQ(clear[2], 0.05f);
  EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_LIGHT0));
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  GLint value = 0;
  glGetIntegerv(GL_DEPTH_FUNC, &value);
  EXPECT_EQ(value, GL_LEQUAL);
  glGetIntegerv(GL_FRONT_FACE, &value);
  EXPECT_EQ(value, GL_CCW);
  GLfloat ambient[4];
  glGetLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
  EXPECT_FLOAT_EQ(ambient[0], 0.6f);
  EXPECT_FLOAT_EQ(ambient[1], 0.5f);
  GLfloat projection[16];
  glGetFloatv(GL_PROJECTION_MATRIX, projection);
  // gluPerspective(60, 4/3, 1, 5000): f = 1/tan(30 deg)
  EXPECT_NEAR(projection[5], 1.7320508f, 1e-5);
  EXPECT_NEAR(projection[0], 1.7320508f / (800.0f / 600.0f), 1e-5);
}

// A reshape after start-up: the viewport, the projection's aspect and the
// window size the screen-space effects read all follow the new size.
TEST(App, reshape_follows_the_window_size) {
  requireGlContext();
  bool ok = false;
  const std::string out = printedBy([&] { ok = init(nullptr); });
  ASSERT_TRUE(ok) << out;
  gActiveProgram = gEffectPrograms[kSkinSlot];

  reshape(1000, 400);
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 1000);
  EXPECT_EQ(viewport[3], 400);
  GLfloat projection[16];
  glGetFloatv(GL_PROJECTION_MATRIX, projection);
  EXPECT_NEAR(projection[5], 1.7320508f, 1e-5);
  EXPECT_NEAR(projection[0], 1.7320508f / 2.5f, 1e-5);
  for (EffectSlot slot : {kWatercolorSlot, kHatchSlot}) {
    const GLuint program = gEffectPrograms[slot];
    GLfloat size[2] = {0, 0};
    glGetUniformfv(program, glGetUniformLocation(program, "fViewportDimensions"), size);
    EXPECT_EQ(size[0], 1000.0f) << slot;
    EXPECT_EQ(size[1], 400.0f) << slot;
  }
  GLint current = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &current);
  EXPECT_EQ(GLuint(current), gActiveProgram);
  gActiveProgram = 0;
  reshape(800, 600);
}

// Help and bad usage are answered before any window opens.
TEST(AppCommandLine, help_exits_0_and_bad_usage_exits_2) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* reason;  // on stderr before the usage; null for help
  } cases[] = {
      {{"-h"}, 0, nullptr},
      {{"--help"}, 0, nullptr},
      {{"scene.obj", "--help"}, 0, nullptr},
      {{"-x"}, 2, "ostrel: unknown option '-x'"},
      {{"--wide", "scene.obj"}, 2, "ostrel: unknown option '--wide'"},
      {{"a.obj", "b.obj"}, 2, "ostrel: one model at a time ('a.obj' and 'b.obj' given)"},
      {{"-display"}, 2, "ostrel: -display needs a value"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {OSTREL_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = runProcess(argv, OSTREL_BINARY_DIR);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string& usage = c.reason ? r.err : r.out;
    EXPECT_NE(usage.find("usage: ostrel [FILE.obj]\n"), std::string::npos) << usage;
    EXPECT_NE(usage.find("Escape  quit"), std::string::npos) << usage;  // the controls
    if (c.reason) {
      EXPECT_EQ(r.err.rfind(c.reason, 0), 0u) << r.err;
      EXPECT_EQ(r.out, "");
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}

// The real program under the test's X server.
TEST(AppEndToEnd, starts_with_the_titled_800x600_window_and_escape_exits_0) {
  ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", kPatience));
  Program program({OSTREL_PROGRAM}, OSTREL_BINARY_DIR);
  std::string window = findWindow("Ostrel Project - Obj Loader", kPatience);
  ASSERT_FALSE(window.empty()) << program.err();
  int width = 0, height = 0;
  ASSERT_TRUE(windowSize(window, &width, &height));
  EXPECT_EQ(width, 800);
  EXPECT_EQ(height, 600);

  run("xdotool key --window " + window + " Escape");
  EXPECT_EQ(program.wait(kPatience), 0) << program.err();
  EXPECT_EQ(program.out().rfind("GL_VERSION major=4 minor=5\n", 0), 0u) << program.out();
}

bool isUniform(const Image& image) {
  for (size_t i = 3; i < image.rgb.size(); i++)
    if (image.rgb[i] != image.rgb[i % 3]) return false;
  return true;
}

// Captures the window until two pictures in a row agree, so that a change
// seen afterwards comes from the input and not from frames still settling.
Image settledPicture(const std::string& window) {
  Image last = captureWindow(window);
  // Before the first frame the window holds one colour; loading takes a
  // few seconds under the sanitizers.
  for (int i = 0; i < 300 && isUniform(last); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    last = captureWindow(window);
  }
  for (int i = 0; i < 20; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Image next = captureWindow(window);
    if (meanAbsDifference(last, next) < 1e-4) return next;
    last = next;
  }
  return last;
}

// Polls the window until its picture differs from before by more than
// threshold, or timeoutSeconds pass; returns the last difference seen.
double waitForChange(const std::string& window, const Image& before, double threshold,
                     double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  double difference = 0;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    difference = meanAbsDifference(before, captureWindow(window));
  } while (difference <= threshold && std::chrono::steady_clock::now() < deadline);
  return difference;
}

// The real program driven like a user: keys and the mouse change the view.
// Each input is held until the picture answers (or a generous timeout), as
// frames take long under the sanitizers on a loaded machine.
TEST(AppEndToEnd, walking_looking_and_lighting_change_the_picture) {
  ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", kPatience));
  Program program({OSTREL_PROGRAM}, OSTREL_BINARY_DIR);
  std::string window = findWindow("Ostrel Project - Obj Loader", kPatience);
  ASSERT_FALSE(window.empty()) << program.err();
  const std::string w = " --window " + window + " ";
  Image start = settledPicture(window);
  ASSERT_GT(start.width, 0);

  run("xdotool keydown" + w + "w 2>/dev/null");
  double walked = waitForChange(window, start, 0.02, kPatience);
  run("xdotool keyup" + w + "w 2>/dev/null");
  EXPECT_GT(walked, 0.02) << "holding W did not move the camera";

  // Into the window at its centre (no turn), then 60 pixels to the right.
  Image beforeTurn = settledPicture(window);
  run("xdotool mousemove" + w + "400 300 2>/dev/null");
  run("xdotool mousemove" + w + "460 300 2>/dev/null");
  EXPECT_GT(waitForChange(window, beforeTurn, 0.02, kPatience), 0.02)
      << "the mouse did not turn the view";

  Image beforeLight = settledPicture(window);
  run("xdotool key" + w + "l 2>/dev/null");
  EXPECT_GT(waitForChange(window, beforeLight, 0.01, kPatience), 0.01)
      << "L did not switch the lighting";

  run("xdotool key" + w + "Escape 2>/dev/null");
  EXPECT_EQ(program.wait(kPatience), 0) << program.err();
}

TEST(AppEndToEnd, an_unreadable_model_ends_with_the_fatal_message_and_status_1) {
  const std::string missing = "/nonexistent/ostrel-model.obj";
  Program program({OSTREL_PROGRAM, missing}, OSTREL_BINARY_DIR);
  EXPECT_EQ(program.wait(120), 1) << program.err();
  EXPECT_EQ(program.err().rfind("OBX: Fatal Error: ", 0), 0u) << program.err();
  EXPECT_NE(program.err().find(missing), std::string::npos) << program.err();
}

// A sphere far from the origin and small in its own units, as a file of the
// user's might be: 48 slices by 32 stacks, one material, in a temp folder.
std::string writeSphere(const TempDir& dir,
                        const std::string& mtl = "newmtl pale\nKa 1 1 1\nKd 0.9 0.9 0.9\n") {
  constexpr int kSlices = 48, kStacks = 32;
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kCentre[3] = {-370.0, 42.0, 1250.0}, kRadius = 0.8;
  std::string obj = "mtllib sphere.mtl\nusemtl pale\n";
  char line[128];
  for (int i = 0; i <= kStacks; i++)
    for (int j = 0; j < kSlices; j++) {
      const double polar = kPi * i / kStacks, azimuth = 2 * kPi * j / kSlices;
      snprintf(line, sizeof line, "v %.6f %.6f %.6f\n",
               kCentre[0] + kRadius * std::sin(polar) * std::cos(azimuth),
               kCentre[1] + kRadius * std::cos(polar),
               kCentre[2] - kRadius * std::sin(polar) * std::sin(azimuth));
      obj += line;
    }
  // Counter-clockwise seen from outside: down the stack, then along the
  // slices; the rows at the poles, where a quad's top or bottom edge is one
  // point, as single triangles.
  for (int i = 0; i < kStacks; i++)
    for (int j = 0; j < kSlices; j++) {
      const int a = i * kSlices + j + 1, b = i * kSlices + (j + 1) % kSlices + 1;
      if (i == 0)
        snprintf(line, sizeof line, "f %d %d %d\n", a, a + kSlices, b + kSlices);
      else if (i == kStacks - 1)
        snprintf(line, sizeof line, "f %d %d %d\n", a, a + kSlices, b);
      else
        snprintf(line, sizeof line, "f %d %d %d %d\n", a, a + kSlices, b + kSlices, b);
      obj += line;
    }
  dir.write("sphere.mtl", mtl);
  return dir.write("sphere.obj", obj);
}

// Where a picture is not the clear colour: share, bounding box, centroid.
struct Blob {
  double share = 0;
  int left = 0, right = -1, top = 0, bottom = -1;
  double cx = 0, cy = 0;
  double width() const { return right - left + 1; }
  double height() const { return bottom - top + 1; }
};

Blob drawnPart(const Image& image) {
  Blob blob;
  blob.left = image.width;
  blob.top = image.height;
  long count = 0;
  for (int y = 0; y < image.height; y++)
    for (int x = 0; x < image.width; x++) {
      const uint8_t* p = image.at(x, y);
      // Clear colour (0.2, 0.1, 0.05) within rounding.
      if (std::abs(p[0] - 51) <= 6 && std::abs(p[1] - 26) <= 6 && std::abs(p[2] - 13) <= 6)
        continue;
      count++;
      blob.cx += x;
      blob.cy += y;
      blob.left = std::min(blob.left, x);
      blob.right = std::max(blob.right, x);
      blob.top = std::min(blob.top, y);
      blob.bottom = std::max(blob.bottom, y);
    }
  if (count == 0) return Blob{};
  blob.share = double(count) / (double(image.width) * image.height);
  blob.cx /= double(count);
  blob.cy /= double(count);
  return blob;
}

// The settled picture once the window is width x height and a frame of
// that size is drawn, or an empty one. A resized window shows its newly
// exposed part unpainted until the program's next frame, which can take
// longer than settledPicture's pause on a loaded machine; a framed model
// leaves the four corners in the clear colour once that frame is there.
Image settledPictureOfSize(const std::string& window, int width, int height) {
  auto isClear = [](const uint8_t* p) {
    return std::abs(p[0] - 51) <= 2 && std::abs(p[1] - 26) <= 2 && std::abs(p[2] - 13) <= 2;
  };
  for (int i = 0; i < 100; i++) {
    Image picture = settledPicture(window);
    if (picture.width == width && picture.height == height && isClear(picture.at(0, 0)) &&
        isClear(picture.at(width - 1, 0)) && isClear(picture.at(0, height - 1)) &&
        isClear(picture.at(width - 1, height - 1)))
      return picture;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  return {};
}

// The whole model in view and centred in the first frame, as a disc; after
// the window is resized to another shape the disc stays round and centred.
TEST(AppEndToEnd, a_given_model_is_framed_and_stays_round_when_the_window_is_resized) {
  TempDir dir;
  const std::string sphere = writeSphere(dir);
  ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", kPatience));
  Program program({OSTREL_PROGRAM, sphere}, OSTREL_BINARY_DIR);
  const std::string window = findWindow("Ostrel Project - Obj Loader", kPatience);
  ASSERT_FALSE(window.empty()) << program.err();

  struct Size {
    int width, height;
  };
  for (Size size : {Size{800, 600}, Size{1000, 450}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    if (size.width != 800)
      run("xdotool windowsize " + window + " " + std::to_string(size.width) + " " +
          std::to_string(size.height) + " 2>/dev/null");
    const Image picture = settledPictureOfSize(window, size.width, size.height);
    ASSERT_EQ(picture.width, size.width) << program.err();
    const Blob disc = drawnPart(picture);
    EXPECT_GT(disc.share, 0.03) << "the model is not drawn";
    // All of it in view: it touches no edge.
    EXPECT_GT(disc.left, 0);
    EXPECT_GT(disc.top, 0);
    EXPECT_LT(disc.right, size.width - 1);
    EXPECT_LT(disc.bottom, size.height - 1);
    EXPECT_NEAR(disc.cx, size.width / 2.0, 0.02 * size.width);
    EXPECT_NEAR(disc.cy, size.height / 2.0, 0.02 * size.height);
    EXPECT_NEAR(disc.width() / disc.height(), 1.0, 0.03);
    if (HasFailure())
      savePng(picture,
              std::string(OSTREL_BINARY_DIR) + "/framed_" + std::to_string(size.width) + ".png");
  }
  run("xdotool key --window " + window + " Escape 2>/dev/null");
  EXPECT_EQ(program.wait(kPatience), 0) << program.err();
}

// The committed knot without its mtllib and usemtl lines: positions,
// texture coordinates and no materials at all.
std::string writeKnotWithoutMaterials(const TempDir& dir) {
  std::string obj;
  std::istringstream lines(readFile(std::string(OSTREL_SOURCE_DIR) + "/models/knot/knot.obj"));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("mtllib", 0) != 0 && line.rfind("usemtl", 0) != 0) obj += line + "\n";
  return dir.write("knot.obj", obj);
}

// Mean luminance (0..1) of the pixels that are not the clear colour.
double drawnLuminance(const Image& image) {
  double sum = 0;
  long count = 0;
  for (int y = 0; y < image.height; y++)
    for (int x = 0; x < image.width; x++) {
      const uint8_t* p = image.at(x, y);
      if (std::abs(p[0] - 51) <= 6 && std::abs(p[1] - 26) <= 6 && std::abs(p[2] - 13) <= 6)
        continue;
      sum += (0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]) / 255.0;
      count++;
    }
  return count ? sum / double(count) : 0;
}

size_t countOf(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
  return n;
}

// Models nobody here made: without materials, or with materials that
// reflect no ambient light. The side in view is lit in the first frame,
// and drawing them frame after frame warns about nothing.
TEST(AppEndToEnd, a_given_model_without_materials_or_ambient_is_lit_and_quiet) {
  TempDir dir;
  const struct {
    const char* name;
    std::string path;
  } cases[] = {
      {"knot without materials", writeKnotWithoutMaterials(dir)},
      {"sphere with Ka 0", writeSphere(dir, "newmtl pale\nKa 0 0 0\nKd 0.8 0.8 0.8\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", kPatience));
    Program program({OSTREL_PROGRAM, c.path}, OSTREL_BINARY_DIR);
    const std::string window = findWindow("Ostrel Project - Obj Loader", kPatience);
    ASSERT_FALSE(window.empty()) << program.err();
    const Image first = settledPicture(window);
    const double luminance = drawnLuminance(first);
    std::cout << c.name << ": mean luminance " << luminance << "\n";
    EXPECT_GT(luminance, 0.35);
    // Frames keep coming while the pictures settle; none adds a warning.
    run("xdotool key --window " + window + " Escape 2>/dev/null");
    EXPECT_EQ(program.wait(kPatience), 0) << program.err();
    EXPECT_EQ(countOf(program.err(), "Warning"), 0u) << program.err();
  }
}

// Mean absolute difference of a corner region of two pictures.
double cornerDifference(const Image& a, const Image& b, int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++)
      for (int k = 0; k < 3; k++) sum += std::abs(a.at(x, y)[k] - b.at(x, y)[k]) / 255.0;
  return sum / (3.0 * width * height);
}

// The viewer's own keys and the orbit, driven like a user on a model of
// the user's: each changes the picture as it should.
TEST(AppEndToEnd, viewer_keys_drive_orbit_overlay_wireframe_and_screenshots) {
  TempDir dir;
  const std::string knot = writeKnotWithoutMaterials(dir);
  ASSERT_TRUE(noWindowNamed("Ostrel Project - Obj Loader", kPatience));
  Program program({OSTREL_PROGRAM, knot}, OSTREL_BINARY_DIR);
  const std::string window = findWindow("Ostrel Project - Obj Loader", kPatience);
  ASSERT_FALSE(window.empty()) << program.err();
  const std::string w = " --window " + window + " ";
  const Image start = settledPicture(window);
  ASSERT_GT(start.width, 0);

  // H: the help fills the top-left corner, away from the framed model.
  run("xdotool key" + w + "h 2>/dev/null");
  const Image help = settledPicture(window);
  EXPECT_GT(cornerDifference(start, help, 200, 100), 0.1) << "H showed no help in the corner";
  run("xdotool key" + w + "h 2>/dev/null");

  // A drag with the left button turns the model.
  const Image beforeDrag = settledPicture(window);
  run("xdotool mousemove" + w + "300 300 mousedown 1 2>/dev/null");
  run("xdotool mousemove" + w + "340 320 2>/dev/null");
  run("xdotool mousemove" + w + "380 340 mouseup 1 2>/dev/null");
  EXPECT_GT(waitForChange(window, beforeDrag, 0.01, kPatience), 0.01)
      << "dragging did not turn the view";

  // X: lines instead of filled triangles, so the clear colour shows
  // between them and much less of the picture is drawn.
  const Image filled = settledPicture(window);
  run("xdotool key" + w + "x 2>/dev/null");
  const Image lines = settledPicture(window);
  const Blob solid = drawnPart(filled), wire = drawnPart(lines);
  EXPECT_GT(wire.share, 0.01) << "the wireframe draws nothing";
  EXPECT_LT(wire.share, 0.7 * solid.share) << "X did not switch to lines";

  // P: a numbered PNG in the working directory, named on standard output.
  run("xdotool key" + w + "p 2>/dev/null");
  std::string name;
  for (int i = 0; i < 600 && name.empty(); i++) {
    const std::string out = program.out();
    const size_t at = out.find("saved ostrel-");
    if (at != std::string::npos && out.find('\n', at) != std::string::npos)
      name = out.substr(at + 6, out.find('\n', at) - at - 6);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(name.empty()) << program.out();
  const std::string path = std::string(OSTREL_BINARY_DIR) + "/" + name;
  const std::string png = readFile(path);
  std::remove(path.c_str());
  ASSERT_GT(png.size(), 8u) << path;
  EXPECT_EQ(png.substr(1, 3), "PNG");

  // Y: the file's z axis turns up. The knot lies nearly flat in its xy
  // plane (6.2 x 6.4 x 2.8), so from the front it is then seen edge-on.
  run("xdotool key" + w + "x 2>/dev/null");
  const Image yUp = settledPicture(window);
  run("xdotool key" + w + "y 2>/dev/null");
  EXPECT_GT(waitForChange(window, yUp, 0.01, kPatience), 0.01) << "Y changed nothing";
  const Blob edgeOn = drawnPart(settledPicture(window));
  EXPECT_LT(edgeOn.height(), 0.7 * edgeOn.width()) << "Y did not stand the knot on its edge";

  // F5: the file is read again; here it has become a sphere meanwhile.
  TempDir other;
  writeSphere(other);
  std::rename((other.path() + "/sphere.obj").c_str(), knot.c_str());
  std::rename((other.path() + "/sphere.mtl").c_str(), (dir.path() + "/sphere.mtl").c_str());
  const Image knotShown = settledPicture(window);
  run("xdotool key" + w + "F5 2>/dev/null");
  EXPECT_GT(waitForChange(window, knotShown, 0.01, kPatience), 0.01) << "F5 changed nothing";
  const Blob sphere = drawnPart(settledPicture(window));
  EXPECT_NEAR(sphere.width() / sphere.height(), 1.0, 0.05) << "F5 did not show the new file";

  run("xdotool key" + w + "Escape 2>/dev/null");
  EXPECT_EQ(program.wait(kPatience), 0) << program.err();
  EXPECT_NE(program.out().find("reading " + knot + " again"), std::string::npos) << program.out();
}

}  // namespace
