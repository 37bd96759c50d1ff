// Texture image loading of obx: the raw PPM reader, DevIL formats, the
// upload's size, alignment, filters and mipmaps, read back from a real
// GL context.
#include <GL/glew.h>
#include <IL/il.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::readFile;
using ostrel_test::TempDir;

// A raw PPM: the header text as given, then the bytes.
std::string ppm(const std::string& header, const std::vector<uint8_t>& bytes) {
  return header + std::string(bytes.begin(), bytes.end());
}

// A w x h RGB picture whose pixel i (top row first) is (i, 2i, 3i) + base.
std::vector<uint8_t> ramp(int w, int h, int base = 0) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < w * h; i++) {
    bytes.push_back(uint8_t(base + i));
    bytes.push_back(uint8_t(base + 2 * i));
    bytes.push_back(uint8_t(base + 3 * i));
  }
  return bytes;
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir)) count++;
  closedir(dir);
  return count;
}

struct Decoded {
  GLubyte* pixels = nullptr;
  int width = -1, height = -1;
  GLenum format = 0;
  std::vector<uint8_t> bytes() const {
    int components = format == GL_RGBA ? 4 : 3;
    return pixels ? std::vector<uint8_t>(pixels, pixels + size_t(width) * height * components)
                  : std::vector<uint8_t>();
  }
  ~Decoded() { free(pixels); }
};

void readPpm(const std::string& path, Decoded* out, GLboolean alpha = GL_FALSE) {
  out->pixels = obxReadRawPPM(path.c_str(), alpha, &out->width, &out->height, &out->format);
}

// Level 0 of the bound texture as RGB bytes, row t = 0 first.
std::vector<uint8_t> texels(int level = 0) {
  GLint w = 0, h = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &h);
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  GLint pack = 4;
  glGetIntegerv(GL_PACK_ALIGNMENT, &pack);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, level, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  glPixelStorei(GL_PACK_ALIGNMENT, pack);
  return rgb;
}

GLint levelWidth(int level) {
  GLint w = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &w);
  return w;
}
GLint levelHeight(int level) {
  GLint h = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &h);
  return h;
}
GLint parameter(GLenum name) {
  GLint value = 0;
  glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
  return value;
}

void convert(const std::string& arguments) {
  ASSERT_EQ(std::system(("convert " + arguments + " 2>/dev/null").c_str()), 0) << arguments;
}

struct Loaded {
  GLuint id = 0;
  float sw = -5, sh = -5;
};

Loaded load(const std::string& path, bool alpha = true, bool repeat = true, bool filtering = true,
            bool mipmaps = true) {
  Loaded l;
  l.id = obxLoadTexture(path.c_str(), alpha, repeat, filtering, mipmaps, &l.sw, &l.sh);
  return l;
}

class Texture : public testing::Test {
 protected:
  void SetUp() override {
    ostrel_test::requireGlContext();
    while (glGetError() != GL_NO_ERROR) {
    }
    if (obxTextureLimitsPending) obxInitTextureLimits();
  }
  void TearDown() override {
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    for (GLuint id : made_) glDeleteTextures(1, &id);
  }
  Loaded keep(Loaded l) {
    if (l.id) made_.push_back(l.id);
    return l;
  }
  TempDir dir_;
  std::vector<GLuint> made_;
};

// ---- Raw PPM reader ---------------------------------------------------

TEST(Ppm, header_on_one_line) {
  TempDir dir;
  Decoded d;
  readPpm(dir.write("a.ppm", ppm("P6\n3 2 255\n", ramp(3, 2))), &d);
  ASSERT_NE(d.pixels, nullptr);
  EXPECT_EQ(d.width, 3);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.format, GLenum(GL_RGB));
  EXPECT_EQ(d.bytes(), ramp(3, 2));
}

