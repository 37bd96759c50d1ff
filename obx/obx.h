/* obx: reads Wavefront OBJ scenes with their MTL materials and texture
 * images, computes normals, draws models with OpenGL and writes them back.
 *
 * A plain C interface over plain records. Every array and string reachable
 * from an ObxModel is a malloc'd block owned by the model; obxDeleteModel
 * releases them all.
 *
 * Index conventions, used throughout:
 *  - The per-vertex arrays (vertices, normals, texcoords, facetnorms) are
 *    1-based: element 0 is allocated and holds nothing, element i
 *    (1 <= i <= count) is item i. Positions and normals take three floats
 *    per element (vertices[3*i+0..2]), texture coordinates two
 *    (texcoords[2*i+0..1]). Facet normal i belongs to triangle i-1.
 *  - Triangles, materials and textures are 0-based; groups form a singly
 *    linked list, newest first, with the group "default" last.
 *  - OBX_NO_INDEX (all 32 bits set, i.e. -1) means "none" in nindices,
 *    tindices and findex; map_diffuse uses -1 for "no texture".
 *  - Material 0 is "default"; a group material of 0 means "not assigned".
 *    A library's own "newmtl default" sets material 0's values rather
 *    than adding a second material of that name.
 *
 * Failure reporting: conditions the library can work around print
 * "OBX: Warning: ..." on stderr (or hand it to the thread's warning sink)
 * and go on; conditions it cannot (a malformed or unreadable file, a write
 * that fails, memory running out) print "OBX: Fatal Error: ..." and
 * exit(1). A program that must go on calls the operation through obxTry
 * (or obxTryReadOBJ, obxTryWriteOBJ) instead: the failure then returns with
 * its message. Programming errors (null models, out-of-range indices that
 * the library must have kept in range) are assertions that name the
 * violated condition and abort.
 *
 * Threads: calls on different models may run on different threads at once.
 * The fatal hook, the warning sink and obxTry's state are per thread. Not thread-safe: the texture
 * settings below (obxTextureUpload, the limits) are process-wide plain globals, to set before the
 * threads start; texture upload needs the calling thread's current GL context and DevIL, which is
 * not thread-safe, so read on several threads with obxTextureUpload off. Drawing needs the context.
 * A read of a large file uses threads of its own (ObxReadOptions.threads); its warnings, hook,
 * callbacks and texture loading all stay on the calling thread.
 */
#ifndef OBX_OBX_H
#define OBX_OBX_H

#include <stddef.h>
#include <stdint.h>

/* The interface speaks in a few of OpenGL's types and GL_TRUE/GL_FALSE,
 * which come from <GL/gl.h>. With OBX_NO_GL defined the header includes no
 * GL header and defines those names itself, exactly as gl.h does, so that
 * a program without GL's development files compiles against it (and one
 * that includes gl.h too, before or after, still compiles as C++ or C11).
 * The library comes in two: libobx_core (CMake obx::core, pkg-config
 * obx-core, both of which define OBX_NO_GL) reads, writes and computes with
 * the C and C++ runtime alone; libobx holds the drawing and texture
 * functions (the "Drawing" and "Texture images" sections below but
 * obxTextureUpload, and obxLogGlErrors), which need GL, GLU and DevIL, and
 * obx::obx or pkg-config obx link it with the core. Linked with the core
 * alone, every texture is kept by name with id 0, as with obxTextureUpload
 * off. */
#ifndef OBX_NO_GL
#include <GL/gl.h>
#else
#if !defined(__gl_h_) && !defined(__GL_H__)
typedef unsigned int GLenum;
typedef unsigned char GLboolean;
typedef int GLint;
typedef unsigned int GLuint;
typedef unsigned char GLubyte;
#endif
#ifndef GL_TRUE
#define GL_FALSE 0
#define GL_TRUE 1
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The "none" value of nindices, tindices and findex. */
#define OBX_NO_INDEX ((uint32_t)0xFFFFFFFFu)

