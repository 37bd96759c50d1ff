// Builds the spy's hideout: the OBJ scene, its MTL library and every texture
// image, all procedural and deterministic. Usage: gen_scene <output-directory>
//
// Model units are 2.5 cm (the viewer draws the model at half scale, so one
// world unit is 5 cm and the eye, 30 world units up, stands at 1.5 m).
#include <IL/il.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kMaxLine = 126;  // the reader's rest-of-line buffer holds 127 characters
constexpr char kSceneName[] = "spy_scene_extended.obj";
constexpr char kLibraryName[] = "spy_scene_extended.mtl";
constexpr int kJpegQuality = 90;

// Room, in model units: x across (right positive), y up, z towards the viewer.
constexpr double kRoomHalfWidth = 180;
constexpr double kCeiling = 105;
constexpr double kFarWall = -160;
constexpr double kBackWall = 260;
constexpr double kWallThickness = 8;
constexpr double kWindowLeft = -60, kWindowRight = 60;
constexpr double kWindowBottom = 40, kWindowTop = 94;
constexpr double kWallCell = 20;  // wall and floor grid: per-vertex lighting needs vertices

// ---------------------------------------------------------------- maths

struct Vec3 {
  double x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(Vec3 a) { return std::sqrt(dot(a, a)); }
Vec3 normalize(Vec3 a) {
  double l = length(a);
  return l > 0 ? a * (1 / l) : Vec3{0, 1, 0};
}

struct Vec2 {
  double u = 0, v = 0;
};

double clamp01(double x) { return x < 0 ? 0 : (x > 1 ? 1 : x); }
double mix(double a, double b, double t) { return a + (b - a) * t; }
Vec3 mix(Vec3 a, Vec3 b, double t) { return a + (b - a) * t; }
double smoothstep(double e0, double e1, double x) {
  double t = clamp01((x - e0) / (e1 - e0));
  return t * t * (3 - 2 * t);
}

// A placed coordinate frame: origin plus three orthonormal axes (right-handed).
struct Frame {
  Vec3 origin, x{1, 0, 0}, y{0, 1, 0}, z{0, 0, 1};
  Vec3 point(Vec3 l) const { return origin + x * l.x + y * l.y + z * l.z; }
  Vec3 dir(Vec3 l) const { return x * l.x + y * l.y + z * l.z; }
};

// Turned about the vertical by yaw radians; yaw > 0 turns +z towards +x.
Frame yawFrame(Vec3 origin, double yaw) {
  double c = std::cos(yaw), s = std::sin(yaw);
  return {origin, {c, 0, -s}, {0, 1, 0}, {s, 0, c}};
}

// Frame whose y axis is `up` (normalised); x and z completed around it.
Frame upFrame(Vec3 origin, Vec3 up) {
  Vec3 y = normalize(up);
  Vec3 helper = std::fabs(y.z) < 0.9 ? Vec3{0, 0, 1} : Vec3{1, 0, 0};
  Vec3 x = normalize(cross(y, helper));
  Vec3 z = cross(x, y);
  return {origin, x, y, z};
}

// xorshift64*: the same numbers on every platform, unlike std::rand.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ULL) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ULL;
  }
  double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
  double range(double a, double b) { return a + (b - a) * uniform(); }
  int below(int n) { return int(next() % uint64_t(n)); }

 private:
  uint64_t state_;
};

// Lattice value noise from an integer hash; the 2D kind wraps with a period
// so that textures tile.
uint32_t hash3(int x, int y, int z, uint32_t seed) {
  uint32_t h = seed * 0x27d4eb2dU;
  h ^= uint32_t(x) * 0x85ebca6bU;
  h = (h << 13) | (h >> 19);
  h ^= uint32_t(y) * 0xc2b2ae35U;
  h = (h << 17) | (h >> 15);
  h ^= uint32_t(z) * 0x165667b1U;
  h ^= h >> 16;
  h *= 0x7feb352dU;
  h ^= h >> 15;
  h *= 0x846ca68bU;
  h ^= h >> 16;
  return h;
}
double lattice(int x, int y, int z, uint32_t seed) { return hash3(x, y, z, seed) / 4294967296.0; }
int wrap(int i, int period) { return ((i % period) + period) % period; }
double fade(double t) { return t * t * (3 - 2 * t); }

double noise2(double x, double y, int px, int py, uint32_t seed) {
  int ix = int(std::floor(x)), iy = int(std::floor(y));
  double fx = fade(x - ix), fy = fade(y - iy);
  int x0 = wrap(ix, px), x1 = wrap(ix + 1, px), y0 = wrap(iy, py), y1 = wrap(iy + 1, py);
  double a = mix(lattice(x0, y0, 0, seed), lattice(x1, y0, 0, seed), fx);
  double b = mix(lattice(x0, y1, 0, seed), lattice(x1, y1, 0, seed), fx);
  return mix(a, b, fy);
}

// Tileable fractal noise over the unit square, `cells` lattice cells across
// at the first octave; result in 0..1.
double fbm2(double u, double v, int cellsU, int cellsV, int octaves, uint32_t seed) {
  double sum = 0, amp = 0.5, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * noise2(u * cellsU, v * cellsV, cellsU, cellsV, seed + o);
    norm += amp;
    amp *= 0.5;
    cellsU *= 2;
    cellsV *= 2;
  }
  return sum / norm;
}

double noise3(Vec3 p, uint32_t seed) {
  int ix = int(std::floor(p.x)), iy = int(std::floor(p.y)), iz = int(std::floor(p.z));
  double fx = fade(p.x - ix), fy = fade(p.y - iy), fz = fade(p.z - iz);
  double c[2][2][2];
  for (int dz = 0; dz < 2; ++dz)
    for (int dy = 0; dy < 2; ++dy)
      for (int dx = 0; dx < 2; ++dx) c[dz][dy][dx] = lattice(ix + dx, iy + dy, iz + dz, seed);
  double y0 = mix(mix(c[0][0][0], c[0][0][1], fx), mix(c[0][1][0], c[0][1][1], fx), fy);
  double y1 = mix(mix(c[1][0][0], c[1][0][1], fx), mix(c[1][1][0], c[1][1][1], fx), fy);
  return mix(y0, y1, fz);
}

double fbm3(Vec3 p, int octaves, uint32_t seed) {
  double sum = 0, amp = 0.5, norm = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amp * noise3(p, seed + o);
    norm += amp;
    amp *= 0.5;
    p = p * 2.03;
  }
  return sum / norm;
}

// ---------------------------------------------------------------- images

// RGB picture whose row 0 is the bottom row, i.e. texture coordinate t = 0.
struct Image {
  int width, height;
  std::vector<uint8_t> rgb;
  Image(int w, int h) : width(w), height(h), rgb(size_t(w) * h * 3, 0) {}
  void set(int x, int y, Vec3 c) {
    uint8_t* p = &rgb[3 * (size_t(y) * width + x)];
    p[0] = uint8_t(std::lround(std::clamp(c.x, 0.0, 255.0)));
    p[1] = uint8_t(std::lround(std::clamp(c.y, 0.0, 255.0)));
    p[2] = uint8_t(std::lround(std::clamp(c.z, 0.0, 255.0)));
  }
  Vec3 get(int x, int y) const {
    const uint8_t* p = &rgb[3 * (size_t(wrap(y, height)) * width + wrap(x, width))];
    return {double(p[0]), double(p[1]), double(p[2])};
  }
  template <class F>
  void fill(F shade) {  // shade(u, v) with u, v the texel centre in 0..1
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) set(x, y, shade((x + 0.5) / width, (y + 0.5) / height));
  }
  void rect(int x0, int y0, int x1, int y1, Vec3 c) {  // inclusive-exclusive, clipped
    for (int y = std::max(0, y0); y < std::min(height, y1); ++y)
      for (int x = std::max(0, x0); x < std::min(width, x1); ++x) set(x, y, c);
  }
};

bool writeFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = fclose(f) == 0 && ok;
  if (!ok) fprintf(stderr, "gen_scene: cannot write %s\n", path.c_str());
  return ok;
}

// Raw P6. The library puts the file's first row at t = 0, so row 0 goes first.
bool writePpm(const std::string& path, const Image& img) {
  char header[64];
  snprintf(header, sizeof header, "P6\n%d %d\n255\n", img.width, img.height);
  return writeFile(path, header + std::string(img.rgb.begin(), img.rgb.end()));
}

// Uncompressed true-colour TGA with a bottom-left origin: rows bottom first, BGR.
bool writeTga(const std::string& path, const Image& img) {
  std::string data(18, '\0');
  data[2] = 2;
  data[12] = char(img.width & 0xff);
  data[13] = char(img.width >> 8);
  data[14] = char(img.height & 0xff);
  data[15] = char(img.height >> 8);
  data[16] = 24;
  for (size_t i = 0; i < img.rgb.size(); i += 3) {
    data += char(img.rgb[i + 2]);
    data += char(img.rgb[i + 1]);
    data += char(img.rgb[i]);
  }
  return writeFile(path, data);
}

// PNG and JPEG through DevIL; its images start at the lower left, like ours.
bool writeWithDevil(const std::string& path, const Image& img, ILenum type) {
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  std::vector<uint8_t> pixels = img.rgb;
  bool ok = ilTexImage(img.width, img.height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, pixels.data());
  ilRegisterOrigin(IL_ORIGIN_LOWER_LEFT);
  ok = ok && ilSave(type, path.c_str());
  ilDeleteImages(1, &name);
  if (!ok) fprintf(stderr, "gen_scene: DevIL cannot write %s (0x%x)\n", path.c_str(), ilGetError());
  return ok;
}

bool writeImage(const std::string& dir, const std::string& name, const Image& img) {
  std::string path = dir + "/" + name;
  std::string ext = name.substr(name.rfind('.') + 1);
  if (ext == "ppm") return writePpm(path, img);
  if (ext == "tga") return writeTga(path, img);
  if (ext == "png") return writeWithDevil(path, img, IL_PNG);
  if (ext == "jpg") return writeWithDevil(path, img, IL_JPG);
  fprintf(stderr, "gen_scene: no writer for %s\n", name.c_str());
  return false;
}

