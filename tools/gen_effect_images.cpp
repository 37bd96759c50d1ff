// Generates the effects' sampler images: the skin detail map, the six nested
// hatching tones, the watercolor ramps and the paper noise. Deterministic
// (fixed seeds), so a rerun reproduces the committed files byte for byte.
// Usage: gen_effect_images <output-directory>
#include <IL/il.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kTileSize = 256;  // every tileable image; all noise periods divide it
constexpr int kJpegQuality = 95;
constexpr double kPi = 3.14159265358979323846;

// ---- Random numbers: splitmix64, so the output does not depend on the
// standard library's distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  double gaussian() {  // Box-Muller
    double u = std::max(uniform(), 1e-12), v = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * kPi * v);
  }

 private:
  uint64_t state_;
};

// A float picture, row 0 at the bottom (the origin DevIL is given).
struct Plane {
  int width, height;
  std::vector<double> v;
  Plane(int w, int h, double fill) : width(w), height(h), v(size_t(w) * h, fill) {}
  double& at(int x, int y) { return v[size_t(y) * width + x]; }
  double at(int x, int y) const { return v[size_t(y) * width + x]; }
  double& wrapped(int x, int y) {
    return at(((x % width) + width) % width, ((y % height) + height) % height);
  }
  double mean() const {
    double s = 0;
    for (double d : v) s += d;
    return s / double(v.size());
  }
};

uint8_t toByte(double value) { return uint8_t(std::lround(std::clamp(value, 0.0, 1.0) * 255.0)); }

bool save(const std::string& path, int width, int height, int channels,
          const std::vector<uint8_t>& bytes, ILenum type) {
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  ILenum format = channels == 1 ? IL_LUMINANCE : channels == 3 ? IL_RGB : IL_RGBA;
  bool ok = ilTexImage(ILuint(width), ILuint(height), 1, ILubyte(channels), format,
                       IL_UNSIGNED_BYTE, const_cast<uint8_t*>(bytes.data())) &&
            ilSave(type, path.c_str());
  ilDeleteImages(1, &image);
  if (!ok)
    fprintf(stderr, "gen_effect_images: cannot write %s (DevIL error %u)\n", path.c_str(),
            unsigned(ilGetError()));
  else
    printf("wrote %s\n", path.c_str());
  return ok;
}

// Uncompressed 32-bit TGA (image type 2), rows from the bottom up. Written
// here rather than by DevIL, whose writer leaves header bytes unset and so
// would make the file differ from run to run.
bool saveTga(const std::string& path, int width, int height, const std::vector<uint8_t>& rgba) {
  const uint8_t kTrueColor = 2, kBitsPerPixel = 32, kAlphaBits = 8;  // origin lower left
  uint8_t header[18] = {0, 0, kTrueColor};
  header[12] = uint8_t(width & 0xFF);
  header[13] = uint8_t(width >> 8);
  header[14] = uint8_t(height & 0xFF);
  header[15] = uint8_t(height >> 8);
  header[16] = kBitsPerPixel;
  header[17] = kAlphaBits;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    fprintf(stderr, "gen_effect_images: cannot write %s\n", path.c_str());
    return false;
  }
  bool ok = fwrite(header, 1, sizeof header, file) == sizeof header;
  for (size_t i = 0; ok && i < rgba.size(); i += 4) {
    const uint8_t bgra[4] = {rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]};
    ok = fwrite(bgra, 1, 4, file) == 4;
  }
  ok = fclose(file) == 0 && ok;
  if (ok) printf("wrote %s\n", path.c_str());
  return ok;
}

bool saveRgb(const std::string& path, const Plane& r, const Plane& g, const Plane& b, ILenum type) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < r.v.size(); i++) {
    bytes.push_back(toByte(r.v[i]));
    bytes.push_back(toByte(g.v[i]));
    bytes.push_back(toByte(b.v[i]));
  }
  return save(path, r.width, r.height, 3, bytes, type);
}

// ---- Tileable value noise -------------------------------------------------