TEST(Ppm, header_spread_over_lines_with_comments_reads_the_same) {
  // Pixel bytes that look like text: '\n', '#', ' ' and digits.
  std::vector<uint8_t> bytes = {'\n', '#', ' ', '1', '2', '\n', 0, 255, 9,
                                10,   35,  32,  '4', '4', '\n', 7, 8,   9};
  const char* headers[] = {
      "P6\n3 2 255\n",
      "P6\n# made by hand\n3\n# height next\n2\n#\n255\n",
      "P6\n3 2\n# maximum\n255\n",
      "P6 ignored 9 9 9\n3\n2 255\n",
      "P6\nwidth follows\n3 2 255\n",  // text-only line parses nothing
      "P6\n#a comment longer than one piece of sixty-nine characters ........... and its rest is "
      "words\n3 2 255\n",
      "P6\n# sixty-nine characters, so the line end is a piece of its own.......\n3 2 255\n",
  };
  for (const char* header : headers) {
    TempDir dir;
    Decoded d;
    readPpm(dir.write("a.ppm", ppm(header, bytes)), &d);
    ASSERT_NE(d.pixels, nullptr) << header;
    EXPECT_EQ(d.width, 3) << header;
    EXPECT_EQ(d.height, 2) << header;
    EXPECT_EQ(d.bytes(), bytes) << header;
  }
}

TEST(Ppm, long_comment_rest_is_parsed_as_a_line) {
  // The comment's 70th character starts a new piece: "7 1 255" are the
  // header numbers, and the line below is the first pixel data.
  std::string comment = "#" + std::string(68, 'c');
  ASSERT_EQ(comment.size(), 69u);
  TempDir dir;
  Decoded d;
  readPpm(dir.write("a.ppm", ppm("P6\n" + comment + "7 1 255\n", ramp(7, 1))), &d);
  ASSERT_NE(d.pixels, nullptr);
  EXPECT_EQ(d.width, 7);
  EXPECT_EQ(d.height, 1);
  EXPECT_EQ(d.bytes(), ramp(7, 1));
}

TEST(Ppm, alpha_does_not_apply) {
  TempDir dir;
  Decoded d;
  readPpm(dir.write("a.ppm", ppm("P6\n2 1 255\n", ramp(2, 1))), &d, GL_TRUE);
  ASSERT_NE(d.pixels, nullptr);
  EXPECT_EQ(d.format, GLenum(GL_RGB));
}

TEST(Ppm, broken_files_fail_quietly_and_are_closed) {
  struct Case {
    const char* what;
    std::string content;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"plain text PPM", "P3\n1 1 255\n1 2 3\n"},
      {"PGM", ppm("P5\n2 1 255\n", {1, 2})},
      {"magic not at the start", ppm(" P6\n1 1 255\n", {1, 2, 3})},
      {"blank header line", ppm("P6\n\n1 1 255\n", {1, 2, 3})},
      {"header line of blanks", ppm("P6\n3 2\n \t \n255\n", ramp(3, 2))},
      {"header cut short", "P6\n3 2\n"},
      {"header only comments", "P6\n# a\n# b\n"},
      {"fewer bytes than promised", ppm("P6\n3 2 255\n", std::vector<uint8_t>(17, 7))},
      {"no pixel data", "P6\n3 2 255\n"},
      {"zero width", ppm("P6\n0 2 255\n", ramp(1, 1))},
      {"negative height", ppm("P6\n2 -2 255\n", ramp(2, 2))},
      {"size beyond memory", ppm("P6\n2000000000 2000000000 255\n", ramp(2, 2))},
      {"size wrapping 32 bits", ppm("P6\n65536 32768 255\n", ramp(2, 2))},
      {"width beyond int", ppm("P6\n99999999999 1 255\n", ramp(2, 2))},
      {"maximum beyond int", ppm("P6\n1 1\n-99999999999\n", ramp(1, 1))},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.write("a.ppm", c.content);
    int before = openDescriptors();
    testing::internal::CaptureStderr();
    Decoded d;
    readPpm(path, &d);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
    EXPECT_EQ(d.pixels, nullptr) << c.what;
    EXPECT_EQ(openDescriptors(), before) << c.what;
  }
}

