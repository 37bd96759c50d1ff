// The first-person camera and the small vector it is made of.
#pragma once

#include <cstdint>

// Four floats; arithmetic touches x, y, z only and carries w along.
struct Vec4 {
  float x, y, z, w;

  float& operator[](int i) { return (&x)[i]; }
  const float& operator[](int i) const { return (&x)[i]; }
  Vec4& operator+=(const Vec4& v) {
    x += v.x;
    y += v.y;
    z += v.z;
    return *this;
  }
  Vec4& operator-=(const Vec4& v) {
    x -= v.x;
    y -= v.y;
    z -= v.z;
    return *this;
  }
  Vec4 operator*(float s) const { return Vec4{x * s, y * s, z * s, w}; }
  Vec4& operator*=(float s) {
    x *= s;
    y *= s;
    z *= s;
    return *this;
  }
};

// Bits of Camera::movement, one per held movement key.
enum MoveFlag : int32_t {
  MOVE_FORWARD = 1,
  MOVE_BACKWARD = 2,
  MOVE_LEFT = 4,
  MOVE_RIGHT = 8,
  MOVE_UP = 16,
  MOVE_DOWN = 32,
};

class Camera {
 public:
  Camera();

  // One fixed step: move by the held flags, then load the look-at matrix.
  void update();
  // Applies a mouse movement in pixels (dx > 0 turns left, dy > 0 looks up).
  void look(float dx, float dy);

  Vec4 position;
  Vec4 direction;  // y is free (clamped per step); x, z follow the yaw
  Vec4 up;
  int32_t movement;
  bool groundMode;  // forward and backward stay horizontal
  float yaw;        // degrees; 90 looks along -z
  float yawPerPixel;
  float pitchPerPixel;
  float speed;  // world units per step along each held direction
};
