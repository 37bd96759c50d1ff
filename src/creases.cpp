// Crease and border lines of the model, drawn in ink over the hatching.
#include "creases.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "shader.h"
#include "state.h"

namespace {
// Dark, not black, and a little wider than a pixel: with smoothing on, a
// line reads as a pen's stroke beside the strokes of the hatching.
constexpr GLfloat kInkColour[4] = {0.12f, 0.12f, 0.12f, 0.9f};
constexpr GLfloat kLineWidth = 1.0f;
constexpr float kDegrees = 3.14159265f / 180.0f;
// Cross products shorter than this are triangles without an area.
constexpr float kLeastArea = 1e-12f;
// A segment in the buffer: each end's position, then the other end's.
constexpr size_t kFloatsPerSegment = 12;

// A line is faded out when it is short on screen: far away, the edges of
// small things (a shelf of books) would otherwise merge into a block of ink
// that the plain view does not have, and a shelf's books seen from the
// room's middle (spines 30 to 60 pixels tall) would be ruled into stripes
// where the plain view shows white pages. Lengths in pixels at 600 rows.
constexpr float kFadeFrom = 30.0f;  // shorter: not drawn
constexpr float kFadeTo = 80.0f;    // longer: full ink
constexpr float kReferenceHeight = 600.0f;

// Each vertex carries its segment's other end as texture coordinates, so
// the vertex stage can measure the segment on screen.
const char kLineVertexShader[] = R"(#version 120
uniform vec2 viewport;
uniform vec3 fade;  // from, to (pixels at the reference height), reference height
void main() {
  vec4 here = gl_ModelViewProjectionMatrix * gl_Vertex;
  vec4 there = gl_ModelViewProjectionMatrix * vec4(gl_MultiTexCoord0.xyz, 1.0);
  // Ends behind the eye have no place on screen: keep such lines whole.
  float pixels = 1e6;
  if (here.w > 0.0 && there.w > 0.0)
    pixels = length((here.xy / here.w - there.xy / there.w) * 0.5 * viewport) * fade.z / viewport.y;
  gl_FrontColor = vec4(gl_Color.rgb, gl_Color.a * smoothstep(fade.x, fade.y, pixels));
  gl_Position = here;
}
)";
const char kLineFragmentShader[] = R"(#version 120
void main() { gl_FragColor = gl_Color; }
)";

GLuint gCreaseBuffer = 0;
uint32_t gCreaseSegments = 0;
GLuint gLineProgram = 0;
GLint gViewportLocation = -1;

// The line program, built on first use; 0 when it does not build (lines
// are then drawn unfaded by the fixed pipeline).
GLuint lineProgram() {
  static bool tried = false;
  if (tried) return gLineProgram;
  tried = true;
  GLint previous = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &previous);
  GLuint program = 0;
  if (buildShaderProgram(kLineVertexShader, kLineFragmentShader, &program)) {
    gLineProgram = program;
    gViewportLocation = glGetUniformLocation(program, "viewport");
    glUniform3f(glGetUniformLocation(program, "fade"), kFadeFrom, kFadeTo, kReferenceHeight);
  } else if (program) {
    glDeleteProgram(program);
  }
  glUseProgram(GLuint(previous));
  return gLineProgram;
}

struct EdgeFacet {
  uint64_t edge;   // lower vertex id high, higher low
  uint32_t facet;  // into the facet normals
};

const float* position(const ObxModel* model, uint32_t index) {
  return model->vertices + 3 * size_t(index);
}

// One id per distinct position: a vertex repeated under another index (a
// box whose faces carry their own corners) joins its first copy.
std::vector<uint32_t> positionIds(const ObxModel* model) {
  std::vector<uint32_t> order(model->numvertices);
  for (uint32_t i = 0; i < model->numvertices; i++) order[i] = i + 1;
  auto less = [&](uint32_t a, uint32_t b) {
    return std::memcmp(position(model, a), position(model, b), 3 * sizeof(float)) < 0;
  };
  std::sort(order.begin(), order.end(), less);
  std::vector<uint32_t> ids(size_t(model->numvertices) + 1, 0);
  for (size_t k = 0; k < order.size(); k++) {
    const bool same = k > 0 && !less(order[k - 1], order[k]);
    ids[order[k]] = same ? ids[order[k - 1]] : order[k];
  }
  return ids;
}
}  // namespace