// The system's reason goes where every warning goes: to an installed sink,
// not around it to standard error.
TEST(Ppm, missing_file_warns_the_system_error_through_the_sink) {
  TempDir dir;
  std::string path = dir.path() + "/none.ppm";
  std::string warned;
  obxSetWarningSink([](const char* text, void* to) { *static_cast<std::string*>(to) += text; },
                    &warned);
  testing::internal::CaptureStderr();
  Decoded d;
  readPpm(path, &d);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  obxSetWarningSink(nullptr, nullptr);
  EXPECT_EQ(warned, path + ": No such file or directory");
  EXPECT_EQ(d.pixels, nullptr);
}

// ---- Without a context ------------------------------------------------

// Reading with uploads on (the default) in a thread without a current
// context keeps the maps by name, as with uploads off, and says so once:
// GLU, asked to stretch a 3 x 3 picture or to build mipmaps of a 2 x 2 one
// there, divided by zero or wrote through null. Run in a child, where a
// signal would show as the status; before any test here makes a context.
TEST(TextureWithoutContext, reading_keeps_maps_by_name_and_warns_once) {
  if (glGetString(GL_VERSION) != nullptr) GTEST_SKIP() << "a context is current in this process";
  TempDir dir;
  dir.write("even.ppm", ppm("P6\n2 2 255\n", ramp(2, 2)));
  dir.write("odd.ppm", ppm("P6\n3 3 255\n", ramp(3, 3)));
  dir.write("lib.mtl", "newmtl even\nmap_Kd even.ppm\nnewmtl odd\nmap_Kd odd.ppm\n");
  const std::string path =
      dir.write("model.obj", "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl odd\nf 1 2 3\n");
  int status = -1;
  const std::string err = ostrel_test::stderrOfChild(
      [&] {
        obxTextureUpload = GL_TRUE;
        for (int read = 0; read < 2; read++) {  // each read warns once
          char message[256];
          ObxModel* model = obxTryReadOBJ(path.c_str(), message, sizeof message);
          if (!model) {
            fprintf(stderr, "failed: %s\n", message);
            return;
          }
          for (uint32_t i = 0; i < model->numtextures; i++)
            fprintf(stderr, "%s %u %g %g\n", model->textures[i].name, model->textures[i].id,
                    model->textures[i].width, model->textures[i].height);
          obxDeleteModel(model);
        }
      },
      &status);
  EXPECT_EQ(status, 0);
  const std::string once = "OBX: Warning: obxLoadTexture(): no current GL context: " +
                           dir.path() +
                           "/even.ppm and the textures after it are kept by name, not loaded.\n"
                           "even.ppm 0 1 1\n"
                           "odd.ppm 0 1 1\n";
  EXPECT_EQ(err, once + once);
}

// ---- DevIL reader -----------------------------------------------------

TEST(Image, png_rows_come_bottom_first) {
  TempDir dir;
  std::string source = dir.write("a.ppm", ppm("P6\n3 2 255\n", ramp(3, 2)));
  convert(source + " " + dir.path() + "/a.png");
  Decoded d;
  d.pixels =
      obxReadImage((dir.path() + "/a.png").c_str(), GL_FALSE, &d.width, &d.height, &d.format);
  ASSERT_NE(d.pixels, nullptr);
  EXPECT_EQ(d.width, 3);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.format, GLenum(GL_RGB));
  std::vector<uint8_t> top = ramp(3, 2);
  std::vector<uint8_t> flipped(top.begin() + 9, top.end());
  flipped.insert(flipped.end(), top.begin(), top.begin() + 9);
  EXPECT_EQ(d.bytes(), flipped);
}

