// Fuzz target: the raw PPM reader. A picture it returns must fit the file
// and be readable to its last byte.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setUp();
  const std::string path = fuzz::writeFile("image.ppm", data, size);
  int width = -1, height = -1;
  GLenum format = 0;
  GLubyte* pixels = obxReadRawPPM(path.c_str(), GL_FALSE, &width, &height, &format);
  if (!pixels) return 0;
  if (width <= 0 || height <= 0 || format != GL_RGB) abort();
  const size_t bytes = size_t(width) * size_t(height) * 3;
  if (bytes > size) abort();
  fuzz::touchEveryByte(pixels, bytes);
  free(pixels);
  return 0;
}
