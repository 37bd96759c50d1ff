// Malformed OBJ, MTL and PPM files, one table: each either ends the process
// with status 1 and the library's fatal message, or reads cleanly (with the
// warnings listed) into a model whose every index and count holds. None may
// end in a signal. Each row runs in a child process of its own.
#include <GL/glew.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::TempDir;

// How a row's file is handed to the library.
enum class Input {
  kObj,  // obxReadOBJ on scene.obj (with its MTL and textures beside it)
  kPpm,  // obxReadRawPPM on image.ppm
};

enum class Outcome {
  kClean,         // exit 0 after the sanity checks; stderr: the warnings
  kFatal,         // exit 1; stderr: the fatal message (after any warnings)
  kCleanOrFatal,  // either of the above, for random bytes
};

// What a clean OBJ read must have produced; -1 leaves a count unchecked.
struct Counts {
  long vertices = -1, triangles = -1, groups = -1, materials = -1, textures = -1;
};

// One malformed input. Messages are the whole of standard error, literally,
// except for two placeholders: {dir} stands for the row's temp directory and
// {any} for any text.
struct Row {
  explicit Row(std::string rowName) : name(std::move(rowName)) {}

  Row& obj(const std::string& text) {
    input = Input::kObj;
    return file("scene.obj", text);
  }
  Row& ppm(const std::string& bytes) {
    input = Input::kPpm;
    return file("image.ppm", bytes);
  }
  Row& file(const std::string& fileName, const std::string& content) {
    files.push_back({fileName, content});
    return *this;
  }
  // A directory where a file is expected.
  Row& directory(const std::string& dirName) {
    directories.push_back(dirName);
    return *this;
  }
  Row& inputIs(Input kind) {
    input = kind;
    return *this;
  }
  Row& needsGl() {
    gl = true;
    return *this;
  }
  Row& fails(const std::string& text) {
    outcome = Outcome::kFatal;
    message += text;
    return *this;
  }
  Row& warns(const std::string& text) {
    message += text;
    return *this;
  }
  Row& readsCleanly(Counts expected = Counts()) {
    outcome = Outcome::kClean;
    counts = expected;
    return *this;
  }
  Row& cleanOrFatal() {
    outcome = Outcome::kCleanOrFatal;
    return *this;
  }
  // PPM rows: the picture read, or none (width -1).
  Row& pixels(int w, int h) {
    width = w, height = h;
    return readsCleanly();
  }
  Row& noPixels() { return pixels(-1, -1); }

  std::string name;
  Input input = Input::kObj;
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> directories;
  bool gl = false;  // the MTL names textures: loading them needs a GL context
  Outcome outcome = Outcome::kClean;
  std::string message;
  Counts counts;
  int width = -1, height = -1;
};

const char kCleanEnd[] = "read cleanly\n";
constexpr int kNotSane = 2;  // exit status of a child whose model fails a check

// ---- Inputs ---------------------------------------------------------------

// A unit square's corners.
const std::string kSquare = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
const std::string kTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";

// count bytes drawn from alphabet, the same on every run.
std::string randomBytes(size_t count, const std::string& alphabet, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes;
  for (size_t i = 0; i < count; i++) bytes += alphabet[rng() % alphabet.size()];
  return bytes;
}

// Bytes no OBJ or MTL keyword starts with: control characters and the
// upper half, line ends among them.
std::string garbageAlphabet() {
  std::string alphabet = "\n\r\t\x01\x02\x7f";
  for (int b = 0x80; b <= 0xff; b++) alphabet += char(b);
  return alphabet;
}

std::string allBytes() {
  std::string alphabet;
  for (int b = 0; b < 256; b++) alphabet += char(b);
  return alphabet;
}

// A face of count items cycling over vertices 1..3, then a last item.
std::string longFace(int count, const std::string& last) {
  std::string face = "f";
  for (int i = 0; i < count - 1; i++) face += " " + std::to_string(1 + i % 3);
  return face + " " + last + "\n";
}

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; i++) out += text;
  return out;
}

// A raw PPM: header, then w * h RGB pixels of a ramp.
std::string ppmImage(const std::string& header, int w, int h) {
  std::string image = header;
  for (int i = 0; i < 3 * w * h; i++) image += char(i * 7);
  return image;
}

const std::string kLibraryObj = "mtllib lib.mtl\n" + kTriangle + "f 1 2 3\n";
const std::string kTextureObj = "mtllib lib.mtl\n" + kTriangle + "usemtl t\nf 1 2 3\n";
const char kFirstPass[] = "OBX: Fatal Error: obxFirstPass(): ";