Vec3 rgb(double r, double g, double b) { return {r, g, b}; }

// ---------------------------------------------------------------- textures

Image makeWood() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    double warp = 1.6 * fbm2(u, v, 2, 4, 4, 11);
    double ring = v * 9 + warp + 0.15 * std::sin(u * 2 * kPi);
    ring -= std::floor(ring);
    double dark = std::pow(ring, 4.0);
    double fibre = fbm2(u, v, 64, 4, 2, 12);
    Vec3 light = rgb(196, 146, 96), deep = rgb(118, 72, 38);
    return mix(light, deep, clamp01(0.75 * dark + 0.5 * (fibre - 0.5))) *
           (0.93 + 0.12 * fbm2(u, v, 8, 8, 3, 13));
  });
  return img;
}

// Boards along u with staggered end joints, for the floor.
Image makePlanks() {
  Image img(256, 256);
  const int boards = 4, joints = 2;
  img.fill([&](double u, double v) {
    int row = int(v * boards);
    double offset = 0.5 * (row & 1) + 0.23 * (row & 2);
    double along = u * joints + offset;
    int piece = int(std::floor(along));
    double fu = along - piece, fv = v * boards - row;
    double warp = 1.4 * fbm2(u, v, 2, 4, 4, 21 + piece);
    double ring = fv * 3 + warp + row * 0.37;
    ring -= std::floor(ring);
    Vec3 light = rgb(188, 130, 80), deep = rgb(105, 62, 32);
    double tone = 0.85 + 0.3 * lattice(row, piece, 0, 22);
    Vec3 c = mix(light, deep,
                 clamp01(0.8 * std::pow(ring, 3.0) + 0.4 * (fbm2(u, v, 64, 8, 2, 23) - 0.5))) *
             tone;
    bool seam = fv < 0.02 || fv > 0.98 || fu < 0.006 || fu > 0.994;
    return seam ? c * 0.45 : c;
  });
  return img;
}

Image makeWallpaper() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    Vec3 base = rgb(58, 88, 70);
    double su = u * 4 - std::floor(u * 4), sv = v * 4 - std::floor(v * 4);
    double stripe = (su > 0.46 && su < 0.54) ? 1.0 : 0.0;
    double du = std::fabs(su - 0.5 + (su < 0.5 ? 0.5 : -0.5)), dv = std::fabs(sv - 0.5);
    double diamond = std::fabs(du + dv - 0.3) < 0.035 ? 1.0 : 0.0;
    double dot = (du * du + dv * dv) < 0.004 ? 1.0 : 0.0;
    Vec3 gold = rgb(150, 140, 90);
    Vec3 c = mix(base, gold, 0.55 * std::max(diamond, dot) + 0.25 * stripe);
    return c * (0.92 + 0.14 * fbm2(u, v, 16, 16, 3, 31));
  });
  return img;
}

Image makePlaster() {
  Image img(128, 128);
  img.fill([](double u, double v) {
    return rgb(226, 220, 204) * (0.9 + 0.12 * fbm2(u, v, 8, 8, 4, 41));
  });
  return img;
}

Image makeBrick() {
  Image img(256, 256);
  const int rows = 8, perRow = 4;
  img.fill([&](double u, double v) {
    int row = int(v * rows);
    double fv = v * rows - row;
    double along = u * perRow + 0.5 * (row & 1);
    int brick = int(std::floor(along));
    double fu = along - brick;
    bool mortar = fv < 0.08 || fu < 0.04;
    double grain = fbm2(u, v, 32, 32, 3, 51);
    if (mortar) return rgb(168, 162, 150) * (0.85 + 0.25 * grain);
    double tone = 0.8 + 0.35 * lattice(wrap(brick, perRow), row, 0, 52);
    return rgb(150, 72, 50) * tone * (0.8 + 0.35 * grain);
  });
  return img;
}

// Leather-bound spines side by side, with a page-edge band across the top
// for the books' other faces.
Image makeSpines() {
  Image img(256, 256);
  const int strips = 16;
  img.fill([&](double u, double v) {
    if (v > 0.875) {  // page edges
      double line = 0.9 + 0.1 * std::sin(v * 2 * kPi * 90);
      return rgb(236, 226, 198) * line;
    }
    int s = int(u * strips);
    double fu = u * strips - s;
    double tone = 0.75 + 0.3 * lattice(s, 0, 0, 61);
    Vec3 c = rgb(215, 210, 205) * tone * (0.9 + 0.15 * fbm2(u, v, 32, 32, 3, 62));
    double band1 = 0.1 + 0.05 * lattice(s, 1, 0, 61), band2 = 0.72 + 0.06 * lattice(s, 2, 0, 61);
    if (std::fabs(v - band1) < 0.012 || std::fabs(v - band2) < 0.012) c = rgb(250, 225, 140);
    bool title = v > 0.38 && v < 0.64 && fu > 0.38 && fu < 0.62 &&
                 std::fmod(v * 60 + lattice(s, 3, 0, 61) * 3, 1.0) < 0.7;
    if (title) c = rgb(248, 230, 160);
    if (fu < 0.05 || fu > 0.95) c = c * 0.55;  // spine edges
    return c;
  });
  return img;
}

// A typed page: lines of word-shaped marks under a heading and a red stamp.
Image makePaper() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    return rgb(242, 237, 222) * (0.96 + 0.05 * fbm2(u, v, 16, 16, 2, 71));
  });
  Rng rng(72);
  Vec3 ink = rgb(60, 60, 70);
  img.rect(28, 224, 150, 230, ink);  // heading
  for (int y = 208; y > 24; y -= 9) {
    int x = 24;
    int end = 232 - (rng.below(4) == 0 ? rng.below(80) : 0);
    while (x < end) {
      int w = 6 + rng.below(22);
      img.rect(x, y, std::min(x + w, end), y + 3, ink);
      x += w + 4;
    }
  }
  for (int a = 0; a < 720; ++a) {  // stamp ring
    double t = a * kPi / 360;
    for (double r = 26; r < 30; r += 0.5)
      img.set(190 + int(r * std::cos(t)), 60 + int(r * std::sin(t)), rgb(185, 40, 40));
  }
  img.rect(168, 56, 212, 64, rgb(185, 40, 40));
  return img;
}

// Equirectangular map of an invented world: u is longitude, v latitude.
Image makeGlobe() {
  Image img(512, 256);
  img.fill([](double u, double v) {
    double lon = u * 2 * kPi, lat = (v - 0.5) * kPi;
    Vec3 p{std::cos(lat) * std::cos(lon), std::sin(lat), std::cos(lat) * std::sin(lon)};
    double h = fbm3(p * 2.2 + Vec3{5, 1, 3}, 6, 81);
    Vec3 c;
    if (h < 0.52) {
      c = mix(rgb(40, 75, 120), rgb(80, 125, 160), smoothstep(0.35, 0.52, h));
    } else {
      double dry = fbm3(p * 4 + Vec3{2, 7, 1}, 3, 82);
      c = mix(rgb(110, 140, 80), rgb(190, 165, 110), smoothstep(0.4, 0.6, dry));
      c = mix(c, rgb(150, 120, 90), smoothstep(0.62, 0.72, h));
    }
    if (std::fabs(lat) > 1.25)
      c = mix(c, rgb(235, 238, 240), smoothstep(1.25, 1.35, std::fabs(lat)));
    double grid = std::min(std::fabs(std::remainder(u * 12, 1.0)) / 12 * 512,
                           std::fabs(std::remainder(v * 6, 1.0)) / 6 * 256);
    if (grid < 0.6) c = c * 0.7;
    return c * 0.85 + rgb(230, 215, 170) * 0.15;  // aged varnish
  });
  return img;
}

// The city at night behind the window: towers with lit windows under a sky.
Image makeNight() {
  Image img(512, 512);
  img.fill([](double u, double v) {
    Vec3 c = mix(rgb(48, 40, 70), rgb(8, 12, 36), smoothstep(0.3, 1.0, v));
    double star = lattice(int(u * 512), int(v * 512), 0, 91);
    if (star > 0.996 && v > 0.55) c = rgb(230, 230, 210) * star;
    return c;
  });
  Rng rng(92);
  for (int layer = 0; layer < 2; ++layer) {
    int x = -rng.below(30);
    while (x < 512) {
      int w = 24 + rng.below(50);
      int top = layer == 0 ? 230 + rng.below(110) : 170 + rng.below(90);
      Vec3 body = layer == 0 ? rgb(26, 26, 38) : rgb(16, 16, 24);
      for (int y = 0; y < top; ++y)
        for (int xx = x; xx < x + w; ++xx) img.set(wrap(xx, 512), y, body);
      for (int wy = 8; wy + 6 < top; wy += 10)
        for (int wx = x + 4; wx + 4 < x + w; wx += 8)
          if (rng.uniform() < (layer == 0 ? 0.35 : 0.5)) {
            Vec3 lit = rng.uniform() < 0.8 ? rgb(250, 210, 120) : rgb(180, 220, 250);
            for (int yy = wy; yy < wy + 5; ++yy)
              for (int xx = wx; xx < wx + 4; ++xx) img.set(wrap(xx, 512), yy, lit);
          }
      x += w + rng.below(6);
    }
  }
  return img;
}

// Gabardine twill: diagonal ribs.
Image makeFabric() {
  Image img(128, 128);
  img.fill([](double u, double v) {
    double rib = 0.5 + 0.5 * std::sin((u + v) * 2 * kPi * 32);
    double grain = fbm2(u, v, 16, 16, 3, 101);
    return rgb(196, 170, 122) * (0.82 + 0.12 * rib + 0.14 * grain);
  });
  return img;
}

Image makeLeather() {
  Image img(128, 128);
  img.fill([](double u, double v) {
    double pores = fbm2(u, v, 32, 32, 3, 111);
    double crease = std::fabs(fbm2(u, v, 4, 4, 4, 112) - 0.5);
    return rgb(128, 62, 38) * (0.75 + 0.4 * pores) * (crease < 0.03 ? 0.7 : 1.0);
  });
  return img;
}

