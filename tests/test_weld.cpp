// Vertex welding: distinct-vector search and triangle renumbering.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
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

// The linear scan every search must agree with: for each 1-based vector,
// the lowest kept slot within epsilon, else a new slot.
struct Scan {
  std::vector<uint32_t> map;  // 1-based
  std::vector<float> kept;    // 1-based, three floats each
};
Scan linearScan(const std::vector<float>& points, float epsilon) {
  Scan scan;
  uint32_t count = uint32_t(points.size() / 3 - 1);
  scan.kept.assign(3, 0.0f);
  scan.map.assign(count + 1, 0);
  for (uint32_t i = 1; i <= count; i++) {
    uint32_t match = 0;
    for (uint32_t j = 1; j < scan.kept.size() / 3 && !match; j++)
      if (obxVectorsEqual(&points[3 * i], &scan.kept[3 * j], epsilon)) match = j;
    if (!match) {
      scan.kept.insert(scan.kept.end(), &points[3 * i], &points[3 * i] + 3);
      match = uint32_t(scan.kept.size() / 3 - 1);
    }
    scan.map[i] = match;
  }
  return scan;
}

// Runs obxUniqueVectors on points (1-based) and compares map and kept
// vectors, bit for bit, with the linear scan.
::testing::AssertionResult matchesLinearScan(const std::vector<float>& points, float epsilon) {
  Scan expected = linearScan(points, epsilon);
  std::vector<float> work = points;
  uint32_t n = uint32_t(points.size() / 3 - 1);
  float* unique = obxUniqueVectors(work.data(), &n, epsilon);
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  if (n != expected.kept.size() / 3 - 1) {
    result = ::testing::AssertionFailure()
             << "kept " << n << ", scan kept " << expected.kept.size() / 3 - 1;
  } else if (memcmp(&unique[3], &expected.kept[3], 3 * n * sizeof(float)) != 0) {
    result = ::testing::AssertionFailure() << "kept vectors differ";
  } else {
    for (size_t i = 1; i < expected.map.size(); i++)
      if (uint32_t(work[3 * i]) != expected.map[i]) {
        result = ::testing::AssertionFailure()
                 << "vector " << i << " -> " << work[3 * i] << ", scan " << expected.map[i];
        break;
      }
  }
  free(unique);
  return result << " (epsilon " << epsilon << ", " << points.size() / 3 - 1 << " vectors)";
}

// Thousands of small sets drawn from values that stress every shortcut:
// exact repeats, both zeros, neighbours just inside and outside epsilon and
// across cell faces, non-finite and huge coordinates, every kind of epsilon.
TEST(Weld, thousands_of_random_sets_match_the_linear_scan) {
  std::mt19937 random(20240611);
  const float inf = std::numeric_limits<float>::infinity();
  const float epsilons[] = {0.0f,   -1.0f, std::nanf(""), 1e-30f, 1e-6f, 0.01f,
                            0.125f, 0.5f,  3.0f,          1e30f,  inf};
  size_t vectors = 0, merged = 0;
  for (int set = 0; set < 3000; set++) {
    const float epsilon = epsilons[random() % (sizeof epsilons / sizeof epsilons[0])];
    // Steps of 0.6, 1, 2 and 4 epsilons from a few origins reach within
    // epsilon, just past it, and across the grid's cell faces.
    const float step = std::isfinite(epsilon) && epsilon > 0 ? epsilon : 0.01f;
    const float origins[] = {0.0f, -0.0f, 1.0f, -37.25f, 1e7f, 3e38f};
    const float specials[] = {inf, -inf, std::nanf(""), 1e30f, -1e30f, 4.4e12f};
    auto coordinate = [&]() -> float {
      if (random() % 16 == 0) return specials[random() % 6];
      float origin = origins[random() % 6];
      float k = float(int(random() % 9) - 4) * (random() % 2 ? 0.6f : 1.0f);
      return origin + k * step * float(1 << (random() % 3));
    };
    const int size = 1 + int(random() % 48);
    std::vector<float> points(3, 0.0f);
    for (int i = 0; i < size; i++) {
      if (i > 0 && random() % 4 == 0) {  // an exact repeat of an earlier vector
        size_t from = 3 * (1 + random() % i);
        points.insert(points.end(), {points[from], points[from + 1], points[from + 2]});
      } else {
        points.insert(points.end(), {coordinate(), coordinate(), coordinate()});
      }
    }
    ASSERT_TRUE(matchesLinearScan(points, epsilon)) << "set " << set;
    vectors += size_t(size);
    merged += size_t(size) - (linearScan(points, epsilon).kept.size() / 3 - 1);
  }
  // The sets must merge often, and keep most vectors, to test anything.
  EXPECT_GT(merged, vectors / 5);
  EXPECT_LT(merged, vectors / 2);
}

