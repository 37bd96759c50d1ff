// The display callback: fixed camera steps, view, light and program per frame.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "camera.h"
#include "frame.h"
#include "state.h"
#include "support.h"

namespace {

class Frame : public testing::Test {
 protected:
  void SetUp() override {
    ostrel_test::requireGlContext();
    if (!gCamera) gCamera = new Camera();
    *gCamera = Camera();
    gModel = nullptr;
    gActiveProgram = 0;
    gFrameLogInterval = 0;
  }
  void TearDown() override { gFrameLogInterval = 0; }
};

// VmRSS of /proc/self/status in kB, -1 when missing.
long residentFromStatus() {
  std::istringstream status(ostrel_test::readFile("/proc/self/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(Frame, catches_up_one_step_per_10ms_plus_one_per_frame) {
  gCamera->movement = MOVE_UP;
  int now = glutGet(GLUT_ELAPSED_TIME);
  gNextUpdateTime = now - 1000;  // a second without frames
  display();
  int after = glutGet(GLUT_ELAPSED_TIME);
  // Every full 10 ms up to now was stepped, then one step more.
  EXPECT_GE(gNextUpdateTime, now);
  EXPECT_LE(gNextUpdateTime, after + 10);
  int steps = (gNextUpdateTime - (now - 1000)) / 10 + 1;
  EXPECT_FLOAT_EQ(gCamera->position.y, 30.0f + float(steps));
  EXPECT_GE(steps, 101);
}

TEST_F(Frame, sets_the_view_light_and_program_each_frame) {
  gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + 100000;  // no catch-up step
  gCamera->position = {0, 30, 100, 1};
  display();
  GLfloat m[16];
  glGetFloatv(GL_MODELVIEW_MATRIX, m);
  EXPECT_NEAR(m[14], -100.0f, 1e-3);  // the eye at z 100 looking down -z
  EXPECT_NEAR(m[13], -30.0f, 1e-3);
  // The light position is stored in eye space: world (500, 1000, -1500).
  GLfloat light[4];
  glGetLightfv(GL_LIGHT0, GL_POSITION, light);
  EXPECT_NEAR(light[1], 1000.0f - 30.0f, 1e-2);
  EXPECT_NEAR(light[2], -1500.0f - 100.0f, 1e-1);
  EXPECT_EQ(light[3], 1.0f);
  GLint program = -1;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  EXPECT_EQ(program, 0);
}

TEST_F(Frame, draws_the_model_at_half_scale) {
  ostrel_test::ModelBuilder b;
  b.vertex(100, 0, 0);
  b.vertex(100, 10, 0);
  b.vertex(90, 0, 0);
  b.triangle(1, 2, 3);
  gModel = b.build();
  gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + 100000;
  // Look at the world point (50, 0, 0) from straight ahead.
  gCamera->position = {50, 0, 100, 1};
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(60.0, 800.0 / 600.0, 1.0, 5000.0);
  std::vector<GLfloat> buffer(1024);
  glFeedbackBuffer(GLsizei(buffer.size()), GL_3D, buffer.data());
  glRenderMode(GL_FEEDBACK);
  glDisable(GL_CULL_FACE);
  display();
  GLint count = glRenderMode(GL_RENDER);
  ASSERT_GE(count, 2 + 3 * 3);
  // Vertex (100, 0, 0) is drawn at world (50, 0, 0): the window centre.
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_NEAR(buffer[2], viewport[2] / 2.0f, 0.5f);
  EXPECT_NEAR(buffer[3], viewport[3] / 2.0f, 0.5f);
  obxDeleteModel(gModel);
  gModel = nullptr;
}

TEST_F(Frame, log_is_off_unless_an_interval_is_set) {
  gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + 100000;
  EXPECT_EQ(ostrel_test::printedBy([] { display(); }), "");
}

TEST_F(Frame, log_prints_frame_time_and_resident_size_every_interval) {
  gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + 100000;
  gFrameLogInterval = 3;
  gFramesDrawn = 10;  // the next log line falls on frame 12
  const std::string out = ostrel_test::printedBy([] {
    for (int i = 0; i < 5; i++) display();
  });
  const long resident = residentFromStatus();
  std::istringstream lines(out);
  std::string line;
  std::vector<long> frames;
  while (std::getline(lines, line)) {
    long frame = 0, kilobytes = 0;
    int ms = -1;
    ASSERT_EQ(sscanf(line.c_str(), "frame %ld time %d ms rss %ld kB", &frame, &ms, &kilobytes), 3)
        << line;
    frames.push_back(frame);
    EXPECT_GE(ms, 0) << line;
    EXPECT_LE(ms, glutGet(GLUT_ELAPSED_TIME)) << line;
    // The same measure as the kernel's VmRSS, taken a moment apart.
    EXPECT_NEAR(double(kilobytes), double(resident), 0.05 * double(resident)) << line;
  }
  EXPECT_EQ(frames, (std::vector<long>{12, 15}));
  EXPECT_EQ(gFramesDrawn, 15);
}

TEST(FrameLog, interval_comes_from_a_whole_positive_number) {
  const struct {
    const char* value;
    int interval;
  } cases[] = {{nullptr, 0}, {"", 0},    {"500", 500}, {"1", 1},   {"0", 0},
               {"-5", 0},    {"12x", 0}, {"x", 0},     {"1.5", 0}, {"99999999999", 0}};
  for (const auto& c : cases)
    EXPECT_EQ(frameLogInterval(c.value), c.interval) << (c.value ? c.value : "null");
}

}  // namespace
