// Test support: temp files, a real GL context, and the real program run
// under the test's X server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrel_test {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes content to path()/name and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);

// Makes a real OpenGL context current: a hidden freeglut window on the
// test's X server (Xvfb with Mesa llvmpipe). Created once per process.
void requireGlContext();

// An RGB picture, top row first.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* at(int x, int y) const { return &rgb[3 * (size_t(y) * width + x)]; }
};

// Mean absolute difference of two same-sized pictures, 0..1.
double meanAbsDifference(const Image& a, const Image& b);

// Result of a finished child process.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv (argv[0] a path) in directory cwd with the given standard input,
// waiting at most timeoutSeconds before killing it.
RunResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::string& input = "", double timeoutSeconds = 60);

// A running ostrel (or other program), its output going to files.
class Program {
 public:
  // Starts argv in cwd; standard input is a pipe kept open.
  Program(const std::vector<std::string>& argv, const std::string& cwd);
  ~Program();  // kills the process if it still runs

  pid_t pid() const { return pid_; }
  // Waits for exit; returns the status (or 128 + signal), -1 on timeout.
  int wait(double timeoutSeconds);
  bool running();
  void writeInput(const std::string& text);
  void closeInput();
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int status_ = -1;
  TempDir dir_;
};

// Runs body in a forked child; returns what it wrote to standard error, and
// its exit status in *status (128 + signal when it was killed, 0 when body
// returns).
std::string stderrOfChild(const std::function<void()>& body, int* status);

// Runs body with standard output captured and returns what it printed.
std::string printedBy(const std::function<void()>& body);

// X helpers built on xdotool and ImageMagick.
std::string run(const std::string& shellCommand);  // returns stdout
// Window id of the first window with exactly this name, waiting up to
// timeoutSeconds; empty when none appears.
std::string findWindow(const std::string& name, double timeoutSeconds);
// Waits up to timeoutSeconds until no window has exactly this name; returns
// whether none is left. An ended program's window can outlive it for a moment
// under the same title, and findWindow would take it for the next one's: a
// test calls this before it starts its program.
bool noWindowNamed(const std::string& name, double timeoutSeconds);
bool windowSize(const std::string& window, int* width, int* height);
// Picture of the window's contents.
Image captureWindow(const std::string& window);
bool savePng(const Image& image, const std::string& path);

}  // namespace ostrel_test

// Hand-made models for the library's tests, laid out exactly as the reader
// lays them out (1-based per-vertex arrays, groups newest first, "default"
// last). Indices given here are the file's 1-based ones.
struct ObxModel;
namespace ostrel_test {

class ModelBuilder {
 public:
  ModelBuilder();
  uint32_t vertex(float x, float y, float z);
  uint32_t normal(float x, float y, float z);
  uint32_t texcoord(float u, float v);
  // Adds a material (index 0 is created as "default" by the first call).
  uint32_t material(const std::string& name, float r, float g, float b, float a,
                    int32_t mapDiffuse = -1);
  // Adds a texture entry with the given GL name; returns its index.
  int32_t texture(const std::string& name, unsigned id);
  // Makes a group current, creating it; faces before any call go to "default".
  void group(const std::string& name, uint32_t material = 0);
  // Adds a triangle to the current group; -1 (all bits) for missing n/t.
  uint32_t triangle(uint32_t a, uint32_t b, uint32_t c, uint32_t material = 0);
  uint32_t triangle(const uint32_t v[3], const uint32_t n[3], const uint32_t t[3],
                    uint32_t material = 0);
  // A malloc'd model the caller releases with obxDeleteModel. With facets,
  // one facet normal per triangle (cross product, normalised) is filled in.
  ObxModel* build(bool facets = true) const;

 private:
  struct Group {
    std::string name;
    uint32_t material;
    std::vector<uint32_t> triangles;
  };
  struct Material {
    std::string name;
    float diffuse[4];
    int32_t map;
  };
  struct Triangle {
    uint32_t v[3], n[3], t[3], material;
  };
  std::vector<float> vertices_, normals_, texcoords_;
  std::vector<Material> materials_;
  std::vector<std::pair<std::string, unsigned>> textures_;
  std::vector<Group> groups_;  // oldest first
  size_t current_ = 0;
  std::vector<Triangle> triangles_;
};

// Everything a read leaves in the model (counts, every number bit for bit,
// indices, groups, materials), as text.
std::string describe(const ObxModel* model);

}  // namespace ostrel_test
