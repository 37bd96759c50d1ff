// Shader support.
#include "shader.h"

#include <GL/glu.h>

#include <cstdio>

int checkGlError(const char* file, int line) {
  int reported = 0;
  for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError()) {
    printf("glError in file %s @ line %d: %s\n", file, line,
           reinterpret_cast<const char*>(gluErrorString(error)));
    reported = 1;
  }
  return reported;
}

std::ostream& operator<<(std::ostream& out, const Vec4& v) {
  return out << "(" << v[0] << ", " << v[1] << ", " << v[2] << ", " << v[3] << ")";
}
