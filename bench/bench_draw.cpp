// Frame cost of drawing the demo scene on this machine's GL: obxDraw against
// a bare immediate-mode loop over the same triangles (no state tracking) and
// against replaying obxDrawList.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "obx/obx.h"

namespace {

constexpr const char* kScene = "../models/spy_scene_extended.obj";
constexpr GLuint kMode = OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL;
constexpr int kWarmupFrames = 3;
constexpr int kFrames = 8;
constexpr int kRounds = 6;

// The same triangles as obxDraw sends in this mode, without tracking:
// one glBegin/glEnd per group, textures bound per group.
void drawBare(const ObxModel* m) {
  for (const ObxGroup* g = m->groups; g; g = g->next) {
    const ObxMaterial& material = m->materials[g->material];
    glBindTexture(GL_TEXTURE_2D,
                  material.map_diffuse >= 0 ? m->textures[material.map_diffuse].id : 0);
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material.diffuse);
    glBegin(GL_TRIANGLES);
    for (uint32_t i = 0; i < g->numtriangles; i++) {
      const ObxTriangle& t = m->triangles[g->triangles[i]];
      for (int k = 0; k < 3; k++) {
        glNormal3fv(&m->normals[3 * t.nindices[k]]);
        if (t.tindices[k] != OBX_NO_INDEX) {
          const float* uv = &m->texcoords[2 * t.tindices[k]];
          glTexCoord2f(uv[0], uv[1]);
        }
        glVertex3fv(&m->vertices[3 * t.vindices[k]]);
      }
    }
    glEnd();
  }
}

double millisecondsPerFrame(const std::function<void()>& draw) {
  auto frame = [&] {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    glScalef(0.5f, 0.5f, 0.5f);
    draw();
    glPopMatrix();
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
  glutInitWindowSize(800, 600);
  glutCreateWindow("bench_draw");
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

  ObxModel* model = obxReadOBJ(kScene);
  obxVertexNormals(model, 180.0f, GL_FALSE);
  GLuint list = obxDrawList(model, kMode);

  // Interleave the three and keep each one's best round, so that load from
  // other processes on the machine hits them alike and counts least.
  double draw = 1e30, bare = 1e30, replay = 1e30;
  for (int r = 0; r < kRounds; r++) {
    draw = std::min(draw, millisecondsPerFrame([&] { obxDraw(model, kMode); }));
    bare = std::min(bare, millisecondsPerFrame([&] { drawBare(model); }));
    replay = std::min(replay, millisecondsPerFrame([&] { glCallList(list); }));
  }
  printf("scene: %u triangles, %u groups, %u materials\n", model->numtriangles, model->numgroups,
         model->nummaterials);
  printf("obxDraw          %8.2f ms/frame\n", draw);
  printf("bare loop        %8.2f ms/frame\n", bare);
  printf("obxDrawList call %8.2f ms/frame\n", replay);
  printf("obxDraw / bare   %8.3f (target <= 1.15)\n", draw / bare);
  glDeleteLists(list, 1);
  obxDeleteModel(model);
  return 0;
}
