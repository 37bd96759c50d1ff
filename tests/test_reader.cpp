// The OBJ reader, its groups, and the byte scanner under both readers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "obx/internal.h"
#include "reference_reader.h"
#include "support.h"

namespace {

using ostrel_test::describe;
using ostrel_test::stderrOfChild;
using ostrel_test::TempDir;
using testing::Eq;
using testing::ExitedWithCode;

// ---- Scanner against the C library ---------------------------------------

// Random text made of what number and item scans care about: digits, signs,
// points, exponents, hex and inf/nan letters, slashes, blanks, line ends, and
// now and then a long run of one kind.
std::string randomInput(std::mt19937& rng) {
  static const char* const pieces[] = {"0",   "1",   "2",  "5",  "7",  "9",   "-",  "+",  ".",
                                       "e",   "E",   "x",  "X",  "p",  "a",   "f",  "i",  "n",
                                       "N",   "t",   "y",  "/",  "//", " ",   "\t", "\n", "\r\n",
                                       "inf", "nan", "0x", "e-", "e+", "1.5", "-0", "v",  "#"};
  const size_t count = sizeof pieces / sizeof pieces[0];
  std::string text;
  const int parts = 1 + int(rng() % 12);
  for (int i = 0; i < parts; i++) {
    if (rng() % 40 == 0) {
      const char runs[] = "9 0/";
      text.append(1 + rng() % 300, runs[rng() % 4]);
    } else {
      text += pieces[rng() % count];
    }
  }
  return text;
}

// A stream over text, as the readers' files were.
struct Stream {
  explicit Stream(const std::string& text)
      : file(fmemopen(const_cast<char*>(text.data()), text.size(), "r")) {}
  ~Stream() {
    if (file) fclose(file);
  }
  long position() const { return ftell(file); }
  FILE* file;
};

bool sameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof a) == 0;
}

const int kGenerated = 4000;

TEST(Scanner, integers_match_fscanf) {
  std::mt19937 rng(11);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    Stream stream(text);
    ASSERT_NE(stream.file, nullptr);
    long long expected = 0xDEADBEEF;
    int result = fscanf(stream.file, "%lld", &expected);
    ObxScanner scan = {text.data(), text.data() + text.size()};
    int64_t value = 0xDEADBEEF;
    ASSERT_EQ(obxScanInt(&scan, &value), result) << '"' << text << '"';
    ASSERT_EQ(value, expected) << '"' << text << '"';
    ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
  }
}

TEST(Scanner, floats_match_fscanf) {
  std::mt19937 rng(12);
  for (int i = 0; i < kGenerated * 2; i++) {
    std::string text = randomInput(rng);
    Stream stream(text);
    ASSERT_NE(stream.file, nullptr);
    float expected[3] = {-7, -7, -7};
    int result = fscanf(stream.file, "%f %f %f", &expected[0], &expected[1], &expected[2]);
    ObxScanner scan = {text.data(), text.data() + text.size()};
    float values[3] = {-7, -7, -7};
    ASSERT_EQ(obxScanFloats(&scan, 3, values), result) << '"' << text << '"';
    for (int k = 0; k < 3; k++)
      ASSERT_TRUE(sameFloat(values[k], expected[k]))
          << '"' << text << "\" value " << k << ": " << values[k] << " vs " << expected[k];
    ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
  }
}

TEST(Scanner, plain_decimals_convert_exactly_as_strtof) {
  // Short mantissas and small powers of ten take a short path; longer ones,
  // halfway cases and large exponents must agree all the same.
  std::mt19937 rng(15);
  for (int i = 0; i < kGenerated * 5; i++) {
    std::string text = (rng() % 3 == 0) ? "-" : "";
    const int digits = 1 + int(rng() % (rng() % 4 == 0 ? 24 : 9));
    const int point = int(rng() % (digits + 2)) - 1;  // -1: no point
    for (int d = 0; d < digits; d++) {
      if (d == point) text += '.';
      text += char('0' + rng() % 10);
    }
    if (rng() % 3 == 0) text += "e" + std::to_string(int(rng() % 31) - 15);
    text += rng() % 2 ? " " : "\n";
    ObxScanner scan = {text.data(), text.data() + text.size()};
    float value = -7;
    ASSERT_EQ(obxScanFloat(&scan, &value), 1) << text;
    float expected = strtof(text.c_str(), nullptr);
    ASSERT_TRUE(sameFloat(value, expected)) << text << ": " << value << " vs " << expected;
    ASSERT_EQ(size_t(scan.p - text.data()), text.size() - 1) << text;
  }
}

TEST(Scanner, face_items_match_fscanf_in_every_form) {
  struct Form {
    ObxItemForm form;
    const char* format;
  };
  const Form forms[] = {{OBX_FORM_V, "%lld"},
                        {OBX_FORM_VT, "%lld/%lld"},
                        {OBX_FORM_VTN, "%lld/%lld/%lld"},
                        {OBX_FORM_VN, "%lld//%lld"}};
  std::mt19937 rng(13);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    for (const Form& form : forms) {
      Stream stream(text);
      ASSERT_NE(stream.file, nullptr);
      long long expected[3] = {-7, -7, -7};
      int result;
      switch (form.form) {
        case OBX_FORM_V: result = fscanf(stream.file, "%lld", &expected[0]); break;
        case OBX_FORM_VT:
          result = fscanf(stream.file, "%lld/%lld", &expected[0], &expected[1]);
          break;
        case OBX_FORM_VTN:
          result = fscanf(stream.file, "%lld/%lld/%lld", &expected[0], &expected[1], &expected[2]);
          break;
        default: result = fscanf(stream.file, "%lld//%lld", &expected[0], &expected[2]); break;
      }
      ObxScanner scan = {text.data(), text.data() + text.size()};
      int64_t fields[3] = {-7, -7, -7};
      ASSERT_EQ(obxScanItem(&scan, form.form, fields), result)
          << '"' << text << "\" " << form.format;
      for (int k = 0; k < 3; k++) ASSERT_EQ(fields[k], expected[k]) << '"' << text << '"';
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << "\" " << form.format;
    }
  }
}

TEST(Scanner, tokens_and_lines_match_fscanf_and_fgets) {
  std::mt19937 rng(14);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    {
      Stream stream(text);
      char expected[128] = "unchanged";
      int result = fscanf(stream.file, "%127s", expected);
      ObxScanner scan = {text.data(), text.data() + text.size()};
      const char* token;
      size_t length = obxScanToken(&scan, 127, &token);
      ASSERT_EQ(length == 0 ? EOF : 1, result) << '"' << text << '"';
      if (result == 1) {
        ASSERT_EQ(std::string(token, length), expected);
      }
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
    }
    {
      Stream stream(text);
      char expected[128];
      bool read = fgets(expected, sizeof expected, stream.file) != NULL;
      ObxScanner scan = {text.data(), text.data() + text.size()};
      const char* line;
      size_t length = obxScanLine(&scan, 127, &line);
      ASSERT_EQ(length > 0, read) << '"' << text << '"';
      if (read) {
        ASSERT_EQ(std::string(line, length), expected);
      }
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
    }
  }
}

// The blank skip takes one space or line feed before a byte above ' ' in
// one test; every byte after every kind of blank run matches fscanf.
TEST(Scanner, blank_skip_matches_fscanf_before_every_byte) {
  static const char* const blanks[] = {"",   " ",  "\n",   "\t",   "\v",  "\f",
                                       "\r", "  ", "\n\n", "\r\n", " \t", "\n "};
  for (const char* blank : blanks) {
    for (int b = 1; b < 256; b++) {
      for (const char* tail : {"", "7 ", "x"}) {
        const std::string text = std::string(blank) + char(b) + tail;
        Stream tokenStream(text);
        char expected[128] = "unchanged";
        int result = fscanf(tokenStream.file, "%127s", expected);
        ObxScanner scan = {text.data(), text.data() + text.size()};
        const char* token;
        size_t length = obxScanToken(&scan, 127, &token);
        ASSERT_EQ(length == 0 ? EOF : 1, result) << b;
        if (result == 1) {
          ASSERT_EQ(std::string(token, length), expected) << b;
        }
        ASSERT_EQ(scan.p - text.data(), tokenStream.position()) << b;

        Stream floatStream(text);
        float value = 0, scanned = 0;
        result = fscanf(floatStream.file, "%f", &value);
        scan = {text.data(), text.data() + text.size()};
        ASSERT_EQ(obxScanFloat(&scan, &scanned), result) << b;
        ASSERT_EQ(scan.p - text.data(), floatStream.position()) << b;
        if (result == 1) {
          ASSERT_TRUE(sameFloat(value, scanned)) << b;
        }
      }
    }
  }
}
TEST(Scanner, float_forms_outside_from_chars_convert_like_strtof) {
  const struct {
    const char* text;
    float value;
    long consumed;
  } cases[] = {
      {"+1.5 ", 1.5f, 4},        {"0x1p3 ", 8.0f, 5},   {"-inf ", -INFINITY, 4},
      {"Infinity", INFINITY, 8}, {"1e99", INFINITY, 4}, {"1ex", 1.0f, 2},
      {"1e+x", 1.0f, 3},         {"1.2.3", 1.2f, 3},    {"0x.p", 0.0f, 3},
  };
  for (const auto& c : cases) {
    ObxScanner scan = {c.text, c.text + strlen(c.text)};
    float value = -7;
    EXPECT_EQ(obxScanFloat(&scan, &value), 1) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(scan.p - c.text, c.consumed) << c.text;
  }
}

