// obx/scan.h: the byte scanner under the OBJ and MTL readers.
//
// The readers are defined in terms of stream reads: "%s" tokens, line reads
// of a bounded size, "%f", "%d"/"%u" and the slash forms of face items, with
// one character of push-back. These helpers reproduce what the C library's
// stream functions consume and return, over a read-only span of bytes, so
// the readers behave as the stream version would without paying for stdio.
// tests/test_reader.cpp holds them against fscanf on generated inputs.
//
// Results follow fscanf: the number of values converted, 0 for a matching
// failure, -1 (OBX_SCAN_EOF) when the input ends before the first value.
#ifndef OBX_SCAN_H
#define OBX_SCAN_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define OBX_SCAN_EOF (-1)

// A cursor over bytes that are not zero-terminated.
struct ObxScanner {
  const char* p;    // next unread byte
  const char* end;  // one past the last byte
};

// The C locale's isspace, without its table lookup.
inline bool obxIsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool obxIsDigit(unsigned char c) { return unsigned(c - '0') < 10u; }
inline char obxLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; }

inline void obxSkipSpace(ObxScanner* s) {
  const char* p = s->p;
  // Tokens are mostly apart by one space or line feed: one test, no loop.
  // Bytes above ' ' are never blanks.
  if (s->end - p >= 2 && (*p == ' ' || *p == '\n') && (unsigned char)p[1] > ' ') {
    s->p = p + 1;
    return;
  }
  while (p < s->end && obxIsSpace((unsigned char)*p)) p++;
  s->p = p;
}

// "%<max>s": skips blanks and takes up to max non-blank bytes. Returns the
// token's length (its bytes stay in the input, at *token), 0 at the end of
// the input. A longer run of non-blank bytes is split after max bytes, and
// the rest is the next token, as a width-limited "%s" does.
inline size_t obxScanToken(ObxScanner* s, size_t max, const char** token) {
  obxSkipSpace(s);
  const char* start = s->p;
  const char* limit = (size_t(s->end - start) > max) ? start + max : s->end;
  const char* p = start;
  while (p < limit && !obxIsSpace((unsigned char)*p)) p++;
  s->p = p;
  *token = start;
  return size_t(p - start);
}

// fgets with a buffer of max + 1 bytes: takes up to max bytes, up to and
// including the next line feed. Returns the length, 0 at the end of input.
inline size_t obxScanLine(ObxScanner* s, size_t max, const char** line) {
  const char* start = s->p;
  size_t avail = size_t(s->end - start);
  size_t n = avail < max ? avail : max;
  const void* feed = memchr(start, '\n', n);
  if (feed) n = size_t(static_cast<const char*>(feed) - start) + 1;
  s->p = start + n;
  *line = start;
  return n;
}

// "%d" and "%u" of a 32-bit int. The value is what the C library stores:
// strtol/strtoul of the digits, cut to 32 bits (so "%u" of "-1" gives
// 0xFFFFFFFF). *outOfRange is set when the number lies outside
// [-2^31, 2^32 - 1], where that cut no longer keeps its meaning; it is left
// alone otherwise. The two conversions consume the same bytes.
template <bool Signed>
inline int obxScanInt(ObxScanner* s, uint32_t* value, bool* outOfRange) {
  obxSkipSpace(s);
  const char* p = s->p;
  if (p == s->end) return OBX_SCAN_EOF;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    p++;
  }
  // A sign stays consumed when no digit follows: one byte of push-back
  // gives back only the byte after it.
  if (p == s->end || !obxIsDigit((unsigned char)*p)) {
    s->p = p;
    return 0;
  }
  // Nineteen digits always fit in 64 bits; only longer runs need checks.
  uint64_t magnitude = 0;
  const char* limit = (s->end - p > 19) ? p + 19 : s->end;
  do {
    magnitude = magnitude * 10 + uint64_t(*p - '0');
    p++;
  } while (p < limit && obxIsDigit((unsigned char)*p));
  bool saturated = false;
  for (; p < s->end && obxIsDigit((unsigned char)*p); p++) {
    uint64_t next;
    if (__builtin_mul_overflow(magnitude, 10u, &next) ||
        __builtin_add_overflow(next, uint64_t(*p - '0'), &next))
      saturated = true;
    else
      magnitude = next;
  }
  s->p = p;

  uint64_t bits;  // the long or unsigned long that strtol/strtoul return
  if (Signed) {
    const uint64_t largest = uint64_t(INT64_MAX) + (negative ? 1u : 0u);
    if (saturated || magnitude > largest) magnitude = largest;
    bits = negative ? uint64_t(0) - magnitude : magnitude;
  } else {
    bits = saturated ? UINT64_MAX : (negative ? uint64_t(0) - magnitude : magnitude);
  }
  *value = uint32_t(bits);
  if (saturated || magnitude > (negative ? uint64_t(INT32_MAX) + 1u : uint64_t(UINT32_MAX)))
    *outOfRange = true;
  return 1;
}

