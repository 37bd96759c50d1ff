// Shader support: GLSL programs from source files, sampler textures, uniform
// lookup and the GL error check.
#include "shader.h"

#include <GL/glu.h>
#include <IL/il.h>
#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Source name that this module's GL checks report.
constexpr char kSourceName[] = "src/shader";

// GL check sites. The numbers identify each site in the printed messages and
// are kept fixed so that logs stay comparable across edits of this file.
constexpr int kCheckUniformLookup = 33;
constexpr int kCheckShaderLogBefore = 47;
constexpr int kCheckShaderLogQueried = 51;
constexpr int kCheckShaderLogAfter = 65;
constexpr int kCheckProgramLogBefore = 79;
constexpr int kCheckProgramLogQueried = 83;
constexpr int kCheckProgramLogAfter = 97;
constexpr int kCheckVertexCompiled = 267;
constexpr int kCheckFragmentCompiled = 275;
constexpr int kCheckLinked = 291;
constexpr int kCheckUnitSelected = 348;

// The shader file name is built in a fixed buffer: a base path of at most
// 94 characters, a five-character suffix and the terminating zero.
constexpr size_t kFileNameSize = 100;
constexpr const char* kShaderSuffixes[] = {".vert", ".frag"};
constexpr size_t kSuffixLength = 5;
constexpr size_t kMaxBaseLength = kFileNameSize - kSuffixLength - 1;  // 94

// Sampler units: 0 belongs to the model's textures, so counting starts at 1;
// 16 and above are refused.
constexpr int kFirstSamplerUnit = 1;
constexpr int kSamplerUnitLimit = 16;
constexpr int kSamplerComponents = 4;  // RGBA, passed as the internal format
}  // namespace

int nextTextureUnit = kFirstSamplerUnit;

// ---- GL error check ------------------------------------------------------

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

GLint uniformLocation(GLuint program, const char* name) {
  GLint location = glGetUniformLocation(program, name);
  if (location == -1) printf("No such uniform named \"%s\"\n", name);
  checkGlError(kSourceName, kCheckUniformLookup);
  return location;
}

// ---- Shader sources ------------------------------------------------------

// Builds base + suffix of kind into name. An unknown kind is a programming
// error that ends the process; a base too long for the buffer returns false
// instead of overflowing it, which the callers treat as a file that cannot
// be opened.
static bool shaderFileName(const char* base, int kind, char (&name)[kFileNameSize]) {
  if (kind != kVertexShaderFile && kind != kFragmentShaderFile) {
    printf("ERROR: unknown shader file type\n");
    exit(1);
  }
  size_t length = strlen(base);
  if (length > kMaxBaseLength) return false;
  memcpy(name, base, length);
  memcpy(name + length, kShaderSuffixes[kind], kSuffixLength + 1);
  return true;
}

int shaderFileSize(const char* base, int kind) {
  char name[kFileNameSize];
  if (!shaderFileName(base, kind, name)) return -1;
  int fd = open(name, O_RDONLY);
  if (fd == -1) return -1;
  off_t length = lseek(fd, 0, SEEK_END);
  close(fd);
  // A length the int result cannot carry (with its +1) counts as unmeasurable.
  if (length < 0 || length >= INT_MAX) return -1;
  return int(length) + 1;
}

int readShaderFile(const char* base, int kind, char* buffer, int size) {
  assert(buffer && size > 0);
  char name[kFileNameSize];
  if (!shaderFileName(base, kind, name)) return 0;
  FILE* file = fopen(name, "r");
  if (!file) return 0;
  fseek(file, 0, SEEK_SET);
  size_t count = fread(buffer, 1, size_t(size) - 1, file);
  buffer[count] = '\0';
  if (ferror(file)) count = 0;
  fclose(file);
  return int(count);
}

int loadShaderSources(const char* base, char** vertexText, char** fragmentText) {
  // Both are measured, so that neither file is read unless both exist.
  int vertexSize = shaderFileSize(base, kVertexShaderFile);
  int fragmentSize = shaderFileSize(base, kFragmentShaderFile);
  if (vertexSize == -1 || fragmentSize == -1) {
    printf("Cannot determine size of the shader %s\n", base);
    return 0;
  }
  // The buffers belong to the caller from here on, even if a step fails.
  *vertexText = static_cast<char*>(malloc(size_t(vertexSize)));
  *fragmentText = static_cast<char*>(malloc(size_t(fragmentSize)));
  if (!*vertexText || !*fragmentText) return 0;  // no message is defined for this
  if (readShaderFile(base, kVertexShaderFile, *vertexText, vertexSize) == 0) {
    printf("Cannot read the file %s.vert\n", base);
    return 0;
  }
  if (readShaderFile(base, kFragmentShaderFile, *fragmentText, fragmentSize) == 0) {
    printf("Cannot read the file %s.frag\n", base);
    return 0;
  }
  return 1;
}

// ---- Program build -------------------------------------------------------

namespace {
// What differs between a shader's and a program's info log.
struct InfoLogKind {
  void(GLAPIENTRY* getParameter)(GLuint, GLenum, GLint*);
  void(GLAPIENTRY* getLog)(GLuint, GLsizei, GLsizei*, GLchar*);
  const char* frame;
  int checkBefore, checkQueried, checkAfter;
};
}  // namespace