std::vector<float> findCreases(const ObxModel* model, float creaseAngle) {
  assert(model);
  std::vector<float> lines;
  if (model->numtriangles == 0) return lines;
  const std::vector<uint32_t> ids = positionIds(model);
  std::vector<float> normals;
  std::vector<EdgeFacet> edges;
  edges.reserve(size_t(model->numtriangles) * 3);
  for (uint32_t t = 0; t < model->numtriangles; t++) {
    const uint32_t* v = model->triangles[t].vindices;
    const float *a = position(model, v[0]), *b = position(model, v[1]), *c = position(model, v[2]);
    const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const float w[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    float n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(length > kLeastArea)) continue;
    const uint32_t facet = uint32_t(normals.size() / 3);
    for (float x : n) normals.push_back(x / length);
    for (int k = 0; k < 3; k++) {
      const uint64_t p = ids[v[k]], q = ids[v[(k + 1) % 3]];
      if (p != q) edges.push_back({std::min(p, q) << 32 | std::max(p, q), facet});
    }
  }
  std::sort(edges.begin(), edges.end(),
            [](const EdgeFacet& x, const EdgeFacet& y) { return x.edge < y.edge; });

  const float cosine = std::cos(creaseAngle * kDegrees);
  for (size_t i = 0; i < edges.size();) {
    size_t j = i + 1;
    while (j < edges.size() && edges[j].edge == edges[i].edge) j++;
    bool line = j - i != 2;
    if (!line) {
      const float* m = &normals[3 * size_t(edges[i].facet)];
      const float* n = &normals[3 * size_t(edges[i + 1].facet)];
      line = m[0] * n[0] + m[1] * n[1] + m[2] * n[2] < cosine;
    }
    if (line) {
      const float* p = position(model, uint32_t(edges[i].edge >> 32));
      const float* q = position(model, uint32_t(edges[i].edge & 0xffffffffu));
      lines.insert(lines.end(), p, p + 3);
      lines.insert(lines.end(), q, q + 3);
      lines.insert(lines.end(), q, q + 3);
      lines.insert(lines.end(), p, p + 3);
    }
    i = j;
  }
  return lines;
}

void buildCreaseLines() {
  deleteCreaseLines();
  if (!gModel) return;
  const std::vector<float> lines = findCreases(gModel, kCreaseAngle);
  gCreaseSegments = uint32_t(lines.size() / kFloatsPerSegment);
  if (gCreaseSegments == 0) return;
  glGenBuffers(1, &gCreaseBuffer);
  glBindBuffer(GL_ARRAY_BUFFER, gCreaseBuffer);
  glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(lines.size() * sizeof(float)), lines.data(),
               GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void drawCreaseLines() {
  if (!gCreaseBuffer) return;
  glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LINE_BIT | GL_COLOR_BUFFER_BIT |
               GL_DEPTH_BUFFER_BIT);
  glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  const GLuint fading = lineProgram();
  glUseProgram(fading);
  if (fading) glUniform2f(gViewportLocation, float(gWindow.width), float(gWindow.height));
  glDisable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  glDisable(GL_CULL_FACE);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glDisable(GL_LINE_SMOOTH);
  glLineWidth(kLineWidth);
  // Smoothed edges are blended, so they must not hide each other's fringes.
  glDepthMask(GL_FALSE);
  glColor4fv(kInkColour);
  glBindBuffer(GL_ARRAY_BUFFER, gCreaseBuffer);
  glEnableClientState(GL_VERTEX_ARRAY);
  const GLsizei stride = 6 * sizeof(float);
  glVertexPointer(3, GL_FLOAT, stride, nullptr);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glTexCoordPointer(3, GL_FLOAT, stride, reinterpret_cast<const void*>(3 * sizeof(float)));
  glDrawArrays(GL_LINES, 0, GLsizei(gCreaseSegments * 2));
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glUseProgram(GLuint(program));
  glPopClientAttrib();
  glPopAttrib();
}

void deleteCreaseLines() {
  if (gCreaseBuffer) glDeleteBuffers(1, &gCreaseBuffer);
  gCreaseBuffer = 0;
  gCreaseSegments = 0;
}

uint32_t creaseLineCount() { return gCreaseSegments; }
