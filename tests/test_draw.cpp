// Drawing: obxDraw and obxDrawList against the real GL, read back through
// feedback mode and glGet.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::ModelBuilder;

constexpr uint32_t N = OBX_NO_INDEX;
constexpr int kViewport = 100;  // window x = (x + 1) * 50 for x in -1..1

struct FbVertex {
  float x, y, z;     // object coordinates recovered from window ones
  float r, g, b, a;  // colour as GL computed it
  float s, t, p, q;  // texture coordinates (texgen output when enabled)
};
using FbTriangle = std::array<FbVertex, 3>;

// Resets the state the tests rely on: identity transforms, no culling or
// lighting, a 100x100 viewport.
void resetState() {
  ostrel_test::requireGlContext();
  glViewport(0, 0, kViewport, kViewport);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_CULL_FACE);
  glDisable(GL_LIGHTING);
  glDisable(GL_TEXTURE_GEN_S);
  glDisable(GL_TEXTURE_GEN_T);
  glDisable(GL_TEXTURE_GEN_R);
  glDisable(GL_BLEND);
  glDepthMask(GL_TRUE);
  glDisable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, 0);
  glColor4f(1, 1, 1, 1);
  glTexCoord4f(9, 9, 0, 1);  // sentinel: no texture coordinate was sent
  while (glGetError() != GL_NO_ERROR) {
  }
}

// Runs draw in feedback mode and returns the triangles GL received.
std::vector<FbTriangle> feedback(const std::function<void()>& draw) {
  std::vector<GLfloat> buffer(1 << 16);
  glFeedbackBuffer(GLsizei(buffer.size()), GL_3D_COLOR_TEXTURE, buffer.data());
  glRenderMode(GL_FEEDBACK);
  draw();
  GLint count = glRenderMode(GL_RENDER);
  EXPECT_GE(count, 0) << "feedback buffer overflow";
  std::vector<FbTriangle> triangles;
  for (GLint i = 0; i < count;) {
    GLint token = GLint(buffer[i++]);
    EXPECT_EQ(token, GL_POLYGON_TOKEN);
    GLint n = GLint(buffer[i++]);
    EXPECT_EQ(n, 3);
    FbTriangle tri;
    for (int k = 0; k < 3; k++, i += 11) {  // x y z, r g b a, s t r q
      const GLfloat* f = &buffer[i];
      float half = kViewport / 2.0f;
      tri[k] = {f[0] / half - 1,
                f[1] / half - 1,
                f[2] * 2 - 1,
                f[3],
                f[4],
                f[5],
                f[6],
                f[7],
                f[8],
                f[9],
                f[10]};
    }
    triangles.push_back(tri);
  }
  return triangles;
}

// Lights the scene so that a vertex's colour shows its normal: red is the
// x component, green y, blue z (each clamped at 0).
void normalsAsColours() {
  const GLfloat zero[4] = {0, 0, 0, 1}, white[4] = {1, 1, 1, 1};
  const GLfloat directions[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
  const GLfloat colours[3][4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
  glEnable(GL_LIGHTING);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, zero);
  for (int i = 0; i < 3; i++) {
    glEnable(GL_LIGHT0 + i);
    glLightfv(GL_LIGHT0 + i, GL_POSITION, directions[i]);
    glLightfv(GL_LIGHT0 + i, GL_DIFFUSE, colours[i]);
    glLightfv(GL_LIGHT0 + i, GL_AMBIENT, zero);
    glLightfv(GL_LIGHT0 + i, GL_SPECULAR, zero);
  }
  glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, zero);
  glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, white);
  glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, zero);
  glDisable(GL_COLOR_MATERIAL);
}

void lightsOff() {
  glDisable(GL_LIGHTING);
  for (int i = 0; i < 3; i++) glDisable(GL_LIGHT0 + i);
}