// Brushed steel: streaks along u.
Image makeMetal() {
  Image img(128, 128);
  img.fill([](double u, double v) {
    double streak = fbm2(u, v, 2, 64, 3, 121);
    return rgb(168, 172, 178) * (0.8 + 0.35 * streak);
  });
  return img;
}

Image makeWhite() {
  Image img(8, 8);
  img.fill([](double, double) { return rgb(255, 255, 255); });
  return img;
}

// Faint mottling only: the skin effect brings the rest.
Image makeSkin() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    double blotch = fbm2(u, v, 8, 8, 4, 131);
    double fine = fbm2(u, v, 64, 64, 2, 132);
    return rgb(232, 188, 160) * (0.93 + 0.08 * blotch + 0.04 * fine);
  });
  return img;
}

// A knotted rug: field with a central medallion inside two borders.
Image makeRug() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    double edge = std::min(std::min(u, 1 - u), std::min(v, 1 - v));
    Vec3 red = rgb(132, 32, 34), navy = rgb(32, 40, 88), cream = rgb(214, 192, 150);
    Vec3 c;
    if (edge < 0.03)
      c = cream;
    else if (edge < 0.1)
      c = (int(std::floor((u + v) * 40)) & 1) ? navy : red * 1.2;
    else if (edge < 0.12)
      c = cream;
    else {
      double du = std::fabs(u - 0.5), dv = std::fabs(v - 0.5);
      double m = du / 0.8 + dv / 0.5;
      c = red;
      if (m < 0.35) c = navy;
      if (std::fabs(m - 0.25) < 0.02 || std::fabs(m - 0.45) < 0.015) c = cream;
      double tile = std::sin(u * 2 * kPi * 10) * std::sin(v * 2 * kPi * 10);
      if (m > 0.5 && tile > 0.85) c = navy;
    }
    return c * (0.85 + 0.2 * fbm2(u, v, 64, 64, 2, 141));
  });
  return img;
}

Image makeMarble() {
  Image img(256, 256);
  img.fill([](double u, double v) {
    double turb = fbm2(u, v, 4, 4, 5, 151);
    double vein = std::fabs(std::sin((u + v * 0.6 + 2.2 * turb) * 2 * kPi * 2));
    double dark = std::pow(1 - vein, 10.0);
    return mix(rgb(235, 232, 226), rgb(120, 118, 125), dark) * (0.95 + 0.05 * turb);
  });
  return img;
}

struct TextureFile {
  const char* name;
  Image (*make)();
};

const TextureFile kTextures[] = {
    {"wood.ppm", makeWood},     {"planks.ppm", makePlanks},       {"plaster.ppm", makePlaster},
    {"brick.ppm", makeBrick},   {"wallpaper.png", makeWallpaper}, {"spines.png", makeSpines},
    {"paper.png", makePaper},   {"skin.png", makeSkin},           {"leather.png", makeLeather},
    {"globe.jpg", makeGlobe},   {"night.jpg", makeNight},         {"fabric.jpg", makeFabric},
    {"marble.jpg", makeMarble}, {"metal.tga", makeMetal},         {"white.tga", makeWhite},
    {"rug.tga", makeRug},
};

// ---------------------------------------------------------------- materials

struct Material {
  const char* name;
  Vec3 kd;
  double ks;  // grey specular
  double ns;  // 0..100
  double d;   // alpha; below 1 is drawn in the blended pass
  const char* map;
};

enum MaterialId {
  M_FLOOR,
  M_WOOD_DARK,
  M_WOOD_LIGHT,
  M_WALLPAPER,
  M_BRICK,
  M_PLASTER,
  M_GLASS,
  M_CITY,
  M_RUG,
  M_PAPER,
  M_MANILA,
  M_BRASS,
  M_LAMP_SHADE,
  M_LEATHER,
  M_GLOBE,
  M_MAP,
  M_BOOK_RED,
  M_BOOK_GREEN,
  M_BOOK_BLUE,
  M_BOOK_BROWN,
  M_STEEL,
  M_STEEL_DARK,
  M_COAT,
  M_FELT,
  M_BAND,
  M_SKIN,
  M_HAIR,
  M_MARBLE,
  M_BLACK,
  M_COUNT
};

const Material kMaterials[M_COUNT] = {
    {"floor_planks", {0.62, 0.48, 0.38}, 0.15, 20, 1, "planks.ppm"},
    {"wood_dark", {0.55, 0.36, 0.26}, 0.25, 40, 1, "wood.ppm"},
    {"wood_light", {0.95, 0.8, 0.62}, 0.2, 30, 1, "wood.ppm"},
    {"wallpaper", {0.9, 0.9, 0.88}, 0.05, 10, 1, "wallpaper.png"},
    {"brick", {0.85, 0.8, 0.78}, 0.02, 5, 1, "brick.ppm"},
    {"plaster", {0.9, 0.88, 0.85}, 0.0, 5, 1, "plaster.ppm"},
    {"window_glass", {0.45, 0.55, 0.65}, 0.9, 90, 0.3, "white.tga"},
    {"city_night", {1.0, 1.0, 1.0}, 0.0, 5, 1, "night.jpg"},
    {"rug", {0.9, 0.88, 0.86}, 0.0, 5, 1, "rug.tga"},
    {"paper", {1.0, 1.0, 0.98}, 0.05, 10, 1, "paper.png"},
    {"manila", {0.85, 0.7, 0.45}, 0.05, 10, 1, "white.tga"},
    {"brass", {0.78, 0.6, 0.26}, 0.8, 70, 1, "white.tga"},
    {"lamp_shade", {0.12, 0.5, 0.22}, 0.7, 85, 1, "white.tga"},
    {"leather", {0.95, 0.9, 0.9}, 0.35, 45, 1, "leather.png"},
    {"globe", {1.0, 1.0, 1.0}, 0.5, 60, 1, "globe.jpg"},
    {"wall_map", {0.95, 0.82, 0.6}, 0.05, 10, 1, "globe.jpg"},
    {"book_red", {0.75, 0.2, 0.18}, 0.2, 30, 1, "spines.png"},
    {"book_green", {0.2, 0.5, 0.3}, 0.2, 30, 1, "spines.png"},
    {"book_blue", {0.2, 0.28, 0.6}, 0.2, 30, 1, "spines.png"},
    {"book_brown", {0.6, 0.42, 0.26}, 0.2, 30, 1, "spines.png"},
    {"steel", {0.55, 0.58, 0.62}, 0.7, 60, 1, "metal.tga"},
    {"steel_dark", {0.22, 0.23, 0.26}, 0.6, 50, 1, "metal.tga"},
    {"coat", {0.95, 0.88, 0.72}, 0.05, 10, 1, "fabric.jpg"},
    {"felt", {0.34, 0.3, 0.27}, 0.05, 10, 1, "fabric.jpg"},
    {"hat_band", {0.08, 0.07, 0.07}, 0.2, 30, 1, "white.tga"},
    {"skin", {1.0, 0.97, 0.95}, 0.3, 25, 1, "skin.png"},
    {"hair", {0.32, 0.22, 0.15}, 0.15, 20, 1, "fabric.jpg"},
    {"marble", {0.95, 0.95, 0.95}, 0.5, 60, 1, "marble.jpg"},
    {"black", {0.08, 0.08, 0.09}, 0.5, 60, 1, "white.tga"},
};

// ---------------------------------------------------------------- meshes

// The four face forms of the OBJ grammar: v, v/t, v/t/n, v//n.
enum class Form { V, VT, VTN, VN };

struct Corner {
  int p, t, n;  // mesh-local indices; n < 0 asks for a smooth normal
};

struct Face {
  int material;
  Form form;
  std::vector<Corner> corners;
};

// One group of the file. Positions are shared only where the surface is
// smooth: the viewer averages normals over every face that names a vertex.
struct Mesh {
  std::string group;
  std::string object;  // written as an `o` line when not empty
  Form form;
  int material;
  std::vector<Vec3> positions, normals;
  std::vector<Vec2> uvs;
  std::vector<Face> faces;

  Mesh(std::string g, Form f, int m, std::string o = "")
      : group(std::move(g)), object(std::move(o)), form(f), material(m) {}
  int position(Vec3 p) {
    positions.push_back(p);
    return int(positions.size()) - 1;
  }
  int uv(double u, double v) {
    uvs.push_back({u, v});
    return int(uvs.size()) - 1;
  }
  int normal(Vec3 n) {
    normals.push_back(normalize(n));
    return int(normals.size()) - 1;
  }
  void face(std::vector<Corner> corners) { faces.push_back({material, form, std::move(corners)}); }
};

// A flat grid of quads, facing edgeU x edgeV. Texture coordinates are planar
// in model units divided by texSize, so neighbouring pieces line up.
void addGrid(Mesh& m, Vec3 origin, Vec3 edgeU, Vec3 edgeV, double texSize, double cell = kWallCell,
             Vec2 uvOrigin = {0, 0}) {
  int nu = std::max(1, int(std::ceil(length(edgeU) / cell)));
  int nv = std::max(1, int(std::ceil(length(edgeV) / cell)));
  Vec3 au = normalize(edgeU), av = normalize(edgeV);
  int n = m.normal(cross(edgeU, edgeV));
  int base = int(m.positions.size()), tbase = int(m.uvs.size());
  for (int j = 0; j <= nv; ++j)
    for (int i = 0; i <= nu; ++i) {
      Vec3 p = origin + edgeU * (double(i) / nu) + edgeV * (double(j) / nv);
      m.position(p);
      m.uv(uvOrigin.u + dot(p, au) / texSize, uvOrigin.v + dot(p, av) / texSize);
    }
  for (int j = 0; j < nv; ++j)
    for (int i = 0; i < nu; ++i) {
      auto c = [&](int di, int dj) {
        int k = (j + dj) * (nu + 1) + i + di;
        return Corner{base + k, tbase + k, n};
      };
      m.face({c(0, 0), c(1, 0), c(1, 1), c(0, 1)});
    }
}