// A plain decimal as the quick paths see them most: digits on either side
// of a point, now and then a sign, long runs, an exponent or an odd ending.
std::string randomDecimal(std::mt19937& rng) {
  std::string text;
  if (rng() % 3 == 0) text += "-+"[rng() % 8 == 0];
  const int whole = int(rng() % (rng() % 5 == 0 ? 20 : 4));
  for (int d = 0; d < whole; d++) text += char('0' + rng() % 10);
  if (rng() % 4 != 0) {
    text += '.';
    const int fraction = int(rng() % (rng() % 5 == 0 ? 20 : 10));
    for (int d = 0; d < fraction; d++) text += char('0' + rng() % 10);
  }
  if (rng() % 10 == 0) text += "e" + std::to_string(int(rng() % 9) - 4);
  if (rng() % 12 == 0) text += ".x/"[rng() % 3];
  return text;
}

// Numbers with more input behind them, as in a file, where digits are
// taken eight bytes at a time: floats and integers consume and convert as
// fscanf does.
TEST(Scanner, numbers_inside_a_line_match_fscanf) {
  std::mt19937 rng(16);
  for (int i = 0; i < kGenerated; i++) {
    std::string text;
    for (int k = 0; k < 6; k++) text += randomDecimal(rng) + (rng() % 4 ? " " : "/");
    text += "0123456789012345678901234";
    Stream floats(text), integers(text);
    ObxScanner f = {text.data(), text.data() + text.size()};
    ObxScanner n = f;
    for (int k = 0; k < 6; k++) {
      float expected = -7, value = -7;
      const int result = fscanf(floats.file, "%f", &expected);
      ASSERT_EQ(obxScanFloat(&f, &value), result) << '"' << text << '"';
      ASSERT_TRUE(sameFloat(value, expected))
          << '"' << text << "\" " << value << " vs " << expected;
      ASSERT_EQ(f.p - text.data(), floats.position()) << '"' << text << '"';
      long long expectedInt = -7;
      int64_t integer = -7;
      const int intResult = fscanf(integers.file, "%lld", &expectedInt);
      ASSERT_EQ(obxScanInt(&n, &integer), intResult) << '"' << text << '"';
      ASSERT_EQ(integer, expectedInt) << '"' << text << '"';
      ASSERT_EQ(n.p - text.data(), integers.position()) << '"' << text << '"';
      if (result != 1 || intResult != 1) break;
    }
  }
}

// ---- Reading OBJ files ---------------------------------------------------

// An OBJ file (and its neighbours) in a temp directory.
struct Scene {
  TempDir dir;
  std::string path;
  explicit Scene(const std::string& obj) { path = dir.write("scene.obj", obj); }
  ObxModel* read() const { return obxReadOBJ(path.c_str()); }
};

// The model read from text; released when the test ends.
struct Read {
  explicit Read(const std::string& obj) : scene(obj), model(scene.read()) {}
  ~Read() { obxDeleteModel(model); }
  ObxModel* operator->() const { return model; }
  Scene scene;
  ObxModel* model;
};

std::vector<std::string> groupNames(const ObxModel* model) {
  std::vector<std::string> names;
  for (const ObxGroup* g = model->groups; g; g = g->next) names.push_back(g->name);
  return names;
}

const ObxGroup* group(const ObxModel* model, const char* name) {
  return obxLookupGroup(const_cast<ObxModel*>(model), name);
}

std::vector<uint32_t> members(const ObxGroup* g) {
  return std::vector<uint32_t>(g->triangles, g->triangles + g->numtriangles);
}

std::vector<uint32_t> corners(const uint32_t indices[3]) {
  return {indices[0], indices[1], indices[2]};
}

const uint32_t kNone = OBX_NO_INDEX;

// A unit square's corners, counter-clockwise in the z = 0 plane.
const char kSquare[] =
    "v 0 0 0\n"
    "v 1 0 0\n"
    "v 1 1 0\n"
    "v 0 1 0\n";

TEST(ReadObj, fills_one_based_arrays_in_file_order) {
  Read m(
      "v 1 2 3\nv -4.5 5e1 0.25\n"
      "vn 0 0 1\n"
      "vt 0.5 0.75\nvt 1 0\n"
      "f 1/1/1 2/2/1 1/2/1\n");
  ASSERT_EQ(m->numvertices, 2u);
  EXPECT_EQ(m->vertices[3], 1.0f);
  EXPECT_EQ(m->vertices[5], 3.0f);
  EXPECT_EQ(m->vertices[6], -4.5f);
  EXPECT_EQ(m->vertices[7], 50.0f);
  EXPECT_EQ(m->vertices[8], 0.25f);
  ASSERT_EQ(m->numnormals, 1u);
  EXPECT_EQ(m->normals[5], 1.0f);
  ASSERT_EQ(m->numtexcoords, 2u);
  EXPECT_EQ(m->texcoords[2], 0.5f);
  EXPECT_EQ(m->texcoords[3], 0.75f);
  EXPECT_EQ(m->texcoords[4], 1.0f);
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->mtllibname, nullptr);
  EXPECT_EQ(m->materials, nullptr);
  EXPECT_EQ(m->nummaterials, 0u);
}

TEST(ReadObj, file_without_vn_and_vt_has_no_such_arrays) {
  Read m(std::string(kSquare) + "f 1 2 3\n");
  EXPECT_EQ(m->normals, nullptr);
  EXPECT_EQ(m->numnormals, 0u);
  EXPECT_EQ(m->texcoords, nullptr);
  EXPECT_EQ(m->numtexcoords, 0u);
}

TEST(ReadObj, vertices_only_gives_no_triangles_and_one_group) {
  Read m(kSquare);
  EXPECT_EQ(m->numtriangles, 0u);
  EXPECT_EQ(m->numfacetnorms, 0u);
  EXPECT_NE(m->facetnorms, nullptr);
  EXPECT_EQ(groupNames(m.model), std::vector<std::string>{"default"});
  EXPECT_EQ(m->groups->numtriangles, 0u);
}

TEST(ReadObj, empty_file_gives_an_empty_model) {
  Read m("");
  EXPECT_EQ(m->numvertices, 0u);
  EXPECT_EQ(m->numtriangles, 0u);
  EXPECT_EQ(m->numgroups, 1u);
  EXPECT_EQ(std::string(m->path), m.scene.path);
}

TEST(ReadObj, each_face_form_stores_its_fields) {
  const std::string head =
      std::string(kSquare) + "vn 0 0 1\nvn 0 0 -1\nvn 1 0 0\nvt 0 0\nvt 1 0\nvt 1 1\n";
  const struct {
    const char* face;
    std::vector<uint32_t> t, n;
  } cases[] = {
      {"f 1/3/2 2/2/3 3/1/1", {3, 2, 1}, {2, 3, 1}},
      {"f 1//2 2//3 3//1", {kNone, kNone, kNone}, {2, 3, 1}},
      {"f 1/3 2/2 3/1", {3, 2, 1}, {kNone, kNone, kNone}},
      {"f 1 2 3", {kNone, kNone, kNone}, {kNone, kNone, kNone}},
  };
  for (const auto& c : cases) {
    Read m(head + c.face + "\n");
    ASSERT_EQ(m->numtriangles, 1u) << c.face;
    const ObxTriangle& t = m->triangles[0];
    EXPECT_EQ(corners(t.vindices), (std::vector<uint32_t>{1, 2, 3})) << c.face;
    EXPECT_EQ(corners(t.tindices), c.t) << c.face;
    EXPECT_EQ(corners(t.nindices), c.n) << c.face;
    EXPECT_EQ(t.findex, 1u);
    EXPECT_EQ(t.material, 0u);
  }
}

