// Ostrel: start-up and the main loop of the scene viewer.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "camera.h"
#include "frame.h"
#include "framing.h"
#include "input.h"
#include "shader.h"
#include "state.h"
#include "viewer.h"

namespace {
constexpr int kWindowX = 100;
constexpr int kWindowY = 100;
constexpr char kWindowTitle[] = "Ostrel Project - Obj Loader";
constexpr unsigned kDisplayMode = GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH;  // 18
constexpr int kFirstStepDelay = 10;  // ms until the first camera step

constexpr GLclampf kClearColor[4] = {0.2f, 0.1f, 0.05f, 1.0f};
constexpr int kRequiredMajor = 2;  // OpenGL 2.0 for the shader entry points

constexpr char kScenePath[] = "../models/spy_scene_extended.obj";

// Exit statuses of main; the library's fatal errors exit with kExitFailure.
enum { kExitDone = 0, kExitFailure = 1, kExitUsage = 2 };

const char kUsage[] =
    "usage: ostrel [FILE.obj]\n"
    "       ostrel -h | --help\n"
    "\n"
    "Shows FILE.obj, or without it the spy's hideout\n"
    "(../models/spy_scene_extended.obj), with fixed-function lighting or one of\n"
    "three shader effects. The hideout is seen through a first-person walk; FILE\n"
    "is seen in an orbit around it, whole at the start, lit from the eye. The\n"
    "model's materials and textures are read as its mtllib names them. Paths are\n"
    "relative to the working directory, and the effects are read from ../shaders/\n"
    "and ../models/mat/: run it from build/. Screenshots are written there too.\n"
    "\n"
    "Controls:\n"
    "  W / S   forward / backward (orbit: zoom)   A / D   left / right\n"
    "  R / F   up / down                  mouse   look around (orbit: drag turns)\n"
    "  wheel, + / -, Page Up / Down   zoom      Home    frame all (orbit)\n"
    "  C       orbit / walk (FILE)        Y       up axis y / z (FILE)\n"
    "  G       ground mode on/off         L       fixed-function lighting on/off\n"
    "  B       back faces drawn / culled  X       wireframe on/off\n"
    "  H       help overlay               I       statistics line\n"
    "  P       screenshot (ostrel-NNNN.png)       F5      read the file again\n"
    "  1 skin, 2 watercolor, 3 hatching, 0 (or 4-9) fixed function\n"
    "  Escape  quit\n"
    "\n"
    "Exit status: 0 done, 1 failure (a message says why), 2 bad usage.\n";

// GLUT's own X options, which glutInit takes off the command line later.
constexpr const char* kGlutFlags[] = {"-direct", "-indirect", "-iconic", "-gldebug", "-sync"};
constexpr const char* kGlutOptionsWithValue[] = {"-display", "-geometry"};

// What the command line asks for.
struct Options {
  const char* modelPath = nullptr;  // null: the hideout
  bool help = false;
};
}  // namespace