// Texture coordinates of a box face corner: face 0..5 = +x -x +y -y +z -z,
// (s, t) in 0..1 across the face, (w, h) the face size.
using BoxUv = std::function<Vec2(int face, double s, double t, double w, double h)>;

BoxUv planarUv(double texSize) {
  return [texSize](int, double s, double t, double w, double h) {
    return Vec2{s * w / texSize, t * h / texSize};
  };
}

// A box with its own four vertices per face (hard edges). Side faces have
// their t axis up the box's y, so grain and spines stand upright.
void addBox(Mesh& m, const Frame& f, Vec3 half, const BoxUv& uvOf) {
  struct Side {
    Vec3 n, a, b;
    double hn, ha, hb;
  };
  const Side sides[6] = {
      {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}, half.x, half.z, half.y},
      {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}, half.x, half.z, half.y},
      {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}, half.y, half.x, half.z},
      {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}, half.y, half.x, half.z},
      {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, half.z, half.x, half.y},
      {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}, half.z, half.x, half.y},
  };
  for (int s = 0; s < 6; ++s) {
    const Side& d = sides[s];
    int n = m.normal(f.dir(d.n));
    std::vector<Corner> corners;
    const double cs[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (const auto& c : cs) {
      Vec3 l = d.n * d.hn + d.a * (d.ha * (2 * c[0] - 1)) + d.b * (d.hb * (2 * c[1] - 1));
      Vec2 t = uvOf(s, c[0], c[1], 2 * d.ha, 2 * d.hb);
      corners.push_back({m.position(f.point(l)), m.uv(t.u, t.v), n});
    }
    m.face(corners);
  }
}

void addBox(Mesh& m, Vec3 lo, Vec3 hi, double texSize) {
  Frame f{(lo + hi) * 0.5};
  addBox(m, f, (hi - lo) * 0.5, planarUv(texSize));
}

// A beam of square section from a to b.
void addBeam(Mesh& m, Vec3 a, Vec3 b, double thickness, double texSize) {
  Frame f = upFrame((a + b) * 0.5, b - a);
  addBox(m, f, {thickness / 2, length(b - a) / 2, thickness / 2}, planarUv(texSize));
}

// A regular polygon as one face, facing axisA x axisB.
void addPolygon(Mesh& m, Vec3 centre, Vec3 axisA, Vec3 axisB, double radius, int sides,
                double phase = 0) {
  int n = m.normal(cross(axisA, axisB));
  std::vector<Corner> corners;
  for (int i = 0; i < sides; ++i) {
    double a = phase + 2 * kPi * i / sides;
    Vec3 p = centre + (axisA * std::cos(a) + axisB * std::sin(a)) * radius;
    corners.push_back({m.position(p), m.uv(0.5 + 0.5 * std::cos(a), 0.5 + 0.5 * std::sin(a)), n});
  }
  m.face(corners);
}

// A smooth parametric patch over (u, v) in 0..1 sampled nu x nv, sharing its
// vertices. closedU joins the last column to the first (the seam keeps its
// own texture coordinates); poles collapse the first or last row to one
// vertex and close them with triangles. Faces are turned so that they face
// away from `inside`.
struct SurfaceOptions {
  bool closedU = true, poleTop = false, poleBottom = false;
  double uScale = 1, vScale = 1;              // texture repeats
  std::function<int(int row)> materialOfRow;  // optional
};

void addSurface(Mesh& m, int nu, int nv, const std::function<Vec3(double, double)>& at, Vec3 inside,
                const SurfaceOptions& o = {}) {
  int cols = o.closedU ? nu : nu + 1;
  std::vector<int> idx(size_t(cols) * (nv + 1), -1);
  for (int j = 0; j <= nv; ++j) {
    bool pole = (j == 0 && o.poleTop) || (j == nv && o.poleBottom);
    for (int i = 0; i < cols; ++i) {
      if (pole && i > 0) {
        idx[size_t(j) * cols + i] = idx[size_t(j) * cols];
        continue;
      }
      idx[size_t(j) * cols + i] = m.position(at(double(i) / nu, double(j) / nv));
    }
  }
  int tbase = int(m.uvs.size());
  for (int j = 0; j <= nv; ++j)
    for (int i = 0; i <= nu; ++i) m.uv(o.uScale * i / nu, o.vScale * (1 - double(j) / nv));
  auto P = [&](int i, int j) { return idx[size_t(j) * cols + (o.closedU ? i % nu : i)]; };
  auto T = [&](int i, int j) { return tbase + j * (nu + 1) + i; };
  size_t first = m.faces.size();
  for (int j = 0; j < nv; ++j) {
    if (o.materialOfRow) m.material = o.materialOfRow(j);
    for (int i = 0; i < nu; ++i) {
      if (j == 0 && o.poleTop) {
        m.face({{P(0, 0), T(i, 0), -1}, {P(i + 1, 1), T(i + 1, 1), -1}, {P(i, 1), T(i, 1), -1}});
      } else if (j == nv - 1 && o.poleBottom) {
        m.face({{P(i, j), T(i, j), -1}, {P(i + 1, j), T(i + 1, j), -1}, {P(0, nv), T(i, nv), -1}});
      } else {
        m.face({{P(i, j), T(i, j), -1},
                {P(i + 1, j), T(i + 1, j), -1},
                {P(i + 1, j + 1), T(i + 1, j + 1), -1},
                {P(i, j + 1), T(i, j + 1), -1}});
      }
    }
  }
  double outward = 0;
  for (size_t k = first; k < m.faces.size(); ++k) {
    const auto& c = m.faces[k].corners;
    Vec3 a = m.positions[c[0].p], b = m.positions[c[1].p], d = m.positions[c[2].p];
    outward += dot(cross(b - a, d - a), (a + b + d) * (1.0 / 3) - inside);
  }
  if (outward < 0)
    for (size_t k = first; k < m.faces.size(); ++k)
      std::reverse(m.faces[k].corners.begin(), m.faces[k].corners.end());
}

// A surface of revolution about `axis` frame's y: profile points (radius, y)
// from top to bottom; sx, sz stretch the section into an ellipse.
struct ProfilePoint {
  double r, y;
};

Vec3 onProfile(const std::vector<ProfilePoint>& prof, double v, double angle, double sx,
               double sz) {
  double x = v * (prof.size() - 1);
  size_t k = std::min(prof.size() - 2, size_t(x));
  double t = x - k;
  double r = mix(prof[k].r, prof[k + 1].r, t), y = mix(prof[k].y, prof[k + 1].y, t);
  return {r * sx * std::cos(angle), y, r * sz * std::sin(angle)};
}

void addLathe(Mesh& m, const Frame& f, const std::vector<ProfilePoint>& prof, int nu,
              int stepsPerSegment, SurfaceOptions o = {}, double sx = 1, double sz = 1,
              std::function<double(double angle, double y)> ripple = nullptr) {
  int nv = int(prof.size() - 1) * stepsPerSegment;
  o.poleTop = prof.front().r == 0;
  o.poleBottom = prof.back().r == 0;
  double mid = (prof.front().y + prof.back().y) / 2;
  addSurface(
      m, nu, nv,
      [&](double u, double v) {
        double a = u * 2 * kPi;
        Vec3 l = onProfile(prof, v, a, sx, sz);
        if (ripple) {
          double k = ripple(a, l.y);
          l.x *= k;
          l.z *= k;
        }
        return f.point(l);
      },
      f.point({0, mid, 0}), o);
}

// ---------------------------------------------------------------- writing