std::string drawCapturingStderr(ObxModel* model, GLuint mode) {
  testing::internal::CaptureStderr();
  obxDraw(model, mode);
  return testing::internal::GetCapturedStderr();
}

// Two triangles side by side:  1---2   4---5
//                              |  /    |  /
//                              0       3
ModelBuilder twoTriangles() {
  ModelBuilder b;
  b.vertex(-0.9f, -0.5f, 0);
  b.vertex(-0.9f, 0.5f, 0);
  b.vertex(-0.1f, 0.5f, 0);
  b.vertex(0.1f, -0.5f, 0);
  b.vertex(0.1f, 0.5f, 0);
  b.vertex(0.9f, 0.5f, 0);
  return b;
}

TEST(Draw, transparent_material_is_drawn_after_every_opaque_triangle) {
  resetState();
  ModelBuilder b = twoTriangles();
  uint32_t glass = b.material("glass", 0, 0, 1, 0.5f);
  uint32_t wood = b.material("wood", 1, 0, 0, 1.0f);
  b.group("window", glass);  // older group: drawn last in list order
  b.triangle(1, 3, 2);
  b.group("desk", wood);
  b.triangle(4, 6, 5);
  ObxModel* model = b.build();
  // List order is desk, window, default; window is transparent.
  auto tris = feedback([&] { obxDraw(model, OBX_COLOR); });
  ASSERT_EQ(tris.size(), 2u);
  EXPECT_FLOAT_EQ(tris[0][0].x, 0.1f);  // the opaque desk first
  EXPECT_FLOAT_EQ(tris[0][0].r, 1.0f);
  EXPECT_FLOAT_EQ(tris[1][0].x, -0.9f);  // then the glass
  EXPECT_FLOAT_EQ(tris[1][0].b, 1.0f);
  EXPECT_FALSE(glIsEnabled(GL_BLEND));
  GLboolean depthMask = GL_FALSE;
  glGetBooleanv(GL_DEPTH_WRITEMASK, &depthMask);
  EXPECT_EQ(depthMask, GL_TRUE);
  EXPECT_TRUE(glIsEnabled(GL_COLOR_MATERIAL));
  obxDeleteModel(model);
}

