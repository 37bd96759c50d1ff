// Text over the picture: the help, the statistics line and the message
// shown while a large file is read; and the numbered screenshots.
#pragma once

#include <string>

// Draws the help (top left) and the statistics line (bottom left) as
// gShowHelp and gShowStatistics ask, over what the frame drew. Leaves the
// GL state as it found it.
void drawOverlay();

// "vertices V  triangles T  materials M  textures X  F ms a frame  E"
// for gModel, gFrameMilliseconds and gActiveProgram.
std::string statisticsLine();

// The active effect's name: "fixed function", "skin", "watercolor",
// "hatching".
const char* effectName();

// Shows one line in the window, cleared and swapped at once: what a long
// start-up is doing before the first frame.
void showStatusLine(const std::string& line);

// The first "ostrel-NNNN.png" (from 0001) not yet in the working directory.
std::string nextScreenshotName();

// Writes the window's back buffer to nextScreenshotName() as a PNG and
// returns the name, or "" when it could not be written (message printed).
std::string saveScreenshot();
