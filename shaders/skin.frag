#version 120
// Skin: wrap-lit subsurface diffuse, a microfacet sheen and a velvety rim.
//
// Diffuse light wraps past the terminator further in red than in blue, as
// light scattered under the skin does. The sheen is a Beckmann lobe with
// Schlick's Fresnel term, normalised by |L + V|^2 as in the coupled
// specular-matte skin models. The rim stands for scattering by fine hairs,
// which is strongest at grazing view and when the light is behind the skin.

// The model's colour is its material's diffuse colour times its texture,
// which every material has; the material's alpha keeps transparent
// surfaces light in the additive pass.

uniform sampler2D skinTex;   // tileable tint and pore detail
uniform sampler2D modelTex;  // the model's own texture (unit 0)
uniform vec4 ambient;        // added to the light's ambient term
uniform vec4 lightColor;
uniform float kRim;          // rim exponent: larger is narrower
uniform float kR;            // rim weight
uniform float kS;            // sheen weight
uniform float kSpec;         // sheen sharpness, as a Phong exponent
uniform float albedo;        // diffuse albedo
uniform float fresnelS;      // reflectance at normal incidence

varying vec3 vNormal;
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
varying vec4 vDiffuse;

const float kPi = 3.14159265;
const vec3 kWrap = vec3(0.5, 0.25, 0.15);  // red scatters furthest
const float kDetailRepeat = 4.0;           // skin detail tiles per texture unit square
const float kDetailStrength = 0.5;
const vec3 kSkinTone = vec3(0.93, 0.80, 0.72);  // mean colour of the detail map
const float kBlackTexel = 0.004;           // unbound model texture reads black

vec3 safeNormalize(vec3 v, vec3 fallback) {
  float len = length(v);
  return len > 1e-6 ? v / len : fallback;
}

void main() {
  vec3 N = safeNormalize(vNormal, vec3(0.0, 0.0, 1.0));
  vec3 L = safeNormalize(vToLight, vec3(0.0, 0.0, 1.0));
  vec3 V = safeNormalize(vToEye, vec3(0.0, 0.0, 1.0));

  vec4 texel = texture2D(modelTex, vUv);
  if (max(texel.r, max(texel.g, texel.b)) < kBlackTexel) texel.rgb = vec3(1.0);
  texel *= vDiffuse;
  vec3 modelColor = texel.rgb;
  // Half-strength detail: pores at full contrast turn to pixel noise where a
  // surface's texture coordinates are stretched far.
  vec3 tint = mix(kSkinTone, texture2D(skinTex, kDetailRepeat * vUv).rgb, kDetailStrength);
  vec3 base = albedo * modelColor * tint;

  float NdotL = dot(N, L);
  vec3 diffuse = max(vec3(0.0), (vec3(NdotL) + kWrap) / (vec3(1.0) + kWrap));

  // Beckmann roughness from the Phong exponent: m = sqrt(2 / (n + 2)).
  vec3 halfSum = L + V;
  float halfLen2 = max(dot(halfSum, halfSum), 1e-4);
  vec3 H = halfSum * inversesqrt(halfLen2);
  float NdotH = clamp(dot(N, H), 1e-3, 1.0);
  float m2 = 2.0 / (kSpec + 2.0);
  float cos2 = NdotH * NdotH;
  float beckmann = exp((cos2 - 1.0) / (cos2 * m2)) / (kPi * m2 * cos2 * cos2);
  float VdotH = clamp(dot(V, H), 0.0, 1.0);
  float fresnel = fresnelS + (1.0 - fresnelS) * pow(1.0 - VdotH, 5.0);
  float sheen = kS * beckmann * fresnel / halfLen2;
  vec3 specular = sheen * max(NdotL, 0.0) * lightColor.rgb;

  // Forward-peaked: brightest when the light is behind the surface.
  float grazing = pow(clamp(1.0 - dot(N, V), 0.0, 1.0), kRim);
  float behind = mix(0.4, 1.0, 0.5 + 0.5 * dot(L, -V));
  vec3 rim = kR * grazing * behind * lightColor.rgb * mix(tint, vec3(1.0), 0.5);

  vec3 ambientTerm = (ambient.rgb + gl_LightSource[0].ambient.rgb) * base;
  vec3 color = ambientTerm + lightColor.rgb * base * diffuse + specular + rim;
  gl_FragColor = vec4(color, texel.a);
}
