// The OBJ reader, its groups, and the byte scanner under both readers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "obx/obx.h"
#include "obx/scan.h"
#include "support.h"

// The reader's switch for its fast paths (obx/obx.cpp); on by default.
extern bool obxReaderFastPaths;

namespace {

using ostrel_test::stderrOfChild;
using ostrel_test::TempDir;
using testing::Eq;
using testing::ExitedWithCode;

// ---- Scanner against the C library ---------------------------------------

// Random text made of what number and item scans care about: digits, signs,
// points, exponents, hex and inf/nan letters, slashes, blanks, line ends, and
// now and then a long run of one kind.
std::string randomInput(std::mt19937& rng) {
  static const char* const pieces[] = {"0",   "1",   "2",  "5",  "7",  "9",   "-",  "+",  ".",
                                       "e",   "E",   "x",  "X",  "p",  "a",   "f",  "i",  "n",
                                       "N",   "t",   "y",  "/",  "//", " ",   "\t", "\n", "\r\n",
                                       "inf", "nan", "0x", "e-", "e+", "1.5", "-0", "v",  "#"};
  const size_t count = sizeof pieces / sizeof pieces[0];
  std::string text;
  const int parts = 1 + int(rng() % 12);
  for (int i = 0; i < parts; i++) {
    if (rng() % 40 == 0) {
      const char runs[] = "9 0/";
      text.append(1 + rng() % 300, runs[rng() % 4]);
    } else {
      text += pieces[rng() % count];
    }
  }
  return text;
}

// A stream over text, as the readers' files were.
struct Stream {
  explicit Stream(const std::string& text)
      : file(fmemopen(const_cast<char*>(text.data()), text.size(), "r")) {}
  ~Stream() {
    if (file) fclose(file);
  }
  long position() const { return ftell(file); }
  FILE* file;
};

bool sameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof a) == 0;
}

const int kGenerated = 4000;

TEST(Scanner, integers_match_fscanf) {
  std::mt19937 rng(11);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    for (int sign = 0; sign < 2; sign++) {
      Stream stream(text);
      ASSERT_NE(stream.file, nullptr);
      uint32_t expected = 0xDEADBEEF;
      int result = fscanf(stream.file, sign ? "%d" : "%u", &expected);
      ObxScanner scan = {text.data(), text.data() + text.size()};
      uint32_t value = 0xDEADBEEF;
      bool outOfRange = false;
      int got = sign ? obxScanInt<true>(&scan, &value, &outOfRange)
                     : obxScanInt<false>(&scan, &value, &outOfRange);
      ASSERT_EQ(got, result) << '"' << text << "\" signed " << sign;
      ASSERT_EQ(value, expected) << '"' << text << "\" signed " << sign;
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
    }
  }
}

TEST(Scanner, floats_match_fscanf) {
  std::mt19937 rng(12);
  for (int i = 0; i < kGenerated * 2; i++) {
    std::string text = randomInput(rng);
    Stream stream(text);
    ASSERT_NE(stream.file, nullptr);
    float expected[3] = {-7, -7, -7};
    int result = fscanf(stream.file, "%f %f %f", &expected[0], &expected[1], &expected[2]);
    ObxScanner scan = {text.data(), text.data() + text.size()};
    float values[3] = {-7, -7, -7};
    ASSERT_EQ(obxScanFloats<true>(&scan, 3, values), result) << '"' << text << '"';
    for (int k = 0; k < 3; k++)
      ASSERT_TRUE(sameFloat(values[k], expected[k]))
          << '"' << text << "\" value " << k << ": " << values[k] << " vs " << expected[k];
    ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';

    // The counting pass's variant consumes the same and gives the same result.
    ObxScanner count = {text.data(), text.data() + text.size()};
    float ignored[3];
    ASSERT_EQ(obxScanFloats<false>(&count, 3, ignored), result) << '"' << text << '"';
    ASSERT_EQ(count.p, scan.p) << '"' << text << '"';
  }
}

TEST(Scanner, plain_decimals_convert_exactly_as_strtof) {
  // Short mantissas and small powers of ten take a short path; longer ones,
  // halfway cases and large exponents must agree all the same.
  std::mt19937 rng(15);
  for (int i = 0; i < kGenerated * 5; i++) {
    std::string text = (rng() % 3 == 0) ? "-" : "";
    const int digits = 1 + int(rng() % (rng() % 4 == 0 ? 24 : 9));
    const int point = int(rng() % (digits + 2)) - 1;  // -1: no point
    for (int d = 0; d < digits; d++) {
      if (d == point) text += '.';
      text += char('0' + rng() % 10);
    }
    if (rng() % 3 == 0) text += "e" + std::to_string(int(rng() % 31) - 15);
    text += rng() % 2 ? " " : "\n";
    ObxScanner scan = {text.data(), text.data() + text.size()};
    float value = -7;
    ASSERT_EQ(obxScanFloat<true>(&scan, &value), 1) << text;
    float expected = strtof(text.c_str(), nullptr);
    ASSERT_TRUE(sameFloat(value, expected)) << text << ": " << value << " vs " << expected;
    ASSERT_EQ(size_t(scan.p - text.data()), text.size() - 1) << text;
  }
}

TEST(Scanner, face_items_match_fscanf_in_every_form) {
  struct Form {
    ObxItemForm form;
    const char* format;
  };
  const Form forms[] = {{OBX_FORM_V, "%d"},
                        {OBX_FORM_VT, "%d/%d"},
                        {OBX_FORM_VTN, "%d/%d/%d"},
                        {OBX_FORM_VN, "%d//%d"}};
  std::mt19937 rng(13);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    for (const Form& form : forms) {
      Stream stream(text);
      ASSERT_NE(stream.file, nullptr);
      int expected[3] = {-7, -7, -7};
      int result;
      switch (form.form) {
        case OBX_FORM_V: result = fscanf(stream.file, "%d", &expected[0]); break;
        case OBX_FORM_VT: result = fscanf(stream.file, "%d/%d", &expected[0], &expected[1]); break;
        case OBX_FORM_VTN:
          result = fscanf(stream.file, "%d/%d/%d", &expected[0], &expected[1], &expected[2]);
          break;
        default: result = fscanf(stream.file, "%d//%d", &expected[0], &expected[2]); break;
      }
      ObxScanner scan = {text.data(), text.data() + text.size()};
      uint32_t fields[3] = {uint32_t(-7), uint32_t(-7), uint32_t(-7)};
      bool outOfRange = false;
      ASSERT_EQ(obxScanItem<true>(&scan, form.form, fields, &outOfRange), result)
          << '"' << text << "\" " << form.format;
      for (int k = 0; k < 3; k++) ASSERT_EQ(int(fields[k]), expected[k]) << '"' << text << '"';
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << "\" " << form.format;
    }
  }
}

TEST(Scanner, tokens_and_lines_match_fscanf_and_fgets) {
  std::mt19937 rng(14);
  for (int i = 0; i < kGenerated; i++) {
    std::string text = randomInput(rng);
    {
      Stream stream(text);
      char expected[128] = "unchanged";
      int result = fscanf(stream.file, "%127s", expected);
      ObxScanner scan = {text.data(), text.data() + text.size()};
      const char* token;
      size_t length = obxScanToken(&scan, 127, &token);
      ASSERT_EQ(length == 0 ? EOF : 1, result) << '"' << text << '"';
      if (result == 1) {
        ASSERT_EQ(std::string(token, length), expected);
      }
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
    }
    {
      Stream stream(text);
      char expected[128];
      bool read = fgets(expected, sizeof expected, stream.file) != NULL;
      ObxScanner scan = {text.data(), text.data() + text.size()};
      const char* line;
      size_t length = obxScanLine(&scan, 127, &line);
      ASSERT_EQ(length > 0, read) << '"' << text << '"';
      if (read) {
        ASSERT_EQ(std::string(line, length), expected);
      }
      ASSERT_EQ(scan.p - text.data(), stream.position()) << '"' << text << '"';
    }
  }
}

