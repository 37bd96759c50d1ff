// The application's globals, shared by start-up and the GLUT callbacks.
#pragma once

#include <GL/glew.h>

#include "../obx/obx.h"
#include "framing.h"
#include "orbit.h"

class Camera;

// How the hideout is drawn: vertex normals, texture coordinates and maps,
// full materials. A model of the user's is drawn with what it has
// (drawModeFor in viewer.h).
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

// The two cameras: the first-person walk (gCamera) and the orbit around a
// model of the user's (gOrbit).
enum class ViewMode { kWalk, kOrbit };

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

// ---- The viewer: how gModel is shown ----------------------------------------
// The file gModel was read from (the hideout's or one of the user's).
extern const char* gModelPath;
// A model of the user's: lit by a light that follows the eye, framed, and
// seen in orbit at the start. The hideout keeps its light fixed in the
// world and the walk.
extern bool gUserModel;
// obxDraw's mode for gModel: kSceneMode for the hideout, what the model has
// for one of the user's.
extern GLuint gDrawMode;
// Back faces drawn and lit (open meshes); otherwise culled.
extern bool gTwoSided;
extern ViewMode gViewMode;
extern Orbit gOrbit;
extern bool gWireframe;
extern bool gShowHelp;
extern bool gShowStatistics;

// ---- Requests: callbacks set them, the next frame carries them out -----------
struct Requests {
  bool screenshot = false;
  bool reload = false;
  bool frameAll = false;
  bool toggleUpAxis = false;
  bool toggleView = false;
  bool toggleTwoSided = false;
  float dragX = 0, dragY = 0;  // pointer pixels dragged since the last frame
  float zoomSteps = 0;         // wheel notches or zoom keys, in (> 0) or out
};
extern Requests gRequests;

// The left button held in the orbit view, and where the pointer was last.
struct PointerDrag {
  bool held = false;
  int x = 0, y = 0;
};
extern PointerDrag gDrag;

// The last frames' mean time in milliseconds, for the statistics line.
extern float gFrameMilliseconds;
