// The application's globals, shared by start-up and the GLUT callbacks.
#pragma once

#include <GL/glew.h>

#include "../obx/obx.h"
#include "framing.h"

class Camera;

// How the model is drawn: vertex normals, texture coordinates and maps, full
// materials.
constexpr GLuint kSceneMode = OBX_SMOOTH | OBX_TEXTURE | OBX_MATERIAL;  // 22

// The window size in pixels: 800 by 600 as created, then as the last
// reshape reported it.
struct WindowSize {
  int width;
  int height;
  float aspect() const { return static_cast<float>(width) / static_cast<float>(height); }
};

// Indices into gEffectPrograms; keys 1, 2, 3 select them in this order.
enum EffectSlot { kSkinSlot = 0, kWatercolorSlot = 1, kHatchSlot = 2, kEffectCount = 3 };

extern WindowSize gWindow;
extern bool gLightingEnabled;
extern float gLightAmbient[4];
extern float gLightDiffuse[4];
extern float gLightSpecular[4];
extern float gLightPosition[4];
extern GLuint gEffectPrograms[kEffectCount];
extern ObxModel* gModel;
// Where gModel is drawn in the world; the hideout's half size unless a
// model of the user's was framed.
extern ModelPlacement gPlacement;
// gModel compiled into a display list (a large model of the user's), or 0:
// drawn with obxDraw each frame.
extern GLuint gModelList;
extern GLuint gActiveProgram;
extern int gNextUpdateTime;
extern Camera* gCamera;
// Frame log (OSTREL_FRAME_LOG): frames drawn so far, and every how many
// frames a line is printed; 0 prints none.
extern long gFramesDrawn;
extern int gFrameLogInterval;
