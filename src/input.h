// Keyboard and mouse callbacks: they only change state; the frame moves.
#pragma once

void keyboard(unsigned char key, int x, int y);
void keyboardUp(unsigned char key, int x, int y);
void mouseMotion(int x, int y);
void mouseButton(int button, int state, int x, int y);
// Deletes gCamera if there is one and sets it to null.
void deleteCamera();
