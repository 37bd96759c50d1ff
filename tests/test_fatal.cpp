// The fatal-error hook: a malformed file returns control to the caller,
// after the reader has released everything it held.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <setjmp.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using ostrel_test::readFile;
using ostrel_test::stderrOfChild;
using ostrel_test::TempDir;

jmp_buf fatalReturn;
int fatalCalls = 0;

void returnToTest(void) {
  fatalCalls++;
  longjmp(fatalReturn, 1);
}

void returnNormally(void) { fatalCalls++; }

// Installs returnToTest for one test and puts the previous hook back.
class FatalHook : public testing::Test {
 protected:
  void SetUp() override {
    fatalCalls = 0;
    previous_ = obxSetFatalHook(returnToTest);
  }
  void TearDown() override { obxSetFatalHook(previous_); }

 private:
  ObxFatalHook previous_ = NULL;
};

// What a call wrote to standard error, caught in a file.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(2);
    file_ = tmpfile();
    dup2(fileno(file_), 2);
  }
  std::string finish() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    std::string text;
    rewind(file_);
    for (int c = fgetc(file_); c != EOF; c = fgetc(file_)) text += char(c);
    fclose(file_);
    return text;
  }

 private:
  int saved_ = -1;
  FILE* file_ = NULL;
};

// Reads path with the hook installed; returns the model, or NULL when the
// hook brought control back.
ObxModel* readOrReturn(const std::string& path) {
  if (setjmp(fatalReturn) != 0) return NULL;
  return obxReadOBJ(path.c_str());
}

// Whether the process still maps a file whose path contains name.
bool stillMapped(const std::string& name) {
  return readFile("/proc/self/maps").find(name) != std::string::npos;
}

// Leaked blocks are a failure here and now, not at the runner's exit, so
// the failing input is named.
bool leaksNothing() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

const char* const kGoodObj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

struct Malformed {
  const char* name;
  const char* obj;
  const char* mtl;      // written as lib.mtl when not NULL
  const char* message;  // part of the fatal message
};

