// obx: the model library. See obx.h for the records and conventions.
#include "obx.h"

#include <GL/glu.h>
#include <IL/il.h>

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Preconditions stay checked in every build type: a model that breaks them
// would otherwise be read out of bounds. The report has the shape of the
// runtime's assert, so tools that parse those lines keep working.
[[noreturn]] static void obxAssertFailed(const char* condition, const char* file, int line,
                                         const char* function) {
  fflush(stdout);
  fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
  abort();
}
#define OBX_ASSERT(condition) \
  ((condition) ? (void)0 : obxAssertFailed(#condition, "obx/obx.cpp", __LINE__, __func__))

// ---- Diagnostics and text ------------------------------------------------

static void obxReport(const char* prefix, const char* format, va_list args) {
  fputs(prefix, stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

void obxWarn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Warning: ", format, args);
  va_end(args);
}

void obxFail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal Error: ", format, args);
  va_end(args);
  exit(1);
}

void obxFailUsage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal API Usage: ", format, args);
  va_end(args);
  abort();
}

void obxLogGlErrors(void) {
  for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
    obxWarn("GL error: %s", reinterpret_cast<const char*>(gluErrorString(error)));
}

char* obxCopyString(const char* text) {
  OBX_ASSERT(text != NULL);
  size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, text, size);
  return copy;
}

static bool obxIsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char* obxTrimCopy(const char* text) {
  OBX_ASSERT(text != NULL);
  size_t length = strlen(text);
  size_t start = 0;
  while (start < length && obxIsTrimmed(text[start])) start++;
  if (start == length) return NULL;
  size_t end = length;  // one past the last kept character
  while (end > start + 1 && obxIsTrimmed(text[end - 1])) end--;
  char* copy = static_cast<char*>(malloc(end - start + 1));
  if (!copy) return NULL;
  memcpy(copy, text + start, end - start);
  copy[end - start] = '\0';
  return copy;
}

char* obxDirectoryOf(const char* path) {
  char* copy = obxCopyString(path);
  if (!copy) return NULL;
  char* slash = strrchr(copy, '/');
  if (slash)
    slash[1] = '\0';
  else
    copy[0] = '\0';
  return copy;
}

// Returns a new heap text of a followed by b, or NULL.
[[maybe_unused]] static char* obxJoin(const char* a, const char* b) {
  size_t la = strlen(a), lb = strlen(b);
  char* joined = static_cast<char*>(malloc(la + lb + 1));
  if (!joined) return NULL;
  memcpy(joined, a, la);
  memcpy(joined + la, b, lb + 1);
  return joined;
}

// ---- Model ---------------------------------------------------------------

void obxDeleteModel(ObxModel* model) {
  OBX_ASSERT(model);
  free(model->path);
  free(model->mtllibname);
  free(model->vertices);
  free(model->normals);
  free(model->texcoords);
  free(model->facetnorms);
  free(model->triangles);
  if (model->materials) {
    for (uint32_t i = 0; i < model->nummaterials; i++) free(model->materials[i].name);
    free(model->materials);
  }
  if (model->textures) {
    for (uint32_t i = 0; i < model->numtextures; i++) {
      free(model->textures[i].name);
      glDeleteTextures(1, &model->textures[i].id);
    }
    free(model->textures);
  }
  while (model->groups) {
    ObxGroup* group = model->groups;
    model->groups = group->next;
    free(group->name);
    free(group->triangles);
    free(group);
  }
  free(model);
}

// ==== SECTION: groups and OBJ reader =======================================

// ==== SECTION: MTL reader and material lookup ==============================

// ==== SECTION: facet and vertex normals ====================================

void obxCrossProduct(const float* u, const float* v, float* n) {
  OBX_ASSERT(u);
  OBX_ASSERT(v);
  OBX_ASSERT(n);
  n[0] = u[1] * v[2] - u[2] * v[1];
  n[1] = u[2] * v[0] - u[0] * v[2];
  n[2] = u[0] * v[1] - u[1] * v[0];
}

