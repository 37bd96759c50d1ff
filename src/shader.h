// Shader support: GLSL programs from .vert/.frag files, sampler textures on
// their own units, uniform lookup and the GL error check.
//
// Everything here runs on the thread that owns the OpenGL context, after
// GLEW has been initialised. Messages go to standard output; nothing throws.
#pragma once

#include <GL/glew.h>

#include <ostream>

#include "camera.h"

// The next texture unit loadSamplerTexture hands out. Starts at 1 (unit 0 is
// the model's own), rises by one per successful load, never falls.
extern int nextTextureUnit;

// Reads base + ".vert" and base + ".frag" into two new zero-terminated heap
// buffers, stored in *vertexText and *fragmentText as soon as they are
// allocated; the caller owns them from then on, also when a later step fails.
// Returns 1 when both files were read, 0 otherwise (message printed).
int loadShaderSources(const char* base, char** vertexText, char** fragmentText);

// Compiles both texts (printing every non-empty log), links them and makes
// the program current. Returns 1 on success. When a shader does not compile,
// returns 0 without creating a program and leaves *program untouched; when
// linking fails, returns 0 with *program naming the unlinked program.
int buildShaderProgram(const char* vertexText, const char* fragmentText, GLuint* program);

// Decodes an image through DevIL, uploads it as an RGBA texture at its own
// size and leaves it bound on the next free texture unit, which it stores in
// *unit. Returns 1 on success, 0 on failure (message printed, no unit used).
int loadSamplerTexture(const char* fileName, GLuint* unit);

// glGetUniformLocation that reports names the program has no active uniform
// for. Returns the location, -1 for an unknown name.
GLint uniformLocation(GLuint program, const char* name);

// Prints every pending GL error as "glError in file <file> @ line <line>: ..."
// and returns 1 when at least one was pending.
int checkGlError(const char* file, int line);

// Writes "(x, y, z, w)".
std::ostream& operator<<(std::ostream& out, const Vec4& v);

// ---- Helpers of the two source operations, exposed for their tests ----

// Shader file kinds: the suffix appended to the base path.
enum ShaderFileKind { kVertexShaderFile = 0, kFragmentShaderFile = 1 };

// Length of the shader file + 1 (room for the terminating zero), or -1 when
// it cannot be opened (or its name does not fit). Any kind other than 0 or 1
// prints "ERROR: unknown shader file type" and ends the process with 1.
int shaderFileSize(const char* base, int kind);

// Reads at most size - 1 characters of the shader file into buffer and
// terminates them with a zero. Returns the count read, 0 on any failure.
int readShaderFile(const char* base, int kind, char* buffer, int size);

// Print the object's info log, framed, when it is not empty.
void printShaderInfoLog(GLuint shader);
void printProgramInfoLog(GLuint program);