// The blank skip takes one space or line feed before a byte above ' ' in
// one test; every byte after every kind of blank run matches fscanf.
TEST(Scanner, blank_skip_matches_fscanf_before_every_byte) {
  static const char* const blanks[] = {"",   " ",  "\n",   "\t",   "\v",  "\f",
                                       "\r", "  ", "\n\n", "\r\n", " \t", "\n "};
  for (const char* blank : blanks) {
    for (int b = 1; b < 256; b++) {
      for (const char* tail : {"", "7 ", "x"}) {
        const std::string text = std::string(blank) + char(b) + tail;
        Stream tokenStream(text);
        char expected[128] = "unchanged";
        int result = fscanf(tokenStream.file, "%127s", expected);
        ObxScanner scan = {text.data(), text.data() + text.size()};
        const char* token;
        size_t length = obxScanToken(&scan, 127, &token);
        ASSERT_EQ(length == 0 ? EOF : 1, result) << b;
        if (result == 1) {
          ASSERT_EQ(std::string(token, length), expected) << b;
        }
        ASSERT_EQ(scan.p - text.data(), tokenStream.position()) << b;

        Stream floatStream(text);
        float value = 0, scanned = 0;
        result = fscanf(floatStream.file, "%f", &value);
        scan = {text.data(), text.data() + text.size()};
        ASSERT_EQ(obxScanFloat<true>(&scan, &scanned), result) << b;
        ASSERT_EQ(scan.p - text.data(), floatStream.position()) << b;
        if (result == 1) {
          ASSERT_TRUE(sameFloat(value, scanned)) << b;
        }
      }
    }
  }
}
TEST(Scanner, float_forms_outside_from_chars_convert_like_strtof) {
  const struct {
    const char* text;
    float value;
    long consumed;
  } cases[] = {
      {"+1.5 ", 1.5f, 4},        {"0x1p3 ", 8.0f, 5},   {"-inf ", -INFINITY, 4},
      {"Infinity", INFINITY, 8}, {"1e99", INFINITY, 4}, {"1ex", 1.0f, 2},
      {"1e+x", 1.0f, 3},         {"1.2.3", 1.2f, 3},    {"0x.p", 0.0f, 3},
  };
  for (const auto& c : cases) {
    ObxScanner scan = {c.text, c.text + strlen(c.text)};
    float value = -7;
    EXPECT_EQ(obxScanFloat<true>(&scan, &value), 1) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(scan.p - c.text, c.consumed) << c.text;
  }
}

// A plain decimal as the quick paths see them most: digits on either side
// of a point, now and then a sign, long runs, an exponent or an odd ending.
std::string randomDecimal(std::mt19937& rng) {
  std::string text;
  if (rng() % 3 == 0) text += "-+"[rng() % 8 == 0];
  const int whole = int(rng() % (rng() % 5 == 0 ? 20 : 4));
  for (int d = 0; d < whole; d++) text += char('0' + rng() % 10);
  if (rng() % 4 != 0) {
    text += '.';
    const int fraction = int(rng() % (rng() % 5 == 0 ? 20 : 10));
    for (int d = 0; d < fraction; d++) text += char('0' + rng() % 10);
  }
  if (rng() % 10 == 0) text += "e" + std::to_string(int(rng() % 9) - 4);
  if (rng() % 12 == 0) text += ".x/"[rng() % 3];
  return text;
}

TEST(Scanner, quick_floats_match_the_exact_scan) {
  // The quick scan must do exactly what the exact one does, also at every
  // distance from the end of the input, where it hands over.
  std::mt19937 rng(16);
  for (int i = 0; i < kGenerated * 5; i++) {
    std::string text;
    const int blanks = int(rng() % 3);
    for (int b = 0; b < blanks; b++) text += " \t\n"[rng() % 3];
    text += randomDecimal(rng);
    if (rng() % 2) text += rng() % 2 ? " " : "\n";
    if (rng() % 4 != 0) text += rng() % 2 ? randomInput(rng) : randomDecimal(rng);
    text.append(rng() % 60, rng() % 2 ? ' ' : '7');
    for (int convert = 0; convert < 2; convert++) {
      ObxScanner exact = {text.data(), text.data() + text.size()};
      ObxScanner quick = exact;
      float expected = -7, value = -7;
      int result =
          convert ? obxScanFloat<true>(&exact, &expected) : obxScanFloat<false>(&exact, &expected);
      int quickResult = convert ? obxScanFloatQuick<true>(&quick, &value)
                                : obxScanFloatQuick<false>(&quick, &value);
      ASSERT_EQ(quickResult, result) << '"' << text << '"';
      ASSERT_EQ(quick.p, exact.p) << '"' << text << '"';
      ASSERT_TRUE(sameFloat(value, expected))
          << '"' << text << "\": " << value << " vs " << expected;
    }
  }
}

TEST(Scanner, quick_floats_round_halfway_doubles_the_exact_way) {
  // Decimals whose double lies on or next to a point halfway between two
  // floats: rounding twice would go wrong there.
  const char* const cases[] = {"16777217",
                               "16777219",
                               "16777217.0",
                               "33554434",
                               "33554438",
                               "1.00000005960464477",
                               "0.000000059604644775",
                               "4097.00048828125",
                               "8388609.5",
                               "1.0000000596046448",
                               "0.0000000000000000000000000000000000117549435",
                               "123456789012345"};
  std::vector<std::string> texts(cases, cases + sizeof cases / sizeof cases[0]);
  // And decimals of at most fifteen digits right at and around the
  // halfway points of random floats.
  std::mt19937 rng(20);
  for (int i = 0; i < 20000; i++) {
    float f;
    uint32_t bits = 0x38D1B717u + uint32_t(rng() % (0x4E6E6B28u - 0x38D1B717u));  // 1e-4 .. 1e9
    memcpy(&f, &bits, sizeof f);
    const double halfway = (double(f) + double(nextafterf(f, INFINITY))) / 2;
    char text[64];
    snprintf(text, sizeof text, "%.*g", 8 + int(rng() % 8), halfway);
    if (strchr(text, 'e')) continue;
    texts.push_back(text);
  }
  for (const std::string& c : texts) {
    std::string text = c + " " + std::string(60, ' ');
    ObxScanner quick = {text.data(), text.data() + text.size()};
    float value = -7;
    ASSERT_EQ(obxScanFloatQuick<true>(&quick, &value), 1) << c;
    ASSERT_TRUE(sameFloat(value, strtof(c.c_str(), nullptr))) << c << ": " << value;
    ASSERT_EQ(size_t(quick.p - text.data()), c.size()) << c;
  }
}

// Runs the quick path for a count-number vertex line on text from begin (input
// is text's start, which it may read but must not take). When it takes the
// line, its values must be the exact scan's and it must stop at a line feed
// that the exact scan's statement does not pass; when it leaves the line,
// it must store nothing. *feed is where it stopped, or null.
void checkQuickVertexLine(const std::string& text, const char* input, const char* begin, int count,
                          const char** feed) {
  const char* end = text.data() + text.size();
  float values[3] = {-7, -7, -7}, expected[3] = {-7, -7, -7};
  *feed = count == 3 ? obxQuickVertexLine<3>(input, begin, end, values)
                     : obxQuickVertexLine<2>(input, begin, end, values);
  if (!*feed) {
    for (float value : values) ASSERT_EQ(value, -7) << '"' << text << '"';
    return;
  }
  ObxScanner exact = {begin, end};
  ASSERT_EQ(obxScanFloats<true>(&exact, count, expected), count) << '"' << text << '"';
  for (int k = 0; k < count; k++) {
    ASSERT_TRUE(sameFloat(values[k], expected[k]))
        << '"' << text << "\" number " << k << ": " << values[k] << " vs " << expected[k];
  }
  ASSERT_EQ(**feed, '\n');
  ASSERT_LE(exact.p, *feed) << '"' << text << '"';
}

TEST(Scanner, quick_vertex_lines_match_the_exact_scan) {
  // A whole v, vn or vt line at once must give the values the exact scan
  // gives, and end at the line feed only where the exact scan's statement
  // does too. Lines of random decimals, of halfway points between floats,
  // and of odd pieces, with text after them so that the quick path runs.
  std::mt19937 rng(31);
  auto halfway = [&] {
    float f;
    uint32_t bits = 0x38D1B717u + uint32_t(rng() % (0x4E6E6B28u - 0x38D1B717u));
    memcpy(&f, &bits, sizeof f);
    char text[64];
    snprintf(text, sizeof text, "%.*f", int(rng() % 12),
             (double(f) + double(nextafterf(f, INFINITY))) / 2);
    return std::string(text);
  };
  static const char* const odd[] = {"-", ".", "-.", "1.2.3", "--1", "x", "1e5", "+1", ""};
  int taken = 0;
  for (int i = 0; i < kGenerated * 5; i++) {
    const int count = 2 + int(rng() % 2);
    std::string text;
    const int numbers = rng() % 6 ? count : int(rng() % 5);
    for (int k = 0; k < numbers; k++) {
      text += " \t"[rng() % 8 == 0];
      const int kind = int(rng() % 12);
      text += kind < 7 ? randomDecimal(rng) : kind < 11 ? halfway() : odd[rng() % 9];
    }
    if (rng() % 4 == 0) text += " ";
    text += rng() % 8 ? "\n" : "\r\n";
    text += std::string(rng() % 4 ? 80 : rng() % 90, rng() % 2 ? ' ' : 'v');
    // The keyword and what stands before it, which the quick path may read
    // but must not take; mostly enough of it that the quick path runs.
    text.insert(0, std::string(rng() % 8 ? 16 : rng() % 16, 'v'));
    const char* input = text.data();
    const char* begin = input + text.find_first_not_of('v');
    const char* feed;
    ASSERT_NO_FATAL_FAILURE(checkQuickVertexLine(text, input, begin, count, &feed));
    if (!feed) continue;
    taken++;
    // The rest of the line is blanks and more numbers.
    ASSERT_EQ(memchr(begin, '\n', size_t(feed - begin)), nullptr) << '"' << text << '"';
  }
  // Many lines are plain enough for the quick path.
  EXPECT_GT(taken, kGenerated);
}