// Converts the bytes that "%f" took. Plain decimals go through
// std::from_chars; the forms it does not take (a leading '+', hex, inf,
// nan) and values out of float range go through strtof, as the C library
// converts them. Returns false when nothing converts.
inline bool obxConvertFloat(const char* start, const char* end, float* value) {
  if (*start != '+') {
    auto result = std::from_chars(start, end, *value);
    if (result.ec == std::errc() && result.ptr == end) return true;
    if (result.ec == std::errc::invalid_argument) return false;
  }
  char small[64];
  size_t length = size_t(end - start);
  char* copy = length < sizeof small ? small : static_cast<char*>(malloc(length + 1));
  if (!copy) return false;  // a pathological run of digits and no memory
  memcpy(copy, start, length);
  copy[length] = '\0';
  char* stop;
  float converted = strtof(copy, &stop);
  bool ok = stop != copy;
  if (copy != small) free(copy);
  if (ok) *value = converted;
  return ok;
}

// "%f" by the full rules, from the first non-blank byte at s->p (see
// obxScanFloat). Out of line: plain numbers never come here.
template <bool Convert>
__attribute__((noinline)) int obxScanFloatSlow(ObxScanner* s, float* value) {
  const char* p = s->p;
  const char* end = s->end;
  const char* start = p;

  bool sign = false;
  if (*p == '-' || *p == '+') {
    sign = true;
    p++;
    if (p == end) {
      s->p = p;
      return 0;
    }
  }
  char c = obxLower(*p);
  if (c == 'n' || c == 'i') {
    const char* word = c == 'n' ? "nan" : "infinity";
    size_t need = 3;
    for (size_t i = 0; i < need; i++) {
      if (p == end) {
        s->p = p;
        return 0;
      }
      if (obxLower(*p) != word[i]) {
        s->p = p + 1;  // the mismatching byte is not given back
        return 0;
      }
      p++;
    }
    // "inf" may go on as "infinity"; anything else after it is given back.
    if (c == 'i' && p < end && obxLower(*p) == 'i') {
      for (size_t i = 3; i < 8; i++) {
        if (p == end) {
          s->p = p;
          return 0;
        }
        if (obxLower(*p) != word[i]) {
          s->p = p + 1;
          return 0;
        }
        p++;
      }
    }
    s->p = p;
    if (Convert) {
      float magnitude = c == 'n' ? __builtin_nanf("") : __builtin_inff();
      *value = *start == '-' ? -magnitude : magnitude;
    }
    return 1;
  }

  bool hex = false, digit = false, dot = false, exponent = false;
  char exponentChar = 'e';
  if (*p == '0') {
    p++;
    if (p < end && obxLower(*p) == 'x') {
      hex = true;
      exponentChar = 'p';
      p++;
    } else {
      digit = true;
    }
  }
  for (; p < end; p++) {
    char b = *p;
    if (obxIsDigit((unsigned char)b) ||
        (hex && !exponent && ((b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F')))) {
      digit = true;
    } else if (exponent && obxLower(p[-1]) == exponentChar && (b == '-' || b == '+')) {
    } else if (digit && !exponent && obxLower(b) == exponentChar) {
      exponent = dot = true;
    } else if (!dot && b == '.') {
      dot = true;
    } else {
      break;
    }
  }
  s->p = p;
  size_t collected = size_t(p - start);
  if (collected == (sign ? 1u : 0u) + (hex ? 2u : 0u)) return 0;
  if (!Convert) {
    // Whether the C library's strtof takes anything of the collected bytes:
    // it needs a digit, or for hex "0x" without digits it still takes "0".
    return (digit || hex) ? 1 : 0;
  }
  return obxConvertFloat(start, p, value) ? 1 : 0;
}

// "%f", the C library's way: it collects the longest run that could begin a
// number (sign, digits, one point, exponent with its sign; "0x" and hex
// digits; "inf", "infinity", "nan"), gives back only the byte that stopped
// it, and converts what it collected. A mismatch inside "inf"/"nan" keeps
// the mismatching byte consumed. With Convert false, only the consumption
// and the result are computed (the counting pass needs nothing more).
template <bool Convert>
inline int obxScanFloat(ObxScanner* s, float* value) {
  obxSkipSpace(s);
  const char* p = s->p;
  const char* end = s->end;
  if (p == end) return OBX_SCAN_EOF;

  // Plain decimals, -?digits[.digits][e[+-]digits] or -?.digits..., that end
  // at a blank or at the end of input are collected whole by the C library
  // and taken whole by from_chars; everything else takes the full rules.
  const bool negative = *p == '-';
  const char* q = p + negative;
  uint64_t mantissa = 0;  // the digits, while there are at most 19
  int count = 0, fraction = 0;
  while (q < end && obxIsDigit((unsigned char)*q))
    mantissa = mantissa * 10 + uint64_t(*q++ - '0'), count++;
  if (q < end && *q == '.') {
    q++;
    const char* first = q;
    while (q < end && obxIsDigit((unsigned char)*q))
      mantissa = mantissa * 10 + uint64_t(*q++ - '0');
    fraction = int(q - first);
    count += fraction;
  }
  bool plain = count > 0;
  int exponent = 0;
  if (plain && q < end && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    bool negativeExponent = false;
    if (e < end && (*e == '-' || *e == '+')) negativeExponent = *e++ == '-';
    plain = e < end && obxIsDigit((unsigned char)*e);
    const char* first = e;
    while (e < end && obxIsDigit((unsigned char)*e)) {
      if (e - first < 6) exponent = exponent * 10 + (*e - '0');
      e++;
    }
    if (e - first >= 6) exponent = 100000;  // far outside the short path below
    if (negativeExponent) exponent = -exponent;
    q = e;
  }
  if (plain && (q == end || obxIsSpace((unsigned char)*q))) {
    if (!Convert) {
      s->p = q;
      return 1;
    }
    // Few digits and a small power of ten: both are exact floats, and one
    // float multiplication or division rounds correctly, as the C library
    // does. Everything else goes through from_chars.
    static const float powers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                     1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const int power = exponent - fraction;
    if (count <= 19 && mantissa <= (uint64_t(1) << 24) && power >= -10 && power <= 10) {
      float magnitude =
          power < 0 ? float(mantissa) / powers[-power] : float(mantissa) * powers[power];
      *value = negative ? -magnitude : magnitude;
      s->p = q;
      return 1;
    }
    float parsed;
    auto result = std::from_chars(p, q, parsed);
    if (result.ec == std::errc() && result.ptr == q) {
      *value = parsed;
      s->p = q;
      return 1;
    }
  }
  return obxScanFloatSlow<Convert>(s, value);
}

// Matches one literal byte of a format: 1 when it matches (consumed), 0 when
// another byte stands there (not consumed), OBX_SCAN_EOF at the end.
inline int obxScanLiteral(ObxScanner* s, char literal) {
  if (s->p == s->end) return OBX_SCAN_EOF;
  if (*s->p != literal) return 0;
  s->p++;
  return 1;
}

// The four forms of a face item, each with its scan format.
enum ObxItemForm {
  OBX_FORM_V,    // "%d"
  OBX_FORM_VT,   // "%d/%d"
  OBX_FORM_VTN,  // "%d/%d/%d"
  OBX_FORM_VN,   // "%d//%d"
};

// Scans one face item of the given form, as fscanf with the form's format:
// fields[0] = v, fields[1] = t, fields[2] = n receive the values converted
// (the others keep theirs). Returns the number of values converted, or
// OBX_SCAN_EOF when the input ends before the first.
template <bool Signed>
inline int obxScanItem(ObxScanner* s, ObxItemForm form, uint32_t fields[3], bool* outOfRange) {
  int first = obxScanInt<Signed>(s, &fields[0], outOfRange);
  if (first != 1 || form == OBX_FORM_V) return first;
  if (obxScanLiteral(s, '/') != 1) return 1;
  if (form == OBX_FORM_VN) {
    if (obxScanLiteral(s, '/') != 1) return 1;
    return obxScanInt<Signed>(s, &fields[2], outOfRange) == 1 ? 2 : 1;
  }
  if (obxScanInt<Signed>(s, &fields[1], outOfRange) != 1) return 1;
  if (form == OBX_FORM_VT) return 2;
  if (obxScanLiteral(s, '/') != 1) return 2;
  return obxScanInt<Signed>(s, &fields[2], outOfRange) == 1 ? 3 : 2;
}

// "%f %f ..." with count conversions into values (those that fail keep
// their old contents). Returns the number converted or OBX_SCAN_EOF.
template <bool Convert>
inline int obxScanFloats(ObxScanner* s, int count, float* values) {
  for (int i = 0; i < count; i++) {
    int result = obxScanFloat<Convert>(s, &values[i]);
    if (result != 1) return (i == 0) ? result : i;
  }
  return count;
}

// ---- Quick paths over eight bytes at a time -------------------------------
//
// The readers' common numbers are short runs of digits. These take them
// eight bytes at a time, without a branch per byte; each quick scan either
// does exactly what its exact counterpart above would do or leaves the
// cursor as it was (blanks aside) and lets the exact scan do it. They read
// up to OBX_QUICK_MARGIN bytes ahead, so they run only that far from the end.

#define OBX_QUICK_MARGIN 48

inline uint64_t obxLoad8(const char* p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return word;  // little-endian: p[0] is the lowest byte
}

// The number of leading ASCII digits among the eight bytes of word.
inline int obxDigitCount8(uint64_t word) {
  const uint64_t d = word ^ 0x3030303030303030ull;  // digits become 0..9
  // High bit of a byte set unless it is 0..9; no carry crosses bytes.
  const uint64_t other =
      (((d & 0x7F7F7F7F7F7F7F7Full) + 0x7676767676767676ull) | d) & 0x8080808080808080ull;
  return other ? __builtin_ctzll(other) >> 3 : 8;
}

// The value of the first count (1..8) digits of word.
inline uint32_t obxDigitValue8(uint64_t word, int count) {
  uint64_t v = (word & 0x0F0F0F0F0F0F0F0Full) << (8 * (8 - count));  // leading zeros
  v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFull;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFull;
  v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFull;
  return uint32_t(v);
}

// Leading digits at p, up to 16 (16 means "16 or more"), and their value.
__attribute__((always_inline)) inline int obxDigitRun16(const char* p, uint64_t* value) {
  const uint64_t low = obxLoad8(p);
  const int n = obxDigitCount8(low);
  if (n < 8) {
    *value = n ? obxDigitValue8(low, n) : 0;
    return n;
  }
  const uint64_t high = obxLoad8(p + 8);
  const int m = obxDigitCount8(high);
  static const uint32_t scale[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  *value = uint64_t(obxDigitValue8(low, 8)) * scale[m] + (m ? obxDigitValue8(high, m) : 0);
  return 8 + m;
}

// obxScanFloat for plain decimals, -?digits[.digits] of at most 15 digits
// on each side of the point, ending at a blank: the same consumption,
// result and value as obxScanFloat. Everything else is left to it.
template <bool Convert>
__attribute__((always_inline)) inline int obxScanFloatQuick(ObxScanner* s, float* value) {
  obxSkipSpace(s);
  const char* p = s->p;
  const char* const end = s->end;
  if (end - p < OBX_QUICK_MARGIN) return obxScanFloat<Convert>(s, value);
  const bool negative = *p == '-';
  const char* q = p + negative;
  uint64_t whole, fraction = 0;
  const int digits = obxDigitRun16(q, &whole);
  q += digits;
  int fractionDigits = 0;
  if (*q == '.') {
    fractionDigits = obxDigitRun16(q + 1, &fraction);
    q += 1 + fractionDigits;
  }
  if (digits == 16 || fractionDigits == 16 || digits + fractionDigits == 0 ||
      !obxIsSpace((unsigned char)*q))
    return obxScanFloat<Convert>(s, value);
  if (Convert) {
    static const uint64_t powers[16] = {1,
                                        10,
                                        100,
                                        1000,
                                        10000,
                                        100000,
                                        1000000,
                                        10000000,
                                        100000000,
                                        1000000000,
                                        10000000000ull,
                                        100000000000ull,
                                        1000000000000ull,
                                        10000000000000ull,
                                        100000000000000ull,
                                        1000000000000000ull};
    static const double inverses[16] = {1e0,  1e-1, 1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                        1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};
    if (digits + fractionDigits > 15) return obxScanFloat<Convert>(s, value);
    // Fifteen digits fit a double exactly.
    const uint64_t mantissa = whole * powers[fractionDigits] + fraction;
    float magnitude = 0.0f;
    if (mantissa != 0) {
      // The mantissa times the nearest double to the power of ten is within
      // two units in the last place of the double from the exact value, and
      // rounding it to float gives the correctly rounded float unless it
      // lies that close to a point halfway between two floats. Floats below
      // the normal range have other halfway points. Those cases go the full
      // way.
      const double near = double(mantissa) * inverses[fractionDigits];
      uint64_t bits;
      memcpy(&bits, &near, sizeof bits);
      const uint64_t low = bits & 0x1FFFFFFFull;  // the bits that rounding to float drops
      if (low - (0x10000000ull - 4) <= 8 || near < 1e-30) return obxScanFloat<Convert>(s, value);
      magnitude = float(near);
    }
    *value = negative ? -magnitude : magnitude;
  }
  s->p = q;
  return 1;
}

template <bool Convert>
inline int obxScanFloatsQuick(ObxScanner* s, int count, float* values) {
  for (int i = 0; i < count; i++) {
    int result = obxScanFloatQuick<Convert>(s, &values[i]);
    if (result != 1) return (i == 0) ? result : i;
  }
  return count;
}

#if defined(__SSE2__)
// A line of plain decimals as bit masks of its bytes (bit i for p[i]).
struct ObxNumberLine {
  uint64_t first;  // first byte of each number
  uint64_t digit;  // digits
  uint64_t point;  // decimal points
  uint64_t exp;    // the 'e' or 'E' of each exponent
  int feed;        // offset of the line feed
};

// Whether the bytes at p up to a line feed within the next 63 bytes hold
// at least count plain decimals (-?digits[.digits] or -?.digits, at least
// one digit each, then maybe an exponent: e or E right after a digit, an
// optional sign, digits) and blanks only; fills *line when they do.
__attribute__((always_inline)) inline bool obxNumberLineMasks(const char* p, const char* end,
                                                              int count, ObxNumberLine* line) {
  if (end - p < 64) return false;
  uint64_t feed = 0, blank = 0, digit = 0, dot = 0, minus = 0;
  // Sixteen bytes at a time, until a line feed has come.
  int parts = 0;
  for (; parts < 4 && !feed; parts++) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * parts));
    const __m128i space = _mm_cmpeq_epi8(c, _mm_set1_epi8(' '));
    // Signed compares: bytes from 0x80 up are negative and in no class.
    const __m128i control = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('\t' - 1)),
                                          _mm_cmplt_epi8(c, _mm_set1_epi8('\r' + 1)));
    const __m128i digits = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                         _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
    const int shift = 16 * parts;
    feed |= uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n')))) << shift;
    blank |= uint64_t(_mm_movemask_epi8(_mm_or_si128(space, control))) << shift;
    digit |= uint64_t(_mm_movemask_epi8(digits)) << shift;
    dot |= uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('.')))) << shift;
    minus |= uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('-')))) << shift;
  }
  feed &= 0x7FFFFFFFFFFFFFFFull;  // the line feed within 63 bytes: bit 63 stays free
  if (!feed) return false;
  const uint64_t bytes = (feed & (0u - feed)) - 1;  // the bytes before it
  digit &= bytes, dot &= bytes, minus &= bytes;
  uint64_t word = digit | dot | minus;
  uint64_t exp = 0, plus = 0;
  if ((word | (blank & bytes)) != bytes) {
    // Only a line with other bytes looks for exponents (e or E, a plus).
    for (int part = 0; part < parts; part++) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
      const int shift = 16 * part;
      plus |= uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('+')))) << shift;
      exp |= uint64_t(_mm_movemask_epi8(
                 _mm_cmpeq_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'))))
             << shift;
    }
    exp &= bytes, plus &= bytes;
    word |= exp | plus;
    if (!exp || (word | (blank & bytes)) != bytes) return false;
  }
  const uint64_t first = word & ~(word << 1);  // first byte of each number
  const uint64_t last = word & ~(word >> 1);   // last byte of each number
  // A minus only in front or right after an exponent's e, a plus only
  // there; each number ends in a digit or in a point after a digit (so it
  // has a digit); a point and the digits after it are followed by no
  // second point (the carry runs through those digits).
  if (last & ~(digit | (dot & (digit << 1)))) return false;
  if (((digit + (dot << 1)) & ~digit) & dot) return false;
  if (!exp) {
    if (minus & ~first) return false;
  } else {
    const uint64_t exponentSign = (minus | plus) & (exp << 1);
    if ((minus & ~(first | exponentSign)) | (plus & ~exponentSign)) return false;
    // An e comes right after a digit and before digits, maybe signed; the
    // number ends with those digits (no point, e or sign after them).
    if (exp & ~(digit << 1)) return false;
    const uint64_t exponentDigits = ((exp << 1) & ~exponentSign) | (exponentSign << 1);
    if (exponentDigits & ~digit) return false;
    if (((digit + exponentDigits) & ~digit) & word) return false;
  }
  uint64_t rest = first;
  for (int i = 1; i < count; i++) rest &= rest - 1;  // drops count - 1 numbers
  if (!rest) return false;
  *line = {first, digit, dot, exp, __builtin_ctzll(feed)};
  return true;
}
#endif

