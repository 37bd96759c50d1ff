// obx diagnostics: warnings, failures and where they end, text helpers.
#include "internal.h"

#include <utility>

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

// Everything the library keeps between calls that is not a setting lives
// here, one per thread: reads on several threads share nothing. All of it
// starts as zeros, so no thread pays for setting it up.
struct ObxThreadState {
  ObxFatalHook hook;
  ObxWarningSink sink;
  void* sinkContext;
  int calls;  // obx calls running on this thread, outermost first
  int tries;  // obxTry calls running on this thread
};
static thread_local ObxThreadState obxThread;

bool obxThreadBusy() { return obxThread.calls > 0 || obxThread.tries > 0; }

ObxCallScope::ObxCallScope() { obxThread.calls++; }
ObxCallScope::~ObxCallScope() { obxThread.calls--; }

// A message as a caller gets it (a warning sink, obxTry): the text alone,
// without the report's prefix and final line feeds, cut to size.
static void obxCopyBare(char* copy, size_t size, const char* text) {
  if (size == 0) return;
  size_t length = strlen(text);
  while (length > 0 && text[length - 1] == '\n') length--;
  length = std::min(length, size - 1);
  memmove(copy, text, length);  // a sink's text is bared in place
  copy[length] = '\0';
}

void obxWarn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (obxThread.sink) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    obxCopyBare(text, sizeof text, text);
    // The sink runs as if no obx call were under way: its own obx calls
    // are outermost, and a sink that longjmps away, which it must not,
    // still leaves the thread as new.
    struct CallerCode {
      int calls = obxThread.calls, tries = obxThread.tries;
      CallerCode() { obxThread.calls = obxThread.tries = 0; }
      ~CallerCode() {
        obxThread.calls = calls;
        obxThread.tries = tries;
      }
    } caller;
    obxThread.sink(text, obxThread.sinkContext);
    return;
  }
  obxReport("OBX: Warning: ", format, args);
  va_end(args);
}

void obxSetWarningSink(ObxWarningSink sink, void* context) {
  obxThread.sink = sink;
  obxThread.sinkContext = context;
}

ObxFatalHook obxSetFatalHook(ObxFatalHook hook) { return std::exchange(obxThread.hook, hook); }

void obxReportFatal(const char* message) { fprintf(stderr, "OBX: Fatal Error: %s\n", message); }

void obxEndFatal() {
  if (obxThread.hook) obxThread.hook();
  exit(1);
}

void obxFail(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  std::string text(size_t(std::max(vsnprintf(NULL, 0, format, args), 0)), '\0');
  va_end(args);
  vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  // Inside an obx call or obxTry the failure travels to the boundary, which
  // reports it once everything the call held is released; a caller's own
  // obxFail outside any call reports at once.
  if (obxThreadBusy()) throw ObxError(std::move(text));
  obxReportFatal(text.c_str());
  obxEndFatal();
}

int obxTry(void (*operation)(void* context), void* context, char* message, size_t size) {
  OBX_ASSERT(operation != NULL);
  OBX_ASSERT(message != NULL || size == 0);
  if (size > 0) message[0] = '\0';
  struct Scope {
    Scope() { obxThread.tries++; }
    ~Scope() { obxThread.tries--; }
  } scope;
  try {
    operation(context);
    return 1;
  } catch (const std::bad_alloc&) {
    obxCopyBare(message, size, "out of memory");
  } catch (const std::exception& error) {  // ours (ObxError), a sink's or the operation's own
    obxCopyBare(message, size, error.what());
  } catch (...) {
    obxCopyBare(message, size, "the call ended with an exception");
  }
  return 0;
}

void obxFailUsage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  obxReport("OBX: Fatal API Usage: ", format, args);
  va_end(args);
  abort();
}

// A new heap text of the length bytes at text, or NULL.
static char* obxCopyBytes(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (!copy) return NULL;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* obxCopyString(const char* text) {
  OBX_ASSERT(text != NULL);
  return obxCopyBytes(text, strlen(text));
}

char* obxTrimCopy(const char* text) {
  OBX_ASSERT(text != NULL);
  static const char kTrimmed[] = " \t\n\r";
  const size_t start = strspn(text, kTrimmed);
  size_t end = strlen(text);  // one past the last kept character
  if (start == end) return NULL;
  while (end > start + 1 && strchr(kTrimmed, text[end - 1])) end--;
  return obxCopyBytes(text + start, end - start);
}

char* obxDirectoryOf(const char* path) {
  OBX_ASSERT(path != NULL);
  const char* slash = strrchr(path, '/');
  return obxCopyBytes(path, slash ? size_t(slash + 1 - path) : 0);
}

void obxFailOutOfMemory(const char* reader, const char* path) {
  obxFail("%s: out of memory reading \"%s\"", reader, path);
  abort();  // not reached: obxFail throws or exits
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
