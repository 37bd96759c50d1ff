// The orbit camera: an eye on a sphere around a point, for looking at a
// model of the user's from every side.
#pragma once

#include <cstdint>

// The eye sits `distance` world units from `target`, `yaw` degrees round
// the world's y axis from the +z side (positive: towards +x) and `pitch`
// degrees above the target's horizon, looking at the target with y up.
struct Orbit {
  float target[3] = {0.0f, 0.0f, 0.0f};
  float distance = 100.0f;
  float yaw = 0.0f;
  float pitch = 0.0f;
};

// The eye position in world coordinates.
void orbitEye(const Orbit& orbit, float eye[3]);

// A pointer dragged by (dx, dy) pixels (x right, y down) turns the model
// with it: right turns it right, down tips its top towards the viewer. The
// pitch stays short of straight up and down, where the view's up is lost.
void orbitRotate(Orbit* orbit, float dx, float dy);

// Zooms in (steps > 0) or out by a fixed factor per step, within
// kOrbitNearest..kOrbitFarthest world units of the target.
void orbitZoom(Orbit* orbit, float steps);

// One fixed step of the movement keys (MoveFlag bits): forward and backward
// zoom, left, right, up and down carry eye and target across the view, by
// a share of the distance so the speed suits any zoom.
void orbitStep(Orbit* orbit, int32_t movement);

// Pitch limit in degrees and the zoom's range in world units (a framed
// model has a bounding sphere of radius 100; the far plane is at 5000).
constexpr float kOrbitPitchLimit = 89.0f;
constexpr float kOrbitNearest = 5.0f;
constexpr float kOrbitFarthest = 2500.0f;