float obxDotProduct(const float* u, const float* v) {
  OBX_ASSERT(u);
  OBX_ASSERT(v);
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

void obxNormalizeVector(float* v) {
  OBX_ASSERT(v);
  float length = sqrtf(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  v[0] /= length;
  v[1] /= length;
  v[2] /= length;
}

// Allocation failures of the normal arrays are fatal: going on would write
// through a null pointer, and the caller has no error code to look at.
static void* obxAllocNormals(void* block, size_t count, const char* function) {
  void* grown = realloc(block, 3 * sizeof(float) * (count + 1));
  if (!grown) obxFail("%s: out of memory for %zu normals", function, count);
  return grown;
}

void obxComputeFacetNormals(ObxModel* model) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  free(model->facetnorms);
  model->facetnorms = NULL;
  model->numfacetnorms = model->numtriangles;
  float* facetnorms = static_cast<float*>(
      obxAllocNormals(NULL, model->numfacetnorms, "obxComputeFacetNormals()"));
  model->facetnorms = facetnorms;
  facetnorms[0] = facetnorms[1] = facetnorms[2] = 0.0f;
  const float* vertices = model->vertices;
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    ObxTriangle* triangle = &model->triangles[i];
    OBX_ASSERT(triangle->vindices[0] <= model->numvertices);
    OBX_ASSERT(triangle->vindices[1] <= model->numvertices);
    OBX_ASSERT(triangle->vindices[2] <= model->numvertices);
    triangle->findex = i + 1;
    const float* p0 = &vertices[3 * size_t(triangle->vindices[0])];
    const float* p1 = &vertices[3 * size_t(triangle->vindices[1])];
    const float* p2 = &vertices[3 * size_t(triangle->vindices[2])];
    const float u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    const float v[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    float* n = &facetnorms[3 * (size_t(i) + 1)];
    obxCrossProduct(u, v, n);
    obxNormalizeVector(n);
  }
}

// Grows the capacity of model->normals (model->numnormals while
// obxVertexNormals runs) by step normals.
static void obxGrowNormals(ObxModel* model, uint32_t step) {
  // The capacity is a 32-bit count and OBX_NO_INDEX must stay out of reach;
  // stop rather than wrap around.
  if (model->numnormals > UINT32_MAX - 2 - step)
    obxFail("obxVertexNormals(): too many normals (%u+%u)", model->numnormals, step);
  model->numnormals += step;
  model->normals = static_cast<float*>(
      obxAllocNormals(model->normals, model->numnormals, "obxVertexNormals()"));
}

// Returns an uninitialised block of count list nodes, or NULL. A fresh
// block of tens of megabytes costs one page fault per 4 KiB page, which
// dominated the run time on big meshes; huge pages cut that to a few.
static ObxNode* obxAllocNodes(size_t count) {
  const size_t bytes = sizeof(ObxNode) * (count ? count : 1);
#ifdef MADV_HUGEPAGE
  const size_t huge = size_t(2) << 20;
  if (bytes >= 2 * huge) {
    const size_t rounded = (bytes + huge - 1) / huge * huge;
    void* block = aligned_alloc(huge, rounded);
    if (block) madvise(block, rounded, MADV_HUGEPAGE);  // only a hint
    return static_cast<ObxNode*>(block);
  }
#endif
  return static_cast<ObxNode*>(malloc(bytes));
}

#define T(x) (model->triangles[(x)])

void obxVertexNormals(ObxModel* model, float angle, GLboolean keep) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->facetnorms);
  // With keep, the existing normals are copied by the final shrink; a count
  // without an array would copy bytes that were never written.
  OBX_ASSERT(!keep || model->normals || model->numnormals == 0);

  const float cos_angle = float(cos(angle * 3.1415927410125732 / 180.0));
  const uint32_t numtriangles = model->numtriangles;
  const uint32_t numvertices = model->numvertices;
  // Each list node yields at most one normal, so 3 * numtriangles normals
  // always suffice without keep.
  const size_t numnodes = 3 * size_t(numtriangles);
  if (numnodes > UINT32_MAX - 2)
    obxFail("obxVertexNormals(): too many triangles (%u)", numtriangles);

  uint32_t next;  // index of the next normal to store
  if (!keep) {
    free(model->normals);
    model->normals = NULL;
    model->numnormals = uint32_t(numnodes);
    model->normals =
        static_cast<float*>(obxAllocNormals(NULL, model->numnormals, "obxVertexNormals()"));
    next = 1;
  } else {
    if (model->numnormals >= UINT32_MAX - 2)
      obxFail("obxVertexNormals(): too many normals (%u)", model->numnormals);
    next = model->numnormals + 1;
  }

  // One list per vertex, newest triangle first. All nodes come from one
  // block: node 3*i+j stands for corner j of triangle i.
  ObxNode** members = static_cast<ObxNode**>(calloc(size_t(numvertices) + 1, sizeof(ObxNode*)));
  ObxNode* nodes = obxAllocNodes(numnodes);
  if (!members || !nodes) obxFail("obxVertexNormals(): out of memory for %u triangles", numtriangles);
  ObxNode* node = nodes;
  for (uint32_t i = 0; i < numtriangles; i++) {
    OBX_ASSERT(T(i).vindices[0] <= model->numvertices);
    OBX_ASSERT(T(i).vindices[1] <= model->numvertices);
    OBX_ASSERT(T(i).vindices[2] <= model->numvertices);
    OBX_ASSERT(T(i).findex == OBX_NO_INDEX || T(i).findex <= model->numfacetnorms);
    for (int j = 0; j < 3; j++, node++) {
      // Only kept indices must be valid (checked while numnormals is still
      // the count); the others are overwritten.
      if (keep)
        OBX_ASSERT(T(i).nindices[j] == OBX_NO_INDEX || T(i).nindices[j] <= model->numnormals);
      const uint32_t v = T(i).vindices[j];
      node->index = i;
      node->next = members[v];
      members[v] = node;
    }
  }

  // Whether a node's facet normal joins the average depends only on the
  // node and the reference, so one walk per list decides it and assigns the
  // corners at once; the average's slot is taken where the first corner
  // needs it and filled in once the sum is complete.
  const float* facetnorms = model->facetnorms;
  for (uint32_t v = 1; v <= numvertices; v++) {
    ObxNode* head = members[v];
    if (!head) {
      obxWarn("obxVertexNormals(): vertex %d w/o a triangle", int(v));
      continue;
    }

    // The reference is the list's first triangle.
    const uint32_t reffindex = T(head->index).findex;
    const float* reference =
        reffindex == OBX_NO_INDEX ? NULL : &facetnorms[3 * size_t(reffindex)];
    float average[3] = {0.0f, 0.0f, 0.0f};
    uint32_t avg = OBX_NO_INDEX;  // where the average goes
    for (node = head; node; node = node->next) {
      ObxTriangle* triangle = &T(node->index);
      const uint32_t findex = triangle->findex;
      const float* facet = findex == OBX_NO_INDEX ? NULL : &facetnorms[3 * size_t(findex)];
      // NaN fails the strict test.
      node->averaged = reference && facet && obxDotProduct(facet, reference) > cos_angle;
      // The corners naming v, as bits; usually exactly one.
      unsigned corners = unsigned(triangle->vindices[0] == v) |
                         unsigned(triangle->vindices[1] == v) << 1 |
                         unsigned(triangle->vindices[2] == v) << 2;
      if (node->averaged) {
        average[0] += facet[0];
        average[1] += facet[1];
        average[2] += facet[2];
        for (; corners; corners &= corners - 1) {
          const int j = __builtin_ctz(corners);
          if (keep && triangle->nindices[j] != OBX_NO_INDEX) continue;
          if (avg == OBX_NO_INDEX) {
            while (model->numnormals < next) obxGrowNormals(model, 1000);
            OBX_ASSERT(model->numnormals >= next);
            avg = next++;
          }
          triangle->nindices[j] = avg;
        }
      } else if (!facet) {
        if (keep) continue;
        for (; corners; corners &= corners - 1) triangle->nindices[__builtin_ctz(corners)] = OBX_NO_INDEX;
      } else {
        while (model->numnormals < next) {
          obxWarn("obxVertexNormals(): realloc %d+100\n", int(model->numnormals + 100));
          obxGrowNormals(model, 100);
        }
        OBX_ASSERT(model->numnormals >= next);
        float* slot = &model->normals[3 * size_t(next)];
        slot[0] = facet[0];
        slot[1] = facet[1];
        slot[2] = facet[2];
        bool used = false;
        for (; corners; corners &= corners - 1) {
          const int j = __builtin_ctz(corners);
          if (!keep || triangle->nindices[j] == OBX_NO_INDEX) {
            triangle->nindices[j] = next;
            used = true;
          }
        }
        // An unused slot is overwritten by the next normal stored.
        if (used) next++;
      }
    }
    if (avg != OBX_NO_INDEX) {
      obxNormalizeVector(average);
      float* slot = &model->normals[3 * size_t(avg)];
      slot[0] = average[0];
      slot[1] = average[1];
      slot[2] = average[2];
    }
  }

  model->numnormals = next - 1;
  free(nodes);
  free(members);

  // Shrink to fit; realloc keeps normals 1..numnormals without a copy.
  model->normals = static_cast<float*>(
      obxAllocNormals(model->normals, model->numnormals, "obxVertexNormals()"));
  model->normals[0] = model->normals[1] = model->normals[2] = 0.0f;
}

