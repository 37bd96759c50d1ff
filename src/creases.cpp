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
// A vertex in the buffer: its position, the other end's, and the normals
// its two sides are shaded with there; a segment is two of them.
constexpr size_t kFloatsPerVertex = 12;
constexpr size_t kFloatsPerSegment = 2 * kFloatsPerVertex;

// A line is faded out when it is short on screen: far away, the edges of
// small things (a shelf of books) would otherwise merge into a block of ink
// that the plain view does not have, and a shelf's books seen from the
// room's middle (spines 30 to 60 pixels tall) would be ruled into stripes
// where the plain view shows white pages. Lengths in pixels at 600 rows.
constexpr float kFadeFrom = 30.0f;  // shorter: not drawn
constexpr float kFadeTo = 80.0f;    // longer: full ink
constexpr float kReferenceHeight = 600.0f;

// A fold between a side in the light and a side in shadow is drawn in a
// lighter ink, as a pen leaves such edges thin or lost: the change from
// white paper to hatching already shows them, and a line there greys what
// the plain view shows white. A fold whose sides are both lit (a white
// box's edges, which the hatching may leave all white) or both shaded
// keeps its full ink, and so does one shaded smoothly across (a box with
// shared corners): the sides are lit with the normals they are shaded
// with. The lit side's cosine to the light ramps up between the first two
// values; the shaded side must face away from the light, its cosine
// ramping down between the next two; where both are past their ends, this
// share of the ink is left.
constexpr float kLitFrom = 0.35f;
constexpr float kLitTo = 0.8f;
constexpr float kShadedFrom = -0.15f;
constexpr float kShadedTo = 0.05f;
constexpr float kLitInk = 0.3f;

// Each vertex carries its segment's other end and its sides' normals as
// texture coordinates, so the vertex stage can measure the segment on
// screen and light its sides.
const char kLineVertexShader[] = R"(#version 120
uniform vec2 viewport;
uniform vec3 fade;  // from, to (pixels at the reference height), reference height
uniform vec4 lit;   // lit side's cosine from, to; shaded side's cosine from, to
uniform float litInk;
void main() {
  vec4 here = gl_ModelViewProjectionMatrix * gl_Vertex;
  vec4 there = gl_ModelViewProjectionMatrix * vec4(gl_MultiTexCoord0.xyz, 1.0);
  // Ends behind the eye have no place on screen: keep such lines whole.
  float pixels = 1e6;
  if (here.w > 0.0 && there.w > 0.0)
    pixels = length((here.xy / here.w - there.xy / there.w) * 0.5 * viewport) * fade.z / viewport.y;
  vec4 eye = gl_ModelViewMatrix * gl_Vertex;
  vec4 light = gl_LightSource[0].position;
  vec3 toLight = light.xyz - eye.xyz * light.w;
  vec3 L = toLight / max(length(toLight), 1e-6);
  vec3 m = gl_NormalMatrix * gl_MultiTexCoord1.xyz, n = gl_NormalMatrix * gl_MultiTexCoord2.xyz;
  float a = dot(m, L) / max(length(m), 1e-6), b = dot(n, L) / max(length(n), 1e-6);
  float lost = smoothstep(lit.x, lit.y, max(a, b)) * (1.0 - smoothstep(lit.z, lit.w, min(a, b)));
  float ink = mix(1.0, litInk, lost);
  gl_FrontColor = vec4(gl_Color.rgb, gl_Color.a * ink * smoothstep(fade.x, fade.y, pixels));
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
    glUniform4f(glGetUniformLocation(program, "lit"), kLitFrom, kLitTo, kShadedFrom, kShadedTo);
    glUniform1f(glGetUniformLocation(program, "litInk"), kLitInk);
  } else if (program) {
    glDeleteProgram(program);
  }
  glUseProgram(GLuint(previous));
  return gLineProgram;
}

struct EdgeFacet {
  uint64_t edge;      // lower vertex id high, higher low
  uint32_t facet;     // into the facet normals
  uint32_t triangle;  // the facet's triangle
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

// The normal a triangle is shaded with at its corner at position id `end`:
// the corner's own normal where the model has one, otherwise the facet's.
const float* cornerNormal(const ObxModel* model, const std::vector<uint32_t>& ids,
                          uint32_t triangle, uint64_t end, const float* facet) {
  const ObxTriangle& t = model->triangles[triangle];
  for (int k = 0; k < 3; k++) {
    const uint32_t n = t.nindices[k];
    if (ids[t.vindices[k]] == end && model->normals && n != OBX_NO_INDEX && n >= 1 &&
        n <= model->numnormals)
      return model->normals + 3 * size_t(n);
  }
  return facet;
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
      if (p != q) edges.push_back({std::min(p, q) << 32 | std::max(p, q), facet, t});
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
      const uint64_t ends[2] = {edges[i].edge >> 32, edges[i].edge & 0xffffffffu};
      const EdgeFacet& a = edges[i];
      const EdgeFacet& b = edges[j - i == 2 ? i + 1 : i];
      for (int e = 0; e < 2; e++) {
        const float* here = position(model, uint32_t(ends[e]));
        const float* there = position(model, uint32_t(ends[1 - e]));
        const float* m = cornerNormal(model, ids, a.triangle, ends[e], &normals[3 * size_t(a.facet)]);
        const float* n = cornerNormal(model, ids, b.triangle, ends[e], &normals[3 * size_t(b.facet)]);
        lines.insert(lines.end(), here, here + 3);
        lines.insert(lines.end(), there, there + 3);
        lines.insert(lines.end(), m, m + 3);
        lines.insert(lines.end(), n, n + 3);
      }
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
  const GLsizei stride = kFloatsPerVertex * sizeof(float);
  glVertexPointer(3, GL_FLOAT, stride, nullptr);
  for (int unit = 0; unit < 3; unit++) {
    glClientActiveTexture(GL_TEXTURE0 + unit);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(3, GL_FLOAT, stride,
                      reinterpret_cast<const void*>(size_t(3 + 3 * unit) * sizeof(float)));
  }
  glClientActiveTexture(GL_TEXTURE0);
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
