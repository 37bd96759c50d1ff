// Shader support: source files, program builds with their logs, sampler
// textures on their units, uniform lookup and the GL error check, against
// the real GL context of the test's X server.
#include <GL/glew.h>
#include <IL/il.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "shader.h"
#include "support.h"

namespace {

using namespace ostrel_test;

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// A binary PPM, rows written top first as the format stores them.
std::string ppm(int width, int height, const std::vector<uint8_t>& rgbTopFirst) {
  return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n" +
         std::string(rgbTopFirst.begin(), rgbTopFirst.end());
}

std::string solidPpm(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height; i++) rgb.insert(rgb.end(), {r, g, b});
  return ppm(width, height, rgb);
}

const char kPlainVertex[] =
    "#version 120\n"
    "void main() { gl_Position = ftransform(); }\n";
const char kPlainFragment[] =
    "#version 120\n"
    "void main() { gl_FragColor = vec4(1.0); }\n";
// Mesa compiles an unknown extension requested with "warn" and logs a
// warning. Each use gets a text never seen before: Mesa skips compiling a
// source found in its shader cache (also one kept on disk by an earlier
// run), and the skipped compile has an empty log.
std::string warningFragment(const std::string& tag) {
  std::string stamp = std::to_string(getpid()) + " " +
                      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  return "#version 120\n"
         "#extension GL_OSTREL_no_such_extension : warn\n"
         "// " +
         tag + " " + stamp +
         "\n"
         "void main() { gl_FragColor = vec4(1.0); }\n";
}
const char kBrokenVertex[] =
    "#version 120\n"
    "void main() { gl_Position = undeclaredThing; }\n";
// Compiles, but a vertex stage without main cannot link.
const char kMainlessVertex[] =
    "#version 120\n"
    "vec4 helper() { return ftransform(); }\n";

// ---- Source files -----------------------------------------------------------

TEST(ShaderSources, reads_both_files_whole_and_zero_terminated) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.vert", kPlainVertex);
  dir.write("effect.frag", kPlainFragment);
  char* vertex = nullptr;
  char* fragment = nullptr;
  std::string out =
      printedBy([&] { EXPECT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 1); });
  EXPECT_EQ(out, "");
  ASSERT_NE(vertex, nullptr);
  ASSERT_NE(fragment, nullptr);
  EXPECT_STREQ(vertex, kPlainVertex);
  EXPECT_STREQ(fragment, kPlainFragment);
  free(vertex);
  free(fragment);
}

TEST(ShaderSources, missing_frag_fails_while_measuring_and_allocates_nothing) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.vert", kPlainVertex);
  char* vertex = nullptr;
  char* fragment = nullptr;
  std::string out =
      printedBy([&] { EXPECT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 0); });
  EXPECT_EQ(out, "Cannot determine size of the shader " + base + "\n");
  EXPECT_EQ(vertex, nullptr);
  EXPECT_EQ(fragment, nullptr);
}

TEST(ShaderSources, missing_vert_fails_while_measuring) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.frag", kPlainFragment);
  char* vertex = nullptr;
  char* fragment = nullptr;
  std::string out =
      printedBy([&] { EXPECT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 0); });
  EXPECT_EQ(out, "Cannot determine size of the shader " + base + "\n");
  EXPECT_EQ(vertex, nullptr);
}

TEST(ShaderSources, empty_vert_fails_with_the_read_message) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.vert", "");
  dir.write("effect.frag", kPlainFragment);
  char* vertex = nullptr;
  char* fragment = nullptr;
  std::string out =
      printedBy([&] { EXPECT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 0); });
  EXPECT_EQ(out, "Cannot read the file " + base + ".vert\n");
  // The buffers were handed over before the read failed.
  EXPECT_NE(vertex, nullptr);
  EXPECT_NE(fragment, nullptr);
  free(vertex);
  free(fragment);
}

TEST(ShaderSources, empty_frag_fails_with_the_read_message) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.vert", kPlainVertex);
  dir.write("effect.frag", "");
  char* vertex = nullptr;
  char* fragment = nullptr;
  std::string out =
      printedBy([&] { EXPECT_EQ(loadShaderSources(base.c_str(), &vertex, &fragment), 0); });
  EXPECT_EQ(out, "Cannot read the file " + base + ".frag\n");
  EXPECT_STREQ(vertex, kPlainVertex);
  free(vertex);
  free(fragment);
}

