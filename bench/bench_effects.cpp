// Frame time of the fixed-function view and of each effect on the hideout,
// at the start view, drawn by the program's own start-up and display
// callback into its 800x600 window. Names given as arguments ("hatching",
// "watercolor", ...) limit the run to those views. Run from build/ (scripts/bench), or
// from any folder whose ../shaders and ../models hold the effects and the
// scene, to time other shaders against the same program.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "frame.h"
#include "state.h"

bool init(const char* modelPath);

namespace {
constexpr int kWidth = 800, kHeight = 600;
constexpr int kWarmupFrames = 5;
constexpr int kFrames = 20;
constexpr int kRounds = 5;

struct Mode {
  const char* name;
  int slot;  // -1: fixed function
};
constexpr Mode kModes[] = {
    {"fixed function", -1},
    {"skin", kSkinSlot},
    {"watercolor", kWatercolorSlot},
    {"hatching", kHatchSlot},
};

double millisecondsPerFrame() {
  auto frame = [] {
    // The frame's own camera steps follow the clock; held still here.
    gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + 1000000;
    display();
    glFinish();  // count the driver's work, not just the queueing
  };
  for (int i = 0; i < kWarmupFrames; i++) frame();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFrames; i++) frame();
  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / kFrames;
}
}  // namespace

int main(int argc, char** argv) {
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(kWidth, kHeight);
  glutCreateWindow("bench_effects");
  if (!init(nullptr)) return 1;
  printf("\n| view | median ms | min ms |\n|---|---:|---:|\n");
  for (const Mode& mode : kModes) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; i++) wanted = wanted || std::strcmp(argv[i], mode.name) == 0;
    if (!wanted) continue;
    gActiveProgram = mode.slot < 0 ? 0 : gEffectPrograms[mode.slot];
    std::vector<double> rounds;
    for (int r = 0; r < kRounds; r++) rounds.push_back(millisecondsPerFrame());
    std::sort(rounds.begin(), rounds.end());
    printf("| %s | %.1f | %.1f |\n", mode.name, rounds[rounds.size() / 2], rounds[0]);
    fflush(stdout);
  }
  return 0;
}
