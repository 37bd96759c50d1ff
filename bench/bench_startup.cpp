// Start-up cost: from process start to the first frame on screen, for the
// Release program, split at its console lines into window, effects and
// scene; and, in this process, the scene's pieces: obxReadOBJ (with its
// textures), obxVertexNormals and the first obxDraw. Target: first frame
// within 1.5 s. Run under an X server (scripts/bench starts Xvfb).
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "obx/obx.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kScene = OSTREL_SOURCE_DIR "/models/spy_scene_extended.obj";
constexpr const char* kProgram = OSTREL_BINARY_DIR "/ostrel";
constexpr const char* kWorkDir = OSTREL_SOURCE_DIR "/build";  // ../models from here
constexpr const char* kTitle = "Ostrel Project - Obj Loader";
constexpr const char* kEffectsStart = "GL_VERSION";
constexpr const char* kEffectsDone = "Done loading shaders.";
constexpr GLuint kMode = OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL;
constexpr int kRuns = 3;
constexpr int kPollMicroseconds = 5000;
constexpr double kTimeoutSeconds = 60;
constexpr double kTargetMs = 1500;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Xlib, opened at run time: the benchmarks link only the program's modules.
struct Xlib {
  void* handle = nullptr;
  Display* (*openDisplay)(const char*);
  int (*closeDisplay)(Display*);
  int (*queryTree)(Display*, Window, Window*, Window*, Window**, unsigned*);
  int (*fetchName)(Display*, Window, char**);
  int (*free)(void*);
  XImage* (*getImage)(Display*, Drawable, int, int, unsigned, unsigned, unsigned long, int);
  int (*sync)(Display*, Bool);
  XErrorHandler (*setErrorHandler)(XErrorHandler);

  bool open() {
    handle = dlopen("libX11.so.6", RTLD_NOW);
    if (!handle) return false;
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
      ok = ok && fn;
    };
    bind(openDisplay, "XOpenDisplay");
    bind(closeDisplay, "XCloseDisplay");
    bind(queryTree, "XQueryTree");
    bind(fetchName, "XFetchName");
    bind(free, "XFree");
    bind(getImage, "XGetImage");
    bind(sync, "XSync");
    bind(setErrorHandler, "XSetErrorHandler");
    return ok;
  }
};

Xlib x;

// The program's window may vanish between the tree walk and the next call.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

