#version 120
// Hatching: pen and ink from tonal art maps (Praun et al. 2001).
//
// Tone first: the brightness the fixed-function light gives the surface
// (lit per vertex, as the plain view is) decides how much ink it gets, and
// everything the plain view shows bright stays white paper. Six stroke
// images of evenly rising darkness, each holding every stroke of the lighter
// ones, are blended by the tone, two neighbouring tones at a time, so
// strokes fade in without popping. The first four are single hatching, the
// pen pressing harder as they darken; only the two darkest cross it, so
// cross-hatching stays in the deepest shadows.
//
// Strokes follow the form: they run along the isophotes, across the
// direction towards the light in the tangent plane, so they bend with
// curved shapes and lie straight and parallel on flat ones. They are laid
// on the model by projecting its model-space position onto the two axis
// planes the surface faces most squarely, so they stay on the surfaces when
// the camera moves. The layout cannot turn freely across a surface (the
// turn's own change would shear the strokes), so it comes in fixed turns
// 45 degrees apart: a flat surface shows the one nearest its direction, a
// curved one cross-fades the two nearest, so the strokes swing round with
// the form instead of stepping. The projection's scale follows the distance
// in octaves, chosen from its screen-space footprint and blended across the
// octave, with the images always magnified: strokes keep about the same
// width and spacing on screen near and far, and bilinear filtering smooths
// their edges. Silhouettes get a thin line of steady width here; creases
// and borders are drawn as lines by the program (src/creases.cpp).

uniform sampler2D Hatch0;  // lightest
uniform sampler2D Hatch1;
uniform sampler2D Hatch2;
uniform sampler2D Hatch3;
uniform sampler2D Hatch4;
uniform sampler2D Hatch5;  // darkest
uniform sampler2D ModelTex;  // the model's own texture (unit 0)
uniform vec2 fViewportDimensions;

varying vec3 vNormal;
varying vec3 vToEye;
varying vec4 vLitFront;
varying vec4 vLitBack;
varying vec2 vUv;
varying vec3 vModelPosition;
varying vec3 vModelNormal;
varying vec3 vModelLightDirection;

const float kStrokeImageSize = 256.0;
const float kReferenceHeight = 600.0;  // stroke widths are set for this height
const float kTexelsPerPixel = 0.7;     // < 1: images magnified, strokes smooth
const float kAnisotropy = 2.0;         // squeeze across or along the strokes allowed
const float kScaleBlendStart = 0.3;    // part of the octave over which the two
const float kScaleBlendEnd = 0.7;      // scales cross-fade
const float kToneLevels = 7.0;         // white and the six images, evenly spaced
const float kCorner = 0.5773503;       // |normal| component where three planes meet
// The layout's fixed turns, 45 degrees apart, and the widest cross-fade
// between two of them (a share of the step on either side of its middle).
// Finer turns were tried: on boxes whose normals are smoothed across their
// edges the direction drifts over a face, and 22.5-degree steps cut the
// faces into bands of alternating slant.
const float kTurnAngle = 0.78539816;
const float kWidestFade = 0.3;
// Normal change per pixel (radians) below which a surface counts as flat,
// and above which as fully curved.
const float kFlatBend = 0.01;
const float kCurvedBend = 0.03;
// Below this length the isophote direction is lost (the surface faces the
// light squarely) and the strokes keep the images' own slant.
const float kLeastIsophote = 0.15;

// Plain-view brightness from which a surface is white paper, and the one
// that gets the darkest tone; between them the ink rises evenly, so the
// drawing's tone follows the plain view's.
const float kPaperFrom = 0.66;
const float kDarkestAt = 0.05;
// The ink rises as the mean of a straight ramp and its fourth power: mid
// tones (the shaded side of a lit shape) get a few single strokes, broad dark
// surfaces dense single hatching, and only the darkest the crossing sets.
const float kInkPower = 4.0;
const float kInkCurve = 0.7;
const float kContourWidth = 1.2;  // pixels
// Cosine of the smooth normal's lean off the facet beyond which the contour
// is not trusted (about 40 degrees).
const float kLeanestContour = 0.75;
const float kBlackTexel = 0.004;
// Blended stroke patterns are spread back about their mean at most this
// much (1 / sqrt): more turns faint light-tone strokes into black streaks.
const float kLeastSpread = 0.6;
const float kTiny = 1e-4;
const vec3 kLuma = vec3(0.299, 0.587, 0.114);

// The light tones' strokes run along kAlong in the images, 45 degrees.
const vec2 kAlong = vec2(0.70710678, 0.70710678);
const float kImageAngle = 0.78539816;
const vec2 kAcross = vec2(0.70710678, -0.70710678);

vec3 safeNormalize(vec3 v, vec3 fallback) {
  float len = length(v);
  return len > 1e-6 ? v / len : fallback;
}

