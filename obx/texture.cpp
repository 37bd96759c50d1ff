// obx textures: PPM and DevIL image reading, texture upload.
#include "internal.h"

#include <GL/glu.h>
#include <IL/il.h>
#include <strings.h>

#include <type_traits>

// The core was compiled with obx.h's own definitions of these (OBX_NO_GL):
// they must be GL's, or the two halves would disagree on the records.
static_assert(std::is_same<GLenum, unsigned int>::value &&
                  std::is_same<GLboolean, unsigned char>::value &&
                  std::is_same<GLint, int>::value && std::is_same<GLuint, unsigned int>::value &&
                  std::is_same<GLubyte, unsigned char>::value && GL_TRUE == 1 && GL_FALSE == 0,
              "obx.h's OBX_NO_GL types differ from GL's");

GLboolean obxTextureLimitsPending = GL_TRUE;
GLenum obxTextureTarget = GL_TEXTURE_2D;
GLint obxMaxTextureSize = 0;
GLboolean obxGenerateMipmap = GL_FALSE;

// Decoded images above this many bytes are refused: GLU computes image sizes
// in int, and no texture the hardware takes comes near it.
static const size_t kObxMaxImageBytes = size_t(INT32_MAX);

// Header lines of a raw PPM are read in pieces of at most 69 characters.
enum { kObxPpmLineSize = 70 };

// Whether the calling thread has a current GL context: without one, GL
// calls do nothing and queries answer nothing (GL_VERSION is NULL), and
// GLU, working from those answers, divides by zero or writes through them.
static bool obxHasContext(void) { return glGetString(GL_VERSION) != NULL; }

void obxInitTextureLimits(void) {
  obxTextureLimitsPending = GL_FALSE;
  obxTextureTarget = GL_TEXTURE_2D;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &obxMaxTextureSize);
  if (obxExtensionSupported("GL_SGIS_generate_mipmap")) obxGenerateMipmap = GL_TRUE;
}

GLboolean obxExtensionSupported(const char* name) {
  OBX_ASSERT(name != NULL);
  if (*name == '\0' || strchr(name, ' ')) return GL_FALSE;
  const char* list = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
  if (!list) return GL_FALSE;
  const size_t length = strlen(name);
  // Only a whole entry counts: skip matches inside longer names.
  for (const char* at = strstr(list, name); at; at = strstr(at + 1, name)) {
    if ((at == list || at[-1] == ' ') && (at[length] == '\0' || at[length] == ' ')) return GL_TRUE;
  }
  return GL_FALSE;
}

// Reads one header piece into line; false at the end of the file.
// *continued tells whether the piece continues a longer line.
static bool obxReadPpmLine(FILE* file, char* line, bool* continued, bool* complete) {
  *continued = !*complete;
  if (!fgets(line, kObxPpmLineSize, file)) return false;
  *complete = strchr(line, '\n') != NULL;
  return true;
}

static bool obxIsBlankLine(const char* line) {
  while (isspace(static_cast<unsigned char>(*line))) line++;
  return *line == '\0';
}

// Reads up to wanted decimal numbers as sscanf's "%d %d %d" would, without
// its undefined behaviour for numbers beyond int. Returns how many were
// read, or -1 when one is out of range.
static int obxScanInts(const char* line, int* const* values, int wanted) {
  int parsed = 0;
  for (const char* at = line; parsed < wanted;) {
    char* end = NULL;
    errno = 0;
    const long value = strtol(at, &end, 10);
    if (end == at) break;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return -1;
    *values[parsed++] = int(value);
    at = end;
  }
  return parsed;
}

namespace {
// A file closed when it goes.
struct ObxClose {
  void operator()(FILE* file) const { fclose(file); }
};
using ObxFile = std::unique_ptr<FILE, ObxClose>;
// An image file being looked into before DevIL gets it.
struct ObxImageFile {
  ObxFile file;
  uint64_t size;
  // Reads count bytes at offset, false past the end.
  bool read(uint64_t offset, unsigned char* bytes, size_t count) {
    return offset <= size && count <= size - offset &&
           fseek(file.get(), long(offset), SEEK_SET) == 0 &&
           fread(bytes, 1, count, file.get()) == count;
  }
};
// An image opened for reading: over the bytes the read's opener gives
// when it has one, else from the file system. *size gets its size.
FILE* obxOpenImage(const char* filename, uint64_t* size) {
  const void* data;
  size_t bytes;
  if (obxHasOpener()) {
    // An empty image has no stream over it; it is no picture either.
    if (!obxOpenerBytes(filename, &data, &bytes) || bytes == 0) {
      errno = ENOENT;
      return NULL;
    }
    *size = bytes;
    return fmemopen(const_cast<void*>(data), bytes, "rb");
  }
  FILE* file = fopen(filename, "rb");
  struct stat status;
  if (file && fstat(fileno(file), &status) == 0) *size = uint64_t(status.st_size);
  return file;
}
uint32_t obxBig32(const unsigned char* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}
}  // namespace

