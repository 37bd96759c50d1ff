// Facet and vertex normals of obx, on small meshes built by hand.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <functional>
#include <vector>

#include "obx/obx.h"

namespace {

using Corners = std::array<uint32_t, 3>;
using Vec3 = std::array<float, 3>;

// A model as the reader leaves it: 1-based vertex array with an empty
// element 0, every triangle in the group "default", no normals yet, facet
// normals computed.
ObxModel* makeModel(const std::vector<Vec3>& positions, const std::vector<Corners>& faces) {
  ObxModel* model = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
  model->path = strdup("hand-made.obj");
  model->numvertices = uint32_t(positions.size());
  model->vertices = static_cast<float*>(calloc(3 * (positions.size() + 1), sizeof(float)));
  for (size_t i = 0; i < positions.size(); i++)
    memcpy(&model->vertices[3 * (i + 1)], positions[i].data(), 3 * sizeof(float));
  model->numtriangles = uint32_t(faces.size());
  model->triangles = static_cast<ObxTriangle*>(calloc(faces.size() + 1, sizeof(ObxTriangle)));
  ObxGroup* group = static_cast<ObxGroup*>(calloc(1, sizeof(ObxGroup)));
  group->name = strdup("default");
  group->numtriangles = uint32_t(faces.size());
  group->triangles = static_cast<uint32_t*>(calloc(faces.size() + 1, sizeof(uint32_t)));
  for (size_t i = 0; i < faces.size(); i++) {
    ObxTriangle* t = &model->triangles[i];
    for (int j = 0; j < 3; j++) {
      t->vindices[j] = faces[i][j];
      t->nindices[j] = OBX_NO_INDEX;
      t->tindices[j] = OBX_NO_INDEX;
    }
    t->findex = OBX_NO_INDEX;
    group->triangles[i] = uint32_t(i);
  }
  model->groups = group;
  model->numgroups = 1;
  obxComputeFacetNormals(model);
  return model;
}

Vec3 normalAt(const ObxModel* model, uint32_t index) {
  const float* n = &model->normals[3 * size_t(index)];
  return {n[0], n[1], n[2]};
}

Vec3 facetOf(const ObxModel* model, uint32_t triangle) {
  const float* n = &model->facetnorms[3 * size_t(model->triangles[triangle].findex)];
  return {n[0], n[1], n[2]};
}

// The plain smooth normal: the normalised sum of the facet normals of every
// corner that names the vertex.
std::vector<Vec3> plainSmoothNormals(const ObxModel* model) {
  std::vector<Vec3> sums(model->numvertices + 1, Vec3{0, 0, 0});
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    Vec3 f = facetOf(model, i);
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 3; k++) sums[model->triangles[i].vindices[j]][k] += f[k];
  }
  for (Vec3& s : sums) {
    float length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    if (length > 0)
      for (float& c : s) c /= length;
  }
  return sums;
}

// Whether actual is (x, y, z) within 1e-6 per component.
testing::AssertionResult near(const Vec3& actual, double x, double y, double z) {
  const double expected[3] = {x, y, z};
  for (int k = 0; k < 3; k++)
    if (!(std::fabs(actual[k] - expected[k]) <= 1e-6))
      return testing::AssertionFailure()
             << "(" << actual[0] << ", " << actual[1] << ", " << actual[2] << ") != (" << x << ", "
             << y << ", " << z << ")";
  return testing::AssertionSuccess();
}
#define EXPECT_VEC_NEAR(actual, x, y, z) EXPECT_TRUE(near((actual), (x), (y), (z)))