// Blend weights of the tones: white counts as tone 0, Hatch i as i + 1;
// they sum to one and at most two are non-zero.
struct ToneWeights {
  float white;
  vec3 light;  // Hatch0..2
  vec3 dark;   // Hatch3..5
};

ToneWeights toneWeights(float s) {
  ToneWeights w;
  w.white = clamp(1.0 - s, 0.0, 1.0);
  w.light = clamp(1.0 - abs(vec3(s) - vec3(1.0, 2.0, 3.0)), 0.0, 1.0);
  w.dark = clamp(1.0 - abs(vec3(s) - vec3(4.0, 5.0, 6.0)), 0.0, 1.0);
  return w;
}

// Stroke value at st, 1 paper and 0 ink. All six images are read: on a
// software renderer a branch per tone costs more than the reads it skips.
float tam(vec2 st, ToneWeights w) {
  vec3 light3 = vec3(texture2D(Hatch0, st).r, texture2D(Hatch1, st).r, texture2D(Hatch2, st).r);
  vec3 dark3 = vec3(texture2D(Hatch3, st).r, texture2D(Hatch4, st).r, texture2D(Hatch5, st).r);
  return w.white + dot(w.light, light3) + dot(w.dark, dark3);
}

// Strokes at uv (model units over the image size), whose screen-space
// derivatives are dx and dy. The scale follows how fast uv moves on screen
// across and along the strokes: on a surface seen at a low angle one of the
// two is foreshortened, and the geometric mean shares the error, strokes a
// little thinner and a little longer, instead of stretching them into
// streaks along the view; neither is squeezed more than kAnisotropy times.
// The footprint picks two scales an octave apart; spread receives the sum
// of the squared blend weights.
float scaledStrokes(vec2 uv, vec2 dx, vec2 dy, ToneWeights s, out float spread) {
  float across = length(vec2(dot(dx, kAcross), dot(dy, kAcross)));
  float along = length(vec2(dot(dx, kAlong), dot(dy, kAlong)));
  float footprint =
      kStrokeImageSize * max(sqrt(across * along), max(across, along) / kAnisotropy);
  footprint *= fViewportDimensions.y / kReferenceHeight / kTexelsPerPixel;
  float octave = log2(max(footprint, 1e-6));
  float k = floor(octave);
  float t = smoothstep(kScaleBlendStart, kScaleBlendEnd, octave - k);
  vec2 fine = uv * exp2(-k);
  spread = (1.0 - t) * (1.0 - t) + t * t;
  return mix(tam(fine, s), tam(fine * 0.5 + vec2(0.37, 0.61), s), t);
}

// Strokes turned by `turns` steps of kTurnAngle (in the plane's uv).
float turnedStrokes(vec2 uv, vec2 dx, vec2 dy, float turns, ToneWeights s, out float spread) {
  // The turn that takes the direction at that angle onto the images' kAlong.
  float turn = kImageAngle - turns * kTurnAngle;
  float c = cos(turn), sn = sin(turn);
  mat2 a = mat2(c, sn, -sn, c);
  return scaledStrokes(a * uv, a * dx, a * dy, s, spread);
}

// A direction in a plane's uv as a count of layout turns (fractional).
// Strokes have no head, and a half turn gives the same slant.
float turnsOf(vec2 direction) { return atan(direction.y, direction.x + kTiny) / kTurnAngle; }

vec2 pick(int axis, vec2 x, vec2 y, vec2 z) { return axis == 0 ? x : (axis == 1 ? y : z); }

