#version 120
// Hatching: tonal art maps on the surfaces.
//
// Six stroke images of evenly rising darkness, each holding every stroke of
// the lighter ones, are blended by the tone, two neighbouring tones at a
// time, so strokes fade in without popping. The strokes are laid on the
// model by projecting its model-space position onto the two axis planes the
// surface faces most squarely, so they stay on the walls when the camera
// moves. The stroke images have no mipmaps, so the projection's scale
// follows the distance in octaves, chosen from its screen-space footprint
// and blended across the octave: strokes keep about the same width and
// spacing on screen near and far.

// The model's colour is its material's diffuse colour times its texture,
// which every material has; the material's alpha keeps transparent
// surfaces light in the additive pass.

uniform sampler2D Hatch0;  // lightest
uniform sampler2D Hatch1;
uniform sampler2D Hatch2;
uniform sampler2D Hatch3;
uniform sampler2D Hatch4;
uniform sampler2D Hatch5;  // darkest
uniform sampler2D ModelTex;  // the model's own texture (unit 0)
uniform vec2 fViewportDimensions;

varying vec3 vNormal;
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
varying vec3 vModelPosition;
varying vec3 vModelNormal;

const float kStrokeImageSize = 256.0;
const float kReferenceHeight = 600.0;  // stroke widths are set for this height
const float kTexelsPerPixel = 1.0;     // stroke image texels per pixel at the finer scale
const float kAnisotropy = 3.0;         // squeeze along the strokes allowed before rescaling
const float kScaleBlendStart = 0.3;    // part of the octave over which the two
const float kScaleBlendEnd = 0.7;      // scales cross-fade
const float kToneLevels = 7.0;         // white and the six images, evenly spaced
const float kCorner = 0.5773503;       // |normal| component where three planes meet

const float kShadowLight = 0.6;        // tone of faces turned from the light
const float kLitFrom = 0.6;            // N.L from which a face counts as fully lit
const float kAlbedoFloor = 0.2;        // a black material keeps this much of the tone
const float kToneGamma = 0.75;         // lifts the tone towards paper
const float kDarknessPower = 2.0;      // light tones clear to paper, darks stay dark
const float kContourWidth = 1.5;       // pixels
const float kBlackTexel = 0.004;
const vec3 kLuma = vec3(0.299, 0.587, 0.114);

// The light tones' strokes run along kAlong in the images, 45 degrees.
const vec2 kAlong = vec2(0.70710678, 0.70710678);
const vec2 kAcross = vec2(0.70710678, -0.70710678);
// Model axes to image axes per projection: floors and ceilings get their
// light strokes along x, walls facing x along z (both lines in perspective
// running along the room), walls facing z diagonally.
const mat2 kFacingX = mat2(kAlong, -kAcross);  // (z, y)
const mat2 kFacingY = mat2(kAlong, kAcross);   // (x, z)

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

// Stroke value at st, 1 paper and 0 ink.
float tam(vec2 st, ToneWeights w) {
  vec3 light3 = vec3(texture2D(Hatch0, st).r, texture2D(Hatch1, st).r, texture2D(Hatch2, st).r);
  vec3 dark3 = vec3(texture2D(Hatch3, st).r, texture2D(Hatch4, st).r, texture2D(Hatch5, st).r);
  return w.white + dot(w.light, light3) + dot(w.dark, dark3);
}

// Strokes on one projection at uv (model units over the image size), whose
// screen-space derivatives are dx and dy. The stroke width follows how fast
// uv crosses the light tones' strokes on screen; along the strokes the
// projection may be squeezed up to kAnisotropy times (a floor seen at a low
// angle) before that too coarsens the scale. The footprint picks two scales
// an octave apart; spread receives the sum of the squared blend weights.
float planeStrokes(vec2 uv, vec2 dx, vec2 dy, ToneWeights w, out float spread) {
  float across = length(vec2(dot(dx, kAcross), dot(dy, kAcross)));
  float along = length(vec2(dot(dx, kAlong), dot(dy, kAlong)));
  float footprint = kStrokeImageSize * max(across, along / kAnisotropy);
  footprint *= fViewportDimensions.y / kReferenceHeight / kTexelsPerPixel;
  float octave = log2(max(footprint, 1e-6));
  float k = floor(octave);
  float t = smoothstep(kScaleBlendStart, kScaleBlendEnd, octave - k);
  vec2 fine = uv * exp2(-k);
  vec2 coarse = fine * 0.5 + vec2(0.37, 0.61);
  spread = (1.0 - t) * (1.0 - t) + t * t;
  return mix(tam(fine, w), tam(coarse, w), t);
}