//    7------8        y
//   /|     /|        |
//  3------4 |        +-- x
//  | 5----|-6       /
//  |/     |/       z (towards the viewer)
//  1------2
// Unit cube, faces wound counter-clockwise seen from outside.
const std::vector<Vec3> kCube = {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1},
                                 {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
const std::vector<Corners> kCubeFaces = {
    {1, 2, 4}, {1, 4, 3},  // front  +z
    {6, 5, 7}, {6, 7, 8},  // back   -z
    {2, 6, 8}, {2, 8, 4},  // right  +x
    {5, 1, 3}, {5, 3, 7},  // left   -x
    {3, 4, 8}, {3, 8, 7},  // top    +y
    {5, 6, 2}, {5, 2, 1},  // bottom -y
};

TEST(Vectors, cross_dot_and_normalize) {
  const float x[3] = {1, 0, 0}, y[3] = {0, 1, 0};
  float n[3];
  obxCrossProduct(x, y, n);
  EXPECT_EQ(n[0], 0.0f);
  EXPECT_EQ(n[1], 0.0f);
  EXPECT_EQ(n[2], 1.0f);
  const float u[3] = {1, 2, 3}, v[3] = {4, 5, 6};
  obxCrossProduct(u, v, n);  // (2*6-3*5, 3*4-1*6, 1*5-2*4)
  EXPECT_EQ(n[0], -3.0f);
  EXPECT_EQ(n[1], 6.0f);
  EXPECT_EQ(n[2], -3.0f);
  EXPECT_EQ(obxDotProduct(u, v), 32.0f);
  float w[3] = {3, 0, -4};
  obxNormalizeVector(w);
  EXPECT_FLOAT_EQ(w[0], 0.6f);
  EXPECT_FLOAT_EQ(w[1], 0.0f);
  EXPECT_FLOAT_EQ(w[2], -0.8f);
}

TEST(FacetNormals, ccw_triangle_points_to_the_viewer) {
  // Counter-clockwise in the xy plane, seen from +z.
  ObxModel* model = makeModel({{0, 0, 0}, {2, 0, 0}, {0, 2, 0}}, {{1, 2, 3}});
  EXPECT_EQ(model->numfacetnorms, 1u);
  EXPECT_EQ(model->triangles[0].findex, 1u);
  EXPECT_VEC_NEAR(facetOf(model, 0), 0, 0, 1);
  obxDeleteModel(model);
}

TEST(FacetNormals, rebuild_after_a_change_rewrites_every_findex) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  ASSERT_EQ(model->numfacetnorms, 12u);
  for (uint32_t i = 0; i < 12; i++) model->triangles[i].findex = OBX_NO_INDEX;
  // Push vertex 4 forward: the front face's first triangle tilts.
  model->vertices[3 * 4 + 2] = 2;
  obxComputeFacetNormals(model);
  for (uint32_t i = 0; i < 12; i++) EXPECT_EQ(model->triangles[i].findex, i + 1);
  // Triangle (1,2,4): u = (1,0,0), v = (1,1,1); u x v = (0,-1,1).
  EXPECT_VEC_NEAR(facetOf(model, 0), 0, -std::sqrt(0.5f), std::sqrt(0.5f));
  EXPECT_VEC_NEAR(facetOf(model, 2), 0, 0, -1);
  obxDeleteModel(model);
}

TEST(FacetNormals, no_triangles_gives_an_empty_table) {
  ObxModel* model = makeModel({{0, 0, 0}}, {});
  EXPECT_EQ(model->numfacetnorms, 0u);
  EXPECT_NE(model->facetnorms, nullptr);
  obxDeleteModel(model);
}

TEST(VertexNormals, cube_at_90_gives_one_normal_per_corner) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  testing::internal::CaptureStderr();
  obxVertexNormals(model, 90, GL_FALSE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Perpendicular faces are inside 90 degrees: one normal per vertex, stored
  // in vertex order.
  ASSERT_EQ(model->numnormals, 8u);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++)
      EXPECT_EQ(model->triangles[i].nindices[j], model->triangles[i].vindices[j]);
  std::vector<Vec3> expected = plainSmoothNormals(model);
  for (uint32_t v = 1; v <= 8; v++) {
    Vec3 n = normalAt(model, v);
    EXPECT_VEC_NEAR(n, expected[v][0], expected[v][1], expected[v][2]) << "vertex " << v;
    // It points away from the cube's centre along every axis.
    for (int k = 0; k < 3; k++)
      EXPECT_GT(n[k] * (kCube[v - 1][k] - 0.5f), 0.0f) << "vertex " << v << " axis " << k;
  }
  obxDeleteModel(model);
}

TEST(VertexNormals, cube_at_45_keeps_faces_apart) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  obxVertexNormals(model, 45, GL_FALSE);
  // Every corner's normal is its own face's normal.
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    Vec3 f = facetOf(model, i);
    for (int j = 0; j < 3; j++) {
      uint32_t n = model->triangles[i].nindices[j];
      ASSERT_GE(n, 1u);
      ASSERT_LE(n, model->numnormals);
      EXPECT_VEC_NEAR(normalAt(model, n), f[0], f[1], f[2]) << "triangle " << i;
    }
  }
  // Vertex 1 lies in triangles 0, 1 (front), 6, 11 (left, bottom); the
  // reference is triangle 11. Its average comes first (1), then triangle 6
  // (2) and the two front triangles (3, 4) each get their own copy.
  EXPECT_EQ(model->triangles[11].nindices[2], 1u);
  EXPECT_EQ(model->triangles[6].nindices[1], 2u);
  EXPECT_EQ(model->triangles[1].nindices[0], 3u);
  EXPECT_EQ(model->triangles[0].nindices[0], 4u);
  obxDeleteModel(model);
}