TEST(Weld, epsilon_at_or_below_zero_or_nan_keeps_even_exact_repeats) {
  const std::vector<float> points = {0, 0, 0, 1, 2, 3, 1, 2, 3, 1, 2, 3};
  for (float epsilon : {0.0f, -0.0f, -1.0f, std::nanf("")}) {
    std::vector<float> work = points;
    uint32_t n = 3;
    float* unique = obxUniqueVectors(work.data(), &n, epsilon);
    EXPECT_EQ(n, 3u) << epsilon;
    EXPECT_EQ(work[9], 3.0f) << epsilon;
    free(unique);
  }
}

TEST(Weld, non_finite_vectors_never_merge_even_with_themselves) {
  const float inf = std::numeric_limits<float>::infinity();
  ModelBuilder b;
  b.vertex(inf, 0, 0);
  b.vertex(inf, 0, 0);
  b.vertex(0, std::nanf(""), 0);
  b.vertex(0, std::nanf(""), 0);
  b.vertex(1, 1, 1);
  b.vertex(1, 1, 1);
  b.triangle(1, 2, 5);
  b.triangle(3, 4, 6);
  ObxModel* m = b.build(false);
  obxMergeVertices(m, 1e30f);
  EXPECT_EQ(m->numvertices, 5u);
  EXPECT_EQ(m->triangles[1].vindices[0], 3u);
  EXPECT_EQ(m->triangles[1].vindices[1], 4u);
  EXPECT_EQ(m->triangles[1].vindices[2], 5u);  // the finite pair did merge
  obxDeleteModel(m);
}

// Coordinates whose cell numbers would not be exact are compared one by
// one; a tiny epsilon still merges their exact repeats and nothing else.
TEST(Weld, huge_coordinates_with_a_tiny_epsilon) {
  const float big = 1e30f, next = std::nextafter(big, 2 * big);
  const std::vector<float> points = {0, 0,   0, big, 0,   0,    next, 0,   0,    big, 0,
                                     0, big, 0, 1,   7e6, -3e7, 0,    7e6, -3e7, 0};
  for (float epsilon : {1e-30f, 1e-6f, 1.0f}) EXPECT_TRUE(matchesLinearScan(points, epsilon));
  std::vector<float> work = points;
  uint32_t n = 6;
  float* unique = obxUniqueVectors(work.data(), &n, 1e-30f);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(work[9], 1.0f);   // the repeat of big
  EXPECT_EQ(work[6], 2.0f);   // one float further is not within 1e-30
  EXPECT_EQ(work[18], 4.0f);  // the repeat of (7e6, -3e7, 0)
  free(unique);
}

// An unindexed grid (every corner written out) welds back to its vertices,
// numbered in order of first use.
TEST(Weld, corners_of_a_grid_weld_back_to_its_vertices) {
  const int side = 40;
  ModelBuilder b;
  auto at = [&](int i, int j) {
    return b.vertex(float(i) * 0.1f, float(j) * 0.1f, float((i * 7 + j * 3) % 5) * 0.01f);
  };
  for (int j = 0; j + 1 < side; j++)
    for (int i = 0; i + 1 < side; i++) {
      // One corner at a time: the order of vertex() calls is the numbering.
      uint32_t a = at(i, j), c = at(i + 1, j), d = at(i + 1, j + 1);
      b.triangle(a, c, d);
      a = at(i, j), c = at(i + 1, j + 1), d = at(i, j + 1);
      b.triangle(a, c, d);
    }
  ObxModel* m = b.build(false);
  ASSERT_EQ(m->numvertices, uint32_t(6 * (side - 1) * (side - 1)));
  obxMergeVertices(m, 1e-4f);
  EXPECT_EQ(m->numvertices, uint32_t(side * side));
  EXPECT_EQ(m->triangles[0].vindices[2], 3u);
  EXPECT_EQ(m->triangles[1].vindices[0], 1u);
  EXPECT_EQ(m->triangles[1].vindices[1], 3u);
  EXPECT_EQ(m->triangles[1].vindices[2], 4u);
  obxDeleteModel(m);
}

}  // namespace
