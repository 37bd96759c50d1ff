// Reads on several threads at once give what reads one after another give;
// failures, hooks and warnings stay with the thread that met them. Also
// built with ThreadSanitizer by scripts/test, so it needs nothing but obx.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "obx/obx.h"
#include "obx/internal.h"

namespace {

// A file in a fresh directory of its own, removed at the end.
struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/ostrel-threads-XXXXXX";
    dir = mkdtemp(pattern);
  }
  ~Scratch() {
    for (const std::string& path : files) unlink(path.c_str());
    rmdir(dir.c_str());
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir + "/" + name;
    FILE* file = fopen(path.c_str(), "w");
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    files.push_back(path);
    return path;
  }
  std::string dir;
  std::vector<std::string> files;
};

// A model as text: counts, every number and index, group and material names.
std::string describe(const ObxModel* m) {
  std::string text;
  char buffer[64];
  auto add = [&](const char* format, auto value) {
    snprintf(buffer, sizeof buffer, format, value);
    text += buffer;
  };
  add("v%u ", m->numvertices);
  for (uint32_t i = 3; i < 3 * (m->numvertices + 1); i++) add("%a ", double(m->vertices[i]));
  add("n%u ", m->numnormals);
  for (uint32_t i = 3; i < 3 * (m->numnormals + 1); i++) add("%a ", double(m->normals[i]));
  add("f%u ", m->numfacetnorms);
  for (uint32_t i = 3; i < 3 * (m->numfacetnorms + 1); i++) add("%a ", double(m->facetnorms[i]));
  add("t%u ", m->numtriangles);
  for (uint32_t i = 0; i < m->numtriangles; i++)
    for (int k = 0; k < 3; k++) {
      const ObxTriangle& t = m->triangles[i];
      add("%u/", t.vindices[k]);
      add("%u/", t.tindices[k]);
      add("%u ", t.nindices[k]);
      if (k == 2) add("m%u ", t.material);
    }
  for (const ObxGroup* g = m->groups; g; g = g->next) {
    text += std::string(g->name) + ";";
    add("m%u ", g->material);
    for (uint32_t i = 0; i < g->numtriangles; i++) add("%u ", g->triangles[i]);
  }
  for (uint32_t i = 0; i < m->numpolygons; i++) add("p%u ", m->polygons[i].numfaces);
  for (uint32_t i = 0; m->smoothing && i < m->numtriangles; i++) add("s%u ", m->smoothing[i]);
  for (uint32_t i = 0; i < m->numobjects; i++) add("o%u ", m->objects[i].firsttriangle);
  for (uint32_t i = 0; i < m->nummaterials; i++) text += std::string(m->materials[i].name) + ";";
  return text;
}

void collect(const char* message, void* context) {
  static_cast<std::vector<std::string>*>(context)->push_back(message);
}

TEST(Threads, reads_at_once_give_what_reads_in_turn_give) {
  obxTextureUpload = GL_FALSE;  // set before the threads start
  Scratch scratch;
  scratch.write("lib.mtl", "newmtl red\nKd 1 0 0\nmap_Kd red.png\nnewmtl blue\nKd 0 0 1\n");
  std::vector<std::string> paths = {
      OSTREL_SOURCE_DIR "/models/spy_scene_extended.obj",
      scratch.write("a.obj",
                    "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nvn 0 0 1\n"
                    "g a\nusemtl red\nf 1//1 2//1 3//1 4//1\ng b\nusemtl blue\nf -1 -2 -3\n"),
      scratch.write("b.obj", "v 0 0 0\nv 2 0 0\nv 0 2 0\nvt 0 0\nf 1/1 2/1 3/1\nusemtl none\n"),
  };
  // Fails: each thread must get its own message and none of another's.
  const std::string bad = scratch.write("bad.obj", "v 0 0 0\nf 1 2 3\n");

  std::vector<std::string> expected;
  for (const std::string& path : paths) {
    ObxModel* model = obxReadOBJ(path.c_str());
    expected.push_back(describe(model));
    obxDeleteModel(model);
  }

  const int kThreads = 4, kRounds = 3;
  std::vector<std::vector<std::string>> got(kThreads), messages(kThreads), warnings(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      obxSetWarningSink(collect, &warnings[t]);
      for (int round = 0; round < kRounds; round++)
        for (size_t k = 0; k < paths.size(); k++) {
          // Each thread starts at a different file.
          const std::string& path = paths[(k + size_t(t)) % paths.size()];
          char message[256];
          ObxModel* model = obxTryReadOBJ(path.c_str(), message, sizeof message);
          got[t].push_back(model ? describe(model) : std::string("failed: ") + message);
          if (model) obxDeleteModel(model);
          ObxModel* none = obxTryReadOBJ(bad.c_str(), message, sizeof message);
          messages[t].push_back(none ? "read a model" : message);
        }
      obxSetWarningSink(NULL, NULL);
    });
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; t++) {
    ASSERT_EQ(got[t].size(), size_t(kRounds) * paths.size());
    for (size_t i = 0; i < got[t].size(); i++)
      EXPECT_TRUE(got[t][i] == expected[(i + size_t(t)) % paths.size()])
          << "thread " << t << " read " << i << " differs: " << got[t][i].substr(0, 80);
    for (const std::string& message : messages[t])
      EXPECT_EQ(message, "vertex index for triangle 0 out of bounds (2 > 1) at line 2 of \"" +
                             scratch.dir + "/bad.obj\"");
    // b.obj's one warning per read, on this thread's sink only.
    int missing = 0;
    for (const std::string& warning : warnings[t])
      missing += warning == "obxFindMaterial():  can't find material \"none\".";
    EXPECT_EQ(missing, kRounds) << t;
  }
}