TEST(VertexNormals, closed_mesh_at_180_matches_plain_smoothing) {
  // A torus of 12 x 8 quads: every vertex in six triangles, no two facets
  // opposite.
  const int rings = 12, sides = 8;
  std::vector<Vec3> positions;
  std::vector<Corners> faces;
  for (int r = 0; r < rings; r++)
    for (int s = 0; s < sides; s++) {
      double a = 2 * M_PI * r / rings, b = 2 * M_PI * s / sides;
      positions.push_back({float((2 + std::cos(b)) * std::cos(a)),
                           float((2 + std::cos(b)) * std::sin(a)), float(std::sin(b))});
    }
  auto index = [&](int r, int s) { return uint32_t((r % rings) * sides + (s % sides) + 1); };
  for (int r = 0; r < rings; r++)
    for (int s = 0; s < sides; s++) {
      faces.push_back({index(r, s), index(r + 1, s), index(r + 1, s + 1)});
      faces.push_back({index(r, s), index(r + 1, s + 1), index(r, s + 1)});
    }
  ObxModel* model = makeModel(positions, faces);
  obxVertexNormals(model, 180, GL_FALSE);
  ASSERT_EQ(model->numnormals, model->numvertices);
  std::vector<Vec3> expected = plainSmoothNormals(model);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++) {
      uint32_t v = model->triangles[i].vindices[j];
      ASSERT_EQ(model->triangles[i].nindices[j], v);
      Vec3 n = normalAt(model, v);
      EXPECT_NEAR(n[0], expected[v][0], 1e-5);
      EXPECT_NEAR(n[1], expected[v][1], 1e-5);
      EXPECT_NEAR(n[2], expected[v][2], 1e-5);
    }
  obxDeleteModel(model);
}

TEST(VertexNormals, exactly_opposite_facet_keeps_its_own_normal_at_180) {
  // The same triangle twice, wound both ways: normals +z and -z, dot -1.
  ObxModel* model = makeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}, {1, 3, 2}});
  obxVertexNormals(model, 180, GL_FALSE);
  // Per vertex: the reference (triangle 1) average first, then triangle 0's
  // own facet normal.
  ASSERT_EQ(model->numnormals, 6u);
  const ObxTriangle* t = model->triangles;
  EXPECT_EQ(t[1].nindices[0], 1u);
  EXPECT_EQ(t[0].nindices[0], 2u);
  EXPECT_EQ(t[0].nindices[1], 4u);  // vertex 2
  EXPECT_EQ(t[1].nindices[2], 3u);
  EXPECT_EQ(t[1].nindices[1], 5u);  // vertex 3
  EXPECT_EQ(t[0].nindices[2], 6u);
  for (uint32_t n = 1; n <= 6; n += 2) {
    EXPECT_VEC_NEAR(normalAt(model, n), 0, 0, -1);
    EXPECT_VEC_NEAR(normalAt(model, n + 1), 0, 0, 1);
  }
  obxDeleteModel(model);
}

// Three triangles around vertex 1, tilted about the x axis by the given
// angles (degrees); their other corners are vertices of their own.
ObxModel* makeFan(const std::vector<double>& tilts) {
  std::vector<Vec3> positions = {{0, 0, 0}};
  std::vector<Corners> faces;
  for (double tilt : tilts) {
    double r = tilt * M_PI / 180;
    // (1,0,0) x (0,cos,sin) = (0,-sin,cos)
    positions.push_back({1, 0, 0});
    positions.push_back({0, float(std::cos(r)), float(std::sin(r))});
    uint32_t n = uint32_t(positions.size());
    faces.push_back({1, n - 1, n});
  }
  return makeModel(positions, faces);
}

