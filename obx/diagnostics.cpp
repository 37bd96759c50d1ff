// obx diagnostics: warnings, fatal reports and their hook, the held-resource list, text helpers.
#include "internal.h"

// ---- Diagnostics and text ------------------------------------------------

// Reports the path from the library's folder on, as the build names it.
void obxAssertFailed(const char* condition, const char* file, int line, const char* function) {
  const char* shown = file;
  for (const char* p = file; (p = strstr(p, "obx/")) != NULL; p++) shown = p;
  fflush(stdout);
  fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", shown, line, function, condition);
  abort();
}

static void obxReport(const char* prefix, const char* format, va_list args) {
  fputs(prefix, stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

// Reads nest at most OBJ -> MTL -> texture, a few notes each.
struct ObxHeld {
  ObxHeldKind kind;
  void* pointer;
  size_t size;                   // of a mapping
  void (*release)(void* state);  // of OBX_HELD_STATE
};
enum { OBX_HELD_MAX = 16 };

// A running obxTry: where a failure jumps back to, and where its message goes.
struct ObxAttempt {
  jmp_buf back;
  char* message;
  size_t size;
  int heldMark;  // notes older than the attempt belong to an outer one
  ObxAttempt* outer;
};

// Everything the library keeps between calls that is not a setting lives
// here, one per thread: reads on several threads share nothing. All of it
// starts as zeros, so no thread pays for setting it up.
struct ObxThreadState {
  ObxHeld held[OBX_HELD_MAX];
  int heldCount;
  ObxFatalHook hook;
  ObxWarningSink sink;
  void* sinkContext;
  ObxAttempt* attempt;
};
static thread_local ObxThreadState obxThread;

// A message as a caller gets it (a warning sink, obxTry): the text alone,
// without the report's prefix and final line feeds, cut to size.
static void obxFormatBare(char* text, size_t size, const char* format, va_list args) {
  vsnprintf(text, size, format, args);
  size_t length = strlen(text);
  while (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
}

void obxWarn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (obxThread.sink) {
    char text[1024];
    obxFormatBare(text, sizeof text, format, args);
    obxThread.sink(text, obxThread.sinkContext);
  } else {
    obxReport("OBX: Warning: ", format, args);
  }
  va_end(args);
}

void obxSetWarningSink(ObxWarningSink sink, void* context) {
  obxThread.sink = sink;
  obxThread.sinkContext = context;
}

void obxHold(ObxHeldKind kind, void* pointer, size_t size) {
  OBX_ASSERT(obxThread.heldCount < OBX_HELD_MAX);
  obxThread.held[obxThread.heldCount++] = {kind, pointer, size, NULL};
}

void obxHoldState(void* state, void (*release)(void* state)) {
  OBX_ASSERT(obxThread.heldCount < OBX_HELD_MAX);
  obxThread.held[obxThread.heldCount++] = {OBX_HELD_STATE, state, 0, release};
}

// Drops the note on pointer; notes are mostly dropped newest first.
void obxLetGo(const void* pointer) {
  ObxHeld* held = obxThread.held;
  for (int i = obxThread.heldCount - 1; i >= 0; i--) {
    if (held[i].pointer != pointer) continue;
    memmove(&held[i], &held[i + 1], sizeof(ObxHeld) * size_t(obxThread.heldCount - 1 - i));
    obxThread.heldCount--;
    return;
  }
  OBX_ASSERT(!"resource noted");
}

// Releases the noted resources above mark, newest first: a mapped MTL file
// before the model whose mtllib named it.
static void obxReleaseHeld(int mark) {
  while (obxThread.heldCount > mark) {
    const ObxHeld held = obxThread.held[--obxThread.heldCount];
    switch (held.kind) {
      case OBX_HELD_BLOCK: free(held.pointer); break;
      case OBX_HELD_MAPPING: munmap(held.pointer, held.size); break;
      case OBX_HELD_MODEL: obxDeleteModel(static_cast<ObxModel*>(held.pointer)); break;
      case OBX_HELD_STATE: held.release(held.pointer); break;
    }
  }
}

ObxFatalHook obxSetFatalHook(ObxFatalHook hook) {
  ObxFatalHook previous = obxThread.hook;
  obxThread.hook = hook;
  return previous;
}

void obxFail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (ObxAttempt* attempt = obxThread.attempt) {
    // Inside obxTry the message is the caller's to show; nothing is printed.
    if (attempt->size > 0) obxFormatBare(attempt->message, attempt->size, format, args);
    va_end(args);
    obxReleaseHeld(attempt->heldMark);
    obxThread.attempt = attempt->outer;
    longjmp(attempt->back, 1);
  }
  obxReport("OBX: Fatal Error: ", format, args);
  va_end(args);
  // Released before exit too: temporary files of a failed write must go.
  obxReleaseHeld(0);
  if (obxThread.hook) obxThread.hook();
  exit(1);
}

int obxTry(void (*operation)(void* context), void* context, char* message, size_t size) {
  OBX_ASSERT(operation != NULL);
  OBX_ASSERT(message != NULL || size == 0);
  ObxAttempt attempt;
  attempt.message = message;
  attempt.size = size;
  attempt.heldMark = obxThread.heldCount;
  attempt.outer = obxThread.attempt;
  if (size > 0) message[0] = '\0';
  if (setjmp(attempt.back) != 0) return 0;  // obxFail released and restored
  obxThread.attempt = &attempt;
  operation(context);
  obxThread.attempt = attempt.outer;
  return 1;
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
char* obxJoin(const char* a, const char* b) {
  size_t la = strlen(a), lb = strlen(b);
  char* joined = static_cast<char*>(malloc(la + lb + 1));
  if (!joined) return NULL;
  memcpy(joined, a, la);
  memcpy(joined + la, b, lb + 1);
  return joined;
}

void* obxReallocHeld(void* block, size_t bytes) {
  if (block) obxLetGo(block);
  void* grown = realloc(block, bytes);
  if (grown || block) obxHold(OBX_HELD_BLOCK, grown ? grown : block, 0);
  return grown;
}

void obxFreeHeld(void* block) {
  if (!block) return;
  obxLetGo(block);
  free(block);
}

void obxFailOutOfMemory(const char* reader, const char* path) {
  obxFail("%s: out of memory reading \"%s\"", reader, path);
  abort();  // not reached: obxFail exits
}

void obxPrefault(void* begin, void* end) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
  const uintptr_t last = uintptr_t(end) & ~(page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)end;
#endif
}
