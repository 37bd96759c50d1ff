#version 120
// Hatching: tonal art maps. Six stroke images of rising darkness, each
// holding every stroke of the lighter ones, are blended by the shaded tone,
// two neighbouring tones at a time, so strokes fade in without popping.
//
// Strokes are laid out in screen space, one texel per pixel: the stroke
// images have no mipmaps, and the scene's texture coordinates are not laid
// out evenly enough for strokes to follow the surfaces.

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

const float kStrokeImageSize = 256.0;
const float kReferenceHeight = 600.0;  // stroke scale is set for this height
const float kToneGain = 1.4;           // fixed-function brightness to tone,
const float kToneOffset = 0.1;         // spread wide so shading shows through strokes
const float kEyeFill = 0.1;            // light from the eye: shape and silhouettes
const float kLevelStart = 0.6;         // |eye-space normal y| where strokes
const float kLevelEnd = 0.75;          // start and finish turning
const float kBlackTexel = 0.004;
const vec3 kLuma = vec3(0.299, 0.587, 0.114);

vec3 safeNormalize(vec3 v, vec3 fallback) {
  float len = length(v);
  return len > 1e-6 ? v / len : fallback;
}

// Blend of the tone images at st with the given weights.
float strokes(vec2 st, float wWhite, vec3 wLight, vec3 wDark) {
  vec3 light3 = vec3(texture2D(Hatch0, st).r, texture2D(Hatch1, st).r, texture2D(Hatch2, st).r);
  vec3 dark3 = vec3(texture2D(Hatch3, st).r, texture2D(Hatch4, st).r, texture2D(Hatch5, st).r);
  return wWhite + dot(wLight, light3) + dot(wDark, dark3);
}

void main() {
  vec3 N = safeNormalize(vNormal, vec3(0.0, 0.0, 1.0));
  vec3 L = safeNormalize(vToLight, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  vec4 texel = texture2D(ModelTex, vUv);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);
  texel *= gl_FrontMaterial.diffuse;

  // Tone: the brightness the fixed-function light gives this texture (its
  // strong ambient keeps back-lit walls readable), lifted by a fill from the
  // eye that darkens toward silhouettes and shows the shape.
  float NdotV = dot(N, V);
  vec3 lit = gl_LightModel.ambient.rgb + gl_LightSource[0].ambient.rgb +
             gl_LightSource[0].diffuse.rgb * max(dot(N, L), 0.0);
  float light = dot(lit * texel.rgb, kLuma);
  float tone = clamp(kToneGain * light - kToneOffset + kEyeFill * max(NdotV, 0.0), 0.0, 1.0);

  // Hat weights over the tones, white counting as tone 0: they sum to one
  // and at most two are non-zero.
  float s = 6.0 * (1.0 - tone);
  float wWhite = clamp(1.0 - s, 0.0, 1.0);
  vec3 wLight = clamp(1.0 - abs(vec3(s) - vec3(1.0, 2.0, 3.0)), 0.0, 1.0);
  vec3 wDark = clamp(1.0 - abs(vec3(s) - vec3(4.0, 5.0, 6.0)), 0.0, 1.0);

  // Surfaces facing up or down get their strokes turned a quarter, so that
  // floors and ceilings stay apart from walls where their tones meet.
  vec2 st = gl_FragCoord.xy / fViewportDimensions.y * (kReferenceHeight / kStrokeImageSize);
  float across = smoothstep(kLevelStart, kLevelEnd, abs(N.y));
  float upright = strokes(st, wWhite, wLight, wDark);
  float level = strokes(vec2(st.y, -st.x), wWhite, wLight, wDark);
  float h = mix(upright, level, across);

  // A thin contour where the surface turns fully away.
  h *= smoothstep(0.0, 0.08, NdotV);
  gl_FragColor = vec4(vec3(h), texel.a);
}