// obxReadRawPPM, also telling whether the file began with the magic "P6".
static GLubyte* obxReadPpmFile(const char* filename, int* width, int* height, GLenum* format,
                               bool* raw) {
  *raw = false;
  uint64_t size = 0;
  const ObxFile owned(obxOpenImage(filename, &size));
  FILE* file = owned.get();
  if (!file) {
    obxWarn("%s: %s", filename, strerror(errno));  // as perror would say it, through the sink
    return NULL;
  }
  char line[kObxPpmLineSize];
  bool continued = false, complete = true;
  if (!obxReadPpmLine(file, line, &continued, &complete) || strncmp(line, "P6", 2) != 0)
    return NULL;
  *raw = true;

  int w = 0, h = 0, maximum = 0;  // every sample is taken as one byte, whatever the maximum
  int* const numbers[3] = {&w, &h, &maximum};
  for (int count = 0; count < 3;) {
    // A header cut short by the end of the file is broken.
    if (!obxReadPpmLine(file, line, &continued, &complete)) return NULL;
    if (line[0] == '#') continue;
    // The tail of a long line may be only its line end; a header line of
    // nothing but white space would leave the numbers unplaced.
    if (obxIsBlankLine(line) && continued) continue;
    const int parsed = obxIsBlankLine(line) ? -1 : obxScanInts(line, numbers + count, 3 - count);
    if (parsed < 0) return NULL;
    count += parsed;
  }

  // The header must promise a picture, and the file must hold all of it:
  // checking the size first also keeps absurd headers from allocating.
  if (w <= 0 || h <= 0 || size_t(w) > kObxMaxImageBytes / 3 / size_t(h)) return NULL;
  const size_t bytes = size_t(w) * size_t(h) * 3;
  const long start = ftell(file);
  if (start < 0 || fseek(file, 0, SEEK_END) != 0) return NULL;
  const long end = ftell(file);
  if (end < start || size_t(end - start) < bytes || fseek(file, start, SEEK_SET) != 0) return NULL;
  ObxBlock<GLubyte> pixels(static_cast<GLubyte*>(malloc(bytes)));
  // A short read would hand over bytes that were never read.
  if (!pixels || fread(pixels.get(), 1, bytes, file) != bytes) return NULL;
  *width = w;
  *height = h;
  *format = GL_RGB;
  return pixels.release();
}

GLubyte* obxReadRawPPM(const char* filename, GLboolean alpha, int* width, int* height,
                       GLenum* format) {
  (void)alpha;  // a raw PPM is always RGB
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  bool raw;
  return obxReadPpmFile(filename, width, height, format, &raw);
}

// What DevIL is given is checked first where it would go wrong on its own:
//  - It hands a PNG file to libpng with a read function that does not stop
//    at the end of the file, so a chunk running past the end spins for
//    good: a PNG must be whole (every chunk inside the file, up to IEND).
//  - It allocates the picture its header announces before reading the
//    pixels: a few bytes claiming 30000 x 30000 cost gigabytes. Sides
//    beyond the decoded image limit, or beyond what the file's size can
//    hold, are refused from the PNG, BMP, TGA and JPEG headers.
// Anything else is DevIL's to judge.

// Whether the sides stay within the decoded limit and a file of this size
// can hold that many pixels: none of the formats packs more than 8256 in a
// byte (PNG's, deflate's 1032:1 on one bit a pixel; a JPEG block of 64
// takes a bit or more, a TGA or BMP run of 128 or 256 two bytes or more).
static bool obxSidesFit(const ObxImageFile* image, uint64_t width, uint64_t height) {
  const uint64_t pixels = width * height;  // both below 2^32: no overflow
  return pixels <= kObxMaxImageBytes / 4 && pixels / 8256 <= image->size;
}

static bool obxPngIsWhole(ObxImageFile* image) {
  unsigned char header[16];
  if (!image->read(8, header, 16) || memcmp(header + 4, "IHDR", 4) != 0 ||
      !obxSidesFit(image, obxBig32(header + 8), obxBig32(header + 12)))
    return false;
  for (uint64_t at = 8; image->size - at >= 12 && image->read(at, header, 8);) {
    const uint64_t length = obxBig32(header);
    if (length > image->size - at - 12) return false;
    at += length + 12;
    if (memcmp(header + 4, "IEND", 4) == 0) return true;
  }
  return false;
}

