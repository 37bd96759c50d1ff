// The orbit camera around a model of the user's.
#include "orbit.h"

#include <algorithm>
#include <cmath>

#include "camera.h"

namespace {
constexpr float kDegrees = 3.14159265f / 180.0f;
constexpr float kDegreesPerPixel = 0.5f;  // as the walk's mouse look turns
constexpr float kZoomPerStep = 0.9f;      // a wheel notch comes 10% nearer
// A step of the movement keys moves this share of the distance: at 100
// steps a second, half the distance to the target a second.
constexpr float kStepShare = 0.005f;
// Holding W or S zooms as five wheel notches a second would.
constexpr float kZoomPerKeyStep = 0.05f;
}  // namespace

void orbitEye(const Orbit& orbit, float eye[3]) {
  const float yaw = orbit.yaw * kDegrees, pitch = orbit.pitch * kDegrees;
  eye[0] = orbit.target[0] + orbit.distance * std::sin(yaw) * std::cos(pitch);
  eye[1] = orbit.target[1] + orbit.distance * std::sin(pitch);
  eye[2] = orbit.target[2] + orbit.distance * std::cos(yaw) * std::cos(pitch);
}

void orbitRotate(Orbit* orbit, float dx, float dy) {
  // The eye goes the other way round from the model's turn.
  orbit->yaw = std::fmod(orbit->yaw - kDegreesPerPixel * dx, 360.0f);
  orbit->pitch = std::clamp(orbit->pitch + kDegreesPerPixel * dy, -kOrbitPitchLimit,
                            kOrbitPitchLimit);
}

void orbitZoom(Orbit* orbit, float steps) {
  orbit->distance = std::clamp(orbit->distance * std::pow(kZoomPerStep, steps), kOrbitNearest,
                               kOrbitFarthest);
}

void orbitStep(Orbit* orbit, int32_t movement) {
  if (movement & MOVE_FORWARD) orbitZoom(orbit, kZoomPerKeyStep);
  if (movement & MOVE_BACKWARD) orbitZoom(orbit, -kZoomPerKeyStep);
  // The view's right and up directions at this yaw and pitch.
  const float yaw = orbit->yaw * kDegrees, pitch = orbit->pitch * kDegrees;
  const float right[3] = {std::cos(yaw), 0.0f, -std::sin(yaw)};
  const float up[3] = {-std::sin(yaw) * std::sin(pitch), std::cos(pitch),
                       -std::cos(yaw) * std::sin(pitch)};
  const float step = kStepShare * orbit->distance;
  float across = 0.0f, upward = 0.0f;
  if (movement & MOVE_LEFT) across -= step;
  if (movement & MOVE_RIGHT) across += step;
  if (movement & MOVE_UP) upward += step;
  if (movement & MOVE_DOWN) upward -= step;
  for (int k = 0; k < 3; k++) orbit->target[k] += across * right[k] + upward * up[k];
}