#undef T

// ==== SECTION: texture images ==============================================

GLboolean obxTextureLimitsPending = GL_TRUE;
GLenum obxTextureTarget = GL_TEXTURE_2D;
GLint obxMaxTextureSize = 0;
GLboolean obxGenerateMipmap = GL_FALSE;

// Decoded images above this many bytes are refused: GLU computes image sizes
// in int, and no texture the hardware takes comes near it.
static const size_t kObxMaxImageBytes = size_t(INT32_MAX);

// Header lines of a raw PPM are read in pieces of at most 69 characters.
enum { kObxPpmLineSize = 70 };

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
    const bool starts = at == list || at[-1] == ' ';
    const bool ends = at[length] == '\0' || at[length] == ' ';
    if (starts && ends) return GL_TRUE;
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
  for (; *line; line++)
    if (!isspace(static_cast<unsigned char>(*line))) return false;
  return true;
}

// obxReadRawPPM, also telling whether the file began with the magic "P6".
static GLubyte* obxReadPpmFile(const char* filename, int* width, int* height, GLenum* format,
                               bool* raw) {
  *raw = false;
  FILE* file = fopen(filename, "rb");
  if (!file) {
    perror(filename);
    return NULL;
  }
  char line[kObxPpmLineSize];
  bool continued = false, complete = true;
  if (!obxReadPpmLine(file, line, &continued, &complete) || strncmp(line, "P6", 2) != 0) {
    fclose(file);
    return NULL;
  }
  *raw = true;

  int w = 0, h = 0, maximum = 0;
  int count = 0;
  bool broken = false;
  while (count < 3) {
    // A header cut short by the end of the file is broken.
    if (!obxReadPpmLine(file, line, &continued, &complete)) {
      broken = true;
      break;
    }
    if (line[0] == '#') continue;
    if (obxIsBlankLine(line)) {
      // The tail of a long line may be only its line end; a header line of
      // nothing but white space would leave the numbers unplaced.
      if (continued) continue;
      broken = true;
      break;
    }
    int parsed = 0;
    if (count == 0)
      parsed = sscanf(line, "%d %d %d", &w, &h, &maximum);
    else if (count == 1)
      parsed = sscanf(line, "%d %d", &h, &maximum);
    else
      parsed = sscanf(line, "%d", &maximum);
    if (parsed > 0) count += parsed;
  }
  (void)maximum;  // every sample is taken as one byte

  // The header must promise a picture, and the file must hold all of it:
  // checking the size first also keeps absurd headers from allocating.
  size_t bytes = 0;
  if (!broken && (w <= 0 || h <= 0 || size_t(w) > kObxMaxImageBytes / 3 / size_t(h)))
    broken = true;
  if (!broken) {
    bytes = size_t(w) * size_t(h) * 3;
    long start = ftell(file);
    if (start < 0 || fseek(file, 0, SEEK_END) != 0) {
      broken = true;
    } else {
      long end = ftell(file);
      if (end < start || size_t(end - start) < bytes || fseek(file, start, SEEK_SET) != 0)
        broken = true;
    }
  }
  GLubyte* pixels = broken ? NULL : static_cast<GLubyte*>(malloc(bytes));
  // A short read would hand over bytes that were never read.
  if (pixels && fread(pixels, 1, bytes, file) != bytes) {
    free(pixels);
    pixels = NULL;
  }
  fclose(file);
  if (!pixels) return NULL;
  *width = w;
  *height = h;
  *format = GL_RGB;
  return pixels;
}