TEST(Scanner, quick_vertex_lines_with_exponents_match_the_exact_scan) {
  // Exponents in a whole line: every sign and case, leading zeros, powers
  // reaching past the doubles' exact ones and past the float range, halfway
  // points between floats written with an exponent, and malformed ones,
  // which only the exact scan may take.
  std::mt19937 rng(37);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  auto digits = [&](int n) {
    std::string t;
    for (int d = 0; d < n; d++) t += char('0' + pick(10));
    return t;
  };
  static const char* const odd[] = {"1e",    "1e+",   "1e-",  "1e5.5", "1e5e5", "1.e5", ".e5",
                                    "e5",    "1e+-5", "-e5",  "1e5-",  "1e--5", "1ee5", "+1e5",
                                    "1e0x5", "1e5.",  "1e 5", "1E+",   "1.5E"};
  auto number = [&]() -> std::string {
    const int kind = pick(10);
    if (kind == 0) return odd[pick(19)];
    if (kind <= 2) {  // a halfway point between two floats
      float f;
      uint32_t bits = 0x0D000000u + uint32_t(rng() % (0x7E000000u - 0x0D000000u));
      memcpy(&f, &bits, sizeof f);
      char text[64];
      snprintf(text, sizeof text, "%.*e", pick(15),
               (double(f) + double(nextafterf(f, INFINITY))) / 2);
      return (pick(4) ? "" : "-") + std::string(text);
    }
    std::string t = pick(3) ? "" : "-";
    const int whole = pick(4) ? 1 + pick(3) : pick(9);
    t += digits(whole);
    if (pick(3) || whole == 0) t += "." + digits((whole == 0) + pick(pick(4) ? 8 : 18));
    if (pick(8)) {
      t += "eE"[pick(4) == 0];
      const int sign = pick(3);
      if (sign) t += "-+"[sign - 1];
      const int places = 1 + pick(pick(6) ? 2 : 5);
      t += pick(5) == 0 ? std::string(size_t(places), '0') + digits(1) : digits(places);
    }
    return t;
  };
  int taken = 0;
  for (int i = 0; i < kGenerated * 5; i++) {
    const int count = 2 + pick(2);
    std::string text;
    for (int k = 0; k < count; k++) text += (pick(8) ? " " : "\t") + number();
    text += pick(8) ? "\n" : " \n";
    text += std::string(80, pick(2) ? ' ' : 'v');
    text.insert(0, std::string(16, 'v'));
    const char* input = text.data();
    const char* begin = input + 16;
    const char* end = input + text.size();
    const char* feed;
    ASSERT_NO_FATAL_FAILURE(checkQuickVertexLine(text, input, begin, count, &feed));
    if (!feed) continue;
    taken++;
    // Each number is one the exact scan takes whole, and the counting pass
    // skips the line the same way.
    ASSERT_EQ(obxQuickNumberLine(begin, end, count), feed) << '"' << text << '"';
  }
  EXPECT_GT(taken, kGenerated);
}

TEST(Scanner, quick_face_values_match_the_item_scan) {
  // A face line read at once must give the form of its first item and, for
  // every item, the numbers the item scan of that form gives, and take as
  // many items as that scan does before it fails on the next line.
  std::mt19937 rng(37);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  static const char* const layouts[] = {"#", "#/#", "#//#", "#/#/#"};
  static const ObxItemForm forms[] = {OBX_FORM_V, OBX_FORM_VT, OBX_FORM_VN, OBX_FORM_VTN};
  static const char* const odd[] = {"#/", "/#", "#///#", "#/#/", "#x", "-#", "+#", "#//#/#"};
  static const char* const blanks[] = {" ", " ", "  ", "\t", "\r", "\v"};
  static const char* const next[] = {"f 1 2 3", "v 1 2 3", "g x", "# c", "1", "-2", " f", ""};
  auto number = [&] {
    std::string digits = std::to_string(rng() % (pick(8) ? 100000u : 1000000000u));
    return (pick(6) == 0 ? std::string(pick(4), '0') : std::string()) + digits;
  };
  int taken = 0;
  for (int i = 0; i < kGenerated * 5; i++) {
    const int form = pick(4);
    std::string text;
    const int count = pick(6) ? 3 + pick(3) : 1 + pick(8);
    for (int k = 0; k < count; k++) {
      text += blanks[pick(6)];
      const char* layout = k > 0 && pick(12) == 0 ? odd[pick(8)] : layouts[form];
      for (const char* c = layout; *c; c++) text += *c == '#' ? number() : std::string(1, *c);
    }
    if (pick(4) == 0) text += " ";
    text += "\n";
    text += next[pick(8)];
    text += std::string(130, 'g');
    const char* begin = text.data();
    const char* end = begin + text.size();
    uint32_t items[32][3];
    ObxItemForm found;
    const char* feed = nullptr;
    const int read = obxQuickFaceValues<32>(begin, end, &found, items, &feed);
    if (!read) continue;
    taken++;
    ASSERT_EQ(found, forms[form]) << '"' << text << '"';
    ASSERT_EQ(*feed, '\n');
    ASSERT_EQ(memchr(begin, '\n', size_t(feed - begin)), nullptr) << '"' << text << '"';
    ObxScanner exact = {begin, end};
    bool outOfRange = false;
    int scanned = 0;
    for (;; scanned++) {
      uint32_t fields[3] = {0, 0, 0};
      if (obxScanItem<false>(&exact, found, fields, &outOfRange) < 1) break;
      ASSERT_LT(scanned, read) << '"' << text << '"';
      ASSERT_EQ(items[scanned][0], fields[0]) << '"' << text << "\" item " << scanned;
      if (found == OBX_FORM_VT || found == OBX_FORM_VTN) {
        ASSERT_EQ(items[scanned][1], fields[1]) << '"' << text << "\" item " << scanned;
      }
      if (found == OBX_FORM_VN || found == OBX_FORM_VTN) {
        ASSERT_EQ(items[scanned][2], fields[2]) << '"' << text << "\" item " << scanned;
      }
    }
    ASSERT_EQ(scanned, read) << '"' << text << '"';
    ASSERT_FALSE(outOfRange);
  }
  // Many lines are short and plain enough for the quick path.
  EXPECT_GT(taken, kGenerated / 2);
}

TEST(Scanner, quick_vertex_line_after_a_long_number_reads_nothing_past_the_input) {
  // A number of more than fifteen digits leaves the line to the exact scan;
  // the short numbers after it, near the end of the input, must not have
  // sixteen bytes loaded from them. The input is a block of its exact size,
  // so that the sanitizer sees a read beyond it.
  for (int digits = 16; digits <= 40; digits++) {
    std::string line = std::string(size_t(digits), '7');
    line += std::string(52 - line.size(), ' ') + "1 9\n";
    std::string text = std::string(16, 'v') + line + "g";
    text += std::string(16 + 64 - text.size(), '#');
    std::vector<char> input(text.begin(), text.end());
    float values[3] = {-7, -7, -7};
    const char* begin = input.data() + 16;
    EXPECT_EQ(obxQuickVertexLine<3>(input.data(), begin, input.data() + input.size(), values),
              nullptr)
        << digits;
    for (float value : values) EXPECT_EQ(value, -7);
    // The exact scan takes the three numbers.
    ObxScanner exact = {begin, input.data() + input.size()};
    EXPECT_EQ(obxScanFloats<true>(&exact, 3, values), 3);
    EXPECT_EQ(values[2], 9.0f);
  }
}

TEST(Scanner, integers_beyond_32_bits_are_flagged) {
  const struct {
    const char* text;
    bool outOfRange;
  } cases[] = {
      {"4294967295", false}, {"4294967296", true}, {"-2147483648", false},
      {"-2147483649", true}, {"-1", false},        {"99999999999999999999999", true},
  };
  for (const auto& c : cases) {
    ObxScanner scan = {c.text, c.text + strlen(c.text)};
    uint32_t value;
    bool outOfRange = false;
    EXPECT_EQ(obxScanInt<false>(&scan, &value, &outOfRange), 1) << c.text;
    EXPECT_EQ(outOfRange, c.outOfRange) << c.text;
  }
}

