// The display callback: fixed camera steps, view, light and program per frame.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "camera.h"
#include "frame.h"
#include "framing.h"
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

// The box's corners, placed and seen from the starting eye through the
// 60-degree 4:3 projection, fall inside the view and fill most of it; points
// that are not finite are left out of the box; the farthest corner lies on
// the framing sphere.
TEST(Framing, places_the_whole_box_ahead_of_the_eye_filling_the_view) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float lo[3], hi[3];
    bool fills;  // a needle pointing at the eye shows only its tip
  } boxes[] = {
      {{10, 20, 30}, {14, 22, 31}, true},                          // small, off the origin
      {{-5e5f, 0, -10}, {5e5f, 1, 10}, true},                      // a long thin line across
      {{0, -3e4f, 0}, {1, 3e4f, 1}, true},                         // tall
      {{-1, -1, -2000}, {1, 1, 2000}, false},                      // deep along the view
      {{7e6f, 7e6f, 7e6f}, {7e6f + 2, 7e6f + 3, 7e6f + 1}, true},  // far from the origin
  };

  const Vec4 eye = {0, 30, 100, 1};
  const double t = std::tan(30.0 * 3.14159265358979 / 180.0), aspect = 800.0 / 600.0;
  for (const auto& box : boxes) {
    ostrel_test::ModelBuilder b;
    for (int corner = 0; corner < 8; corner++)
      b.vertex(corner & 1 ? box.hi[0] : box.lo[0], corner & 2 ? box.hi[1] : box.lo[1],
               corner & 4 ? box.hi[2] : box.lo[2]);
    b.vertex(inf, 0, 0);
    b.vertex(0, std::nanf(""), 0);
    b.triangle(1, 2, 3);
    ObxModel* model = b.build(false);
    const ModelPlacement p = frameModel(model, eye, 60.0f, float(aspect));
    SCOPED_TRACE(box.lo[0]);
    double fill = 0, reach = 0;
    for (uint32_t i = 1; i <= 8; i++) {
      double world[3], offset = 0;
      for (int k = 0; k < 3; k++) {
        world[k] = p.target[k] + double(p.scale) * (model->vertices[3 * i + k] - p.centre[k]);
        offset += (world[k] - p.target[k]) * (world[k] - p.target[k]);
      }
      reach = std::max(reach, std::sqrt(offset));
      const double depth = eye.z - world[2];
      ASSERT_GT(depth, 10 * kNearPlane);
      const double x = (world[0] - eye.x) / (depth * t * aspect),
                   y = (world[1] - eye.y) / (depth * t);
      EXPECT_LE(std::fabs(x), 1.0);
      EXPECT_LE(std::fabs(y), 1.0);
      fill = std::max({fill, std::fabs(x), std::fabs(y)});
    }
    if (box.fills) {
      EXPECT_GT(fill, 0.7) << "too far away";
    }
    // Scaled to the framing sphere, whichever axis the model is long on.
    EXPECT_NEAR(reach, double(kFramedRadius), 1e-3 * double(kFramedRadius));
    obxDeleteModel(model);
  }
}

TEST(Framing, a_model_without_extent_keeps_scale_1_and_a_finite_place) {
  for (int points : {0, 1}) {
    ostrel_test::ModelBuilder b;
    if (points) b.vertex(3, 4, 5);
    ObxModel* model = b.build(false);
    const ModelPlacement p = frameModel(model, Vec4{0, 30, 100, 1}, 60.0f, 4.0f / 3.0f);
    EXPECT_EQ(p.scale, 1.0f) << points;
    for (int k = 0; k < 3; k++)
      EXPECT_TRUE(std::isfinite(p.target[k]) && std::isfinite(p.centre[k]));
    EXPECT_LT(p.target[2], 100.0f - float(kNearPlane)) << "at the eye";
    obxDeleteModel(model);
  }
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
