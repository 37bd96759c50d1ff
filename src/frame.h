// The display callback: step the camera, draw the scene, ask for the next frame.
#pragma once

void display();

// The frame log's interval from the value of OSTREL_FRAME_LOG (may be null):
// a whole number of frames from 1 up, else 0 (no log).
int frameLogInterval(const char* value);