/* Mode flags for obxDraw and obxWriteOBJ; combine with bitwise OR. */
#define OBX_NONE (0u)           /* positions only */
#define OBX_FLAT (1u << 0)      /* one facet normal per triangle */
#define OBX_SMOOTH (1u << 1)    /* one vertex normal per corner */
#define OBX_TEXTURE (1u << 2)   /* texture coordinates and diffuse maps */
#define OBX_COLOR (1u << 3)     /* diffuse colour through GL_COLOR_MATERIAL */
#define OBX_MATERIAL (1u << 4)  /* full material parameters */
#define OBX_TWO_SIDED (1u << 5) /* two-sided lighting */

typedef struct ObxTriangle {
  uint32_t vindices[3]; /* corner vertex indices, 1-based into vertices */
  uint32_t nindices[3]; /* corner normal indices, 1-based, or OBX_NO_INDEX */
  uint32_t tindices[3]; /* corner texcoord indices, 1-based, or OBX_NO_INDEX */
  uint32_t findex;      /* facet normal index, 1-based, or OBX_NO_INDEX */
  uint32_t material;    /* 0-based into materials; 0 keeps the group's */
} ObxTriangle;

typedef struct ObxGroup {
  char* name;            /* name as read, e.g. " chair legs"; first is "default" */
  uint32_t numtriangles; /* number of entries in triangles */
  uint32_t* triangles;   /* 0-based indices into the model's triangles */
  uint32_t material;     /* group material index; 0 = not assigned */
  struct ObxGroup* next; /* next (older) group, NULL after "default" */
} ObxGroup;

/* The options of a map statement ("-s 2 2 wood.png"); ObxMap.options tells
 * which the line had, the others keep the defaults given here. */
#define OBX_MAP_SCALE (1u << 0)       /* -s u v w: scale, 1 1 1 */
#define OBX_MAP_ORIGIN (1u << 1)      /* -o u v w: offset, 0 0 0 */
#define OBX_MAP_TURBULENCE (1u << 2)  /* -t u v w: turbulence, 0 0 0 */
#define OBX_MAP_BUMP (1u << 3)        /* -bm: bump multiplier, 1 */
#define OBX_MAP_RANGE (1u << 4)       /* -mm base gain: 0 1 */
#define OBX_MAP_CLAMP (1u << 5)       /* -clamp on|off: off */
#define OBX_MAP_BLENDU (1u << 6)      /* -blendu on|off: on */
#define OBX_MAP_BLENDV (1u << 7)      /* -blendv on|off: on */
#define OBX_MAP_BOOST (1u << 8)       /* -boost: 0 */
#define OBX_MAP_CC (1u << 9)          /* -cc on|off: off */
#define OBX_MAP_IMFCHAN (1u << 10)    /* -imfchan r|g|b|m|l|z */
#define OBX_MAP_TEXRES (1u << 11)     /* -texres N */
#define OBX_MAP_TYPE (1u << 12)       /* -type NAME (refl: sphere, cube_top, ...) */
#define OBX_MAP_COLORSPACE (1u << 13) /* -colorspace NAME */

/* One map statement of a material: map_Ka, map_Kd, map_Ks, map_Ns, map_d,
 * map_bump/bump, disp, decal, refl, norm, map_Pr, map_Pm, map_Ps, map_Ke
 * (any other map_... too), in file order. */
typedef struct ObxMap {
  char* keyword;          /* as written, e.g. "map_Bump" */
  int32_t texture;        /* index into textures (the file name), -1 for none */
  uint32_t options;       /* OBX_MAP_ bits of the options the line had */
  float scale[3];         /* -s */
  float origin[3];        /* -o */
  float turbulence[3];    /* -t */
  float bumpmultiplier;   /* -bm */
  float base, gain;       /* -mm */
  float boost;            /* -boost */
  int32_t texres;         /* -texres */
  GLboolean clamp;        /* -clamp */
  GLboolean blendu;       /* -blendu */
  GLboolean blendv;       /* -blendv */
  GLboolean colorcorrect; /* -cc */
  char imfchan;           /* -imfchan, 0 for none */
  char* type;             /* -type, NULL for none */
  char* colorspace;       /* -colorspace, NULL for none */
} ObxMap;

/* A statement the MTL reader does not know, kept as it was written. */
typedef struct ObxParameter {
  char* name;  /* the keyword */
  char* value; /* the trimmed rest of the line */
} ObxParameter;

