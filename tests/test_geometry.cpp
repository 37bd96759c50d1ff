// Geometry utilities: extent, fitting, scaling, winding, generated texcoords.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::ModelBuilder;
constexpr uint32_t N = OBX_NO_INDEX;

const float* vertex(const ObxModel* m, uint32_t i) { return &m->vertices[3 * i]; }

TEST(Geometry, dimensions_add_the_absolute_extremes) {
  ModelBuilder b;
  b.vertex(2, -1, 0);
  b.vertex(3, 1, 4);
  ObxModel* m = b.build(false);
  float d[3];
  obxDimensions(m, d);
  EXPECT_EQ(d[0], 5.0f);  // |3| + |2|, not 3 - 2
  EXPECT_EQ(d[1], 2.0f);
  EXPECT_EQ(d[2], 4.0f);
  obxDeleteModel(m);
}

TEST(Geometry, fit_to_unit_cube_centres_and_scales) {
  ModelBuilder b;
  b.vertex(-1, 0, 0);
  b.vertex(3, 1, 1);
  ObxModel* m = b.build(false);
  EXPECT_EQ(obxFitToUnitCube(m), 0.5f);
  EXPECT_FLOAT_EQ(vertex(m, 2)[0], 1.0f);
  EXPECT_FLOAT_EQ(vertex(m, 2)[1], 0.25f);
  EXPECT_FLOAT_EQ(vertex(m, 2)[2], 0.25f);
  EXPECT_FLOAT_EQ(vertex(m, 1)[0], -1.0f);
  obxDeleteModel(m);
}

