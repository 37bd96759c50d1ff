// Placing a model of any size and position in front of the camera.
#pragma once

#include "../obx/obx.h"
#include "camera.h"

// Where a model is drawn: its point `centre` lands on the world point
// `target`, and the model is scaled by `scale` about it, turned first so
// that its z axis points up when `zUp` (files from tools whose up is z).
// The model's own coordinates are left as they are; the frame applies this
// as a transform.
struct ModelPlacement {
  float centre[3];
  float scale;
  float target[3];
  bool zUp;
};

// The hideout: half its stored size, about the world origin.
constexpr ModelPlacement kScenePlacement = {{0.0f, 0.0f, 0.0f}, 0.5f, {0.0f, 0.0f, 0.0f}, false};

// Degrees about x that bring a z-up model's z to the world's y (its -y
// then faces the eye, the front such tools give it).
constexpr float kZUpTurn = -90.0f;

// A placement that brings model to the scene's size (a bounding sphere of
// kFramedRadius world units, so the camera's speed, near and far planes and
// the light suit it as they suit the hideout) and puts it straight ahead of
// an eye at `eye` looking along -z, its front towards the eye, near enough
// to fill most of the view but all of it in view. fovy is the projection's
// vertical angle in degrees, aspect its width over height. Coordinates that
// are not finite are left out; a model without extent (no finite vertex, or
// one point) keeps scale 1. With zUp the model is placed turned z-up.
ModelPlacement frameModel(const ObxModel* model, const Vec4& eye, float fovy, float aspect,
                          bool zUp = false);

// World units of the bounding sphere's radius of a framed model: a walk at
// the camera's speed crosses it in about two seconds.
constexpr float kFramedRadius = 100.0f;
