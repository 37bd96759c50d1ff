#version 120
// Watercolor: vertex stage.
// Eye-space vectors for per-fragment lighting; positions go through the
// fixed-function transform, so depths match the plain rendering exactly.

varying vec3 vNormal;   // not unit length: the scene is drawn scaled
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
// The material's diffuse colour, or the vertex's own where the program says
// (second texture coordinate's t = 1) that colours stand for the material.
varying vec4 vDiffuse;

void main() {
  vec4 eye = gl_ModelViewMatrix * gl_Vertex;
  vNormal = gl_NormalMatrix * gl_Normal;
  // GL_LIGHT0 is stored in eye space; w = 0 would make it directional.
  vec4 light = gl_LightSource[0].position;
  vToLight = light.xyz - eye.xyz * light.w;
  vToEye = -eye.xyz;
  vUv = gl_MultiTexCoord0.st;
  vDiffuse = mix(gl_FrontMaterial.diffuse, gl_Color, gl_MultiTexCoord1.t);
  gl_Position = ftransform();
}
