#include "text/utf8.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <string>
#include <vector>

namespace vexel::text {
namespace {

constexpr const char* kFFFD = "\xEF\xBF\xBD";

std::string replacements(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += kFFFD;
  return out;
}

// ICU converts to UTF-16 with one U+FFFD per maximal ill-formed subpart: the
// reference for toUtf16Lenient.
std::u16string icuUtf16(std::string_view bytes) {
  std::u16string out(bytes.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                       &length, bytes.data(), static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr,
                       &status);
  EXPECT_TRUE(U_SUCCESS(status));
  out.resize(static_cast<size_t>(length));
  return out;
}

TEST(Utf8, LenientDecodingReplacesEachMaximalSubpart) {
  struct Row {
    const char* label;
    std::string bytes;
    std::string decoded;
  };
  const Row rows[] = {
      {"empty", "", ""},
      {"ASCII with NUL", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"two to four bytes", "\xC2\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80",
       "\xC2\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"edges U+007F U+0080 U+07FF U+0800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80",
       "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
      {"edges U+D7FF U+E000 U+FFFF U+10000 U+10FFFF",
       "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"U+FFFD itself stays", "a\xEF\xBF\xBD", "a\xEF\xBF\xBD"},
      // The four examples of the Unicode Standard's chapter 3 (U+FFFD
      // substitution of maximal subparts).
      {"non-shortest forms", "\xC0\xAF\xE0\x80\xBF\xF0\x81\x82\x41", replacements(8) + "A"},
      {"surrogates", "\xED\xA0\x80\xED\xBF\xBF\xED\xAF\x41", replacements(8) + "A"},
      {"other ill-formed", "\xF4\x91\x92\x93\xFF\x41\x80\xBF\x42",
       replacements(5) + "A" + replacements(2) + "B"},
      {"truncated", "\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41", replacements(4) + "A"},
      {"truncated at the end, two bytes of three", "ab\xE4\xB8", "ab" + replacements(1)},
      {"truncated at the end, three bytes of four", "\xF0\x9F\x98", replacements(1)},
      {"lone lead before ASCII", "\xC3x", replacements(1) + "x"},
      {"lone continuation bytes", "\x80\x80", replacements(2)},
      {"overlong NUL", "\xC0\x80", replacements(2)},
      {"overlong three and four bytes", "\xE0\x9F\xBF\xF0\x8F\xBF\xBF", replacements(7)},
      {"above U+10FFFF", "\xF4\x90\x80\x80", replacements(4)},
      {"F5 to FF never lead", "\xF5\x80\xF8\x88\x80\x80\x80\xFE\xFF", replacements(9)},
      {"CESU-8 surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", replacements(6)},
      {"good after bad", "\xE4\xB8\xE4\xB8\xAD", replacements(1) + "\xE4\xB8\xAD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(decodeUtf8Lenient(row.bytes), row.decoded);
    const bool valid = row.bytes == row.decoded;
    EXPECT_EQ(isValidUtf8(row.bytes), valid);
    EXPECT_TRUE(isValidUtf8(decodeUtf8Lenient(row.bytes)));
    EXPECT_EQ(toUtf16Lenient(row.bytes), icuUtf16(row.bytes));
    EXPECT_EQ(utf16Length(row.bytes), icuUtf16(row.bytes).size());
  }
}

// Every text of up to four bytes drawn from the bytes where the rules
// change decodes as ICU decodes it.
TEST(Utf8, AgreesWithIcuOnShortTexts) {
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  const size_t n = std::size(edges);
  std::string text;
  size_t mismatches = 0;
  for (size_t length = 1; length <= 4; ++length) {
    std::vector<size_t> digits(length, 0);
    for (;;) {
      text.clear();
      for (const size_t d : digits) text.push_back(static_cast<char>(edges[d]));
      const std::u16string expected = icuUtf16(text);
      if (toUtf16Lenient(text) != expected || utf16Length(text) != expected.size() ||
          isValidUtf8(text) != (decodeUtf8Lenient(text) == text)) {
        if (++mismatches <= 5) {
          ADD_FAILURE() << "differs from ICU: " << testing::PrintToString(text);
        }
      }
      size_t k = 0;
      while (k < length && ++digits[k] == n) digits[k++] = 0;
      if (k == length) break;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(Utf8, WalksByCodePoint) {
  // "a", U+00E9, a truncated three-byte start, U+1F600, a stray continuation byte.
  const std::string text = "a\xC3\xA9\xE4\xB8\xF0\x9F\x98\x80\x80";
  struct Step {
    char32_t value;
    size_t offset, length;
    bool isIllFormed;
  };
  const Step expected[] = {
      {U'a', 0, 1, false},          {U'\u00E9', 1, 2, false}, {U'\uFFFD', 3, 2, true},
      {U'\U0001F600', 5, 4, false}, {U'\uFFFD', 9, 1, true},
  };
  std::vector<CodePoint> steps;
  for (const CodePoint cp : codePoints(text)) steps.push_back(cp);
  ASSERT_EQ(steps.size(), std::size(expected));
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(steps[i].value, expected[i].value);
    EXPECT_EQ(steps[i].offset, expected[i].offset);
    EXPECT_EQ(steps[i].length, expected[i].length);
    EXPECT_EQ(steps[i].end(), expected[i].offset + expected[i].length);
    EXPECT_EQ(steps[i].isIllFormed, expected[i].isIllFormed);
  }
  EXPECT_EQ(codePoints("").begin(), codePoints("").end());
}

// What may reach a terminal, a page or a notification: control characters
// (C0, DEL, C1 such as the 8-bit CSI), bidirectional overrides and isolates
// and ill-formed bytes become U+FFFD; everything else stays as it is.
TEST(Utf8, PrintableReplacesWhatCouldDriveATerminal) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    const char* label;
    std::string bytes;
    std::string shown;
  } rows[] = {
      {"plain", "abc 中文 .txt", "abc 中文 .txt"},
      {"OSC 52", "a\x1b]52;c;SGk=\x07", "a" + r + "]52;c;SGk=" + r},
      {"line breaks and tab", "a\nb\rc\td", "a" + r + "b" + r + "c" + r + "d"},
      {"DEL and C1",
       "\x7f\xC2\x9B"
       "31m\xC2\x85",
       r + r + "31m" + r},
      {"no-break space stays",
       "a\xC2\xA0"
       "b",
       "a\xC2\xA0"
       "b"},
      {"bidi override and isolate", "\xE2\x80\xAEgpj.exe\xE2\x81\xA6", r + "gpj.exe" + r},
      {"ill-formed", "\xFF\xE4\xB8", r + r},
      {"line and paragraph separators",
       "a\xE2\x80\xA8"
       "b\xE2\x80\xA9"
       "c",
       "a" + r + "b" + r + "c"},
      {"bidi marks",
       "\xE2\x80\x8F"
       "a\xE2\x80\x8E"
       "b\xD8\x9C",
       r + "a" + r + "b" + r},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(printable(row.bytes), row.shown);
  }
}

TEST(Utf8, AppendsScalarsAndReplacesNonScalars) {
  const std::pair<char32_t, std::string> rows[] = {
      {U'\0', std::string(1, '\0')},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
      {0xD800, kFFFD},
      {0xDFFF, kFFFD},
      {0x110000, kFFFD},
  };
  for (const auto& [scalar, utf8] : rows) {
    SCOPED_TRACE(static_cast<unsigned>(scalar));
    std::string out = "x";
    appendUtf8(out, scalar);
    EXPECT_EQ(out, "x" + utf8);
  }
}

}  // namespace
}  // namespace vexel::text