// ---- Effect catalogue ------------------------------------------------------
// Each effect is a table: console line, shader base name, sampler images and
// the uniforms set once after linking. setUpEffect walks one table.
namespace {
// How a uniform is given its value.
enum class UniformCall {
  kSamplerUnit,  // glUniform1i with the unit that sampler image `integer` landed on
  kInt,          // glUniform1i with `integer`
  kFloat,        // glUniform1f
  kVec2,         // glUniform2f
  kVec4,         // glUniform4f
};

struct UniformSetting {
  const char* name;
  UniformCall call;
  int integer;  // kSamplerUnit: index into the effect's images; kInt: the value
  float values[4];
};

constexpr int kMaxSamplerImages = 6;
constexpr int kNoCheck = 0;  // no GL check at this step

struct Effect {
  const char* consoleText;  // console line: text, key, ending
  int key;
  const char* consoleEnd;
  EffectSlot slot;
  const char* base;
  const char* images[kMaxSamplerImages];
  int imageCount;
  int imageCheckSite;    // GL check after each sampler image, or kNoCheck
  int sourcesCheckSite;  // GL check after the sources are read, or kNoCheck
  const UniformSetting* uniforms;
  int uniformCount;
};

// Source name and sites of the catalogue's GL checks; the numbers identify
// each site in the printed messages and stay fixed across edits.
constexpr char kSourceName[] = "src/main";
constexpr int kCheckHatchImage = 238;
constexpr int kCheckHatchSources = 245;
constexpr int kCheckWatercolorImage = 297;

// The window size as created: effects that work in screen space need it.
// reshape sends them the real size whenever the window changes.
constexpr float kViewportWidth = 800.0f;
constexpr float kViewportHeight = 600.0f;

// Every effect samples the model's own texture on unit 0.
constexpr int kModelTextureUnit = 0;

constexpr UniformSetting kSkinUniforms[] = {
    {"skinTex", UniformCall::kSamplerUnit, 0, {}},
    {"modelTex", UniformCall::kInt, kModelTextureUnit, {}},
    {"ambient", UniformCall::kVec4, 0, {0.1f, 0.1f, 0.1f, 1.0f}},
    {"lightColor", UniformCall::kVec4, 0, {0.8f, 0.8f, 0.8f, 1.0f}},
    {"kRim", UniformCall::kFloat, 0, {2.0f}},   // rim exponent
    {"kR", UniformCall::kFloat, 0, {0.75f}},    // rim weight
    {"kS", UniformCall::kFloat, 0, {0.82f}},    // specular weight
    {"kSpec", UniformCall::kFloat, 0, {5.0f}},  // specular sharpness
    {"albedo", UniformCall::kFloat, 0, {0.8f}},
    {"fresnelS", UniformCall::kFloat, 0, {0.63f}},  // reflectance at normal incidence
};

constexpr UniformSetting kHatchUniforms[] = {
    {"Hatch0", UniformCall::kSamplerUnit, 0, {}},
    {"Hatch1", UniformCall::kSamplerUnit, 1, {}},
    {"Hatch2", UniformCall::kSamplerUnit, 2, {}},
    {"Hatch3", UniformCall::kSamplerUnit, 3, {}},
    {"Hatch4", UniformCall::kSamplerUnit, 4, {}},
    {"Hatch5", UniformCall::kSamplerUnit, 5, {}},
    {"ModelTex", UniformCall::kInt, kModelTextureUnit, {}},
    {"fViewportDimensions", UniformCall::kVec2, 0, {kViewportWidth, kViewportHeight}},
};

constexpr UniformSetting kWatercolorUniforms[] = {
    {"colorTex", UniformCall::kSamplerUnit, 0, {}},
    {"paperTex", UniformCall::kSamplerUnit, 1, {}},
    {"granTex", UniformCall::kSamplerUnit, 2, {}},
    {"sceneTex", UniformCall::kInt, kModelTextureUnit, {}},
    {"fViewportDimensions", UniformCall::kVec2, 0, {kViewportWidth, kViewportHeight}},
    {"M", UniformCall::kFloat, 0, {0.4f}},  // model-colour glaze
    {"D", UniformCall::kFloat, 0, {0.5f}},  // pigment density variation
    {"G", UniformCall::kFloat, 0, {0.5f}},  // granulation
    {"P", UniformCall::kFloat, 0, {0.5f}},  // paper grain
    {"S", UniformCall::kFloat, 0, {0.3f}},  // edge darkening
};

template <typename T, size_t N>
constexpr int countOf(const T (&)[N]) {
  return int(N);
}

// In build order. Keys and slots differ: hatch is built second but is key 3.
const Effect kEffects[] = {
    {"Loading Skin shader, press ",
     1,
     " to activate\n",
     kSkinSlot,
     "../shaders/skin",
     {"../models/mat/skin.jpg"},
     1,
     kNoCheck,
     kNoCheck,
     kSkinUniforms,
     countOf(kSkinUniforms)},
    {"Loading Hatch shader, press ",
     3,
     " to activate.\n",
     kHatchSlot,
     "../shaders/hatch",
     {"../models/mat/Hatch0.jpg", "../models/mat/Hatch1.jpg", "../models/mat/Hatch2.jpg",
      "../models/mat/Hatch3.jpg", "../models/mat/Hatch4.jpg", "../models/mat/Hatch5.jpg"},
     6,
     kCheckHatchImage,
     kCheckHatchSources,
     kHatchUniforms,
     countOf(kHatchUniforms)},
    {"Loading Watercolor shader, press ",
     2,
     " to activate\n",
     kWatercolorSlot,
     "../shaders/watercolor",
     {"../models/mat/colormap.png", "../models/mat/noise.tga", "../models/mat/colormap2.png"},
     3,
     kCheckWatercolorImage,
     kNoCheck,
     kWatercolorUniforms,
     countOf(kWatercolorUniforms)},
};

// The shader texts stay allocated for the whole run; kept here so they
// remain reachable.
struct ShaderTexts {
  char* vertex = nullptr;
  char* fragment = nullptr;
};
ShaderTexts gEffectSources[countOf(kEffects)];
}  // namespace