vec2 pick(int axis, vec2 x, vec2 y, vec2 z) { return axis == 0 ? x : (axis == 1 ? y : z); }

void main() {
  vec3 N = safeNormalize(vNormal, vec3(0.0, 0.0, 1.0));
  vec3 L = safeNormalize(vToLight, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  vec4 texel = texture2D(ModelTex, vUv);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);
  texel *= gl_FrontMaterial.diffuse;
  float albedo = clamp(dot(texel.rgb, kLuma), 0.0, 1.0);

  // Tone: faces turned to the light stay paper, faces turned away are
  // hatched, and the material's brightness scales both.
  float NdotL = dot(N, L);
  float NdotV = dot(N, V);
  float light = mix(kShadowLight, 1.0, smoothstep(0.0, kLitFrom, NdotL));
  float tone = pow(clamp(light * mix(kAlbedoFloor, 1.0, albedo), 0.0, 1.0), kToneGamma);
  float s = kToneLevels * pow(1.0 - tone, kDarknessPower);
  ToneWeights weights = toneWeights(s);

  // Bi-planar: the two axis planes the surface faces most squarely carry
  // the strokes, weighted so that the third's share, which is dropped, is
  // zero wherever the second and third trade places.
  vec3 n = abs(safeNormalize(vModelNormal, vec3(0.0, 1.0, 0.0)));
  int major = n.x > n.y && n.x > n.z ? 0 : (n.y > n.z ? 1 : 2);
  int minor = n.x <= n.y && n.x <= n.z ? 0 : (n.y <= n.z ? 1 : 2);
  int middle = 3 - major - minor;
  vec2 w = max(vec2(n[major], n[middle]) - kCorner, 0.0) + vec2(1e-4, 0.0);
  w /= w.x + w.y;

  vec3 P = vModelPosition / kStrokeImageSize;
  vec3 dx = dFdx(P), dy = dFdy(P);
  vec2 atX = kFacingX * P.zy, atY = kFacingY * P.xz + vec2(0.21, 0.47),
       atZ = P.xy + vec2(0.53, 0.11);
  vec2 dxX = kFacingX * dx.zy, dxY = kFacingY * dx.xz, dxZ = dx.xy;
  vec2 dyX = kFacingX * dy.zy, dyY = kFacingY * dy.xz, dyZ = dy.xy;
  float spreadA = 1.0, spreadB = 1.0;
  float h = w.x * planeStrokes(pick(major, atX, atY, atZ), pick(major, dxX, dxY, dxZ),
                               pick(major, dyX, dyY, dyZ), weights, spreadA) +
            w.y * planeStrokes(pick(middle, atX, atY, atZ), pick(middle, dxX, dxY, dxZ),
                               pick(middle, dyX, dyY, dyZ), weights, spreadB);
  // Blending independent stroke patterns greys them; spreading the blend
  // about its mean again keeps ink and paper apart at the same tone.
  float mean = 1.0 - min(s, kToneLevels - 1.0) / kToneLevels;
  float spread = w.x * w.x * spreadA + w.y * w.y * spreadB;
  h = clamp(mean + (h - mean) / sqrt(max(spread, 1e-6)), 0.0, 1.0);

  // Contour: a thin dark line where the surface turns away from the eye,
  // its width held to about kContourWidth pixels by the rate N.V changes.
  // Smoothed normals can face away on surfaces still in view (inside a
  // shade); the line follows N.V through zero instead of filling them.
  float edge = kContourWidth * fwidth(NdotV);
  h *= smoothstep(0.0, max(edge, 1e-4), abs(NdotV));
  gl_FragColor = vec4(vec3(h), texel.a);
}