// ---- Reading OBJ files ---------------------------------------------------

// An OBJ file (and its neighbours) in a temp directory.
struct Scene {
  TempDir dir;
  std::string path;
  explicit Scene(const std::string& obj) { path = dir.write("scene.obj", obj); }
  ObxModel* read() const { return obxReadOBJ(path.c_str()); }
};

// The model read from text; released when the test ends.
struct Read {
  explicit Read(const std::string& obj) : scene(obj), model(scene.read()) {}
  ~Read() { obxDeleteModel(model); }
  ObxModel* operator->() const { return model; }
  Scene scene;
  ObxModel* model;
};

std::vector<std::string> groupNames(const ObxModel* model) {
  std::vector<std::string> names;
  for (const ObxGroup* g = model->groups; g; g = g->next) names.push_back(g->name);
  return names;
}

const ObxGroup* group(const ObxModel* model, const char* name) {
  return obxLookupGroup(const_cast<ObxModel*>(model), name);
}

std::vector<uint32_t> members(const ObxGroup* g) {
  return std::vector<uint32_t>(g->triangles, g->triangles + g->numtriangles);
}

std::vector<uint32_t> corners(const uint32_t indices[3]) {
  return {indices[0], indices[1], indices[2]};
}

const uint32_t kNone = OBX_NO_INDEX;

// A unit square's corners, counter-clockwise in the z = 0 plane.
const char kSquare[] =
    "v 0 0 0\n"
    "v 1 0 0\n"
    "v 1 1 0\n"
    "v 0 1 0\n";

TEST(ReadObj, fills_one_based_arrays_in_file_order) {
  Read m(
      "v 1 2 3\nv -4.5 5e1 0.25\n"
      "vn 0 0 1\n"
      "vt 0.5 0.75\nvt 1 0\n"
      "f 1/1/1 2/2/1 1/2/1\n");
  ASSERT_EQ(m->numvertices, 2u);
  EXPECT_EQ(m->vertices[3], 1.0f);
  EXPECT_EQ(m->vertices[5], 3.0f);
  EXPECT_EQ(m->vertices[6], -4.5f);
  EXPECT_EQ(m->vertices[7], 50.0f);
  EXPECT_EQ(m->vertices[8], 0.25f);
  ASSERT_EQ(m->numnormals, 1u);
  EXPECT_EQ(m->normals[5], 1.0f);
  ASSERT_EQ(m->numtexcoords, 2u);
  EXPECT_EQ(m->texcoords[2], 0.5f);
  EXPECT_EQ(m->texcoords[3], 0.75f);
  EXPECT_EQ(m->texcoords[4], 1.0f);
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->mtllibname, nullptr);
  EXPECT_EQ(m->materials, nullptr);
  EXPECT_EQ(m->nummaterials, 0u);
}

TEST(ReadObj, file_without_vn_and_vt_has_no_such_arrays) {
  Read m(std::string(kSquare) + "f 1 2 3\n");
  EXPECT_EQ(m->normals, nullptr);
  EXPECT_EQ(m->numnormals, 0u);
  EXPECT_EQ(m->texcoords, nullptr);
  EXPECT_EQ(m->numtexcoords, 0u);
}

TEST(ReadObj, vertices_only_gives_no_triangles_and_one_group) {
  Read m(kSquare);
  EXPECT_EQ(m->numtriangles, 0u);
  EXPECT_EQ(m->numfacetnorms, 0u);
  EXPECT_NE(m->facetnorms, nullptr);
  EXPECT_EQ(groupNames(m.model), std::vector<std::string>{"default"});
  EXPECT_EQ(m->groups->numtriangles, 0u);
}

TEST(ReadObj, empty_file_gives_an_empty_model) {
  Read m("");
  EXPECT_EQ(m->numvertices, 0u);
  EXPECT_EQ(m->numtriangles, 0u);
  EXPECT_EQ(m->numgroups, 1u);
  EXPECT_EQ(std::string(m->path), m.scene.path);
}

TEST(ReadObj, each_face_form_stores_its_fields) {
  const std::string head =
      std::string(kSquare) + "vn 0 0 1\nvn 0 0 -1\nvn 1 0 0\nvt 0 0\nvt 1 0\nvt 1 1\n";
  const struct {
    const char* face;
    std::vector<uint32_t> t, n;
  } cases[] = {
      {"f 1/3/2 2/2/3 3/1/1", {3, 2, 1}, {2, 3, 1}},
      {"f 1//2 2//3 3//1", {kNone, kNone, kNone}, {2, 3, 1}},
      {"f 1/3 2/2 3/1", {3, 2, 1}, {kNone, kNone, kNone}},
      {"f 1 2 3", {kNone, kNone, kNone}, {kNone, kNone, kNone}},
  };
  for (const auto& c : cases) {
    Read m(head + c.face + "\n");
    ASSERT_EQ(m->numtriangles, 1u) << c.face;
    const ObxTriangle& t = m->triangles[0];
    EXPECT_EQ(corners(t.vindices), (std::vector<uint32_t>{1, 2, 3})) << c.face;
    EXPECT_EQ(corners(t.tindices), c.t) << c.face;
    EXPECT_EQ(corners(t.nindices), c.n) << c.face;
    EXPECT_EQ(t.findex, 1u);
    EXPECT_EQ(t.material, 0u);
  }
}

TEST(ReadObj, quad_and_pentagon_are_fans_around_the_first_item) {
  Read m(std::string(kSquare) + "v 0.5 2 0\nf 1 2 3 4\nf 1/1 2/2 3/3 4/4 5/5\nvt 0 0\n" +
         "vt 0 0\nvt 0 0\nvt 0 0\nvt 0 0\n");
  ASSERT_EQ(m->numtriangles, 5u);
  const std::vector<std::vector<uint32_t>> expected = {
      {1, 2, 3}, {1, 3, 4}, {1, 2, 3}, {1, 3, 4}, {1, 4, 5}};
  for (uint32_t i = 0; i < 5; i++) {
    EXPECT_EQ(corners(m->triangles[i].vindices), expected[i]) << i;
    if (i >= 2) {
      EXPECT_EQ(corners(m->triangles[i].tindices), expected[i]) << i;
    }
    EXPECT_EQ(m->triangles[i].findex, i + 1);
  }
  EXPECT_EQ(members(m->groups), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST(ReadObj, face_items_continue_across_line_ends) {
  Read m(std::string(kSquare) + "f 1 2\n 3\n4\n");
  ASSERT_EQ(m->numtriangles, 2u);
  EXPECT_EQ(corners(m->triangles[1].vindices), (std::vector<uint32_t>{1, 3, 4}));
}

TEST(ReadObj, face_of_two_items_repeats_its_second_corner) {
  Read m(std::string(kSquare) + "f 1 2\ns off\n");
  ASSERT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(corners(m->triangles[0].vindices), (std::vector<uint32_t>{1, 2, 2}));
}

TEST(ReadObj, face_may_name_vertices_defined_later) {
  Read m("f 1 2 3\n" + std::string(kSquare));
  ASSERT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->facetnorms[3 + 2], 1.0f);  // counter-clockwise: +z
}

TEST(ReadObj, group_names_keep_the_blank_after_g) {
  Read m(std::string(kSquare) + "g chair legs\nf 1 2 3\ng\nf 1 3 4\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{"", " chair legs", "default"}));
  EXPECT_EQ(members(group(m.model, " chair legs")), std::vector<uint32_t>{0});
  EXPECT_EQ(members(group(m.model, "")), std::vector<uint32_t>{1});
  EXPECT_EQ(m->numgroups, 3u);
}

TEST(ReadObj, g_default_is_not_the_built_in_group) {
  Read m(std::string(kSquare) + "f 1 2 3\ng default\nf 1 3 4\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" default", "default"}));
  EXPECT_EQ(members(group(m.model, "default")), std::vector<uint32_t>{0});
  EXPECT_EQ(members(group(m.model, " default")), std::vector<uint32_t>{1});
}

TEST(ReadObj, repeated_group_continues_in_file_order) {
  Read m(std::string(kSquare) + "g wall\nf 1 2 3\ng roof\nf 1 2 4\ng wall\nf 1 3 4 2\ng roof\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" roof", " wall", "default"}));
  EXPECT_EQ(members(group(m.model, " wall")), (std::vector<uint32_t>{0, 2, 3}));
  EXPECT_EQ(members(group(m.model, " roof")), std::vector<uint32_t>{1});
  EXPECT_EQ(group(m.model, "default")->numtriangles, 0u);
}

TEST(ReadObj, faces_before_any_g_belong_to_default) {
  Read m(std::string(kSquare) + "f 1 2 3\ng late\nf 1 3 4\n");
  EXPECT_EQ(members(group(m.model, "default")), std::vector<uint32_t>{0});
}

TEST(ReadObj, group_without_faces_stays_in_the_list) {
  Read m(std::string(kSquare) + "g empty\n");
  ASSERT_NE(group(m.model, " empty"), nullptr);
  EXPECT_EQ(group(m.model, " empty")->numtriangles, 0u);
}

TEST(ReadObj, last_line_without_line_end_loses_its_last_character) {
  Read m(std::string(kSquare) + "f 1 2 3\ng name");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" nam", "default"}));
}

TEST(ReadObj, crlf_line_ends_leave_no_cr_in_group_names) {
  Read m("v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\ng part\r\nf 1 2 3\r\n");
  EXPECT_EQ(groupNames(m.model), (std::vector<std::string>{" part", "default"}));
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->vertices[3 * 3 + 1], 1.0f);
}

