// Vertex welding: distinct-vector search and triangle renumbering.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "obx/obx.h"
#include "support.h"

namespace {

using ostrel_test::ModelBuilder;

TEST(Weld, vectors_equal_is_strict_per_axis) {
  const float a[3] = {0, 0, 0};
  struct Case {
    float b[3];
    float epsilon;
    bool equal;
  } cases[] = {
      {{0, 0, 0}, 0.0f, false},  // nothing is within 0
      {{0.0009f, 0, 0}, 0.001f, true},
      {{0.001f, 0, 0}, 0.001f, false},  // exactly epsilon does not merge
      {{0, 0, -0.0005f}, 0.001f, true},
      {{0, 0.002f, 0}, 0.001f, false},
      {{std::nanf(""), 0, 0}, 1.0f, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(bool(obxVectorsEqual(a, c.b, c.epsilon)), c.equal) << c.b[0] << " " << c.epsilon;
}

TEST(Weld, identical_vertices_merge_and_triangles_follow) {
  ModelBuilder b;
  b.vertex(0, 0, 0);
  b.vertex(1, 0, 0);
  b.vertex(0, 1, 0);
  b.vertex(1, 0, 0);  // same as 2
  b.vertex(1, 1, 0);
  b.triangle(1, 2, 3);
  b.triangle(4, 5, 3);
  ObxModel* m = b.build();
  obxMergeVertices(m, 0.001f);
  ASSERT_EQ(m->numvertices, 4u);
  EXPECT_EQ(m->triangles[1].vindices[0], 2u);
  EXPECT_EQ(m->triangles[1].vindices[1], 4u);  // vertex 5 moved up to slot 4
  EXPECT_EQ(m->vertices[3 * 4 + 1], 1.0f);
  obxDeleteModel(m);
}

TEST(Weld, merging_is_against_the_first_representative_only) {
  ModelBuilder b;
  b.vertex(0, 0, 0);
  b.vertex(0.0009f, 0, 0);
  b.vertex(0.0018f, 0, 0);
  b.triangle(1, 2, 3);
  ObxModel* m = b.build();
  obxMergeVertices(m, 0.001f);
  EXPECT_EQ(m->numvertices, 2u);
  EXPECT_EQ(m->triangles[0].vindices[1], 1u);
  EXPECT_EQ(m->triangles[0].vindices[2], 2u);
  obxDeleteModel(m);
}

TEST(Weld, epsilon_zero_and_single_vertex_keep_everything) {
  ModelBuilder b;
  b.vertex(5, 5, 5);
  b.vertex(5, 5, 5);
  b.vertex(6, 5, 5);
  b.triangle(1, 2, 3);
  ObxModel* m = b.build();
  obxMergeVertices(m, 0.0f);
  EXPECT_EQ(m->numvertices, 3u);
  EXPECT_EQ(m->triangles[0].vindices[1], 2u);
  obxDeleteModel(m);

  ModelBuilder one;
  one.vertex(1, 2, 3);
  ObxModel* single = one.build(false);
  obxMergeVertices(single, 0.5f);
  EXPECT_EQ(single->numvertices, 1u);
  EXPECT_EQ(single->vertices[3], 1.0f);
  obxDeleteModel(single);
}

TEST(Weld, unique_vectors_writes_the_map_into_x) {
  std::vector<float> v = {0, 0, 0, /*1*/ 3, 3, 3, /*2*/ 1, 1, 1, /*3*/ 3.01f, 3, 3};
  uint32_t count = 3;
  float* unique = obxUniqueVectors(v.data(), &count, 0.1f);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(v[3], 1.0f);
  EXPECT_EQ(v[6], 2.0f);
  EXPECT_EQ(v[9], 1.0f);
  EXPECT_EQ(unique[6], 1.0f);
  free(unique);
}

// The grid search must give exactly the linear scan's answer: the lowest
// kept slot within epsilon, on clustered random points, negative and
// non-finite coordinates included.
TEST(Weld, grid_search_matches_a_linear_scan) {
  srand(12345);
  const float epsilon = 0.05f;
  std::vector<float> points(3);
  for (int i = 0; i < 3000; i++) {
    for (int k = 0; k < 3; k++) points.push_back(float(rand() % 200 - 100) * 0.013f);
  }
  points.insert(points.end(), {std::numeric_limits<float>::infinity(), 0, 0});
  points.insert(points.end(), {std::nanf(""), 0, 0});
  points.insert(points.end(), {1e30f, 0, 0});
  points.insert(points.end(), {1e30f, 0, 0});
  uint32_t count = uint32_t(points.size() / 3 - 1);

  std::vector<float> kept(3);
  std::vector<uint32_t> expected(count + 1);
  for (uint32_t i = 1; i <= count; i++) {
    uint32_t match = 0;
    for (uint32_t j = 1; j < kept.size() / 3 && !match; j++)
      if (obxVectorsEqual(&points[3 * i], &kept[3 * j], epsilon)) match = j;
    if (!match) {
      kept.insert(kept.end(), &points[3 * i], &points[3 * i] + 3);
      match = uint32_t(kept.size() / 3 - 1);
    }
    expected[i] = match;
  }
  std::vector<float> work = points;
  uint32_t n = count;
  float* unique = obxUniqueVectors(work.data(), &n, epsilon);
  EXPECT_EQ(n, kept.size() / 3 - 1);
  for (uint32_t i = 1; i <= count; i++) ASSERT_EQ(uint32_t(work[3 * i]), expected[i]) << i;
  free(unique);
}

}  // namespace
