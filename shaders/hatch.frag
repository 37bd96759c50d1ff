#version 120
// Hatching: tonal art maps. Six stroke images of rising darkness, each
// holding every stroke of the lighter ones, are blended by the shaded tone,
// two neighbouring tones at a time, so strokes fade in without popping.
//
// Strokes are laid out in screen space, one texel per pixel: the stroke
// images have no mipmaps, and the scene's texture coordinates are not laid
// out evenly enough for strokes to follow the surfaces.

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
const float kLightShare = 0.7;         // the rest comes from a fill at the eye
const float kBlackTexel = 0.004;
const vec3 kLuma = vec3(0.299, 0.587, 0.114);

vec3 safeNormalize(vec3 v, vec3 fallback) {
  float len = length(v);
  return len > 1e-6 ? v / len : fallback;
}

void main() {
  vec3 N = safeNormalize(vNormal, vec3(0.0, 0.0, 1.0));
  vec3 L = safeNormalize(vToLight, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  vec4 texel = texture2D(ModelTex, vUv);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);
  vec3 modelColor = gl_FrontMaterial.diffuse.rgb * texel.rgb;

  float NdotV = dot(N, V);
  float light = kLightShare * max(dot(N, L), 0.0) + (1.0 - kLightShare) * max(NdotV, 0.0);
  float tone = clamp(light * (0.4 + 0.6 * dot(modelColor, kLuma)), 0.0, 1.0);

  // Hat weights over the tones, white counting as tone 0: they sum to one
  // and at most two are non-zero.
  float s = 6.0 * (1.0 - tone);
  float wWhite = clamp(1.0 - s, 0.0, 1.0);
  vec3 wLight = clamp(1.0 - abs(vec3(s) - vec3(1.0, 2.0, 3.0)), 0.0, 1.0);
  vec3 wDark = clamp(1.0 - abs(vec3(s) - vec3(4.0, 5.0, 6.0)), 0.0, 1.0);

  vec2 st = gl_FragCoord.xy / fViewportDimensions.y * (kReferenceHeight / kStrokeImageSize);
  vec3 light3 = vec3(texture2D(Hatch0, st).r, texture2D(Hatch1, st).r, texture2D(Hatch2, st).r);
  vec3 dark3 = vec3(texture2D(Hatch3, st).r, texture2D(Hatch4, st).r, texture2D(Hatch5, st).r);
  float h = wWhite + dot(wLight, light3) + dot(wDark, dark3);

  // A soft contour where the surface turns away.
  h *= smoothstep(0.1, 0.25, NdotV);
  gl_FragColor = vec4(vec3(h), gl_FrontMaterial.diffuse.a * texel.a);
}