TEST(ReadObj, convex_quad_and_pentagon_are_fans_around_the_first_item) {
  Read m(std::string(kSquare) + "v -0.5 0.5 0\nf 1 2 3 4\nf 1/1 2/2 3/3 4/4 5/5\nvt 0 0\n" +
         "vt 0 0\nvt 0 0\nvt 0 0\nvt 0 0\n");
  ASSERT_EQ(m->numtriangles, 5u);
  const std::vector<std::vector<uint32_t>> expected = {
      {1, 2, 3}, {1, 3, 4}, {1, 2, 3}, {1, 3, 4}, {1, 4, 5}};
  for (uint32_t i = 0; i < 5; i++) {
    EXPECT_EQ(corners(m->triangles[i].vindices), expected[i]) << i;
    if (i >= 2) {
      EXPECT_EQ(corners(m->triangles[i].tindices), expected[i]) << i;
    }
    EXPECT_EQ(m->triangles[i].findex, i + 1);
  }
  EXPECT_EQ(members(m->groups), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST(ReadObj, face_items_continue_across_line_ends) {
  Read m(std::string(kSquare) + "f 1 2\n 3\n4\n");
  ASSERT_EQ(m->numtriangles, 2u);
  EXPECT_EQ(corners(m->triangles[1].vindices), (std::vector<uint32_t>{1, 3, 4}));
}

TEST(ReadObj, face_may_name_vertices_defined_later) {
  Read m("f 1 2 3\n" + std::string(kSquare));
  ASSERT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->facetnorms[3 + 2], 1.0f);  // counter-clockwise: +z
}

TEST(ReadObj, group_names_keep_the_blank_after_g) {
  Read m(std::string(kSquare) + "g chair legs\nf 1 2 3\ng\nf 1 3 4\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{"", " chair legs", "default"}));
  EXPECT_EQ(members(group(m.model, " chair legs")), std::vector<uint32_t>{0});
  EXPECT_EQ(members(group(m.model, "")), std::vector<uint32_t>{1});
  EXPECT_EQ(m->numgroups, 3u);
}

TEST(ReadObj, g_default_is_not_the_built_in_group) {
  Read m(std::string(kSquare) + "f 1 2 3\ng default\nf 1 3 4\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" default", "default"}));
  EXPECT_EQ(members(group(m.model, "default")), std::vector<uint32_t>{0});
  EXPECT_EQ(members(group(m.model, " default")), std::vector<uint32_t>{1});
}

TEST(ReadObj, repeated_group_continues_in_file_order) {
  Read m(std::string(kSquare) + "g wall\nf 1 2 3\ng roof\nf 1 2 4\ng wall\nf 1 3 4 2\ng roof\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" roof", " wall", "default"}));
  EXPECT_EQ(members(group(m.model, " wall")), (std::vector<uint32_t>{0, 2, 3}));
  EXPECT_EQ(members(group(m.model, " roof")), std::vector<uint32_t>{1});
  EXPECT_EQ(group(m.model, "default")->numtriangles, 0u);
}

TEST(ReadObj, faces_before_any_g_belong_to_default) {
  Read m(std::string(kSquare) + "f 1 2 3\ng late\nf 1 3 4\n");
  EXPECT_EQ(members(group(m.model, "default")), std::vector<uint32_t>{0});
}

TEST(ReadObj, group_without_faces_stays_in_the_list) {
  Read m(std::string(kSquare) + "g empty\n");
  ASSERT_NE(group(m.model, " empty"), nullptr);
  EXPECT_EQ(group(m.model, " empty")->numtriangles, 0u);
}

TEST(ReadObj, last_line_without_line_end_loses_its_last_character) {
  Read m(std::string(kSquare) + "f 1 2 3\ng name");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" nam", "default"}));
}

TEST(ReadObj, crlf_line_ends_leave_no_cr_in_group_names) {
  Read m("v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\ng part\r\nf 1 2 3\r\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" part", "default"}));
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->vertices[3 * 3 + 1], 1.0f);
}

TEST(ReadObjProgress, told_every_percent_to_the_end_and_a_cancel_fails_cleanly) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 40000; i++)
    text += "v " + std::to_string(i) + " 0.5 1\nf " + std::to_string(i + 1) + " 1 1\n";
  const std::string path = dir.write("big.obj", text);
  struct Told {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    size_t cancelAt;
  };
  ObxReadOptions options = {};
  options.progress = [](uint64_t done, uint64_t total, void* context) {
    Told* told = static_cast<Told*>(context);
    told->calls.push_back({done, total});
    return int(told->calls.size() == told->cancelAt);
  };
  // On one thread, and in blocks on two: (threads, the call that cancels).
  const std::pair<unsigned, size_t> ways[] = {{1, 0}, {1, 3}, {2, 0}, {2, 3}};
  for (const auto& [threads, cancelAt] : ways) {
    Told told = {{}, cancelAt};
    options.context = &told;
    options.threads = threads;
    obxSetReadBlocks(0, threads > 1 ? 1 : 0);
    char message[256] = "";
    ObxModel* model = obxTryReadOBJWithOptions(path.c_str(), &options, message, sizeof message);
    if (cancelAt) {
      EXPECT_EQ(model, nullptr);
      EXPECT_EQ(std::string(message), "obxReadOBJ: reading \"" + path + "\" cancelled");
      EXPECT_EQ(told.calls.size(), cancelAt);
      continue;
    }
    ASSERT_NE(model, nullptr) << message;
    EXPECT_EQ(model->numtriangles, 40000u);
    obxDeleteModel(model);
    ASSERT_GE(told.calls.size(), 100u);
    EXPECT_EQ(told.calls.front(), std::make_pair(uint64_t(0), uint64_t(text.size())));
    EXPECT_EQ(told.calls.back(), std::make_pair(uint64_t(text.size()), uint64_t(text.size())));
    for (size_t i = 1; i < told.calls.size(); i++)
      EXPECT_LE(told.calls[i].first - told.calls[i - 1].first, text.size() / 100 + 32) << i;
  }
  obxSetReadBlocks(0, 0);
}

TEST(ReadObj, unknown_statements_and_numbers_after_a_vector_skip_their_line) {
  Read m(std::string(kSquare) +
         "# f 9 9 9\ns 1\no thing\nl 1 2\np 1\n"
         "12 f 9 9 9\nv 5 6 7 8 f 9 9 9\nvt 1 2 3 f 9 9 9\nf 1 2 3\n");
  EXPECT_EQ(m->numvertices, 5u);
  EXPECT_EQ(m->vertices[3 * 5 + 2], 7.0f);
  EXPECT_EQ(m->colors, nullptr);
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->numobjects, 1u);
  EXPECT_EQ(m->numelements, 2u);
}

TEST(ReadObj, long_comment_rest_is_read_as_statements) {
  // The 127 characters after "#" go with the comment; "f 1 2 3" after them
  // is a face of its own.
  std::string comment = "# " + std::string(126, 'c') + " f 1 2 3 ignored words\n";
  Read m(std::string(kSquare) + comment);
  EXPECT_EQ(m->numtriangles, 1u);
}

TEST(ReadObj, long_v_line_is_read_the_same_by_both_passes) {
  // The rest of the line after the numbers reaches past 127 characters; a
  // statement standing there is read once, by both passes alike.
  Read m("v 1 2 3" + std::string(150, ' ') + "f 1 1 1\n" + std::string(kSquare) + "v 4 5 6" +
         std::string(200, ' ') + "7\n");
  EXPECT_EQ(m->numvertices, 6u);
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->vertices[3 * 6], 4.0f);
}

TEST(ReadObj, long_token_is_split_after_127_characters) {
  // The first 127 'a' are a token, the line read after it takes the 127
  // 'b', and "vp" is the next keyword.
  Scene scene(std::string(127, 'a') + std::string(127, 'b') + "vp 1\n");
  EXPECT_EXIT(scene.read(), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxFirstPass(): Unknown token \"vp\" at line 1 of \"" +
                 scene.path + "\".\n"));
  Read m(std::string(300, 'a') + "\n" + std::string(kSquare));
  EXPECT_EQ(m->numvertices, 4u);
}

TEST(ReadObj, missing_numbers_of_a_vertex_read_as_zero) {
  // The scan of the first v stops at the second "v"; numbers may still
  // come from the next line.
  Read m("v 1\nv 2 3 4\nv 5\n6 7\n");
  ASSERT_EQ(m->numvertices, 3u);
  const float expected[] = {1, 0, 0, 2, 3, 4, 5, 6, 7};
  for (int i = 0; i < 9; i++) EXPECT_EQ(m->vertices[3 + i], expected[i]) << i;
}

// ---- Groups and materials --------------------------------------------------

const char kColors[] =
    "newmtl red\nKd 1 0 0\n"
    "newmtl green\nKd 0 1 0\n";

struct SceneWithMtl : Scene {
  explicit SceneWithMtl(const std::string& obj) : Scene("mtllib colors.mtl\n" + obj) {
    dir.write("colors.mtl", kColors);
  }
};

struct ReadWithMtl {
  explicit ReadWithMtl(const std::string& obj) : scene(obj), model(scene.read()) {}
  ~ReadWithMtl() { obxDeleteModel(model); }
  ObxModel* operator->() const { return model; }
  SceneWithMtl scene;
  ObxModel* model;
};

TEST(ReadObjMaterials, mtllib_reads_the_library_and_usemtl_selects) {
  ReadWithMtl m(std::string(kSquare) + "f 1 2 3\nusemtl green\nf 1 3 4\nusemtl red\nf 2 3 4\n");
  ASSERT_EQ(m->nummaterials, 3u);
  EXPECT_STREQ(m->mtllibname, "colors.mtl");
  EXPECT_EQ(m->triangles[0].material, 0u);
  EXPECT_EQ(m->triangles[1].material, 2u);
  EXPECT_EQ(m->triangles[2].material, 1u);
}

