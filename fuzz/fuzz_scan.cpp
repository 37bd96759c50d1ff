// Fuzz target: the byte scanner of obx/scan.h against the C library's
// stream reads over the same bytes (fmemopen), and its quick paths against
// its exact ones. Results, consumed lengths and values must all agree.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "obx/scan.h"

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

template <bool Signed>
void checkInt(const char* data, size_t size) {
  ObxScanner s = {data, data + size};
  uint32_t value = 0x5A5A5A5A, expected = 0x5A5A5A5A;
  bool outOfRange = false;
  int result = obxScanInt<Signed>(&s, &value, &outOfRange);
  Stream stream(data, size);
  int expectedResult = fscanf(stream.file, Signed ? "%d" : "%u", &expected);
  if (result != expectedResult || stream.position() != s.p - data)
    mismatch(Signed ? "%d" : "%u", data, size);
  if (result == 1 && value != expected) mismatch(Signed ? "%d value" : "%u value", data, size);
}

void checkFloat(const char* data, size_t size) {
  ObxScanner s = {data, data + size};
  float value = 0.25f, expected = 0.25f;
  int result = obxScanFloat<true>(&s, &value);
  Stream stream(data, size);
  int expectedResult = fscanf(stream.file, "%f", &expected);
  if (result != expectedResult || stream.position() != s.p - data) mismatch("%f", data, size);
  if (result == 1 && !sameFloat(value, expected)) mismatch("%f value", data, size);

  // Without conversion: the same result and consumption.
  ObxScanner t = {data, data + size};
  float ignored = 0.0f;
  if (obxScanFloat<false>(&t, &ignored) != result || t.p != s.p)
    mismatch("%f without conversion", data, size);
}

void checkItem(const char* data, size_t size, ObxItemForm form) {
  static const char* const formats[4] = {"%d", "%d/%d", "%d/%d/%d", "%d//%d"};
  ObxScanner s = {data, data + size};
  uint32_t fields[3] = {7, 7, 7};
  bool outOfRange = false;
  int result = obxScanItem<true>(&s, form, fields, &outOfRange);
  Stream stream(data, size);
  int expected[3] = {7, 7, 7};
  int expectedResult =
      form == OBX_FORM_VN
          ? fscanf(stream.file, formats[form], &expected[0], &expected[2])
          : fscanf(stream.file, formats[form], &expected[0], &expected[1], &expected[2]);
  if (result != expectedResult || stream.position() != s.p - data) mismatch("item", data, size);
  for (int i = 0; i < 3; i++)
    if (fields[i] != uint32_t(expected[i])) mismatch("item fields", data, size);
}

// The quick float scan against the exact one, on a copy with the margin
// the quick scans need behind the bytes.
void checkQuick(const char* data, size_t size) {
  const int counts[3] = {1, 2, 3};
  for (int count : counts) {
    ObxScanner quick = {data, data + size}, exact = {data, data + size};
    float a[3] = {1, 1, 1}, b[3] = {1, 1, 1};
    int r = obxScanFloatsQuick<true>(&quick, count, a);
    int e = obxScanFloats<true>(&exact, count, b);
    if (r != e || quick.p != exact.p) mismatch("quick floats", data, size);
    for (int i = 0; i < 3; i++)
      if (!sameFloat(a[i], b[i])) mismatch("quick float values", data, size);

    // A line the counting pass skips whole holds count numbers; the next
    // token comes after its line feed.
    const char* feed = obxQuickNumberLine(data, data + size, count);
    if (!feed) continue;
    if (feed < data || feed >= data + size || *feed != '\n') mismatch("number line", data, size);
    ObxScanner line = {data, feed};
    float ignored[3];
    if (obxScanFloats<false>(&line, count, ignored) != count)
      mismatch("number line count", data, size);
  }
}

// The storing pass's whole vertex line against the exact scan: the same
// values, and a line feed no earlier than where the exact scan stops. The
// first sixteen bytes stand before the line; the quick path may read them.
void checkVertexLine(const char* data, size_t size) {
  if (size < 16) return;
  const char* begin = data + 16;
  const char* end = data + size;
  for (int count = 2; count <= 3; count++) {
    float values[3] = {-7, -7, -7}, expected[3] = {-7, -7, -7};
    const char* feed = count == 3 ? obxQuickVertexLine<3>(data, begin, end, values)
                                  : obxQuickVertexLine<2>(data, begin, end, values);
    if (!feed) {
      // Nothing may be stored when the line is left to the exact scan.
      for (float value : values)
        if (value != -7) mismatch("vertex line left alone", data, size);
      continue;
    }
    ObxScanner exact = {begin, end};
    if (obxScanFloats<true>(&exact, count, expected) != count)
      mismatch("vertex line count", data, size);
    for (int k = 0; k < count; k++)
      if (!sameFloat(values[k], expected[k])) mismatch("vertex line values", data, size);
    if (feed < begin || feed >= end || *feed != '\n' || exact.p > feed ||
        memchr(begin, '\n', size_t(feed - begin)))
      mismatch("vertex line feed", data, size);
  }
}

