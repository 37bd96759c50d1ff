// The display callback: fixed camera steps, view, light and program per frame.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

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
  }
};

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

}  // namespace