TEST(ReadObjMaterials, usemtl_before_mtllib_finds_the_material) {
  Scene scene(std::string(kSquare) + "usemtl red\nf 1 2 3\nmtllib colors.mtl\n");
  scene.dir.write("colors.mtl", kColors);
  ObxModel* model = scene.read();
  EXPECT_EQ(model->triangles[0].material, 1u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, group_gets_the_material_in_force_at_its_first_face) {
  ReadWithMtl m(std::string(kSquare) + "g a\nusemtl red\nf 1 2 3\nusemtl green\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 1u);
  EXPECT_EQ(m->triangles[1].material, 2u);
}

TEST(ReadObjMaterials, group_gets_a_usemtl_that_follows_its_unassigned_face) {
  ReadWithMtl m(std::string(kSquare) + "g a\nf 1 2 3\nusemtl red\ng b\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 1u);
  EXPECT_EQ(group(m.model, " b")->material, 1u);
  EXPECT_EQ(m->triangles[0].material, 0u);
}

TEST(ReadObjMaterials, group_without_usemtl_keeps_zero) {
  ReadWithMtl m(std::string(kSquare) + "g a\nf 1 2 3\ng b\nusemtl red\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 0u);
  EXPECT_EQ(group(m.model, " b")->material, 1u);
}

TEST(ReadObjMaterials, usemtl_of_unknown_material_warns_and_takes_default) {
  SceneWithMtl scene(std::string(kSquare) + "usemtl missing\nf 1 2 3\n");
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxFindMaterial():  can't find material \"missing\".\n");
  EXPECT_EQ(model->triangles[0].material, 0u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, names_with_blanks_and_several_libraries_on_a_line) {
  // "my lib.mtl" is there, so that line names one library; "colors.mtl
  // more.mtl" is no file, so it names two.
  Scene scene("mtllib colors.mtl more.mtl\nmtllib  my lib.mtl \n" + std::string(kSquare) +
              "usemtl my red\nf 1 2 3\nusemtl my\nf 1 2 3\nusemtl dark green\t\nf 1 2 3\n");
  scene.dir.write("colors.mtl", kColors);
  scene.dir.write("more.mtl", "newmtl dark green\n");
  scene.dir.write("my lib.mtl", "newmtl my\nnewmtl my red\n");
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(model->nummaterials, 6u);
  EXPECT_STREQ(model->mtllibname, "my lib.mtl");
  EXPECT_EQ(model->triangles[0].material, 5u);
  EXPECT_EQ(model->triangles[1].material, 4u);
  EXPECT_EQ(model->triangles[2].material, 3u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, many_groups_and_materials_are_found_as_the_lookups_find_them) {
  // The reader keeps an index of names; what it finds must be what the
  // plain lookups find: every group once, with its faces in file order,
  // and for a name given twice in the library, the first material.
  std::mt19937 rng(31);
  std::string mtl;
  const int materials = 1500;
  for (int i = 0; i < materials; i++) mtl += "newmtl m" + std::to_string(i % 1200) + "\n";
  std::string obj = "mtllib many.mtl\n" + std::string(kSquare);
  std::vector<std::string> groupOf, materialOf;  // per triangle
  for (int i = 0; i < 6000; i++) {
    if (rng() % 3 == 0) obj += "g n" + std::to_string(rng() % 2500) + "\n";
    if (rng() % 4 == 0) obj += "usemtl m" + std::to_string(rng() % 1200) + "\n";
    obj += "f 1 2 3\n";
  }
  TempDir dir;
  dir.write("many.mtl", mtl);
  ObxModel* model = obxReadOBJ(dir.write("many.obj", obj).c_str());
  ASSERT_EQ(model->nummaterials, uint32_t(materials + 1));
  // Walk the file again to know each triangle's group and material name.
  std::map<std::string, std::vector<uint32_t>> expected;
  std::string groupName = "default", materialName;
  uint32_t triangle = 0;
  std::istringstream lines(obj);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("g ", 0) == 0) groupName = line.substr(1);
    if (line.rfind("usemtl ", 0) == 0) materialName = line.substr(7);
    if (line.rfind("f ", 0) != 0) continue;
    const uint32_t material = model->triangles[triangle].material;
    if (materialName.empty())
      EXPECT_EQ(material, 0u);
    else
      EXPECT_EQ(material, obxFindMaterial(model, materialName.c_str())) << materialName;
    expected[groupName].push_back(triangle++);
  }
  ASSERT_EQ(triangle, model->numtriangles);
  EXPECT_EQ(model->numgroups, expected.size() + (expected.count("default") ? 0 : 1));
  for (const auto& [name, faces] : expected) {
    const ObxGroup* g = group(model, name.c_str());
    ASSERT_NE(g, nullptr) << name;
    EXPECT_EQ(members(g), faces) << name;
  }
  // The duplicate names: "m5" is material 6 (after "default"), not 1206.
  EXPECT_EQ(obxFindMaterial(model, "m5"), 6u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, mtllib_without_a_name_is_ignored_with_a_warning) {
  Scene scene("mtllib  \n" + std::string(kSquare));
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxReadOBJ: mtllib without a file name ignored\n");
  EXPECT_EQ(model->mtllibname, nullptr);
  EXPECT_EQ(model->materials, nullptr);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, library_named_again_is_read_once) {
  // Each reading of one.mtl warns about its Ni, of two.mtl about its illum.
  // A library named again, after another or right after itself, is not read
  // again; the tables are merged, glass staying one.mtl's.
  Scene scene("mtllib one.mtl\nmtllib two.mtl\nmtllib one.mtl\nmtllib one.mtl\n" +
              std::string(kSquare) + "usemtl glass\nf 1 2 3\nmtllib two.mtl\nmtllib one.mtl\n");
  scene.dir.write("one.mtl", "newmtl glass\nNi 1.5\nKd 0 0 1\n");
  scene.dir.write("two.mtl", "newmtl wood\nillum 1\nnewmtl glass\n");
  const std::string warnings =
      "OBX: Warning: refraction index ignored\nOBX: Warning: illum material ignored: illum 1\n"
      "OBX: Warning: obxReadOBJ: material \"glass\" of \"two.mtl\" is defined before; the first "
      "is used\n";
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), warnings);
  std::string fatal;
  testing::internal::CaptureStderr();
  ObxModel* reference = referenceReadOBJ(scene.path.c_str(), &fatal);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), warnings);
  ASSERT_NE(reference, nullptr) << fatal;
  for (const ObxModel* m : {model, reference}) {
    const char* reader = m == model ? "obxReadOBJ" : "the reference";
    EXPECT_STREQ(m->mtllibname, "one.mtl") << reader;
    EXPECT_EQ(m->nummaterials, 4u) << reader;
    if (m->nummaterials != 4) continue;
    EXPECT_STREQ(m->materials[1].name, "glass") << reader;
    EXPECT_EQ(m->materials[1].diffuse[2], 1.0f) << reader;
    EXPECT_EQ(m->triangles[0].material, 1u) << reader;
  }
  obxDeleteModel(model);
  obxDeleteModel(reference);
}

// Random simple polygons (corners at random radii around a centre, in
// angle order, some in a tilted plane, some clockwise): the fan or the ear
// clipping gives n - 2 triangles, none turned over, that cover the area.
TEST(ReadObjPolygons, ear_clipping_covers_simple_polygons_without_folds) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> radius(0.2f, 1.0f), jitter(0.0f, 1.0f);
  int clipped = 0;
  for (int round = 0; round < 400; round++) {
    const uint32_t n = 4 + rng() % 40;
    const bool clockwise = rng() % 2, tilted = rng() % 2;
    std::vector<float> xyz;
    std::vector<double> x, y;
    for (uint32_t i = 0; i < n; i++) {
      const double angle = (i + 0.8 * jitter(rng)) * 2 * M_PI / n * (clockwise ? -1 : 1);
      const double r = radius(rng);
      x.push_back(r * std::cos(angle));
      y.push_back(r * std::sin(angle));
      // The plane z = x + y/2, seen along z still.
      xyz.insert(xyz.end(), {float(x.back()), float(y.back()),
                             tilted ? float(x.back() + y.back() / 2) : 0.0f});
    }
    std::vector<const float*> points;
    for (uint32_t i = 0; i < n; i++) points.push_back(&xyz[3 * i]);
    std::vector<uint32_t> out;
    const int made = obxTriangulatePolygon(points.data(), n, 1024, &out);
    ASSERT_GE(made, 0);
    clipped += made;
    if (made == 0)  // the fan serves
      for (uint32_t i = 1; i + 1 < n; i++) out.insert(out.end(), {0, i, i + 1});
    ASSERT_EQ(out.size(), 3 * size_t(n - 2));
    // Areas of the corners as given, so both windings are covered alike.
    auto area2 = [&](uint32_t a, uint32_t b, uint32_t c) {
      return (x[b] - x[a]) * (y[c] - y[a]) - (y[b] - y[a]) * (x[c] - x[a]);
    };
    double polygon = 0, covered = 0;
    for (uint32_t i = 1; i + 1 < n; i++) polygon += area2(0, i, i + 1);
    for (size_t t = 0; t < out.size(); t += 3) {
      const double a = area2(out[t], out[t + 1], out[t + 2]);
      EXPECT_GE(a * polygon, 0) << "round " << round << ", triangle " << t / 3;
      covered += a;
    }
    EXPECT_NEAR(covered, polygon, 1e-9 * n) << "round " << round;
  }
  EXPECT_GT(clipped, 200);
}

// ---- Files as exporters write them, read strictly and leniently ----------

// Twice the signed area of triangle t in the z = 0 plane.
double doubleArea(const ObxModel* m, const ObxTriangle& t) {
  const float* a = &m->vertices[3 * t.vindices[0]];
  const float* b = &m->vertices[3 * t.vindices[1]];
  const float* c = &m->vertices[3 * t.vindices[2]];
  return double(b[0] - a[0]) * (c[1] - a[1]) - double(b[1] - a[1]) * (c[0] - a[0]);
}

struct RealFileCase {
  const char* name;
  std::string obj;
  std::vector<std::pair<std::string, std::string>> files;  // beside it
  const char* strictFailure;  // part of the message; NULL: the strict read gives a model
  const char* warning;        // part of the lenient read's warnings; "" for none expected
  std::function<void(const ObxModel*)> check;  // of every model read
};

