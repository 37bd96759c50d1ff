// The application's globals, shared by start-up and the GLUT callbacks.
#pragma once

#include <GL/glew.h>

#include "../obx/obx.h"

class Camera;

// The window size as the application believes it: fixed at creation, since
// no reshape callback is registered.
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
extern GLuint gActiveProgram;
extern int gNextUpdateTime;
extern Camera* gCamera;
// Frame log (OSTREL_FRAME_LOG): frames drawn so far, and every how many
// frames a line is printed; 0 prints none.
extern long gFramesDrawn;
extern int gFrameLogInterval;