// The file name buffer holds 100 bytes: 94 for the base, 5 for the suffix,
// one for the zero. Both files exist in each case, so only the length decides.
TEST(ShaderSources, base_of_94_characters_works_and_95_fails_without_overflow) {
  TempDir dir;
  for (size_t length : {size_t(94), size_t(95)}) {
    std::string base = dir.path() + "/";
    base += std::string(length - base.size(), 'b');
    ASSERT_EQ(base.size(), length);
    std::string name = base.substr(dir.path().size() + 1);
    dir.write(name + ".vert", kPlainVertex);
    dir.write(name + ".frag", kPlainFragment);
    char* vertex = nullptr;
    char* fragment = nullptr;
    std::string out;
    int ok = 0;
    out = printedBy([&] { ok = loadShaderSources(base.c_str(), &vertex, &fragment); });
    if (length == 94) {
      EXPECT_EQ(ok, 1) << out;
      EXPECT_STREQ(vertex, kPlainVertex);
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(out, "Cannot determine size of the shader " + base + "\n");
      EXPECT_EQ(shaderFileSize(base.c_str(), kVertexShaderFile), -1);
      char buffer[8] = "unread";
      EXPECT_EQ(readShaderFile(base.c_str(), kVertexShaderFile, buffer, sizeof buffer), 0);
    }
    free(vertex);
    free(fragment);
  }
}

TEST(ShaderFiles, size_is_length_plus_one_and_minus_one_when_missing) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.vert", "0123456789");
  EXPECT_EQ(shaderFileSize(base.c_str(), kVertexShaderFile), 11);
  EXPECT_EQ(shaderFileSize(base.c_str(), kFragmentShaderFile), -1);
}

TEST(ShaderFiles, read_stops_one_short_of_the_size_and_terminates) {
  TempDir dir;
  std::string base = dir.path() + "/effect";
  dir.write("effect.frag", "0123456789");
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(readShaderFile(base.c_str(), kFragmentShaderFile, buffer, 5), 4);
  EXPECT_STREQ(buffer, "0123");
  EXPECT_EQ(buffer[5], 'x');
  EXPECT_EQ(readShaderFile(base.c_str(), kVertexShaderFile, buffer, 16), 0);
}

TEST(ShaderFiles, unknown_kind_ends_the_process_with_1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The message goes to standard output; sent to standard error here so the
  // death test can see it.
  EXPECT_EXIT(
      {
        dup2(2, 1);
        shaderFileSize("anything", 2);
      },
      testing::ExitedWithCode(1), "ERROR: unknown shader file type\n");
}

// ---- Program build ----------------------------------------------------------

GLint currentProgram() {
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  return program;
}

TEST(ShaderBuild, links_and_makes_the_program_current) {
  requireGlContext();
  GLuint program = 0;
  std::string out =
      printedBy([&] { EXPECT_EQ(buildShaderProgram(kPlainVertex, kPlainFragment, &program), 1); });
  ASSERT_NE(program, 0u) << out;
  EXPECT_EQ(currentProgram(), GLint(program));
  GLint linked = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &linked);
  EXPECT_TRUE(linked);
  EXPECT_EQ(countOf(out, "glError"), 0) << out;
  glUseProgram(0);
}

TEST(ShaderBuild, broken_vertex_prints_both_logs_and_leaves_program_unchanged) {
  requireGlContext();
  glUseProgram(0);
  const GLuint kUntouched = 4242;
  GLuint program = kUntouched;
  // The fragment shader compiles with a warning, so its log is not empty and
  // shows that it was compiled after the vertex shader failed.
  std::string fragment = warningFragment("broken vertex");
  std::string out = printedBy(
      [&] { EXPECT_EQ(buildShaderProgram(kBrokenVertex, fragment.c_str(), &program), 0); });
  EXPECT_EQ(program, kUntouched);
  EXPECT_EQ(countOf(out, "Shader InfoLog:\n"), 2) << out;
  EXPECT_EQ(countOf(out, "Program InfoLog:"), 0) << out;
  size_t vertexLog = out.find("undeclaredThing");
  size_t fragmentLog = out.find("GL_OSTREL_no_such_extension");
  ASSERT_NE(vertexLog, std::string::npos) << out;
  ASSERT_NE(fragmentLog, std::string::npos) << out;
  EXPECT_LT(vertexLog, fragmentLog);
  EXPECT_EQ(currentProgram(), 0);
}