// For the counting pass, which keeps no values: whether the bytes at p up
// to a line feed within the next 63 bytes hold at least count plain
// decimals and blanks only (see obxNumberLineMasks). Scanning count numbers
// with obxScanFloat<false> then ends among that line's blanks, and any
// further number is a statement of its own whose line read ends at the
// same line feed: either way the next token comes after the line feed,
// which is returned. NULL for anything else, which the exact scan takes.
inline const char* obxQuickNumberLine(const char* p, const char* end, int count) {
#if defined(__SSE2__)
  ObxNumberLine line;
  return obxNumberLineMasks(p, end, count, &line) ? p + line.feed : NULL;
#else
  (void)p, (void)end, (void)count;
  return NULL;
#endif
}

// For the storing pass: obxQuickNumberLine, and the values of the line's
// first Count numbers into values, as obxScanFloat<true> converts them.
// Numbers of more than fifteen digits, and those whose conversion below
// cannot be trusted to round as the exact scan does, leave the line (and
// values) to the exact scan: NULL. Reads from 16 bytes before p on, but
// not before begin.
template <int Count>
inline const char* obxQuickVertexLine(const char* begin, const char* p, const char* end,
                                      float* values) {
#if defined(__SSE2__)
  ObxNumberLine line;
  if (p - begin < 16 || end - p < 64 || !obxNumberLineMasks(p, end, Count, &line)) return NULL;
  // Powers of ten from 1e-40 to 1e22, each the nearest double: those up to
  // 1e22 are exact.
  static const double tens[63] = {
      1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28,
      1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15,
      1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,
      1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,
      1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22};
  // Windows of sixteen bytes into these pick the bytes of a number, its
  // digits before the point and those after it.
  static const uint8_t tail[32] = {0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
                                   0,   0,   0,   0,   0,   0xF, 0xF, 0xF, 0xF, 0xF, 0xF,
                                   0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF};
  static const uint8_t sides[48] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const __m128i zero = _mm_setzero_si128();
  float converted[Count];
  uint64_t first = line.first;
  bool odd = false;  // some number goes the exact way
#pragma GCC unroll 3
  for (int i = 0; i < Count; i++) {
    const int start = __builtin_ctzll(first);
    first &= first - 1;
    const bool negative = p[start] == '-';
    const int q = start + negative;
    const int whole = __builtin_ctzll(~(line.digit >> q));
    const int at = q + whole;  // where a point would be
    const bool point = (line.point >> at) & 1;
    const int fraction = point ? __builtin_ctzll(~(line.digit >> (at + 1))) : 0;
    // A longer number goes the exact way, and before its windows are
    // loaded: sixteen bytes from it may reach past the input's end, and
    // its length past the tables.
    if (whole + fraction > 15) return NULL;
    const int window = fraction;
    const int length = whole + point + fraction;  // bytes after the sign
    // The sixteen bytes that end with the number, as digit values: the
    // bytes before it cleared, those before the point moved up over it.
    const __m128i text =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + q + length - 16)),
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + length)));
    const __m128i before =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(sides + (point ? window + 1 : 16)));
    const __m128i after =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(sides + (point ? 16 + window : 32)));
    const __m128i digits =
        _mm_or_si128(_mm_slli_si128(_mm_and_si128(text, before), 1), _mm_and_si128(text, after));
    // Pairs, fours and eights of digits: two eight-digit halves.
    const __m128i twos =
        _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(digits, zero), _mm_set1_epi32(0x1000A)),
                        _mm_madd_epi16(_mm_unpackhi_epi8(digits, zero), _mm_set1_epi32(0x1000A)));
    const __m128i fours = _mm_madd_epi16(twos, _mm_set1_epi32(0x10064));
    const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(0x12710));
    const uint64_t halves = uint64_t(_mm_cvtsi128_si64(eights));
    const uint64_t mantissa = (halves & 0xFFFFFFFFu) * 100000000u + (halves >> 32);
    int power = -fraction;
    const int e = q + length;
    if ((line.exp >> e) & 1) {
      // An exponent of up to three digits; longer ones go the exact way.
      const bool hasSign = p[e + 1] == '-' || p[e + 1] == '+';
      const int from = e + 1 + hasSign;
      const int places = __builtin_ctzll(~(line.digit >> from));
      if (places > 3) return NULL;
      int value = 0;
      for (int k = 0; k < places; k++) value = value * 10 + (p[from + k] - '0');
      power += p[e + 1] == '-' ? -value : value;
      if (power < -40 || power > 22) return NULL;
    }
    // As in obxScanFloatQuick: fifteen digits are exact in a double, and
    // the product (within two units in the last place of the double, the
    // power of ten being the nearest double) is the correctly rounded float
    // unless it lies next to a halfway point or below the normal range.
    // Fifteen digits times at most 1e22 stay far below the largest float.
    const double near = double(int64_t(mantissa)) * tens[power + 40];
    uint64_t bits;
    memcpy(&bits, &near, sizeof bits);
    odd |= ((bits & 0x1FFFFFFFull) - (0x10000000ull - 4) <= 8) | ((near < 1e-30) & (mantissa != 0));
    const float magnitude = float(near);
    converted[i] = negative ? -magnitude : magnitude;
  }
  if (odd) return NULL;
  for (int i = 0; i < Count; i++) values[i] = converted[i];
  return p + line.feed;
