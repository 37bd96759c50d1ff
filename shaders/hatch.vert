#version 120
// Hatching: vertex stage.
// Eye-space vectors for per-fragment lighting, and the model-space position
// and normal that the strokes are laid on, so they stay on the surfaces when
// the camera moves. Positions go through the fixed-function transform, so
// depths match the plain rendering exactly.

varying vec3 vNormal;   // not unit length: the scene is drawn scaled
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
varying vec3 vModelPosition;
varying vec3 vModelNormal;

void main() {
  vec4 eye = gl_ModelViewMatrix * gl_Vertex;
  vNormal = gl_NormalMatrix * gl_Normal;
  // GL_LIGHT0 is stored in eye space; w = 0 would make it directional.
  vec4 light = gl_LightSource[0].position;
  vToLight = light.xyz - eye.xyz * light.w;
  vToEye = -eye.xyz;
  vUv = gl_MultiTexCoord0.st;
  vModelPosition = gl_Vertex.xyz;
  vModelNormal = gl_Normal;
  gl_Position = ftransform();
}