TEST(ShaderBuild, link_failure_returns_0_with_the_program_named) {
  requireGlContext();
  glUseProgram(0);
  GLuint program = 0;
  std::string out = printedBy(
      [&] { EXPECT_EQ(buildShaderProgram(kMainlessVertex, kPlainFragment, &program), 0); });
  ASSERT_NE(program, 0u);
  EXPECT_TRUE(glIsProgram(program));
  GLint linked = 1;
  glGetProgramiv(program, GL_LINK_STATUS, &linked);
  EXPECT_FALSE(linked);
  EXPECT_EQ(countOf(out, "Program InfoLog:\n"), 1) << out;
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
  EXPECT_EQ(currentProgram(), 0);
}

TEST(ShaderBuild, warning_is_printed_and_the_build_still_succeeds) {
  requireGlContext();
  GLuint program = 0;
  std::string fragment = warningFragment("warning only");
  std::string out = printedBy(
      [&] { EXPECT_EQ(buildShaderProgram(kPlainVertex, fragment.c_str(), &program), 1); });
  EXPECT_EQ(out.rfind("Shader InfoLog:\n", 0), 0u) << out;
  EXPECT_NE(out.find("GL_OSTREL_no_such_extension"), std::string::npos) << out;
  EXPECT_EQ(currentProgram(), GLint(program));
  glUseProgram(0);
}

TEST(ShaderBuild, info_log_frames_the_driver_text) {
  requireGlContext();
  GLuint shader = glCreateShader(GL_VERTEX_SHADER);
  const char* text = kBrokenVertex;
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint length = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
  ASSERT_GT(length, 1);
  std::vector<char> logText(static_cast<size_t>(length));
  glGetShaderInfoLog(shader, length, nullptr, logText.data());
  std::string out = printedBy([&] { printShaderInfoLog(shader); });
  EXPECT_EQ(out, "Shader InfoLog:\n" + std::string(logText.data()) + "\n\n");
  glDeleteShader(shader);

  // A shader never compiled has an empty log: nothing is printed.
  GLuint fresh = glCreateShader(GL_FRAGMENT_SHADER);
  EXPECT_EQ(printedBy([&] { printShaderInfoLog(fresh); }), "");
  glDeleteShader(fresh);
}

TEST(ShaderBuild, info_log_printer_reports_a_gl_error_with_its_check_site) {
  requireGlContext();
  // Not a shader object: the length query fails and the check after it says so.
  GLuint program = glCreateProgram();
  std::string out = printedBy([&] { printShaderInfoLog(program); });
  EXPECT_EQ(out.rfind("glError in file src/shader @ line 51: ", 0), 0u) << out;
  glDeleteProgram(program);
}

// ---- Uniform lookup -----------------------------------------------------------

TEST(Uniforms, unused_uniform_is_reported_and_gives_minus_1) {
  requireGlContext();
  const char* fragment =
      "#version 120\n"
      "uniform float used;\n"
      "uniform float unused;\n"
      "void main() { gl_FragColor = vec4(used); }\n";
  GLuint program = 0;
  printedBy([&] { ASSERT_EQ(buildShaderProgram(kPlainVertex, fragment, &program), 1); });
  GLint location = 0;
  std::string out = printedBy([&] { location = uniformLocation(program, "unused"); });
  EXPECT_EQ(location, -1);
  EXPECT_EQ(out, "No such uniform named \"unused\"\n");

  out = printedBy([&] { location = uniformLocation(program, "used"); });
  EXPECT_GE(location, 0);
  EXPECT_EQ(out, "");
  glUseProgram(0);
}

// ---- GL error check -----------------------------------------------------------