TEST(ReadObjRealFiles, each_fault_of_real_files_reads_right_strictly_and_leniently) {
  const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  // An L of three unit squares, counterclockwise, its inner corner (1, 1)
  // fourth: a face from (2, 1) on folds as a fan.
  const std::string ell = "v 0 0 0\nv 2 0 0\nv 2 1 0\nv 1 1 0\nv 1 2 0\nv 0 2 0\n";
  const std::vector<RealFileCase> cases = {
      {"missing_library",
       tri + "mtllib gone.mtl\nusemtl red\nf 1 2 3\n",
       {},
       "can't open material file",
       "can't open material file",
       [](const ObxModel* m) { EXPECT_EQ(m->triangles[0].material, 0u); }},
      {"two_libraries_on_a_line",
       tri + "mtllib a.mtl b.mtl\nusemtl blue\nf 1 2 3\n",
       {{"a.mtl", "newmtl red\n"}, {"b.mtl", "newmtl blue\n"}},
       NULL,
       "",
       [](const ObxModel* m) {
         EXPECT_EQ(m->nummaterials, 3u);
         EXPECT_EQ(m->triangles[0].material, 2u);
       }},
      {"backslash_library_path",
       tri + "mtllib sub\\lib.mtl\nusemtl red\nf 1 2 3\n",
       {{"sub/lib.mtl", "newmtl red\n"}},
       NULL,
       "",
       [](const ObxModel* m) { EXPECT_EQ(m->triangles[0].material, 1u); }},
      {"material_names_with_blanks",
       tri + "mtllib a.mtl\nusemtl my blue\nf 1 2 3\nusemtl my\nf 1 2 3\n",
       {{"a.mtl", "newmtl my red\nnewmtl my blue\nnewmtl my\n"}},
       NULL,
       "",
       [](const ObxModel* m) {
         EXPECT_EQ(m->triangles[0].material, 2u);
         EXPECT_EQ(m->triangles[1].material, 3u);
       }},
      {"concave_polygon",
       ell + "f 3 4 5 6 1 2\n",
       {},
       NULL,
       "",
       [](const ObxModel* m) {
         ASSERT_EQ(m->numtriangles, 4u);
         double area = 0;
         for (uint32_t i = 0; i < 4; i++) {
           EXPECT_GT(doubleArea(m, m->triangles[i]), 0) << i;
           area += doubleArea(m, m->triangles[i]);
         }
         EXPECT_EQ(area, 6.0);
       }},
      {"normal_index_past_the_normals",
       tri + "vn 0 0 1\nf 1//1 2//1 3//1 1//2\nf 1//1 2//1 3//1\n",
       {},
       "normal index for triangle 1 out of bounds (2 > 1)",
       "the normals dropped",
       [](const ObxModel* m) {
         for (uint32_t i = 0; i < 2; i++) EXPECT_EQ(m->triangles[i].nindices[0], kNone) << i;
         EXPECT_EQ(m->triangles[2].nindices[0], 1u);
       }},
      {"normals_named_in_a_file_without_any",
       tri + "vt 0 0\nf 1/1/1 2/1/1 3/1/1\n",
       {},
       "normal index for triangle 0 out of bounds (1 > 0)",
       "the normals dropped",
       [](const ObxModel* m) {
         EXPECT_EQ(m->triangles[0].nindices[2], kNone);
         EXPECT_EQ(m->triangles[0].tindices[2], 1u);
       }},
      {"texture_coordinate_before_the_first",
       tri + "vt 0 0\nf 1/-2 2/1 3/1\n",
       {},
       "texture coordinate index for triangle 0 out of bounds (-2 reaches before",
       "the texture coordinates dropped",
       [](const ObxModel* m) { EXPECT_EQ(m->triangles[0].tindices[1], kNone); }},
      {"normal_map_in_a_library",
       tri + "mtllib a.mtl\nf 1 2 3\n",
       {{"a.mtl", "newmtl a\nnorm a_normal.png\nKd 1 0 0\n"}},
       NULL,
       "map norm a_normal.png ignored",
       [](const ObxModel* m) { EXPECT_EQ(m->materials[1].diffuse[0], 1.0f); }},
      {"unknown_library_statement",
       tri + "mtllib a.mtl\nf 1 2 3\n",
       {{"a.mtl", "newmtl a\nnonsense 1\nilum 2\nKd 1 0 0\n"}},
       "Got \"nonsense\" instead of \"newmtl\"",
       "unknown statement \"ilum\"",
       [](const ObxModel* m) { EXPECT_EQ(m->materials[1].diffuse[0], 1.0f); }},
      {"parameter_vertices",
       tri + "vp 0.5 0.5\nvw 1\nmg 1 0.5\nf 1 2 3\n",
       {},
       "Unknown token \"vp\"",
       "unknown statement \"vw\"",
       [](const ObxModel* m) { EXPECT_EQ(m->numtriangles, 1u); }},
      {"face_continued_on_the_next_line",
       ell + "f 1 2 3 \\\n4 5 6\nf 1 2 \\\r\n3\n",
       {},
       NULL,
       "",
       [](const ObxModel* m) { EXPECT_EQ(m->numtriangles, 5u); }},
      {"utf8_byte_order_mark",
       "\xEF\xBB\xBF" + tri + "f 1 2 3\n",
       {},
       NULL,
       "",
       [](const ObxModel* m) {
         EXPECT_EQ(m->numvertices, 3u);
         EXPECT_EQ(m->numtriangles, 1u);
       }},
      {"utf16_text",
       std::string("v\0 \0"
                   "1\0 \0"
                   "2\0",
                   10),
       {},
       "it is UTF-16 or UTF-32 text",
       NULL,
       nullptr},
      {"one_value_is_a_grey",
       tri + "mtllib a.mtl\nf 1 2 3\n",
       {{"a.mtl", "newmtl a\nKd 0.5\nKa 0.25 x\nKs 1 0\n"}},
       NULL,
       "",
       [](const ObxModel* m) {
         EXPECT_EQ(m->materials[1].diffuse[2], 0.5f);
         EXPECT_EQ(m->materials[1].ambient[1], 0.25f);
         EXPECT_EQ(m->materials[1].specular[2], 0.0f);  // two values are no grey
       }},
      {"face_of_two_corners",
       tri + "f 1 2\nf 1 2 3\nf 3\n",
       {},
       NULL,
       "a face of fewer than three corners makes no triangle at line 4",
       [](const ObxModel* m) { EXPECT_EQ(m->numtriangles, 1u); }},
  };
  for (const RealFileCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene(c.obj);
    for (const auto& file : c.files) {
      const size_t slash = file.first.find('/');
      if (slash != std::string::npos)
        mkdir((scene.dir.path() + "/" + file.first.substr(0, slash)).c_str(), 0755);
      scene.dir.write(file.first, file.second);
    }
    for (bool lenient : {false, true}) {
      SCOPED_TRACE(lenient ? "lenient" : "strict");
      ObxReadOptions options = {};
      options.flags = lenient ? OBX_READ_LENIENT : 0u;
      char message[512];
      testing::internal::CaptureStderr();
      ObxModel* model =
          obxTryReadOBJWithOptions(scene.path.c_str(), &options, message, sizeof message);
      const std::string warnings = testing::internal::GetCapturedStderr();
      const char* failure = lenient && c.warning ? NULL : c.strictFailure;
      if (failure) {
        EXPECT_EQ(model, nullptr);
        EXPECT_NE(std::string(message).find(failure), std::string::npos) << message;
        if (model) obxDeleteModel(model);
        continue;
      }
      ASSERT_NE(model, nullptr) << message;
      if (lenient && c.warning && *c.warning) {
        EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
      }
      c.check(model);
      obxDeleteModel(model);
    }
  }
}

// ---- Fatal errors ----------------------------------------------------------

struct FatalCase {
  const char* obj;
  const char* message;  // the whole of standard error
};

TEST(ReadObjFatal, malformed_files_end_with_their_message) {
  const FatalCase cases[] = {
      // Each names the statement's line; an index found out of bounds after
      // the scan names its face's, 0 lies below the first element.
      {"vp 0.5\n",
       "OBX: Fatal Error: obxFirstPass(): Unknown token \"vp\" at line 1 of \"PATH\".\n"},
      {"v 1 2 3\nvx\n",
       "OBX: Fatal Error: obxFirstPass(): Unknown token \"vx\" at line 2 of \"PATH\".\n"},
      {"mtlib a.mtl\n",
       "OBX: Fatal Error: obxReadOBJ: Got \"mtlib\" instead of \"mtllib\" at line 1 of \"PATH\"\n"},
      {"v 0 0 0\n\n  usemat red\n",
       "OBX: Fatal Error: obxReadOBJ: Got \"usemat\" instead of \"usemtl\" at line 3 of "
       "\"PATH\"\n"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nv 2 2 2\nv 3 3 3\nv 4 4 4\nv 5 5 5\nf 1 2 9\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (9 > 8) at line 9 of "
       "\"PATH\"\n\n"},
      {"v 0 0 0\nf 1 1 1\nf 1 0 1\n",
       "OBX: Fatal Error: vertex index for triangle 1 out of bounds (0 < 1) at line 3 of "
       "\"PATH\"\n\n"},
      {"v 0 0 0\nf 1//1 1//1 1//1\n",
       "OBX: Fatal Error: normal index for triangle 0 out of bounds (1 > 0) at line 2 of "
       "\"PATH\"\n\n"},
      {"v 0 0 0\nvn 0 0 1\nf 1//1 1//1 1//2\n",
       "OBX: Fatal Error: normal index for triangle 0 out of bounds (2 > 1) at line 3 of "
       "\"PATH\"\n\n"},
      {"v 0 0 0\nf 1/1 1/1 1/1\n",
       "OBX: Fatal Error: texture coordinate index for triangle 0 out of bounds (1 > 0) at line 2 "
       "of \"PATH\"\n\n"},
      {"v 0 0 0\nvt 0 0\nf 1/1 1/0 1/1\n",
       "OBX: Fatal Error: texture coordinate index for triangle 0 out of bounds (0 < 1) at line 3 "
       "of \"PATH\"\n\n"},
      {"v 0 0 0\nf -3 1 1\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (-3 reaches before the first "
       "vertex; 1 read so far) at line 2 of \"PATH\"\n\n"},
      {"v 0 0 0\nf 1 1 1 4294967297\n",
       "OBX: Fatal Error: vertex index for triangle 1 out of bounds (4294967297 is above "
       "4294967294) at line 2 of \"PATH\"\n\n"},
      // A face continued on the next line keeps the line of its keyword;
      // the faces before the failing one may be anywhere.
      {"v 0 0 0\nf 2 1 1\nv 1 1 1\nf 1\n1 1\nf 1 1\n 3\n",
       "OBX: Fatal Error: vertex index for triangle 2 out of bounds (3 > 2) at line 6 of "
       "\"PATH\"\n\n"},
      {"v 0 0 0\nf 1 1 4294967294\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (4294967294 > 1) at line 2 of "
       "\"PATH\"\n\n"},
      {"mtllib gone.mtl\n",
       "OBX: Fatal Error: obxReadMTL() failed: can't open material file \"DIR/gone.mtl\": No "
       "such file or directory.\n"},
  };
  for (const FatalCase& c : cases) {
    Scene scene(c.obj);
    std::string message = c.message;
    size_t dir = message.find("DIR/");
    if (dir != std::string::npos) message.replace(dir, 3, scene.dir.path());
    size_t path = message.find("PATH");
    if (path != std::string::npos) message.replace(path, 4, scene.path);
    EXPECT_EXIT(scene.read(), ExitedWithCode(1), Eq(message)) << c.obj;
  }
}

