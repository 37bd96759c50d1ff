// Definitions of the application's globals, in one place so that tests can
// link the callbacks without the program's main.
#include "state.h"

#include "camera.h"

WindowSize gWindow = {800, 600};
bool gLightingEnabled = true;
float gLightAmbient[4] = {0.6f, 0.5f, 0.5f, 1.0f};
float gLightDiffuse[4] = {0.9f, 0.9f, 0.9f, 1.0f};
float gLightSpecular[4] = {1.0f, 1.0f, 1.0f, 1.0f};
// Positional (w = 1), in world coordinates: re-sent after the view each frame.
float gLightPosition[4] = {500.0f, 1000.0f, -1500.0f, 1.0f};
GLuint gEffectPrograms[kEffectCount] = {0, 0, 0};
ObxModel* gModel = nullptr;
ModelPlacement gPlacement = kScenePlacement;
GLuint gModelList = 0;
GLuint gActiveProgram = 0;
int gNextUpdateTime = 0;
Camera* gCamera = new Camera();
long gFramesDrawn = 0;
int gFrameLogInterval = 0;

const char* gModelPath = nullptr;
GLuint gDrawMode = kSceneMode;
bool gUserModel = false;
bool gTwoSided = false;
ViewMode gViewMode = ViewMode::kWalk;
Orbit gOrbit;
bool gWireframe = false;
bool gShowHelp = false;
bool gShowStatistics = false;
Requests gRequests;
PointerDrag gDrag;
float gFrameMilliseconds = 0;
