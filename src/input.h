// Keyboard and mouse callbacks: they only change state; the frame moves.
#pragma once

void keyboard(unsigned char key, int x, int y);
void keyboardUp(unsigned char key, int x, int y);
// Home, F5, Page Up and Page Down.
void specialKey(int key, int x, int y);
void mouseMotion(int x, int y);
// Left button: drag in the orbit view; the wheel zooms.
void mouseButton(int button, int state, int x, int y);
// Deletes gCamera if there is one and sets it to null.
void deleteCamera();
