// Ostrel: start-up and the main loop of the scene viewer.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <iostream>

#include "camera.h"
#include "frame.h"
#include "input.h"
#include "shader.h"
#include "state.h"

namespace {
constexpr int kWindowX = 100;
constexpr int kWindowY = 100;
constexpr char kWindowTitle[] = "Ostrel Project - Obj Loader";
constexpr unsigned kDisplayMode = GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH;  // 18
constexpr int kFirstStepDelay = 10;  // ms until the first camera step

constexpr GLclampf kClearColor[4] = {0.2f, 0.1f, 0.05f, 1.0f};
constexpr double kFieldOfView = 60.0;  // degrees, vertical
constexpr double kNearPlane = 1.0;
constexpr double kFarPlane = 5000.0;
constexpr int kRequiredMajor = 2;  // OpenGL 2.0 for the shader entry points
}  // namespace

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

bool init() {
  glClearColor(kClearColor[0], kClearColor[1], kClearColor[2], kClearColor[3]);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glFrontFace(GL_CCW);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glEnable(GL_LIGHTING);
  glLightfv(GL_LIGHT0, GL_POSITION, gLightPosition);
  glLightfv(GL_LIGHT0, GL_AMBIENT, gLightAmbient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, gLightDiffuse);
  glLightfv(GL_LIGHT0, GL_SPECULAR, gLightSpecular);
  glEnable(GL_LIGHT0);
  glEnable(GL_TEXTURE_2D);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(kFieldOfView, gWindow.aspect(), kNearPlane, kFarPlane);

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

  return true;
}

int main(int argc, char** argv) {
  glutInit(&argc, argv);
  glutInitDisplayMode(kDisplayMode);
  glutInitWindowPosition(kWindowX, kWindowY);
  glutInitWindowSize(gWindow.width, gWindow.height);
  glutCreateWindow(kWindowTitle);
  glutIgnoreKeyRepeat(1);
  glutDisplayFunc(display);
  glutKeyboardFunc(keyboard);
  glutKeyboardUpFunc(keyboardUp);
  glutPassiveMotionFunc(mouseMotion);
  glutMotionFunc(mouseMotion);
  glutMouseFunc(mouseButton);

  if (init()) {
    gNextUpdateTime = glutGet(GLUT_ELAPSED_TIME) + kFirstStepDelay;
    glutMainLoop();
  }
  // Keep a console window open until the user has read the messages.
  char c;
  std::cin >> c;
  return 0;
}