#else
  (void)begin, (void)p, (void)end, (void)values;
  return NULL;
#endif
}

#if defined(__SSE2__)
// Classes of the sixteen bytes at p, one bit per byte: line feeds, blanks
// (as obxIsSpace), digits and slashes.
struct ObxFaceBytes {
  uint32_t feed, blank, digit, slash;
};

inline ObxFaceBytes obxClassifyFace16(const char* p) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i space = _mm_cmpeq_epi8(c, _mm_set1_epi8(' '));
  // Signed compares: bytes from 0x80 up are negative and in no class.
  const __m128i control = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('\t' - 1)),
                                        _mm_cmplt_epi8(c, _mm_set1_epi8('\r' + 1)));
  const __m128i digits = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                       _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
  return {uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n')))),
          uint32_t(_mm_movemask_epi8(_mm_or_si128(space, control))),
          uint32_t(_mm_movemask_epi8(digits)),
          uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('/'))))};
}

// The classes of up to 64 bytes at p, one bit per byte, sixteen bytes at a
// time up to the first block that holds a line feed (later bits stay 0).
struct ObxFaceBytes64 {
  uint64_t feed, blank, digit, slash;
};

inline ObxFaceBytes64 obxClassifyFace64(const char* p) {
  ObxFaceBytes64 all = {0, 0, 0, 0};
  for (int part = 0; part < 4 && !all.feed; part++) {
    const ObxFaceBytes bytes = obxClassifyFace16(p + 16 * part);
    const int shift = 16 * part;
    all.feed |= uint64_t(bytes.feed) << shift;
    all.blank |= uint64_t(bytes.blank) << shift;
    all.digit |= uint64_t(bytes.digit) << shift;
    all.slash |= uint64_t(bytes.slash) << shift;
  }
  return all;
}

