// The window callbacks: draw a frame (step the camera, draw the scene, ask
// for the next frame) and follow the window's size.
#pragma once

// The perspective projection: vertical angle in degrees, near and far planes
// in world units.
constexpr double kFieldOfView = 60.0;
constexpr double kNearPlane = 1.0;
constexpr double kFarPlane = 5000.0;

void display();

// Follows a new window size: viewport, projection aspect, and the size the
// screen-space effects read ("fViewportDimensions").
void reshape(int width, int height);

// Loads the perspective projection for gWindow's aspect into GL_PROJECTION
// (and leaves that matrix mode current).
void loadProjection();

// The frame log's interval from the value of OSTREL_FRAME_LOG (may be null):
// a whole number of frames from 1 up, else 0 (no log).
int frameLogInterval(const char* value);