TEST(ReadObjFatal, file_that_cannot_be_opened) {
  TempDir dir;
  std::string missing = dir.path() + "/missing.obj";
  EXPECT_EXIT(obxReadOBJ(missing.c_str()), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + missing +
                 "\": No such file or directory.\n"));
  EXPECT_EXIT(obxReadOBJ(dir.path().c_str()), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + dir.path() +
                 "\": not a regular file (only regular files are read).\n"));
  // A path of thousands of characters is reported whole.
  const std::string deep = dir.path() + "/" + std::string(3000, 'd') + ".obj";
  EXPECT_EXIT(obxReadOBJ(deep.c_str()), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + deep +
                 "\": File name too long.\n"));
}

// ---- The reader against the reference reader -------------------------------
//
// tests/reference_reader.cpp reads files the slow, literal way, with two
// passes of stream reads; obxReadOBJ must end every file as it does: the
// same model, the same warnings, the same fatal message.

// A random OBJ text of the usual shapes and of those a reader easily gets
// wrong: signs, long numbers, numbers that stop early, every face form,
// relative indices, items going on over line ends, long lines, CR LF,
// odd blanks, libraries named again and again. A safe file has three of
// each kind of vertex first and names no index outside them, so that
// reading it cannot fail.
std::string randomObj(std::mt19937& rng, bool safe) {
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  auto blank = [&]() -> std::string {
    switch (pick(20)) {
      case 0: return "\t";
      case 1: return "  ";
      case 2: return " \t ";
      case 3: return "\v";
      case 4: return "\f";
      case 5: return "\r";
      case 6: return std::string(1, '\0');  // ends a C string, not a token
      default: return " ";
    }
  };
  auto lineEnd = [&]() -> std::string {
    switch (pick(14)) {
      case 0: return "\r\n";
      case 1: return " \n";
      case 2: return "\n\n";
      case 3: return "\t\r\n";
      // The line goes on in the next, joining statements that can fail.
      case 4: return safe ? "\n" : " \\\n";
      case 5: return safe ? "\n" : "\\\r\n";
      default: return "\n";
    }
  };
  // None of these leaves a letter behind that begins a statement.
  static const char* const oddNumbers[] = {
      "1e-05",         "+2",   "-.5",  "5.",    "1..2", "--1",   "1-2", "1e",   "1e-",
      "1e5.5",         "1.e5", "e5",   "1e+-5", "1e39", "1e-50", "-0",  "00.0", "-9.5e-05",
      "2E+3",          "inf",  "-inf", "nan",   "NaN",  "0x1p3", "0x",  "-x",   "\x80",
      "1234567890123", ".",    "-"};
  auto floatText = [&]() -> std::string {
    switch (pick(12)) {
      case 0: return oddNumbers[pick(sizeof oddNumbers / sizeof oddNumbers[0])];
      case 1: return std::string(pick(30) + 1, '9') + ".5";
      case 2: return "0." + std::string(pick(25), '3') + "1";
      default: {
        std::string t = pick(3) == 0 ? "-" : "";
        t += std::to_string(pick(3));
        if (pick(4)) t += '.' + std::to_string(rng() % 100000000);
        return t;
      }
    }
  };
  // Every file has three of each kind before its first face, when safe.
  static const char* const safeIndices[] = {"1", "2", "3", "+2", "002", "-1", "-2", "-3"};
  // Indices at and past the ends, and of 32 bits and more.
  static const char* const nearIndices[] = {"0", "-0", "-1", "-3", "-4", "-9", "4", "x", "+-1"};
  static const char* const longIndices[] = {
      "12345678",   "00000000002",          "4294967294",           "4294967295",
      "4294967297", "99999999999999999999", "-99999999999999999999"};
  auto index = [&]() -> std::string {
    if (safe || pick(3)) return safeIndices[pick(8)];
    return pick(3) ? nearIndices[pick(9)] : longIndices[pick(7)];
  };
  auto item = [&](int form) -> std::string {
    std::string t = index();
    if (pick(25) == 0) return t + "/";
    switch (form) {
      case 1: return t + '/' + index();
      case 2: return t + '/' + index() + '/' + index();
      case 3: return t + "//" + index();
      default: return t;
    }
  };
  std::string text;
  const int lines = 9 + pick(30);
  for (int i = 0; i < lines; i++) {
    // Three of each kind of vertex first, then anything.
    const int kind = i < 9 ? (i / 3) * 2 + 1 : pick(20);
    if (i < 9 && safe) {
      text += std::string(kind == 1 ? "v" : kind == 3 ? "vn" : "vt") + " 0.5 -1 2" + lineEnd();
      continue;
    }
    if (kind <= 5) {
      const char* key = kind <= 2 ? "v" : kind <= 4 ? "vn" : "vt";
      text += key;
      const int count = (kind == 5 ? 2 : 3) + (pick(8) == 0 ? pick(3) - 1 : 0);
      for (int k = 0; k < count; k++) text += blank() + floatText();
      if (pick(30) == 0) text += blank() + std::string(130, '1');
      text += lineEnd();
    } else if (kind <= 12) {
      text += pick(20) ? "f" : "fo";
      const int form = pick(4);
      const int items = pick(10) == 0 ? 1 + pick(3) : 3 + pick(pick(8) == 0 ? 40 : 3);
      for (int k = 0; k < items; k++) {
        // A zero byte right after "f" would join the first item to the keyword.
        const std::string gap = pick(15) == 0 ? lineEnd() : blank();
        text += k == 0 && gap[0] == '\0' ? " " : gap;
        // Now and then one item of another form, which ends the face.
        text += item(pick(12) == 0 ? pick(4) : form);
      }
      text += lineEnd();
    } else if (kind == 13) {
      text += "g" + std::string(pick(3) ? " part" + std::to_string(pick(3)) : "") + lineEnd();
    } else if (kind == 14) {
      static const char* const names[] = {"red", "blue", "gone", "", "dark red", " red "};
      text += "usemtl " + std::string(names[pick(6)]) + lineEnd();
    } else if (kind == 15) {
      // A run of libraries: a.mtl and b.mtl (written by the tests) hold red
      // and blue in opposite orders, each with a line that warns; "gone"
      // is in neither.
      for (int k = pick(4); k >= 0; k--)
        text += "mtllib " +
                std::string(pick(12) ? (pick(2)   ? "a.mtl"
                                        : pick(2) ? "b.mtl"
                                                  : "b.mtl a.mtl")
                                     : "") +
                lineEnd();
    } else if (kind == 16) {
      text += "# " + std::string(pick(2) ? 10 : 200, pick(2) ? 'c' : ' ');
      if (pick(2)) text += " f 1 2 3";
      text += lineEnd();
    } else if (kind == 17) {
      text += "s " + std::to_string(pick(3)) + lineEnd();
    } else if (kind == 18) {
      text += lineEnd();
    } else {
      const int top = safe ? 3 : 9;
      text += std::to_string(1 + pick(top)) + blank() + std::to_string(1 + pick(top)) + lineEnd();
    }
  }
  if (pick(12) == 0) text = "\xEF\xBB\xBF" + text;
  // Cut anywhere; a safe file is not, as a face cut inside its first item
  // can read index 0.
  if (!safe && pick(3) == 0) text.resize(rng() % (text.size() + 1));
  return text;
}

// The libraries that random files name.
void writeRandomLibraries(const TempDir& dir) {
  dir.write("a.mtl",
            "newmtl red\nKd 1 0 0\nNi 1.5\nnewmtl blue\nKd 0 0 1\nnewmtl dark red\nKd 0.5\n");
  dir.write("b.mtl", "newmtl blue\nKd 0 0 1\nillum 1\nnorm n.png\nnewmtl red\nKd 1 0 0\n");
}

// The library's fatal hook comes back here, so that failing reads run in
// this process: the reader has released what it held by then.
jmp_buf libraryFailed;
void returnFromFatal() { longjmp(libraryFailed, 1); }

// A read of path on threads threads (0: as obxReadOBJ reads), or of the
// bytes of memory named path when it is given.
struct ReadWay {
  unsigned threads = 0;
  const std::string* memory = nullptr;
};

ObxModel* readHooked(const char* path, ReadWay way) {
  if (setjmp(libraryFailed)) return nullptr;
  ObxReadOptions options = {};
  options.threads = way.threads;
  if (way.memory) return obxReadOBJFromMemory(path, way.memory->data(), way.memory->size(), &options);
  return obxReadOBJWithOptions(path, &options);
}

// obxReadOBJ, or NULL after a fatal error.
ObxModel* readOrNull(const char* path, ReadWay way = {}) {
  const ObxFatalHook previous = obxSetFatalHook(returnFromFatal);
  ObxModel* model = readHooked(path, way);
  obxSetFatalHook(previous);
  return model;
}

// How obxReadOBJ ends path: "0" or "1" (failed) on a line, then standard
// error and the model's description.
std::string libraryReading(const std::string& path, ReadWay way = {}) {
  testing::internal::CaptureStderr();
  ObxModel* model = readOrNull(path.c_str(), way);
  const std::string err = testing::internal::GetCapturedStderr();
  if (!model) return "1\n" + err;
  const std::string text = "0\n" + err + describe(model);
  obxDeleteModel(model);
  return text;
}

// The same of the reference reader, with its fatal message printed as the
// library prints it.
std::string referenceReading(const std::string& path) {
  std::string fatal;
  testing::internal::CaptureStderr();
  ObxModel* model = referenceReadOBJ(path.c_str(), &fatal);
  const std::string err = testing::internal::GetCapturedStderr();
  if (!model) return "1\n" + err + "OBX: Fatal Error: " + fatal + "\n";
  const std::string text = "0\n" + err + describe(model);
  obxDeleteModel(model);
  return text;
}