TEST(Image, alpha_gives_rgba) {
  TempDir dir;
  std::string png = dir.path() + "/a.png";
  convert("-size 2x2 xc:'rgba(10,20,30,0.5)' " + png);
  Decoded d;
  d.pixels = obxReadImage(png.c_str(), GL_TRUE, &d.width, &d.height, &d.format);
  ASSERT_NE(d.pixels, nullptr);
  EXPECT_EQ(d.format, GLenum(GL_RGBA));
  std::vector<uint8_t> bytes = d.bytes();
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[1], 20);
  EXPECT_EQ(bytes[2], 30);
  EXPECT_NEAR(bytes[3], 128, 1);
}

TEST(Image, failure_before_does_not_fail_the_next_image) {
  TempDir dir;
  std::string png = dir.path() + "/a.png";
  convert("-size 2x2 xc:red " + png);
  Decoded missing, good;
  missing.pixels = obxReadImage((dir.path() + "/none.png").c_str(), GL_FALSE, &missing.width,
                                &missing.height, &missing.format);
  EXPECT_EQ(missing.pixels, nullptr);
  good.pixels = obxReadImage(png.c_str(), GL_FALSE, &good.width, &good.height, &good.format);
  ASSERT_NE(good.pixels, nullptr);
  EXPECT_EQ(good.bytes(), std::vector<uint8_t>({255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0}));
}

TEST(Image, not_an_image_gives_null) {
  TempDir dir;
  std::string path = dir.write("a.png", "this is not a picture\n");
  Decoded d;
  testing::internal::CaptureStderr();
  d.pixels = obxReadImage(path.c_str(), GL_FALSE, &d.width, &d.height, &d.format);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(d.pixels, nullptr);
}

// Files DevIL would spin on or allocate gigabytes for are refused before
// it sees them (such files hung and took 3 GB): PNG and JPEG files cut
// short, and headers announcing far more pixels than the file can hold. Whole
// pictures of the same formats still decode.
TEST(Image, files_devil_would_hang_or_balloon_on_are_refused) {
  TempDir dir;
  convert("-size 4x4 gradient:red-blue " + dir.path() + "/whole.png");
  convert("-size 4x4 gradient:red-blue " + dir.path() + "/whole.tga");
  convert("-size 4x4 gradient:red-blue " + dir.path() + "/whole.jpg");
  const std::string png = readFile(dir.path() + "/whole.png");
  std::string tga = readFile(dir.path() + "/whole.tga");
  std::string jpg = readFile(dir.path() + "/whole.jpg");
  const size_t sof = jpg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  struct Case {
    const char* name;
    std::string bytes;
    bool decodes;
  } cases[] = {
      {"whole.png", png, true},
      {"whole.tga", tga, true},
      {"whole.jpg", jpg, true},
      {"cut.png", png.substr(0, png.find("IDAT") + 6), false},
      {"no_end.png", png.substr(0, png.find("IEND") - 4), false},
      {"huge.tga", tga.substr(0, 12) + "\x30\x75\x30\x75" + tga.substr(16), false},
      {"huge.jpg", jpg.substr(0, sof + 5) + "\x7F\xFF\x7F\xFF" + jpg.substr(sof + 9), false},
      {"cut.jpg", jpg.substr(0, jpg.size() - 8), false},
  };
  for (const Case& c : cases) {
    Decoded d;
    d.pixels =
        obxReadImage(dir.write(c.name, c.bytes).c_str(), GL_FALSE, &d.width, &d.height, &d.format);
    EXPECT_EQ(d.pixels != nullptr, c.decodes) << c.name;
  }
}

// ---- Extensions ---------------------------------------------------------

