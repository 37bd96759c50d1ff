// Shader support: GLSL programs from .vert/.frag files, sampler textures on
// their own units, uniform lookup and the GL error check.
#pragma once

#include <GL/glew.h>

#include <ostream>

#include "camera.h"

// Prints every pending GL error as "glError in file <file> @ line <line>: ..."
// and returns 1 when at least one was pending.
int checkGlError(const char* file, int line);

// Writes "(x, y, z, w)".
std::ostream& operator<<(std::ostream& out, const Vec4& v);