inline int obxLowestBit(uint64_t mask) { return __builtin_ctzll(mask); }
inline int obxLowestBit(unsigned __int128 mask) {
  const uint64_t low = uint64_t(mask);
  return low ? __builtin_ctzll(low) : 64 + __builtin_ctzll(uint64_t(mask >> 64));
}

// What obxFaceLineItems found besides the count, for the storing pass.
template <typename Mask>
struct ObxFaceLayout {
  ObxItemForm form;
  Mask digit;  // the line's digits
};

// The items of a face line given as bit masks of its bytes (see
// obxQuickFaceLine); Mask is 64 or 128 bits wide, and feeds has its top bit
// clear, so the byte after the line feed is among those loaded. layout, when
// not NULL, receives the form and the digits.
template <typename Mask>
inline int obxFaceLineItems(const char* p, Mask feeds, Mask blank, Mask digit, Mask slash,
                            const char** feed, ObxFaceLayout<Mask>* layout = NULL) {
  const Mask one = 1;
  const int at = obxLowestBit(feeds);
  const unsigned char next = (unsigned char)p[at + 1];
  if (next <= ' ' || obxIsDigit(next) || next == '+' || next == '-') return 0;
  const Mask line = (one << at) - 1;
  digit &= line, slash &= line;
  const Mask word = digit | slash;
  if ((word | (blank & line)) != line) return 0;
  const Mask first = word & ~(word << 1);  // first byte of each item
  const Mask last = word & ~(word >> 1);   // last byte of each item
  if (!first || ((first | last) & ~digit)) return 0;
  // Where the digits after each marked slash end: the carry runs through them.
  auto after = [&](Mask marks) { return Mask((digit + (marks << 1)) & ~digit); };
  // The layout of the first item decides the form; every item must have it.
  const Mask start = first & (0 - first);
  const Mask item = word & ~((word + start) | (start - 1));  // the first item's bytes
  const Mask itemSlash = slash & item;
  const int slashes = !itemSlash ? 0 : !(itemSlash & (itemSlash - 1)) ? 1 : 2;
  const bool twice = (itemSlash & (itemSlash << 1)) != 0;
  if (slashes == 0) {
    if (slash) return 0;
  } else if (twice) {  // "7//9"
    const Mask second = slash & (slash << 1);
    const Mask opening = slash & (slash >> 1);
    if ((opening | second) != slash || (opening & second)) return 0;
    const Mask reach = after(second);
    if ((reach & slash) || ((last << 1) & ~reach)) return 0;
  } else if (slashes <= 2) {  // "7/8" or "7/8/9"
    if (slash & (slash << 1)) return 0;
    Mask reach = after(slash & ~after(slash));  // from each item's first slash
    if (slashes == 2) reach = after(reach & slash);
    if ((reach & slash) || ((last << 1) & ~reach)) return 0;
  } else {
    return 0;
  }
  int items = 0;
  for (Mask rest = first; rest; rest &= rest - 1) items++;
  *feed = p + at;
  if (layout) {
    layout->form = slashes == 0   ? OBX_FORM_V
                   : twice        ? OBX_FORM_VN
                   : slashes == 1 ? OBX_FORM_VT
                                  : OBX_FORM_VTN;
    layout->digit = digit;
  }
  return items;
}
#endif