// Builds one effect: console line, sampler images, sources, program and
// uniforms, then stores the program. False at the first failing step (the
// called operation has printed why).
static bool setUpEffect(const Effect& effect, ShaderTexts* sources) {
  std::cout << effect.consoleText << effect.key << effect.consoleEnd;

  GLuint units[kMaxSamplerImages] = {};
  for (int i = 0; i < effect.imageCount; i++) {
    if (!loadSamplerTexture(effect.images[i], &units[i])) return false;
    if (effect.imageCheckSite != kNoCheck) checkGlError(kSourceName, effect.imageCheckSite);
  }
  if (!loadShaderSources(effect.base, &sources->vertex, &sources->fragment)) return false;
  if (effect.sourcesCheckSite != kNoCheck) checkGlError(kSourceName, effect.sourcesCheckSite);

  GLuint program = 0;
  if (!buildShaderProgram(sources->vertex, sources->fragment, &program)) return false;

  // The new program is current, so the uniforms go straight to it. Names the
  // linker dropped give location -1, which GL ignores.
  for (int i = 0; i < effect.uniformCount; i++) {
    const UniformSetting& u = effect.uniforms[i];
    GLint location = glGetUniformLocation(program, u.name);
    const float* v = u.values;
    switch (u.call) {
      case UniformCall::kSamplerUnit: glUniform1i(location, GLint(units[u.integer])); break;
      case UniformCall::kInt: glUniform1i(location, u.integer); break;
      case UniformCall::kFloat: glUniform1f(location, v[0]); break;
      case UniformCall::kVec2: glUniform2f(location, v[0], v[1]); break;
      case UniformCall::kVec4: glUniform4f(location, v[0], v[1], v[2], v[3]); break;
    }
  }
  gEffectPrograms[effect.slot] = program;
  return true;
}

// Builds the three effects in catalogue order; false at the first failure.
static bool setUpEffects() {
  for (int i = 0; i < countOf(kEffects); i++)
    if (!setUpEffect(kEffects[i], &gEffectSources[i])) return false;
  return true;
}

// Parses "major.minor..." as sscanf("%d.%d") does; false (and 0.0) otherwise.
bool parseGlVersionString(const char* version, int* major, int* minor) {
  if (version && sscanf(version, "%d.%d", major, minor) == 2) return true;
  *major = 0;
  *minor = 0;
  return false;
}

void parseGlVersion(int* major, int* minor) {
  const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  if (!parseGlVersionString(version, major, minor))
    fprintf(stderr, "Invalid GL_VERSION format!!!\n");
}