// The first line where two readings part, each cut short: the whole of a
// big model's description would bury it.
std::string firstDifference(const std::string& library, const std::string& reference) {
  std::istringstream a(library), b(reference);
  std::string lineA, lineB;
  for (int line = 1;; line++) {
    const bool moreA = bool(std::getline(a, lineA)), moreB = bool(std::getline(b, lineB));
    if (!moreA && !moreB) return "the same";
    if (moreA && moreB && lineA == lineB) continue;
    return "line " + std::to_string(line) +
           "\n  library:   " + (moreA ? lineA.substr(0, 300) : "(end)") +
           "\n  reference: " + (moreB ? lineB.substr(0, 300) : "(end)") + "\n";
  }
}

TEST(ReadObjReference, random_files_read_as_the_reference_reads_them) {
  std::mt19937 rng(17);
  TempDir dir;
  writeRandomLibraries(dir);
  int again = 0;  // files that name a library after naming another
  for (int i = 0; i < 3000; i++) {
    const std::string text = randomObj(rng, true);
    const std::string path = dir.write("random.obj", text);
    const std::string expected = referenceReading(path);
    ASSERT_EQ(expected[0], '0') << "file " << i << ":\n" << text << expected;
    const std::string actual = libraryReading(path);
    ASSERT_TRUE(actual == expected) << firstDifference(actual, expected) << "file " << i << ":\n"
                                    << text;
    const size_t a = text.find("mtllib a.mtl"), b = text.find("mtllib b.mtl");
    again +=
        a != std::string::npos && b != std::string::npos &&
        text.find(a < b ? "mtllib a.mtl" : "mtllib b.mtl", std::max(a, b)) != std::string::npos;
  }
  EXPECT_GT(again, 100);
}

TEST(ReadObjReference, random_files_end_as_the_reference_ends_them) {
  // Files that may name any index, before or past any element.
  std::mt19937 rng(19);
  TempDir dir;
  writeRandomLibraries(dir);
  int failed = 0;
  const int files = 3000;
  for (int i = 0; i < files; i++) {
    const std::string text = randomObj(rng, false);
    const std::string path = dir.write("random.obj", text);
    const std::string expected = referenceReading(path);
    const std::string actual = libraryReading(path);
    ASSERT_TRUE(actual == expected) << firstDifference(actual, expected) << "file " << i << ":\n"
                                    << text;
    failed += expected[0] == '1';
  }
  // Both kinds of ending came up often.
  EXPECT_GT(failed, files / 10);
  EXPECT_LT(failed, files - files / 10);
}

// The window the reader holds of the file ends anywhere: with a window of
// a few hundred bytes every statement meets its end somewhere, and faces
// and vectors longer than what is kept ahead are read again in a wider one.
TEST(ReadObjReference, files_read_through_a_tiny_window_read_as_the_reference_reads_them) {
  std::mt19937 rng(23);
  TempDir dir;
  writeRandomLibraries(dir);
  const std::pair<size_t, size_t> windows[] = {{512, 256}, {700, 300}};
  for (const auto& window : windows) {
    obxSetReadWindow(window.first, window.second);
    for (int i = 0; i < 600; i++) {
      std::string text;
      for (int part = 0; part < 4; part++) text += randomObj(rng, i % 3 != 0);
      const std::string path = dir.write("window.obj", text);
      const std::string expected = referenceReading(path);
      const std::string actual = libraryReading(path);
      ASSERT_TRUE(actual == expected) << firstDifference(actual, expected) << "window "
                                      << window.first << ", file " << i << ":\n"
                                      << text;
    }
  }
  obxSetReadWindow(0, 0);
}

// Read in blocks of a few dozen bytes on several threads, and from memory,
// a file reads as one thread reads it: the blocks' edges fall everywhere,
// inside numbers, between CR and LF, inside faces, before relative indices.
TEST(ReadObjReference, files_read_in_tiny_blocks_on_threads_and_from_memory_read_as_one_thread) {
  std::mt19937 rng(29);
  TempDir dir;
  writeRandomLibraries(dir);
  for (int i = 0; i < 500; i++) {
    std::string text;
    for (int part = 0; part < 4; part++) text += randomObj(rng, i % 3 != 0);
    const std::string path = dir.write("blocks.obj", text);
    const std::string expected = libraryReading(path, {1, nullptr});
    obxSetReadBlocks(size_t(16 + i % 80), 1);
    for (const ReadWay way : {ReadWay{2, nullptr}, ReadWay{3, &text}}) {
      const std::string actual = libraryReading(path, way);
      ASSERT_TRUE(actual == expected) << firstDifference(actual, expected) << way.threads
                                      << " threads, file " << i << ":\n"
                                      << text;
    }
    obxSetReadBlocks(0, 0);
  }
}

