// Frame cost of drawing on this machine's GL. The demo scene: obxDraw
// against a bare immediate-mode loop over the same triangles (no state
// tracking) and against replaying obxDrawList. Then generated knots of a
// tenth, a quarter and a whole million triangles, placed as the viewer places a
// model of the user's, drawn both ways, with frames per second.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glu.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "framing.h"
#include "obx/obx.h"

namespace {

constexpr const char* kScene = "../models/spy_scene_extended.obj";
constexpr GLuint kMode = OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL;
constexpr int kWarmupFrames = 3;
constexpr int kFrames = 8;
constexpr int kRounds = 6;
constexpr char kKnotDir[] = "/tmp/ostrel-bench";
// gen_knot's segments and sides: 2 x segments x sides triangles.
struct KnotSize {
  const char* name;
  int segments, sides;
};
constexpr KnotSize kKnots[] = {
    {"knot-100k", 1000, 50}, {"knot-250k", 2500, 50}, {"knot-1m", 5000, 100}};

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

double millisecondsPerFrame(const std::function<void()>& draw,
                            const ModelPlacement& p = kScenePlacement) {
  auto frame = [&] {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    glTranslatef(p.target[0], p.target[1], p.target[2]);
    glScalef(p.scale, p.scale, p.scale);
    glTranslatef(-p.centre[0], -p.centre[1], -p.centre[2]);
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

// Heap in use in MB (the driver's buffers included: they come from malloc).
double heapMegabytes() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// Writes the knot with gen_knot (once: kept between runs) and returns its path.
std::string knotFile(const KnotSize& knot) {
  const std::string dir = std::string(kKnotDir) + "/" + knot.name;
  const std::string path = dir + "/knot.obj";
  if (access(path.c_str(), R_OK) == 0) return path;
  mkdir(kKnotDir, 0755);
  mkdir(dir.c_str(), 0755);
  const std::string command = std::string(OSTREL_GEN_KNOT) + " " + dir + " " +
                              std::to_string(knot.segments) + " " + std::to_string(knot.sides);
  if (std::system(command.c_str()) != 0) {
    fprintf(stderr, "bench_draw: %s failed\n", command.c_str());
    exit(1);
  }
  return path;
}

// A knot read and placed as the viewer reads and places a model of the
// user's, drawn each frame with obxDraw and by replaying its display list.
void benchKnot(const KnotSize& knot) {
  ObxModel* model = obxReadOBJ(knotFile(knot).c_str());
  obxVertexNormals(model, 180.0f, GL_FALSE);
  const ModelPlacement placement = frameModel(model, Vec4{0, 30, 100, 1}, 60.0f, 800.0f / 600.0f);
  glEnable(GL_RESCALE_NORMAL);
  const double before = heapMegabytes();
  const auto start = std::chrono::steady_clock::now();
  const GLuint list = obxDrawList(model, kMode);
  glFinish();
  const std::chrono::duration<double, std::milli> compile =
      std::chrono::steady_clock::now() - start;
  const double listMegabytes = heapMegabytes() - before;

  double draw = 1e30, replay = 1e30;
  for (int r = 0; r < kRounds / 2; r++) {
    draw = std::min(draw, millisecondsPerFrame([&] { obxDraw(model, kMode); }, placement));
    replay = std::min(replay, millisecondsPerFrame([&] { glCallList(list); }, placement));
  }
  printf("%s: %u triangles, %u vertices\n", knot.name, model->numtriangles, model->numvertices);
  printf("  obxDraw          %8.2f ms/frame %7.1f fps\n", draw, 1000.0 / draw);
  printf("  obxDrawList call %8.2f ms/frame %7.1f fps\n", replay, 1000.0 / replay);
  printf("  list compiled in %8.0f ms, %.0f MB more heap\n", compile.count(), listMegabytes);
  glDisable(GL_RESCALE_NORMAL);
  glDeleteLists(list, 1);
  obxDeleteModel(model);
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
  printf("obxDraw          %8.2f ms/frame %7.1f fps\n", draw, 1000.0 / draw);
  printf("bare loop        %8.2f ms/frame %7.1f fps\n", bare, 1000.0 / bare);
  printf("obxDrawList call %8.2f ms/frame %7.1f fps\n", replay, 1000.0 / replay);
  printf("obxDraw / bare   %8.3f (target <= 1.15)\n", draw / bare);
  glDeleteLists(list, 1);
  obxDeleteModel(model);

  for (const KnotSize& knot : kKnots) benchKnot(knot);
  return 0;
}