/* Which of ObxMaterial's further values the library set. */
#define OBX_HAS_EMISSION (1u << 0)       /* Ke */
#define OBX_HAS_FILTER (1u << 1)         /* Tf */
#define OBX_HAS_IOR (1u << 2)            /* Ni */
#define OBX_HAS_ILLUM (1u << 3)          /* illum */
#define OBX_HAS_OPACITY (1u << 4)        /* d (a Tr after it changes nothing) */
#define OBX_HAS_PBR(k) (1u << (8 + (k))) /* pbr[k] */

typedef struct ObxMaterial {
  char* name;          /* never NULL once the material table is read */
  float diffuse[4];    /* RGBA; diffuse[3] is the opacity (d, or 1 - Tr without d) */
  float ambient[4];    /* RGBA */
  float specular[4];   /* RGBA */
  float shininess;     /* OpenGL's 0..128 scale (file's Ns * 1.28) */
  int32_t map_diffuse; /* index into textures, -1 for none */

  /* What a library says beyond the fields above. */
  uint32_t has;             /* OBX_HAS_ bits of the values below that it set */
  float emission[3];        /* Ke */
  float filter[3];          /* Tf */
  float ior;                /* Ni, optical density */
  int32_t illum;            /* illum, the illumination model's number */
  float pbr[7];             /* Pr Pm Ps Pc Pcr aniso anisor */
  uint32_t nummaps;         /* number of maps */
  ObxMap* maps;             /* map statements with their options, map_Kd included */
  uint32_t numparameters;   /* number of other statements */
  ObxParameter* parameters; /* statements not known, name and value */
} ObxMaterial;

typedef struct ObxTexture {
  char* name;   /* file name as the MTL file writes it; sharing key */
  GLuint id;    /* OpenGL texture name, 0 when loading failed */
  float width;  /* scale applied to s when drawing */
  float height; /* scale applied to t when drawing */
} ObxTexture;

/* An "o" statement: the triangles and line/point elements from its firsts
 * up to the next object's firsts (or the model's ends). */
typedef struct ObxObject {
  char* name;             /* the trimmed rest of the line */
  uint32_t firsttriangle; /* 0-based into triangles */
  uint32_t firstelement;  /* 0-based into elements */
} ObxObject;

/* A run of faces of more than three corners, each of numcorners corners,
 * read one after the other: face k of the run (0-based) is the numcorners - 2
 * consecutive triangles from triangle + k * (numcorners - 2) on, which the
 * writer puts together again. A file of quads is one run. */
typedef struct ObxPolygon {
  uint32_t triangle;   /* 0-based into triangles: the run's first */
  uint32_t numcorners; /* corners of each face as read */
  uint32_t numfaces;   /* faces in the run */
} ObxPolygon;

/* An "l" (polyline) or "p" (points) statement. */
typedef struct ObxElement {
  char type;              /* 'l' or 'p' */
  uint32_t first;         /* 0-based into elementindices, 2 entries per item */
  uint32_t count;         /* items: vertices of the line, or points */
  uint32_t triangle;      /* triangles read before it: its place among the faces */
  struct ObxGroup* group; /* the group current when it was read */
} ObxElement;

typedef struct ObxModel {
  char* path;       /* path given to obxReadOBJ, copied */
  char* mtllibname; /* last mtllib name, trimmed; may be NULL */

  uint32_t numvertices; /* number of positions */
  float* vertices;      /* 3 * (numvertices + 1) floats */

  uint32_t numnormals; /* number of normals */
  float* normals;      /* 3 * (numnormals + 1) floats; may be NULL */

  uint32_t numtexcoords; /* number of texture coordinates */
  float* texcoords;      /* 2 * (numtexcoords + 1) floats; may be NULL */

  uint32_t numfacetnorms; /* number of facet normals */
  float* facetnorms;      /* 3 * (numfacetnorms + 1) floats; may be NULL */

  uint32_t numtriangles;  /* number of triangles */
  ObxTriangle* triangles; /* numtriangles entries */

  uint32_t nummaterials;  /* materials, "default" included */
  ObxMaterial* materials; /* may be NULL when no mtllib was read */

  uint32_t numgroups; /* length of the group list, at least 1 */
  ObxGroup* groups;   /* newest first, "default" last */

  uint32_t numtextures; /* number of textures */
  ObxTexture* textures; /* may be NULL */

  float placement[3]; /* set to 0 on creation; unused by the library */

  /* What files say beyond the fields above; NULL or 0 when a file has none. */
  float* colors;            /* 3 * (numvertices + 1) floats: "v x y z r g b" (1 1 1 where absent) */
  float* texcoordw;         /* numtexcoords + 1 floats: "vt u v w" third values (0 where absent) */
  uint32_t* smoothing;      /* numtriangles entries: "s" group of each triangle, 0 for none */
  uint32_t numobjects;      /* number of objects */
  ObxObject* objects;       /* "o" statements in file order */
  uint32_t numpolygons;     /* number of runs of polygons */
  ObxPolygon* polygons;     /* faces of more than three corners, in file order */
  uint32_t numelements;     /* number of line and point statements */
  ObxElement* elements;     /* "l" and "p" statements in file order */
  uint32_t* elementindices; /* per item: vertex (1-based), texcoord (1-based or OBX_NO_INDEX) */
} ObxModel;