// Fatal errors at each point of a read: in either pass, in the index
// check, and inside the MTL reader with both files mapped.
const Malformed kMalformed[] = {
    {"unknown_v_token", "v 0 0 0\nvx 1 2 3\n", NULL, "Unknown token \"vx\""},
    {"bad_m_keyword", "v 0 0 0\nmaterial x\n", NULL, "instead of \"mtllib\""},
    {"bad_u_keyword", "v 0 0 0\nuse x\n", NULL, "instead of \"usemtl\""},
    {"vertex_out_of_bounds", "v 0 0 0\nv 1 0 0\nf 1 2 3\n", NULL, "vertex index"},
    {"normal_out_of_bounds", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//1 2//1 3//1\n", NULL, "normal index"},
    {"index_beyond_32_bits", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 99999999999\n", NULL,
     "is above 4294967294"},
    {"missing_mtllib", "mtllib none.mtl\nv 0 0 0\n", NULL, "can't open material file"},
    {"bad_newmtl", "v 0 0 0\nv 1 0 0\nmtllib lib.mtl\nv 0 1 0\nf 1 2 3\n", "newmaterial a\n",
     "instead of \"newmtl\""},
    {"bad_illum", "g first\nmtllib lib.mtl\n", "newmtl a\nKd 1 0 0\nilum 2\n",
     "instead of \"illum\""},
};

TEST_F(FatalHook, malformed_files_return_to_the_caller_and_release_everything) {
  for (const Malformed& bad : kMalformed) {
    SCOPED_TRACE(bad.name);
    TempDir dir;
    const std::string path = dir.write("model.obj", bad.obj);
    if (bad.mtl) dir.write("lib.mtl", bad.mtl);
    fatalCalls = 0;
    StderrCapture capture;
    ObxModel* model = readOrReturn(path);
    const std::string err = capture.finish();
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(fatalCalls, 1);
    EXPECT_NE(err.find("OBX: Fatal Error: "), std::string::npos) << err;
    EXPECT_NE(err.find(bad.message), std::string::npos) << err;
    EXPECT_FALSE(stillMapped(dir.path())) << "a file of the read is still mapped";
    EXPECT_TRUE(leaksNothing());

    // The same through obxTryReadOBJ: the report's message, nothing printed,
    // nothing kept, the hook not called.
    char message[512];
    StderrCapture quiet;
    EXPECT_EQ(obxTryReadOBJ(path.c_str(), message, sizeof message), nullptr);
    EXPECT_EQ(quiet.finish().find("Fatal"), std::string::npos);
    std::string reported = err.substr(err.find("OBX: Fatal Error: ") + 18);
    while (!reported.empty() && reported.back() == '\n') reported.pop_back();
    EXPECT_EQ(message, reported);
    EXPECT_EQ(fatalCalls, 1);
    EXPECT_FALSE(stillMapped(dir.path()));
    EXPECT_TRUE(leaksNothing());
  }
}

TEST_F(FatalHook, a_good_read_after_a_fatal_one_works) {
  TempDir dir;
  const std::string bad = dir.write("bad.obj", "v 0 0 0\nf 1 2 3\n");
  const std::string good = dir.write("good.obj", kGoodObj);
  StderrCapture capture;
  EXPECT_EQ(readOrReturn(bad), nullptr);
  capture.finish();
  ObxModel* model = readOrReturn(good);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(fatalCalls, 1);
  EXPECT_EQ(model->numvertices, 3u);
  EXPECT_EQ(model->numtriangles, 1u);
  EXPECT_EQ(model->triangles[0].vindices[2], 3u);
  obxDeleteModel(model);
  EXPECT_TRUE(leaksNothing());
}

TEST_F(FatalHook, many_fatal_reads_keep_no_resources) {
  // The reader's record of what it holds is emptied by every fatal error; a
  // stale entry would overflow it (an assertion) or free a live block.
  TempDir dir;
  const std::string bad = dir.write("bad.obj", "mtllib lib.mtl\n");
  dir.write("lib.mtl", "newmtl a\nnonsense\n");
  StderrCapture capture;
  for (int i = 0; i < 100; i++) EXPECT_EQ(readOrReturn(bad), nullptr);
  capture.finish();
  EXPECT_EQ(fatalCalls, 100);
  EXPECT_FALSE(stillMapped(dir.path()));
  EXPECT_TRUE(leaksNothing());
}

// The library fails while its new table is filled: the model keeps the
// table it had and writes it out whole.
TEST_F(FatalHook, failed_direct_mtl_read_leaves_the_model_as_it_was) {
  TempDir dir;
  const std::string path = dir.write("model.obj", kGoodObj);
  dir.write("lib.mtl", "newmtl a\nnewmtl b\nKd 1 1 1\nilum 2\n");
  dir.write("good.mtl", "newmtl red\nnewmtl green\n");
  ObxModel* model = readOrReturn(path);
  ASSERT_NE(model, nullptr);
  obxReadMTL(model, "good.mtl");
  const std::string before = ostrel_test::describe(model);
  StderrCapture capture;
  bool returned = false;
  if (setjmp(fatalReturn) == 0)
    obxReadMTL(model, "lib.mtl");
  else
    returned = true;
  const std::string err = capture.finish();
  EXPECT_TRUE(returned);
  EXPECT_NE(err.find("instead of \"illum\""), std::string::npos) << err;
  EXPECT_FALSE(stillMapped("lib.mtl"));
  EXPECT_EQ(ostrel_test::describe(model), before);
  char message[256];
  EXPECT_EQ(obxTryWriteOBJ(model, (dir.path() + "/out.obj").c_str(), OBX_MATERIAL, message,
                           sizeof message),
            1);
  EXPECT_NE(readFile(dir.path() + "/good.mtl").find("newmtl green\n"), std::string::npos);
  obxDeleteModel(model);
  EXPECT_TRUE(leaksNothing());
}

TEST_F(FatalHook, failed_vertex_normals_release_their_lists_and_change_nothing) {
  TempDir dir;
  ObxModel* model = readOrReturn(dir.write("model.obj", std::string(kGoodObj) + "vn 0 0 1\n"));
  ASSERT_NE(model, nullptr);
  // Keeping the normals of a count just short of the 32-bit limit, the
  // first new normal cannot be numbered: fatal once the vertex lists are
  // made. (The normal array is not reached at that count.)
  const uint32_t numnormals = model->numnormals;
  model->numnormals = UINT32_MAX - 50;
  std::vector<uint32_t> corners;
  for (uint32_t i = 0; i < model->numtriangles; i++)
    corners.insert(corners.end(), model->triangles[i].nindices, model->triangles[i].nindices + 3);
  StderrCapture capture;
  bool returned = false;
  if (setjmp(fatalReturn) == 0)
    obxVertexNormals(model, 90.0f, GL_TRUE);
  else
    returned = true;
  const std::string err = capture.finish();
  EXPECT_EQ(model->numnormals, UINT32_MAX - 50);
  model->numnormals = numnormals;
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(model->triangles[i].nindices[j], corners[3 * i + j]);
  EXPECT_TRUE(returned);
  EXPECT_NE(err.find("too many normals"), std::string::npos) << err;
  obxDeleteModel(model);
  EXPECT_TRUE(leaksNothing());
}

// Open descriptors of the process.
int openFiles() {
  int count = 0;
  for (int fd = 0; fd < 1024; fd++) count += fcntl(fd, F_GETFD) != -1;
  return count;
}

TEST_F(FatalHook, failed_mtl_write_closes_the_obj_file) {
  TempDir dir;
  const std::string path = dir.write("model.obj", std::string("mtllib lib.mtl\n") + kGoodObj);
  dir.write("lib.mtl", "newmtl red\nKd 1 0 0\n");
  ObxModel* model = readOrReturn(path);
  ASSERT_NE(model, nullptr);
  ASSERT_NE(model->materials, nullptr);
  // The OBJ file opens; the MTL file beside it cannot be replaced: a
  // folder has its name.
  const std::string out = dir.path() + "/out/out.obj";
  ASSERT_EQ(mkdir((dir.path() + "/out").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir.path() + "/out/lib.mtl").c_str(), 0755), 0);
  const int before = openFiles();
  StderrCapture capture;
  bool returned = false;
  if (setjmp(fatalReturn) == 0)
    obxWriteOBJ(model, out.c_str(), OBX_MATERIAL);
  else
    returned = true;
  const std::string err = capture.finish();
  EXPECT_TRUE(returned);
  EXPECT_NE(err.find("obxWriteMTL() failed: can't"), std::string::npos) << err;
  EXPECT_EQ(openFiles(), before);
  obxDeleteModel(model);
  EXPECT_TRUE(leaksNothing());
}