TEST(GlErrors, pending_error_is_printed_once_and_drained) {
  requireGlContext();
  while (glGetError() != GL_NO_ERROR) {
  }
  // Two faulty calls. Mesa keeps one error flag and records only the first
  // error until it is read, so what is pending here is one "invalid
  // enumerant"; a driver with more flags would add a line for the second.
  glEnable(0xFFFF);
  glLineWidth(-1.0f);
  int reported = 0;
  std::string out = printedBy([&] { reported = checkGlError("src/here", 12); });
  EXPECT_EQ(reported, 1);
  EXPECT_EQ(out.rfind("glError in file src/here @ line 12: invalid enumerant\n", 0), 0u) << out;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_EQ(line.rfind("glError in file src/here @ line 12: ", 0), 0u) << line;
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

  out = printedBy([&] { reported = checkGlError("src/here", 13); });
  EXPECT_EQ(reported, 0);
  EXPECT_EQ(out, "");
}

TEST(GlErrors, nothing_pending_prints_nothing) {
  requireGlContext();
  while (glGetError() != GL_NO_ERROR) {
  }
  int reported = 1;
  EXPECT_EQ(printedBy([&] { reported = checkGlError("src/here", 1); }), "");
  EXPECT_EQ(reported, 0);
}

// ---- Sampler textures ---------------------------------------------------------

// Tests share one process when run together, so each sets the counter it
// starts from, as a fresh program would have it.
class SamplerTexture : public testing::Test {
 protected:
  void SetUp() override {
    requireGlContext();
    nextTextureUnit = 1;
  }
  void TearDown() override { glActiveTexture(GL_TEXTURE0); }
  TempDir dir_;
};

GLint integerState(GLenum name) {
  GLint value = 0;
  glGetIntegerv(name, &value);
  return value;
}

TEST_F(SamplerTexture, units_count_from_1_a_failure_uses_none_and_16_is_refused) {
  std::string image = dir_.write("grey.ppm", solidPpm(4, 4, 128, 128, 128));
  std::string missing = dir_.path() + "/missing.png";
  GLuint unit = 99;
  std::string out = printedBy([&] { EXPECT_EQ(loadSamplerTexture(image.c_str(), &unit), 1); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(unit, 1u);
  EXPECT_EQ(integerState(GL_ACTIVE_TEXTURE), GL_TEXTURE1);

  unit = 99;
  out = printedBy([&] { EXPECT_EQ(loadSamplerTexture(missing.c_str(), &unit), 0); });
  EXPECT_EQ(unit, 99u);
  EXPECT_EQ(out, "obxLoadTexture(): DevIL ilLoadImage(" + missing + "): error " +
                     std::to_string(IL_COULD_NOT_OPEN_FILE) + "\n");
  EXPECT_EQ(nextTextureUnit, 2);

  for (GLuint expected = 2; expected <= 15; expected++) {
    out = printedBy([&] { EXPECT_EQ(loadSamplerTexture(image.c_str(), &unit), 1); });
    EXPECT_EQ(unit, expected) << out;
    EXPECT_EQ(integerState(GL_ACTIVE_TEXTURE), GLint(GL_TEXTURE0 + expected));
    EXPECT_NE(integerState(GL_TEXTURE_BINDING_2D), 0);
  }

  // The sixteenth: refused before DevIL or GL is touched. A loader that went
  // on would set DevIL's origin to lower-left and switch the active unit.
  ilOriginFunc(IL_ORIGIN_UPPER_LEFT);
  glActiveTexture(GL_TEXTURE3);
  GLint bound = integerState(GL_TEXTURE_BINDING_2D);
  unit = 99;
  out = printedBy([&] { EXPECT_EQ(loadSamplerTexture(image.c_str(), &unit), 0); });
  EXPECT_EQ(out, "You have tried to link too many textures.\n");
  EXPECT_EQ(unit, 99u);
  EXPECT_EQ(nextTextureUnit, 16);
  EXPECT_EQ(ilGetInteger(IL_ORIGIN_MODE), IL_ORIGIN_UPPER_LEFT);
  EXPECT_EQ(integerState(GL_ACTIVE_TEXTURE), GL_TEXTURE3);
  EXPECT_EQ(integerState(GL_TEXTURE_BINDING_2D), bound);
}

TEST_F(SamplerTexture, image_is_uploaded_at_its_own_size_with_repeat_and_linear) {
  std::string image = dir_.write("wide.ppm", solidPpm(300, 200, 10, 20, 30));
  GLuint unit = 0;
  std::string out = printedBy([&] { ASSERT_EQ(loadSamplerTexture(image.c_str(), &unit), 1); });
  EXPECT_EQ(out, "");
  glActiveTexture(GL_TEXTURE0 + unit);
  GLint width = 0, height = 0, redBits = 0, alphaBits = 0, levels = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_RED_SIZE, &redBits);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_ALPHA_SIZE, &alphaBits);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &levels);
  EXPECT_EQ(width, 300);
  EXPECT_EQ(height, 200);
  EXPECT_EQ(redBits, 8);  // four components of a byte each
  EXPECT_EQ(alphaBits, 8);
  EXPECT_EQ(levels, 0) << "no mipmap levels are made";
  GLint param = 0;
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &param);
  EXPECT_EQ(param, GL_REPEAT);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &param);
  EXPECT_EQ(param, GL_REPEAT);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &param);
  EXPECT_EQ(param, GL_LINEAR);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &param);
  EXPECT_EQ(param, GL_LINEAR);

  std::vector<uint8_t> texels(300 * 200 * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
  EXPECT_EQ(texels[0], 10);
  EXPECT_EQ(texels[1], 20);
  EXPECT_EQ(texels[2], 30);
  EXPECT_EQ(texels[3], 255);  // opaque: RGB images gain a full alpha
}