template <size_t N>
static bool isOneOf(const char* arg, const char* const (&names)[N]) {
  for (const char* name : names)
    if (std::strcmp(arg, name) == 0) return true;
  return false;
}

// Bad usage: the reason and the usage text on stderr.
static int usageError(const char* format, const char* first, const char* second = "") {
  fputs("ostrel: ", stderr);
  fprintf(stderr, format, first, second);
  fputs("\n\n", stderr);
  fputs(kUsage, stderr);
  return kExitUsage;
}

// Reads the command line before GLUT sees it, so that help and usage errors
// need no display. Returns -1 to go on, else the status to exit with.
static int parseArguments(int argc, char** argv, Options* options) {
  bool optionsEnd = false;  // after "--" every argument is a file name
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (!optionsEnd && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        optionsEnd = true;
      } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        options->help = true;
      } else if (isOneOf(arg, kGlutOptionsWithValue)) {
        if (++i == argc) return usageError("%s needs a value", arg);
      } else if (!isOneOf(arg, kGlutFlags)) {
        return usageError("unknown option '%s'", arg);
      }
      continue;
    }
    if (options->modelPath)
      return usageError("one model at a time ('%s' and '%s' given)", options->modelPath, arg);
    options->modelPath = arg;
  }
  if (options->help) {
    fputs(kUsage, stdout);
    return kExitDone;
  }
  return -1;
}

// Start-up: GL state, the effects, then the model at modelPath (the hideout
// when null). False when a step failed; an unreadable model is fatal in the
// reader.
bool init(const char* modelPath) {
  glClearColor(kClearColor[0], kClearColor[1], kClearColor[2], kClearColor[3]);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glFrontFace(GL_CCW);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glEnable(GL_LIGHTING);
  // Ambient and diffuse are the model's to choose (viewer.cpp).
  glLightfv(GL_LIGHT0, GL_POSITION, gLightPosition);
  glLightfv(GL_LIGHT0, GL_SPECULAR, gLightSpecular);
  glEnable(GL_LIGHT0);
  glEnable(GL_TEXTURE_2D);
  loadProjection();

  int major = 0, minor = 0;
  parseGlVersion(&major, &minor);
  printf("GL_VERSION major=%d minor=%d\n", major, minor);
  if (major < kRequiredMajor) {
    printf("GL_VERSION major=%d minor=%d\n", major, minor);
    printf("Support for OpenGL 2.0 is required for this demo...exiting\n");
    return false;
  }
  glewInit();

  for (GLuint& program : gEffectPrograms) program = 0;
  if (!setUpEffects()) return false;
  std::cout << "Done loading shaders.\n";
  // The sampler images hold units 1 to 10; the model's textures go to unit 0.
  glActiveTexture(GL_TEXTURE0);

  loadModel(modelPath ? modelPath : kScenePath, modelPath != nullptr);
  return true;
}

int main(int argc, char** argv) {
  Options options;
  const int status = parseArguments(argc, argv, &options);
  if (status >= 0) return status;

  glutInit(&argc, argv);
  glutInitDisplayMode(kDisplayMode);
  glutInitWindowPosition(kWindowX, kWindowY);
  glutInitWindowSize(gWindow.width, gWindow.height);
  glutCreateWindow(kWindowTitle);
  glutIgnoreKeyRepeat(1);
  glutDisplayFunc(display);
  glutKeyboardFunc(keyboard);
  glutKeyboardUpFunc(keyboardUp);
  glutSpecialFunc(specialKey);
  glutPassiveMotionFunc(mouseMotion);
  glutMotionFunc(mouseMotion);
  glutMouseFunc(mouseButton);
  glutReshapeFunc(reshape);

  gFrameLogInterval = frameLogInterval(getenv("OSTREL_FRAME_LOG"));
  if (init(options.modelPath)) {
    gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + kFirstStepDelay;
    glutMainLoop();
  }
  // Keep a console window open until the user has read the messages.
  char c;
  std::cin >> c;
  return 0;
}