TEST_F(Texture, extension_matches_whole_entries_only) {
  const char* text = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
  ASSERT_NE(text, nullptr);
  std::set<std::string> entries;
  std::vector<std::string> ordered;
  std::istringstream in(text);
  for (std::string e; in >> e;) {
    entries.insert(e);
    ordered.push_back(e);
  }
  ASSERT_GE(ordered.size(), 2u);
  for (const std::string& e : ordered) EXPECT_TRUE(obxExtensionSupported(e.c_str())) << e;

  // Prefixes and suffixes of entries that are no entries themselves.
  int prefixes = 0, suffixes = 0;
  for (const std::string& e : ordered) {
    std::string prefix = e.substr(0, e.size() - 1), suffix = e.substr(1);
    if (!entries.count(prefix)) {
      EXPECT_FALSE(obxExtensionSupported(prefix.c_str())) << prefix;
      prefixes++;
    }
    if (!entries.count(suffix)) {
      EXPECT_FALSE(obxExtensionSupported(suffix.c_str())) << suffix;
      suffixes++;
    }
  }
  EXPECT_GT(prefixes, 0);
  EXPECT_GT(suffixes, 0);

  // Two neighbouring entries stand in the list with a space between them.
  std::string pair = ordered[0] + " " + ordered[1];
  ASSERT_NE(std::string(text).find(pair), std::string::npos);
  EXPECT_FALSE(obxExtensionSupported(pair.c_str()));
  EXPECT_FALSE(obxExtensionSupported((ordered[0] + " ").c_str()));
  EXPECT_FALSE(obxExtensionSupported(""));
  EXPECT_FALSE(obxExtensionSupported("GL_no_such_extension"));
  EXPECT_EQ(obxExtensionSupported("GL_SGIS_generate_mipmap"),
            entries.count("GL_SGIS_generate_mipmap") ? GL_TRUE : GL_FALSE);
}

TEST_F(Texture, limits_are_queried_once) {
  obxTextureLimitsPending = GL_TRUE;
  obxMaxTextureSize = 0;
  obxGenerateMipmap = GL_FALSE;
  obxInitTextureLimits();
  GLint max = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max);
  EXPECT_FALSE(obxTextureLimitsPending);
  EXPECT_EQ(obxMaxTextureSize, max);
  EXPECT_EQ(obxTextureTarget, GLenum(GL_TEXTURE_2D));
  EXPECT_EQ(obxGenerateMipmap, obxExtensionSupported("GL_SGIS_generate_mipmap"));
}

// ---- Loading ------------------------------------------------------------

TEST_F(Texture, missing_file_warns_returns_0_and_still_queries_limits) {
  obxTextureLimitsPending = GL_TRUE;
  obxMaxTextureSize = 0;
  std::string path = dir_.path() + "/none.png";
  testing::internal::CaptureStderr();
  Loaded l = keep(load(path));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: " + path + ": No such file or directory\n" +
                "OBX: Warning: obxLoadTexture() failed: Unable to load texture from " + path +
                "!\n");
  EXPECT_EQ(l.id, 0u);
  EXPECT_EQ(l.sw, -5.0f);  // not written
  EXPECT_EQ(l.sh, -5.0f);
  EXPECT_FALSE(obxTextureLimitsPending);
  EXPECT_GT(obxMaxTextureSize, 0);
}

TEST_F(Texture, broken_ppm_warns_and_returns_0) {
  const std::string bad[] = {ppm("P6\n3 2 255\n", std::vector<uint8_t>(10, 1)),
                             ppm("P6\n   \n3 2 255\n", ramp(3, 2))};
  for (const std::string& content : bad) {
    std::string path = dir_.write("bad.ppm", content);
    testing::internal::CaptureStderr();
    Loaded l = keep(load(path));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "OBX: Warning: obxLoadTexture() failed: Unable to load texture from " + path + "!\n");
    EXPECT_EQ(l.id, 0u);
  }
}

