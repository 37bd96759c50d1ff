// Camera stepping and mouse look.
#include "camera.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>

namespace {
// The heading's degree-to-radian factor uses this rounded pi on purpose:
// the camera's look direction at the default yaw depends on it.
constexpr double kPi = 3.14159;
// direction.y stays strictly inside (-1, 1); reaching a bound snaps here.
constexpr float kPitchLimit = 1.0f;
constexpr float kPitchClamp = 0.999f;
constexpr float kFullTurn = 360.0f;
}  // namespace

Camera::Camera()
    : position{0.0f, 30.0f, 100.0f, 1.0f},
      direction{0.0f, 0.0f, -1.0f, 1.0f},
      up{0.0f, 1.0f, 0.0f, 1.0f},
      movement(0),
      groundMode(false),
      yaw(90.0f),
      yawPerPixel(0.5f),
      pitchPerPixel(0.005f),
      speed(1.0f) {}

void Camera::look(float dx, float dy) {
  yaw += yawPerPixel * dx;
  direction.y += pitchPerPixel * dy;
}

void Camera::update() {
  // u, v come from the yaw before this step's wrap and serve the whole step.
  double r = yaw * kPi / 180.0;
  float u = static_cast<float>(std::cos(r));
  float v = static_cast<float>(-std::sin(r));

  if (direction.y >= kPitchLimit) direction.y = kPitchClamp;
  if (direction.y <= -kPitchLimit) direction.y = -kPitchClamp;

  // The horizontal part shrinks linearly with the pitch; not normalised.
  float h = 1.0f - std::fabs(direction.y);
  direction.x = h * u;
  direction.z = h * v;

  if (groundMode) {
    if (movement & MOVE_FORWARD) {
      position.x += direction.x * speed;
      position.z += direction.z * speed;
    }
    if (movement & MOVE_BACKWARD) {
      position.x -= direction.x * speed;
      position.z -= direction.z * speed;
    }
  } else {
    if (movement & MOVE_FORWARD) position += direction * speed;
    if (movement & MOVE_BACKWARD) position -= direction * speed;
  }

  if (movement & MOVE_LEFT) {
    position.x += v * speed;
    position.z -= u * speed;
  }
  if (movement & MOVE_RIGHT) {
    position.x -= v * speed;
    position.z += u * speed;
  }
  if (movement & MOVE_UP) position.y += speed;
  if (movement & MOVE_DOWN) position.y -= speed;

  yaw = std::fmod(yaw, kFullTurn);  // keeps the sign: -30 stays -30

  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  gluLookAt(position.x, position.y, position.z, position.x + direction.x, position.y + direction.y,
            position.z + direction.z, up.x, up.y, up.z);
}