void main() {
  vec3 Nff = gl_FrontFacing ? vNormal : -vNormal;  // open meshes show their back faces
  vec3 N = safeNormalize(Nff, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  vec4 texel = texture2D(ModelTex, vUv);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);

  // Tone: the plain view's brightness here (the vertex stage's light on the
  // material, times its texture), mapped so that bright is white paper.
  vec4 lit = gl_FrontFacing ? vLitFront : vLitBack;
  vec3 plainColour = lit.rgb * texel.rgb;
  float plain = dot(clamp(plainColour, 0.0, 1.0), kLuma);
  float ink = clamp((kPaperFrom - plain) / (kPaperFrom - kDarkestAt), 0.0, 1.0);
  float s = (kToneLevels - 1.0) * mix(ink, pow(ink, kInkPower), kInkCurve);

  // Bi-planar: the two axis planes the surface faces most squarely carry
  // the strokes, weighted so that the third's share, which is dropped, is
  // zero wherever the second and third trade places.
  vec3 n = abs(safeNormalize(vModelNormal, vec3(0.0, 1.0, 0.0)));
  int major = n.x > n.y && n.x > n.z ? 0 : (n.y > n.z ? 1 : 2);
  int minor = n.x <= n.y && n.x <= n.z ? 0 : (n.y <= n.z ? 1 : 2);
  int middle = 3 - major - minor;
  vec2 w = max(vec2(n[major], n[middle]) - kCorner, 0.0) + vec2(kTiny, 0.0);
  w /= w.x + w.y;

  // Along the isophotes: across the direction towards the light, in the
  // tangent plane, in model space. Round a tube lit from the side they
  // follow its length; on floors and ceilings they run across the view.
  // Where the surface faces the light squarely the isophote has no
  // direction, and the images' own slant takes over.
  vec3 mn = safeNormalize(vModelNormal, vec3(0.0, 1.0, 0.0));
  vec3 ml = safeNormalize(vModelLightDirection, mn);
  vec3 toward = cross(mn, ml);
  float isophote = smoothstep(0.0, kLeastIsophote, length(toward));
  // How fast the normal turns on screen: flat surfaces take one layout
  // turn, curved ones a smooth blend of two.
  float bend = length(fwidth(mn));
  float sharpness = 1.0 - smoothstep(kFlatBend, kCurvedBend, bend);

  vec3 P = vModelPosition / kStrokeImageSize;
  vec3 dx = dFdx(P), dy = dFdy(P);
  ToneWeights weights = toneWeights(s);
  vec2 atX = P.zy, atY = P.xz + vec2(0.21, 0.47), atZ = P.xy + vec2(0.53, 0.11);
  vec2 slant = kAlong * (1.0 - isophote);

  // Two layers of strokes, as many reads as a software renderer affords.
  // The first lies on the plane the surface faces most squarely. Where a
  // second plane faces it almost as squarely, the second layer lies there
  // and each takes its nearest turn (bi-planar, no seam where the planes
  // trade places). Elsewhere the second layer is the first plane's next
  // turn, cross-faded by how far the direction has swung towards it: the
  // strokes follow a curved form smoothly and keep one turn on a flat one.
  vec2 uvA = pick(major, atX, atY, atZ);
  vec2 dxA = pick(major, dx.zy, dx.xz, dx.xy), dyA = pick(major, dy.zy, dy.xz, dy.xy);
  float turnsA = turnsOf(pick(major, toward.zy, toward.xz, toward.xy) + slant);
  float lowerA = floor(turnsA);
  float fade = mix(kWidestFade, 0.0, sharpness);
  float t = smoothstep(0.5 - fade, 0.5 + fade + kTiny, turnsA - lowerA);

  bool twoPlanes = w.y > 0.0;
  vec2 uvB = twoPlanes ? pick(middle, atX, atY, atZ) : uvA + vec2(0.29, 0.43);
  vec2 dxB = twoPlanes ? pick(middle, dx.zy, dx.xz, dx.xy) : dxA;
  vec2 dyB = twoPlanes ? pick(middle, dy.zy, dy.xz, dy.xy) : dyA;
  float turnsB = twoPlanes
                     ? floor(turnsOf(pick(middle, toward.zy, toward.xz, toward.xy) + slant) + 0.5)
                     : lowerA + 1.0;
  float firstTurn = twoPlanes ? floor(turnsA + 0.5) : lowerA;
  vec2 layer = twoPlanes ? w : vec2(1.0 - t, t);

  float spreadA = 1.0, spreadB = 1.0;
  float h = layer.x * turnedStrokes(uvA, dxA, dyA, firstTurn, weights, spreadA) +
            layer.y * turnedStrokes(uvB, dxB, dyB, turnsB, weights, spreadB);
  // Blending independent stroke patterns greys them; spreading the blend
  // about its mean again keeps ink and paper apart at the same tone.
  float mean = 1.0 - s / kToneLevels;
  float spread = layer.x * layer.x * spreadA + layer.y * layer.y * spreadB;
  h = clamp(mean + (h - mean) / sqrt(max(spread, kLeastSpread)), 0.0, 1.0);

  // Contour: a thin dark line where the surface turns away from the eye,
  // its width held to about kContourWidth pixels by the rate N.V changes.
  // Smoothed normals can face away on surfaces still in view (inside a
  // shade); the line follows N.V through zero instead of filling them.
  // Where the smooth normal leans far from the facet (a box whose normals
  // are averaged across its edges) N.V passes zero in the middle of a face:
  // no line there; the program draws that box's real edges as creases.
  float NdotV = dot(N, V);
  float edge = kContourWidth * fwidth(NdotV);
  vec3 facet = safeNormalize(cross(dFdx(vToEye), dFdy(vToEye)), N);
  float trusted = smoothstep(kLeanestContour, kLeanestContour + 0.1, abs(dot(N, facet)));
  h *= mix(1.0, smoothstep(0.0, max(edge, kTiny), abs(NdotV)), trusted);

  gl_FragColor = vec4(vec3(h), lit.a * texel.a);
}