TEST_F(SamplerTexture, top_row_of_the_picture_is_the_last_texture_row) {
  const int kWidth = 3, kHeight = 4;
  std::vector<uint8_t> rgb;
  for (int y = 0; y < kHeight; y++)
    for (int x = 0; x < kWidth; x++) {
      if (y == 0)
        rgb.insert(rgb.end(), {255, 0, 0});  // top row red
      else
        rgb.insert(rgb.end(), {0, 0, uint8_t(60 * y)});
    }
  std::string image = dir_.write("rows.ppm", ppm(kWidth, kHeight, rgb));
  GLuint unit = 0;
  printedBy([&] { ASSERT_EQ(loadSamplerTexture(image.c_str(), &unit), 1); });
  glActiveTexture(GL_TEXTURE0 + unit);
  std::vector<uint8_t> texels(kWidth * kHeight * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
  for (int x = 0; x < kWidth; x++) {
    const uint8_t* last = &texels[4 * ((kHeight - 1) * kWidth + x)];
    EXPECT_EQ(last[0], 255);
    EXPECT_EQ(last[2], 0);
    const uint8_t* first = &texels[4 * x];  // the picture's bottom row
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[2], 180);
  }
}

TEST_F(SamplerTexture, unreadable_picture_fails_with_the_devil_code) {
  std::string image = dir_.write("garbage.png", "this is not a png");
  GLuint unit = 77;
  std::string out = printedBy([&] { EXPECT_EQ(loadSamplerTexture(image.c_str(), &unit), 0); });
  EXPECT_EQ(out.rfind("obxLoadTexture(): DevIL ilLoadImage(" + image + "): error ", 0), 0u) << out;
  EXPECT_EQ(unit, 77u);
  EXPECT_EQ(nextTextureUnit, 1);
  // The failure leaves nothing behind that spoils the next load.
  std::string good = dir_.write("good.ppm", solidPpm(2, 2, 1, 2, 3));
  EXPECT_EQ(printedBy([&] { EXPECT_EQ(loadSamplerTexture(good.c_str(), &unit), 1); }), "");
  EXPECT_EQ(unit, 1u);
}

// ---- Vector output ----------------------------------------------------------------

TEST(VectorOutput, writes_four_components_in_parentheses) {
  std::ostringstream out;
  Vec4 v{1.0f, 2.5f, -3.0f, 0.25f};
  std::ostream& returned = out << v;
  EXPECT_EQ(&returned, &out);
  EXPECT_EQ(out.str(), "(1, 2.5, -3, 0.25)");
}

}  // namespace