// A file read in blocks on several threads reads into the model, the
// warnings and the failure one thread gives: groups, materials, smoothing,
// objects, relative indices and concave polygons cross the blocks' edges.
TEST(Threads, a_file_read_in_blocks_reads_as_on_one_thread) {
  obxTextureUpload = GL_FALSE;
  Scratch scratch;
  scratch.write("lib.mtl", "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\n");
  std::string text = "mtllib lib.mtl\n";
  for (int i = 0; i < 6000; i++) {
    text += "v " + std::to_string(i % 97) + " " + std::to_string(i % 13) + ".5 " +
            std::to_string(i / 50) + "\nvn 0 0 1\nvt 0." + std::to_string(i % 10) + " 1\n";
    if (i % 700 == 5) text += "g part" + std::to_string(i % 3) + "\nusemtl " +
                              (i % 2 ? "red" : "none") + "\ns " + std::to_string(i % 4) + "\n";
    if (i % 1500 == 9) text += "o piece" + std::to_string(i) + "\n";
    if (i < 4) continue;
    if (i % 3 == 0)
      text += "f -1/-1/-1 -2/-2/-2 -3/-3/-3\n";
    else if (i % 3 == 1)
      text += "f " + std::to_string(i) + "//" + std::to_string(i) + " " + std::to_string(i - 1) +
              "//1 " + std::to_string(i - 2) + "//2 " + std::to_string(i - 3) + "//3\n";
    else  // a dart, concave at its third corner
      text += "f " + std::to_string(i - 3) + " " + std::to_string(i - 2) + " " +
              std::to_string(i - 1) + " " + std::to_string(i) + " 1\n";
  }
  const std::string good = scratch.write("good.obj", text);
  const std::string bad = scratch.write("bad.obj", text + "f 1 2 99999\n" + text);
  for (const std::string& path : {good, bad}) {
    std::string expected[2], got[2];
    for (unsigned threads : {1u, 3u}) {
      std::vector<std::string> warnings;
      obxSetWarningSink(collect, &warnings);
      obxSetReadBlocks(threads == 1 ? 0 : 4096, threads == 1 ? 0 : 1);
      ObxReadOptions options = {};
      options.threads = threads;
      char message[256];
      ObxModel* model = obxTryReadOBJWithOptions(path.c_str(), &options, message, sizeof message);
      obxSetReadBlocks(0, 0);
      obxSetWarningSink(NULL, NULL);
      std::string& into = (threads == 1 ? expected : got)[0];
      into = model ? describe(model) : std::string("failed: ") + message;
      for (const std::string& warning : warnings) (threads == 1 ? expected : got)[1] += warning;
      if (model) obxDeleteModel(model);
    }
    EXPECT_TRUE(got[0] == expected[0]) << path << ": " << got[0].substr(0, 200);
    EXPECT_EQ(got[1], expected[1]) << path;
    EXPECT_EQ(expected[0].rfind("failed: ", 0) == 0, path == bad) << expected[0].substr(0, 200);
  }
}

}  // namespace