TEST(ReadObj, other_statements_are_skipped) {
  Read m(std::string(kSquare) +
         "# f 9 9 9\ns 1\no thing\nl 1 2\np 1\n"
         "12 f 9 9 9\nv 5 6 7 8 f 9 9 9\nf 1 2 3\n");
  EXPECT_EQ(m->numvertices, 5u);
  EXPECT_EQ(m->vertices[3 * 5 + 2], 7.0f);
  EXPECT_EQ(m->numtriangles, 1u);
}

TEST(ReadObj, long_comment_rest_is_read_as_statements) {
  // The 127 characters after "#" go with the comment; "f 1 2 3" after them
  // is a face of its own.
  std::string comment = "# " + std::string(126, 'c') + " f 1 2 3 ignored words\n";
  Read m(std::string(kSquare) + comment);
  EXPECT_EQ(m->numtriangles, 1u);
}

TEST(ReadObj, long_v_line_is_read_the_same_by_both_passes) {
  // The rest of the line after the numbers reaches past 127 characters; a
  // statement standing there is read once, by both passes alike.
  Read m("v 1 2 3" + std::string(150, ' ') + "f 1 1 1\n" + std::string(kSquare) + "v 4 5 6" +
         std::string(200, ' ') + "7\n");
  EXPECT_EQ(m->numvertices, 6u);
  EXPECT_EQ(m->numtriangles, 1u);
  EXPECT_EQ(m->vertices[3 * 6], 4.0f);
}

TEST(ReadObj, long_token_is_split_after_127_characters) {
  // The first 127 'a' are a token, the line read after it takes the 127
  // 'b', and "vp" is the next keyword.
  Scene scene(std::string(127, 'a') + std::string(127, 'b') + "vp 1\n");
  EXPECT_EXIT(scene.read(), ExitedWithCode(1),
              Eq("OBX: Fatal Error: obxFirstPass(): Unknown token \"vp\".\n"));
  Read m(std::string(300, 'a') + "\n" + std::string(kSquare));
  EXPECT_EQ(m->numvertices, 4u);
}

TEST(ReadObj, missing_numbers_of_a_vertex_read_as_zero) {
  // The scan of the first v stops at the second "v"; numbers may still
  // come from the next line.
  Read m("v 1\nv 2 3 4\nv 5\n6 7\n");
  ASSERT_EQ(m->numvertices, 3u);
  const float expected[] = {1, 0, 0, 2, 3, 4, 5, 6, 7};
  for (int i = 0; i < 9; i++) EXPECT_EQ(m->vertices[3 + i], expected[i]) << i;
}

// ---- Groups and materials --------------------------------------------------

const char kColors[] =
    "newmtl red\nKd 1 0 0\n"
    "newmtl green\nKd 0 1 0\n";

struct SceneWithMtl : Scene {
  explicit SceneWithMtl(const std::string& obj) : Scene("mtllib colors.mtl\n" + obj) {
    dir.write("colors.mtl", kColors);
  }
};

struct ReadWithMtl {
  explicit ReadWithMtl(const std::string& obj) : scene(obj), model(scene.read()) {}
  ~ReadWithMtl() { obxDeleteModel(model); }
  ObxModel* operator->() const { return model; }
  SceneWithMtl scene;
  ObxModel* model;
};

TEST(ReadObjMaterials, mtllib_reads_the_library_and_usemtl_selects) {
  ReadWithMtl m(std::string(kSquare) + "f 1 2 3\nusemtl green\nf 1 3 4\nusemtl red\nf 2 3 4\n");
  ASSERT_EQ(m->nummaterials, 3u);
  EXPECT_STREQ(m->mtllibname, "colors.mtl");
  EXPECT_EQ(m->triangles[0].material, 0u);
  EXPECT_EQ(m->triangles[1].material, 2u);
  EXPECT_EQ(m->triangles[2].material, 1u);
}

