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
#include "creases.h"
#include "orbit.h"
#include "overlay.h"
#include "state.h"
#include "viewer.h"

namespace {
constexpr int kStepMilliseconds = 10;  // fixed camera step: 100 per second
// The effects' uniform for the window size in pixels, in those that read it.
constexpr char kViewportUniform[] = "fViewportDimensions";
constexpr char kStatmPath[] = "/proc/self/statm";  // sizes in pages: total, resident, ...

// The light of a model of the user's, in eye space: above, left of and
// behind the eye, so the side in view is lit and its form shades from upper
// left to lower right (the framed model is about 200 units ahead).
constexpr GLfloat kHeadlightPosition[4] = {-120.0f, 160.0f, 120.0f, 1.0f};
// A model without materials gets a neutral light grey.
constexpr GLfloat kNeutralDiffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f};
constexpr GLfloat kNeutralSpecular[4] = {0.2f, 0.2f, 0.2f, 1.0f};
constexpr GLfloat kNeutralShininess = 32.0f;
// The hatching's fill is pushed back this much (glPolygonOffset's factor
// and units) so the crease lines drawn on it afterwards are not buried in it.
constexpr GLfloat kCreaseFillOffset[2] = {1.0f, 1.0f};
// Weight of the newest frame in the statistics line's mean frame time.
constexpr float kFrameTimeWeight = 0.1f;

int gLastFrameTime = -1;  // elapsed milliseconds at the last frame, -1 before it

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

void noteFrameTime() {
  const int now = glutGet(GLUT_ELAPSED_TIME);
  if (gLastFrameTime >= 0) {
    const float ms = float(now - gLastFrameTime);
    gFrameMilliseconds = gFrameMilliseconds > 0
                             ? gFrameMilliseconds + kFrameTimeWeight * (ms - gFrameMilliseconds)
                             : ms;
  }
  gLastFrameTime = now;
}

// What the callbacks asked for since the last frame; the screenshot waits
// for the finished picture.
void carryOutRequests() {
  Requests& r = gRequests;
  if (r.reload) reloadModel();
  if (r.toggleUpAxis) toggleUpAxis();
  if (r.toggleTwoSided) toggleTwoSided();
  if (r.toggleView) toggleView();
  if (r.frameAll) frameAll();
  orbitRotate(&gOrbit, r.dragX, r.dragY);
  orbitZoom(&gOrbit, r.zoomSteps);
  const bool screenshot = r.screenshot;
  r = Requests();
  r.screenshot = screenshot;
}

// One fixed step of the camera in use.
void stepCamera() {
  if (gViewMode == ViewMode::kOrbit)
    orbitStep(&gOrbit, gCamera->movement);
  else
    gCamera->update();
}

void loadView() {
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  if (gViewMode == ViewMode::kOrbit) {
    float eye[3];
    orbitEye(gOrbit, eye);
    const float* t = gOrbit.target;
    gluLookAt(eye[0], eye[1], eye[2], t[0], t[1], t[2], 0, 1, 0);
    return;
  }
  const Camera& c = *gCamera;
  gluLookAt(c.position.x, c.position.y, c.position.z, c.position.x + c.direction.x,
            c.position.y + c.direction.y, c.position.z + c.direction.z, c.up.x, c.up.y, c.up.z);
}

void drawModel() {
  // The model's centre to its target, scaled about it (the hideout: half
  // size about the origin), turned z-up first when asked.
  const ModelPlacement& p = gPlacement;
  glPushMatrix();
  glTranslatef(p.target[0], p.target[1], p.target[2]);
  glScalef(p.scale, p.scale, p.scale);
  if (p.zUp) glRotatef(kZUpTurn, 1.0f, 0.0f, 0.0f);
  glTranslatef(-p.centre[0], -p.centre[1], -p.centre[2]);
  if (!(gDrawMode & OBX_MATERIAL)) {
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, kNeutralDiffuse);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, kNeutralSpecular);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, kNeutralShininess);
  }
  // Only the hatching is a pen drawing that outlines its folds.
  const bool creases =
      !gWireframe && gActiveProgram != 0 && gActiveProgram == gEffectPrograms[kHatchSlot];
  if (gWireframe) glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
  // The effects light as the fixed pipeline does, which rescales the normals
  // only when asked (a model of the user's, not the hideout) and takes the
  // vertices' colours for the material when drawing them; the built-in
  // uniforms say neither, so the second texture coordinate, unused by the
  // model, tells the shaders.
  glMultiTexCoord2f(GL_TEXTURE1, glIsEnabled(GL_RESCALE_NORMAL) ? 1.0f : 0.0f,
                    (gDrawMode & OBX_COLOR) ? 1.0f : 0.0f);
  if (creases) {
    glEnable(GL_POLYGON_OFFSET_FILL);
    glPolygonOffset(kCreaseFillOffset[0], kCreaseFillOffset[1]);
  }
  if (gModelList)
    glCallList(gModelList);
  else if (gModel)
    obxDraw(gModel, gDrawMode | (gTwoSided ? OBX_TWO_SIDED : 0));
  if (gWireframe) glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  if (creases) {
    glDisable(GL_POLYGON_OFFSET_FILL);
    drawCreaseLines();
  }
  glPopMatrix();
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
  noteFrameTime();
  carryOutRequests();
  // Catch up one step per full 10 ms since the last one, then one more, so a
  // mouse look shows in this very frame.
  while (glutGet(GLUT_ELAPSED_TIME) > gNextUpdateTime) {
    stepCamera();
    gNextUpdateTime += kStepMilliseconds;
  }
  stepCamera();

  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  loadView();
  // The hideout's light is sent after the view so it stays fixed in the
  // world; a model of the user's has its light at the eye, sent before.
  if (gUserModel) {
    glPushMatrix();
    glLoadIdentity();
    glLightfv(GL_LIGHT0, GL_POSITION, kHeadlightPosition);
    glPopMatrix();
  } else {
    glLightfv(GL_LIGHT0, GL_POSITION, gLightPosition);
  }
  glUseProgram(gActiveProgram);
  drawModel();
  drawOverlay();
  if (gRequests.screenshot) {
    saveScreenshot();
    gRequests.screenshot = false;
  }

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
