// The display callback: step the camera, draw the scene, ask for the next frame.
#pragma once

void display();
