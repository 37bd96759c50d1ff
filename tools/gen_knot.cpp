// Builds a trefoil knot as a tube: OBJ (positions, texture coordinates,
// quads), its MTL and a striped raw PPM texture, deterministic. A model that
// is not the hideout, for showing the viewer on a file of the user's and for
// timing large models. Usage: gen_knot <output-directory> [segments [sides]]
//
// The knot lies in the x-y plane, about 6 units across, off the origin so
// that a viewer must place it; quads = segments x sides (two triangles each).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kDefaultSegments = 160;  // along the knot
constexpr int kDefaultSides = 12;      // around the tube
constexpr double kTubeRadius = 0.4;
constexpr double kOffset[3] = {12.0, -3.0, 5.0};  // the knot's centre in model units
constexpr int kStripeRepeats = 12;                // texture repeats along the knot
constexpr int kTextureSide = 64;                  // power of two, as GL 2.0 textures like
constexpr char kObjName[] = "knot.obj";
constexpr char kMtlName[] = "knot.mtl";
constexpr char kTextureName[] = "knot.ppm";

struct V3 {
  double x, y, z;
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(V3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
V3 unit(V3 a) { return a * (1.0 / std::sqrt(dot(a, a))); }

// The (2, 3) torus knot at parameter t in [0, 2 pi).
V3 knot(double t) {
  const double r = 2.0 + std::cos(3.0 * t);
  return {r * std::cos(2.0 * t), r * std::sin(2.0 * t), -std::sin(3.0 * t)};
}

bool writeTexture(const std::string& path) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "P6\n%d %d\n255\n", kTextureSide, kTextureSide);
  // Warm stripes across the tube with a thin dark rule between them.
  for (int y = 0; y < kTextureSide; y++)
    for (int x = 0; x < kTextureSide; x++) {
      const bool rule = x < 4;
      const bool band = x < kTextureSide / 2;
      unsigned char rgb[3] = {255, 236, 200};
      if (band) rgb[0] = 250, rgb[1] = 190, rgb[2] = 120;
      if (rule) rgb[0] = 90, rgb[1] = 50, rgb[2] = 30;
      fwrite(rgb, 1, 3, f);
    }
  return fclose(f) == 0;
}

bool writeMaterials(const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  fprintf(f,
          "newmtl knot\n"
          "Ka 0.5 0.5 0.5\n"
          "Kd 0.9 0.8 0.7\n"
          "Ks 0.4 0.4 0.4\n"
          "Ns 40\n"
          "map_Kd %s\n",
          kTextureName);
  return fclose(f) == 0;
}

bool writeModel(const std::string& path, int segments, int sides) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  fprintf(f, "# trefoil knot, %d x %d quads (tools/gen_knot)\nmtllib %s\n", segments, sides,
          kMtlName);
  // Rings of the tube around the curve, framed by the curve's own normal and
  // binormal (a torus knot never runs straight, so they are always defined).
  for (int i = 0; i < segments; i++) {
    const double t = 2.0 * kPi * i / segments, h = 1e-4;
    const V3 p = knot(t);
    const V3 tangent = unit(knot(t + h) - knot(t - h));
    const V3 bend = knot(t + h) + knot(t - h) - p * 2.0;
    const V3 binormal = unit(cross(tangent, bend));
    const V3 normal = cross(binormal, tangent);
    for (int j = 0; j < sides; j++) {
      const double a = 2.0 * kPi * j / sides;
      const V3 v = p + (normal * std::cos(a) + binormal * std::sin(a)) * kTubeRadius;
      fprintf(f, "v %.4f %.4f %.4f\n", v.x + kOffset[0], v.y + kOffset[1], v.z + kOffset[2]);
    }
  }
  // Texture coordinates on a grid one larger each way, so the seams wrap.
  for (int i = 0; i <= segments; i++)
    for (int j = 0; j <= sides; j++)
      fprintf(f, "vt %.4f %.4f\n", double(kStripeRepeats) * i / segments, double(j) / sides);
  fprintf(f, "usemtl knot\n");
  // Counter-clockwise seen from outside the tube: the ring angle turns from
  // the normal towards the binormal, with the tangent along the knot.
  for (int i = 0; i < segments; i++)
    for (int j = 0; j < sides; j++) {
      const int i1 = (i + 1) % segments, j1 = (j + 1) % sides;
      const int v[4] = {i * sides + j + 1, i1 * sides + j + 1, i1 * sides + j1 + 1,
                        i * sides + j1 + 1};
      const int t[4] = {i * (sides + 1) + j + 1, (i + 1) * (sides + 1) + j + 1,
                        (i + 1) * (sides + 1) + j + 2, i * (sides + 1) + j + 2};
      fprintf(f, "f %d/%d %d/%d %d/%d %d/%d\n", v[0], t[0], v[3], t[3], v[2], t[2], v[1], t[1]);
    }
  return fclose(f) == 0;
}

int positive(const char* text, int fallback) {
  if (!text) return fallback;
  char* end = nullptr;
  const long n = strtol(text, &end, 10);
  return (*end == '\0' && n >= 3 && n <= 100000) ? int(n) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int segments = positive(argc > 2 ? argv[2] : nullptr, kDefaultSegments);
  const int sides = positive(argc > 3 ? argv[3] : nullptr, kDefaultSides);
  if (argc < 2 || argc > 4 || segments < 0 || sides < 0) {
    fprintf(stderr, "usage: gen_knot <output-directory> [segments [sides]] (each 3 to 100000)\n");
    return 2;
  }
  const std::string dir = argv[1];
  if (!writeModel(dir + "/" + kObjName, segments, sides) || !writeMaterials(dir + "/" + kMtlName) ||
      !writeTexture(dir + "/" + kTextureName)) {
    perror(("gen_knot: " + dir).c_str());
    return 1;
  }
  return 0;
}