// For the storing pass: obxQuickFaceLine for a line within 63 bytes of
// three to Max items whose numbers have at most eight digits, and the form
// and the numbers of each item as obxScanItem<false> stores them: v in
// items[k][0], t in [1], n in [2], as far as the form has them. Returns the
// number of items, 0 for any other line (items then hold nothing of use).
// Longer lines gain nothing from being read at once.
template <int Max>
inline int obxQuickFaceValues(const char* p, const char* end, ObxItemForm* form,
                              uint32_t items[][3], const char** feed) {
#if defined(__SSE2__)
  if (end - p < 128) return 0;  // the numbers are read eight bytes at a time
  const ObxFaceBytes64 low = obxClassifyFace64(p);
  uint64_t feeds = low.feed;
  const uint64_t blank = low.blank, digit = low.digit, slash = low.slash;
  feeds &= 0x7FFFFFFFFFFFFFFFull;
  if (!feeds) return 0;
  ObxFaceLayout<uint64_t> layout;
  const char* lineEnd;
  const int count = obxFaceLineItems<uint64_t>(p, feeds, blank, digit, slash, &lineEnd, &layout);
  if (count < 3 || count > Max) return 0;
  // Each item has the form's numbers, one run of digits each, in order.
  const int numbers = layout.form == OBX_FORM_V ? 1 : layout.form == OBX_FORM_VTN ? 3 : 2;
  const int slot2 = layout.form == OBX_FORM_VN ? 2 : 1;
  uint64_t runs = layout.digit & ~(layout.digit << 1);
  for (int k = 0; k < count; k++) {
    for (int j = 0; j < numbers; j++) {
      const int start = __builtin_ctzll(runs);
      runs &= runs - 1;
      const int length = __builtin_ctzll(~(layout.digit >> start));
      if (length > 8) return 0;
      items[k][j == 0 ? 0 : j == 1 ? slot2 : 2] = obxDigitValue8(obxLoad8(p + start), length);
    }
  }
  *form = layout.form;
  *feed = lineEnd;
  return count;
#else
  (void)p, (void)end, (void)form, (void)items, (void)feed;
  return 0;
#endif
}