TEST(Draw, transparent_pass_blends_additively_without_depth_writes) {
  resetState();
  // Draw for real into the back buffer: the glass over a red opaque quad adds.
  ModelBuilder b;
  for (auto [x, y] : std::vector<std::pair<float, float>>{{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
    b.vertex(x, y, 0.5f);
  for (auto [x, y] : std::vector<std::pair<float, float>>{{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
    b.vertex(x, y, 0.0f);  // nearer, transparent
  uint32_t red = b.material("red", 1, 0, 0, 1);
  uint32_t glass = b.material("glass", 0, 0, 1, 0.5f);
  b.group("glass", glass);
  b.triangle(5, 6, 7);
  b.triangle(5, 7, 8);
  b.group("wall", red);
  b.triangle(1, 2, 3);
  b.triangle(1, 3, 4);
  ObxModel* model = b.build();
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // Only the global ambient lights it: colour = material ambient (0.2), alpha
  // = diffuse alpha, so the glass adds 0.2 * 0.5 on top of the wall's 0.2.
  const GLfloat white[4] = {1, 1, 1, 1};
  glEnable(GL_LIGHTING);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, white);
  obxDraw(model, OBX_MATERIAL);
  glDisable(GL_LIGHTING);
  GLubyte pixel[4];
  glReadBuffer(GL_BACK);
  glReadPixels(50, 50, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
  EXPECT_NEAR(pixel[0], 77, 2);  // additive; a plain alpha mix would stay 51
  EXPECT_NEAR(pixel[2], 77, 2);
  // The glass wrote no depth: a far quad drawn afterwards at z 0.5 passes.
  GLfloat depth = 0;
  glReadPixels(50, 50, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
  EXPECT_NEAR(depth, 0.75f, 1e-3);  // the wall's depth, (0.5 + 1) / 2
  glDisable(GL_DEPTH_TEST);
  obxDeleteModel(model);
}

TEST(Draw, triangle_material_zero_keeps_the_current_material) {
  resetState();
  ModelBuilder b;
  for (int i = 0; i < 12; i++) b.vertex(-0.9f + 0.15f * i, (i % 3) * 0.4f - 0.4f, 0);
  uint32_t red = b.material("red", 1, 0, 0, 1);
  uint32_t green = b.material("green", 0, 1, 0, 1);
  b.group("first", red);
  b.triangle(1, 2, 3);         // group's red
  b.triangle(4, 5, 6, green);  // switches to green
  b.triangle(7, 8, 9);         // keeps green
  b.group("second", red);
  b.triangle(10, 11, 12);  // red again, from the group
  ObxModel* model = b.build();
  auto tris = feedback([&] { obxDraw(model, OBX_COLOR); });
  ASSERT_EQ(tris.size(), 4u);
  // List order: second, first, default.
  const float expectedGreen[] = {0, 0, 1, 1};
  for (size_t i = 0; i < 4; i++) EXPECT_FLOAT_EQ(tris[i][2].g, expectedGreen[i]) << i;
  EXPECT_FLOAT_EQ(tris[0][0].r, 1.0f);
  obxDeleteModel(model);
}

TEST(Draw, smooth_and_flat_normals_reach_gl) {
  resetState();
  ModelBuilder b = twoTriangles();
  uint32_t up = b.normal(0, 1, 0), side = b.normal(1, 0, 0);
  const uint32_t v0[3] = {1, 3, 2}, n0[3] = {up, side, N}, none[3] = {N, N, N};
  b.triangle(v0, n0, none);
  ObxModel* model = b.build();
  normalsAsColours();
  glNormal3f(0, 0, 1);
  auto smooth = feedback([&] { obxDraw(model, OBX_SMOOTH); });
  ASSERT_EQ(smooth.size(), 1u);
  EXPECT_FLOAT_EQ(smooth[0][0].g, 1.0f);  // (0, 1, 0)
  EXPECT_FLOAT_EQ(smooth[0][0].r, 0.0f);
  EXPECT_FLOAT_EQ(smooth[0][1].r, 1.0f);  // (1, 0, 0)
  EXPECT_FLOAT_EQ(smooth[0][2].r, 1.0f);  // no normal: the previous one stays

  // Corners 1, 3, 2 wind counter-clockwise in x-y: the facet normal is +z.
  auto flat = feedback([&] { obxDraw(model, OBX_FLAT); });
  ASSERT_EQ(flat.size(), 1u);
  for (int k = 0; k < 3; k++) {
    EXPECT_FLOAT_EQ(flat[0][k].b, 1.0f);
    EXPECT_FLOAT_EQ(flat[0][k].r + flat[0][k].g, 0.0f);
  }
  lightsOff();
  obxDeleteModel(model);
}

TEST(Draw, texture_coordinates_are_scaled_and_sent_only_with_a_texture) {
  resetState();
  GLuint id = 0;
  glGenTextures(1, &id);
  ModelBuilder b = twoTriangles();
  uint32_t t1 = b.texcoord(0.25f, 0.5f), t2 = b.texcoord(1, 0), t3 = b.texcoord(0.5f, 1);
  int32_t tex = b.texture("wood.png", id);
  uint32_t wood = b.material("wood", 1, 1, 1, 1, tex);
  uint32_t paint = b.material("paint", 1, 1, 1, 1);  // no map
  const uint32_t va[3] = {1, 3, 2}, vb[3] = {4, 6, 5}, t[3] = {t1, t2, t3}, none[3] = {N, N, N};
  b.group("g", wood);
  b.triangle(va, none, t);
  b.triangle(vb, none, t, paint);
  ObxModel* model = b.build();
  model->textures[0].width = 2.0f;
  model->textures[0].height = 4.0f;
  auto tris = feedback([&] { obxDraw(model, OBX_TEXTURE | OBX_MATERIAL); });
  ASSERT_EQ(tris.size(), 2u);
  EXPECT_FLOAT_EQ(tris[0][0].s, 0.5f);
  EXPECT_FLOAT_EQ(tris[0][0].t, 2.0f);
  EXPECT_FLOAT_EQ(tris[0][2].s, 1.0f);
  EXPECT_FLOAT_EQ(tris[0][2].t, 4.0f);
  // The untextured material sends none: the last coordinate stays current.
  for (int k = 0; k < 3; k++) EXPECT_FLOAT_EQ(tris[1][k].s, 1.0f);
  GLint bound = -1;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(bound, 0);  // the paint material unbound the wood texture
  EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
  GLint envMode = 0;
  glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &envMode);
  EXPECT_EQ(envMode, GL_MODULATE);
  EXPECT_FALSE(glIsEnabled(GL_COLOR_MATERIAL));
  obxDeleteModel(model);
  glDeleteTextures(1, &id);
}

TEST(Draw, texture_mode_without_materials_draws_untextured) {
  resetState();
  ModelBuilder b = twoTriangles();
  uint32_t t1 = b.texcoord(0.25f, 0.5f);
  const uint32_t v[3] = {1, 3, 2}, t[3] = {t1, t1, t1}, none[3] = {N, N, N};
  b.triangle(v, none, t);
  ObxModel* model = b.build();
  std::vector<FbTriangle> tris;
  testing::internal::CaptureStderr();
  tris = feedback([&] { obxDraw(model, OBX_TEXTURE); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(tris.size(), 1u);
  EXPECT_FLOAT_EQ(tris[0][0].s, 9.0f);
  obxDeleteModel(model);
}

TEST(Draw, mode_fixups_warn_in_order) {
  resetState();
  const std::string W = "OBX: Warning: obxDraw() warning: ";
  ModelBuilder bare = twoTriangles();
  bare.triangle(1, 3, 2);
  ModelBuilder rich = twoTriangles();
  rich.normal(0, 0, 1);
  rich.texcoord(0, 0);
  rich.material("m", 1, 1, 1, 1);
  rich.triangle(1, 3, 2);
  struct Case {
    const char* what;
    ModelBuilder* builder;
    bool facets;
    GLuint mode;
    std::string expected;
  } cases[] = {
      {"nothing asked", &bare, true, OBX_NONE, ""},
      {"flat without facets", &bare, false, OBX_FLAT,
       W + "flat render mode requested with no facet normals defined.\n"},
      {"smooth without normals", &bare, true, OBX_SMOOTH,
       W + "smooth render mode requested with no normals defined.\n"},
      {"texture without texcoords", &bare, true, OBX_TEXTURE,
       W + "texture render mode requested with no texture coordinates defined.\n"},
      {"flat and smooth", &rich, true, OBX_FLAT | OBX_SMOOTH,
       W + "flat render mode requested and smooth render mode requested (using smooth).\n"},
      {"flat and smooth without normals", &bare, true, OBX_FLAT | OBX_SMOOTH,
       W + "smooth render mode requested with no normals defined.\n"},
      {"color without materials", &bare, true, OBX_COLOR,
       W + "color render mode requested with no materials defined.\n"},
      {"material without materials", &bare, true, OBX_MATERIAL,
       W + "material render mode requested with no materials defined.\n"},
      {"color and material", &rich, true, OBX_COLOR | OBX_MATERIAL,
       W + "color and material render mode requested using only material mode.\n"},
      {"everything on a bare model", &bare, false, 0x3F,
       W + "flat render mode requested with no facet normals defined.\n" + W +
           "smooth render mode requested with no normals defined.\n" + W +
           "texture render mode requested with no texture coordinates defined.\n" + W +
           "color render mode requested with no materials defined.\n" + W +
           "material render mode requested with no materials defined.\n"},
  };
  for (const Case& c : cases) {
    ObxModel* model = c.builder->build(c.facets);
    EXPECT_EQ(drawCapturingStderr(model, c.mode), c.expected) << c.what;
    obxDeleteModel(model);
  }
  GLint twoSided = -1;
  glGetIntegerv(GL_LIGHT_MODEL_TWO_SIDE, &twoSided);
  EXPECT_EQ(twoSided, 1);  // the last case asked for OBX_TWO_SIDED
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST(Draw, color_and_material_draws_with_materials_only) {
  resetState();
  ModelBuilder b = twoTriangles();
  b.group("g", b.material("green", 0, 1, 0, 1));
  b.triangle(1, 3, 2);
  ObxModel* model = b.build();
  glColor3f(0.5f, 0.5f, 0.5f);
  testing::internal::CaptureStderr();
  auto tris = feedback([&] { obxDraw(model, OBX_COLOR | OBX_MATERIAL); });
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(tris.size(), 1u);
  EXPECT_FLOAT_EQ(tris[0][0].g, 0.5f);  // no glColor from the material
  GLfloat diffuse[4];
  glGetMaterialfv(GL_FRONT, GL_DIFFUSE, diffuse);
  EXPECT_FLOAT_EQ(diffuse[1], 1.0f);
  EXPECT_FALSE(glIsEnabled(GL_COLOR_MATERIAL));
  obxDeleteModel(model);
}

TEST(Draw, vertex_colours_lines_and_points_reach_gl) {
  resetState();
  ostrel_test::TempDir dir;
  ObxModel* model = obxReadOBJ(
      dir.write("lines.obj",
                "v 0 0 0 1 0 0\nv 0.5 0 0 0 1 0\nv 0 0.5 0 0 0 1\nf 1 2 3\nl 1 2 3\np 2\n")
          .c_str());
  std::vector<GLfloat> buffer(1024);
  glFeedbackBuffer(GLsizei(buffer.size()), GL_3D_COLOR, buffer.data());
  glRenderMode(GL_FEEDBACK);
  obxDraw(model, OBX_COLOR);
  const GLint count = glRenderMode(GL_RENDER);
  // What GL received, as token letters, and the colour of each vertex.
  std::string kinds, colours;
  for (GLint i = 0; i < count;) {
    const GLint token = GLint(buffer[size_t(i++)]);
    GLint vertices = 1;
    if (token == GL_POLYGON_TOKEN) vertices = GLint(buffer[size_t(i++)]);
    if (token == GL_LINE_TOKEN || token == GL_LINE_RESET_TOKEN) vertices = 2;
    kinds += token == GL_POLYGON_TOKEN ? 'f' : token == GL_POINT_TOKEN ? 'p' : 'l';
    for (GLint k = 0; k < vertices; k++, i += 7)
      for (int c = 3; c < 6; c++) colours += buffer[size_t(i + c)] > 0.5f ? '1' : '0';
    colours += ' ';
  }
  EXPECT_EQ(kinds, "fllp");
  EXPECT_EQ(colours, "100010001 100010 010001 010 ");
  obxDeleteModel(model);
}

TEST(Draw, shininess_beyond_gl_range_reaches_gl_clamped) {
  // Ns 120 reads as 153.6; GL refuses that and would keep the last value.
  resetState();
  for (float stored : {153.6f, -5.0f}) {
    ModelBuilder b = twoTriangles();
    b.group("g", b.material("shiny", 1, 1, 1, 1));
    b.triangle(1, 3, 2);
    ObxModel* model = b.build();
    model->materials[1].shininess = stored;
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 50.0f);
    testing::internal::CaptureStderr();
    feedback([&] { obxDraw(model, OBX_MATERIAL); });
    testing::internal::GetCapturedStderr();
    GLfloat shininess = -1;
    glGetMaterialfv(GL_FRONT, GL_SHININESS, &shininess);
    EXPECT_EQ(shininess, stored > 0 ? 128.0f : 0.0f) << stored;
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    obxDeleteModel(model);
  }
}

TEST(Draw, display_list_replays_the_same_triangles) {
  resetState();
  ModelBuilder b = twoTriangles();
  uint32_t n = b.normal(0, 0, 1);
  uint32_t t = b.texcoord(0.5f, 0.25f);
  int32_t tex = b.texture("t.ppm", 0);
  const uint32_t v0[3] = {1, 3, 2}, v1[3] = {4, 6, 5}, ns[3] = {n, n, n}, ts[3] = {t, t, t};
  b.group("a", b.material("red", 1, 0, 0, 1, tex));
  b.triangle(v0, ns, ts);
  b.group("b", b.material("glass", 0, 0, 1, 0.25f, tex));
  b.triangle(v1, ns, ts);
  b.group("empty");  // no triangles: an empty begin/end pair
  ObxModel* model = b.build();
  const GLuint mode = OBX_SMOOTH | OBX_TEXTURE | OBX_COLOR;
  auto direct = feedback([&] { obxDraw(model, mode); });
  GLuint list = obxDrawList(model, mode);
  ASSERT_NE(list, 0u);
  auto replayed = feedback([&] { glCallList(list); });
  ASSERT_EQ(direct.size(), 2u);
  ASSERT_EQ(replayed.size(), direct.size());
  for (size_t i = 0; i < direct.size(); i++)
    for (int k = 0; k < 3; k++) {
      EXPECT_FLOAT_EQ(replayed[i][k].x, direct[i][k].x);
      EXPECT_FLOAT_EQ(replayed[i][k].b, direct[i][k].b);
      EXPECT_FLOAT_EQ(replayed[i][k].s, direct[i][k].s);
    }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  glDeleteLists(list, 1);
  obxDeleteModel(model);
}

TEST(DrawDeathTest, out_of_range_indices_are_reported_with_their_condition) {
  struct Case {
    uint32_t vertex, normal, texcoord;
    const char* condition;
  } cases[] = {
      {7, N, N,
       "triangle->vindices\\[j\\] >= 1 && triangle->vindices\\[j\\] <= model->numvertices"},
      {0, N, N, "triangle->vindices\\[j\\] >= 1"},
      {1, 2, N, "triangle->nindices\\[j\\] >= 1 && triangle->nindices\\[j\\] <= model->numnormals"},
      {1, N, 3,
       "triangle->tindices\\[j\\] >= 1 && triangle->tindices\\[j\\] <= model->numtexcoords"},
  };
  for (const Case& c : cases) {
    ModelBuilder b = twoTriangles();
    b.normal(0, 0, 1);
    b.texcoord(0, 0);
    b.group("g", b.material("m", 1, 1, 1, 1, b.texture("t", 0)));
    const uint32_t v[3] = {1, 2, c.vertex}, n[3] = {1, 1, c.normal}, t[3] = {1, 1, c.texcoord};
    b.triangle(v, n, t);
    ObxModel* model = b.build(false);
    EXPECT_DEATH(
        {
          resetState();
          obxDraw(model, OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL);
        },
        c.condition);
    obxDeleteModel(model);
  }
  // Flat drawing reads the facet normal by findex, which may be "none".
  ModelBuilder b = twoTriangles();
  b.group("g");
  b.triangle(1, 2, 3);
  ObxModel* model = b.build();
  model->triangles[0].findex = N;
  EXPECT_DEATH(
      {
        resetState();
        obxDraw(model, OBX_FLAT);
      },
      "triangle->findex >= 1 && triangle->findex <= model->numfacetnorms");
  obxDeleteModel(model);
}

}  // namespace
