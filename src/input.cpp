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
// GLUT reports the wheel as buttons 3 (away from the user) and 4.
constexpr int kWheelUp = 3;
constexpr int kWheelDown = 4;
constexpr float kZoomKeySteps = 1.0f;  // + and - zoom as one wheel notch

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

void toggleLighting() {
  gLightingEnabled = !gLightingEnabled;
  if (gLightingEnabled)
    glEnable(GL_LIGHTING);
  else
    glDisable(GL_LIGHTING);
}

// The viewer's letter keys; any other key changes nothing.
void viewerKey(unsigned char key) {
  switch (std::tolower(key)) {
    case 'h': gShowHelp = !gShowHelp; break;
    case 'i': gShowStatistics = !gShowStatistics; break;
    case 'x': gWireframe = !gWireframe; break;
    case 'p': gRequests.screenshot = true; break;
    case 'c': gRequests.toggleView = true; break;
    case 'y': gRequests.toggleUpAxis = true; break;
    case 'b': gRequests.toggleTwoSided = true; break;
    case '+':
    case '=': gRequests.zoomSteps += kZoomKeySteps; break;
    case '-':
    case '_': gRequests.zoomSteps -= kZoomKeySteps; break;
    default: break;
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
    toggleLighting();
  } else {
    viewerKey(key);
  }
  glutPostRedisplay();
}

void keyboardUp(unsigned char key, int, int) {
  // Both cases clear the same flag, so Shift changing mid-hold is harmless.
  if (int32_t flag = movementFlag(key)) gCamera->movement &= ~flag;
  glutPostRedisplay();
}

void specialKey(int key, int, int) {
  switch (key) {
    case GLUT_KEY_HOME: gRequests.frameAll = true; break;
    case GLUT_KEY_F5: gRequests.reload = true; break;
    case GLUT_KEY_PAGE_UP: gRequests.zoomSteps += kZoomKeySteps; break;
    case GLUT_KEY_PAGE_DOWN: gRequests.zoomSteps -= kZoomKeySteps; break;
    default: break;
  }
  glutPostRedisplay();
}

void mouseMotion(int x, int y) {
  if (gViewMode == ViewMode::kOrbit) {
    // The orbit turns only while the button is held; the pointer is free.
    if (gDrag.held) {
      gRequests.dragX += float(x - gDrag.x);
      gRequests.dragY += float(y - gDrag.y);
      gDrag.x = x;
      gDrag.y = y;
    }
    glutPostRedisplay();
    return;
  }
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

void mouseButton(int button, int state, int x, int y) {
  if (state != GLUT_DOWN) {
    if (button == GLUT_LEFT_BUTTON) gDrag.held = false;
    return;
  }
  if (button == kWheelUp) gRequests.zoomSteps += 1.0f;
  if (button == kWheelDown) gRequests.zoomSteps -= 1.0f;
  if (button == GLUT_LEFT_BUTTON) gDrag = {true, x, y};
  glutPostRedisplay();
}