TEST_F(Texture, odd_ppm_is_rgb_aligned_to_1_and_stretched) {
  // 3 x 2: rows of 9 bytes, so alignment 1; top row red, bottom row blue.
  std::vector<uint8_t> bytes = {255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255};
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n3 2 255\n", bytes))));
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(l.sw, 1.0f);
  EXPECT_EQ(l.sh, 1.0f);
  GLint bound = 0, alignment = 0, internal = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(GLuint(bound), l.id);
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  EXPECT_EQ(alignment, 1);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &internal);
  EXPECT_EQ(internal, GL_RGB);  // RGB although alpha was asked for
  EXPECT_EQ(levelWidth(0), 4);
  EXPECT_EQ(levelHeight(0), 2);
  std::vector<uint8_t> rgb = texels();
  ASSERT_EQ(rgb.size(), 24u);
  for (int x = 0; x < 4; x++) {
    EXPECT_EQ(rgb[3 * x], 255) << x;  // t = 0 is the file's top row
    EXPECT_EQ(rgb[3 * x + 2], 0) << x;
    EXPECT_EQ(rgb[12 + 3 * x], 0) << x;
    EXPECT_EQ(rgb[12 + 3 * x + 2], 255) << x;
  }
}

TEST_F(Texture, whole_word_rows_keep_alignment_4) {
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n4 4 255\n", ramp(4, 4)))));
  ASSERT_NE(l.id, 0u);
  GLint alignment = 0;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  EXPECT_EQ(alignment, 4);
  EXPECT_EQ(texels(), ramp(4, 4));  // no stretching: the bytes as read
}

TEST_F(Texture, narrow_stretch_stays_inside_the_scaled_buffer) {
  // 1 x 3 RGB becomes 1 x 4: rows of 3 bytes.
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n1 3 255\n", {9, 9, 9, 9, 9, 9, 9, 9, 9}))));
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(levelWidth(0), 1);
  EXPECT_EQ(levelHeight(0), 4);
  EXPECT_EQ(texels(), std::vector<uint8_t>(12, 9));
  GLint pack = 0;
  glGetIntegerv(GL_PACK_ALIGNMENT, &pack);
  EXPECT_EQ(pack, 4);  // left as it was
}

TEST_F(Texture, ppm_and_png_of_one_picture_are_mirrored) {
  // Top row red, green; bottom row blue, white.
  std::vector<uint8_t> bytes = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  std::string source = dir_.write("a.ppm", ppm("P6\n2 2 255\n", bytes));
  std::string png = dir_.path() + "/a.png";
  convert(source + " " + png);
  Loaded fromPpm = keep(load(source, false));
  ASSERT_NE(fromPpm.id, 0u);
  std::vector<uint8_t> ppmTexels = texels();
  Loaded fromPng = keep(load(png, false));
  ASSERT_NE(fromPng.id, 0u);
  std::vector<uint8_t> pngTexels = texels();
  EXPECT_EQ(ppmTexels, bytes);
  std::vector<uint8_t> mirrored(bytes.begin() + 6, bytes.end());
  mirrored.insert(mirrored.end(), bytes.begin(), bytes.begin() + 6);
  EXPECT_EQ(pngTexels, mirrored);
}

TEST_F(Texture, plain_ppm_and_pgm_go_to_devil) {
  std::string p3 = dir_.write("a.ppm", "P3\n2 2\n255\n255 0 0  0 255 0\n0 0 255  255 255 255\n");
  std::string p5 = dir_.write("b.pgm", ppm("P5\n2 2 255\n", {10, 20, 30, 40}));
  Decoded d;
  readPpm(p3, &d);
  EXPECT_EQ(d.pixels, nullptr);
  readPpm(p5, &d);
  EXPECT_EQ(d.pixels, nullptr);

  Loaded a = keep(load(p3, false));
  ASSERT_NE(a.id, 0u);
  // DevIL's rows come bottom first.
  EXPECT_EQ(texels(), std::vector<uint8_t>({0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 0}));
  Loaded b = keep(load(p5, false));
  ASSERT_NE(b.id, 0u);
  EXPECT_EQ(texels(), std::vector<uint8_t>({30, 30, 30, 40, 40, 40, 10, 10, 10, 20, 20, 20}));
}