GLubyte* obxReadRawPPM(const char* filename, GLboolean alpha, int* width, int* height,
                       GLenum* format) {
  (void)alpha;  // a raw PPM is always RGB
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  bool raw;
  return obxReadPpmFile(filename, width, height, format, &raw);
}

GLubyte* obxReadImage(const char* filename, GLboolean alpha, int* width, int* height,
                      GLenum* format) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(width && height && format);
  ilInit();
  ilEnable(IL_ORIGIN_SET);
  ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
  // DevIL keeps errors until they are fetched; an old one (a failed load
  // before) must not fail this image.
  while (ilGetError() != IL_NO_ERROR) {
  }
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  if (!ilLoadImage(filename)) {
    ilDeleteImages(1, &image);
    return NULL;
  }
  const ILint h = ilGetInteger(IL_IMAGE_HEIGHT);
  const ILint w = ilGetInteger(IL_IMAGE_WIDTH);
  const size_t components = alpha ? 4 : 3;
  GLubyte* pixels = NULL;
  if (w > 0 && h > 0 && size_t(w) <= kObxMaxImageBytes / components / size_t(h))
    pixels = static_cast<GLubyte*>(malloc(size_t(w) * size_t(h) * components));
  if (pixels)
    ilCopyPixels(0, 0, 0, ILuint(w), ILuint(h), 1, alpha ? IL_RGBA : IL_RGB, IL_UNSIGNED_BYTE,
                 pixels);
  ilDeleteImages(1, &image);
  if (!pixels) return NULL;
  if (ilGetError() != IL_NO_ERROR) {
    free(pixels);
    return NULL;
  }
  *width = w;
  *height = h;
  *format = alpha ? GL_RGBA : GL_RGB;
  return pixels;
}