// Smoothly interpolated random lattice with `cell` pixels per lattice step;
// the lattice indices wrap at kTileSize / cell, so the result tiles.
Plane valueNoise(int cell, Random& random) {
  int period = kTileSize / cell;
  std::vector<double> lattice(size_t(period) * period);
  for (double& d : lattice) d = random.uniform();
  auto node = [&](int i, int j) { return lattice[size_t(j % period) * period + i % period]; };
  auto fade = [](double t) { return t * t * (3.0 - 2.0 * t); };
  Plane out(kTileSize, kTileSize, 0.0);
  for (int y = 0; y < kTileSize; y++)
    for (int x = 0; x < kTileSize; x++) {
      int i = x / cell, j = y / cell;
      double fx = fade(double(x % cell) / cell), fy = fade(double(y % cell) / cell);
      double bottom = node(i, j) + (node(i + 1, j) - node(i, j)) * fx;
      double top = node(i, j + 1) + (node(i + 1, j + 1) - node(i, j + 1)) * fx;
      out.at(x, y) = bottom + (top - bottom) * fy;
    }
  return out;
}

// Sum of octaves, amplitude halving from the first (coarsest) cell size.
Plane fbm(const std::vector<int>& cells, Random& random) {
  Plane sum(kTileSize, kTileSize, 0.0);
  double amplitude = 1.0;
  for (int cell : cells) {
    Plane octave = valueNoise(cell, random);
    for (size_t i = 0; i < sum.v.size(); i++) sum.v[i] += amplitude * octave.v[i];
    amplitude *= 0.5;
  }
  return sum;
}

// Maps a channel to mean 0.5 with mean +- 3 sigma spanning 0..1.
void normalise(Plane& p) {
  double mean = p.mean(), var = 0;
  for (double d : p.v) var += (d - mean) * (d - mean);
  double sigma = std::sqrt(var / double(p.v.size()));
  for (double& d : p.v) d = std::clamp(0.5 + (d - mean) / (6.0 * sigma), 0.0, 1.0);
}

// ---- Skin detail map --------------------------------------------------------

constexpr double kSkinBase[3] = {0.93, 0.80, 0.72};  // warm, mean tint of the map
constexpr double kSkinRedness = 0.04;                // +- from low-frequency fBm
constexpr double kPoreArea = 40.0;                   // pixels per pore
constexpr double kPoreRadius[2] = {0.7, 1.2};
constexpr double kPoreDarkening[2] = {0.10, 0.15};
constexpr double kSkinPixelNoise = 0.02;

bool writeSkin(const std::string& dir) {
  Random random(0x5EED5C1Aull);
  Plane redness = fbm({64, 32, 16}, random);
  normalise(redness);  // 0..1 around 0.5
  Plane shade(kTileSize, kTileSize, 1.0);
  int pores = int(kTileSize * kTileSize / kPoreArea);
  for (int n = 0; n < pores; n++) {
    double cx = random.range(0, kTileSize), cy = random.range(0, kTileSize);
    double radius = random.range(kPoreRadius[0], kPoreRadius[1]);
    double dark = random.range(kPoreDarkening[0], kPoreDarkening[1]);
    for (int y = int(cy - radius) - 1; y <= int(cy + radius) + 1; y++)
      for (int x = int(cx - radius) - 1; x <= int(cx + radius) + 1; x++) {
        double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
        double coverage = std::clamp(radius + 0.5 - d, 0.0, 1.0);
        shade.wrapped(x, y) *= 1.0 - dark * coverage;
      }
  }
  Plane r(kTileSize, kTileSize, 0), g(kTileSize, kTileSize, 0), b(kTileSize, kTileSize, 0);
  for (size_t i = 0; i < r.v.size(); i++) {
    double red = 2.0 * kSkinRedness * (redness.v[i] - 0.5);  // +- 4 %
    double grain = 1.0 + kSkinPixelNoise * random.range(-1.0, 1.0);
    double s = shade.v[i] * grain;
    r.v[i] = kSkinBase[0] * (1.0 + red) * s;
    g.v[i] = kSkinBase[1] * (1.0 - 0.5 * red) * s;
    b.v[i] = kSkinBase[2] * (1.0 - 0.5 * red) * s;
  }
  ilSetInteger(IL_JPG_QUALITY, kJpegQuality);
  return saveRgb(dir + "/skin.jpg", r, g, b, IL_JPG);
}

// ---- Hatching tones ---------------------------------------------------------
// One canvas collects strokes; it is saved whenever its mean darkness reaches
// the next tone, so each darker tone contains every stroke of the lighter
// ones. The tones step evenly: tone i is (i + 1) / 7 dark, white being tone
// "-1" and solid ink the unreached 7 / 7.

