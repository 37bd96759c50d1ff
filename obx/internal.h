// obx internals: what the library's areas share behind obx.h.
#ifndef OBX_INTERNAL_H
#define OBX_INTERNAL_H

#include "obx.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Preconditions stay checked in every build type: a model that breaks them
// would otherwise be read out of bounds. The report has the shape of the
// runtime's assert, so tools that parse those lines keep working.
[[noreturn]] __attribute__((cold)) void obxAssertFailed(const char* condition, const char* file,
                                                        int line, const char* function);
#define OBX_ASSERT(condition) \
  ((condition) ? (void)0 : obxAssertFailed(#condition, __FILE__, __LINE__, __func__))

// ---- Failures ----------------------------------------------------------------
//
// Inside the library a failure is an ObxError carrying the fatal message;
// what a running call holds is owned by objects that release it as the
// error passes. The public entry points are the boundary (obxCall): the
// outermost one reports the message ("OBX: Fatal Error: ...", the hook,
// exit(1)); inside obxTry the error travels on to obxTry, which returns
// the message. Memory running out inside the standard containers is a
// std::bad_alloc, reported as running out of memory. Worker threads hand
// their failure to the caller as a std::exception_ptr.
class ObxError : public std::exception {
 public:
  explicit ObxError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Whether an obx call or obxTry runs on this thread: a failure then
// travels to its boundary rather than ending the process where it is met.
bool obxThreadBusy();
// Marks an obx call running on this thread for its lifetime.
struct ObxCallScope {
  ObxCallScope();
  ~ObxCallScope();
  ObxCallScope(const ObxCallScope&) = delete;
  ObxCallScope& operator=(const ObxCallScope&) = delete;
};
// Prints "OBX: Fatal Error: message".
void obxReportFatal(const char* message);
// Calls the thread's hook, then exits with 1.
[[noreturn]] void obxEndFatal();

// Runs body as a public entry point: a failure inside an outer call or
// obxTry goes on to it; at the outermost call it is reported once body's
// frames have released what they held. The hook (which may longjmp) runs
// after the call's scope is gone, so it skips no destructor.
template <typename Body>
auto obxCall(Body&& body) -> decltype(body()) {
  if (obxThreadBusy()) {
    ObxCallScope scope;
    return body();
  }
  {
    ObxCallScope scope;
    try {
      return body();
    } catch (const ObxError& error) {
      obxReportFatal(error.what());
    } catch (const std::bad_alloc&) {
      obxReportFatal("out of memory");
    }
  }
  obxEndFatal();
}

// Threads that run the tasks of a read's phases, started once a read.
// Between phases they wait spinning, yielding the core: a phase follows
// the one before within microseconds, and waking a sleeping thread took
// up to a millisecond on a busy machine, a round's whole gain.
class ObxPool {
 public:
  explicit ObxPool(unsigned threads) {
    try {
      for (unsigned i = 1; i < threads; i++) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {  // fewer threads: the calling one does more
    }
  }
  ~ObxPool() {
    stop_.store(true);
    for (std::thread& worker : workers_) worker.join();
  }
  ObxPool(const ObxPool&) = delete;
  ObxPool& operator=(const ObxPool&) = delete;

  unsigned threads() const { return unsigned(workers_.size()) + 1; }

  // Runs task(i) for each i < count on the workers and the calling thread;
  // the first failure goes on once all have ended. When it returns, no
  // worker touches the phase any more.
  template <typename Task>
  void run(size_t count, Task task) {
    if (count == 0) return;
    std::vector<std::exception_ptr> failures(count);
    const std::function<void(size_t)> each = [&](size_t i) {
      try {
        task(i);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    };
    Phase phase(++phases_, &each, count);
    phase_.store(&phase);
    take(phase);
    while (phase.done.load() < count) std::this_thread::yield();
    // A worker that found the phase may still be about to look at it.
    phase_.store(nullptr);
    while (active_.load() != 0) std::this_thread::yield();
    for (const std::exception_ptr& failure : failures)
      if (failure) std::rethrow_exception(failure);
  }

 private:
  struct Phase {
    Phase(uint64_t i, const std::function<void(size_t)>* t, size_t c) : id(i), task(t), count(c) {}
    const uint64_t id;
    const std::function<void(size_t)>* const task;
    const size_t count;
    std::atomic<size_t> next{0}, done{0};
  };
  static void take(Phase& phase) {
    for (size_t i; (i = phase.next.fetch_add(1)) < phase.count;) {
      (*phase.task)(i);
      phase.done.fetch_add(1);
    }
  }
  void work() {
    ObxCallScope scope;  // a failure travels to the task's caller, not to exit
    uint64_t seen = 0;
    for (unsigned idle = 0; !stop_.load();) {
      active_.fetch_add(1);
      Phase* phase = phase_.load();
      const bool fresh = phase && phase->id != seen;
      if (fresh) {
        seen = phase->id;
        take(*phase);
      }
      active_.fetch_sub(1);
      // A long wait (a library's textures loading) sleeps in short naps.
      if (fresh)
        idle = 0;
      else if (++idle < 2000)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

  std::vector<std::thread> workers_;
  uint64_t phases_ = 0;  // the calling thread's alone
  std::atomic<Phase*> phase_{nullptr};
  std::atomic<unsigned> active_{0};  // workers looking at phase_
  std::atomic<bool> stop_{false};
};

// A malloc'd block freed when it goes (free on NULL does nothing).
struct ObxFree {
  void operator()(void* block) const { free(block); }
};
template <typename T>
using ObxBlock = std::unique_ptr<T, ObxFree>;

// A model deleted when it goes, until released to the caller.
struct ObxDeleteModelOnExit {
  void operator()(ObxModel* model) const { obxDeleteModel(model); }
};
using ObxModelOwner = std::unique_ptr<ObxModel, ObxDeleteModelOnExit>;

// A new group at the head of model's list, without looking for one of
// the name; NULL when memory runs out.
ObxGroup* obxNewGroup(ObxModel* model, const char* name);

[[noreturn]] void obxFailOutOfMemory(const char* reader, const char* path);

// ---- The readers' scanner (slow paths and file input in obx/scan.cpp) -----
//
// The readers are defined in terms of stream reads: "%s" tokens, line reads
// of a bounded size, "%f", "%d" and the slash forms of face items, with one
// character of push-back. These reproduce what the C library's stream
// functions consume and return, over a span of bytes that is not
// zero-terminated; tests/reference_reader.cpp reads through the real
// stream functions, and the tests and fuzzers hold the two against each
// other. Results follow fscanf: the number of values converted, 0 for a
// matching failure, OBX_SCAN_EOF when the input ends before the first.

#define OBX_SCAN_EOF (-1)

struct ObxScanner {
  const char* p;    // next unread byte
  const char* end;  // one past the last byte
};

// The C locale's isspace and isdigit, without their table lookups.
inline bool obxIsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool obxIsDigit(unsigned char c) { return unsigned(c - '0') < 10u; }

inline void obxSkipSpace(ObxScanner* s) {
  const char* p = s->p;
  // Mostly one blank or line feed stands between tokens: one test, no loop.
  if (s->end - p >= 2 && (*p == ' ' || *p == '\n') && (unsigned char)p[1] > ' ') {
    s->p = p + 1;
    return;
  }
  while (p < s->end && obxIsSpace((unsigned char)*p)) p++;
  s->p = p;
}

// "%<max>s": skips blanks and takes up to max non-blank bytes, which stay
// in the input at *token. Returns the length, 0 at the end of the input.
inline size_t obxScanToken(ObxScanner* s, size_t max, const char** token) {
  obxSkipSpace(s);
  const char* p = s->p;
  const char* limit = size_t(s->end - p) > max ? p + max : s->end;
  *token = p;
  while (p < limit && !obxIsSpace((unsigned char)*p)) p++;
  const size_t length = size_t(p - s->p);
  s->p = p;
  return length;
}

// fgets with a buffer of max + 1 bytes: up to max bytes, up to and
// including the next line feed. Returns the length, 0 at the end of input.
inline size_t obxScanLine(ObxScanner* s, size_t max, const char** line) {
  size_t n = std::min(size_t(s->end - s->p), max);
  if (const void* feed = memchr(s->p, '\n', n))
    n = size_t(static_cast<const char*>(feed) - s->p) + 1;
  *line = s->p;
  s->p += n;
  return n;
}

// The leading digits at p while there are at most Max of them, and their
// value; Max + 1 when there are more. Reads at most Max + 1 bytes, which
// the caller makes sure the input holds. A fixed bound lets the loop be
// unrolled: the quick paths below spend most of their time here.
template <int Max>
inline int obxLeadingDigits(const char* p, uint64_t* value) {
  uint64_t v = 0;
  int n = 0;
  for (; n <= Max; n++) {
    const unsigned digit = unsigned((unsigned char)p[n]) - '0';
    if (digit > 9) break;
    v = v * 10 + digit;
  }
  *value = v;
  return n;
}

// A run of at most 18 digits at p, as a value (18 always fit in 64 bits).
inline const char* obxScanDigits(const char* p, const char* end, uint64_t* value) {
  uint64_t v = 0;
  for (const char* limit = end - p > 18 ? p + 18 : end; p < limit; p++) {
    const unsigned digit = unsigned((unsigned char)*p) - '0';
    if (digit > 9) break;
    v = v * 10 + digit;
  }
  *value = v;
  return p;
}

// "%lld": an optional sign and decimal digits, converted as strtoll does
// (saturating). A sign without a digit after it stays consumed: one byte
// of push-back gives back only the byte after it.
inline int obxScanInt(ObxScanner* s, int64_t* value) {
  obxSkipSpace(s);
  const char* p = s->p;
  if (p == s->end) return OBX_SCAN_EOF;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  if (p == s->end || !obxIsDigit((unsigned char)*p)) {
    s->p = p;
    return 0;
  }
  uint64_t magnitude;
  p = obxScanDigits(p, s->end, &magnitude);
  bool saturated = false;
  for (; p < s->end && obxIsDigit((unsigned char)*p); p++)
    saturated |= __builtin_mul_overflow(magnitude, 10u, &magnitude) ||
                 __builtin_add_overflow(magnitude, uint64_t(*p - '0'), &magnitude);
  s->p = p;
  const uint64_t largest = uint64_t(INT64_MAX) + (negative ? 1u : 0u);
  if (saturated || magnitude > largest) magnitude = largest;
  *value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return 1;
}

// "%f" by the C library's rules, from the first non-blank byte: it
// collects the longest run that could begin a number (sign, digits, one
// point, exponent with its sign; "0x" and hex digits; "inf", "infinity",
// "nan"), gives back only the byte that stopped it (a mismatch inside
// "inf"/"nan" stays consumed), and converts what it collected as strtof.
// Out of line, in obx/scan.cpp: plain numbers never come here.
int obxScanFloatSlow(ObxScanner* s, float* value);

// "%f". Plain decimals, -?digits[.digits][e[+-]digits] ending at a blank or
// at the end, are collected whole by the C library and converted here to
// the float strtof gives: the usual ones by one multiplication checked for
// doubt, those with a mantissa of at most 2^24 and a power of ten within 10
// (both exact floats) by one float multiplication or division, which rounds
// correctly, others through from_chars; anything else by the full rules.
inline int obxScanFloat(ObxScanner* s, float* value) {
  static const float kPowers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                    1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  obxSkipSpace(s);
  const char* p = s->p;
  const char* const end = s->end;
  if (p == end) return OBX_SCAN_EOF;
  const bool negative = *p == '-';
  const char* q = p + negative;
  // The usual number: up to 8 digits, maybe a point and up to 7 more,
  // then a blank, with input enough behind it for the unchecked reads.
  if (end - q >= 40) {
    uint64_t mantissa;
    const int digits = obxLeadingDigits<8>(q, &mantissa);
    const char* r = q + digits;
    int fraction = 0;
    if (*r == '.') {
      uint64_t part;
      fraction = obxLeadingDigits<7>(++r, &part);
      r += fraction;
      static const uint32_t kScale[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
      mantissa = mantissa * kScale[fraction & 7] + part;
    }
    // A multiplication by the double nearest 10^-fraction is off from the
    // quotient by a few units of the double's last place. Rounded to float
    // it is the quotient's float unless it lies that close to a point
    // halfway between two floats (the bits below the float's lowest then
    // read about 0x10000000); those few take the exact way below.
    static const double kInverse[8] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
    const double quotient = double(mantissa) * kInverse[fraction & 7];
    uint64_t bits;
    memcpy(&bits, &quotient, sizeof bits);
    if (digits + fraction > 0 && digits <= 8 && fraction <= 7 && obxIsSpace((unsigned char)*r) &&
        uint32_t((bits & 0x1FFFFFFF) - 0x0FFFFF00) > 0x200) {
      const float magnitude = float(quotient);
      *value = negative ? -magnitude : magnitude;
      s->p = r;
      return 1;
    }
  }
  const char* first = q;
  uint64_t mantissa;  // exact while there are at most 18 digits
  q = obxScanDigits(q, end, &mantissa);
  int digits = int(q - first), fraction = 0;
  bool plain = true;
  if (q < end && *q == '.') {
    uint64_t part;
    first = ++q;
    q = obxScanDigits(q, end, &part);
    fraction = int(q - first);
    static const uint64_t kScale[11] = {
        1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, 10000000000};
    if (fraction <= 10) mantissa = mantissa * kScale[fraction] + part;
    digits += fraction;
  }
  // More digits than the scans take go the full way.
  if (q < end && obxIsDigit((unsigned char)*q)) plain = false;
  plain = plain && digits > 0;
  int exponent = 0;
  if (plain && q < end && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    const bool negativeExponent = e < end && *e == '-';
    if (e < end && (*e == '-' || *e == '+')) e++;
    plain = e < end && obxIsDigit((unsigned char)*e);
    for (; e < end && obxIsDigit((unsigned char)*e); e++)
      exponent = std::min(exponent * 10 + (*e - '0'), 100000);
    if (negativeExponent) exponent = -exponent;
    q = e;
  }
  if (!plain || (q < end && !obxIsSpace((unsigned char)*q))) return obxScanFloatSlow(s, value);
  const int power = exponent - fraction;
  if (digits <= 18 && fraction <= 10 && mantissa <= (uint64_t(1) << 24) && power >= -10 &&
      power <= 10) {
    const float magnitude =
        power < 0 ? float(mantissa) / kPowers[-power] : float(mantissa) * kPowers[power];
    *value = negative ? -magnitude : magnitude;
    s->p = q;
    return 1;
  }
  const auto result = std::from_chars(p, q, *value);
  if (result.ec != std::errc() || result.ptr != q) return obxScanFloatSlow(s, value);
  s->p = q;
  return 1;
}

// "%f %f ..." into values[0..count-1]; those not converted keep theirs.
inline int obxScanFloats(ObxScanner* s, int count, float* values) {
  for (int i = 0; i < count; i++) {
    const int result = obxScanFloat(s, &values[i]);
    if (result != 1) return i == 0 ? result : i;
  }
  return count;
}

// One literal byte of a format: 1 when it is there (consumed), 0 when
// another byte is, OBX_SCAN_EOF at the end.
inline int obxScanLiteral(ObxScanner* s, char literal) {
  if (s->p == s->end) return OBX_SCAN_EOF;
  if (*s->p != literal) return 0;
  s->p++;
  return 1;
}

// The four forms of a face item, each with its scan format; the first
// item of a face decides the form of all of them.
enum ObxItemForm {
  OBX_FORM_V,    // "%lld"
  OBX_FORM_VT,   // "%lld/%lld"
  OBX_FORM_VTN,  // "%lld/%lld/%lld"
  OBX_FORM_VN,   // "%lld//%lld"
};

// One face item of the form, as fscanf with the form's format: fields[0]
// = v, [1] = t, [2] = n receive the values converted (the others keep
// theirs). Returns the number of values converted or OBX_SCAN_EOF.
inline int obxScanItem(ObxScanner* s, ObxItemForm form, int64_t fields[3]) {
  const int first = obxScanInt(s, &fields[0]);
  if (first != 1 || form == OBX_FORM_V) return first;
  if (obxScanLiteral(s, '/') != 1) return 1;
  if (form == OBX_FORM_VN) {
    if (obxScanLiteral(s, '/') != 1) return 1;
    return obxScanInt(s, &fields[2]) == 1 ? 2 : 1;
  }
  if (obxScanInt(s, &fields[1]) != 1) return 1;
  if (form == OBX_FORM_VT) return 2;
  if (obxScanLiteral(s, '/') != 1) return 2;
  return obxScanInt(s, &fields[2]) == 1 ? 3 : 2;
}

// Puts in place the pages of [begin, end) of a block about to be written,
// in one call instead of a fault each (only a hint).
void obxPrefault(void* begin, void* end);

// ---- What the OBJ and MTL readers share ----------------------------------

// Token and line reads have the sizes of the stream reads they stand for:
// a 128-byte buffer (127 characters and the terminator), and 259 characters
// for the rest of an MTL map statement.
enum {
  OBX_TOKEN_SIZE = 128,
  OBX_TOKEN_MAX = OBX_TOKEN_SIZE - 1,
  OBX_MAP_LINE_MAX = 259,
};

// A file read with read() through a window [data, end) of the bytes read
// so far and not let go: never a mapping, so a file that shrinks or is
// replaced while it is read cannot raise a signal, and only the window,
// not the file, is held in memory. Closed and freed when it goes.
// Bytes the caller holds read the same way, copied a window at a time, so
// that the readers have one kind of input.
enum ObxOpenResult { OBX_OPEN_OK, OBX_OPEN_FAILED, OBX_OPEN_NO_MEMORY };
struct ObxInput {
  int fd = -1;
  const char* memory = NULL;  // the caller's bytes, read instead of a file
  uint64_t next = 0;          // in memory, the next byte to read
  uint64_t size = 0;          // when opened; the file may change after
  char* buffer = NULL;
  size_t capacity = 0;
  const char* data = "";
  const char* end = data;
  uint64_t offset = 0;  // of data in the file
  size_t held = 0;      // bytes read behind end that wait for the next ones
  bool eof = false;
  int error = 0;           // of a read that failed; eof is set too
  const char* why = NULL;  // why open failed

  ObxInput() = default;
  ~ObxInput();
  ObxInput(const ObxInput&) = delete;
  ObxInput& operator=(const ObxInput&) = delete;
  // Opens a regular file for reading; why says why not.
  ObxOpenResult open(const char* path);
  // Reads size bytes at bytes, which stay the caller's meanwhile.
  void openMemory(const void* bytes, size_t n);
  // Moves the bytes from keep on to the window's start and reads behind
  // them until the window (at least room bytes) is full or the file ends.
  // False when memory runs out, the window as it was.
  bool more(const char* keep, size_t room);
  // The line at offset, counted in the file as it is now: for messages,
  // which are rare enough to read it again.
  uint64_t lineAt(uint64_t offset) const;
  // Goes on reading at offset, the window empty.
  void seek(uint64_t at);
  // Makes the window the count bytes of source at offset at, line
  // continuations joined as more() joins them, for a thread that reads a
  // block of a file another input holds open. eof when they reach the
  // end; false when memory runs out or a read fails.
  bool readAt(const ObxInput& source, uint64_t at, size_t count);
};
// Reads a whole file into input's window: through the read's opener when
// it has one.
ObxOpenResult obxLoadFile(const char* path, ObxInput* input);

// The caller's opener for the files a model names, for the read running
// on this thread (NULL when it has none); set for a read's lifetime.
struct ObxOpenerScope {
  explicit ObxOpenerScope(const ObxReadOptions* options);
  ~ObxOpenerScope();
  ObxOpenerScope(const ObxOpenerScope&) = delete;
  ObxOpenerScope& operator=(const ObxOpenerScope&) = delete;

 private:
  const ObxReadOptions* saved_;
};
// Whether the read running on this thread has an opener; with one,
// obxOpenerBytes gives a named file's bytes (false when it has none).
bool obxHasOpener();
bool obxOpenerBytes(const char* path, const void** data, size_t* size);
// Whether the file at path is there: asked of the opener when there is one.
bool obxFileExists(const char* path);
// The OBJ reader's window and the part of it kept ahead of each statement
// (256 KiB and 16 KiB; 0 and 0 set these again); tests make them tiny to put
// the window's end everywhere. Not while other threads read.
void obxSetReadWindow(size_t window, size_t lookahead);
// The blocks a file is read in on several threads, and the size from
// which a file is (0 and 0 set these again); tests make them tiny to put
// the blocks' edges everywhere. Not while other threads read.
void obxSetReadBlocks(size_t block, uint64_t from);

void obxCopyToken(char buffer[OBX_TOKEN_SIZE], const char* bytes, size_t length);
// Trims blanks and line ends from both ends of text, in place.
void obxTrimInPlace(char* text);
// The MTL keywords of ObxMaterial.pbr, in its order.
inline const char* const kObxPbrKeywords[7] = {"Pr", "Pm", "Ps", "Pc", "Pcr", "aniso", "anisor"};
// Frees what a material owns: its name, maps and parameters.
void obxFreeMaterial(ObxMaterial* material);
// Where the text of a file starts in input's first window: after a UTF-8
// byte-order mark, if any. UTF-16 and UTF-32 text fails, the message
// beginning with failure and naming path.
const char* obxTextStart(const ObxInput* input, const char* failure, const char* path);
// The file a library or map name of model's refers to (see obx.h).
std::string obxFileBeside(const ObxModel* model, const char* name);
// Reads library name into model's table: appended after its materials or
// replacing them. A library that cannot be opened fails, or read leniently
// warns and returns false.
bool obxReadLibrary(ObxModel* model, const char* name, bool append, bool lenient);
// Cuts a polygon of n corners at points whose fan from corner 0 would fold
// (a concave one) into n - 2 triangles by ear clipping: out gets each
// triangle's corner numbers, in the polygon's winding, and 1 is returned.
// 0, out untouched, when the fan serves (every convex polygon) or the
// polygon has no plane; -1 when it folds and has more than most corners.
int obxTriangulatePolygon(const float* const* points, uint32_t n, uint32_t most,
                          std::vector<uint32_t>* out);
bool obxKeywordIs(const char* token, size_t length, const char* word);
void obxWarnNoMaterial(const char* name);

// obxComputeFacetNormals with the triangles shared among pool's threads
// (NULL: the calling thread's alone).
void obxComputeFacetNormalsOn(ObxModel* model, ObxPool* pool);

// Whether this thread was told that textures are not uploaded for want of
// a context, since the last load that had one or the last read began.
extern thread_local bool obxToldNoContext;

// The mode drawing or writing can honour for model, with one of warnings
// for each flag it drops (shared by obxDraw and obxWriteOBJ).
GLuint obxFixMode(const ObxModel* model, GLuint mode, const char* const warnings[7]);

// ---- The GL part ----------------------------------------------------------
//
// The core (libobx_core) uploads and deletes textures only through
// obxGlHooks, which texture.cpp defines and the core refers to weakly: in a
// program linked with the core alone the reference is null and every map
// stays a name. A weak reference does not take texture.o out of libobx.a,
// and a static initializer there setting a pointer would not be linked
// either, so whatever links libobx also asks the linker for the symbol
// (--undefined=obxGlHooks, in the obx target and obx.pc), which does. A
// constant record needs no initialization order: it is there before main.
struct ObxGlHooks {
  // obxLoadTexture as the MTL reader loads a map: the texture's name, or 0
  // with the scales not written.
  GLuint (*loadTexture)(const char* path, float* width, float* height);
  void (*deleteTexture)(GLuint id);
};
extern "C" const ObxGlHooks obxGlHooks __attribute__((weak));

// Deletes texture id, when there is one: only the GL part gives textures one.
inline void obxDeleteTextureId(GLuint id) {
  if (id && &obxGlHooks) obxGlHooks.deleteTexture(id);
}

#endif
