// Placing a model of any size and position in front of the camera.
#include "framing.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPi = 3.14159265358979323846;
// Room left around the model's box in the view, as a factor on the distance.
constexpr double kFrameMargin = 1.1;
}  // namespace

ModelPlacement frameModel(const ObxModel* model, const Vec4& eye, float fovy, float aspect,
                          bool zUp) {
  // The bounding box of the finite vertices, in double so that huge
  // coordinates do not overflow the sums below.
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  bool any = false;
  for (uint32_t i = 1; i <= model->numvertices; i++) {
    const float* v = &model->vertices[3 * i];
    if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2])) continue;
    any = true;
    for (int k = 0; k < 3; k++) {
      lo[k] = std::min(lo[k], double(v[k]));
      hi[k] = std::max(hi[k], double(v[k]));
    }
  }
  double centre[3] = {0, 0, 0}, half[3] = {0, 0, 0};
  if (any)
    for (int k = 0; k < 3; k++) {
      centre[k] = 0.5 * (lo[k] + hi[k]);
      half[k] = 0.5 * (hi[k] - lo[k]);
    }
  // Turned z-up, the box's depth becomes its height and its height its depth.
  if (zUp) std::swap(half[1], half[2]);
  const double radius = std::sqrt(half[0] * half[0] + half[1] * half[1] + half[2] * half[2]);
  const double scale = radius > 0 ? kFramedRadius / radius : 1.0;

  // Far enough that the box's front face fits the view in both directions,
  // and never nearer than half the radius, for a model that is a point or
  // runs along the view and so shows little front.
  const double t = std::tan(0.5 * double(fovy) * kPi / 180.0);
  const double fit = std::max(half[1] / t, half[0] / (t * double(aspect)));
  const double front = std::max(scale * kFrameMargin * fit, 0.5 * double(kFramedRadius));
  const double distance = front + scale * half[2];

  ModelPlacement placement;
  for (int k = 0; k < 3; k++) placement.centre[k] = float(centre[k]);
  placement.scale = float(scale);
  placement.target[0] = eye.x;
  placement.target[1] = eye.y;
  placement.target[2] = float(double(eye.z) - distance);
  placement.zUp = zUp;
  return placement;
}