constexpr int kHatchTones = 6;
constexpr double kToneStep = 1.0 / 7.0;
constexpr double kStrokeLength[2] = {48.0, 128.0};  // long, yet half the tile at most
// Stroke width by tone: the pen presses harder in the darker single-direction
// tones, so they darken without a crossing set; crossings stay thin.
constexpr double kStrokeWidth[kHatchTones][2] = {{1.0, 1.3}, {1.0, 1.4}, {1.2, 1.6},
                                                 {1.5, 2.0}, {1.0, 1.4}, {1.0, 1.4}};
constexpr double kInkOpacity[2] = {0.85, 1.0};
constexpr double kTaper = 0.15;       // share of the length over which ends thin out
constexpr double kAngleJitter = 3.0;  // degrees
// Single hatching up to tone 3; tone 4 crosses it at a right angle and tone 5
// adds a third, level set: cross-hatching is kept for the deepest shadows.
constexpr double kStrokeAngle[kHatchTones] = {45.0, 45.0, 45.0, 45.0, -45.0, 0.0};
constexpr double kBend = 0.03;      // most sideways sag, as a share of the length
constexpr int kStrokeSegments = 6;  // a bent stroke is drawn as this many pieces
constexpr int kCandidates = 16;     // best of K placements per stroke
constexpr int kToneTile = 8;        // evenness is kept per 8x8 tile
constexpr double kEvenness = 40.0;  // weight of a tile's excess lightness

// A slightly bent stroke: a quadratic arc from p0 through the control point
// to p2, with its width and ink.
struct Stroke {
  double x0, y0, cx, cy, x2, y2, width, opacity;
  double pointX(double t) const {
    return (1 - t) * (1 - t) * x0 + 2 * t * (1 - t) * cx + t * t * x2;
  }
  double pointY(double t) const {
    return (1 - t) * (1 - t) * y0 + 2 * t * (1 - t) * cy + t * t * y2;
  }
};

// Calls visit(x, y, coverage) for every pixel the stroke touches, unwrapped.
// Coverage falls off over a pixel at the edge (anti-aliasing) and the width
// narrows towards both ends, as a pen lifting off.
template <typename Visit>
void rasterise(const Stroke& s, Visit visit) {
  double px[kStrokeSegments + 1], py[kStrokeSegments + 1];
  for (int i = 0; i <= kStrokeSegments; i++) {
    px[i] = s.pointX(double(i) / kStrokeSegments);
    py[i] = s.pointY(double(i) / kStrokeSegments);
  }
  double reach = s.width / 2 + 1.0;
  int xa = int(std::floor(*std::min_element(px, px + kStrokeSegments + 1) - reach)),
      xb = int(std::ceil(*std::max_element(px, px + kStrokeSegments + 1) + reach));
  int ya = int(std::floor(*std::min_element(py, py + kStrokeSegments + 1) - reach)),
      yb = int(std::ceil(*std::max_element(py, py + kStrokeSegments + 1) + reach));
  for (int y = ya; y <= yb; y++)
    for (int x = xa; x <= xb; x++) {
      double qx = x + 0.5, qy = y + 0.5;
      double nearest = 1e9, along = 0;  // distance to the arc; where on it, 0..1
      for (int i = 0; i < kStrokeSegments; i++) {
        double sx = px[i + 1] - px[i], sy = py[i + 1] - py[i];
        double t =
            std::clamp(((qx - px[i]) * sx + (qy - py[i]) * sy) / (sx * sx + sy * sy), 0.0, 1.0);
        double d = std::hypot(qx - px[i] - t * sx, qy - py[i] - t * sy);
        if (d < nearest) nearest = d, along = (i + t) / kStrokeSegments;
      }
      double taper = std::min({1.0, along / kTaper, (1.0 - along) / kTaper});
      double half = s.width / 2 * (0.4 + 0.6 * taper);
      double c = std::clamp(half + 0.5 - nearest, 0.0, 1.0) * s.opacity;
      if (c > 0) visit(x, y, c);
    }
}

double strokeAngle(int tone, Random& random) {
  return (kStrokeAngle[tone] + random.range(-kAngleJitter, kAngleJitter)) * kPi / 180.0;
}

