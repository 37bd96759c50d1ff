// The display callback.
#include "frame.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "camera.h"
#include "state.h"

namespace {
constexpr int kStepMilliseconds = 10;  // fixed camera step: 100 per second
// The effects' uniform for the window size in pixels, in those that read it.
constexpr char kViewportUniform[] = "fViewportDimensions";
constexpr char kStatmPath[] = "/proc/self/statm";  // sizes in pages: total, resident, ...

// Resident size of this process in kilobytes, -1 when it cannot be read.
long residentKilobytes() {
  FILE* statm = fopen(kStatmPath, "r");
  if (!statm) return -1;
  long total = 0, resident = -1;
  if (fscanf(statm, "%ld %ld", &total, &resident) != 2) resident = -1;
  fclose(statm);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One line per interval for watching long runs from outside: the frame
// number, the time since start-up and the resident size, which must stay flat.
void logFrame() {
  printf("frame %ld time %d ms rss %ld kB\n", gFramesDrawn, glutGet(GLUT_ELAPSED_TIME),
         residentKilobytes());
  fflush(stdout);
}
}  // namespace

int frameLogInterval(const char* value) {
  if (!value) return 0;
  char* end = nullptr;
  errno = 0;
  const long interval = strtol(value, &end, 10);
  if (end == value || *end != '\0' || errno == ERANGE || interval < 1 || interval > INT_MAX)
    return 0;
  return int(interval);
}

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

  // The model's centre to its target, scaled about it (the hideout: half
  // size about the origin).
  const ModelPlacement& p = gPlacement;
  glPushMatrix();
  glTranslatef(p.target[0], p.target[1], p.target[2]);
  glScalef(p.scale, p.scale, p.scale);
  glTranslatef(-p.centre[0], -p.centre[1], -p.centre[2]);
  if (gModelList)
    glCallList(gModelList);
  else if (gModel)
    obxDraw(gModel, kSceneMode);
  glPopMatrix();

  glutSwapBuffers();
  gFramesDrawn++;
  if (gFrameLogInterval > 0 && gFramesDrawn % gFrameLogInterval == 0) logFrame();
  glutPostRedisplay();
}

void loadProjection() {
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(kFieldOfView, gWindow.aspect(), kNearPlane, kFarPlane);
}

void reshape(int width, int height) {
  // A window shrunk to nothing keeps one pixel, so the aspect stays finite.
  gWindow = {std::max(width, 1), std::max(height, 1)};
  glViewport(0, 0, gWindow.width, gWindow.height);
  loadProjection();
  glMatrixMode(GL_MODELVIEW);
  for (GLuint program : gEffectPrograms) {
    if (program == 0) continue;
    const GLint location = glGetUniformLocation(program, kViewportUniform);
    if (location < 0) continue;
    glUseProgram(program);
    glUniform2f(location, float(gWindow.width), float(gWindow.height));
  }
  glUseProgram(gActiveProgram);
  glutPostRedisplay();
}