TEST(ReadObjMaterials, usemtl_before_mtllib_finds_the_material) {
  Scene scene(std::string(kSquare) + "usemtl red\nf 1 2 3\nmtllib colors.mtl\n");
  scene.dir.write("colors.mtl", kColors);
  ObxModel* model = scene.read();
  EXPECT_EQ(model->triangles[0].material, 1u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, group_gets_the_material_in_force_at_its_first_face) {
  ReadWithMtl m(std::string(kSquare) + "g a\nusemtl red\nf 1 2 3\nusemtl green\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 1u);
  EXPECT_EQ(m->triangles[1].material, 2u);
}

TEST(ReadObjMaterials, group_gets_a_usemtl_that_follows_its_unassigned_face) {
  ReadWithMtl m(std::string(kSquare) + "g a\nf 1 2 3\nusemtl red\ng b\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 1u);
  EXPECT_EQ(group(m.model, " b")->material, 1u);
  EXPECT_EQ(m->triangles[0].material, 0u);
}

TEST(ReadObjMaterials, group_without_usemtl_keeps_zero) {
  ReadWithMtl m(std::string(kSquare) + "g a\nf 1 2 3\ng b\nusemtl red\nf 1 3 4\n");
  EXPECT_EQ(group(m.model, " a")->material, 0u);
  EXPECT_EQ(group(m.model, " b")->material, 1u);
}

TEST(ReadObjMaterials, usemtl_of_unknown_material_warns_and_takes_default) {
  SceneWithMtl scene(std::string(kSquare) + "usemtl missing\nf 1 2 3\n");
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxFindMaterial():  can't find material \"missing\".\n");
  EXPECT_EQ(model->triangles[0].material, 0u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, first_word_of_mtllib_and_usemtl_is_taken) {
  ReadWithMtl m(std::string(kSquare) + "usemtl green red\nf 1 2 3\n");
  EXPECT_EQ(m->triangles[0].material, 2u);
  Scene scene("mtllib colors.mtl other.mtl\n");
  scene.dir.write("colors.mtl", kColors);
  ObxModel* model = scene.read();
  EXPECT_STREQ(model->mtllibname, "colors.mtl");
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, later_mtllib_replaces_the_table) {
  Scene scene("mtllib colors.mtl\nmtllib one.mtl\n" + std::string(kSquare) +
              "usemtl green\nf 1 2 3\n");
  scene.dir.write("colors.mtl", kColors);
  scene.dir.write("one.mtl", "newmtl green\n");
  ObxModel* model = scene.read();
  EXPECT_STREQ(model->mtllibname, "one.mtl");
  EXPECT_EQ(model->nummaterials, 2u);
  EXPECT_EQ(model->triangles[0].material, 1u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, many_groups_and_materials_are_found_as_the_lookups_find_them) {
  // The reader keeps an index of names; what it finds must be what the
  // plain lookups find: every group once, with its faces in file order,
  // and for a name given twice in the library, the first material.
  std::mt19937 rng(31);
  std::string mtl;
  const int materials = 1500;
  for (int i = 0; i < materials; i++) mtl += "newmtl m" + std::to_string(i % 1200) + "\n";
  std::string obj = "mtllib many.mtl\n" + std::string(kSquare);
  std::vector<std::string> groupOf, materialOf;  // per triangle
  for (int i = 0; i < 6000; i++) {
    if (rng() % 3 == 0) obj += "g n" + std::to_string(rng() % 2500) + "\n";
    if (rng() % 4 == 0) obj += "usemtl m" + std::to_string(rng() % 1200) + "\n";
    obj += "f 1 2 3\n";
  }
  TempDir dir;
  dir.write("many.mtl", mtl);
  ObxModel* model = obxReadOBJ(dir.write("many.obj", obj).c_str());
  ASSERT_EQ(model->nummaterials, uint32_t(materials + 1));
  // Walk the file again to know each triangle's group and material name.
  std::map<std::string, std::vector<uint32_t>> expected;
  std::string groupName = "default", materialName;
  uint32_t triangle = 0;
  std::istringstream lines(obj);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("g ", 0) == 0) groupName = line.substr(1);
    if (line.rfind("usemtl ", 0) == 0) materialName = line.substr(7);
    if (line.rfind("f ", 0) != 0) continue;
    const uint32_t material = model->triangles[triangle].material;
    if (materialName.empty())
      EXPECT_EQ(material, 0u);
    else
      EXPECT_EQ(material, obxFindMaterial(model, materialName.c_str())) << materialName;
    expected[groupName].push_back(triangle++);
  }
  ASSERT_EQ(triangle, model->numtriangles);
  EXPECT_EQ(model->numgroups, expected.size() + (expected.count("default") ? 0 : 1));
  for (const auto& [name, faces] : expected) {
    const ObxGroup* g = group(model, name.c_str());
    ASSERT_NE(g, nullptr) << name;
    EXPECT_EQ(members(g), faces) << name;
  }
  // The duplicate names: "m5" is material 6 (after "default"), not 1206.
  EXPECT_EQ(obxFindMaterial(model, "m5"), 6u);
  obxDeleteModel(model);
}

TEST(ReadObjMaterials, mtllib_without_a_name_is_ignored_with_a_warning) {
  Scene scene("mtllib  \n" + std::string(kSquare));
  testing::internal::CaptureStderr();
  ObxModel* model = scene.read();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "OBX: Warning: obxReadOBJ: mtllib without a file name ignored\n");
  EXPECT_EQ(model->mtllibname, nullptr);
  EXPECT_EQ(model->materials, nullptr);
  obxDeleteModel(model);
}

// ---- Fatal errors ----------------------------------------------------------

struct FatalCase {
  const char* obj;
  const char* message;  // the whole of standard error
};

TEST(ReadObjFatal, malformed_files_end_with_their_message) {
  const FatalCase cases[] = {
      {"vp 0.5\n", "OBX: Fatal Error: obxFirstPass(): Unknown token \"vp\".\n"},
      {"v 1 2 3\nvx\n", "OBX: Fatal Error: obxFirstPass(): Unknown token \"vx\".\n"},
      {"mtlib a.mtl\n", "OBX: Fatal Error: obxReadOBJ: Got \"mtlib\" instead of \"mtllib\"\n"},
      {"usemat red\n", "OBX: Fatal Error: obxReadOBJ: Got \"usemat\" instead of \"usemtl\"\n"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nv 2 2 2\nv 3 3 3\nv 4 4 4\nv 5 5 5\nf 1 2 9\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (9 > 8)\n\n"},
      {"v 0 0 0\nf 1 1 1\nf 1 0 1\n",
       "OBX: Fatal Error: vertex index for triangle 1 out of bounds (0 > 1)\n\n"},
      {"v 0 0 0\nf 1//1 1//1 1//1\n",
       "OBX: Fatal Error: normal index for triangle 0 out of bounds (1 > 0)\n\n"},
      {"v 0 0 0\nvn 0 0 1\nf 1//1 1//1 1//2\n",
       "OBX: Fatal Error: normal index for triangle 0 out of bounds (2 > 1)\n\n"},
      {"v 0 0 0\nf 1/1 1/1 1/1\n",
       "OBX: Fatal Error: texture coordinate index for triangle 0 out of bounds (1 > 0)\n\n"},
      {"v 0 0 0\nvt 0 0\nf 1/1 1/0 1/1\n",
       "OBX: Fatal Error: texture coordinate index for triangle 0 out of bounds (0 > 1)\n\n"},
      {"v 0 0 0\nf -3 1 1\n",
       "OBX: Fatal Error: vertex index for triangle 0 out of bounds (-3 > 1)\n\n"},
      {"v 0 0 0\nf 1 1 1 4294967297\n",
       "OBX: Fatal Error: index for triangle 1 out of bounds (more than 32 bits)\n\n"},
      {"f a b c\n", "OBX: Fatal Error: vertex index for triangle 0 out of bounds (0 > 0)\n\n"},
      {"mtllib gone.mtl\n",
       "OBX: Fatal Error: obxReadMTL() failed: can't open material file \"DIR/gone.mtl\".\n"},
  };
  for (const FatalCase& c : cases) {
    Scene scene(c.obj);
    std::string message = c.message;
    size_t dir = message.find("DIR/");
    if (dir != std::string::npos) message.replace(dir, 3, scene.dir.path());
    EXPECT_EXIT(scene.read(), ExitedWithCode(1), Eq(message)) << c.obj;
  }
}

TEST(ReadObjFatal, file_that_cannot_be_opened) {
  TempDir dir;
  std::string missing = dir.path() + "/missing.obj";
  EXPECT_EXIT(
      obxReadOBJ(missing.c_str()), ExitedWithCode(1),
      Eq("OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + missing + "\".\n"));
  EXPECT_EXIT(
      obxReadOBJ(dir.path().c_str()), ExitedWithCode(1),
      Eq("OBX: Fatal Error: obxReadOBJ() failed: can't open data file \"" + dir.path() + "\".\n"));
}

// ---- Robustness ------------------------------------------------------------

// ---- Fast paths against the exact reading ------------------------------

// Everything a read leaves in the model, as text.
std::string describe(const ObxModel* model) {
  std::string out;
  auto number = [&](uint64_t value) { out += std::to_string(value) + ' '; };
  auto floats = [&](const float* values, size_t count) {
    if (!values) return out.append("null\n"), void();
    for (size_t i = 0; i < count; i++) {
      uint32_t bits;
      memcpy(&bits, &values[i], sizeof bits);
      number(bits);
    }
    out += '\n';
  };
  number(model->numvertices), number(model->numnormals), number(model->numtexcoords);
  number(model->numtriangles), number(model->numfacetnorms), number(model->numgroups);
  number(model->nummaterials);
  out += model->mtllibname ? model->mtllibname : "(none)";
  out += '\n';
  floats(model->vertices, 3 * (size_t(model->numvertices) + 1));
  floats(model->normals, model->normals ? 3 * (size_t(model->numnormals) + 1) : 0);
  floats(model->texcoords, model->texcoords ? 2 * (size_t(model->numtexcoords) + 1) : 0);
  floats(model->facetnorms, 3 * (size_t(model->numfacetnorms) + 1));
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const ObxTriangle& t = model->triangles[i];
    for (int j = 0; j < 3; j++) number(t.vindices[j]), number(t.tindices[j]), number(t.nindices[j]);
    number(t.findex), number(t.material);
    out += '\n';
  }
  for (const ObxGroup* g = model->groups; g; g = g->next) {
    out += '[' + std::string(g->name) + "] ";
    number(g->material);
    for (uint32_t i = 0; i < g->numtriangles; i++) number(g->triangles[i]);
    out += '\n';
  }
  return out;
}

// A random OBJ text of the shapes the fast paths take and the shapes they
// must hand over: signs, long numbers, odd separators, every face form,
// items going on over line ends, long lines, CR LF, tabs, blank lines.
// A safe file has three of each kind of vertex first and names no index
// outside 1..3, so that reading it cannot end the process.
std::string randomObj(std::mt19937& rng, bool safe) {
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  auto blank = [&]() -> std::string {
    switch (pick(12)) {
      case 0: return "\t";
      case 1: return "  ";
      case 2: return " \t ";
      default: return " ";
    }
  };
  auto lineEnd = [&]() -> std::string {
    switch (pick(14)) {
      case 0: return "\r\n";
      case 1: return " \n";
      case 2: return "\n\n";
      case 3: return "\t\r\n";
      default: return "\n";
    }
  };
  auto floatText = [&]() -> std::string {
    switch (pick(16)) {
      case 0: return randomDecimal(rng);
      case 1: return "1e-05";
      case 2: return "+2";
      case 3: return std::string(pick(30) + 1, '9') + ".5";
      case 4: return "0." + std::string(pick(25), '3') + "1";
      case 5: return "-.5";
      default: {
        std::string t = pick(3) == 0 ? "-" : "";
        t += std::to_string(pick(3));
        if (pick(4)) t += '.' + std::to_string(rng() % 100000000);
        return t;
      }
    }
  };
  auto index = [&]() -> std::string {
    switch (safe ? 2 + pick(2) * 6 + pick(2) * 20 : pick(30)) {
      case 0: return "0";
      case 1: return "-1";
      case 2: return "+2";
      case 3: return "12345678";
      case 4: return "4294967297";
      case 5: return "00000000002";
      case 6: return "x";
      case 8: return "3";
      default: return std::to_string(1 + pick(safe ? 3 : 4));
    }
  };
  auto item = [&](int form) -> std::string {
    std::string t = index();
    if (pick(25) == 0) return t + "/";
    switch (form) {
      case 1: return t + '/' + index();
      case 2: return t + '/' + index() + '/' + index();
      case 3: return t + "//" + index();
      default: return t;
    }
  };
  std::string text;
  const int lines = 9 + pick(30);
  for (int i = 0; i < lines; i++) {
    // Three of each kind of vertex first, then anything.
    const int kind = i < 9 ? (i / 3) * 2 + 1 : pick(20);
    if (i < 9 && safe) {
      text += std::string(kind == 1 ? "v" : kind == 3 ? "vn" : "vt") + " 0.5 -1 2" + lineEnd();
      continue;
    }
    if (kind <= 5) {
      const char* key = kind <= 2 ? "v" : kind <= 4 ? "vn" : "vt";
      text += key;
      const int count = (kind == 5 ? 2 : 3) + (pick(8) == 0 ? pick(3) - 1 : 0);
      for (int k = 0; k < count; k++) text += blank() + floatText();
      if (pick(30) == 0) text += blank() + std::string(130, '1');
      text += lineEnd();
    } else if (kind <= 13) {
      text += pick(20) ? "f" : "fo";
      const int form = pick(4);
      const int items = pick(10) == 0 ? 1 + pick(3) : 3 + pick(pick(8) == 0 ? 40 : 3);
      for (int k = 0; k < items; k++) {
        text += (pick(15) == 0 ? lineEnd() : blank());
        // Now and then one item of another form, which ends the face.
        text += item(pick(12) == 0 ? pick(4) : form);
      }
      text += lineEnd();
    } else if (kind == 14) {
      text += "g" + std::string(pick(3) ? " part" + std::to_string(pick(3)) : "") + lineEnd();
    } else if (kind == 15) {
      // Libraries a.mtl and b.mtl (written by the tests) hold red and blue
      // in opposite orders; "gone" is in neither.
      static const char* const names[] = {"red", "blue", "gone"};
      text += pick(5) ? "usemtl " + std::string(names[pick(3)])
                      : "mtllib " + std::string(pick(2) ? "a.mtl" : "b.mtl");
      text += lineEnd();
    } else if (kind == 16) {
      text += "# " + std::string(pick(2) ? 10 : 200, pick(2) ? 'c' : ' ');
      if (pick(2)) text += " f 1 2 3";
      text += lineEnd();
    } else if (kind == 17) {
      text += "s " + std::to_string(pick(3)) + lineEnd();
    } else if (kind == 18) {
      text += lineEnd();
    } else {
      const int top = safe ? 3 : 9;
      text += std::to_string(1 + pick(top)) + blank() + std::to_string(1 + pick(top)) + lineEnd();
    }
  }
  // Cut anywhere; a safe file is not, as a face cut inside its first item
  // can read index 0.
  if (!safe && pick(3) == 0) text.resize(rng() % (text.size() + 1));
  return text;
}

// Reads path in a child process, with or without the fast paths; returns
// the exit status followed by standard error and the model's description.
std::string readInChild(const std::string& path, bool fast) {
  int status;
  std::string out = stderrOfChild(
      [&] {
        obxReaderFastPaths = fast;
        ObxModel* model = obxReadOBJ(path.c_str());
        std::string text = describe(model);
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
        obxDeleteModel(model);
      },
      &status);
  return std::to_string(status) + '\n' + out;
}

// Reads path in this process, with or without the fast paths: standard
// error and the model's description.
std::string readHere(const std::string& path, bool fast) {
  obxReaderFastPaths = fast;
  testing::internal::CaptureStderr();
  ObxModel* model = obxReadOBJ(path.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  obxReaderFastPaths = true;
  std::string text = err + describe(model);
  obxDeleteModel(model);
  return text;
}

// The libraries that random files name.
void writeRandomLibraries(const TempDir& dir) {
  dir.write("a.mtl", "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\n");
  dir.write("b.mtl", "newmtl blue\nKd 0 0 1\nnewmtl red\nKd 1 0 0\n");
}

TEST(ReadObjFastPaths, random_files_read_the_same_with_and_without_them) {
  std::mt19937 rng(17);
  TempDir dir;
  writeRandomLibraries(dir);
  for (int i = 0; i < 4000; i++) {
    const std::string text = randomObj(rng, true);
    const std::string path = dir.write("random.obj", text);
    ASSERT_EQ(readHere(path, true), readHere(path, false)) << "file " << i << ":\n" << text;
  }
}

TEST(ReadObjFastPaths, random_files_end_the_same_with_and_without_them) {
  // Files that may name any index: each reading in a child process, so
  // that the fatal exits and their messages are compared as well.
  std::mt19937 rng(19);
  TempDir dir;
  writeRandomLibraries(dir);
  int failed = 0;
  const int files = 60;
  for (int i = 0; i < files; i++) {
    const std::string text = randomObj(rng, false);
    const std::string path = dir.write("random.obj", text);
    const std::string fast = readInChild(path, true);
    ASSERT_EQ(fast, readInChild(path, false)) << "file " << i << ":\n" << text;
    failed += fast[0] == '1';
  }
  // Both kinds of ending came up.
  EXPECT_GT(failed, 0);
  EXPECT_LT(failed, files);
}

TEST(ReadObjFastPaths, faces_stored_while_counting_match_the_second_pass) {
  // With the fast paths on, the counting pass stores the triangles itself
  // until something needs the second pass; without them the second pass
  // stores every one. Files around the points where that changes, or where
  // the growing arrays move.
  auto repeat = [](int times, const std::function<std::string(int)>& line) {
    std::string text;
    for (int i = 0; i < times; i++) text += line(i);
    return text;
  };
  const std::string grid = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvt 0 0\nvn 0 0 1\n";
  std::string polygon = "f";
  for (int i = 0; i < 3000; i++) polygon += ' ' + std::to_string(1 + i % 4);
  const struct {
    const char* name;
    std::string text;
  } rows[] = {
      // 1 + 2k triangles: the array fills up inside a quad's fan.
      {"many faces", grid + "f 1 2 3\n" + repeat(3000, [](int i) {
         return i % 3 ? "f 1/1/1 2/1/1 4/1/1 3/1/1\n" : "f 1 2 4 3\n";
       })},
      {"one long polygon", grid + polygon + "\nf 1 2 3\n"},
      {"groups taking turns", grid + repeat(400, [](int i) {
         return "g part" + std::to_string(i % 3) + "\nf 1 2 3\nf 2 3 4\nf 1 2 4 3\n";
       })},
      {"library first", "mtllib a.mtl\n" + grid + "f 1 2 3\nusemtl blue\nf 1 2 3\ng x\n"
                        "usemtl red\nf 2 3 4\ng y\nf 1 2 3\nusemtl blue\n"},
      {"material before its library", grid + "usemtl blue\nf 1 2 3\nmtllib a.mtl\nf 2 3 4\n"},
      {"material not found", "mtllib a.mtl\n" + grid + "f 1 2 3\nusemtl gone\nf 2 3 4\n"
                             "usemtl red\nf 1 2 3\n"},
      {"second library after a material", "mtllib a.mtl\n" + grid + "usemtl red\nf 1 2 3\n"
                                          "mtllib b.mtl\nusemtl red\nf 2 3 4\n"},
      {"faces before their vertices", "f 1 2 3\nf 2 3 4\n" + grid},
      {"no faces", grid},
      {"an empty group and no vertices", "g lonely\ng\n"},
  };
  TempDir dir;
  writeRandomLibraries(dir);
  for (const auto& row : rows) {
    const std::string path = dir.write("faces.obj", row.text);
    const std::string fast = readHere(path, true);
    EXPECT_EQ(fast, readHere(path, false)) << row.name;
    if (std::string(row.name) == "material not found") {
      EXPECT_NE(fast.find("can't find material \"gone\""), std::string::npos);
    }
  }
  // An index past 32 bits fails with the second pass's message, after the
  // counting pass has stored the faces before it.
  const std::string path = dir.write("big.obj", grid + "f 1 2 3\nf 1 2 4294967297\nf 1 2 3\n");
  const std::string fast = readInChild(path, true);
  EXPECT_EQ(fast, readInChild(path, false));
  EXPECT_NE(fast.find("out of bounds (more than 32 bits)"), std::string::npos) << fast;
}

TEST(ReadObjFastPaths, vertex_lines_are_counted_the_same) {
  // The counting pass takes a short v, vn or vt line of plain numbers
  // whole. Lines near that shape: other bytes, too few or too many
  // numbers, numbers running on into the next line, lengths around the
  // 63 bytes it looks at, with enough text after them that it runs. No
  // face names a vertex that may be missing: the reading stays in-process.
  std::mt19937 rng(23);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  static const char* const pieces[] = {"0",     "7",     "12",      "-3",    "0.5",
                                       "-0.25", ".5",    "-.5",     "5.",    "1234567890123",
                                       "-",     ".",     "-.",      "1.2.3", "--1",
                                       "1-2",   "+1",    "1e5",     "e",     "x",
                                       "\x80",  "y",     "1..2",    "00.0",  "-9.5e-05",
                                       "2E+3",  "1e",    "1e-",     "1e5.5", "1.e5",
                                       "e5",    "1e+-5", "3e-0007", "1e39"};
  static const char* const blanks[] = {" ", " ", " ", "  ", "\t", "\r", "\v", "\f"};
  static const char* const after[] = {"v 1 2 3", "1 2 3", "f 1 1 1", "", "# c", "2", "vt 1"};
  TempDir dir;
  for (int i = 0; i < 1500; i++) {
    std::string text = "v 0 0 0\n";
    const int lines = 1 + pick(6);
    for (int l = 0; l < lines; l++) {
      static const char* const keys[] = {"v", "vn", "vt"};
      text += keys[pick(3)];
      const int count = pick(8) ? 2 + pick(3) : pick(7);
      for (int k = 0; k < count; k++) {
        text += blanks[pick(8)];
        text += pick(4) ? pieces[pick(10)] : pieces[pick(34)];
        if (pick(6) == 0) text += std::string(pick(30), '9');
      }
      if (pick(4) == 0) text += blanks[pick(8)];
      text += pick(12) ? "\n" : "\r\n";
      text += after[pick(7)];
      text += '\n';
    }
    if (pick(8)) text += std::string(pick(2) ? 70 : pick(70), '#') + '\n';
    const std::string path = dir.write("lines.obj", text);
    ASSERT_EQ(readHere(path, true), readHere(path, false)) << "file " << i << ":\n" << text;
  }
}

TEST(ReadObjFastPaths, face_lines_are_counted_the_same) {
  // The counting pass takes a face line of plain items whole. Lines near
  // that shape: items of other layouts, stray slashes and letters, lengths
  // around the 63 and 127 bytes it looks at, and next lines that go on with
  // items or begin with a sign or a blank. Every index names 1 or 2, which
  // exist, so the reading stays in-process.
  std::mt19937 rng(29);
  auto pick = [&](int n) { return int(rng() % unsigned(n)); };
  static const char* const blanks[] = {" ", " ", " ", "  ", "\t", "\r", "\v", "\f"};
  static const char* const layouts[] = {"#", "#/#", "#/#/#", "#//#"};
  static const char* const odd[] = {"#/", "/#",     "#///#",  "#/#/",    "#x",
                                    "x",  "#//#/#", "#/#//#", "#/#/#/#", "+#"};
  static const char* const next[] = {"f 1 2 1", "v 1 2 3",  "1",     "+2",  "-x",
                                     "+x",      " f 1 1 1", "\tg x", "# c", "s 1",
                                     "2/2/2",   "/",        "x",     "",    "1//2"};
  auto number = [&] {
    return (pick(4) == 0 ? std::string(pick(pick(2) ? 12 : 40), '0') : std::string()) +
           char('1' + pick(2));
  };
  auto fill = [&](const char* layout) {
    std::string out;
    for (const char* c = layout; *c; c++) out += *c == '#' ? number() : std::string(1, *c);
    return out;
  };
  TempDir dir;
  for (int i = 0; i < 1500; i++) {
    std::string text = "v 0 0 0\nv 1 0 0\nvn 0 0 1\nvn 0 1 0\nvt 0 0\nvt 1 0\n";
    const int lines = 1 + pick(6);
    for (int l = 0; l < lines; l++) {
      const int form = pick(4);
      text += "f";
      const int items = pick(8) ? 3 + pick(4) : 1 + pick(2);
      for (int k = 0; k < items; k++) {
        text += blanks[pick(8)];
        // The first item has the form's layout, so that it names a vertex.
        text += fill(k > 0 && pick(10) == 0 ? (pick(2) ? layouts[pick(4)] : odd[pick(10)])
                                            : layouts[form]);
      }
      if (pick(4) == 0) text += blanks[pick(8)];
      text += pick(12) ? "\n" : "\r\n";
      text += next[pick(15)];
      text += '\n';
    }
    if (pick(8)) text += std::string(pick(2) ? 70 : pick(70), '#') + '\n';
    const std::string path = dir.write("faces.obj", text);
    ASSERT_EQ(readHere(path, true), readHere(path, false)) << "file " << i << ":\n" << text;
  }
}

TEST(ReadObjFastPaths, long_runs_of_the_usual_lines_read_the_same) {
  // Files in the benchmark's shapes, long enough that the eight-byte paths
  // run, with the odd line mixed in and cut at many places near the end.
  std::mt19937 rng(18);
  std::string base;
  for (int i = 0; i < 40; i++)
    base += "v " + std::to_string(i % 7) + ".0123456 -0.5 " + std::to_string(rng() % 1000) + "\n";
  for (int i = 0; i < 20; i++) base += "vt 0." + std::to_string(rng() % 10000000) + " 1\n";
  for (int i = 0; i < 20; i++) base += "vn -0.0034999573 0.0024999734 0.99999386\n";
  for (int i = 0; i < 30; i++) {
    const int a = 1 + int(rng() % 20), b = 1 + int(rng() % 20), c = 1 + int(rng() % 20);
    switch (i % 5) {
      case 0:
        base += "f " + std::to_string(a) + ' ' + std::to_string(b) + ' ' + std::to_string(c) + "\n";
        break;
      case 1:
        base += "f " + std::to_string(a) + '/' + std::to_string(b) + '/' + std::to_string(c) + ' ' +
                std::to_string(b) + '/' + std::to_string(c) + '/' + std::to_string(a) + ' ' +
                std::to_string(c) + '/' + std::to_string(a) + '/' + std::to_string(b) + "\n";
        break;
      case 2:
        base += "f " + std::to_string(a) + "//1 " + std::to_string(b) + "//2 " + std::to_string(c) +
                "//3 1//4\n";
        break;
      case 3:
        base += "f " + std::to_string(a) + "/1 " + std::to_string(b) + "/2\n  " +
                std::to_string(c) + "/3\n";
        break;
      default: base += "g part" + std::to_string(i % 3) + "\nf 1 2 3 4 5\n"; break;
    }
  }
  TempDir dir;
  // A cut inside a face's first item may read index 0 and end the process,
  // so each reading runs in a child.
  for (size_t cut = base.size() - 120; cut <= base.size(); cut += 1) {
    const std::string path = dir.write("long.obj", base.substr(0, cut));
    ASSERT_EQ(readInChild(path, true), readInChild(path, false)) << "cut at " << cut;
  }
  // The whole file reads without failing.
  const std::string path = dir.write("long.obj", base);
  EXPECT_EQ(readInChild(path, true)[0], '0');
}

TEST(ReadObjRobust, every_truncated_prefix_reads_or_fails_cleanly) {
  const std::string full =
      "# scene\nmtllib colors.mtl\n"
      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nvt 0 0\nvt 1 0\nvt 1 1\n"
      "g top\nusemtl red\nf 1/1/1 2/2/1 3/3/1 4/1/1\ng side\nf 1//1 2//1 3//1\n"
      "usemtl green\nf 4/2 3/3 1/1\nf 1 2 3\ns off\ng top\n";
  TempDir dir;
  dir.write("colors.mtl", kColors);
  int clean = 0, failed = 0;
  for (size_t length = 0; length <= full.size(); length++) {
    std::string path = dir.write("prefix.obj", full.substr(0, length));
    int status;
    std::string err = stderrOfChild(
        [&] {
          ObxModel* model = obxReadOBJ(path.c_str());
          obxDeleteModel(model);
        },
        &status);
    ASSERT_TRUE(status == 0 || status == 1) << "prefix " << length << ": " << err;
    ASSERT_EQ(err.find("Sanitizer"), std::string::npos) << "prefix " << length << ": " << err;
    ASSERT_EQ(err.find("runtime error"), std::string::npos) << "prefix " << length << ": " << err;
    if (status == 1) {
      ASSERT_EQ(err.rfind("OBX: Fatal Error: ", 0), 0u) << "prefix " << length << ": " << err;
      failed++;
    } else {
      clean++;
    }
  }
  EXPECT_GT(clean, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