Stroke randomStroke(int tone, double mx, double my, Random& random) {
  double angle = strokeAngle(tone, random);
  double length = random.range(kStrokeLength[0], kStrokeLength[1]);
  double dx = std::cos(angle), dy = std::sin(angle);
  double sag = random.range(-kBend, kBend) * length * 2;  // the arc's middle sags by half this
  Stroke s;
  s.x0 = mx - dx * length / 2;
  s.y0 = my - dy * length / 2;
  s.x2 = mx + dx * length / 2;
  s.y2 = my + dy * length / 2;
  s.cx = mx - dy * sag;
  s.cy = my + dx * sag;
  s.width = random.range(kStrokeWidth[tone][0], kStrokeWidth[tone][1]);
  s.opacity = random.range(kInkOpacity[0], kInkOpacity[1]);
  return s;
}

bool writeHatching(const std::string& dir) {
  Random random(0x4A7C5ull);
  Plane canvas(kTileSize, kTileSize, 1.0);
  int tiles = kTileSize / kToneTile;
  bool ok = true;
  for (int tone = 0; tone < kHatchTones; tone++) {
    double target = 1.0 - kToneStep * (tone + 1);
    while (canvas.mean() > target) {
      // Tile means steer the candidates: each starts in one of the lightest
      // tiles, so the tone stays even across the picture.
      std::vector<std::pair<double, int>> tileMeans;
      std::vector<double> tileMean(size_t(tiles) * tiles);
      for (int ty = 0; ty < tiles; ty++)
        for (int tx = 0; tx < tiles; tx++) {
          double s = 0;
          for (int y = 0; y < kToneTile; y++)
            for (int x = 0; x < kToneTile; x++)
              s += canvas.at(tx * kToneTile + x, ty * kToneTile + y);
          tileMean[size_t(ty * tiles + tx)] = s / (kToneTile * kToneTile);
          // The jitter breaks ties between equally light tiles at random.
          tileMeans.push_back({-s - random.uniform(), ty * tiles + tx});
        }
      std::sort(tileMeans.begin(), tileMeans.end());
      Stroke best{};
      double bestScore = -1;
      for (int k = 0; k < kCandidates; k++) {
        int tile = tileMeans[size_t(random.next() % (tileMeans.size() / 4))].second;
        // The tile holds the stroke's midpoint.
        double mx = (tile % tiles + random.uniform()) * kToneTile;
        double my = (tile / tiles + random.uniform()) * kToneTile;
        Stroke s = randomStroke(tone, mx, my, random);
        // Score: how much white the stroke would darken (least overlap wins),
        // plus how far the tiles it crosses still are above the target tone.
        double score = 0;
        rasterise(s, [&](int x, int y, double c) {
          int wx = ((x % kTileSize) + kTileSize) % kTileSize;
          int wy = ((y % kTileSize) + kTileSize) % kTileSize;
          double excess = tileMean[size_t((wy / kToneTile) * tiles + wx / kToneTile)] - target;
          score += c * (canvas.at(wx, wy) + kEvenness * excess);
        });
        if (score > bestScore) bestScore = score, best = s;
      }
      rasterise(best, [&](int x, int y, double c) { canvas.wrapped(x, y) *= 1.0 - c; });
    }
    std::vector<uint8_t> bytes;
    for (double d : canvas.v) bytes.push_back(toByte(d));
    ilSetInteger(IL_JPG_QUALITY, kJpegQuality);
    ok = save(dir + "/Hatch" + std::to_string(tone) + ".jpg", kTileSize, kTileSize, 1, bytes,
              IL_JPG) &&
         ok;
  }
  return ok;
}

// ---- Watercolor ramps and paper -----------------------------------------------

constexpr int kRampWidth = 256;
constexpr int kRampHeight = 16;

// Toon ramp: cool shadow, warm grey, paper, with soft steps between them.
constexpr double kShadowColor[3] = {0.47, 0.50, 0.66};
constexpr double kMidColor[3] = {0.80, 0.76, 0.70};
constexpr double kPaperColor[3] = {0.97, 0.95, 0.90};
constexpr double kBandEdges[2] = {0.35, 0.70};
constexpr double kBandBlend = 10.0;  // pixels of each smooth step

// Granulation ramp: white, ultramarine, a dark violet.
constexpr double kGranStart[3] = {1.0, 1.0, 1.0};
constexpr double kGranMiddle[3] = {0.55, 0.62, 0.85};
constexpr double kGranEnd[3] = {0.42, 0.40, 0.60};