TEST(VertexNormals, crease_is_measured_from_the_reference_triangle) {
  // Triangles at +40 and -40 degrees differ by 80 but both lie within 45 of
  // the reference (the last triangle, flat): all three share one normal.
  ObxModel* model = makeFan({40, -40, 0});
  obxVertexNormals(model, 45, GL_FALSE);
  const ObxTriangle* t = model->triangles;
  EXPECT_EQ(t[0].nindices[0], 1u);
  EXPECT_EQ(t[1].nindices[0], 1u);
  EXPECT_EQ(t[2].nindices[0], 1u);
  EXPECT_VEC_NEAR(normalAt(model, 1), 0, 0, 1);
  EXPECT_EQ(model->numnormals, 7u);  // one at vertex 1, one at each of six others
  obxDeleteModel(model);

  // With the +40 triangle as reference, the -40 one is 80 degrees away.
  model = makeFan({-40, 0, 40});
  obxVertexNormals(model, 45, GL_FALSE);
  t = model->triangles;
  EXPECT_EQ(t[2].nindices[0], 1u);
  EXPECT_EQ(t[1].nindices[0], 1u);
  EXPECT_EQ(t[0].nindices[0], 2u);
  Vec3 own = facetOf(model, 0);
  EXPECT_VEC_NEAR(normalAt(model, 2), own[0], own[1], own[2]);
  double r = 20 * M_PI / 180;  // halfway between 0 and 40
  EXPECT_VEC_NEAR(normalAt(model, 1), 0, -std::sin(r), std::cos(r));
  obxDeleteModel(model);
}

TEST(VertexNormals, unused_vertex_is_warned_about_and_gets_no_normal) {
  ObxModel* model = makeModel({{0, 0, 0}, {1, 0, 0}, {5, 5, 5}, {0, 1, 0}, {7, 7, 7}}, {{1, 2, 4}});
  testing::internal::CaptureStderr();
  obxVertexNormals(model, 180, GL_FALSE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxVertexNormals(): vertex 3 w/o a triangle\n"
            "OBX: Warning: obxVertexNormals(): vertex 5 w/o a triangle\n");
  EXPECT_EQ(model->numnormals, 3u);
  EXPECT_EQ(model->triangles[0].nindices[0], 1u);
  EXPECT_EQ(model->triangles[0].nindices[1], 2u);
  EXPECT_EQ(model->triangles[0].nindices[2], 3u);
  obxDeleteModel(model);
}

TEST(VertexNormals, keep_without_normals_grows_by_1000_silently) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  ASSERT_EQ(model->normals, nullptr);
  testing::internal::CaptureStderr();
  obxVertexNormals(model, 180, GL_TRUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(model->numnormals, 8u);
  std::vector<Vec3> expected = plainSmoothNormals(model);
  for (uint32_t v = 1; v <= 8; v++)
    EXPECT_VEC_NEAR(normalAt(model, v), expected[v][0], expected[v][1], expected[v][2]);
  obxDeleteModel(model);
}

TEST(VertexNormals, keep_growth_for_own_facet_normals_is_silent) {
  // Forty separate flat triangles at angle 0: nothing passes the strict test
  // (dot 1 is not above cos 0), so each of the 120 corners gets its own
  // facet normal, and the capacity grows 0 -> 100 -> 200.
  std::vector<Vec3> positions;
  std::vector<Corners> faces;
  for (uint32_t i = 0; i < 40; i++) {
    positions.push_back({float(i), 0, 0});
    positions.push_back({float(i) + 1, 0, 0});
    positions.push_back({float(i), 1, 0});
    faces.push_back({3 * i + 1, 3 * i + 2, 3 * i + 3});
  }
  ObxModel* model = makeModel(positions, faces);
  testing::internal::CaptureStderr();
  obxVertexNormals(model, 0, GL_TRUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(model->numnormals, 120u);
  for (uint32_t i = 0; i < 40; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(model->triangles[i].nindices[j], 3 * i + j + 1);
  EXPECT_VEC_NEAR(normalAt(model, 120), 0, 0, 1);
  obxDeleteModel(model);
}

// Gives model normals 1..count, (10*i, 0, 0) each.
void giveNormals(ObxModel* model, uint32_t count) {
  model->numnormals = count;
  model->normals = static_cast<float*>(calloc(3 * (count + 1), sizeof(float)));
  for (uint32_t i = 1; i <= count; i++) model->normals[3 * i] = 10.0f * float(i);
}

TEST(VertexNormals, keep_fills_only_corners_without_a_normal) {
  ObxModel* model = makeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}});
  giveNormals(model, 2);
  model->triangles[0].nindices[0] = 2;
  model->triangles[0].nindices[2] = 1;
  obxVertexNormals(model, 180, GL_TRUE);
  ASSERT_EQ(model->numnormals, 3u);
  EXPECT_EQ(model->triangles[0].nindices[0], 2u);
  EXPECT_EQ(model->triangles[0].nindices[1], 3u);
  EXPECT_EQ(model->triangles[0].nindices[2], 1u);
  EXPECT_VEC_NEAR(normalAt(model, 1), 10, 0, 0);
  EXPECT_VEC_NEAR(normalAt(model, 2), 20, 0, 0);
  EXPECT_VEC_NEAR(normalAt(model, 3), 0, 0, 1);
  obxDeleteModel(model);
}