// A JPEG must be whole too: DevIL's source for libjpeg does not end the
// data at the end of the file either. Every segment up to the scan must
// lie inside the file, the frame's sides must fit, and an end marker must
// follow the scan (looked for in the last 64 KiB, past any trailing bytes).
static bool obxJpegIsWhole(ObxImageFile* image) {
  unsigned char marker[9];
  bool sidesFit = false;
  for (uint64_t at = 2; image->read(at, marker, 4) && marker[0] == 0xFF;) {
    const unsigned type = marker[1];
    const uint64_t length = uint64_t(marker[2]) << 8 | marker[3];
    if (length < 2 || length > image->size - at - 2) return false;
    const bool frame = type >= 0xC0 && type <= 0xCF && type != 0xC4 && type != 0xC8 && type != 0xCC;
    if (frame) {
      if (!image->read(at, marker, 9)) return false;
      sidesFit = obxSidesFit(image, uint64_t(marker[7]) << 8 | marker[8],
                             uint64_t(marker[5]) << 8 | marker[6]);
      if (!sidesFit) return false;
    }
    at += 2 + length;
    if (type == 0xDA) {
      if (!sidesFit) return false;  // a scan before any frame
      const uint64_t tail = std::min<uint64_t>(image->size - at, 65536);
      const ObxBlock<unsigned char> bytes(static_cast<unsigned char*>(malloc(tail ? tail : 1)));
      return bytes && image->read(image->size - tail, bytes.get(), tail) &&
             memmem(bytes.get(), tail, "\xFF\xD9", 2) != NULL;
    }
  }
  return false;
}

// A TGA has no signature; its header must describe a picture this file
// can hold. DevIL reads a colour map whatever the header says of it (a
// colour-mapped picture without one, its length 65532, asked for 4 GB), so
// colour-mapped pictures need a map of a real entry size inside the file.
static bool obxTgaFits(const ObxImageFile* image, const unsigned char head[18]) {
  const unsigned mapType = head[1], type = head[2], mapLength = head[5] | head[6] << 8,
                 entryBits = head[7];
  const bool knownType = type <= 3 || (type >= 9 && type <= 11);
  const bool mapped = type == 1 || type == 9;  // colour-mapped pictures need the map
  if (mapType > 1 || !knownType || (mapped && mapType != 1)) return false;
  if (mapType == 1) {
    if (entryBits != 15 && entryBits != 16 && entryBits != 24 && entryBits != 32) return false;
    const uint64_t mapBytes = uint64_t(mapLength) * ((entryBits + 7) / 8);
    if (18 + uint64_t(head[0]) + mapBytes > image->size) return false;
  }
  return obxSidesFit(image, uint64_t(head[12] | head[13] << 8), uint64_t(head[14] | head[15] << 8));
}

static bool obxImageAcceptable(const char* filename) {
  ObxImageFile image = {ObxFile(), UINT64_MAX};
  image.file.reset(obxOpenImage(filename, &image.size));
  // A file DevIL fails to open too, or cannot look into, is its to judge.
  if (!image.file || image.size == UINT64_MAX) return true;
  unsigned char head[26];
  const size_t got = fread(head, 1, sizeof head, image.file.get());
  const char* dot = strrchr(filename, '.');
  if (got >= 8 && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return obxPngIsWhole(&image);
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xD8) return obxJpegIsWhole(&image);
  if (got >= 26 && head[0] == 'B' && head[1] == 'M') {
    // Little-endian and signed (a negative height is a top-down picture).
    auto side = [&](int at) {
      const int32_t value = int32_t(uint32_t(head[at]) | uint32_t(head[at + 1]) << 8 |
                                    uint32_t(head[at + 2]) << 16 | uint32_t(head[at + 3]) << 24);
      return uint64_t(std::llabs(int64_t(value)));
    };
    return obxSidesFit(&image, side(18), side(22));
  }
  if (dot && strcasecmp(dot, ".tga") == 0 && got >= 18) return obxTgaFits(&image, head);
  return true;
}

