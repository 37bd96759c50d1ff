// fuzz/reference.h: reading one file with obxReadOBJ and with the reference
// reader of tests/reference_reader.cpp, each with all it printed, for the
// OBJ targets to compare.
#pragma once

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "fuzz/harness.h"
#include "tests/reference_reader.h"

namespace fuzz {

// What a reader printed on stderr, kept in memory: the library's reports go
// through the stderr stream, which glibc lets a program point elsewhere for
// a while. Cheaper than a pipe or a file per input.
class CapturedStderr {
 public:
  CapturedStderr() : saved_(stderr) {
    stream_ = open_memstream(&text_, &size_);
    if (!stream_) abort();
    stderr = stream_;
  }
  ~CapturedStderr() { finish(); }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Restores stderr and returns what was printed.
  std::string finish() {
    if (stream_) {
      fclose(stream_);
      stream_ = NULL;
      stderr = saved_;
      printed_.assign(text_, size_);
      free(text_);
      text_ = NULL;
    }
    return printed_;
  }

 private:
  FILE* saved_;
  FILE* stream_;
  char* text_ = NULL;
  size_t size_ = 0;
  std::string printed_;
};

// One reading: the model (NULL after a fatal error) and everything printed,
// the fatal report included.
struct Reading {
  ObxModel* model;
  std::string printed;
};

inline ObxModel* readOrNull(const char* path) {
  if (setjmp(fatalReturn) != 0) return NULL;
  return obxReadOBJ(path);
}

inline Reading readWithLibrary(const std::string& path) {
  CapturedStderr captured;
  ObxModel* model = readOrNull(path.c_str());
  return {model, captured.finish()};
}

// The reference reader returns its fatal message; it is printed here as the
// library prints it.
inline Reading readWithReference(const std::string& path) {
  CapturedStderr captured;
  std::string fatal;
  ObxModel* model = referenceReadOBJ(path.c_str(), &fatal);
  std::string printed = captured.finish();
  if (!model) printed += "OBX: Fatal Error: " + fatal + "\n";
  return {model, printed};
}

// Both readings failed alike, or built the same model; with the same
// warnings either way.
inline bool sameReading(const Reading& a, const Reading& b) {
  if (a.printed != b.printed || (a.model == NULL) != (b.model == NULL)) return false;
  return !a.model || sameModel(a.model, b.model);
}

// Tells where the readings part (stderr is closed in fuzzing runs, but not
// when an input is run again by hand) and stops.
[[noreturn]] inline void reportDifference(const char* target, const Reading& library,
                                          const Reading& reference,
                                          const char* first = "obxReadOBJ",
                                          const char* second = "the reference reader") {
  fprintf(stderr, "%s: %s and %s differ\n", target, first, second);
  fprintf(stderr, "-- %s (%s):\n%s", first, library.model ? "model" : "failed",
          library.printed.c_str());
  fprintf(stderr, "-- %s (%s):\n%s", second, reference.model ? "model" : "failed",
          reference.printed.c_str());
  abort();
}

}  // namespace fuzz