TEST(VertexNormals, keep_with_every_corner_set_adds_nothing) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  giveNormals(model, 5);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++) model->triangles[i].nindices[j] = (i + j) % 5 + 1;
  testing::internal::CaptureStderr();
  obxVertexNormals(model, 180, GL_TRUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(model->numnormals, 5u);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++) EXPECT_EQ(model->triangles[i].nindices[j], (i + j) % 5 + 1);
  for (uint32_t n = 1; n <= 5; n++) EXPECT_VEC_NEAR(normalAt(model, n), 10.0f * n, 0, 0);
  obxDeleteModel(model);
}

TEST(VertexNormals, without_keep_replaces_earlier_normals_and_indices) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  // Indices of an earlier, larger normal table are simply overwritten.
  giveNormals(model, 500);
  for (uint32_t i = 0; i < model->numtriangles; i++) model->triangles[i].nindices[1] = 400;
  obxVertexNormals(model, 45, GL_FALSE);
  EXPECT_GT(model->numnormals, 8u);
  obxVertexNormals(model, 90, GL_FALSE);
  EXPECT_EQ(model->numnormals, 8u);
  for (uint32_t i = 0; i < model->numtriangles; i++)
    for (int j = 0; j < 3; j++)
      EXPECT_EQ(model->triangles[i].nindices[j], model->triangles[i].vindices[j]);
  obxDeleteModel(model);
}

TEST(VertexNormals, triangle_without_facet_normal_loses_its_normals) {
  ObxModel* model = makeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}});
  model->triangles[0].findex = OBX_NO_INDEX;
  for (int j = 0; j < 3; j++) model->triangles[0].nindices[j] = 7;
  obxVertexNormals(model, 180, GL_FALSE);
  EXPECT_EQ(model->numnormals, 0u);
  for (int j = 0; j < 3; j++) EXPECT_EQ(model->triangles[0].nindices[j], OBX_NO_INDEX);
  ASSERT_NE(model->normals, nullptr);
  obxDeleteModel(model);
}