/* Per-vertex list node used while obxVertexNormals averages normals. */
typedef struct ObxNode {
  uint32_t index;       /* 0-based triangle using the vertex */
  GLboolean averaged;   /* the triangle's facet normal is in the average */
  struct ObxNode* next; /* next node or NULL */
} ObxNode;

/* ---- Diagnostics and text ------------------------------------------- */

/* Writes "OBX: Warning: <message>\n" to stderr and returns. */
void obxWarn(const char* format, ...);
/* Writes "OBX: Fatal Error: <message>\n" to stderr and exits with status 1
 * (calling the fatal hook first, when one is installed). Inside an obx
 * call or obxTry the failure first ends that call: what it held is
 * released, then the message is printed (or handed to obxTry). */
void obxFail(const char* format, ...);

/* A program that must outlive malformed files (a fuzzer, an editor) either
 * calls through obxTry (below), or installs a hook that does not return,
 * e.g. one that longjmps back to before the failed call. When it runs, the
 * failed call has returned from all of the library's code: obxReadOBJ has
 * released its partly read model, files and buffers (nothing of it remains
 * to free), obxWriteOBJ or obxWriteMTL has closed and removed its temporary
 * files (the targets are untouched), and obxReadMTL, obxVertexNormals and
 * obxMergeVertices have left the model passed in as it was before the call.
 * Only obxFail calls it; assertions still abort. The hook is the calling
 * thread's: each thread installs its own. A hook that throws ends the call
 * with its exception instead. */
typedef void (*ObxFatalHook)(void);
/* Installs hook (NULL: plain exit(1) again) for the calling thread and
 * returns its previous one. */
ObxFatalHook obxSetFatalHook(ObxFatalHook hook);

/* Runs operation(context) and returns 1; or, when it meets a fatal error,
 * returns 0 with the error's message (as the fatal report would print it,
 * without the "OBX: Fatal Error: " prefix and the final line feed) in
 * message, cut to size bytes with its terminator. Nothing is printed, the
 * hook is not called, and the failed call has released what it held and
 * changed nothing, as above. The failure travels to obxTry as a C++
 * exception through operation's frames, which C compilers unwind on the
 * usual Linux targets (C code elsewhere: build it with -fexceptions). An
 * exception of operation's own, or of a warning sink, ends the call as a
 * failure too, with its what() as the message. operation must return or
 * throw, never longjmp past obxTry. Calls may nest. */
int obxTry(void (*operation)(void* context), void* context, char* message, size_t size);

/* Receives each warning's text, without the "OBX: Warning: " prefix and the
 * final line feed, instead of stderr. A sink returns or throws (a C++
 * exception ends the call that warned, which releases what it held and
 * changes nothing, as a failure does); it must not longjmp. */
typedef void (*ObxWarningSink)(const char* message, void* context);
/* Installs sink with its context for the calling thread (NULL: stderr
 * again). */
void obxSetWarningSink(ObxWarningSink sink, void* context);
/* Writes "OBX: Fatal API Usage: <message>\n" to stderr and aborts. */
void obxFailUsage(const char* format, ...);
/* Drains the OpenGL error queue, one "GL error: ..." warning per error. */
void obxLogGlErrors(void);

