// The camera's fixed step, mouse look and view matrix.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cmath>

#include "camera.h"
#include "support.h"

namespace {

// cos and sin of the yaw as the camera computes them, with its rounded pi.
float u(float yaw) { return float(std::cos(yaw * 3.14159 / 180.0)); }
float v(float yaw) { return float(-std::sin(yaw * 3.14159 / 180.0)); }

struct StepCase {
  const char* what;
  int32_t movement;
  bool groundMode;
  float directionY;  // before the step
  float dx, dy, dz;  // expected position change
};

TEST(Camera, one_step_moves_by_the_held_flags) {
  ostrel_test::requireGlContext();
  // At yaw 90 the cosine rounds to almost nothing, so the z term of a
  // strafe vanishes in the position's rounding; yaw 0 shows it.
  for (float yaw : {90.0f, 0.0f}) {
    const float U = u(yaw), V = v(yaw);
    const StepCase cases[] = {
        {"nothing held", 0, false, 0, 0, 0, 0},
        {"W level", MOVE_FORWARD, false, 0, U, 0, V},
        {"W looking up climbs", MOVE_FORWARD, false, 0.5f, 0.5f * U, 0.5f, 0.5f * V},
        {"W looking up on the ground", MOVE_FORWARD, true, 0.5f, 0.5f * U, 0, 0.5f * V},
        {"S looking up", MOVE_BACKWARD, false, 0.5f, -0.5f * U, -0.5f, -0.5f * V},
        {"A", MOVE_LEFT, false, 0.5f, V, 0, -U},
        {"D", MOVE_RIGHT, false, 0.5f, -V, 0, U},
        {"A and D cancel", MOVE_LEFT | MOVE_RIGHT, false, 0, 0, 0, 0},
        {"W and S cancel", MOVE_FORWARD | MOVE_BACKWARD, false, 0.3f, 0, 0, 0},
        {"R", MOVE_UP, true, 0, 0, 1, 0},
        {"F", MOVE_DOWN, false, 0, 0, -1, 0},
        {"R and F cancel", MOVE_UP | MOVE_DOWN, false, 0, 0, 0, 0},
    };
    for (const StepCase& c : cases) {
      Camera camera;
      camera.yaw = yaw;
      camera.movement = c.movement;
      camera.groundMode = c.groundMode;
      camera.direction.y = c.directionY;
      camera.update();
      // The step adds in single precision, so the expectation does too.
      EXPECT_FLOAT_EQ(camera.position.x, 0.0f + c.dx) << c.what;
      EXPECT_FLOAT_EQ(camera.position.y, 30.0f + c.dy) << c.what;
      EXPECT_FLOAT_EQ(camera.position.z, 100.0f + c.dz) << c.what;
      EXPECT_EQ(camera.position.w, 1.0f) << c.what;
    }
  }
}

TEST(Camera, defaults_after_one_step) {
  ostrel_test::requireGlContext();
  Camera camera;
  camera.update();
  EXPECT_EQ(camera.position.x, 0.0f);
  EXPECT_EQ(camera.position.y, 30.0f);
  EXPECT_EQ(camera.position.z, 100.0f);
  // cos(90 deg) with pi rounded to 3.14159 is not quite 0.
  EXPECT_NEAR(camera.direction.x, 1.3e-6f, 1e-7f);
  EXPECT_GT(camera.direction.x, 0.0f);
  EXPECT_EQ(camera.direction.y, 0.0f);
  EXPECT_FLOAT_EQ(camera.direction.z, -1.0f);
  EXPECT_EQ(camera.yaw, 90.0f);
}

TEST(Camera, pitch_clamp_and_linear_horizontal_factor) {
  ostrel_test::requireGlContext();
  struct Case {
    float before, after;
  } cases[] = {{1.2f, 0.999f},   {1.0f, 0.999f},   {0.9995f, 0.9995f},
               {-1.0f, -0.999f}, {-3.0f, -0.999f}, {-0.9995f, -0.9995f}};
  for (const Case& c : cases) {
    Camera camera;
    camera.direction.y = c.before;
    camera.update();
    EXPECT_EQ(camera.direction.y, c.after) << c.before;
    float h = 1.0f - std::fabs(c.after);
    EXPECT_FLOAT_EQ(camera.direction.z, h * v(90)) << c.before;
  }
}

TEST(Camera, yaw_wraps_keeping_its_sign_after_the_step_uses_it) {
  ostrel_test::requireGlContext();
  Camera camera;
  camera.look(-800.0f, 0.0f);  // -400 degrees
  EXPECT_EQ(camera.yaw, -310.0f);
  camera.movement = MOVE_FORWARD;
  camera.update();
  EXPECT_EQ(camera.yaw, -310.0f);  // fmod keeps the sign
  // The step used the yaw before the wrap, -310: the same heading as 50.
  EXPECT_FLOAT_EQ(camera.position.x, u(-310));
  EXPECT_FLOAT_EQ(camera.position.z, 100.0f + v(-310));

  Camera turned;
  turned.yaw = 370.0f;
  turned.update();
  EXPECT_FLOAT_EQ(turned.yaw, 10.0f);
}

TEST(Camera, look_turns_and_pitches_per_pixel_without_limits) {
  Camera camera;
  camera.look(-10.0f, 10.0f);  // pointer at (410, 290)
  EXPECT_FLOAT_EQ(camera.yaw, 85.0f);
  EXPECT_FLOAT_EQ(camera.direction.y, 0.05f);
  camera.look(0.0f, 400.0f);
  EXPECT_FLOAT_EQ(camera.direction.y, 2.05f);  // clamped only by the next step
}

TEST(Camera, update_loads_the_look_at_matrix) {
  ostrel_test::requireGlContext();
  Camera camera;
  camera.position = {10, 20, 30, 1};
  camera.yaw = 180.0f;  // looks along -x
  glMatrixMode(GL_PROJECTION);
  camera.update();
  GLint mode = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_MODELVIEW);
  GLfloat m[16];
  glGetFloatv(GL_MODELVIEW_MATRIX, m);
  // The eye maps to the origin; a point ahead maps to -z in eye space.
  auto eyeZ = [&](float x, float y, float z) { return m[2] * x + m[6] * y + m[10] * z + m[14]; };
  auto eyeX = [&](float x, float y, float z) { return m[0] * x + m[4] * y + m[8] * z + m[12]; };
  EXPECT_NEAR(eyeZ(10, 20, 30), 0.0f, 1e-4);
  EXPECT_NEAR(eyeX(10, 20, 30), 0.0f, 1e-4);
  EXPECT_NEAR(eyeZ(0, 20, 30), -10.0f, 1e-3);
  glLoadIdentity();
}

TEST(Vec4, arithmetic_touches_xyz_only) {
  Vec4 a{1, 2, 3, 7};
  Vec4 b{10, 20, 30, 5};
  a += b;
  EXPECT_EQ(a[0], 11.0f);
  EXPECT_EQ(a[2], 33.0f);
  EXPECT_EQ(a.w, 7.0f);
  a -= b;
  EXPECT_EQ(a.y, 2.0f);
  EXPECT_EQ(a.w, 7.0f);
  Vec4 c = b * 0.5f;
  EXPECT_EQ(c.z, 15.0f);
  EXPECT_EQ(c.w, 5.0f);
  c *= 2.0f;
  EXPECT_EQ(c.x, 10.0f);
  EXPECT_EQ(c.w, 5.0f);
  a[1] = 9.0f;
  EXPECT_EQ(a.y, 9.0f);
}

}  // namespace