Window findWindow(Display* d, Window w) {
  char* name = nullptr;
  if (x.fetchName(d, w, &name) && name) {
    bool match = strcmp(name, kTitle) == 0;
    x.free(name);
    if (match) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!x.queryTree(d, w, &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && !found; i++) found = findWindow(d, children[i]);
  if (children) x.free(children);
  return found;
}

// True once the window shows anything but black: it stays black until the
// program's first buffer swap. Three rows are enough (the room fills the
// frame) and cheap enough not to slow the X server the program draws through.
bool frameShown(Display* d, Window w) {
  for (int row : {150, 300, 450}) {
    XImage* image = x.getImage(d, w, 0, row, 800, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    bool shown = false;
    for (int px = 0; px < 800 && !shown; px += 8) shown = XGetPixel(image, px, 0) != 0;
    XDestroyImage(image);
    if (shown) return true;
  }
  return false;
}

struct StartupRun {
  double effectsStart = -1, effectsDone = -1, firstFrame = -1;
};

// Starts the Release program with line-buffered output, notes when its
// console lines arrive and when its first frame reaches the screen, then
// ends it.
StartupRun timeProgram(Display* d) {
  StartupRun run;
  int out[2];
  if (pipe(out) != 0) return run;
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(kWorkDir) != 0) _exit(126);
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    int input = open("/dev/null", O_RDONLY);
    dup2(input, 0);
    execlp("stdbuf", "stdbuf", "-oL", kProgram, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::string text;
  Window window = 0;
  while (msSince(start) < kTimeoutSeconds * 1000) {
    char buffer[512];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
    if (run.effectsStart < 0 && text.find(kEffectsStart) != std::string::npos)
      run.effectsStart = msSince(start);
    if (run.effectsDone < 0 && text.find(kEffectsDone) != std::string::npos)
      run.effectsDone = msSince(start);
    if (!window) window = findWindow(d, DefaultRootWindow(d));
    if (window && frameShown(d, window)) {
      run.firstFrame = msSince(start);
      break;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      break;
    }
    usleep(kPollMicroseconds);
  }
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  close(out[0]);
  x.sync(d, False);
  if (run.firstFrame < 0)
    fprintf(stderr, "bench_startup: no first frame; output:\n%s\n", text.c_str());
  return run;
}

struct SceneTimes {
  double read, normals, firstDraw;
};

SceneTimes timeScene() {
  SceneTimes t;
  Clock::time_point start = Clock::now();
  ObxModel* model = obxReadOBJ(kScene);
  t.read = msSince(start);
  start = Clock::now();
  obxVertexNormals(model, 180.0f, GL_FALSE);
  t.normals = msSince(start);
  start = Clock::now();
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glPushMatrix();
  glScalef(0.5f, 0.5f, 0.5f);
  obxDraw(model, kMode);
  glPopMatrix();
  glFinish();
  t.firstDraw = msSince(start);
  obxDeleteModel(model);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  mkdir(kWorkDir, 0755);
  if (!x.open()) {
    fprintf(stderr, "bench_startup: cannot load libX11\n");
    return 1;
  }
  x.setErrorHandler(ignoreXError);
  Display* display = x.openDisplay(nullptr);
  if (!display) {
    fprintf(stderr, "bench_startup: no X display\n");
    return 1;
  }

  // The whole program first, before this process holds a context of its own.
  std::vector<double> window, effects, scene, total;
  for (int i = 0; i < kRuns; i++) {
    StartupRun r = timeProgram(display);
    if (r.firstFrame < 0 || r.effectsStart < 0 || r.effectsDone < 0) return 1;
    window.push_back(r.effectsStart);
    effects.push_back(r.effectsDone - r.effectsStart);
    scene.push_back(r.firstFrame - r.effectsDone);
    total.push_back(r.firstFrame);
  }

  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(800, 600);
  glutCreateWindow("bench_startup");
  glewInit();
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_CULL_FACE);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_TEXTURE_2D);
  glMatrixMode(GL_PROJECTION);
  gluPerspective(60.0, 800.0 / 600.0, 1.0, 5000.0);
  glMatrixMode(GL_MODELVIEW);
  gluLookAt(0, 30, 100, 0, 30, 99, 0, 1, 0);
  // The first run pays for llvmpipe's first mipmap builds and shader
  // variants, as the program does; later runs show the reader alone.
  SceneTimes cold = timeScene();
  std::vector<double> read, normals, draw;
  for (int i = 0; i < kRuns; i++) {
    SceneTimes t = timeScene();
    read.push_back(t.read);
    normals.push_back(t.normals);
    draw.push_back(t.firstDraw);
  }

  printf("Release program, process start to first frame (median of %d):\n", kRuns);
  printf("  window and GL context  %8.1f ms  (start to \"%s\")\n", median(window), kEffectsStart);
  printf("  effects                %8.1f ms  (to \"%s\")\n", median(effects), kEffectsDone);
  printf("  scene and first frame  %8.1f ms  (to the first frame on screen)\n", median(scene));
  printf("  total                  %8.1f ms  (target <= %.0f)\n", median(total), kTargetMs);
  printf("  %s\n", median(total) <= kTargetMs ? "target met" : "TARGET MISSED");
  printf("The scene's pieces in this process:   first run   median of next %d\n", kRuns);
  printf("  obxReadOBJ (with textures)  %8.1f ms  %8.1f ms\n", cold.read, median(read));
  printf("  obxVertexNormals            %8.1f ms  %8.1f ms\n", cold.normals, median(normals));
  printf("  first obxDraw               %8.1f ms  %8.1f ms\n", cold.firstDraw, median(draw));
  x.closeDisplay(display);
  return 0;
}
