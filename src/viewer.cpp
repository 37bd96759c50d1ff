// How the viewer shows the model it holds.
#include "viewer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "camera.h"
#include "creases.h"
#include "frame.h"
#include "framing.h"
#include "overlay.h"
#include "state.h"

namespace {
// 180 degrees: every corner gets the average of all facets around its vertex.
constexpr float kSmoothingAngle = 180.0f;

// A model of the user's with more triangles than this is compiled once into
// a display list and replayed each frame. Immediate mode re-sends every
// vertex every frame, about 20 ms per 100,000 triangles on a software
// renderer: up to here a frame stays near 40 to 50 per second, beyond it the
// rate falls in proportion (13 to 19 at 250,000, 5 to 7 at a million), while
// the list replays about twice as fast (bench/README.md, bench_draw).
// Smaller models draw as the hideout does, without the list's compile and
// its copy of every vertex in the driver.
constexpr uint32_t kDisplayListTriangles = 100000;

// Files from this size up take a noticeable while to read (a quarter of a
// second and more): the window says so first, and how far the read is as
// it goes. The hideout (9 MB) is below.
constexpr long long kProgressBytes = 32ll << 20;
// From this size on the read's progress goes to stderr as it happens.
constexpr long long kProgressLineBytes = 100ll << 20;

// Up to the reader's message; longer ones are cut.
constexpr size_t kMessageSize = 512;

// What the read's progress callback shows: the window's line for every
// percent, stderr's for a file of kProgressLineBytes or more.
struct ReadProgress {
  const char* path;
  long long bytes;
  int percent;  // last shown, -1 before the first
};

// "reading PATH (N MB) ...", with " P%" once the read has begun.
std::string readingLine(const ReadProgress& r) {
  char line[kMessageSize];
  snprintf(line, sizeof line, "reading %s (%.0f MB) ...", r.path, double(r.bytes) / (1 << 20));
  std::string text = line;
  if (r.percent >= 0) text += " " + std::to_string(r.percent) + "%";
  return text;
}

int showReadProgress(uint64_t done, uint64_t total, void* context) {
  ReadProgress& r = *static_cast<ReadProgress*>(context);
  const int percent = int(total ? 100 * done / total : 100);
  if (percent == r.percent) return 0;
  r.percent = percent;
  showStatusLine(readingLine(r));
  if (r.bytes >= kProgressLineBytes) {
    fprintf(stderr, "\rostrel: reading %s: %3d%%", r.path, percent);
    if (done >= total) fputc('\n', stderr);
  }
  return 0;
}

// The light of a model of the user's (it follows the eye, frame.cpp): a
// soft ambient so the side turned away keeps its shape, a strong diffuse
// so the side in view reads as its materials are.
constexpr GLfloat kHeadlightAmbient[4] = {0.25f, 0.25f, 0.25f, 1.0f};
constexpr GLfloat kHeadlightDiffuse[4] = {1.0f, 1.0f, 1.0f, 1.0f};
constexpr float kDegrees = 3.14159265f / 180.0f;


long long fileBytes(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

void deleteList() {
  if (gModelList) glDeleteLists(gModelList, 1);
  gModelList = 0;
}

void compileList() {
  deleteList();
  if (gUserModel && gModel->numtriangles > kDisplayListTriangles)
    gModelList = obxDrawList(gModel, gDrawMode | (gTwoSided ? OBX_TWO_SIDED : 0));
}

// The eye the framing places a model ahead of: the walk's start.
ModelPlacement framed(bool zUp) {
  return frameModel(gModel, Camera().position, float(kFieldOfView), gWindow.aspect(), zUp);
}

void resetOrbit() {
  const Vec4 eye = Camera().position;
  gOrbit = Orbit();
  for (int k = 0; k < 3; k++) gOrbit.target[k] = gPlacement.target[k];
  gOrbit.distance = eye.z - gPlacement.target[2];
}

// Draw mode, culling, placement and list for gModel as it was just read.
// keepView leaves the cameras where they are (a reload).
void prepareModel(bool keepView) {
  buildCreaseLines();
  if (!gUserModel) {
    gDrawMode = kSceneMode;
    gTwoSided = false;
    gPlacement = kScenePlacement;
    // The hideout's own light, and its normals unscaled as it was made to
    // be lit, also after a model of the user's was shown.
    glLightfv(GL_LIGHT0, GL_AMBIENT, gLightAmbient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, gLightDiffuse);
    glDisable(GL_RESCALE_NORMAL);
    applyFaceCulling();
    return;
  }
  gDrawMode = drawModeFor(gModel);
  gTwoSided = !isClosedMesh(gModel);
  gPlacement = framed(keepView && gPlacement.zUp);
  glLightfv(GL_LIGHT0, GL_AMBIENT, kHeadlightAmbient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, kHeadlightDiffuse);
  // The placement scales the model, and so the normals GL lights with;
  // rescaling brings them back to unit length for fixed-function lighting.
  glEnable(GL_RESCALE_NORMAL);
  applyFaceCulling();
  compileList();
  if (!keepView) {
    resetOrbit();
    gViewMode = ViewMode::kOrbit;
  }
}
}  // namespace

GLuint drawModeFor(const ObxModel* model) {
  GLuint mode = OBX_NONE;
  if (model->normals) mode |= OBX_SMOOTH;
  if (model->texcoords) mode |= OBX_TEXTURE;
  // Vertex colours are what such a model looks like; they take the place
  // of the materials' colours (the two modes exclude each other).
  if (model->colors)
    mode |= OBX_COLOR;
  else if (model->materials)
    mode |= OBX_MATERIAL;
  return mode;
}

void computeNormals(ObxModel* model, bool userModel) {
  // A file's smoothing groups say where its edges are hard; without its
  // own normals, they are followed rather than the crease angle.
  if (userModel && model->smoothing && model->numnormals == 0)
    obxSmoothingGroupNormals(model, GL_FALSE);
  else
    obxVertexNormals(model, kSmoothingAngle, GL_FALSE);
}

bool isClosedMesh(const ObxModel* model) {
  // Each edge as one number, smaller index high; equal numbers are one
  // edge, so after sorting an edge met once stands alone.
  std::vector<uint64_t> edges;
  edges.reserve(size_t(model->numtriangles) * 3);
  for (uint32_t t = 0; t < model->numtriangles; t++) {
    const uint32_t* v = model->triangles[t].vindices;
    for (int k = 0; k < 3; k++) {
      const uint64_t a = v[k], b = v[(k + 1) % 3];
      edges.push_back(std::min(a, b) << 32 | std::max(a, b));
    }
  }
  std::sort(edges.begin(), edges.end());
  for (size_t i = 0; i < edges.size();) {
    size_t j = i + 1;
    while (j < edges.size() && edges[j] == edges[i]) j++;
    if (j - i == 1) return false;
    i = j;
  }
  return true;
}

void applyFaceCulling() {
  if (gTwoSided)
    glDisable(GL_CULL_FACE);
  else
    glEnable(GL_CULL_FACE);
}

void loadModel(const char* path, bool userModel) {
  gModelPath = path;
  gUserModel = userModel;
  const long long bytes = fileBytes(path);
  ReadProgress progress = {path, bytes, -1};
  // A file that cannot be read ends the program inside the reader. A
  // user's file is read leniently: a missing MTL or a stray normal index
  // costs a warning, not the geometry.
  ObxReadOptions options = {};
  options.flags = userModel ? OBX_READ_LENIENT : 0u;
  const bool large = bytes >= kProgressBytes;
  if (large) {
    const std::string line = readingLine(progress);
    printf("%s\n", line.c_str());
    fflush(stdout);
    showStatusLine(line);
    options.progress = showReadProgress;
    options.context = &progress;
  }
  gModel = obxReadOBJWithOptions(path, &options);
  if (large) {
    // Normals, edges and the display list take as long again as the read.
    char line[kMessageSize];
    snprintf(line, sizeof line, "read %s: %u triangles", path, gModel->numtriangles);
    printf("%s\n", line);
    fflush(stdout);
    showStatusLine(std::string(line) + "; preparing them ...");
  }
  computeNormals(gModel, userModel);
  prepareModel(false);
}

bool reloadModel() {
  char message[kMessageSize];
  printf("reading %s again\n", gModelPath);
  ObxReadOptions options = {};
  options.flags = gUserModel ? OBX_READ_LENIENT : 0u;
  ObxModel* model = obxTryReadOBJWithOptions(gModelPath, &options, message, sizeof message);
  if (!model) {
    printf("ostrel: %s stays as it was: %s\n", gModelPath, message);
    return false;
  }
  if (!obxTry([](void* m) { computeNormals(static_cast<ObxModel*>(m), gUserModel); }, model,
              message, sizeof message)) {
    printf("ostrel: %s stays as it was: %s\n", gModelPath, message);
    obxDeleteModel(model);
    return false;
  }
  deleteList();
  obxDeleteModel(gModel);
  gModel = model;
  prepareModel(true);
  printf("read %s: %u triangles\n", gModelPath, gModel->numtriangles);
  return true;
}

void toggleUpAxis() {
  if (!gUserModel) return;
  gPlacement = framed(!gPlacement.zUp);
  resetOrbit();
  printf("up axis: %s\n", gPlacement.zUp ? "z" : "y");
}

void toggleTwoSided() {
  gTwoSided = !gTwoSided;
  applyFaceCulling();
  compileList();
}

void frameAll() {
  if (gUserModel) resetOrbit();
}

void toggleView() {
  if (!gUserModel) return;
  if (gViewMode == ViewMode::kWalk) {
    gViewMode = ViewMode::kOrbit;
    return;
  }
  // The walk's heading: yaw 90 looks along -z, as the orbit's eye at yaw 0
  // does; its free vertical component looks down by the orbit's pitch.
  float eye[3];
  orbitEye(gOrbit, eye);
  gCamera->position = {eye[0], eye[1], eye[2], 1.0f};
  gCamera->yaw = 90.0f + gOrbit.yaw;
  gCamera->direction.y = -std::sin(gOrbit.pitch * kDegrees);
  gCamera->movement = 0;
  gViewMode = ViewMode::kWalk;
}
