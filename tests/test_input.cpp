// Keyboard and mouse callbacks and their effect on the globals.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cctype>

#include "camera.h"
#include "frame.h"
#include "input.h"
#include "state.h"
#include "support.h"

namespace {

class Input : public testing::Test {
 protected:
  void SetUp() override {
    ostrel_test::requireGlContext();
    if (!gCamera) gCamera = new Camera();
    *gCamera = Camera();
    gEffectPrograms[0] = 101;
    gEffectPrograms[1] = 102;
    gEffectPrograms[2] = 103;
    gActiveProgram = 0;
    gLightingEnabled = true;
    glEnable(GL_LIGHTING);
  }
};

TEST_F(Input, movement_keys_set_and_clear_flags_in_either_case) {
  struct Case {
    char key;
    int32_t flag;
  } cases[] = {{'w', MOVE_FORWARD}, {'s', MOVE_BACKWARD}, {'a', MOVE_LEFT},
               {'d', MOVE_RIGHT},   {'r', MOVE_UP},       {'f', MOVE_DOWN}};
  for (const Case& c : cases) {
    for (bool upperDown : {false, true}) {
      unsigned char down = upperDown ? std::toupper(c.key) : c.key;
      unsigned char up = upperDown ? c.key : std::toupper(c.key);  // Shift changed meanwhile
      gCamera->movement = MOVE_UP & ~c.flag;  // an unrelated held flag survives
      int32_t before = gCamera->movement;
      keyboard(down, 0, 0);
      EXPECT_EQ(gCamera->movement, before | c.flag) << c.key;
      keyboardUp(up, 0, 0);
      EXPECT_EQ(gCamera->movement, before) << c.key;
    }
  }
}

TEST_F(Input, digits_select_programs) {
  const GLuint expected[10] = {0, 101, 102, 103, 0, 0, 0, 0, 0, 0};
  for (int n = 0; n < 10; n++) {
    gActiveProgram = 999;
    keyboard('0' + n, 0, 0);
    EXPECT_EQ(gActiveProgram, expected[n]) << n;
  }
}

TEST_F(Input, g_toggles_ground_mode_and_l_toggles_lighting) {
  keyboard('g', 0, 0);
  EXPECT_TRUE(gCamera->groundMode);
  keyboard('G', 0, 0);
  EXPECT_FALSE(gCamera->groundMode);

  keyboard('l', 0, 0);
  EXPECT_FALSE(gLightingEnabled);
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  keyboard('L', 0, 0);
  EXPECT_TRUE(gLightingEnabled);
  EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
}

TEST_F(Input, other_keys_change_nothing) {
  Camera before = *gCamera;
  for (unsigned char key : {'j', 'Q', ' ', '\r', '\xc8'}) {
    keyboard(key, 0, 0);
    keyboardUp(key, 0, 0);
  }
  EXPECT_EQ(gCamera->movement, before.movement);
  EXPECT_EQ(gCamera->groundMode, before.groundMode);
  EXPECT_EQ(gActiveProgram, 0u);
  EXPECT_TRUE(gLightingEnabled);
}

TEST_F(Input, pointer_at_the_centre_changes_nothing) {
  mouseMotion(400, 300);
  EXPECT_EQ(gCamera->yaw, 90.0f);
  EXPECT_EQ(gCamera->direction.y, 0.0f);
}

TEST_F(Input, pointer_off_centre_turns_by_the_distance) {
  mouseMotion(410, 290);
  EXPECT_FLOAT_EQ(gCamera->yaw, 85.0f);  // -5 degrees: to the right
  EXPECT_FLOAT_EQ(gCamera->direction.y, 0.05f);
  mouseMotion(0, 600);  // entering far from the centre turns by all of it
  EXPECT_FLOAT_EQ(gCamera->yaw, 285.0f);
  EXPECT_FLOAT_EQ(gCamera->direction.y, 0.05f - 1.5f);
}

TEST_F(Input, the_centre_follows_the_believed_window_size) {
  WindowSize saved = gWindow;
  gWindow = {801, 601};  // integer halves: 400, 300
  mouseMotion(400, 300);
  EXPECT_EQ(gCamera->yaw, 90.0f);
  gWindow = saved;
}

TEST_F(Input, the_centre_follows_a_resized_window) {
  for (GLuint& program : gEffectPrograms) program = 0;  // no effects to tell
  reshape(1001, 501);
  mouseMotion(500, 250);  // the new centre: no turn
  EXPECT_EQ(gCamera->yaw, 90.0f);
  mouseMotion(400, 300);  // the old centre is off centre now
  EXPECT_FLOAT_EQ(gCamera->yaw, 90.0f + 0.5f * 100.0f);
  EXPECT_FLOAT_EQ(gCamera->direction.y, 0.005f * -50.0f);
  reshape(800, 600);
}

TEST_F(Input, delete_camera_is_safe_twice) {
  deleteCamera();
  EXPECT_EQ(gCamera, nullptr);
  deleteCamera();
  EXPECT_EQ(gCamera, nullptr);
  gCamera = new Camera();
}

TEST(InputDeathTest, escape_deletes_the_camera_and_exits_0) {
  EXPECT_EXIT(keyboard(27, 0, 0), testing::ExitedWithCode(0), "");
}

}  // namespace
