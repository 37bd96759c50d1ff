#version 120
// Hatching: vertex stage.
// Eye-space vectors for per-fragment lighting, and the model-space
// position, normal and light direction that the strokes are laid out with, so they stay on the surfaces when the camera moves. Positions
// go through the fixed-function transform, so depths match the plain
// rendering exactly.

// As long as the fixed pipeline's normal: the hideout is drawn at half size
// without rescaling, and its lighting is brighter for the longer normals.
varying vec3 vNormal;
varying vec3 vToLight;
varying vec3 vToEye;
varying vec2 vUv;
varying vec3 vModelPosition;
varying vec3 vModelNormal;
varying vec3 vModelLightDirection;  // from the eye to the light

void main() {
  vec4 eye = gl_ModelViewMatrix * gl_Vertex;
  vNormal = gl_NormalScale * (gl_NormalMatrix * gl_Normal);
  // GL_LIGHT0 is stored in eye space; w = 0 would make it directional.
  vec4 light = gl_LightSource[0].position;
  vToLight = light.xyz - eye.xyz * light.w;
  vToEye = -eye.xyz;
  vUv = gl_MultiTexCoord0.st;
  vModelPosition = gl_Vertex.xyz;
  vModelNormal = gl_Normal;
  // One direction for the whole model, so strokes on a flat surface run
  // parallel (a point light's own direction fans out across a wall).
  vModelLightDirection = mat3(gl_ModelViewMatrixInverse) * light.xyz;
  gl_Position = ftransform();
}
