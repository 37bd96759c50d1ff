// Text over the picture, and the numbered screenshots.
#include "overlay.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <IL/il.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "state.h"

namespace {
// Bitmap font: 8 x 13 pixels a character, a line every 15 pixels; the
// statistics line of a million-triangle model fits 800 pixels.
void* const kFont = GLUT_BITMAP_8_BY_13;
constexpr int kCharWidth = 8;
constexpr int kLineHeight = 15;
constexpr int kBaseline = 4;  // from a line's bottom to the letters' base
constexpr int kMargin = 8;    // from the window's edge to the panel
constexpr int kPadding = 6;   // from the panel's edge to the text
// A dark panel, three-quarters opaque, keeps light text readable on any
// picture; the text is near white.
constexpr GLfloat kPanelColour[4] = {0.0f, 0.0f, 0.0f, 0.75f};
constexpr GLfloat kTextColour[3] = {1.0f, 1.0f, 0.85f};

constexpr const char* kHelpLines[] = {
    "W/S  forward/back (orbit: zoom)  A/D  left/right",
    "R/F  up/down        mouse  look (orbit: drag turns)",
    "wheel, +/-  zoom    Home  frame all",
    "C  orbit / walk     Y  up axis y / z",
    "G  ground mode      L  lighting on/off",
    "B  back faces       X  wireframe",
    "1 skin  2 watercolor  3 hatching  0 fixed function",
    "H  this help        I  statistics line",
    "P  screenshot       F5  reload the file",
    "Escape  quit",
};

constexpr char kScreenshotPattern[] = "ostrel-%04d.png";
constexpr int kMaxScreenshots = 9999;
constexpr int kScreenshotChannels = 3;

// Draws lines of text in a panel whose top-left corner is (left, top) in
// window pixels from the top left.
void drawPanel(int left, int top, const std::vector<std::string>& lines) {
  size_t longest = 0;
  for (const std::string& line : lines) longest = std::max(longest, line.size());
  const int width = int(longest) * kCharWidth + 2 * kPadding;
  const int height = int(lines.size()) * kLineHeight + 2 * kPadding;
  // Window coordinates with y up, as the projection below has them.
  const int bottom = gWindow.height - top - height;
  glColor4fv(kPanelColour);
  glRecti(left, bottom, left + width, bottom + height);
  glColor3fv(kTextColour);
  for (size_t i = 0; i < lines.size(); i++) {
    const int y = bottom + height - kPadding - int(i + 1) * kLineHeight + kBaseline;
    glRasterPos2i(left + kPadding, y);
    glutBitmapString(kFont, reinterpret_cast<const unsigned char*>(lines[i].c_str()));
  }
}

// Pixels of the window, one unit each, y up from the bottom left; and the
// state text needs: no program, light, texture, depth or culling, blending.
void beginText() {
  glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_COLOR_BUFFER_BIT | GL_POLYGON_BIT);
  glUseProgram(0);
  glDisable(GL_LIGHTING);
  glDisable(GL_TEXTURE_2D);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, gWindow.width, 0, gWindow.height, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
}

void endText() {
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glPopAttrib();
  glUseProgram(gActiveProgram);
}
}  // namespace

const char* effectName() {
  if (gActiveProgram == 0) return "fixed function";
  if (gActiveProgram == gEffectPrograms[kSkinSlot]) return "skin";
  if (gActiveProgram == gEffectPrograms[kWatercolorSlot]) return "watercolor";
  if (gActiveProgram == gEffectPrograms[kHatchSlot]) return "hatching";
  return "unknown";
}

std::string statisticsLine() {
  // The material table holds "default" ahead of the file's own.
  const unsigned materials = gModel && gModel->materials ? gModel->nummaterials - 1 : 0;
  char line[256];
  snprintf(line, sizeof line,
           "vertices %u  triangles %u  materials %u  textures %u  %.1f ms a frame  %s",
           gModel ? gModel->numvertices : 0, gModel ? gModel->numtriangles : 0, materials,
           gModel ? gModel->numtextures : 0, double(gFrameMilliseconds), effectName());
  return line;
}

void drawOverlay() {
  if (!gShowHelp && !gShowStatistics) return;
  beginText();
  if (gShowHelp) drawPanel(kMargin, kMargin, {std::begin(kHelpLines), std::end(kHelpLines)});
  if (gShowStatistics)
    drawPanel(kMargin, gWindow.height - kMargin - kLineHeight - 2 * kPadding, {statisticsLine()});
  endText();
}

void showStatusLine(const std::string& line) {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  beginText();
  drawPanel(kMargin, gWindow.height / 2, {line});
  endText();
  glutSwapBuffers();
  glFinish();
}

std::string nextScreenshotName() {
  char name[32];
  for (int n = 1; n <= kMaxScreenshots; n++) {
    snprintf(name, sizeof name, kScreenshotPattern, n);
    if (access(name, F_OK) != 0) return name;
  }
  return "";
}

std::string saveScreenshot() {
  const std::string name = nextScreenshotName();
  if (name.empty()) {
    printf("ostrel: no free screenshot name (ostrel-0001.png to ostrel-9999.png are taken)\n");
    return "";
  }
  const int width = gWindow.width, height = gWindow.height;
  std::vector<unsigned char> pixels(size_t(width) * height * kScreenshotChannels);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  // GL's rows run from the bottom up, as DevIL's lower-left origin has them.
  ilInit();
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  bool saved = ilTexImage(ILuint(width), ILuint(height), 1, kScreenshotChannels, IL_RGB,
                          IL_UNSIGNED_BYTE, pixels.data()) &&
               ilSave(IL_PNG, name.c_str());
  ilDeleteImages(1, &image);
  if (!saved) {
    printf("ostrel: cannot write %s (DevIL error %u)\n", name.c_str(), unsigned(ilGetError()));
    return "";
  }
  printf("saved %s\n", name.c_str());
  fflush(stdout);
  return name;
}