std::vector<Row> rows() {
  const std::string longText(10000, 'x');
  std::vector<Row> r;

  // ---- OBJ: files that are not there, empty or cut short
  r.push_back(Row("obj_empty_file").obj("").readsCleanly({0, 0, 1, 0, 0}));
  r.push_back(Row("obj_only_blanks_and_line_ends")
                  .obj("\n\n \t \n\r\n\v\f\n")
                  .readsCleanly({0, 0, 1, 0, 0}));
  r.push_back(
      Row("obj_directory_given_as_the_file")
          .directory("scene.obj")
          .fails("OBX: Fatal Error: obxReadOBJ() failed: can't open data file "
                 "\"{dir}/scene.obj\": not a regular file (only regular files are read).\n"));
  r.push_back(Row("obj_missing_file")
                  .fails("OBX: Fatal Error: obxReadOBJ() failed: can't open data file "
                         "\"{dir}/scene.obj\": No such file or directory.\n"));
  r.push_back(Row("obj_cut_inside_a_vertex").obj("v 1 2").readsCleanly({1, 0}));
  r.push_back(Row("obj_cut_inside_a_face")
                  .obj(kSquare + "f 1 2")
                  .warns("OBX: Warning: obxReadOBJ: a face of fewer than three corners makes no triangle at line 5 of \"{dir}/scene.obj\"\n")
                  .readsCleanly({4, 0}));
  r.push_back(Row("obj_cut_after_a_slash").obj(kSquare + "vt 0 0\nf 1/1 2/1 3/").readsCleanly());
  r.push_back(Row("obj_cut_inside_a_keyword")
                  .obj(kSquare + "f 1 2 3\nus")
                  .fails("OBX: Fatal Error: obxReadOBJ: Got \"us\" instead of \"usemtl\" at line 6 of \"{dir}/scene.obj\"\n"));

  // ---- OBJ: binary garbage
  r.push_back(Row("obj_binary_garbage_without_keywords")
                  .obj(randomBytes(4096, garbageAlphabet(), 1))
                  .readsCleanly({0, 0, 1, 0, 0}));
  r.push_back(Row("obj_binary_garbage_after_v")
                  .obj("v\xff\xfe\x01 1 2 3\n")
                  .fails(std::string(kFirstPass) + "Unknown token \"v\xff\xfe\x01\" at line 1 of \"{dir}/scene.obj\".\n"));
  r.push_back(Row("obj_nul_bytes_before_the_first_line_end")
                  .obj(std::string(1000, '\0') + kSquare + "f 1 2 3\n")
                  .readsCleanly({3, 1}));
  for (unsigned seed = 2; seed < 5; seed++)
    r.push_back(Row("obj_random_bytes_" + std::to_string(seed))
                    .obj(randomBytes(4096, allBytes(), seed))
                    .cleanOrFatal());

  // ---- OBJ: indices 0, past the arrays, relative, beyond 32 bits
  const std::string bounds = "OBX: Fatal Error: ";
  r.push_back(Row("obj_vertex_index_0")
                  .obj(kSquare + "f 0 1 2\n")
                  .fails(bounds + "vertex index for triangle 0 out of bounds (0 < 1) at line 5 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_vertex_index_past_the_end")
                  .obj(kSquare + "f 1 2 3\nf 1 2 5\n")
                  .fails(bounds + "vertex index for triangle 1 out of bounds (5 > 4) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(
      Row("obj_relative_vertex_indices").obj(kSquare + "f -1 -2 -3\n").readsCleanly({4, 1}));
  r.push_back(Row("obj_relative_vertex_index_before_the_first")
                  .obj(kSquare + "f -1 -2 -5\n")
                  .fails(bounds +
                         "vertex index for triangle 0 out of bounds (-5 reaches before the first "
                         "vertex; 4 read so far) at line 5 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_normal_index_0")
                  .obj(kSquare + "vn 0 0 1\nf 1//1 2//0 3//1\n")
                  .fails(bounds + "normal index for triangle 0 out of bounds (0 < 1) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(
      Row("obj_texcoord_index_past_the_end")
          .obj(kSquare + "vt 0 0\nf 1/1 2/2 3/1\n")
          .fails(bounds + "texture coordinate index for triangle 0 out of bounds (2 > 1) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(
      Row("obj_negative_texcoord_index")
          .obj(kSquare + "vt 0 0\nf 1/-2 2/1 3/1\n")
          .fails(bounds +
                 "texture coordinate index for triangle 0 out of bounds (-2 reaches before the "
                 "first texture coordinate; 1 read so far) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_texcoord_index_minus_1_is_the_last")
                  .obj(kSquare + "vt 0 0\nf 1/-1 2/1 3/1\n")
                  .readsCleanly({4, 1}));
  r.push_back(Row("obj_vertex_index_of_all_32_bits")
                  .obj(kSquare + "f 4294967295 1 2\n")
                  .fails(bounds + "vertex index for triangle 0 out of bounds (4294967295 is above "
                                  "4294967294) at line 5 of \"{dir}/scene.obj\"\n\n"));
  // The all-ones index has the bits of "none": it must not read as a corner
  // without a normal.
  r.push_back(Row("obj_normal_index_of_all_32_bits")
                  .obj(kSquare + "vn 0 0 1\nf 1//4294967295 2//1 3//1\n")
                  .fails(bounds + "normal index for triangle 0 out of bounds (4294967295 is above "
                                  "4294967294) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_index_beyond_32_bits")
                  .obj(kSquare + "f 1 2 4294967296\n")
                  .fails(bounds + "vertex index for triangle 0 out of bounds (4294967296 is above "
                                  "4294967294) at line 5 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_index_of_twenty_digits")
                  .obj(kSquare + "f 1 2 3\nf 1 2 99999999999999999999\n")
                  .fails(bounds +
                         "vertex index for triangle 1 out of bounds (9223372036854775807 is above "
                         "4294967294) at line 6 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_face_of_letters")
                  .obj("f a b c\n")
                  .warns("OBX: Warning: obxReadOBJ: a face of fewer than three corners makes no triangle at line 1 of \"{dir}/scene.obj\"\n")
                  .readsCleanly({0, 0}));

  // ---- OBJ: numbers that are no numbers
  // Coordinates that are not finite are kept, with one warning a file.
  const std::string notFinite =
      "OBX: Warning: obxReadOBJ: vertex 1 in \"{dir}/scene.obj\" is not finite (extents and "
      "fitting leave it out)\n";
  r.push_back(Row("obj_nan_coordinates")
                  .obj("v nan nan nan\nv NaN 0 0\nv 0 -nan 1\nf 1 2 3\n")
                  .warns(notFinite)
                  .readsCleanly({3, 1}));
  r.push_back(Row("obj_infinite_coordinates")
                  .obj("v inf -inf 1e99\nv -1e400 infinity 0\nv 0 0 0\nf 1 2 3\n")
                  .warns(notFinite)
                  .readsCleanly({3, 1}));
  r.push_back(Row("obj_nan_normals_and_infinite_texcoords")
                  .obj(kSquare + "vn nan nan nan\nvt inf nan\nf 1/1/1 2/1/1 3/1/1\n")
                  .readsCleanly({4, 1}));
  r.push_back(Row("obj_number_of_10000_digits")
                  .obj("v " + std::string(10000, '1') + " 2 3\nv 0 0 0\nv 0 1 0\nf 1 2 3\n")
                  .warns(notFinite)
                  .readsCleanly({3, 1}));

  // ---- OBJ: long lines and long faces
  r.push_back(Row("obj_comment_of_10000_characters")
                  .obj("# " + longText + "\n" + kSquare + "f 1 2 3\n")
                  .readsCleanly({4, 1}));
  // Past 127 characters a comment's rest is read as statements: here faces.
  r.push_back(Row("obj_comment_of_10000_characters_of_faces")
                  .obj(kSquare + "# " + repeated("f 1 2 3 ", 1250) + "\n")
                  .readsCleanly());
  r.push_back(Row("obj_group_name_of_10000_characters")
                  .obj(kSquare + "g " + std::string(10000, 'n') + "\nf 1 2 3\n")
                  .readsCleanly({4, 1, 2}));
  r.push_back(
      Row("obj_keyword_of_10000_characters")
          .obj(kSquare + std::string(10000, 'v') + "\n")
          .fails(std::string(kFirstPass) + "Unknown token \"" + std::string(127, 'v') +
                 "\" at line 5 of \"{dir}/scene.obj\".\n"));
  r.push_back(Row("obj_face_of_100000_items")
                  .obj(kTriangle + longFace(100000, "1"))
                  .readsCleanly({3, 99998, 1}));
  r.push_back(Row("obj_face_of_100000_items_ending_out_of_bounds")
                  .obj(kTriangle + longFace(100000, "4"))
                  .fails(bounds + "vertex index for triangle 99997 out of bounds (4 > 3) at line 4 of \"{dir}/scene.obj\"\n\n"));
  r.push_back(Row("obj_100000_vertex_lines_without_numbers")
                  .obj(repeated("v\n", 100000) + "f 1 2 100000\n")
                  .readsCleanly({100000, 1}));
  r.push_back(Row("obj_2000_groups")
                  .obj([] {
                    std::string text = kTriangle;
                    for (int i = 0; i < 2000; i++)
                      text += "g part" + std::to_string(i) + "\nf 1 2 3\n";
                    return text;
                  }())
                  .readsCleanly({3, 2000, 2001}));

  // ---- OBJ: line ends
  r.push_back(Row("obj_cr_only_line_ends")
                  .obj("v 0 0 0\rv 1 0 0\rv 0 1 0\rf 1 2 3\r")
                  .readsCleanly({3, 1}));
  r.push_back(Row("obj_cr_only_line_ends_after_a_group")
                  .obj("v 0 0 0\rv 1 0 0\rv 0 1 0\rg a\rf 1 2 3\r")
                  .readsCleanly({3, -1, 2}));

  // ---- OBJ: statements the reader does not know or cannot use
  r.push_back(Row("obj_unknown_keyword_starting_with_v")
                  .obj("vp 0.5 1\n")
                  .fails(std::string(kFirstPass) + "Unknown token \"vp\" at line 1 of \"{dir}/scene.obj\".\n"));
  r.push_back(Row("obj_unknown_keyword_starting_with_m")
                  .obj("maplib a.map\n")
                  .fails("OBX: Fatal Error: obxReadOBJ: Got \"maplib\" instead of \"mtllib\" at line 1 of \"{dir}/scene.obj\"\n"));
  r.push_back(Row("obj_unknown_keyword_starting_with_u")
                  .obj("usemap a\n")
                  .fails("OBX: Fatal Error: obxReadOBJ: Got \"usemap\" instead of \"usemtl\" at line 1 of \"{dir}/scene.obj\"\n"));
  r.push_back(Row("obj_other_unknown_keywords_are_skipped")
                  .obj(kSquare +
                       "o thing\nl 1 2\np 1\ncurv 0 1 1 2\nparm u 0 1\nend\nbevel off\n"
                       "c_interp on\nlod 1\ntrace_obj x\nctech cparm 1\nhello world\n@#!$%\n"
                       "f 1 2 3\n")
                  .readsCleanly({4, 1}));
  r.push_back(
      Row("obj_face_keyword_with_letters_after_f").obj(kSquare + "fo 1 2 3\n").readsCleanly());
  r.push_back(Row("obj_face_without_items")
                  .obj(kSquare + "f\n")
                  .warns("OBX: Warning: obxReadOBJ: a face of fewer than three corners makes no triangle at line 5 of \"{dir}/scene.obj\"\n")
                  .readsCleanly({4, 0}));
  r.push_back(Row("obj_face_of_one_item")
                  .obj(kSquare + "f 2\n")
                  .warns("OBX: Warning: obxReadOBJ: a face of fewer than three corners makes no triangle at line 5 of \"{dir}/scene.obj\"\n")
                  .readsCleanly({4, 0}));
  r.push_back(Row("obj_face_of_mixed_item_forms")
                  .obj(kSquare + "vt 0 0\nvn 0 0 1\nf 1/1 2//1 3\n")
                  .warns("OBX: Warning: obxReadOBJ: a face of fewer than three corners makes no triangle at line 7 of \"{dir}/scene.obj\"\n")
                  .readsCleanly());

  // ---- OBJ: material libraries
  const std::string cannotOpenMtl =
      "OBX: Fatal Error: obxReadMTL() failed: can't open material file ";
  r.push_back(Row("obj_mtllib_names_a_missing_file")
                  .obj("mtllib gone.mtl\n" + kSquare)
                  .fails(cannotOpenMtl + "\"{dir}/gone.mtl\": No such file or directory.\n"));
  r.push_back(Row("obj_mtllib_names_a_directory")
                  .obj("mtllib lib.mtl\n" + kSquare)
                  .directory("lib.mtl")
                  .fails(cannotOpenMtl +
                         "\"{dir}/lib.mtl\": not a regular file (only regular files are read).\n"));
  r.push_back(Row("obj_mtllib_name_of_10000_characters")
                  .obj("mtllib " + std::string(10000, 'm') + "\n")
                  .fails(cannotOpenMtl + "\"{dir}/mmm{any}\": No such file or directory.\n"));
  r.push_back(Row("obj_usemtl_without_mtllib")
                  .obj(kSquare + "usemtl red\nf 1 2 3\n")
                  .warns("OBX: Warning: obxFindMaterial():  can't find material \"red\".\n")
                  .readsCleanly({4, 1}));
  r.push_back(Row("obj_usemtl_of_an_unknown_material")
                  .obj("mtllib lib.mtl\n" + kSquare + "usemtl blue\nf 1 2 3\n")
                  .file("lib.mtl", "newmtl red\n")
                  .warns("OBX: Warning: obxFindMaterial():  can't find material \"blue\".\n")
                  .readsCleanly({4, 1, 1, 2}));
  r.push_back(Row("obj_usemtl_without_a_name")
                  .obj("mtllib lib.mtl\n" + kSquare + "usemtl\nf 1 2 3\n")
                  .file("lib.mtl", "newmtl red\n")
                  .warns("OBX: Warning: obxFindMaterial():  can't find material \"\".\n")
                  .readsCleanly({4, 1, 1, 2}));

  // ---- MTL
  const std::string mtlFatal = "OBX: Fatal Error: obxReadMTL: Got ";
  r.push_back(
      Row("mtl_empty_file").obj(kLibraryObj).file("lib.mtl", "").readsCleanly({3, 1, 1, 1}));
  r.push_back(Row("mtl_binary_garbage_without_keywords")
                  .obj(kLibraryObj)
                  .file("lib.mtl", randomBytes(4096, garbageAlphabet(), 5))
                  .readsCleanly({3, 1, 1, 1}));
  r.push_back(
      Row("mtl_binary_garbage_after_n")
          .obj(kLibraryObj)
          .file("lib.mtl", "n\xff\xfe\x01\n")
          .fails(mtlFatal + "\"n{any}\" instead of \"newmtl\" at line 1 of \"{dir}/lib.mtl\"\n"));
  r.push_back(Row("mtl_random_bytes")
                  .obj(kLibraryObj)
                  .file("lib.mtl", randomBytes(4096, allBytes(), 6))
                  .cleanOrFatal());
  r.push_back(Row("mtl_cut_inside_newmtl")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\nKd 1 0 0\nnewm")
                  .fails(mtlFatal + "\"newm\" instead of \"newmtl\" at line 3 of \"{dir}/lib.mtl\"\n"));
  r.push_back(Row("mtl_cut_inside_a_colour")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\nKd 1 0")
                  .readsCleanly({3, 1, 1, 2}));
  r.push_back(Row("mtl_nan_and_infinite_values")
                  .obj(kLibraryObj)
                  .file("lib.mtl",
                        "newmtl a\nKd nan inf -inf\nKa NaN 0 0\nKs 1e99 0 0\nNs nan\nd inf\n"
                        "newmtl b\nNs 1e300\nd -nan\n")
                  .readsCleanly({3, 1, 1, 3}));
  r.push_back(Row("mtl_name_of_10000_characters")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl " + longText + "\nKd 1 0 0\n")
                  .readsCleanly({3, 1, 1, 2}));
  r.push_back(Row("mtl_unknown_keywords")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\nKe 1 1 1\nNx 1\nfoo bar\nTr 0.5\nvendor_y 1\n")
                  .warns("OBX: Warning: obxReadMTL: Command \"Ke\" ignored\n"
                         "OBX: Warning: obxReadMTL: Command \"Nx\" ignored\n")
                  .readsCleanly({3, 1, 1, 2}));
  r.push_back(
      Row("mtl_unknown_keyword_starting_with_n")
          .obj(kLibraryObj)
          .file("lib.mtl", "newmtl a\nnormalmap 1\n")
          .fails(mtlFatal + "\"normalmap\" instead of \"newmtl\" at line 2 of \"{dir}/lib.mtl\"\n"));
  r.push_back(Row("mtl_unknown_keyword_starting_with_i")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\nindex 3\n")
                  .fails(mtlFatal + "\"index\" instead of \"illum\" at line 2 of \"{dir}/lib.mtl\"\n"));
  r.push_back(Row("mtl_illum_of_twenty_digits")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\nillum 99999999999999999999\n")
                  .warns("OBX: Warning: illum material ignored: illum {any}\n")
                  .readsCleanly({3, 1, 1, 2}));
  r.push_back(Row("mtl_cr_only_line_ends")
                  .obj(kLibraryObj)
                  .file("lib.mtl", "newmtl a\rKd 1 0 0\rnewmtl b\r")
                  .readsCleanly({3, 1, 1, 2}));
  r.push_back(Row("mtl_10000_materials")
                  .obj(kLibraryObj)
                  .file("lib.mtl",
                        [] {
                          std::string text;
                          for (int i = 0; i < 10000; i++)
                            text += "newmtl m" + std::to_string(i) + "\n";
                          return text;
                        }())
                  .readsCleanly({3, 1, 1, 10001}));

  // ---- MTL: textures that are missing or broken. Each row makes a GL
  // context in its child, which is slow, so one row holds several maps.
  const std::string unable = "OBX: Warning: obxLoadTexture() failed: Unable to load texture from ";
  r.push_back(
      Row("mtl_maps_that_cannot_be_opened")
          .obj(kTextureObj)
          .file("lib.mtl",
                "newmtl t\nmap_Kd gone.png\nnewmtl dir\nmap_Kd maps.ppm\n"
                "newmtl long\nmap_Kd " +
                    longText + ".ppm\n")
          .directory("maps.ppm")
          .needsGl()
          .warns("OBX: Warning: {dir}/gone.png: No such file or directory\n" + unable +
                 "{dir}/gone.png!\n")
          .warns(unable + "{dir}/maps.ppm!\n")
          .warns("OBX: Warning: {dir}/xxx{any}: File name too long\n" + unable +
                 "{dir}/xxx{any}!\n")
          .readsCleanly({3, 1, 1, 4, 3}));
  // The last map loads: every sample is taken as one byte, whatever the
  // maximum says.
  r.push_back(Row("mtl_maps_of_broken_images")
                  .obj(kTextureObj)
                  .file("lib.mtl",
                        "newmtl t\nmap_Kd noise.png\nnewmtl big\nmap_Kd big.ppm\n"
                        "newmtl short\nmap_Kd short.ppm\nnewmtl zero\nmap_Kd zero.ppm\n")
                  .file("noise.png", randomBytes(2048, allBytes(), 7))
                  .file("big.ppm", ppmImage("P6\n2000000000 2000000000 255\n", 2, 2))
                  .file("short.ppm", ppmImage("P6\n64 64 255\n", 64, 63))
                  .file("zero.ppm", ppmImage("P6\n4 4 0\n", 4, 4))
                  .needsGl()
                  .warns(unable + "{dir}/noise.png!\n")
                  .warns(unable + "{dir}/big.ppm!\n")
                  .warns(unable + "{dir}/short.ppm!\n")
                  .readsCleanly({3, 1, 1, 5, 4}));

  // ---- PPM, read directly
  r.push_back(Row("ppm_empty_file").ppm("").noPixels());
  r.push_back(Row("ppm_missing_file")
                  .inputIs(Input::kPpm)
                  .warns("OBX: Warning: {dir}/image.ppm: No such file or directory\n")
                  .noPixels());
  r.push_back(Row("ppm_directory_given_as_the_file")
                  .inputIs(Input::kPpm)
                  .directory("image.ppm")
                  .noPixels());
  r.push_back(
      Row("ppm_absurd_size").ppm(ppmImage("P6\n2000000000 2000000000 255\n", 2, 2)).noPixels());
  r.push_back(
      Row("ppm_size_wrapping_32_bits").ppm(ppmImage("P6\n65536 65536 255\n", 2, 2)).noPixels());
  r.push_back(Row("ppm_size_beyond_int").ppm(ppmImage("P6\n1 99999999999 255\n", 1, 1)).noPixels());
  r.push_back(Row("ppm_negative_width").ppm(ppmImage("P6\n-2 2 255\n", 2, 2)).noPixels());
  r.push_back(Row("ppm_nan_and_inf_sizes").ppm(ppmImage("P6\nnan inf 255\n", 2, 2)).noPixels());
  r.push_back(Row("ppm_short_data").ppm(ppmImage("P6\n4 4 255\n", 4, 3)).noPixels());
  r.push_back(Row("ppm_header_cut_short").ppm("P6\n4 4").noPixels());
  r.push_back(Row("ppm_binary_garbage_after_the_magic")
                  .ppm("P6\n" + randomBytes(4096, garbageAlphabet(), 8))
                  .noPixels());
  r.push_back(Row("ppm_maxval_0").ppm(ppmImage("P6\n2 2 0\n", 2, 2)).pixels(2, 2));
  r.push_back(Row("ppm_maxval_65535").ppm(ppmImage("P6\n2 2 65535\n", 2, 2)).pixels(2, 2));
  r.push_back(Row("ppm_negative_maxval").ppm(ppmImage("P6\n2 2 -255\n", 2, 2)).pixels(2, 2));
  r.push_back(Row("ppm_maxval_beyond_int").ppm(ppmImage("P6\n2 2 99999999999\n", 2, 2)).noPixels());
  r.push_back(Row("ppm_comment_of_10000_characters")
                  .ppm(ppmImage("P6\n#" + longText + "\n2 2 255\n", 2, 2))
                  .pixels(2, 2));
  r.push_back(Row("ppm_cr_only_line_ends").ppm(ppmImage("P6\r2 2\r255\r", 2, 2)).noPixels());
  return r;
}

// ---- The child's side ---------------------------------------------------

// Every index in range and every count consistent; "" when the model holds,
// else what is wrong.
std::string insanity(const ObxModel* m, const Row& row) {
  if (!m) return "no model";
  auto range = [](uint32_t index, uint32_t count, bool noneAllowed) {
    return (noneAllowed && index == OBX_NO_INDEX) || (index >= 1 && index <= count);
  };
  if (!m->vertices) return "no vertex array";
  if (m->numnormals && !m->normals) return "no normal array";
  if (m->numtexcoords && !m->texcoords) return "no texcoord array";
  if (m->numtriangles && !m->triangles) return "no triangle array";
  if (m->numfacetnorms != m->numtriangles || !m->facetnorms) return "facet normals miscounted";
  const uint32_t materials = m->nummaterials ? m->nummaterials : 1;
  for (uint32_t i = 0; i < m->numtriangles; i++) {
    const ObxTriangle& t = m->triangles[i];
    for (int k = 0; k < 3; k++) {
      if (!range(t.vindices[k], m->numvertices, false))
        return "triangle " + std::to_string(i) + " vertex out of range";
      if (!range(t.nindices[k], m->numnormals, true))
        return "triangle " + std::to_string(i) + " normal out of range";
      if (!range(t.tindices[k], m->numtexcoords, true))
        return "triangle " + std::to_string(i) + " texcoord out of range";
    }
    if (!range(t.findex, m->numfacetnorms, false))
      return "triangle " + std::to_string(i) + " facet normal out of range";
    if (t.material >= materials) return "triangle " + std::to_string(i) + " material out of range";
  }
  // Each triangle in exactly one group; the list as long as its count.
  std::vector<char> seen(m->numtriangles, 0);
  uint32_t groups = 0;
  const ObxGroup* last = nullptr;
  for (const ObxGroup* g = m->groups; g; g = g->next, groups++) {
    if (!g->name) return "group without a name";
    if (g->material >= materials) return "group material out of range";
    if (g->numtriangles && !g->triangles) return "group without members array";
    for (uint32_t i = 0; i < g->numtriangles; i++) {
      if (g->triangles[i] >= m->numtriangles) return "group member out of range";
      if (seen[g->triangles[i]]++) return "triangle in two groups";
    }
    last = g;
  }
  if (groups != m->numgroups) return "group list miscounted";
  if (!last || std::string(last->name) != "default") return "\"default\" is not the last group";
  for (uint32_t i = 0; i < m->numtriangles; i++)
    if (!seen[i]) return "triangle " + std::to_string(i) + " in no group";
  for (uint32_t i = 0; i < m->nummaterials; i++) {
    const ObxMaterial& mat = m->materials[i];
    if (!mat.name) return "material without a name";
    if (mat.map_diffuse < -1 || mat.map_diffuse >= int32_t(m->numtextures))
      return "material map out of range";
  }
  for (uint32_t i = 0; i < m->numtextures; i++) {
    if (!m->textures[i].name) return "texture without a name";
    if (m->textures[i].id != 0 && !glIsTexture(m->textures[i].id))
      return "texture id not a texture";
  }
  const Counts& c = row.counts;
  auto differs = [](long expected, uint32_t actual) {
    return expected >= 0 && expected != long(actual);
  };
  if (differs(c.vertices, m->numvertices)) return "vertices: " + std::to_string(m->numvertices);
  if (differs(c.triangles, m->numtriangles)) return "triangles: " + std::to_string(m->numtriangles);
  if (differs(c.groups, m->numgroups)) return "groups: " + std::to_string(m->numgroups);
  if (differs(c.materials, m->nummaterials)) return "materials: " + std::to_string(m->nummaterials);
  if (differs(c.textures, m->numtextures)) return "textures: " + std::to_string(m->numtextures);
  return "";
}

[[noreturn]] void endChild(const std::string& problem) {
  if (!problem.empty()) {
    fprintf(stderr, "not sane: %s\n", problem.c_str());
    exit(kNotSane);
  }
  fputs(kCleanEnd, stderr);
  exit(0);
}

// The program's next step after reading: smooth normals. Their warnings
// (vertices without triangles) are not the row's business.
std::string smoothNormals(ObxModel* model) {
  fflush(stderr);
  int saved = dup(2);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  obxVertexNormals(model, 90.0f, GL_FALSE);
  fflush(stderr);
  dup2(saved, 2);
  close(null);
  close(saved);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (uint32_t n : model->triangles[i].nindices)
      if (n < 1 || n > model->numnormals) return "vertex normal out of range";
  return "";
}

[[noreturn]] void readObj(const Row& row, const std::string& path) {
  if (row.gl) ostrel_test::requireGlContext();
  ObxModel* model = obxReadOBJ(path.c_str());
  std::string problem = insanity(model, row);
  if (problem.empty()) problem = smoothNormals(model);
  obxDeleteModel(model);
  endChild(problem);
}

[[noreturn]] void readPpm(const Row& row, const std::string& path) {
  int w = -1, h = -1;
  GLenum format = 0;
  GLubyte* pixels = obxReadRawPPM(path.c_str(), GL_FALSE, &w, &h, &format);
  std::string problem;
  if (row.width < 0 && pixels) problem = "pixels read";
  if (row.width >= 0 && !pixels) problem = "no pixels read";
  if (pixels && (w != row.width || h != row.height || format != GL_RGB))
    problem = "read " + std::to_string(w) + "x" + std::to_string(h);
  free(pixels);
  endChild(problem);
}

// ---- The parent's side --------------------------------------------------

// The row's message as a regular expression over the whole of stderr.
std::string pattern(const std::string& message, const std::string& dir) {
  std::string out;
  for (size_t i = 0; i < message.size();) {
    if (message.compare(i, 5, "{dir}") == 0) {
      out += pattern(dir, "");
      i += 5;
    } else if (message.compare(i, 5, "{any}") == 0) {
      out += ".*";
      i += 5;
    } else {
      if (std::string(".[]{}()\\*+?^$|").find(message[i]) != std::string::npos) out += '\\';
      out += message[i++];
    }
  }
  return out;
}

bool cleanOrFatalStatus(int status) {
  return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1);
}

TEST(BadInput, every_row_fails_cleanly_or_reads_into_a_sane_model) {
  // The children fork from this process, so it never makes a GL context
  // itself: rows that load textures make one in their child.
  const std::vector<Row> table = rows();
  ASSERT_GE(table.size(), 40u);
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    for (const auto& f : row.files) dir.write(f.first, f.second);
    for (const std::string& d : row.directories)
      ASSERT_EQ(mkdir((dir.path() + "/" + d).c_str(), 0755), 0);
    const std::string path = dir.path() + (row.input == Input::kObj ? "/scene.obj" : "/image.ppm");
    auto body = [&] { row.input == Input::kObj ? readObj(row, path) : readPpm(row, path); };
    const std::string expected = pattern(row.message, dir.path());
    switch (row.outcome) {
      case Outcome::kClean:
        EXPECT_EXIT(body(), testing::ExitedWithCode(0),
                    testing::MatchesRegex(expected + pattern(kCleanEnd, "")));
        break;
      case Outcome::kFatal:
        EXPECT_EXIT(body(), testing::ExitedWithCode(1), testing::MatchesRegex(expected));
        break;
      case Outcome::kCleanOrFatal:
        EXPECT_EXIT(body(), cleanOrFatalStatus,
                    testing::MatchesRegex("(OBX: Warning: [^\n]*\n)*(" + pattern(kCleanEnd, "") +
                                          "|OBX: Fatal Error: [^\n]*\n\n?)"));
        break;
    }
  }
}

}  // namespace