static void printInfoLog(GLuint object, const InfoLogKind& kind) {
  GLint length = 0;
  GLsizei written = 0;
  checkGlError(kSourceName, kind.checkBefore);
  kind.getParameter(object, GL_INFO_LOG_LENGTH, &length);
  checkGlError(kSourceName, kind.checkQueried);
  if (length > 0) {
    char* log = static_cast<char*>(malloc(size_t(length)));
    if (!log) {
      printf("ERROR: Could not allocate InfoLog buffer\n");
      exit(1);
    }
    kind.getLog(object, length, &written, log);
    printf(kind.frame, log);
    free(log);
  }
  checkGlError(kSourceName, kind.checkAfter);
}

void printShaderInfoLog(GLuint shader) {
  const InfoLogKind kind = {
      glGetShaderiv,         glGetShaderInfoLog,     "Shader InfoLog:\n%s\n\n",
      kCheckShaderLogBefore, kCheckShaderLogQueried, kCheckShaderLogAfter};
  printInfoLog(shader, kind);
}

void printProgramInfoLog(GLuint program) {
  const InfoLogKind kind = {
      glGetProgramiv,         glGetProgramInfoLog,     "Program InfoLog:\n%s\n\n",
      kCheckProgramLogBefore, kCheckProgramLogQueried, kCheckProgramLogAfter};
  printInfoLog(program, kind);
}

int buildShaderProgram(const char* vertexText, const char* fragmentText, GLuint* program) {
  GLuint vertex = glCreateShader(GL_VERTEX_SHADER);
  GLuint fragment = glCreateShader(GL_FRAGMENT_SHADER);
  glShaderSource(vertex, 1, &vertexText, nullptr);
  glShaderSource(fragment, 1, &fragmentText, nullptr);

  // Both are compiled and both logs printed, so one run shows every fault.
  GLint vertCompiled = 0, fragCompiled = 0, linked = 0;
  glCompileShader(vertex);
  checkGlError(kSourceName, kCheckVertexCompiled);
  glGetShaderiv(vertex, GL_COMPILE_STATUS, &vertCompiled);
  printShaderInfoLog(vertex);

  glCompileShader(fragment);
  checkGlError(kSourceName, kCheckFragmentCompiled);
  glGetShaderiv(fragment, GL_COMPILE_STATUS, &fragCompiled);
  printShaderInfoLog(fragment);

  if (!vertCompiled || !fragCompiled) return 0;

  *program = glCreateProgram();
  glAttachShader(*program, vertex);
  glAttachShader(*program, fragment);
  glLinkProgram(*program);
  checkGlError(kSourceName, kCheckLinked);
  glGetProgramiv(*program, GL_LINK_STATUS, &linked);
  printProgramInfoLog(*program);
  if (!linked) return 0;

  glUseProgram(*program);
  return 1;
}

// ---- Sampler textures ----------------------------------------------------

int loadSamplerTexture(const char* fileName, GLuint* unit) {
  if (nextTextureUnit >= kSamplerUnitLimit) {
    printf("You have tried to link too many textures.\n");
    return 0;
  }
  // Rows from the bottom up, as OpenGL expects them.
  ilInit();
  ilEnable(IL_ORIGIN_SET);
  ilOriginFunc(IL_ORIGIN_LOWER_LEFT);
  ILuint image = 0;
  ilGenImages(1, &image);
  ilBindImage(image);
  if (!ilLoadImage(fileName)) {
    ilDeleteImages(1, &image);
    ILenum error = ilGetError();
    printf("obxLoadTexture(): DevIL ilLoadImage(%s): error %u\n", fileName, unsigned(error));
    return 0;
  }
  ILint height = ilGetInteger(IL_IMAGE_HEIGHT);
  ILint width = ilGetInteger(IL_IMAGE_WIDTH);
  // No message is defined for a buffer that cannot be allocated: fail quietly.
  size_t bytes = size_t(width) * size_t(height) * kSamplerComponents;
  GLubyte* pixels = static_cast<GLubyte*>(malloc(bytes));
  if (!pixels) {
    ilDeleteImages(1, &image);
    return 0;
  }
  ilCopyPixels(0, 0, 0, ILuint(width), ILuint(height), 1, IL_RGBA, IL_UNSIGNED_BYTE, pixels);
  ilDeleteImages(1, &image);
  if (ilGetError() != IL_NO_ERROR) {
    printf("Failed to copy pixels.\n");
    free(pixels);
    return 0;
  }

  GLuint texture = 0;
  glGenTextures(1, &texture);
  glewInit();
  glActiveTexture(GL_TEXTURE0 + GLenum(nextTextureUnit));
  checkGlError(kSourceName, kCheckUnitSelected);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  // Level 0 only, at the image's own size: no rounding, no scaling.
  glTexImage2D(GL_TEXTURE_2D, 0, kSamplerComponents, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
               pixels);

  *unit = GLuint(nextTextureUnit);
  nextTextureUnit++;
  free(pixels);
  return 1;
}
