#version 120
// Hatching: vertex stage.
// Eye-space vectors for per-fragment lighting, and the model-space
// position, normal and light direction that the strokes are laid out with, so they stay on the surfaces when the camera moves. Positions
// go through the fixed-function transform, so depths match the plain
// rendering exactly.

// As long as the fixed pipeline's normal: the hideout is drawn at half size
// without rescaling, and its lighting is brighter for the longer normals.
// The program sets the first component of the second texture coordinate to
// 1 when the fixed pipeline rescales (GL_RESCALE_NORMAL); gl_NormalScale
// holds the factor either way. Its second component is 1 when the vertices'
// colours stand for the material's ambient and diffuse (GL_COLOR_MATERIAL),
// which the built-in material does not follow vertex by vertex.
varying vec3 vNormal;
varying vec3 vToEye;
// The light on the material as the fixed pipeline computes it, per vertex
// and for either side: the tone must follow the plain view, whose large
// floor and ceiling triangles are lit only at their corners.
varying vec4 vLitFront;  // alpha: the material's, as the fixed pipeline's colour
varying vec4 vLitBack;
varying vec2 vUv;
varying vec3 vModelPosition;
varying vec3 vModelNormal;
varying vec3 vModelLightDirection;  // from the eye to the light

void main() {
  vec4 eye = gl_ModelViewMatrix * gl_Vertex;
  vNormal = mix(1.0, gl_NormalScale, gl_MultiTexCoord1.s) * (gl_NormalMatrix * gl_Normal);
  // GL_LIGHT0 is stored in eye space; w = 0 would make it directional.
  vec4 light = gl_LightSource[0].position;
  vec3 toLight = light.xyz - eye.xyz * light.w;
  float toLightLength = length(toLight);
  vec3 L = toLightLength > 1e-6 ? toLight / toLightLength : vec3(0.0, 0.0, 1.0);
  // A distant viewer, as GL_LIGHT_MODEL_LOCAL_VIEWER is left off.
  vec3 H = normalize(L + vec3(0.0, 0.0, 1.0));
  // Texturing modulates the whole colour, highlight included (no separate
  // specular colour), so the highlight joins the light before the clamp.
  float front = dot(vNormal, L);
  float frontShine = front > 0.0 ? pow(max(dot(vNormal, H), 0.0), gl_FrontMaterial.shininess) : 0.0;
  float backShine = front < 0.0 ? pow(max(-dot(vNormal, H), 0.0), gl_BackMaterial.shininess) : 0.0;
  float colours = gl_MultiTexCoord1.t;
  vec4 frontColour = mix(gl_FrontMaterial.diffuse, gl_Color, colours);
  vec4 backColour = mix(gl_BackMaterial.diffuse, gl_Color, colours);
  vec3 frontAmbient = mix(gl_FrontMaterial.ambient.rgb, gl_Color.rgb, colours);
  vec3 backAmbient = mix(gl_BackMaterial.ambient.rgb, gl_Color.rgb, colours);
  vec3 ambientLight = gl_LightModel.ambient.rgb + gl_LightSource[0].ambient.rgb;
  vLitFront.rgb = clamp(gl_FrontMaterial.emission.rgb + frontAmbient * ambientLight +
                            frontColour.rgb * gl_LightSource[0].diffuse.rgb * max(front, 0.0) +
                            gl_FrontLightProduct[0].specular.rgb * frontShine,
                        0.0, 1.0);
  vLitBack.rgb = clamp(gl_BackMaterial.emission.rgb + backAmbient * ambientLight +
                           backColour.rgb * gl_LightSource[0].diffuse.rgb * max(-front, 0.0) +
                           gl_BackLightProduct[0].specular.rgb * backShine,
                       0.0, 1.0);
  vLitFront.a = frontColour.a;
  vLitBack.a = backColour.a;
  vToEye = -eye.xyz;
  vUv = gl_MultiTexCoord0.st;
  vModelPosition = gl_Vertex.xyz;
  vModelNormal = gl_Normal;
  // One direction for the whole model, so strokes on a flat surface run
  // parallel (a point light's own direction fans out across a wall).
  vModelLightDirection = mat3(gl_ModelViewMatrixInverse) * light.xyz;
  gl_Position = ftransform();
}