TEST_F(FatalHook, setting_returns_the_previous_hook) {
  EXPECT_EQ(obxSetFatalHook(returnNormally), returnToTest);
  EXPECT_EQ(obxSetFatalHook(returnToTest), returnNormally);
}

TEST(FatalDefault, without_a_hook_a_fatal_error_exits_with_status_1) {
  TempDir dir;
  const std::string path = dir.write("bad.obj", "v 0 0 0\nvq 1\n");
  int status = -1;
  std::string err = stderrOfChild(
      [&] {
        obxSetFatalHook(NULL);
        obxReadOBJ(path.c_str());
      },
      &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("OBX: Fatal Error: obxFirstPass(): Unknown token \"vq\" at line"), std::string::npos)
      << err;
}

TEST(FatalDefault, a_hook_that_returns_still_exits_with_status_1) {
  TempDir dir;
  const std::string path = dir.write("bad.obj", "v 0 0 0\nf 1 2 3\n");
  int status = -1;
  std::string err = stderrOfChild(
      [&] {
        fatalCalls = 0;
        obxSetFatalHook(returnNormally);
        obxReadOBJ(path.c_str());
        fprintf(stderr, "read returned\n");
      },
      &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("vertex index for triangle 0 out of bounds"), std::string::npos) << err;
  EXPECT_EQ(err.find("read returned"), std::string::npos) << err;
}

// A warning sink that throws ends the call that warned as a failure, with
// nothing held and the model as it was; the thread's calls, failing ones
// included, work as before however often it happens.
TEST(FatalSink, a_throwing_sink_ends_the_call_and_leaves_the_thread_whole) {
  TempDir dir;
  const std::string warns = dir.write("warns.obj", std::string(kGoodObj) + "usemtl nothing\n");
  const std::string bad = dir.write("bad.obj", "v 0 0 0\nf 1 2 3\n");
  ObxModel* lonely = readOrReturn(dir.write("lonely.obj", std::string(kGoodObj) + "v 9 9 9\n"));
  ASSERT_NE(lonely, nullptr);
  const std::string before = ostrel_test::describe(lonely);
  struct Thrown : std::runtime_error {
    Thrown() : std::runtime_error("the sink refused") {}
  };
  obxSetWarningSink([](const char*, void*) { throw Thrown(); }, nullptr);
  for (int round = 0; round < 40; round++) {
    char message[256];
    EXPECT_EQ(obxTryReadOBJ(warns.c_str(), message, sizeof message), nullptr);
    EXPECT_STREQ(message, "the sink refused");
    EXPECT_THROW(obxVertexNormals(lonely, 90.0f, GL_FALSE), Thrown);  // "w/o a triangle"
    EXPECT_EQ(ostrel_test::describe(lonely), before);
  }
  obxSetWarningSink(nullptr, nullptr);
  int status = -1;
  const std::string err = stderrOfChild([&] { obxReadOBJ(bad.c_str()); }, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("OBX: Fatal Error: vertex index"), std::string::npos) << err;
  obxDeleteModel(lonely);
  EXPECT_TRUE(leaksNothing());
}

}  // namespace