/* Returns a heap copy of text (caller frees), NULL when memory runs out. */
char* obxCopyString(const char* text);
/* Returns a heap copy of text without leading and trailing blanks, tabs, LF
 * and CR (caller frees); NULL when nothing else is left. */
char* obxTrimCopy(const char* text);
/* Returns a heap copy of path up to and including its last '/', or an empty
 * text when it has none (caller frees). Backslashes are not separators. */
char* obxDirectoryOf(const char* path);

/* ---- Model ---------------------------------------------------------- */

/* Releases model and everything it owns, deleting its GL textures (needs a
 * current context when a texture has a nonzero id). model must not be NULL. */
void obxDeleteModel(ObxModel* model);

/* ---- OBJ reader ----------------------------------------------------- */

/* Reads the OBJ file at path, its material libraries and the textures
 * they name, and computes facet normals. Returns a new model the caller
 * owns. Never returns NULL: an unreadable or malformed file is a fatal
 * error, whose message names the file and the line. Textures are uploaded
 * when a GL context is current (and obxTextureUpload is on), else kept by
 * name.
 * Face indices are absolute (1-based) or relative: -k names the k-th last
 * element of its kind read before the face, so -1 is the last one, never
 * "none"; a relative index reaching before the first element is fatal.
 * Polygons become triangle fans around their first corner (every convex
 * one); a concave one whose fan would fold over its outside is cut into
 * the same number of triangles by ear clipping, in its own plane (one with
 * more than 1024 corners, or naming a vertex defined after it, stays a
 * fan, the first with a warning). A face of fewer than three corners makes no triangle (one warning
 * per file).
 * Every mtllib statement is read, each library once, and their materials
 * merged into one table in the order read; a name a later library defines
 * again keeps its first material (with a warning). An mtllib line names one
 * library when a file of its whole trimmed rest exists (a name with
 * blanks), else one per word; mtllibname is the first of the last line.
 * Material names (newmtl, usemtl) are the whole trimmed rest of the line.
 * A library or map name not found as written is looked for with each
 * backslash read as a slash ("..\tex\a.png").
 * A backslash ending a line continues it. A UTF-8 byte-order mark is
 * skipped; UTF-16 and UTF-32 text is refused.
 * Only regular files are read, with read() a window at a time, never
 * mapped: a file cut short or grown while it is read gives the model of
 * what the reads met. Coordinates that are not finite ("nan", "inf",
 * beyond the float range) are kept, with one warning per file. */
ObxModel* obxReadOBJ(const char* path);
/* obxReadOBJ through obxTry: the model, or NULL with the message. */
ObxModel* obxTryReadOBJ(const char* path, char* message, size_t size);

/* Read lenient: the geometry whatever the file's faults. A material library
 * that cannot be opened or read is a warning (its usemtl statements get
 * material 0, with the lookup's warning); a texture-coordinate or normal
 * index out of bounds drops that attribute from the face's triangles, with
 * one warning of each kind (a vertex index out of bounds stays fatal);
 * unknown statements (vp, vw, mg, in MTL files any keyword that is not one
 * of the statements the reader knows by its first letter) are warnings. */
#define OBX_READ_LENIENT 0x1u

/* Settings of a read, for obxReadOBJWithOptions. Zero every field before
 * setting those wanted ({0} in C): later versions add fields at the end,
 * and zero keeps what obxReadOBJ does. */
/* How far a read is: bytes of the file read and its size (which a file
 * growing while it is read can pass). Non-zero cancels the read. */
typedef int (*ObxProgress)(uint64_t done, uint64_t total, void* context);
/* Gives the bytes of a file the model names (a material library, a map's
 * image) in place of the file system: path is what would be opened (the
 * name as written, after the directory of the model's path). Sets *data
 * and *size and returns non-zero, or returns 0 when there is no such file.
 * The bytes stay the caller's and unchanged until the read returns; the
 * library copies what it keeps. It may be asked for a path more than once. */
typedef int (*ObxOpener)(const char* path, const void** data, size_t* size, void* context);