double smoothstep(double a, double b, double x) {
  double t = std::clamp((x - a) / (b - a), 0.0, 1.0);
  return t * t * (3.0 - 2.0 * t);
}

template <typename ColorAt>
bool writeRamp(const std::string& path, ColorAt colorAt) {
  Plane r(kRampWidth, kRampHeight, 0), g(kRampWidth, kRampHeight, 0), b(kRampWidth, kRampHeight, 0);
  for (int x = 0; x < kRampWidth; x++) {
    double c[3];
    colorAt(x, c);
    for (int y = 0; y < kRampHeight; y++) r.at(x, y) = c[0], g.at(x, y) = c[1], b.at(x, y) = c[2];
  }
  return saveRgb(path, r, g, b, IL_PNG);
}

bool writeColormaps(const std::string& dir) {
  bool ok = writeRamp(dir + "/colormap.png", [](int x, double* c) {
    double px = x + 0.5;
    double e0 = kBandEdges[0] * kRampWidth, e1 = kBandEdges[1] * kRampWidth;
    double s0 = smoothstep(e0 - kBandBlend / 2, e0 + kBandBlend / 2, px);
    double s1 = smoothstep(e1 - kBandBlend / 2, e1 + kBandBlend / 2, px);
    for (int i = 0; i < 3; i++) {
      double low = kShadowColor[i] + (kMidColor[i] - kShadowColor[i]) * s0;
      c[i] = low + (kPaperColor[i] - low) * s1;
    }
  });
  ok = writeRamp(dir + "/colormap2.png",
                 [](int x, double* c) {
                   double t = double(x) / (kRampWidth - 1);
                   for (int i = 0; i < 3; i++)
                     c[i] = t < 0.5 ? kGranStart[i] + (kGranMiddle[i] - kGranStart[i]) * (2 * t)
                                    : kGranMiddle[i] + (kGranEnd[i] - kGranMiddle[i]) * (2 * t - 1);
                 }) &&
       ok;
  return ok;
}

// Paper noise: R turbulence, G paper grain, B pigment dispersion.
constexpr double kGrainWhiteShare = 0.3;

bool writeNoise(const std::string& dir) {
  Random random(0x9A9E4ull);
  Plane turbulence = fbm({64, 32, 16, 8}, random);
  Plane grain = fbm({8, 4, 2}, random);
  double grainMean = grain.mean(), grainVar = 0;
  for (double d : grain.v) grainVar += (d - grainMean) * (d - grainMean);
  double grainSigma = std::sqrt(grainVar / double(grain.v.size()));
  for (double& d : grain.v) d += kGrainWhiteShare * grainSigma * 3.4641 * (random.uniform() - 0.5);
  Plane white(kTileSize, kTileSize, 0);
  for (double& d : white.v) d = random.gaussian();
  Plane dispersion(kTileSize, kTileSize, 0);
  const double kernel[3] = {0.25, 0.5, 0.25};  // binomial, wrapped at the edges
  for (int y = 0; y < kTileSize; y++)
    for (int x = 0; x < kTileSize; x++) {
      double s = 0;
      for (int j = -1; j <= 1; j++)
        for (int i = -1; i <= 1; i++)
          s += kernel[i + 1] * kernel[j + 1] * white.wrapped(x + i, y + j);
      dispersion.at(x, y) = s;
    }
  normalise(turbulence);
  normalise(grain);
  normalise(dispersion);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < turbulence.v.size(); i++) {
    bytes.push_back(toByte(turbulence.v[i]));
    bytes.push_back(toByte(grain.v[i]));
    bytes.push_back(toByte(dispersion.v[i]));
    bytes.push_back(255);
  }
  return saveTga(dir + "/noise.tga", kTileSize, kTileSize, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: gen_effect_images <output-directory>\n");
    return 2;
  }
  std::string dir = argv[1];
  ilInit();
  ilEnable(IL_FILE_OVERWRITE);
  ilEnable(IL_ORIGIN_SET);
  ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
  bool ok = writeSkin(dir);
  ok = writeHatching(dir) && ok;
  ok = writeColormaps(dir) && ok;
  ok = writeNoise(dir) && ok;
  return ok ? 0 : 1;
}
