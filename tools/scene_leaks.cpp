// Reads the demo scene as the program does (textures into a real GL
// context, smooth normals within 180 degrees), deletes it and ends, so that
// valgrind's leak check sees every block the library took come back.
// Usage: scene_leaks <scene.obj> [rounds]   (scripts/leakcheck runs it)
//
// Two rounds by default: a pointer to the last model may linger in a
// register or stack slot until the end and make its blocks look reachable,
// but nothing points into the first round's any more.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "obx/obx.h"

namespace {
constexpr int kDefaultRounds = 2;
constexpr float kSmoothingAngle = 180.0f;  // as the program reads the scene
constexpr int kWindowSide = 64;            // hidden; it only carries the context
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <scene.obj> [rounds]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const int rounds = argc > 2 ? atoi(argv[2]) : kDefaultRounds;
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(kWindowSide, kWindowSide);
  const int window = glutCreateWindow("scene_leaks");
  glutHideWindow();

  for (int round = 0; round < rounds; round++) {
    ObxModel* model = obxReadOBJ(path);
    obxVertexNormals(model, kSmoothingAngle, GL_FALSE);
    printf("round %d: %u triangles, %u textures\n", round + 1, model->numtriangles,
           model->numtextures);
    obxDeleteModel(model);
  }
  // The window and its context go too: what stays allocated after this is
  // the GL and X libraries' own.
  glutDestroyWindow(window);
  return 0;
}