typedef struct ObxReadOptions {
  unsigned flags; /* OBX_READ_ bits */
  /* Called at the start, whenever another 1% of the file (64 MB at most) is
   * read, and at the end; a non-zero answer ends the read as a failure,
   * "obxReadOBJ: reading "PATH" cancelled", with everything released. */
  ObxProgress progress;
  void* context; /* passed to progress and open */
  /* Threads that read a large file at once, with the same result as one;
   * 0 is the cores the process may use, 1 reads on the calling thread. */
  unsigned threads;
  /* With an opener, every file the model names is asked of it, never of
   * the file system; one it does not give is a library or image that
   * cannot be opened. NULL: the file system. */
  ObxOpener open;
} ObxReadOptions;

/* obxReadOBJ with options; NULL options read as obxReadOBJ does. */
ObxModel* obxReadOBJWithOptions(const char* path, const ObxReadOptions* options);
/* obxReadOBJWithOptions through obxTry: the model, or NULL with the message. */
ObxModel* obxTryReadOBJWithOptions(const char* path, const ObxReadOptions* options, char* message,
                                   size_t size);
/* Reads the OBJ text of size bytes at data, which stay the caller's, as
 * obxReadOBJWithOptions reads a file: name stands for the path (the
 * model's path, in messages, and the directory of the files it names). */
ObxModel* obxReadOBJFromMemory(const char* name, const void* data, size_t size,
                               const ObxReadOptions* options);
/* obxReadOBJFromMemory through obxTry: the model, or NULL with the message. */
ObxModel* obxTryReadOBJFromMemory(const char* name, const void* data, size_t size,
                                  const ObxReadOptions* options, char* message,
                                  size_t messageSize);
/* Returns the first group named exactly name, or NULL. */
ObxGroup* obxLookupGroup(ObxModel* model, const char* name);
/* Returns the group named name, creating it at the head of the list. */
ObxGroup* obxEnsureGroup(ObxModel* model, const char* name);

/* ---- MTL reader and lookup ------------------------------------------ */

/* Reads the material library name (relative to the directory of
 * model->path) into a new material table, replacing the old one, and loads
 * every distinct map image once. One value after Ka, Kd, Ks, Ke or Tf is a
 * grey (all three channels). Every map statement (map_..., bump, disp,
 * decal, refl, norm) is kept in the material's maps with its options, which
 * are parsed off the file name (map_Kd -s 2 2 wood.png names wood.png); Ke,
 * Tf, Ni, illum and the PBR values are kept (ObxMaterial.has), Tr becomes
 * the opacity where the material has no d, and statements the reader does
 * not know are kept as text; the warnings that drawing ignores Ni, illum,
 * Ke and the maps other than map_Kd stay. A library read after the first
 * (a second mtllib) keeps no maps for the model's material 0. */
void obxReadMTL(ObxModel* model, const char* name);
/* Returns the index of the first material named name; 0 with a warning when
 * there is none. name must not be NULL. */
uint32_t obxFindMaterial(ObxModel* model, const char* name);
/* Returns the index in model->textures of the texture named name, loading
 * and appending it when new. A failed load is still appended, with id 0;
 * so is every new texture while obxTextureUpload is off. */
int32_t obxTextureByName(ObxModel* model, const char* name);

/* ---- Normals -------------------------------------------------------- */

/* n = u x v. */
void obxCrossProduct(const float* u, const float* v, float* n);
/* Returns u . v. */
float obxDotProduct(const float* u, const float* v);
/* Divides v by its length in place (no guard against zero length). */
void obxNormalizeVector(float* v);
/* Rebuilds facetnorms, one unit normal per triangle; sets every findex.
 * A triangle without a direction (no area, or a corner that is not finite)
 * gets (0, 0, 0); tiny and huge triangles get their true normal (the cross
 * product is taken so that it neither underflows nor overflows). */
void obxComputeFacetNormals(ObxModel* model);
/* Computes smooth per-corner normals within the crease angle (degrees).
 * keep = 0 replaces all normals; keep != 0 fills only corners without one,
 * appending after the existing normals. Needs facetnorms.
 * The angle is clamped to 0..180 (NaN is 0). Triangles with the facet
 * normal (0, 0, 0) take part in no average and are never the reference,
 * so they change no other corner's normal whatever the face order; their
 * corners take their vertex's average, or (0, 0, 0) at a vertex with no
 * other triangle. Every normal is finite. */