TEST(ReadObjReference, chosen_files_read_as_the_reference_reads_them) {
  // Files around the places where a one-pass reader must do what the
  // second pass would: faces before the vertices they name, relative
  // indices, materials used before their library, libraries named again,
  // arrays and groups that grow while they are filled.
  auto repeat = [](int times, const std::function<std::string(int)>& line) {
    std::string text;
    for (int i = 0; i < times; i++) text += line(i);
    return text;
  };
  const std::string grid = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nvn 0 0 1\n";
  std::string polygon = "f";
  for (int i = 0; i < 3000; i++) polygon += ' ' + std::to_string(1 + i % 4);
  const struct {
    const char* name;
    std::string text;
  } rows[] = {
      {"coordinates not finite", "v 1 2 3\nv nan 0 0\nv inf 1 1\nv 0 0 1\nf 1 2 3\nf 4 1 2\n"},
      // Only "vt" itself has a third value; after "vtx" a long rest is statements.
      {"keyword beginning vt", grid + "vtx 1 2 9" + std::string(200, 'u') + "\nf 1 2 3\n"},
      {"many faces",
       grid + "f 1 2 3\n" +
           repeat(3000,
                  [](int i) { return i % 3 ? "f 1/1/1 2/1/1 4/1/1 3/1/1\n" : "f -4 -3 -1 -2\n"; })},
      {"one long polygon", grid + polygon + "\nf 1 2 3\n"},
      {"groups taking turns", grid + repeat(400,
                                            [](int i) {
                                              return "g part" + std::to_string(i % 3) +
                                                     "\nf 1 2 3\nf 2 3 4\nf 1 2 4 3\n";
                                            })},
      {"library first", "mtllib a.mtl\n" + grid +
                            "f 1 2 3\nusemtl blue\nf 1 2 3\ng x\n"
                            "usemtl red\nf 2 3 4\ng y\nf 1 2 3\nusemtl blue\n"},
      {"material before its library", grid + "usemtl blue\nf 1 2 3\nmtllib a.mtl\nf 2 3 4\n"},
      {"material not found", "mtllib a.mtl\n" + grid +
                                 "f 1 2 3\nusemtl gone\nf 2 3 4\n"
                                 "usemtl red\nf 1 2 3\n"},
      {"second library after a material", "mtllib a.mtl\n" + grid +
                                              "usemtl red\nf 1 2 3\n"
                                              "mtllib b.mtl\nusemtl red\nf 2 3 4\n"},
      {"libraries named in turn", "mtllib a.mtl\nmtllib b.mtl\nmtllib a.mtl\n" + grid +
                                      "usemtl red\nf 1 2 3\nmtllib b.mtl\nmtllib b.mtl\n"
                                      "usemtl red\nf 2 3 4\nmtllib\n"},
      {"faces before their vertices", "f 1 2 3\nf 2 3 4\n" + grid},
      {"relative indices in every form", grid + "f -4 -3 -2 -1\nf -1/-1/-1 -2/1/-1 -3/-1/1\n"
                                                "f -1//-1 -2//1 -4//-1\nf 1/-1 2/-1 3/-1\n"},
      {"relative indices count what comes before the face",
       "v 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\nv 1 1 1\nf -1 -2 -4\nf 2 -1 -3 -4 1\n"},
      {"relative index before the first vertex", grid + "f 1 2 3\nf -1 -2 -5\n"},
      {"relative index before the first, in a later fan triangle", grid + "f 1 2 3 4 -9\n"},
      {"relative normal before any normal", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//-1 2//1 3//1\n"},
      {"relative index before any vertex", "f -1 -1 -1\n" + grid},
      {"index of the none value", grid + "f 1 2 3 4294967295\n"},
      {"index of 4294967294", grid + "f 1 2 4294967294\n"},
      {"twenty-digit negative index", grid + "f 1 2 -99999999999999999999\n"},
      {"twenty-digit texture coordinate index", grid + "f 1/1 2/99999999999999999999 3/1\n"},
      {"minus zero", grid + "f -0 1 2\n"},
      {"usemtl without a name", "mtllib a.mtl\n" + grid + "usemtl\nf 1 2 3\nusemtl"},
      {"g at the end without a line end", grid + "f 1 2 3\ng"},
      {"zero byte after a keyword",
       grid + "v" + std::string(1, '\0') + " 1 1 1\nf" + std::string(1, '\0') + " 1 2 5\n"},
      {"face at the end without items", grid + "f 1 2 3\nf"},
      {"no faces", grid},
      {"an empty group and no vertices", "g lonely\ng\n"},
      // Libraries that are not regular files: the directory itself, the
      // directory followed by bytes "%s" stops at, and a FIFO nobody
      // writes to, which must be refused rather than waited on.
      {"library that is a directory", "mtllib .\n" + grid + "f 1 2 3\n"},
      {"library that is a directory, then zero bytes",
       "mtllib ." + std::string(7, '\0') + "\xff\xff\xff\xffodel.obj\nnetllib model 2 3\n"},
      {"library that is a FIFO", "mtllib pipe\n" + grid + "f 1 2 3\n"},
  };
  TempDir dir;
  writeRandomLibraries(dir);
  ASSERT_EQ(mkfifo((dir.path() + "/pipe").c_str(), 0600), 0);
  for (const auto& row : rows) {
    const std::string path = dir.write("chosen.obj", row.text);
    const std::string expected = referenceReading(path);
    const std::string actual = libraryReading(path);
    EXPECT_TRUE(actual == expected) << row.name << ": " << firstDifference(actual, expected);
    if (std::string(row.name) == "material not found") {
      EXPECT_NE(expected.find("can't find material \"gone\""), std::string::npos);
    }
    if (std::string(row.name).find("library that is a") == 0) {
      EXPECT_NE(expected.find("not a regular file"), std::string::npos) << row.name;
    }
  }
  // The OBJ path itself a directory or a FIFO.
  for (const char* name : {"", "/pipe"}) {
    const std::string path = dir.path() + name;
    const std::string expected = referenceReading(path);
    EXPECT_NE(expected.find("not a regular file"), std::string::npos) << path;
    EXPECT_EQ(libraryReading(path), expected) << path;
  }
}

TEST(ReadObjReference, files_cut_near_their_end_read_as_the_reference_reads_them) {
  // Files in the benchmark's shapes, long enough for any reading ahead in
  // bigger steps than a byte, with the odd line mixed in, cut at every
  // place near the end.
  std::mt19937 rng(18);
  std::string base;
  for (int i = 0; i < 40; i++)
    base += "v " + std::to_string(i % 7) + ".0123456 -0.5 " + std::to_string(rng() % 1000) + "\n";
  for (int i = 0; i < 20; i++) base += "vt 0." + std::to_string(rng() % 10000000) + " 1\n";
  for (int i = 0; i < 20; i++) base += "vn -0.0034999573 0.0024999734 0.99999386\n";
  for (int i = 0; i < 30; i++) {
    const std::string a = std::to_string(1 + rng() % 20), b = std::to_string(1 + rng() % 20),
                      c = std::to_string(1 + rng() % 20);
    switch (i % 6) {
      case 0: base += "f " + a + ' ' + b + ' ' + c + "\n"; break;
      case 1:
        base += "f " + a + '/' + b + '/' + c + ' ' + b + '/' + c + '/' + a + ' ' + c + '/' + a +
                '/' + b + "\n";
        break;
      case 2: base += "f " + a + "//1 " + b + "//2 " + c + "//3 1//4\n"; break;
      case 3: base += "f " + a + "/1 " + b + "/2\n  " + c + "/3\n"; break;
      case 4: base += "f -" + a + "/-1/-2 -" + b + "/-3/-4 -" + c + "/-5/-6\n"; break;
      default: base += "g part" + std::to_string(i % 3) + "\nf 1 2 3 4 5\n"; break;
    }
  }
  TempDir dir;
  for (size_t cut = base.size() - 120; cut <= base.size(); cut++) {
    const std::string path = dir.write("long.obj", base.substr(0, cut));
    const std::string actual = libraryReading(path), expected = referenceReading(path);
    ASSERT_TRUE(actual == expected)
        << "cut at " << cut << ": " << firstDifference(actual, expected);
  }
  // The whole file reads without failing.
  EXPECT_EQ(referenceReading(dir.write("long.obj", base))[0], '0');
}

// ---- Relative indices ------------------------------------------------------
//
// A negative index counts back from the last element of its kind read
// before the face: -1 is the last one.

TEST(ReadObjRelative, negative_indices_count_back_from_the_last_element_read) {
  const std::string three = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  const std::vector<uint32_t> none = {kNone, kNone, kNone};
  const struct {
    std::string obj;
    std::vector<uint32_t> v, t, n;  // the corners of the one triangle
  } cases[] = {
      {three + "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nf -3/-3/-1 -2/-2/-1 -1/-1/-1\n",
       {1, 2, 3},
       {1, 2, 3},
       {1, 1, 1}},
      // -1 is the last normal, never "no normal".
      {three + "vn 0 0 1\nf 1//-1 2//-1 3//-1\n", {1, 2, 3}, none, {1, 1, 1}},
      // A vertex after the face does not count.
      {three + "f -1 -2 -3\nv 1 1 1\n", {3, 2, 1}, none, none},
  };
  for (const auto& c : cases) {
    Scene scene(c.obj);
    std::string fatal;
    ObxModel* reference = referenceReadOBJ(scene.path.c_str(), &fatal);
    ASSERT_NE(reference, nullptr) << fatal;
    ObxModel* model = readOrNull(scene.path.c_str());
    EXPECT_NE(model, nullptr) << c.obj;
    for (const ObxModel* m : {model, reference}) {
      if (!m) continue;
      const char* reader = m == model ? "obxReadOBJ" : "the reference";
      EXPECT_EQ(m->numtriangles, 1u) << reader << '\n' << c.obj;
      if (m->numtriangles != 1) continue;
      EXPECT_EQ(corners(m->triangles[0].vindices), c.v) << reader << '\n' << c.obj;
      EXPECT_EQ(corners(m->triangles[0].tindices), c.t) << reader << '\n' << c.obj;
      EXPECT_EQ(corners(m->triangles[0].nindices), c.n) << reader << '\n' << c.obj;
    }
    if (model) obxDeleteModel(model);
    obxDeleteModel(reference);
  }
}

TEST(ReadObjRelative, negative_index_before_the_first_element_fails) {
  const FatalCase cases[] = {
      {"v 0 0 0\nv 1 0 0\nf -1 -2 -3\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (-3 reaches before the first "
       "vertex; 2 read so far) at line 3 of \"PATH\"\n\n"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//-1 2//-1 3//-1\n",
       "OBX: Fatal Error: normal index for triangle 0 out of bounds (-1 reaches before the first "
       "normal; 0 read so far) at line 4 of \"PATH\"\n\n"},
      // The triangle named is the fan triangle that the item begins.
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/1 3/1 1/-2\n",
       "OBX: Fatal Error: texture coordinate index for triangle 1 out of bounds (-2 reaches before "
       "the first texture coordinate; 1 read so far) at line 5 of \"PATH\"\n\n"},
      // Only the vertices before the face count.
      {"f -1 -1 -1\nv 0 0 0\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (-1 reaches before the first "
       "vertex; 0 read so far) at line 1 of \"PATH\"\n\n"},
  };
  for (const FatalCase& c : cases) {
    Scene scene(c.obj);
    std::string message = c.message;
    message.replace(message.find("PATH"), 4, scene.path);
    std::string fatal;
    EXPECT_EQ(referenceReadOBJ(scene.path.c_str(), &fatal), nullptr) << c.obj;
    EXPECT_EQ("OBX: Fatal Error: " + fatal + "\n", message) << c.obj;
    EXPECT_EXIT(scene.read(), ExitedWithCode(1), Eq(message)) << c.obj;
  }
}

// ---- Robustness ------------------------------------------------------------

// A file cut short or grown while it is read (an exporter rewriting it in
// place) gives the model of what the reads met, never a signal. The MTL
// library the file names is read mid-way; its warning's sink changes the
// OBJ file while most of it is still unread.
TEST(ReadObjRobust, a_file_that_changes_while_it_is_read_gives_what_was_read) {
  TempDir dir;
  dir.write("lib.mtl", "newmtl a\nNi 1.5\n");
  std::string vertices;
  for (int i = 0; i < 20000; i++) vertices += "v " + std::to_string(i) + " 1 2\n";
  const struct {
    const char* name;
    off_t size;  // the file's size after the change, -1 for grown
    uint32_t atLeast, atMost;
  } rows[] = {{"cut short", 4096, 1, 1000}, {"grown", -1, 40000, 40000}};
  for (const auto& row : rows) {
    const std::string path = dir.write("changing.obj", "mtllib lib.mtl\n" + vertices);
    struct Change {
      std::string path, more;
      off_t size;
    } change = {path, vertices, row.size};
    obxSetReadWindow(1024, 256);
    obxSetWarningSink(
        [](const char*, void* context) {
          const Change* c = static_cast<const Change*>(context);
          if (c->size >= 0) {
            ASSERT_EQ(truncate(c->path.c_str(), c->size), 0);
          } else {
            FILE* file = fopen(c->path.c_str(), "a");
            fputs(c->more.c_str(), file);
            fclose(file);
          }
        },
        &change);
    char message[256];
    ObxModel* model = obxTryReadOBJ(path.c_str(), message, sizeof message);
    obxSetWarningSink(NULL, NULL);
    obxSetReadWindow(0, 0);
    ASSERT_NE(model, nullptr) << row.name << ": " << message;
    EXPECT_GE(model->numvertices, row.atLeast) << row.name;
    EXPECT_LE(model->numvertices, row.atMost) << row.name;
    obxDeleteModel(model);
  }
}

TEST(ReadObjRobust, every_truncated_prefix_reads_or_fails_cleanly) {
  const std::string full =
      "# scene\nmtllib colors.mtl\n"
      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nvt 0 0\nvt 1 0\nvt 1 1\n"
      "g top\nusemtl red\nf 1/1/1 2/2/1 3/3/1 4/1/1\ng side\nf 1//1 2//1 3//1\n"
      "usemtl green\nf 4/2 3/3 1/1\nf 1 2 3\ns off\ng top\n";
  TempDir dir;
  dir.write("colors.mtl", kColors);
  int clean = 0, failed = 0;
  for (size_t length = 0; length <= full.size(); length++) {
    std::string path = dir.write("prefix.obj", full.substr(0, length));
    int status;
    std::string err = stderrOfChild(
        [&] {
          ObxModel* model = obxReadOBJ(path.c_str());
          obxDeleteModel(model);
        },
        &status);
    ASSERT_TRUE(status == 0 || status == 1) << "prefix " << length << ": " << err;
    ASSERT_EQ(err.find("Sanitizer"), std::string::npos) << "prefix " << length << ": " << err;
    ASSERT_EQ(err.find("runtime error"), std::string::npos) << "prefix " << length << ": " << err;
    if (status == 1) {
      ASSERT_EQ(err.rfind("OBX: Fatal Error: ", 0), 0u) << "prefix " << length << ": " << err;
      failed++;
    } else {
      clean++;
    }
  }
  EXPECT_GT(clean, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