// The counting pass's whole face line: its items are the blank-separated
// words before the line feed, all of plain digits in one slash layout, and
// the next line begins with a byte no item can begin with.
void checkFaceLine(const char* data, size_t size) {
  const char* end = data + size;
  const char* feed = NULL;
  const int items = obxQuickFaceLine(data, end, &feed);
  if (items == 0) {
    if (feed) mismatch("face line left alone", data, size);
    return;
  }
  if (!feed || feed < data || feed >= end || *feed != '\n') mismatch("face line feed", data, size);
  int words = 0;
  std::string layout, first;
  for (const char* p = data; p < feed;) {
    if (obxIsSpace((unsigned char)*p)) {
      p++;
      continue;
    }
    layout.clear();
    bool digits = false;
    for (; p < feed && !obxIsSpace((unsigned char)*p); p++) {
      if (*p == '/') {
        if (!digits && layout.empty()) mismatch("face line item starts with a slash", data, size);
        layout += '/';
        digits = false;
      } else if (obxIsDigit((unsigned char)*p)) {
        if (!digits) layout += 'd';
        digits = true;
      } else {
        mismatch("face line item byte", data, size);
      }
    }
    if (layout != "d" && layout != "d/d" && layout != "d/d/d" && layout != "d//d")
      mismatch("face line item form", data, size);
    if (words++ == 0)
      first = layout;
    else if (layout != first)
      mismatch("face line item forms differ", data, size);
  }
  if (words != items) mismatch("face line item count", data, size);
  if (feed + 1 < end) {
    const unsigned char next = (unsigned char)feed[1];
    if (obxIsSpace(next) || obxIsDigit(next) || next == '-' || next == '+')
      mismatch("face line next byte", data, size);
  }
}

// The storing pass's whole face line: the form of its first item, and for
// every item the numbers the item scan of that form stores, as many items
// as that scan takes.
void checkFaceValues(const char* data, size_t size) {
  const char* end = data + size;
  ObxItemForm form = OBX_FORM_V;
  uint32_t items[32][3];
  const char* feed = NULL;
  const int read = obxQuickFaceValues<32>(data, end, &form, items, &feed);
  if (read == 0) return;
  if (!feed || feed < data || feed >= end || *feed != '\n' ||
      memchr(data, '\n', size_t(feed - data)))
    mismatch("face values feed", data, size);
  // The first word's slashes name the form.
  const char* word = data;
  while (word < feed && obxIsSpace((unsigned char)*word)) word++;
  std::string slashes;
  for (const char* p = word; p < feed && !obxIsSpace((unsigned char)*p); p++)
    if (*p == '/') slashes += (p > word && p[-1] == '/') ? "/" : "|";
  static const char* const layouts[4] = {"", "|", "||", "|/"};  // by ObxItemForm
  if (slashes != layouts[form]) mismatch("face values form", data, size);
  ObxScanner exact = {data, end};
  bool outOfRange = false;
  int scanned = 0;
  for (;; scanned++) {
    uint32_t fields[3] = {0, 0, 0};
    if (obxScanItem<false>(&exact, form, fields, &outOfRange) < 1) break;
    if (scanned >= read || items[scanned][0] != fields[0] ||
        ((form == OBX_FORM_VT || form == OBX_FORM_VTN) && items[scanned][1] != fields[1]) ||
        ((form == OBX_FORM_VN || form == OBX_FORM_VTN) && items[scanned][2] != fields[2]))
      mismatch("face values", data, size);
  }
  if (scanned != read || outOfRange) mismatch("face values count", data, size);
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
  checkInt<true>(data, size);
  checkInt<false>(data, size);
  checkFloat(data, size);
  for (int form = OBX_FORM_V; form <= OBX_FORM_VN; form++) checkItem(data, size, ObxItemForm(form));
  checkQuick(data, size);
  checkVertexLine(data, size);
  checkFaceLine(data, size);
  checkFaceValues(data, size);
  free(data);
  return 0;
}