// The smallest power of two not below side (side >= 1), in integers: the
// same result as rounding log2 up, without trusting the logarithm's last bit.
static int obxPowerOfTwoAtLeast(int side) {
  int power = 1;
  while (power < side && power <= (INT32_MAX >> 1)) power <<= 1;
  return power;
}

GLuint obxLoadTexture(const char* filename, GLboolean alpha, GLboolean repeat,
                      GLboolean filtering, GLboolean mipmaps, float* texcoordWidth,
                      float* texcoordHeight) {
  OBX_ASSERT(filename != NULL);
  OBX_ASSERT(texcoordWidth && texcoordHeight);
  if (obxTextureLimitsPending) obxInitTextureLimits();

  int width = 0, height = 0;
  GLenum format = 0;
  // A broken "P6" file stays broken: DevIL's own reader would take it too,
  // and on short pixel data it frees its image twice.
  bool raw = false;
  GLubyte* pixels = obxReadPpmFile(filename, &width, &height, &format, &raw);
  if (!pixels && !raw) pixels = obxReadImage(filename, alpha, &width, &height, &format);
  if (!pixels) {
    obxWarn("obxLoadTexture() failed: Unable to load texture from %s!", filename);
    return 0;
  }

  int components = 0;
  switch (format) {
    case GL_LUMINANCE: components = 1; break;
    case GL_RGB: case GL_BGR_EXT: components = 3; break;
    case GL_RGBA: case GL_BGRA_EXT: components = 4; break;
    default: obxFail("obxLoadTexture(): unknown type 0x%x", format);
  }

  // Rows are packed without padding; only rows of whole words suit the
  // default alignment. The setting stays for the caller.
  glPixelStorei(GL_UNPACK_ALIGNMENT, (components * width) % 4 == 0 ? 4 : 1);

  // Clamp to the hardware's limit, then round up to powers of two. Without
  // a known limit (0: no context answered) there is nothing to clamp to.
  int textureWidth = width, textureHeight = height;
  if (obxMaxTextureSize > 0) {
    if (textureWidth > obxMaxTextureSize) textureWidth = obxMaxTextureSize;
    if (textureHeight > obxMaxTextureSize) textureHeight = obxMaxTextureSize;
  }
  if (obxTextureTarget == GL_TEXTURE_2D) {
    textureWidth = obxPowerOfTwoAtLeast(textureWidth);
    textureHeight = obxPowerOfTwoAtLeast(textureHeight);
  }

  if (textureWidth != width || textureHeight != height) {
    GLubyte* scaled = static_cast<GLubyte*>(
        malloc(size_t(textureWidth) * size_t(textureHeight) * size_t(components)));
    if (!scaled) {
      free(pixels);
      return 0;
    }
    // The scaled buffer has packed rows too; with the default pack
    // alignment GLU would pad rows of 3 or 6 bytes beyond its end.
    GLint packAlignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &packAlignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    gluScaleImage(format, width, height, GL_UNSIGNED_BYTE, pixels, textureWidth, textureHeight,
                  GL_UNSIGNED_BYTE, scaled);
    glPixelStorei(GL_PACK_ALIGNMENT, packAlignment);
    free(pixels);
    pixels = scaled;
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
  if (mipmaps && obxGenerateMipmap) {
    glTexParameteri(obxTextureTarget, GL_GENERATE_MIPMAP_SGIS, GL_TRUE);
    glTexImage2D(obxTextureTarget, 0, GLint(format), textureWidth, textureHeight, 0, format,
                 GL_UNSIGNED_BYTE, pixels);
  } else if (mipmaps) {
    gluBuild2DMipmaps(obxTextureTarget, GLint(format), textureWidth, textureHeight, format,
                      GL_UNSIGNED_BYTE, pixels);
  } else {
    glTexImage2D(obxTextureTarget, 0, GLint(format), textureWidth, textureHeight, 0, format,
                 GL_UNSIGNED_BYTE, pixels);
  }
  free(pixels);

  // GL_TEXTURE_2D addresses the whole stretched image with 0..1.
  *texcoordWidth = 1.0f;
  *texcoordHeight = 1.0f;
  return id;
}

// ==== SECTION: drawing =====================================================

// Material and texture tracking of one drawing pass.
struct ObxDrawState {
  int64_t material;  // current material index, -1 before the first
  int32_t texture;   // current texture index, -1 for none
  bool materialDirty;
  bool textureDirty;
  bool transparent;     // the current material is drawn in pass 1
  bool anyTransparent;  // some material of the call is transparent
};

static void obxTrackMaterial(const ObxModel* model, ObxDrawState* state, uint32_t index) {
  OBX_ASSERT(index < model->nummaterials);
  const ObxMaterial* material = &model->materials[index];
  state->material = index;
  state->transparent = material->diffuse[3] < 1.0f;  // NaN counts as opaque
  state->anyTransparent = state->anyTransparent || state->transparent;
  state->materialDirty = true;
  if (material->map_diffuse != state->texture) {
    state->textureDirty = true;
    state->texture = material->map_diffuse;
  }
}

// The fix-ups of the requested mode, each with its warning, in this order.
static GLuint obxDrawMode(const ObxModel* model, GLuint mode) {
  if ((mode & OBX_FLAT) && !model->facetnorms) {
    obxWarn("obxDraw() warning: flat render mode requested with no facet normals defined.");
    mode &= ~OBX_FLAT;
  }
  if ((mode & OBX_SMOOTH) && !model->normals) {
    obxWarn("obxDraw() warning: smooth render mode requested with no normals defined.");
    mode &= ~OBX_SMOOTH;
  }
  if ((mode & OBX_TEXTURE) && !model->texcoords) {
    obxWarn(
        "obxDraw() warning: texture render mode requested with no texture coordinates "
        "defined.");
    mode &= ~OBX_TEXTURE;
  }
  if ((mode & OBX_FLAT) && (mode & OBX_SMOOTH)) {
    obxWarn(
        "obxDraw() warning: flat render mode requested and smooth render mode requested "
        "(using smooth).");
    mode &= ~OBX_FLAT;
  }
  if ((mode & OBX_COLOR) && !model->materials) {
    obxWarn("obxDraw() warning: color render mode requested with no materials defined.");
    mode &= ~OBX_COLOR;
  }
  if ((mode & OBX_MATERIAL) && !model->materials) {
    obxWarn("obxDraw() warning: material render mode requested with no materials defined.");
    mode &= ~OBX_MATERIAL;
  }
  if ((mode & OBX_COLOR) && (mode & OBX_MATERIAL)) {
    obxWarn(
        "obxDraw() warning: color and material render mode requested using only material "
        "mode.");
    mode &= ~OBX_COLOR;
  }
  return mode;
}

void obxDraw(ObxModel* model, GLuint mode) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  mode = obxDrawMode(model, mode);

  if (mode & OBX_COLOR)
    glEnable(GL_COLOR_MATERIAL);
  else if (mode & OBX_MATERIAL)
    glDisable(GL_COLOR_MATERIAL);
  if (mode & OBX_TEXTURE) {
    glEnable(obxTextureTarget);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  }
  glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, (mode & OBX_TWO_SIDED) ? 1 : 0);

  // Without materials there is nothing to track: every triangle is opaque
  // and, with OBX_TEXTURE, untextured (the current texture stays -1).
  const bool tracking = (mode & (OBX_TEXTURE | OBX_COLOR | OBX_MATERIAL)) && model->materials;
  const bool flat = mode & OBX_FLAT, smooth = mode & OBX_SMOOTH, textured = mode & OBX_TEXTURE;
  const float* vertices = model->vertices;
  const float* normals = model->normals;
  const float* texcoords = model->texcoords;
  const float* facetnorms = model->facetnorms;

  ObxDrawState state;
  state.anyTransparent = false;
  for (int pass = 0; pass < 2; pass++) {
    state.material = -1;
    state.texture = -1;
    state.materialDirty = state.textureDirty = state.transparent = false;
    for (ObxGroup* group = model->groups; group; group = group->next) {
      if (tracking) obxTrackMaterial(model, &state, group->material);
      glBegin(GL_TRIANGLES);
      for (uint32_t i = 0; i < group->numtriangles; i++) {
        OBX_ASSERT(group->triangles[i] < model->numtriangles);
        const ObxTriangle* triangle = &model->triangles[group->triangles[i]];
        if (tracking && triangle->material != 0 && triangle->material != state.material)
          obxTrackMaterial(model, &state, triangle->material);
        if (int(state.transparent) != pass) continue;
        if (state.materialDirty) {
          state.materialDirty = false;
          const ObxMaterial* material = &model->materials[state.material];
          if (textured && state.textureDirty) {
            state.textureDirty = false;
            glEnd();
            if (state.texture == -1) {
              glBindTexture(obxTextureTarget, 0);
            } else {
              int32_t map_diffuse = state.texture;
              OBX_ASSERT(map_diffuse >= 0 && map_diffuse < (int64_t)model->numtextures);
              glBindTexture(obxTextureTarget, model->textures[map_diffuse].id);
            }
            glBegin(GL_TRIANGLES);
          }
          if (mode & OBX_MATERIAL) {
            glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, material->ambient);
            glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, material->diffuse);
            glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, material->specular);
            glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, material->shininess);
          }
          if (mode & OBX_COLOR) glColor3fv(material->diffuse);
        }
        if (flat) glNormal3fv(&facetnorms[3 * triangle->findex]);
        for (int j = 0; j < 3; j++) {
          if (smooth && triangle->nindices[j] != OBX_NO_INDEX) {
            OBX_ASSERT(triangle->nindices[j] >= 1 && triangle->nindices[j] <= model->numnormals);
            glNormal3fv(&normals[3 * size_t(triangle->nindices[j])]);
          }
          if (textured && triangle->tindices[j] != OBX_NO_INDEX && state.texture != -1) {
            OBX_ASSERT(triangle->tindices[j] >= 1 &&
                       triangle->tindices[j] <= model->numtexcoords);
            const ObxTexture* texture = &model->textures[state.texture];
            const float* uv = &texcoords[2 * size_t(triangle->tindices[j])];
            glTexCoord2f(uv[0] * texture->width, uv[1] * texture->height);
          }
          OBX_ASSERT(triangle->vindices[j] >= 1 && triangle->vindices[j] <= model->numvertices);
          glVertex3fv(&vertices[3 * size_t(triangle->vindices[j])]);
        }
      }
      glEnd();
    }
    if (!state.anyTransparent) break;
    if (pass == 0) {
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE);  // additive
      glDepthMask(GL_FALSE);
    }
  }
  if (state.anyTransparent) {
    glDepthMask(GL_TRUE);
    glDisable(GL_BLEND);
  }
}

GLuint obxDrawList(ObxModel* model, GLuint mode) {
  GLuint list = glGenLists(1);
  glNewList(list, GL_COMPILE);
  obxDraw(model, mode);
  glEndList();
  return list;
}
