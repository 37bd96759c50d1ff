// Fuzz target: the image decoding a texture load hands to DevIL. The first
// byte picks the file's extension (which decides DevIL's decoder) and
// whether alpha is asked for; the rest is the file. A picture that comes
// back must be as large as its sides say, and readable to its last byte.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  if (size < 1) return 0;
  static const char* const kNames[4] = {"image.png", "image.jpg", "image.tga", "image.bmp"};
  const std::string path = fuzz::writeFile(kNames[data[0] & 3], data + 1, size - 1);
  const GLboolean alpha = (data[0] & 4) ? GL_TRUE : GL_FALSE;
  int width = -1, height = -1;
  GLenum format = 0;
  GLubyte* pixels = obxReadImage(path.c_str(), alpha, &width, &height, &format);
  if (!pixels) return 0;
  if (width <= 0 || height <= 0 || format != (alpha ? GL_RGBA : GL_RGB)) abort();
  const size_t bytes = size_t(width) * size_t(height) * (alpha ? 4 : 3);
  fuzz::touchEveryByte(pixels, bytes);
  free(pixels);
  return 0;
}