void obxVertexNormals(ObxModel* model, float angle, GLboolean keep);
/* Computes per-corner normals from the smoothing groups ("s"): corners of
 * triangles sharing a vertex and a non-zero group get the normalised sum of
 * those triangles' facet normals; a triangle of group 0 (or every triangle
 * of a model without smoothing) gets its own facet normal, so its edges
 * stay hard. keep as for obxVertexNormals. Needs facetnorms. */
void obxSmoothingGroupNormals(ObxModel* model, GLboolean keep);

/* ---- Drawing -------------------------------------------------------- */

/* Draws every group with GL_TRIANGLES in immediate mode: opaque materials
 * first, then transparent ones blended additively without depth writes;
 * lines as GL_LINE_STRIP and points as GL_POINTS after the opaque ones.
 * With OBX_COLOR, vertex colours (when the model has them) replace the
 * materials' diffuse colours. Flags the model cannot serve are dropped with
 * a warning. */
void obxDraw(ObxModel* model, GLuint mode);
/* Compiles obxDraw(model, mode) into a new display list; returns its name
 * (the caller owns it). */
GLuint obxDrawList(ObxModel* model, GLuint mode);

/* ---- Texture images ------------------------------------------------- */

extern GLboolean obxTextureLimitsPending; /* limits not queried yet */
extern GLenum obxTextureTarget;           /* always GL_TEXTURE_2D */
extern GLint obxMaxTextureSize;           /* GL_MAX_TEXTURE_SIZE, 0 until queried */
extern GLboolean obxGenerateMipmap;       /* GL_SGIS_generate_mipmap offered */

/* Whether reading materials turns their map_Kd images into GL textures;
 * GL_TRUE by default. With GL_FALSE (or in a program linked with the core
 * alone) the MTL reader records every map by name with id 0 and scales 1
 * and does not open the image, so a program without a display or a current
 * context (a command-line tool) can read any model. A plain global like
 * the limits above, not a setter: the library keeps no other per-process
 * settings worth an interface. */
extern GLboolean obxTextureUpload;

/* Loads an image file (raw PPM by the library, anything else through DevIL)
 * into a new GL texture, clamped to the size limit and stretched to
 * power-of-two sides. Returns the texture name and writes the texture
 * coordinate scales, or returns 0 with a warning (scales not written): a
 * file that cannot be opened warns with the system's reason ("path: No
 * such file or directory"), through the sink like any warning. Without a
 * current GL context nothing is opened and 0 is returned, so the reader
 * keeps the map by name as with obxTextureUpload off; one warning says so,
 * then none until a load finds a context again. */
GLuint obxLoadTexture(const char* filename, GLboolean alpha, GLboolean repeat, GLboolean filtering,
                      GLboolean mipmaps, float* texcoordWidth, float* texcoordHeight);
/* Reads a raw "P6" PPM: returns RGB bytes, top row first (caller frees), or
 * NULL for anything else or a short or broken file. */
GLubyte* obxReadRawPPM(const char* filename, GLboolean alpha, int* width, int* height,
                       GLenum* format);
/* Decodes any image DevIL reads: RGBA (alpha) or RGB bytes, bottom row
 * first (caller frees), or NULL. Refused without reaching DevIL: a PNG
 * file that is not whole (a chunk running past the end, no IEND), and a
 * PNG, JPEG, BMP or TGA header announcing more than 2^29 pixels. */
GLubyte* obxReadImage(const char* filename, GLboolean alpha, int* width, int* height,
                      GLenum* format);
/* Queries GL_MAX_TEXTURE_SIZE and the mipmap-generation extension. */
void obxInitTextureLimits(void);
/* Returns whether name is a whole entry of GL_EXTENSIONS. */
GLboolean obxExtensionSupported(const char* name);

/* ---- Geometry ------------------------------------------------------- */

/* Returns b if a < b, else a. */
float obxMaxOf(float a, float b);
/* Returns -x if x < 0, else x. */
float obxAbsOf(float x);
/* Centres the model on the origin and scales it into the cube -1..1
 * (computed in double: every finite vertex ends inside it, even near the
 * float limit); vertices that are not finite count for nothing and stay as
 * they are. A
 * model without size (no vertices, or extents of 0) is centred only, and
 * 0 is returned; otherwise returns the scale applied. Extents are measured
 * as |max| + |min|. */