GLubyte* obxReadImage(const char* filename, GLboolean alpha, int* width, int* height,
                      GLenum* format) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  if (!obxImageAcceptable(filename)) return NULL;
  ilInit();
  ilEnable(IL_ORIGIN_SET);
  ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
  // DevIL keeps errors until they are fetched; an old one (a failed load
  // before) must not fail this image.
  while (ilGetError() != IL_NO_ERROR) continue;
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  // Through the opener the image is one block of bytes, its kind told by
  // its name's extension or else by its first bytes, as for a file.
  const void* data;
  size_t size;
  bool loaded;
  if (obxOpenerBytes(filename, &data, &size)) {
    ILenum type = ilTypeFromExt(filename);
    if (type == IL_TYPE_UNKNOWN) type = ilDetermineTypeL(data, ILuint(size));
    loaded = size <= UINT32_MAX && ilLoadL(type, data, ILuint(size));
  } else {
    loaded = !obxHasOpener() && ilLoadImage(filename);
  }
  if (!loaded) {
    ilDeleteImages(1, &image);
    return NULL;
  }
  const ILint w = ilGetInteger(IL_IMAGE_WIDTH), h = ilGetInteger(IL_IMAGE_HEIGHT);
  const size_t components = alpha ? 4 : 3;
  // DevIL can describe a picture its data does not hold (a 15-bit TGA
  // whose pixels are cut short came back as BGR at two bytes a pixel), and
  // its copy then reads past the data. Its own account of the bytes it
  // holds must cover what its sides and format need.
  const ILint bytesPerPixel = ilGetInteger(IL_IMAGE_BYTES_PER_PIXEL);
  const ILint typeSize = ilGetInteger(IL_IMAGE_BPC);
  const int64_t held = ilGetInteger(IL_IMAGE_SIZE_OF_DATA);
  // The channels as the format has them, 0 for a format not known.
  const ILint f = ilGetInteger(IL_IMAGE_FORMAT);
  const ILint channels = f == IL_RGBA || f == IL_BGRA                                 ? 4
                         : f == IL_RGB || f == IL_BGR                                 ? 3
                         : f == IL_LUMINANCE_ALPHA                                    ? 2
                         : f == IL_COLOUR_INDEX || f == IL_ALPHA || f == IL_LUMINANCE ? 1
                                                                                      : 0;
  const bool whole = w > 0 && h > 0 && ilGetInteger(IL_IMAGE_DEPTH) == 1 && channels > 0 &&
                     typeSize > 0 && bytesPerPixel == channels * typeSize &&
                     held >= int64_t(w) * int64_t(h) * bytesPerPixel;
  ObxBlock<GLubyte> pixels;
  if (whole && size_t(w) <= kObxMaxImageBytes / components / size_t(h))
    pixels.reset(static_cast<GLubyte*>(malloc(size_t(w) * size_t(h) * components)));
  if (pixels)
    ilCopyPixels(0, 0, 0, ILuint(w), ILuint(h), 1, alpha ? IL_RGBA : IL_RGB, IL_UNSIGNED_BYTE,
                 pixels.get());
  ilDeleteImages(1, &image);
  if (!pixels || ilGetError() != IL_NO_ERROR) return NULL;
  *width = w;
  *height = h;
  *format = alpha ? GL_RGBA : GL_RGB;
  return pixels.release();
}

// The smallest power of two not below side (side >= 1), in integers: the
// same result as rounding log2 up, without trusting the logarithm's last bit.
static int obxPowerOfTwoAtLeast(int side) {
  int power = 1;
  while (power < side && power <= (INT32_MAX >> 1)) power <<= 1;
  return power;
}

