#version 120
// Watercolor (Bousseau et al. 2006): a wash of the model's own colour,
// toned by a banded ramp and left as white paper where the light is
// strongest, then the pigment effects of real watercolor, each as a change
// of pigment density driven by a noise texture: granulation in the
// shadows, turbulent flow, paper grain and darkened edges.
//
// Density d acts per channel as C (1 - (1 - C)(d - 1)): above 1 it darkens,
// below 1 it lightens, and white paper stays white.

// The model's colour is its material's diffuse colour times its texture,
// which every material has; the material's alpha keeps transparent
// surfaces light in the additive pass.

uniform sampler2D colorTex;  // wash ramp: shadow, mid tone, paper
uniform sampler2D paperTex;  // r turbulence, g paper grain, b pigment dispersion
uniform sampler2D granTex;   // granulating glaze by shadow depth
uniform sampler2D sceneTex;  // the model's own texture (unit 0)
uniform vec2 fViewportDimensions;
uniform float M;  // how much of the ramp's own tint colours the wash
uniform float D;  // pigment density variation (turbulent flow)
uniform float G;  // granulation
uniform float P;  // paper grain
uniform float S;  // edge darkening

varying vec3 vNormal;
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
varying vec4 vDiffuse;

const float kNoiseImageSize = 256.0;
const float kReferenceHeight = 600.0;  // paper scale is set for this height
const float kTurbulenceScale = 0.25;   // turbulence varies four times slower than grain
const float kWobble = 0.01;            // texture-coordinate shift of wash boundaries
const float kGlazeBlur = 2.0;          // mip bias: the glaze keeps no fine detail
const float kPaperRelief = 0.2;        // grain shown even on white paper
const float kToneGain = 0.8;           // fixed-function brightness to wash tone
const float kEyeFill = 0.3;            // light from the eye: shape and silhouettes
const float kRampTexel = 1.0 / 256.0;
const float kPaperLuma = 0.95;        // the ramp's paper band: a wash there keeps its colour
// The wash gives way to paper, up to kPaperShow of the way, where the
// surface faces the light this squarely (N.L from .x to .y) and its
// pigment is light enough to shine there (luma from .x to .y): a black
// surface stays black in the light, as in the plain view.
const vec2 kWhitePaper = vec2(0.75, 1.0);
const vec2 kShiningPigment = vec2(0.15, 0.45);
const float kPaperShow = 0.8;
const float kFlowGain = 0.6;          // turbulent flow: soft, not a sponge
const float kThinWash = 0.1;          // density of the wash: below 1, light and transparent
const float kEdgeGain = 2.0;          // strong rims, as Bousseau's are
const float kBorderGain = 8.0;        // colour step per pixel that counts as a border
const float kBlackTexel = 0.004;
const vec3 kLuma = vec3(0.299, 0.587, 0.114);

vec3 safeNormalize(vec3 v, vec3 fallback) {
  float len = length(v);
  return len > 1e-6 ? v / len : fallback;
}

vec3 applyDensity(vec3 color, float d) {
  return color * (vec3(1.0) - (vec3(1.0) - color) * (d - 1.0));
}

// Ramp lookup kept off the last texel, which wraps to the other end.
vec3 ramp(sampler2D map, float x) {
  return texture2D(map, vec2(clamp(x, 0.5 * kRampTexel, 1.0 - 0.5 * kRampTexel), 0.5)).rgb;
}

void main() {
  vec3 N = safeNormalize(gl_FrontFacing ? vNormal : -vNormal, vec3(0.0, 0.0, 1.0));
  vec3 L = safeNormalize(vToLight, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  // The paper is fixed to the picture, as real paper is.
  vec2 g = gl_FragCoord.xy / fViewportDimensions.y * (kReferenceHeight / kNoiseImageSize);
  vec3 paper = texture2D(paperTex, g).rgb;
  float turbulence = texture2D(paperTex, kTurbulenceScale * g).r;

  // Tone: the brightness the fixed-function light gives a white surface (its
  // strong ambient keeps back-lit walls out of the shadow band), plus a fill
  // from the eye, so only surfaces turned away from both fall into shadow.
  vec3 lit = gl_LightModel.ambient.rgb + gl_LightSource[0].ambient.rgb +
             gl_LightSource[0].diffuse.rgb * max(dot(N, L), 0.0);
  float light = kToneGain * dot(lit, kLuma) + kEyeFill * max(dot(N, V), 0.0);
  float tone = clamp(light + 0.2 * D * (turbulence - 0.5), 0.0, 1.0);
  vec2 uv = vUv + kWobble * D * vec2(turbulence - 0.5, paper.g - 0.5);

  // Abstracted wash: the model's blurred colour, toned by a few flat bands.
  // The ramp gives the tone; only M of its own tint (cool shadows) mixes
  // in, so the pigment keeps the material's hue. Where the light is
  // strongest the paper shows through.
  vec3 wash = ramp(colorTex, tone);
  vec4 texel = texture2D(sceneTex, uv, kGlazeBlur);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);
  texel *= vDiffuse;
  vec3 pigment = texel.rgb;
  vec3 color = pigment * mix(vec3(dot(wash, kLuma)), wash, M) / kPaperLuma;
  // Thinned pigment lightens the darks most and keeps the colour's chroma.
  color = applyDensity(clamp(color, 0.0, 1.0), kThinWash);
  color = mix(color, texture2D(colorTex, vec2(1.0 - 0.5 * kRampTexel, 0.5)).rgb,
              kPaperShow * smoothstep(kWhitePaper.x, kWhitePaper.y, dot(N, L)) *
                  smoothstep(kShiningPigment.x, kShiningPigment.y, dot(pigment, kLuma)));

  // Granulation: pigment settles in the paper's valleys, more where dense.
  float shadow = 1.0 - tone;
  color *= mix(vec3(1.0), ramp(granTex, shadow), G);
  color = applyDensity(color, 1.0 + 2.0 * G * shadow * (paper.b - 0.5));

  color = applyDensity(color, 1.0 + 2.0 * kFlowGain * D * (turbulence - 0.5));

  // Paper grain, with a little relief so it shows in near-white areas too.
  // The relief darkens where the grain adds density, so the two agree.
  color = applyDensity(color, 1.0 + 2.0 * P * (paper.g - 0.5));
  color *= 1.0 - kPaperRelief * P * (paper.g - 0.5);

  // Pigment gathers at the silhouettes and at the borders of washes, where
  // the material, its colour or the tone band changes.
  float silhouette = smoothstep(0.55, 1.0, 1.0 - dot(N, V));
  float border = clamp(kBorderGain * (fwidth(dot(pigment, kLuma)) + fwidth(dot(wash, kLuma))), 0.0, 1.0);
  color = applyDensity(color, 1.0 + 2.0 * kEdgeGain * S * max(silhouette, border));

  gl_FragColor = vec4(clamp(color, 0.0, 1.0), texel.a);
}
