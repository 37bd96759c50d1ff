// Keyboard and mouse callbacks.
#include "input.h"

#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cctype>
#include <cstdlib>

#include "camera.h"
#include "state.h"

namespace {
constexpr unsigned char kEscape = 27;

// Movement flag of a letter key, 0 when the key moves nothing.
int32_t movementFlag(unsigned char key) {
  switch (std::tolower(key)) {
    case 'w': return MOVE_FORWARD;
    case 's': return MOVE_BACKWARD;
    case 'a': return MOVE_LEFT;
    case 'd': return MOVE_RIGHT;
    case 'r': return MOVE_UP;
    case 'f': return MOVE_DOWN;
    default: return 0;
  }
}
}  // namespace

void deleteCamera() {
  delete gCamera;
  gCamera = nullptr;
}

void keyboard(unsigned char key, int, int) {
  if (key == kEscape) {
    deleteCamera();
    exit(0);
  }
  if (key >= '0' && key <= '9') {
    // Keys 1..3 pick gEffectPrograms[0..2]; every other digit is fixed function.
    int n = key - '0';
    gActiveProgram = (n >= 1 && n <= kEffectCount) ? gEffectPrograms[n - 1] : 0;
  } else if (int32_t flag = movementFlag(key)) {
    gCamera->movement |= flag;
  } else if (std::tolower(key) == 'g') {
    gCamera->groundMode = !gCamera->groundMode;
  } else if (std::tolower(key) == 'l') {
    gLightingEnabled = !gLightingEnabled;
    if (gLightingEnabled)
      glEnable(GL_LIGHTING);
    else
      glDisable(GL_LIGHTING);
  }
  glutPostRedisplay();
}

void keyboardUp(unsigned char key, int, int) {
  // Both cases clear the same flag, so Shift changing mid-hold is harmless.
  if (int32_t flag = movementFlag(key)) gCamera->movement &= ~flag;
  glutPostRedisplay();
}

void mouseMotion(int x, int y) {
  // The window's centre at its current size (reshape keeps gWindow).
  int cx = gWindow.width / 2;
  int cy = gWindow.height / 2;
  // The event at the centre is the echo of our own warp: ignore it.
  if (x != cx || y != cy) {
    gCamera->look(static_cast<float>(cx - x), static_cast<float>(cy - y));
    glutWarpPointer(cx, cy);
  }
  glutPostRedisplay();
}

void mouseButton(int, int, int, int) {}