GLuint obxLoadTexture(const char* filename, GLboolean alpha, GLboolean repeat, GLboolean filtering,
                      GLboolean mipmaps, float* texcoordWidth, float* texcoordHeight) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(texcoordWidth && texcoordHeight);
  // Without a context the texture is kept by its name alone, as with
  // uploads off; the limits wait for a context to answer.
  if (!obxHasContext()) {
    if (!obxToldNoContext)
      obxWarn(
          "obxLoadTexture(): no current GL context: %s and the textures after it are kept "
          "by name, not loaded.",
          filename);
    obxToldNoContext = true;
    return 0;
  }
  obxToldNoContext = false;
  if (obxTextureLimitsPending) obxInitTextureLimits();

  int width = 0, height = 0;
  GLenum format = 0;
  // A broken "P6" file stays broken: DevIL's own reader would take it too,
  // and on short pixel data it frees its image twice.
  bool raw = false;
  ObxBlock<GLubyte> pixels(obxReadPpmFile(filename, &width, &height, &format, &raw));
  if (!pixels && !raw) pixels.reset(obxReadImage(filename, alpha, &width, &height, &format));
  if (!pixels) {
    obxWarn("obxLoadTexture() failed: Unable to load texture from %s!", filename);
    return 0;
  }

  const int components = format == GL_RGBA ? 4 : 3;  // both readers give RGB or RGBA

  // Rows are packed without padding; only rows of whole words suit the
  // default alignment. The setting stays for the caller.
  glPixelStorei(GL_UNPACK_ALIGNMENT, (components * width) % 4 == 0 ? 4 : 1);

  // Clamp to the hardware's limit, then round up to powers of two. Without
  // a known limit (0: no context answered) there is nothing to clamp to.
  const int limit = obxMaxTextureSize > 0 ? obxMaxTextureSize : INT32_MAX;
  int textureWidth = std::min(width, limit), textureHeight = std::min(height, limit);
  if (obxTextureTarget == GL_TEXTURE_2D) {
    textureWidth = obxPowerOfTwoAtLeast(textureWidth);
    textureHeight = obxPowerOfTwoAtLeast(textureHeight);
  }

  if (textureWidth != width || textureHeight != height) {
    // The stretched image has the decoded one's byte limit: rounding up to
    // powers of two can nearly quadruple it.
    ObxBlock<GLubyte> scaled;
    if (size_t(textureWidth) <= kObxMaxImageBytes / size_t(components) / size_t(textureHeight))
      scaled.reset(static_cast<GLubyte*>(
          malloc(size_t(textureWidth) * size_t(textureHeight) * size_t(components))));
    if (!scaled) {
      obxWarn("obxLoadTexture() failed: no room to scale %s to %dx%d!", filename, textureWidth,
              textureHeight);
      return 0;
    }
    // The scaled buffer has packed rows too; with the default pack
    // alignment GLU would pad rows of 3 or 6 bytes beyond its end.
    GLint packAlignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    const GLint scaledStatus =
        gluScaleImage(format, width, height, GL_UNSIGNED_BYTE, pixels.get(), textureWidth,
                      textureHeight, GL_UNSIGNED_BYTE, scaled.get());
    glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
    if (scaledStatus != 0) {
      obxWarn("obxLoadTexture() failed: can't scale %s: %s!", filename,
              reinterpret_cast<const char*>(gluErrorString(GLenum(scaledStatus))));
      return 0;
    }
    pixels = std::move(scaled);
  }

  GLuint id = 0;
  glGenTextures(1, &id);
  glBindTexture(obxTextureTarget, id);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_MIN_FILTER,
                  filtering ? (mipmaps ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR)
                            : (mipmaps ? GL_NEAREST_MIPMAP_NEAREST : GL_NEAREST));
  glTexParameteri(obxTextureTarget, GL_TEXTURE_MAG_FILTER, filtering ? GL_LINEAR : GL_NEAREST);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_WRAP_S, repeat ? GL_REPEAT : GL_CLAMP);
  glTexParameteri(obxTextureTarget, GL_TEXTURE_WRAP_T, repeat ? GL_REPEAT : GL_CLAMP);
  if (mipmaps && obxGenerateMipmap)
    glTexParameteri(obxTextureTarget, GL_GENERATE_MIPMAP_SGIS, GL_TRUE);
  if (mipmaps && !obxGenerateMipmap) {
    const GLint built = gluBuild2DMipmaps(obxTextureTarget, GLint(format), textureWidth,
                                          textureHeight, format, GL_UNSIGNED_BYTE, pixels.get());
    if (built != 0) {
      obxWarn("obxLoadTexture() failed: can't build mipmaps of %s: %s!", filename,
              reinterpret_cast<const char*>(gluErrorString(GLenum(built))));
      glDeleteTextures(1, &id);
      return 0;
    }
  } else {
    glTexImage2D(obxTextureTarget, 0, GLint(format), textureWidth, textureHeight, 0, format,
                 GL_UNSIGNED_BYTE, pixels.get());
  }

  // GL_TEXTURE_2D addresses the whole stretched image with 0..1.
  *texcoordWidth = *texcoordHeight = 1.0f;
  return id;
}

// What the core reaches of this part (see obx/internal.h): maps as the MTL
// reader loads them (alpha, repeat, filtering and mipmaps all on), and the
// deletion of a model's textures.
static GLuint obxLoadMap(const char* path, float* width, float* height) {
  return obxLoadTexture(path, GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE, width, height);
}
static void obxDeleteTexture(GLuint id) { glDeleteTextures(1, &id); }
extern "C" const ObxGlHooks obxGlHooks = {obxLoadMap, obxDeleteTexture};
