// Start-up: version parsing, init against real GL, and the real program.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "camera.h"
#include "state.h"
#include "support.h"

bool parseGlVersionString(const char* version, int* major, int* minor);
bool init(const char* modelPath);

namespace {

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

// The real program under the test's X server.
TEST(AppEndToEnd, starts_with_the_titled_800x600_window_and_escape_exits_0) {
  Program program({OSTREL_PROGRAM}, OSTREL_BINARY_DIR);
  std::string window = findWindow("Ostrel Project - Obj Loader", 60);
  ASSERT_FALSE(window.empty()) << program.err();
  int width = 0, height = 0;
  ASSERT_TRUE(windowSize(window, &width, &height));
  EXPECT_EQ(width, 800);
  EXPECT_EQ(height, 600);

  run("xdotool key --window " + window + " Escape");
  EXPECT_EQ(program.wait(60), 0) << program.err();
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
  Program program({OSTREL_PROGRAM}, OSTREL_BINARY_DIR);
  std::string window = findWindow("Ostrel Project - Obj Loader", 60);
  ASSERT_FALSE(window.empty()) << program.err();
  const std::string w = " --window " + window + " ";
  Image start = settledPicture(window);
  ASSERT_GT(start.width, 0);

  run("xdotool keydown" + w + "w 2>/dev/null");
  double walked = waitForChange(window, start, 0.02, 30);
  run("xdotool keyup" + w + "w 2>/dev/null");
  EXPECT_GT(walked, 0.02) << "holding W did not move the camera";

  // Into the window at its centre (no turn), then 60 pixels to the right.
  Image beforeTurn = settledPicture(window);
  run("xdotool mousemove" + w + "400 300 2>/dev/null");
  run("xdotool mousemove" + w + "460 300 2>/dev/null");
  EXPECT_GT(waitForChange(window, beforeTurn, 0.02, 30), 0.02) << "the mouse did not turn the view";

  Image beforeLight = settledPicture(window);
  run("xdotool key" + w + "l 2>/dev/null");
  EXPECT_GT(waitForChange(window, beforeLight, 0.01, 30), 0.01) << "L did not switch the lighting";

  run("xdotool key" + w + "Escape 2>/dev/null");
  EXPECT_EQ(program.wait(60), 0) << program.err();
}

}  // namespace