TEST_F(Texture, tga_and_png_load) {
  for (const char* name : {"a.tga", "a.png"}) {
    std::string path = dir_.path() + "/" + name;
    convert("-size 8x4 xc:'rgb(40,80,120)' " + path);
    Loaded l = keep(load(path, false));
    ASSERT_NE(l.id, 0u) << name;
    EXPECT_EQ(levelWidth(0), 8) << name;
    EXPECT_EQ(levelHeight(0), 4) << name;
    std::vector<uint8_t> rgb = texels();
    for (size_t i = 0; i < rgb.size(); i += 3) {
      EXPECT_EQ(rgb[i], 40) << name;
      EXPECT_EQ(rgb[i + 1], 80) << name;
      EXPECT_EQ(rgb[i + 2], 120) << name;
    }
  }
}

TEST_F(Texture, jpeg_300_by_200_becomes_rgba_512_by_256_with_mipmaps) {
  std::string jpeg = dir_.path() + "/a.jpg";
  convert("-size 300x200 xc:'rgb(200,100,50)' " + jpeg);
  ASSERT_GE(obxMaxTextureSize, 512);
  Loaded l = keep(load(jpeg));
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(l.sw, 1.0f);
  EXPECT_EQ(l.sh, 1.0f);
  GLint internal = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &internal);
  EXPECT_EQ(internal, GL_RGBA);
  EXPECT_EQ(levelWidth(0), 512);
  EXPECT_EQ(levelHeight(0), 256);
  EXPECT_EQ(levelWidth(1), 256);
  EXPECT_EQ(levelHeight(1), 128);
  EXPECT_EQ(levelWidth(9), 1);
  EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
  EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), GL_LINEAR);
  EXPECT_EQ(parameter(GL_TEXTURE_WRAP_S), GL_REPEAT);
  EXPECT_EQ(parameter(GL_TEXTURE_WRAP_T), GL_REPEAT);
  std::vector<uint8_t> level1 = texels(1);
  EXPECT_NEAR(level1[0], 200, 3);
  EXPECT_NEAR(level1[1], 100, 3);
  EXPECT_NEAR(level1[2], 50, 3);
}

TEST_F(Texture, mipmaps_without_the_extension_come_from_glu) {
  const GLboolean saved = obxGenerateMipmap;
  obxGenerateMipmap = GL_FALSE;
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n4 2 255\n", ramp(4, 2, 60)))));
  obxGenerateMipmap = saved;
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(parameter(GL_GENERATE_MIPMAP), GL_FALSE);
  EXPECT_EQ(levelWidth(1), 2);
  EXPECT_EQ(levelHeight(1), 1);
  EXPECT_EQ(levelWidth(2), 1);
  EXPECT_EQ(texels(), ramp(4, 2, 60));
}

TEST_F(Texture, mipmaps_with_the_extension_are_generated_by_the_driver) {
  if (!obxGenerateMipmap) GTEST_SKIP() << "context lacks GL_SGIS_generate_mipmap";
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n4 2 255\n", ramp(4, 2)))));
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(parameter(GL_GENERATE_MIPMAP), GL_TRUE);
  EXPECT_EQ(levelWidth(1), 2);
  EXPECT_EQ(levelWidth(2), 1);
}

TEST_F(Texture, switches_off_give_nearest_clamp_and_one_level) {
  Loaded l =
      keep(load(dir_.write("a.ppm", ppm("P6\n4 4 255\n", ramp(4, 4))), false, false, false, false));
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_NEAREST);
  EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), GL_NEAREST);
  EXPECT_EQ(parameter(GL_TEXTURE_WRAP_S), GL_CLAMP);
  EXPECT_EQ(parameter(GL_TEXTURE_WRAP_T), GL_CLAMP);
  EXPECT_EQ(parameter(GL_GENERATE_MIPMAP), GL_FALSE);
  EXPECT_EQ(levelWidth(1), 0);

  l = keep(load(dir_.path() + "/a.ppm", false, true, false, true));
  EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_NEAREST_MIPMAP_NEAREST);
  EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), GL_NEAREST);
  l = keep(load(dir_.path() + "/a.ppm", false, true, true, false));
  EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_LINEAR);
}