// For the counting pass: the items of a face whose rest of line at p, up to
// a line feed within the next 127 bytes, is blanks and items of plain
// digits in the form's layout (form OBX_FORM_V: "7", VT: "7/8", VTN:
// "7/8/9", VN: "7//9"), and whose next line begins at once with a byte that
// no item can begin with (neither blank, digit nor sign). The exact scan
// would take those items, decide the form from the first, and stop before
// that byte, skipping only the line feed. Returns the number of items, 0
// when the line is of any other kind; *feed is then left alone.
inline int obxQuickFaceLine(const char* p, const char* end, const char** feed) {
#if defined(__SSE2__)
  if (end - p < 64) return 0;
  const ObxFaceBytes64 low = obxClassifyFace64(p);
  const uint64_t feeds = low.feed;
  const uint64_t blank = low.blank, digit = low.digit, slash = low.slash;
  if (feeds & 0x7FFFFFFFFFFFFFFFull)  // the byte after the line feed is loaded
    return obxFaceLineItems<uint64_t>(p, feeds & 0x7FFFFFFFFFFFFFFFull, blank, digit, slash, feed);
  // Long items, as with all three indices of a big model, or a line feed
  // in the last byte: the next 64 bytes.
  if (end - p < 128) return 0;
  // A line feed in the last byte ends the line there: nothing more to read.
  const ObxFaceBytes64 high = feeds ? ObxFaceBytes64{0, 0, 0, 0} : obxClassifyFace64(p + 64);
  typedef unsigned __int128 Mask;
  const uint64_t feedsHigh = high.feed & 0x7FFFFFFFFFFFFFFFull;
  if (!(feeds | feedsHigh)) return 0;
  auto join = [](uint64_t lowBits, uint64_t highBits) {
    return Mask(lowBits) | (Mask(highBits) << 64);
  };
  return obxFaceLineItems<Mask>(p, join(feeds, feedsHigh), join(blank, high.blank),
                                join(digit, high.digit), join(slash, high.slash), feed);
#else
  (void)p, (void)end, (void)feed;
  return 0;
#endif
}

#endif  // OBX_SCAN_H