std::string num(double x, int decimals) {
  char buf[48];
  snprintf(buf, sizeof buf, "%.*f", decimals, x);
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

class ObjWriter {
 public:
  std::string text;
  int triangles = 0, groups = 0;
  int counts[4] = {0, 0, 0, 0};  // faces per form

  void line(const std::string& s) {
    if (int(s.size()) > kMaxLine) {
      fprintf(stderr, "gen_scene: line too long: %.60s...\n", s.c_str());
      std::exit(1);
    }
    text += s;
    text += '\n';
  }

  void write(Mesh& m) {
    bool smooth = fillSmoothNormals(m);
    std::vector<bool> used(m.positions.size(), false);
    for (const Face& f : m.faces)
      for (const Corner& c : f.corners) used[c.p] = true;
    for (size_t i = 0; i < used.size(); ++i)
      if (!used[i]) {
        fprintf(stderr, "gen_scene: %s: vertex %zu unused\n", m.group.c_str(), i);
        std::exit(1);
      }
    if (!m.object.empty()) line("o " + m.object);
    line("g " + m.group);
    ++groups;
    for (const Vec3& p : m.positions)
      line("v " + num(p.x, 3) + " " + num(p.y, 3) + " " + num(p.z, 3));
    // Texture coordinates and normals are written once per distinct value.
    std::vector<int> tmap(m.uvs.size(), 0), nmap(m.normals.size(), 0);
    std::map<std::string, int> seen;
    for (const Face& f : m.faces) {
      if (f.form != Form::VT && f.form != Form::VTN) continue;
      for (const Corner& c : f.corners) {
        if (tmap[c.t]) continue;
        std::string s = "vt " + num(m.uvs[c.t].u, 4) + " " + num(m.uvs[c.t].v, 4);
        auto it = seen.find(s);
        if (it == seen.end()) {
          line(s);
          it = seen.emplace(s, ++vt_).first;
        }
        tmap[c.t] = it->second;
      }
    }
    seen.clear();
    for (const Face& f : m.faces) {
      if (f.form != Form::VN && f.form != Form::VTN) continue;
      for (const Corner& c : f.corners) {
        if (nmap[c.n]) continue;
        const Vec3& n = m.normals[c.n];
        std::string s = "vn " + num(n.x, 3) + " " + num(n.y, 3) + " " + num(n.z, 3);
        auto it = seen.find(s);
        if (it == seen.end()) {
          line(s);
          it = seen.emplace(s, ++vn_).first;
        }
        nmap[c.n] = it->second;
      }
    }
    line(smooth ? "s 1" : "s off");
    int current = -1;
    for (const Face& f : m.faces) {
      if (f.material != current) {
        current = f.material;
        line(std::string("usemtl ") + kMaterials[current].name);
      }
      checkArea(m, f);
      std::string s = "f";
      for (const Corner& c : f.corners) {
        s += " " + std::to_string(v_ + 1 + c.p);
        switch (f.form) {
          case Form::V: break;
          case Form::VT: s += "/" + std::to_string(tmap[c.t]); break;
          case Form::VTN:
            s += "/" + std::to_string(tmap[c.t]) + "/" + std::to_string(nmap[c.n]);
            break;
          case Form::VN: s += "//" + std::to_string(nmap[c.n]); break;
        }
      }
      line(s);
      triangles += int(f.corners.size()) - 2;
      ++counts[int(f.form)];
    }
    v_ += int(m.positions.size());
  }

 private:
  int v_ = 0, vt_ = 0, vn_ = 0;

 public:
  int vertices() const { return v_; }
  int texcoords() const { return vt_; }
  int normals() const { return vn_; }

 private:
  // A zero-area triangle gets a non-finite facet normal in the viewer; test
  // the positions as they are written.
  static void checkArea(const Mesh& m, const Face& f) {
    auto rounded = [&](int p) {
      const Vec3& v = m.positions[p];
      return Vec3{std::stod(num(v.x, 3)), std::stod(num(v.y, 3)), std::stod(num(v.z, 3))};
    };
    Vec3 a = rounded(f.corners[0].p);
    for (size_t k = 2; k < f.corners.size(); ++k) {
      Vec3 b = rounded(f.corners[k - 1].p), c = rounded(f.corners[k].p);
      if (length(cross(b - a, c - a)) < 1e-7) {
        fprintf(stderr, "gen_scene: %s: degenerate triangle\n", m.group.c_str());
        std::exit(1);
      }
    }
  }

  // Corners asking for a smooth normal get the mean of the face normals
  // around their vertex.
  static bool fillSmoothNormals(Mesh& m) {
    std::vector<Vec3> sum(m.positions.size());
    std::vector<int> slot(m.positions.size(), -1);
    bool any = false;
    for (const Face& f : m.faces) {
      const auto& c = f.corners;
      Vec3 a = m.positions[c[0].p], b = m.positions[c[1].p], d = m.positions[c[2].p];
      Vec3 n = normalize(cross(b - a, d - a));
      for (const Corner& k : c)
        if (k.n < 0) {
          sum[k.p] = sum[k.p] + n;
          any = true;
        }
    }
    if (!any) return false;
    for (Face& f : m.faces)
      for (Corner& k : f.corners)
        if (k.n < 0) {
          if (slot[k.p] < 0) slot[k.p] = m.normal(sum[k.p]);
          k.n = slot[k.p];
        }
    return true;
  }
};

// ---------------------------------------------------------------- the room

void buildRoom(std::vector<Mesh>& out) {
  const double W = kRoomHalfWidth;
  Mesh floor("floor", Form::VTN, M_FLOOR, "room");
  addGrid(floor, {-W, 0, kBackWall}, {2 * W, 0, 0}, {0, 0, kFarWall - kBackWall}, 64);
  out.push_back(std::move(floor));

  Mesh ceiling("ceiling", Form::VT, M_PLASTER);
  addGrid(ceiling, {-W, kCeiling, kFarWall}, {2 * W, 0, 0}, {0, 0, kBackWall - kFarWall}, 48);
  out.push_back(std::move(ceiling));

  Mesh beams("ceiling_beams", Form::VTN, M_WOOD_DARK);
  for (double z = kFarWall + 30; z < kBackWall - 10; z += 55)
    addBox(beams, {-W, kCeiling - 7, z - 4}, {W, kCeiling, z + 4}, 40);
  out.push_back(std::move(beams));

  // The far wall, around the window opening, and the opening's reveals.
  Mesh far("wall_far", Form::VTN, M_WALLPAPER);
  const double fz = kFarWall, d = kWallThickness;
  addGrid(far, {-W, 0, fz}, {kWindowLeft + W, 0, 0}, {0, kCeiling, 0}, 40);
  addGrid(far, {kWindowRight, 0, fz}, {W - kWindowRight, 0, 0}, {0, kCeiling, 0}, 40);
  addGrid(far, {kWindowLeft, 0, fz}, {kWindowRight - kWindowLeft, 0, 0}, {0, kWindowBottom, 0}, 40);
  addGrid(far, {kWindowLeft, kWindowTop, fz}, {kWindowRight - kWindowLeft, 0, 0},
          {0, kCeiling - kWindowTop, 0}, 40);
  far.material = M_PLASTER;
  const double ww = kWindowRight - kWindowLeft, wh = kWindowTop - kWindowBottom;
  addGrid(far, {kWindowLeft, kWindowBottom, fz}, {0, 0, -d}, {0, wh, 0}, 48);
  addGrid(far, {kWindowRight, kWindowBottom, fz - d}, {0, 0, d}, {0, wh, 0}, 48);
  addGrid(far, {kWindowLeft, kWindowBottom, fz}, {ww, 0, 0}, {0, 0, -d}, 48);
  addGrid(far, {kWindowLeft, kWindowTop, fz - d}, {ww, 0, 0}, {0, 0, d}, 48);
  out.push_back(std::move(far));

  Mesh back("wall_back", Form::VTN, M_WALLPAPER);
  addGrid(back, {W, 0, kBackWall}, {-2 * W, 0, 0}, {0, kCeiling, 0}, 40);
  out.push_back(std::move(back));

  Mesh left("wall_left", Form::VTN, M_WALLPAPER);
  addGrid(left, {-W, 0, kBackWall}, {0, 0, kFarWall - kBackWall}, {0, kCeiling, 0}, 40);
  out.push_back(std::move(left));

  // Bare brick on the right: the hideout's cellar side.
  Mesh right("wall_right", Form::VT, M_BRICK);
  addGrid(right, {W, 0, kFarWall}, {0, 0, kBackWall - kFarWall}, {0, kCeiling, 0}, 64);
  out.push_back(std::move(right));

  // Skirting boards and a picture rail.
  Mesh trim("skirting", Form::VTN, M_WOOD_DARK);
  const double t = 1.2, h = 6;
  addBox(trim, {-W, 0, kFarWall}, {kWindowLeft, h, kFarWall + t}, 40);
  addBox(trim, {kWindowRight, 0, kFarWall}, {W - t, h, kFarWall + t}, 40);
  addBox(trim, {kWindowLeft, 0, kFarWall}, {kWindowRight, h, kFarWall + t}, 40);
  addBox(trim, {-W, 0, kFarWall + t}, {-W + t, h, kBackWall - t}, 40);
  addBox(trim, {-W + t, 0, kBackWall - t}, {W - t, h, kBackWall}, 40);
  addBox(trim, {-W, 92, kFarWall + t}, {-W + 0.8, 94, kBackWall - t}, 40);
  out.push_back(std::move(trim));

  // Window: frame bars, sill, the pane, and the city beyond.
  Mesh frame("window_frame", Form::VTN, M_WOOD_LIGHT, "window");
  const double fz0 = fz - d / 2 - 1.5, fz1 = fz - d / 2 + 1.5, b = 4;
  addBox(frame, {kWindowLeft, kWindowBottom, fz0}, {kWindowLeft + b, kWindowTop, fz1}, 40);
  addBox(frame, {kWindowRight - b, kWindowBottom, fz0}, {kWindowRight, kWindowTop, fz1}, 40);
  addBox(frame, {kWindowLeft + b, kWindowBottom, fz0}, {kWindowRight - b, kWindowBottom + b, fz1},
         40);
  addBox(frame, {kWindowLeft + b, kWindowTop - b, fz0}, {kWindowRight - b, kWindowTop, fz1}, 40);
  addBox(frame, {-1.5, kWindowBottom + b, fz0 + 0.5}, {1.5, kWindowTop - b, fz1 - 0.5}, 40);
  addBox(frame, {kWindowLeft + b, 65.5, fz0 + 0.5}, {kWindowRight - b, 68.5, fz1 - 0.5}, 40);
  addBox(frame, {kWindowLeft - 5, kWindowBottom - 2.5, fz},
         {kWindowRight + 5, kWindowBottom, fz + 7}, 40);
  out.push_back(std::move(frame));

  Mesh glass("window_glass", Form::VT, M_GLASS);
  addGrid(glass, {kWindowLeft + b, kWindowBottom + b, fz - d / 2}, {ww - 2 * b, 0, 0},
          {0, wh - 2 * b, 0}, 200, 200);
  out.push_back(std::move(glass));

  // One texel is about 0.55 units; the towers' tops fill the window's view.
  Mesh city("city_view", Form::VT, M_CITY, "outside");
  addGrid(city, {-420, -60, kFarWall - 100}, {840, 0, 0}, {0, 280, 0}, 280, 120, {0.5, 0.2143});
  out.push_back(std::move(city));

  // A panelled door in the back-right corner.
  Mesh door("door", Form::VTN, M_WOOD_DARK);
  const double dx = W - 0.8;
  addBox(door, {dx - 1.5, 0, 170}, {dx, 86, 176}, 40);
  addBox(door, {dx - 1.5, 0, 212}, {dx, 86, 218}, 40);
  addBox(door, {dx - 1.5, 86, 170}, {dx, 92, 218}, 40);
  door.material = M_WOOD_LIGHT;
  addBox(door, {dx - 0.8, 0, 176}, {dx, 86, 212}, 40);
  for (double y0 : {8.0, 48.0}) addBox(door, {dx - 1.4, y0, 180}, {dx - 0.8, y0 + 32, 208}, 40);
  door.material = M_BRASS;
  addBox(door, {dx - 3.2, 40, 181}, {dx - 0.8, 41.2, 186}, 40);
  out.push_back(std::move(door));

  // A rug under the desk area.
  Mesh rug("rug", Form::VT, M_RUG);
  addBox(rug, Frame{{0, 0.25, -5}}, {60, 0.25, 75},
         [](int face, double s, double tt, double, double) {
           return face == 2 ? Vec2{s, tt} : Vec2{0.01, 0.01};
         });
  out.push_back(std::move(rug));

  // A sepia world map, framed, on the right-hand brick wall.
  Mesh map("wall_map", Form::VTN, M_MAP);
  const double mz = -133, my = 62;
  addGrid(map, {W - 1.6, my, mz}, {0, 0, 64}, {0, 32, 0}, 64, 64);
  for (size_t k = 0; k < map.uvs.size(); ++k)  // the whole map once across the frame
    map.uvs[k] = {(map.positions[k].z - mz) / 64, (map.positions[k].y - my) / 32};
  map.material = M_WOOD_DARK;
  addBox(map, {W - 2, my - 3, mz - 3}, {W, my, mz + 67}, 40);
  addBox(map, {W - 2, my + 32, mz - 3}, {W, my + 35, mz + 67}, 40);
  addBox(map, {W - 2, my, mz - 3}, {W, my + 32, mz}, 40);
  addBox(map, {W - 2, my, mz + 64}, {W, my + 32, mz + 67}, 40);
  out.push_back(std::move(map));

  // A hanging lamp.
  Mesh pendant("ceiling_light", Form::VN, M_BRASS);
  addLathe(pendant, Frame{{0, 0, -15}},
           {{0, kCeiling},
            {1.5, kCeiling},
            {1.5, kCeiling - 1},
            {0.3, kCeiling - 1.5},
            {0.3, kCeiling - 20},
            {1.2, kCeiling - 20.5},
            {7, kCeiling - 25},
            {9, kCeiling - 27},
            {0, kCeiling - 26.5}},
           24, 2);
  out.push_back(std::move(pendant));
}

// ---------------------------------------------------------------- furniture

constexpr double kDeskTop = 31;
constexpr double kDeskZ = -50;

void buildDesk(std::vector<Mesh>& out) {
  Mesh desk("desk", Form::VTN, M_WOOD_DARK, "desk");
  addBox(desk, {-42, kDeskTop - 3, kDeskZ - 19}, {42, kDeskTop, kDeskZ + 19}, 40);
  addBox(desk, {-40, 0, kDeskZ - 17}, {-18, kDeskTop - 3, kDeskZ + 17}, 40);
  addBox(desk, {18, 0, kDeskZ - 17}, {40, kDeskTop - 3, kDeskZ + 17}, 40);
  addBox(desk, {-18, 8, kDeskZ + 14}, {18, kDeskTop - 3, kDeskZ + 16}, 40);
  // Raised panels on the front of the pedestals.
  desk.material = M_WOOD_LIGHT;
  for (double x0 : {-37.0, 21.0})
    addBox(desk, {x0, 4, kDeskZ + 17}, {x0 + 16, 24, kDeskZ + 17.8}, 40);
  addBox(desk, {-15, 11, kDeskZ + 16}, {15, 25, kDeskZ + 16.6}, 40);
  out.push_back(std::move(desk));

  Mesh drawers("desk_drawers", Form::VTN, M_WOOD_LIGHT);
  for (double x0 : {-38.0, 20.0})
    for (int k = 0; k < 3; ++k) {
      double y0 = 2 + k * 8.5;
      drawers.material = M_WOOD_LIGHT;
      addBox(drawers, {x0, y0, kDeskZ - 17.8}, {x0 + 18, y0 + 7.8, kDeskZ - 17}, 40);
      drawers.material = M_BRASS;
      addBox(drawers, {x0 + 7, y0 + 3.4, kDeskZ - 18.8}, {x0 + 11, y0 + 4.4, kDeskZ - 17.8}, 40);
    }
  out.push_back(std::move(drawers));

  // Loose pages and a folder on the blotter.
  Mesh papers("papers", Form::VT, M_PAPER);
  Rng rng(201);
  for (int k = 0; k < 4; ++k) {
    Frame f = yawFrame({rng.range(-6, 14), kDeskTop + 0.05 + 0.04 * k, kDeskZ + rng.range(0, 8)},
                       rng.range(-0.5, 0.5));
    Vec3 a = f.point({-4.2, 0, 5.9}), b = f.point({4.2, 0, 5.9}), c = f.point({4.2, 0, -5.9}),
         d = f.point({-4.2, 0, -5.9});
    papers.face({{papers.position(a), papers.uv(0, 0), -1},
                 {papers.position(b), papers.uv(1, 0), -1},
                 {papers.position(c), papers.uv(1, 1), -1},
                 {papers.position(d), papers.uv(0, 1), -1}});
  }
  papers.material = M_MANILA;
  addBox(papers, yawFrame({26, kDeskTop + 0.3, kDeskZ + 2}, 0.2), {5, 0.3, 6.5}, planarUv(20));
  papers.material = M_BLACK;
  addBeam(papers, {20, kDeskTop + 0.4, kDeskZ + 10}, {28, kDeskTop + 0.4, kDeskZ + 6}, 0.5, 20);
  out.push_back(std::move(papers));

  // A banker's lamp: brass base and stem, green shade.
  Mesh lamp("desk_lamp", Form::VN, M_BRASS, "lamp");
  Frame base{{-28, kDeskTop, kDeskZ - 6}};
  addLathe(lamp, base, {{0, 1.6}, {2.5, 1.5}, {4.5, 1.0}, {5.2, 0.4}, {5.2, 0}, {0, 0}}, 32, 2);
  addLathe(lamp, base, {{0, 16.5}, {0.6, 16.4}, {0.45, 14}, {0.45, 2}, {0.9, 1.5}, {0, 1.4}}, 16,
           1);
  lamp.material = M_LAMP_SHADE;
  Vec3 sc{-28, kDeskTop + 15.5, kDeskZ - 5};
  SurfaceOptions open;
  open.closedU = false;
  addSurface(
      lamp, 24, 8,
      [&](double u, double v) {
        double a = u * kPi;
        return sc + Vec3{(v - 0.5) * 17, 4 * std::sin(a), 4 * std::cos(a)};
      },
      sc, open);
  out.push_back(std::move(lamp));

  // Office chair behind the desk, facing the room.
  Mesh chair("chair", Form::VTN, M_LEATHER, "chair");
  const double cz = kDeskZ - 34;
  addBox(chair, {-12, 17, cz - 10}, {12, 20, cz + 10}, 30);
  Frame backrest = {{0, 33, cz - 11}, {1, 0, 0}, normalize({0, 1, -0.15}), {}};
  backrest.z = cross(backrest.x, backrest.y);
  addBox(chair, backrest, {12, 12, 1.5}, planarUv(30));
  chair.material = M_WOOD_DARK;
  for (double x : {-13.0, 13.0}) {
    addBox(chair, {x - 1, 24, cz - 9}, {x + 1, 25.5, cz + 9}, 40);
    addBox(chair, {x - 0.7, 20, cz + 6}, {x + 0.7, 24, cz + 7.4}, 40);
  }
  out.push_back(std::move(chair));

  Mesh legs("chair_legs", Form::V, M_BLACK);
  for (int k = 0; k < 5; ++k) {
    double a = 2 * kPi * k / 5;
    addBeam(legs, {0, 2, cz}, {13 * std::cos(a), 1, cz + 13 * std::sin(a)}, 1.6, 20);
  }
  addBeam(legs, {0, 1, cz}, {0, 17, cz}, 2.2, 20);
  out.push_back(std::move(legs));
}

void buildBookshelf(std::vector<Mesh>& out) {
  const double x0 = -kRoomHalfWidth, x1 = x0 + 16, z0 = -150, z1 = -30, top = 96;
  Mesh shelf("bookshelf", Form::VTN, M_WOOD_DARK, "bookshelf");
  addBox(shelf, {x0, 0, z0}, {x1, top, z0 + 2}, 40);
  addBox(shelf, {x0, 0, z1 - 2}, {x1, top, z1}, 40);
  addBox(shelf, {x0, top - 2, z0}, {x1 + 1, top, z1}, 40);
  addBox(shelf, {x0 + 0.5, 0, z0 + 2}, {x1, 4, z1 - 2}, 40);
  addBox(shelf, {x0, 4, z0 + 2}, {x0 + 1, top - 2, z1 - 2}, 40);
  for (int k = 1; k < 5; ++k) {
    double y = 4 + k * 18;
    addBox(shelf, {x0 + 1, y - 1.5, z0 + 2}, {x1, y, z1 - 2}, 40);
  }
  out.push_back(std::move(shelf));

  // Books stand with their spines (+x of their frame) towards the room.
  Mesh books("books", Form::VTN, M_BOOK_RED);
  Rng rng(301);
  const int bookMaterials[] = {M_BOOK_RED, M_BOOK_GREEN, M_BOOK_BLUE, M_BOOK_BROWN};
  for (int s = 0; s < 5; ++s) {
    double floorY = 4 + s * 18, room = s < 4 ? 16.0 : 7.5;
    double z = z0 + 2.5;
    while (z < z1 - 6) {
      if (rng.uniform() < 0.06) {  // a gap
        z += rng.range(3, 9);
        continue;
      }
      double thick = rng.range(1.2, 3.4), height = std::min(room - 0.5, rng.range(9.5, 15.5));
      double depth = rng.range(9, 12.5);
      int strip = rng.below(16);
      books.material = bookMaterials[rng.below(4)];
      BoxUv uv = [strip](int face, double s0, double t0, double, double) {
        if (face == 0) return Vec2{(strip + 0.08 + 0.84 * s0) / 16.0, 0.86 * t0};
        return Vec2{s0, 0.88 + 0.11 * t0};
      };
      bool leaning = rng.uniform() < 0.08 && z > z0 + 20;
      Frame f{{x1 - 0.5 - depth / 2, floorY + height / 2, z + thick / 2}};
      if (leaning) {  // tipped against its neighbour towards -z
        double tilt = 0.35;
        f.y = {0, std::cos(tilt), -std::sin(tilt)};
        f.z = {0, std::sin(tilt), std::cos(tilt)};
        f.origin.y = floorY + (height / 2) * std::cos(tilt) + (thick / 2) * std::sin(tilt);
        f.origin.z = z + (height / 2) * std::sin(tilt) + thick;
        z += height * std::sin(tilt) + thick + 0.5;
      } else {
        z += thick + 0.05;
      }
      addBox(books, f, {depth / 2, height / 2, thick / 2}, uv);
    }
  }
  out.push_back(std::move(books));
}

void buildSafe(std::vector<Mesh>& out) {
  const double x0 = 136, x1 = kRoomHalfWidth - 0.5, z0 = -128, z1 = -74, h = 54;
  const double zc = (z0 + z1) / 2;
  Mesh safe("safe", Form::VTN, M_STEEL, "safe");
  addBox(safe, {x0, 3, z0}, {x1, h, z1}, 60);
  safe.material = M_STEEL_DARK;
  addBox(safe, {x0 + 2, 0, z0 + 2}, {x1 - 2, 3, z1 - 2}, 60);
  out.push_back(std::move(safe));

  Mesh door("safe_door", Form::VTN, M_STEEL);
  addBox(door, {x0 - 2, 7, z0 + 3}, {x0, h - 4, z1 - 3}, 60);
  door.material = M_STEEL_DARK;
  for (double y : {14.0, 44.0}) addBox(door, {x0 - 1, y, z1 - 3}, {x0 + 0.5, y + 4, z1 - 1}, 60);
  addBeam(door, {x0 - 2, 28, zc + 9}, {x0 - 5, 28, zc + 9}, 1.6, 20);
  addBeam(door, {x0 - 5, 22, zc + 9}, {x0 - 5, 34, zc + 9}, 1.4, 20);
  out.push_back(std::move(door));

  // The combination dial: a knob with a 24-sided face and a brass ring.
  Mesh dial("safe_dial", Form::V, M_STEEL_DARK);
  Frame f = {{x0 - 2, 36, zc - 6}, {0, 0, 1}, {-1, 0, 0}, {}};
  f.z = cross(f.x, f.y);
  addLathe(dial, f, {{4.5, 1.5}, {4.5, 0}}, 24, 1);
  addPolygon(dial, f.point({0, 1.5, 0}), {0, 0, 1}, {0, 1, 0}, 4.5, 24);
  dial.material = M_BRASS;
  addLathe(dial, f, {{5.6, 0.5}, {5.6, 0}}, 24, 1);
  addPolygon(dial, f.point({0, 0.5, 0}), {0, 0, 1}, {0, 1, 0}, 5.6, 12, kPi / 12);
  out.push_back(std::move(dial));
}

void buildGlobe(std::vector<Mesh>& out) {
  const Vec3 centre{-120, 46, -10};
  const double radius = 15, tilt = 23.4 * kPi / 180;
  Frame axis = {
      centre, {std::cos(tilt), -std::sin(tilt), 0}, {std::sin(tilt), std::cos(tilt), 0}, {0, 0, 1}};
  Mesh globe("globe", Form::VTN, M_GLOBE, "globe");
  SurfaceOptions o;
  o.poleTop = o.poleBottom = true;
  addSurface(
      globe, 96, 48,
      [&](double u, double v) {
        double lon = u * 2 * kPi + 2.0, lat = kPi * v;
        return axis.point(
            Vec3{std::sin(lat) * std::cos(lon), std::cos(lat), -std::sin(lat) * std::sin(lon)} *
            radius);
      },
      centre, o);
  out.push_back(std::move(globe));

  Mesh stand("globe_stand", Form::VN, M_BRASS);
  // Meridian ring through the poles, and the horizon ring.
  auto torus = [&](Frame f, double major, double minor, int nu, int nv) {
    addSurface(stand, nu, nv,
               [&, f](double u, double v) {
                 double a = u * 2 * kPi, b = v * 2 * kPi;
                 double r = major + minor * std::cos(b);
                 return f.point({r * std::cos(a), minor * std::sin(b), r * std::sin(a)});
               },
               f.origin, {});
  };
  Mesh& s = stand;
  auto tube = [&](Frame f, double major, double minor, int nu, int nv) {
    int before = int(s.faces.size());
    torus(f, major, minor, nu, nv);
    // Orientation by the ring's centre line, not its centre point.
    for (size_t k = before; k < s.faces.size(); ++k) {
      auto& c = s.faces[k].corners;
      Vec3 a = s.positions[c[0].p], b = s.positions[c[1].p], d = s.positions[c[2].p];
      Vec3 mid = (a + b + d) * (1.0 / 3);
      Vec3 rel = mid - f.origin;
      Vec3 inPlane = rel - f.y * dot(rel, f.y);
      Vec3 core = f.origin + normalize(inPlane) * major;
      if (dot(cross(b - a, d - a), mid - core) < 0) std::reverse(c.begin(), c.end());
    }
  };
  tube({centre, axis.y, axis.z, cross(axis.y, axis.z)}, radius + 1.2, 0.5, 96, 8);
  stand.material = M_WOOD_DARK;
  tube({centre, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, radius + 2.5, 0.9, 96, 8);
  out.push_back(std::move(stand));

  Mesh base("globe_base", Form::VTN, M_WOOD_DARK);
  addLathe(base, Frame{{centre.x, 0, centre.z}},
           {{0, 30},
            {1.5, 30},
            {1.2, 28},
            {2.2, 24},
            {1.3, 18},
            {2.6, 10},
            {1.6, 5},
            {9, 3},
            {10, 1.5},
            {10, 0}},
           32, 3);
  for (int k = 0; k < 3; ++k) {
    double a = 2 * kPi * k / 3 + 0.4;
    Vec3 top = centre + Vec3{(radius + 2.5) * std::cos(a), -0.5, (radius + 2.5) * std::sin(a)};
    Vec3 foot{centre.x + 9 * std::cos(a), 2, centre.z + 9 * std::sin(a)};
    addBeam(base, foot, top, 1.4, 40);
  }
  out.push_back(std::move(base));
}

void buildCoatStand(std::vector<Mesh>& out) {
  const Vec3 at{118, 0, -28};
  Frame f{at};
  Mesh stand("coat_stand", Form::V, M_WOOD_DARK, "coat_stand");
  addLathe(
      stand, f,
      {{0, 93.5}, {1.6, 92.8}, {2.2, 91}, {1.4, 89.5}, {1.1, 88}, {1.1, 6}, {1.8, 3}, {0, 2.5}}, 20,
      2);
  for (int k = 0; k < 4; ++k) {
    double a = kPi / 4 + k * kPi / 2;
    addBeam(stand, at + Vec3{0, 3, 0}, at + Vec3{16 * std::cos(a), 1, 16 * std::sin(a)}, 2.2, 40);
    addBeam(stand, at + Vec3{0, 84, 0}, at + Vec3{7 * std::cos(a), 89, 7 * std::sin(a)}, 0.9, 40);
  }
  out.push_back(std::move(stand));

  // The trench coat hangs round the pole: folds deepen towards the hem.
  Mesh coat("trench_coat", Form::VTN, M_COAT, "trench_coat");
  Frame cf = yawFrame(at + Vec3{-1.5, 0, 1}, 0.6);
  std::vector<ProfilePoint> prof = {{0, 85.5},  {3.5, 85}, {6, 83.5},  {9.5, 81},  {12, 78.5},
                                    {12.5, 74}, {12, 66},  {11.2, 56}, {10.6, 50}, {11.3, 44},
                                    {12.6, 36}, {14, 28},  {15.2, 21}, {15.6, 19}};
  SurfaceOptions o;
  o.vScale = 4;
  o.uScale = 6;
  addLathe(coat, cf, prof, 128, 6, o, 1.0, 0.72, [](double a, double y) {
    double depth = smoothstep(70, 20, y);
    return 1 + 0.06 * depth * std::sin(9 * a + 0.4 * std::sin(3 * a)) + 0.02 * std::sin(3 * a);
  });
  out.push_back(std::move(coat));

  Mesh belt("coat_belt", Form::VT, M_COAT);
  addLathe(belt, cf, {{10.9, 52}, {11.2, 51.5}, {11.2, 48.5}, {10.9, 48}}, 64, 1, {}, 1.0, 0.72);
  belt.material = M_BRASS;
  addBox(belt, Frame{cf.point({0, 50, 10.9 * 0.72 + 0.2}), cf.x, cf.y, cf.z}, {1.6, 1.6, 0.3},
         planarUv(10));
  out.push_back(std::move(belt));

  // A fedora on the top knob: pinched crown, band, curled brim.
  Mesh hat("hat", Form::VTN, M_FELT, "hat");
  Frame hf = yawFrame(at + Vec3{0, 91.2, 0}, -0.3);
  std::vector<ProfilePoint> hp = {{0, 8.6},    {2.2, 9.4},  {4.2, 9.8}, {5.4, 9.2}, {5.9, 7},
                                  {6.2, 4},    {6.4, 2},    {6.5, 0.6}, {8, 0.35},  {10, 0.6},
                                  {11.4, 1.3}, {11.6, 0.9}, {10, 0.1},  {8, -0.1},  {6.5, 0}};
  SurfaceOptions ho;
  const int steps = 4;
  ho.materialOfRow = [&](int row) {
    int seg = row / steps;
    return seg == 6 ? M_BAND : M_FELT;  // from y 2 down to 0.6
  };
  addLathe(hat, hf, hp, 64, steps, ho, 1.0, 0.85, [](double a, double y) {
    return 1 - 0.08 * std::pow(std::cos(a), 2) * smoothstep(6, 9, y);  // the pinch
  });
  out.push_back(std::move(hat));
}

// The bust: a head modelled as a displaced sphere, with neck and shoulders,
// on a marble plinth. Local units: the head is two units tall.
// Direction from the head's centre for (u, v): u around (the seam at the
// back), v from the crown down; +z is the face.
Vec3 headDirection(double u, double v) {
  double lon = u * 2 * kPi + kPi, lat = v * kPi;
  return {std::sin(lat) * std::sin(lon), std::cos(lat), std::sin(lat) * std::cos(lon)};
}

// Where the hair grows: crown and back of the head, above the ears.
double hairMask(Vec3 d) {
  double line = 0.3 + 0.3 * std::max(0.0, d.z) - 0.25 * std::max(0.0, -d.z);
  return smoothstep(line - 0.06, line + 0.06, d.y) * smoothstep(-0.55, -0.3, d.y);
}

Vec3 headPoint(double u, double v) {
  Vec3 d = headDirection(u, v);
  const double a = 0.76, b = 1.0, c = 0.94;
  double r = 1 / std::sqrt(d.x * d.x / (a * a) + d.y * d.y / (b * b) + d.z * d.z / (c * c));
  double front = smoothstep(0.3, 0.75, d.z);
  double ax = std::fabs(d.x);
  auto bump = [&](double cx, double cy, double sx, double sy) {
    return std::exp(-std::pow((ax - cx) / sx, 2) - std::pow((d.y - cy) / sy, 2));
  };
  double off = -0.05 * front;  // the face is flatter than the skull
  // Nose: bridge from between the eyes to a rounded tip, nostril wings.
  double along = smoothstep(0.08, -0.3, d.y);
  double nose = along * std::exp(-std::pow(std::max(0.0, -0.3 - d.y) / 0.035, 2));
  off += 0.26 * front * nose * std::exp(-std::pow(d.x / (0.06 + 0.06 * along), 2));
  off += 0.06 * front * bump(0.1, -0.3, 0.06, 0.045);
  // Brow ridge, sockets, eyeballs and lids.
  off += 0.06 * front * bump(0.22, 0.17, 0.2, 0.05);
  off -= 0.11 * front * bump(0.25, 0.05, 0.13, 0.09);
  off += 0.07 * front * bump(0.25, 0.04, 0.075, 0.055);
  off += 0.02 * front * bump(0.25, 0.09, 0.09, 0.02);
  // Cheekbones, mouth with philtrum and lips, the chin.
  off += 0.05 * front * bump(0.42, -0.17, 0.12, 0.1);
  off += 0.05 * front * bump(0, -0.47, 0.16, 0.035);
  off += 0.045 * front * bump(0, -0.58, 0.14, 0.04);
  off -= 0.03 * front * bump(0, -0.525, 0.17, 0.014);
  off -= 0.015 * front * bump(0, -0.4, 0.02, 0.05);
  off += 0.12 * front * bump(0, -0.8, 0.16, 0.1);
  // Ears: thin and tall, just behind the middle of each side.
  double ear = std::exp(-std::pow((d.y + 0.12) / 0.2, 2) - std::pow((d.z + 0.12) / 0.07, 2));
  off += 0.11 * smoothstep(0.8, 0.97, ax) * ear;
  // Hair stands a little proud of the skull.
  off += 0.035 * hairMask(d);
  // The jaw narrows below the cheeks and the nape tucks in.
  double jaw = smoothstep(-0.3, -0.9, d.y);
  Vec3 p = d * (r + off);
  p.x *= 1 - 0.16 * jaw;
  if (p.z < 0) p.z *= 1 - 0.3 * jaw;
  return p;
}

void buildBust(std::vector<Mesh>& out) {
  const Vec3 at{-30, 0, 95};
  Mesh plinth("plinth", Form::VTN, M_MARBLE, "bust");
  addBox(plinth, {at.x - 15, 0, at.z - 15}, {at.x + 15, 4, at.z + 15}, 48);
  addBox(plinth, {at.x - 12, 4, at.z - 12}, {at.x + 12, 33, at.z + 12}, 48);
  addBox(plinth, {at.x - 14, 33, at.z - 14}, {at.x + 14, 36, at.z + 14}, 48);
  out.push_back(std::move(plinth));

  const double scale = 9.5, chestBottom = -2.3;
  Frame f = yawFrame(at + Vec3{0, 36 - chestBottom * scale, 0}, 1.3);
  auto place = [&](Vec3 l) { return f.point(l * scale); };

  Mesh head("bust_head", Form::VT, M_SKIN);
  SurfaceOptions o;
  o.poleTop = o.poleBottom = true;
  addSurface(
      head, 288, 192, [&](double u, double v) { return place(headPoint(u, v)); }, f.origin, o);
  for (Face& face : head.faces) {  // hair where the crown's faces lie
    const Vec2& t = head.uvs[face.corners[0].t];
    const Vec2& t2 = head.uvs[face.corners[2].t];
    if (hairMask(headDirection((t.u + t2.u) / 2, 1 - (t.v + t2.v) / 2)) > 0.5)
      face.material = M_HAIR;
  }
  out.push_back(std::move(head));

  Mesh neck("bust_neck", Form::VT, M_SKIN);
  addSurface(neck, 64, 24,
             [&](double u, double v) {
               double a = u * 2 * kPi, y = mix(-0.35, -1.55, v);
               double r = 0.4 + 0.04 * smoothstep(-1.2, -1.55, y);
               return place({r * std::sin(a), y, -0.08 + 0.9 * r * std::cos(a)});
             },
             place({0, -1, -0.08}), {});
  out.push_back(std::move(neck));

  Mesh chest("bust_chest", Form::VT, M_SKIN);
  std::vector<ProfilePoint> cp = {{0, -1.12},   {0.55, -1.18}, {1.05, -1.28},     {1.4, -1.45},
                                  {1.58, -1.7}, {1.6, -2.0},   {1.5, chestBottom}};
  SurfaceOptions co;
  co.poleTop = true;
  addSurface(
      chest, 192, 48,
      [&](double u, double v) {
        double a = u * 2 * kPi;
        Vec3 l = onProfile(cp, v, a, 1.0, 0.62);
        // Pectorals forward, shoulder blades back.
        l.z += 0.06 * smoothstep(-1.3, -1.7, l.y) * std::max(0.0, std::sin(a));
        return place(l);
      },
      place({0, -1.6, 0}), co);
  out.push_back(std::move(chest));
}

// ---------------------------------------------------------------- main

std::string materialLibrary() {
  std::string s = "# Materials of the spy's hideout; every one names a diffuse image.\n";
  for (const Material& m : kMaterials) {
    s += "\nnewmtl " + std::string(m.name) + "\n";
    std::string kd = num(m.kd.x, 3) + " " + num(m.kd.y, 3) + " " + num(m.kd.z, 3);
    s += "Ka " + kd + "\n";  // the light's strong ambient carries the back-lit side
    s += "Kd " + kd + "\n";
    s += "Ks " + num(m.ks, 3) + " " + num(m.ks, 3) + " " + num(m.ks, 3) + "\n";
    s += "Ns " + num(m.ns, 1) + "\n";
    s += "d " + num(m.d, 2) + "\n";
    s += "illum 2\n";
    s += "map_Kd " + std::string(m.map) + "\n";
  }
  return s;
}

// The scene's own page, with the counts the reader must find (tests/test_scene.cpp).
std::string readme(const ObjWriter& obj) {
  const int textures = int(sizeof kTextures / sizeof kTextures[0]);
  std::string s =
      "# The scene\n\n"
      "`spy_scene_extended.obj` is a spy's hideout: a panelled office with a window on the\n"
      "city at night, a desk with papers and a banker's lamp, a chair, a bookshelf full of\n"
      "books, a floor globe, a safe, a trench coat and fedora on a stand, a wall map, a rug,\n"
      "and a large bust whose smooth head shows off the skin effect.\n\n"
      "Every file here except `mat/` is written by `tools/gen_scene` (procedural geometry\n"
      "and textures, deterministic): run `tools/gen_scene.sh` to rebuild them, and commit\n"
      "the result. Do not edit them by hand.\n\n"
      "Model units are 2.5 cm, y up; the viewer draws the model at half size, so its\n"
      "starting eye (0, 30, 100) stands 1.5 m above the floor near the back wall, looking\n"
      "at the window. Texture images: raw PPM, PNG, JPEG and TGA, all with power-of-two\n"
      "sides; `white.tga` serves the plain-coloured materials.\n\n"
      "## Counts\n\n"
      "As the library reads the file (groups include the reader's own \"default\",\n"
      "materials the built-in \"default\"):\n\n";
  auto count = [&](const char* name, int n) {
    s += "- " + std::string(name) + ": " + std::to_string(n) + "\n";
  };
  count("vertices", obj.vertices());
  count("texcoords", obj.texcoords());
  count("normals", obj.normals());
  count("triangles", obj.triangles);
  count("groups", obj.groups + 1);
  count("materials", int(M_COUNT) + 1);
  count("textures", textures);
  s += "\nFaces by form: " + std::to_string(obj.counts[0]) + " v, " +
       std::to_string(obj.counts[1]) + " v/t, " + std::to_string(obj.counts[2]) + " v/t/n, " +
       std::to_string(obj.counts[3]) + " v//n.\n";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: gen_scene <output-directory>\n");
    return 2;
  }
  std::string dir = argv[1];

  ilInit();
  ilEnable(IL_FILE_OVERWRITE);
  ilSetInteger(IL_JPG_QUALITY, kJpegQuality);
  for (const TextureFile& t : kTextures)
    if (!writeImage(dir, t.name, t.make())) return 1;

  std::vector<Mesh> meshes;
  buildRoom(meshes);
  buildDesk(meshes);
  buildBookshelf(meshes);
  buildSafe(meshes);
  buildGlobe(meshes);
  buildCoatStand(meshes);
  buildBust(meshes);

  ObjWriter obj;
  obj.line("# A spy's hideout: office, books, safe, globe, coat and hat, and a bust.");
  obj.line("# Generated by tools/gen_scene; do not edit by hand.");
  obj.line("# Units are 2.5 cm; y is up and the room's far wall lies towards -z.");
  obj.line(std::string("mtllib ") + kLibraryName);
  for (Mesh& m : meshes) obj.write(m);
  if (!writeFile(dir + "/" + kSceneName, obj.text)) return 1;
  if (!writeFile(dir + "/" + kLibraryName, materialLibrary())) return 1;
  if (!writeFile(dir + "/README.md", readme(obj))) return 1;
  printf("gen_scene: %d groups, %d materials, %d triangles, %zu textures\n", obj.groups,
         int(M_COUNT), obj.triangles, sizeof kTextures / sizeof kTextures[0]);
  return 0;
}
