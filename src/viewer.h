// How the viewer shows the model it holds: the draw mode from what the
// model has, culling, placement and the display list, the two cameras, and
// reading the file again.
#pragma once

#include <GL/glew.h>

#include "../obx/obx.h"

// obxDraw's mode for a model of the user's: smooth normals, texture
// coordinates and maps, vertex colours or else materials, each only when
// the model has them, so that obxDraw has nothing to warn about frame
// after frame.
GLuint drawModeFor(const ObxModel* model);

// Vertex normals: from a user's file's smoothing groups when it has them
// and no normals of its own, else within the crease angle.
void computeNormals(ObxModel* model, bool userModel);

// True when every edge (a pair of vertex indices) is shared by two or more
// triangles: a closed surface whose back faces never show. Open meshes
// (scans, single walls, inward-facing shells) need their back faces drawn.
bool isClosedMesh(const ObxModel* model);

// Reads path into gModel (fatal on a bad file), computes its normals and
// prepares it as the hideout or as a model of the user's (userModel):
// draw mode, culling, placement, display list, and the cameras' start.
void loadModel(const char* path, bool userModel);

// Reads gModelPath again. On success the new model replaces gModel with the
// same view; on failure gModel stays and a message is printed. Returns
// whether it was replaced.
bool reloadModel();

// Turns a model of the user's between y up and z up, framed again.
void toggleUpAxis();

// Draws back faces (lit on their own side) or culls them, rebuilding the
// display list that holds the old choice.
void toggleTwoSided();

// Back to the framed front view of a model of the user's.
void frameAll();

// Orbit to walk: the walk starts where the orbit's eye is, looking at its
// target. Walk to orbit: the orbit as it was left. Only for a model of the
// user's; the hideout keeps the walk.
void toggleView();

// Culling and two-sided lighting as gTwoSided says.
void applyFaceCulling();