// Fitting measures every axis (a model widest on z), leaves out vertices
// that are not finite, and centres a model without size (one point, or no
// vertex at all) without scaling it, returning 0; planar coordinates of
// such a model are all the middle.
TEST(Geometry, fit_measures_every_axis_and_invents_no_nan) {
  struct Case {
    const char* name;
    std::vector<std::array<float, 3>> vertices;
    float scale;
    std::array<float, 3> last;  // the last vertex after fitting
  } cases[] = {
      {"widest on z", {{0, 0, -2}, {1, 1, 6}}, 0.25f, {0.125f, 0.125f, 1}},
      {"not finite first", {{NAN, 0, 0}, {-1, 0, 0}, {3, 1, 1}}, 0.5f, {1, 0.25f, 0.25f}},
      {"one point", {{0, 0, 0}, {0, 0, 0}}, 0.0f, {0, 0, 0}},
      // |max| + |min| gives a point off the origin a size.
      {"one point off the origin", {{5, 5, 5}, {5, 5, 5}}, 0.2f, {0, 0, 0}},
      {"no vertices", {}, 0.0f, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModelBuilder b;
    for (const auto& p : c.vertices) b.vertex(p[0], p[1], p[2]);
    ObxModel* m = b.build(false);
    EXPECT_EQ(obxFitToUnitCube(m), c.scale);
    for (int k = 0; k < 3 && !c.vertices.empty(); k++)
      EXPECT_FLOAT_EQ(vertex(m, m->numvertices)[k], c.last[k]) << k;
    obxPlanarTexcoords(m);
    for (uint32_t i = 1; i <= m->numtexcoords; i++) {
      if (!std::isfinite(vertex(m, i)[0])) continue;
      EXPECT_TRUE(std::isfinite(m->texcoords[2 * i]) && std::isfinite(m->texcoords[2 * i + 1]));
      if (c.scale == 0) {
        EXPECT_EQ(m->texcoords[2 * i], 0.5f);
      }
    }
    float d[3] = {-1, -1, -1};
    obxDimensions(m, d);
    if (c.scale == 0) {
      EXPECT_TRUE(d[0] == 0 && d[1] == 0 && d[2] == 0);
    }
    obxDeleteModel(m);
  }
}

// Vertices near the float limit: the distance from the centre and the
// extent are beyond a float, yet every vertex ends inside the cube, the
// extremes on its faces.
TEST(Geometry, fit_keeps_vertices_near_the_float_limit_inside_the_cube) {
  const float big = 3.4e38f, max = FLT_MAX;
  const std::vector<std::array<float, 3>> models[] = {
      {{-big, 0, 0}, {big, 1, 1}},
      {{-big, -big, -big}, {big, big, big}, {0, 0, 0}},
      {{-max, max, -1}, {max, -max, 1}},
      {{3e38f, 0, 0}, {big, 1, 1}},  // not around 0: |max| + |min| is 2x the span
      {{-max, -max, -max}, {-big, 0, 0}},
  };
  for (const auto& vertices : models) {
    ModelBuilder b;
    for (const auto& p : vertices) b.vertex(p[0], p[1], p[2]);
    ObxModel* m = b.build(false);
    const float scale = obxFitToUnitCube(m);
    EXPECT_GT(scale, 0.0f);
    for (uint32_t i = 1; i <= m->numvertices; i++)
      for (int k = 0; k < 3; k++)
        EXPECT_TRUE(vertex(m, i)[k] >= -1.0f && vertex(m, i)[k] <= 1.0f)
            << vertices[0][0] << ": vertex " << i << " axis " << k << " at " << vertex(m, i)[k];
    obxDeleteModel(m);
  }
}

TEST(Geometry, scale_multiplies_positions_only) {
  ModelBuilder b;
  b.vertex(1, 2, 3);
  b.normal(0, 1, 0);
  ObxModel* m = b.build(false);
  obxScaleModel(m, -2.0f);
  EXPECT_EQ(vertex(m, 1)[0], -2.0f);
  EXPECT_EQ(vertex(m, 1)[2], -6.0f);
  EXPECT_EQ(m->normals[4], 1.0f);
  obxDeleteModel(m);
}

TEST(Geometry, flip_winding_twice_restores_everything) {
  ModelBuilder b;
  for (int i = 0; i < 3; i++) b.vertex(float(i), float(i * i), 1);
  uint32_t n1 = b.normal(0, 0, 1), n2 = b.normal(0, 1, 0);
  uint32_t t1 = b.texcoord(0, 0), t2 = b.texcoord(1, 0);
  const uint32_t v[3] = {1, 2, 3}, n[3] = {n1, n2, N}, t[3] = {t1, t2, t2};
  b.triangle(v, n, t);
  ObxModel* m = b.build();
  ObxTriangle before = m->triangles[0];
  float facet = m->facetnorms[5];
  obxFlipWinding(m);
  EXPECT_EQ(m->triangles[0].vindices[0], 3u);
  EXPECT_EQ(m->triangles[0].nindices[0], N);
  EXPECT_EQ(m->triangles[0].tindices[2], t1);
  EXPECT_EQ(m->facetnorms[5], -facet);
  EXPECT_EQ(m->normals[5], -1.0f);
  obxFlipWinding(m);
  EXPECT_EQ(0, memcmp(&before, &m->triangles[0], sizeof before));
  EXPECT_EQ(m->facetnorms[5], facet);
  EXPECT_EQ(m->normals[5], 1.0f);
  obxDeleteModel(m);
}

TEST(Geometry, flip_winding_leaves_texture_indices_without_texcoords) {
  ModelBuilder b;
  for (int i = 0; i < 3; i++) b.vertex(float(i), 0, float(i * i));
  const uint32_t v[3] = {1, 2, 3}, n[3] = {N, N, N}, t[3] = {7, 8, 9};
  b.triangle(v, n, t);
  ObxModel* m = b.build();
  obxFlipWinding(m);
  EXPECT_EQ(m->triangles[0].tindices[0], 7u);
  EXPECT_EQ(m->triangles[0].nindices[0], N);
  obxDeleteModel(m);
}

TEST(Geometry, planar_texcoords_project_the_xz_plane) {
  ModelBuilder b;
  b.vertex(-1, 0, 1);  // x at -half extent, z at +half extent
  b.vertex(1, 0, -1);
  b.vertex(1, 5, 1);  // y is ignored (but counts in the extent)
  b.triangle(1, 2, 3);
  ObxModel* m = b.build();
  obxPlanarTexcoords(m);
  ASSERT_EQ(m->numtexcoords, 3u);
  // Extent: x 2, y 5, z 2 -> scale 2/5.
  EXPECT_FLOAT_EQ(m->texcoords[2], (-0.4f + 1.0f) / 2.0f);
  EXPECT_FLOAT_EQ(m->texcoords[3], (0.4f + 1.0f) / 2.0f);
  for (int k = 0; k < 3; k++) EXPECT_EQ(m->triangles[0].tindices[k], m->triangles[0].vindices[k]);
  obxDeleteModel(m);
}

TEST(Geometry, sphere_texcoords_table) {
  struct Case {
    float x, y, z, s, t;
  } cases[] = {
      {0, 0, 1, 0.49999994f, 0.5f},  // theta two floats below pi/2
      {1, 0, 0, 0.0f, 0.0f},         // r = 0
      {0, 1, 0, 1.0f, 0.5f},         // asin(1) + pi/2
      {0, -1, 0, 0.0f, 0.5f},
  };
  ModelBuilder b;
  b.vertex(0, 0, 0);
  b.vertex(1, 0, 0);
  b.vertex(0, 1, 0);
  for (const Case& c : cases) b.normal(c.x, c.y, c.z);
  const uint32_t v[3] = {1, 2, 3}, n[3] = {1, 2, 3}, t[3] = {N, N, N};
  b.triangle(v, n, t);
  ObxModel* m = b.build();
  obxSphereTexcoords(m);
  ASSERT_EQ(m->numtexcoords, 4u);
  for (uint32_t i = 0; i < 4; i++) {
    EXPECT_NEAR(m->texcoords[2 * (i + 1)], cases[i].s, 1e-6) << i;
    EXPECT_NEAR(m->texcoords[2 * (i + 1) + 1], cases[i].t, 1e-6) << i;
  }
  EXPECT_EQ(m->triangles[0].tindices[2], 3u);
  obxDeleteModel(m);
}

// Unit normals with a component so small that its square is subnormal or
// gone: the rounded radius can come out below the component, and the
// ratio above 1 gave asin a NaN.
TEST(Geometry, sphere_texcoords_of_tiny_components_are_finite) {
  struct Case {
    float x, y, z, s, t;
  } cases[] = {
      {1, -1e-20f, 0, 0.0f, 0.0f},          {1, 1e-20f, 0, 1.0f, 0.0f},
      {-1, -1e-20f, 0, 0.0f, 1.0f},         {1e-20f, 0, 1, 0.49999994f, 0.5f},
      {0, 1e-20f, 1, 0.5f, 0.5f},           {1, -1e-30f, 0, 0.0f, 0.0f},  // the square gone: r = 0
      {1, 2e-19f, 1e-19f, 0.852416f, 0.0f},  // asin(2 / sqrt 5), still exact
  };
  ModelBuilder b;
  b.vertex(0, 0, 0);
  for (const Case& c : cases) b.normal(c.x, c.y, c.z);
  ObxModel* m = b.build(false);
  obxSphereTexcoords(m);
  ASSERT_EQ(m->numtexcoords, std::size(cases));
  for (uint32_t i = 0; i < m->numtexcoords; i++) {
    EXPECT_NEAR(m->texcoords[2 * (i + 1)], cases[i].s, 1e-5) << i;
    EXPECT_NEAR(m->texcoords[2 * (i + 1) + 1], cases[i].t, 1e-5) << i;
  }
  obxDeleteModel(m);
}

TEST(GeometryDeathTest, preconditions_name_their_condition) {
  ModelBuilder b;
  b.vertex(0, 0, 0);
  ObxModel* m = b.build(false);
  EXPECT_DEATH(obxDimensions(m, nullptr), "Assertion `dimensions' failed");
  EXPECT_DEATH(obxSphereTexcoords(m), "Assertion `model->normals' failed");
  EXPECT_DEATH(obxFitToUnitCube(nullptr), "Assertion `model' failed");
  obxDeleteModel(m);
}

}  // namespace