TEST_F(Texture, size_is_clamped_before_rounding_up) {
  const GLint saved = obxMaxTextureSize;
  obxMaxTextureSize = 64;
  Loaded l = keep(load(dir_.write("a.ppm", ppm("P6\n100 20 255\n", ramp(100, 20)))));
  obxMaxTextureSize = saved;
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(levelWidth(0), 64);
  EXPECT_EQ(levelHeight(0), 32);
}

TEST_F(Texture, power_of_two_sides_are_not_stretched) {
  const int sides[][2] = {{1, 1}, {1, 2}, {2, 1}, {256, 1}, {16, 64}};
  for (const auto& side : sides) {
    std::ostringstream header;
    header << "P6\n" << side[0] << " " << side[1] << " 255\n";
    std::vector<uint8_t> bytes = ramp(side[0], side[1], 3);
    Loaded l = keep(load(dir_.write("a.ppm", ppm(header.str(), bytes)), false, true, true, false));
    ASSERT_NE(l.id, 0u);
    EXPECT_EQ(levelWidth(0), side[0]);
    EXPECT_EQ(levelHeight(0), side[1]);
    EXPECT_EQ(texels(), bytes) << side[0] << "x" << side[1];
  }
}

}  // namespace

// A model in memory (say, inside an archive) names its library and images,
// which the opener gives from memory too: nothing is opened from disk, and
// the images decode as files would (the PPM by obx, the PNG by DevIL).
TEST_F(Texture, a_model_in_memory_reads_its_library_and_images_through_the_opener) {
  const std::string source = dir_.write("a.ppm", ppm("P6\n3 2 255\n", ramp(3, 2)));
  convert(source + " " + dir_.path() + "/a.png");
  std::map<std::string, std::string> files = {
      {"/archive/lib/m.mtl", "newmtl red\nKd 1 0 0\nmap_Kd a.ppm\nnewmtl blue\nmap_Kd tex\\a.png\n"},
      {"/archive/a.ppm", readFile(source)},
      {"/archive/tex/a.png", readFile(dir_.path() + "/a.png")},
  };
  const std::string obj =
      "mtllib lib/m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\nusemtl blue\nf 3 2 1\n";
  struct Asked {
    std::map<std::string, std::string>* files;
    std::vector<std::string> names;
  } asked = {&files, {}};
  ObxReadOptions options = {};
  options.context = &asked;
  options.open = [](const char* path, const void** data, size_t* size, void* context) {
    Asked* a = static_cast<Asked*>(context);
    a->names.push_back(path);
    const auto found = a->files->find(path);
    if (found == a->files->end()) return 0;
    *data = found->second.data();
    *size = found->second.size();
    return 1;
  };
  char message[512] = "";
  ObxModel* model = obxTryReadOBJFromMemory("/archive/scene.obj", obj.data(), obj.size(), &options,
                                           message, sizeof message);
  ASSERT_NE(model, nullptr) << message;
  ASSERT_EQ(model->nummaterials, 3u);
  EXPECT_EQ(model->triangles[0].material, 1u);
  EXPECT_EQ(model->triangles[1].material, 2u);
  ASSERT_EQ(model->numtextures, 2u);
  for (uint32_t i = 0; i < model->numtextures; i++) {
    EXPECT_NE(model->textures[i].id, 0u) << model->textures[i].name;
    if (model->textures[i].id) made_.push_back(model->textures[i].id);
  }
  obxDeleteModel(model);
  EXPECT_EQ(std::count(asked.names.begin(), asked.names.end(), "/archive/a.ppm") > 0, true);

  // A library the opener does not give is one that cannot be opened.
  files.erase("/archive/lib/m.mtl");
  EXPECT_EQ(obxTryReadOBJFromMemory("/archive/scene.obj", obj.data(), obj.size(), &options,
                                    message, sizeof message),
            nullptr);
  EXPECT_STREQ(message,
               "obxReadMTL() failed: can't open material file \"/archive/lib/m.mtl\": not "
               "supplied by the opener.");
}