float obxFitToUnitCube(ObxModel* model);
/* Writes the extent along x, y, z (|max| + |min| per axis) to dimensions[3],
 * finite vertices only; zeros when there are none. */
void obxDimensions(ObxModel* model, float* dimensions);
/* Multiplies every vertex coordinate by factor; normals are not touched. */
void obxScaleModel(ObxModel* model, float factor);
/* Reverses every triangle's corner order and negates all normals. */
void obxFlipWinding(ObxModel* model);
/* Replaces the texture coordinates by one per vertex, projected from the
 * x-z plane, and points every grouped corner at its vertex's entry. A
 * model without size maps every vertex to (0.5, 0.5). The new table is
 * built aside: when memory runs out (fatal) the model is as it was. */
void obxPlanarTexcoords(ObxModel* model);
/* Replaces the texture coordinates by a sphere map, one per vertex normal,
 * and points every grouped corner at its normal's entry. Needs normals.
 * Every finite normal gives finite coordinates. Built aside, as above. */
void obxSphereTexcoords(ObxModel* model);

/* ---- Writer --------------------------------------------------------- */

/* Writes model to filename as OBJ, with the parts that mode selects; with
 * OBX_MATERIAL and an mtllibname, also the MTL file beside it. Unserviceable
 * flags are dropped with a warning. A triangle goes out with normals or
 * texture coordinates only when all three corners have them (an OBJ face
 * has one form), so "none" reads back as none. Numbers are written with
 * "%f" where that reads back as the same float, otherwise in the shortest
 * form that does (1e-07), so every value survives; Ns is written so that
 * a shininess read from a file reads back the same. The group "default" is
 * written first, without a "g" line, and the other groups oldest first,
 * so that the file reads back into the same groups in the same order.
 * A regular file (new or existing) is replaced only once everything was
 * written: the data goes to a temporary file beside it, flushed to the
 * disk (fsync) and renamed over it when every write and the close
 * succeeded, the MTL file before the OBJ file; if the OBJ then cannot be
 * put in place, the old MTL is put back: both files or neither. Any
 * failure (cannot create, a write error, a full disk, no new file possible
 * beside an existing one) is fatal; the temporary files are removed and
 * the targets keep their old bytes. An existing regular file is never
 * written in place. Through a symbolic link the file it names is replaced.
 * Anything else (a device, a pipe) is written in place, and gets no MTL
 * beside it: materials are written only with a regular (or new) filename;
 * the OBJ then has no mtllib line, with a warning.
 * The MTL is written in the folder of the file replaced (the link's
 * target for a link) under the last part of mtllibname (after its last
 * '/'; "../../x.mtl" gives x.mtl), which the mtllib line names, whatever
 * folders mtllibname names; a link of that name is replaced, not followed.
 * Fatal: a name that would not read back the same (empty, "." or "..",
 * a blank or line break in it, more than 125 characters), and a filename
 * that is that MTL itself (the materials would be lost). */
void obxWriteOBJ(ObxModel* model, const char* filename, GLuint mode);
/* obxWriteOBJ through obxTry: 1, or 0 with the message. */
int obxTryWriteOBJ(ObxModel* model, const char* filename, GLuint mode, char* message, size_t size);
/* Writes every material to the last part of mtllibname (the name rules of
 * obxWriteOBJ) in the directory of modelpath, the same way: replaced
 * whole or not at all. */
void obxWriteMTL(ObxModel* model, const char* modelpath, const char* mtllibname);

/* ---- Welding -------------------------------------------------------- */

/* Returns whether u and v differ by less than epsilon on every axis. */
GLboolean obxVectorsEqual(const float* u, const float* v, float epsilon);
/* Returns a new array (caller frees) of the distinct vectors among the
 * 1-based vectors[1..*numvectors], the first of each cluster kept; sets
 * *numvectors to their number and writes each vector's new index, as a
 * float, into its x coordinate. */
float* obxUniqueVectors(float* vectors, uint32_t* numvectors, float epsilon);
/* Merges vertices within epsilon of each other on every axis and renumbers
 * the triangles' vertex indices; normals and texture coordinates stay. */
void obxMergeVertices(ObxModel* model, float epsilon);

#ifdef __cplusplus
}
#endif

#endif /* OBX_OBX_H */
