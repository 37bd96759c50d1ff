// Diagnostics and text helpers of obx.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "obx/obx.h"
#include "support.h"

namespace {

std::string own(char* text) {
  std::string copy = text ? text : "<null>";
  free(text);
  return copy;
}

struct TextCase {
  const char* input;
  const char* expected;  // "<null>" for a null result
};

TEST(Text, trim_copy_table) {
  const TextCase cases[] = {
      {" \tname.mtl\r\n", "name.mtl"},
      {"name.mtl", "name.mtl"},
      {"  two words  ", "two words"},
      {"x", "x"},
      {" x ", "x"},
      {"", "<null>"},
      {" \t ", "<null>"},
      {"\r\n", "<null>"},
      {"a\\b\\ ", "a\\b\\"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(own(obxTrimCopy(c.input)), c.expected) << c.input;
}

TEST(Text, directory_of_table) {
  const TextCase cases[] = {
      {"../models/scene.obj", "../models/"},
      {"a/b/c.obj", "a/b/"},
      {"c.obj", ""},
      {"", ""},
      {"/", "/"},
      {"dir/", "dir/"},
      {"a\\b\\c.obj", ""},
      {"a/b\\c.obj", "a/"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(own(obxDirectoryOf(c.input)), c.expected) << c.input;
}

TEST(Text, copy_string_is_a_separate_block) {
  const char original[] = "spy";
  char* copy = obxCopyString(original);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, original);
  EXPECT_STREQ(copy, "spy");
  free(copy);
  EXPECT_EQ(own(obxCopyString("")), "");
}

TEST(Diagnostics, warn_writes_prefix_message_newline_and_returns) {
  testing::internal::CaptureStderr();
  obxWarn("refraction index ignored");
  obxWarn("illum material ignored: illum %d", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: refraction index ignored\n"
            "OBX: Warning: illum material ignored: illum 1\n");
}

TEST(DiagnosticsDeathTest, fail_exits_with_status_1) {
  EXPECT_EXIT(obxFail("obxReadOBJ() failed: can't open data file \"%s\".", "x.obj"),
              testing::ExitedWithCode(1),
              "^OBX: Fatal Error: obxReadOBJ\\(\\) failed: can't open data file \"x.obj\"\\.\n$");
}

TEST(DiagnosticsDeathTest, fail_with_trailing_newline_adds_an_empty_line) {
  EXPECT_EXIT(obxFail("vertex index for triangle %d out of bounds (%d > %d)\n", 0, 9, 8),
              testing::ExitedWithCode(1),
              "^OBX: Fatal Error: vertex index for triangle 0 out of bounds \\(9 > 8\\)\n\n$");
}

TEST(DiagnosticsDeathTest, fail_usage_aborts) {
  EXPECT_EXIT(obxFailUsage("bad %s", "call"), testing::KilledBySignal(SIGABRT),
              "OBX: Fatal API Usage: bad call\n");
}

TEST(DiagnosticsDeathTest, delete_model_of_null_names_the_condition) {
  EXPECT_DEATH(obxDeleteModel(nullptr), "obx/model.cpp:[0-9]+: .*Assertion `model' failed");
}

TEST(Diagnostics, log_gl_errors_drains_the_queue_in_order) {
  ostrel_test::requireGlContext();
  while (glGetError() != GL_NO_ERROR) {
  }
  testing::internal::CaptureStderr();
  obxLogGlErrors();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // Mesa keeps one error flag at a time, so one error is what can be pending.
  glEnable(0xFFFF);
  testing::internal::CaptureStderr();
  obxLogGlErrors();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "OBX: Warning: GL error: invalid enumerant\n");
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

}  // namespace
