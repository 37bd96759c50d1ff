// Fuzz target: the readers' byte scanner (obx/internal.h) against the C
// library's stream reads over the same bytes (fmemopen). Results, consumed
// lengths and values must all agree.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "obx/internal.h"

namespace {

// The bytes as a stream, as the readers once read their files.
struct Stream {
  Stream(const char* data, size_t size) : file(fmemopen(const_cast<char*>(data), size, "r")) {
    if (!file) abort();
  }
  ~Stream() { fclose(file); }
  long position() const { return ftell(file); }
  FILE* file;
};

[[noreturn]] void mismatch(const char* what, const char* data, size_t size) {
  fprintf(stderr, "fuzz_scan: %s differs on %zu bytes: \"", what, size);
  for (size_t i = 0; i < size && i < 200; i++) {
    unsigned char c = (unsigned char)data[i];
    if (c >= ' ' && c < 127 && c != '\\')
      fputc(c, stderr);
    else
      fprintf(stderr, "\\x%02x", c);
  }
  fprintf(stderr, "\"\n");
  abort();
}

bool sameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return memcmp(&a, &b, sizeof a) == 0;
}

void checkToken(const char* data, size_t size) {
  ObxScanner s = {data, data + size};
  const char* token;
  size_t length = obxScanToken(&s, 127, &token);
  Stream stream(data, size);
  char buffer[128];
  int result = fscanf(stream.file, "%127s", buffer);
  // %s stores bytes up to a blank, zero bytes included.
  if ((result == 1) != (length > 0) || stream.position() != s.p - data ||
      (length && memcmp(buffer, token, length) != 0))
    mismatch("token", data, size);
}

void checkLine(const char* data, size_t size, size_t max) {
  ObxScanner s = {data, data + size};
  const char* line;
  size_t length = obxScanLine(&s, max, &line);
  Stream stream(data, size);
  char buffer[300];
  const bool read = fgets(buffer, int(max + 1), stream.file) != NULL;
  if (read != (length > 0) || stream.position() != s.p - data ||
      (length && memcmp(buffer, line, length) != 0))
    mismatch("line", data, size);
}

void checkInt(const char* data, size_t size) {
  ObxScanner s = {data, data + size};
  int64_t value = 0x5A5A5A5A;
  long long expected = 0x5A5A5A5A;
  int result = obxScanInt(&s, &value);
  Stream stream(data, size);
  int expectedResult = fscanf(stream.file, "%lld", &expected);
  if (result != expectedResult || stream.position() != s.p - data) mismatch("%lld", data, size);
  if (result == 1 && value != expected) mismatch("%lld value", data, size);
}

void checkFloat(const char* data, size_t size) {
  ObxScanner s = {data, data + size};
  float value = 0.25f, expected = 0.25f;
  int result = obxScanFloat(&s, &value);
  Stream stream(data, size);
  int expectedResult = fscanf(stream.file, "%f", &expected);
  if (result != expectedResult || stream.position() != s.p - data) mismatch("%f", data, size);
  if (result == 1 && !sameFloat(value, expected)) mismatch("%f value", data, size);
}

void checkItem(const char* data, size_t size, ObxItemForm form) {
  static const char* const formats[4] = {"%lld", "%lld/%lld", "%lld/%lld/%lld", "%lld//%lld"};
  ObxScanner s = {data, data + size};
  int64_t fields[3] = {7, 7, 7};
  int result = obxScanItem(&s, form, fields);
  Stream stream(data, size);
  long long expected[3] = {7, 7, 7};
  int expectedResult =
      form == OBX_FORM_VN
          ? fscanf(stream.file, formats[form], &expected[0], &expected[2])
          : fscanf(stream.file, formats[form], &expected[0], &expected[1], &expected[2]);
  if (result != expectedResult || stream.position() != s.p - data) mismatch("item", data, size);
  for (int i = 0; i < 3; i++)
    if (fields[i] != expected[i]) mismatch("item fields", data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;  // fmemopen wants at least one byte
  // An exact-size heap copy: a read past the end is a sanitizer report.
  char* data = static_cast<char*>(malloc(size));
  memcpy(data, bytes, size);
  checkToken(data, size);
  checkLine(data, size, 127);
  checkLine(data, size, 259);
  checkInt(data, size);
  checkFloat(data, size);
  for (int form = OBX_FORM_V; form <= OBX_FORM_VN; form++) checkItem(data, size, ObxItemForm(form));
  free(data);
  return 0;
}