bool finite(const Vec3& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Triangles without an area get the facet normal (0, 0, 0), take part in no
// average and change nothing for their neighbours, wherever they are in the
// file; tiny and huge triangles get their true unit normal.
TEST(VertexNormals, triangles_without_area_change_nothing_and_every_normal_is_finite) {
  const std::vector<Vec3> fan = {{0, 0, 0}, {1, 0, .2f}, {0, 1, .2f}, {-1, 0, .2f}, {0, -1, .2f}};
  struct Case {
    const char* name;
    std::vector<Vec3> positions;
    std::vector<Corners> faces;
    Vec3 atFirstCorner;  // vertex normal of the first face's first corner
  } cases[] = {
      {"flat one last", fan, {{1, 2, 3}, {1, 3, 4}, {1, 4, 5}, {1, 5, 2}, {1, 1, 2}}, {0, 0, 1}},
      {"flat one first", fan, {{1, 1, 2}, {1, 2, 3}, {1, 3, 4}, {1, 4, 5}, {1, 5, 2}}, {0, 0, 1}},
      {"collinear, alone", {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, {{1, 2, 3}}, {0, 0, 0}},
      {"tiny", {{0, 0, 0}, {1e-12f, 0, 0}, {0, 1e-12f, 0}}, {{1, 2, 3}}, {0, 0, 1}},
      {"huge", {{-1e38f, 0, 0}, {1e38f, 0, 0}, {0, 0, 3e38f}}, {{1, 2, 3}}, {0, -1, 0}},
      {"not finite", {{NAN, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ObxModel* model = makeModel(c.positions, c.faces);
    for (uint32_t i = 0; i < model->numtriangles; i++) EXPECT_TRUE(finite(facetOf(model, i)));
    obxVertexNormals(model, 90, GL_FALSE);
    for (uint32_t i = 1; i <= model->numnormals; i++) EXPECT_TRUE(finite(normalAt(model, i))) << i;
    const Vec3 n = normalAt(model, model->triangles[0].nindices[0]);
    EXPECT_VEC_NEAR(n, c.atFirstCorner[0], c.atFirstCorner[1], c.atFirstCorner[2]);
    obxDeleteModel(model);
  }
}

// Angles past 180 degrees act as 180 (the cosine would wrap: 270 as 90).
TEST(VertexNormals, crease_angles_are_clamped_to_180) {
  ObxModel* model = makeModel(kCube, kCubeFaces);
  obxVertexNormals(model, 180, GL_FALSE);
  const uint32_t at180 = model->numnormals;
  for (float angle : {270.0f, 360.0f, 1e30f}) {
    obxVertexNormals(model, angle, GL_FALSE);
    EXPECT_EQ(model->numnormals, at180) << angle;
  }
  obxDeleteModel(model);
}

TEST(VertexNormalsDeathTest, preconditions_name_the_condition) {
  EXPECT_DEATH(obxVertexNormals(nullptr, 180, GL_FALSE), "Assertion `model' failed");
  EXPECT_DEATH(obxComputeFacetNormals(nullptr), "Assertion `model' failed");
  ObxModel* model = makeModel({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}});
  float* facetnorms = model->facetnorms;
  model->facetnorms = nullptr;
  EXPECT_DEATH(obxVertexNormals(model, 180, GL_FALSE), "Assertion `model->facetnorms' failed");
  model->facetnorms = facetnorms;
  float* vertices = model->vertices;
  model->vertices = nullptr;
  EXPECT_DEATH(obxComputeFacetNormals(model), "Assertion `model->vertices' failed");
  model->vertices = vertices;
  model->triangles[0].vindices[1] = 4;
  EXPECT_DEATH(obxVertexNormals(model, 180, GL_FALSE),
               "Assertion `T\\(i\\)\\.vindices\\[1\\] <= model->numvertices' failed");
  model->triangles[0].vindices[1] = 2;
  model->triangles[0].nindices[2] = 9;
  EXPECT_DEATH(obxVertexNormals(model, 180, GL_TRUE),
               "Assertion `T\\(i\\)\\.nindices\\[j\\] == OBX_NO_INDEX \\|\\| "
               "T\\(i\\)\\.nindices\\[j\\] <= model->numnormals' failed");
  obxDeleteModel(model);
}

}  // namespace

TEST(SmoothingGroupNormals, corners_share_a_normal_only_within_one_group) {
  // The cube's twelve triangles, two a face: in one group, in a group a
  // face, and in none.
  const struct {
    const char* what;
    std::function<uint32_t(uint32_t)> group;  // of triangle i, 0 for none
    uint32_t normals;
  } rows[] = {
      {"one group", [](uint32_t) { return 1u; }, 8},
      {"a group a face", [](uint32_t i) { return i / 2 + 1; }, 24},
      {"none", [](uint32_t) { return 0u; }, 36},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ObxModel* model = makeModel(kCube, kCubeFaces);
    model->smoothing = static_cast<uint32_t*>(malloc(model->numtriangles * sizeof(uint32_t)));
    for (uint32_t i = 0; i < model->numtriangles; i++) model->smoothing[i] = row.group(i);
    obxSmoothingGroupNormals(model, GL_FALSE);
    EXPECT_EQ(model->numnormals, row.normals);
    const std::vector<Vec3> smooth = plainSmoothNormals(model);
    for (uint32_t i = 0; i < model->numtriangles; i++)
      for (int j = 0; j < 3; j++) {
        const Vec3 n = normalAt(model, model->triangles[i].nindices[j]);
        const float* f = &model->facetnorms[3 * model->triangles[i].findex];
        const uint32_t v = model->triangles[i].vindices[j];
        if (row.normals == 8)
          EXPECT_VEC_NEAR(n, smooth[v][0], smooth[v][1], smooth[v][2]) << i << " " << j;
        else
          EXPECT_VEC_NEAR(n, f[0], f[1], f[2]) << i << " " << j;  // hard edges
      }
    obxDeleteModel(model);
  }
}
