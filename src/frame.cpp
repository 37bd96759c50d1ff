// The display callback.
#include "frame.h"

#include <GL/glew.h>
#include <GL/freeglut.h>

#include "camera.h"
#include "state.h"

namespace {
constexpr int kStepMilliseconds = 10;  // fixed camera step: 100 per second
constexpr float kSceneScale = 0.5f;    // the scene is drawn at half size
constexpr GLuint kSceneMode = OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL;  // 22
}  // namespace

void display() {
  // Catch up one step per full 10 ms since the last one, then one more, so a
  // mouse look shows in this very frame.
  while (glutGet(GLUT_ELAPSED_TIME) > gNextUpdateTime) {
    gCamera->update();
    gNextUpdateTime += kStepMilliseconds;
  }
  gCamera->update();

  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  const Camera& c = *gCamera;
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  gluLookAt(c.position.x, c.position.y, c.position.z, c.position.x + c.direction.x,
            c.position.y + c.direction.y, c.position.z + c.direction.z, c.up.x, c.up.y, c.up.z);
  // Sent after the view so the light stays fixed in the world.
  glLightfv(GL_LIGHT0, GL_POSITION, gLightPosition);
  glUseProgram(gActiveProgram);

  glPushMatrix();
  glScalef(kSceneScale, kSceneScale, kSceneScale);
  if (gModel) obxDraw(gModel, kSceneMode);
  glPopMatrix();

  glutSwapBuffers();
  glutPostRedisplay();
}
