#include "text/code_page.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexel::text {
namespace {

TEST(CodePage, RoundTripsAndFailures) {
  struct Row {
    const char* label;
    CodePage page;
    std::string bytes;
    std::optional<std::string> text;  // nullopt: the bytes do not decode
  };
  const Row rows[] = {
      {"CP437 ASCII", CodePage::cp437, "docs/a.txt", "docs/a.txt"},
      {"CP437 empty", CodePage::cp437, "", ""},
      {"CP437 Latin letters", CodePage::cp437, "caf\x82 M\x81ller", "café Müller"},
      {"CP437 box drawing and Greek", CodePage::cp437, "\xCE\xB1\xE0\xE2", "╬▒αΓ"},
      // The two bytes where converters disagree: ICU's ibm-437 reads 0xE6 as
      // U+03BC; iconv (and libarchive through it) as U+00B5.
      {"CP437 0xE6 is MICRO SIGN", CodePage::cp437, "\xE6", "\xC2\xB5"},
      {"CP437 0xE1 is SHARP S", CodePage::cp437, "\xE1", "\xC3\x9F"},
      {"CP437 every byte decodes", CodePage::cp437, "\x80\xFF", "Ç\u00A0"},
      {"GB 18030 two-byte", CodePage::gb18030, "\xB1\xA8\xB8\xE6.txt", "报告.txt"},
      {"GB 18030 folder and file", CodePage::gb18030,
       "\xC6\xBD\xC3\xE6\xCD\xBC/\xB7\xE2\xC3\xE6.png", "平面图/封面.png"},
      {"GB 18030 four-byte BMP", CodePage::gb18030, "\x81\x30\x85\x38", "\xC2\xB5"},
      {"GB 18030 four-byte supplementary", CodePage::gb18030, "\x94\x39\xFC\x36",
       "\xF0\x9F\x98\x80"},
      {"GB 18030 euro sign", CodePage::gb18030, "\xA2\xE3", "€"},
      {"GB 18030 truncated", CodePage::gb18030, "\xB1\xA8\xB8", std::nullopt},
      {"GB 18030 truncated four-byte", CodePage::gb18030, "\x81\x30\x85", std::nullopt},
      {"GB 18030 invalid trail", CodePage::gb18030, "\xB1\x20", std::nullopt},
      {"GB 18030 0xFF", CodePage::gb18030, "a\xFF", std::nullopt},
      {"Shift-JIS kana and a 0x5C trail", CodePage::cp932, "\x95\x5C\x82\xBE\x82\xE6", "表だよ"},
      {"Shift-JIS half-width katakana", CodePage::cp932, "\xB6\xC5", "ｶﾅ"},
      {"Shift-JIS lead byte at the end", CodePage::cp932, "a\x95", std::nullopt},
      {"EUC-JP kanji and kana", CodePage::eucjp, "\xB4\xC1\xBB\xFA\xA4\xC0", "漢字だ"},
      {"EUC-JP half-width katakana", CodePage::eucjp, "\x8E\xB6", "ｶ"},
      {"EUC-JP lead byte at the end", CodePage::eucjp, "a\xB4", std::nullopt},
      {"Big5", CodePage::big5, "\xA4\xA4\xA4\xE5", "中文"},
      {"UHC hangul outside EUC-KR", CodePage::cp949, "\xC7\xD1\x81\x41", "한갂"},
      {"DOS Cyrillic", CodePage::cp866, "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
      {"KOI8-R", CodePage::koi8r, "\xF0\xD2\xC9\xD7\xC5\xD4", "Привет"},
      {"Windows Cyrillic", CodePage::cp1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {"Windows Cyrillic 0x98 is undefined", CodePage::cp1251, "\x98", std::nullopt},
      {"Windows Western", CodePage::cp1252, "\xC4pfel \x80", "Äpfel €"},
      {"Windows Western 0x81 is undefined", CodePage::cp1252, "M\x81ller", std::nullopt},
  };
  const std::pair<CodePage, const char*> names[] = {
      {CodePage::cp437, "CP437"},   {CodePage::gb18030, "GB18030"}, {CodePage::cp932, "CP932"},
      {CodePage::eucjp, "EUC-JP"},  {CodePage::big5, "CP950"},      {CodePage::cp949, "CP949"},
      {CodePage::cp866, "CP866"},   {CodePage::koi8r, "KOI8-R"},    {CodePage::cp1251, "CP1251"},
      {CodePage::cp1252, "CP1252"},
  };
  for (const auto& [page, name] : names) {
    EXPECT_EQ(codePageName(page), name);
    EXPECT_TRUE(CodePageConverter(page).isAvailable()) << name;
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CodePageConverter converter(row.page);
    EXPECT_EQ(converter.decode(row.bytes), row.text);
    EXPECT_EQ(decode(row.page, row.bytes), row.text);
    if (row.text) {
      EXPECT_EQ(converter.encode(*row.text), row.bytes);
      EXPECT_EQ(encode(row.page, *row.text), row.bytes);
    }
  }
}

TEST(CodePage, EncodingFailsRatherThanSubstitutes) {
  const std::pair<CodePage, std::string> rows[] = {
      {CodePage::cp437, "\xCE\xBC"},       // U+03BC, ICU's reading of 0xE6
      {CodePage::cp437, "文档"},           // no CJK in CP437
      {CodePage::cp437, "a\xEF\xBF\xBD"},  // U+FFFD
      {CodePage::cp437, "\xC3\xA9\xFF"},   // ill-formed UTF-8
      {CodePage::cp437, "\xED\xA0\x80"},   // a surrogate
      {CodePage::cp437, "\xE2\x82\xAC"},   // €: a transliterating converter would write "EUR"
      {CodePage::gb18030, "\xC0\xAF"},     // overlong "/"
  };
  for (const auto& [page, utf8] : rows) {
    SCOPED_TRACE(testing::PrintToString(utf8));
    EXPECT_EQ(encode(page, utf8), std::nullopt);
  }
  // GB 18030 covers all of Unicode.
  EXPECT_EQ(encode(CodePage::gb18030, "\xCE\xBC"), "\xA6\xCC");
}

// The misread names of the legacy ZIP repair: GB 18030 bytes shown as CP437
// text go back to their bytes and on to Chinese.
TEST(CodePage, CP437TextBackToGB18030) {
  const std::pair<std::string, std::string> rows[] = {
      {"\xe2\x96\x92\xc2\xbf\xe2\x95\x95\xc2\xb5.txt", "报告.txt"},  // 0xE6 as U+00B5
      {"\xc3\x9f\xc3\xad\xe2\x94\x80\xe2\x95\x97", "帷幕"},          // 0xE1 as U+00DF
  };
  CodePageConverter cp437(CodePage::cp437);
  CodePageConverter gb18030(CodePage::gb18030);
  for (const auto& [misread, chinese] : rows) {
    SCOPED_TRACE(chinese);
    const std::optional<std::string> bytes = cp437.encode(misread);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(gb18030.decode(*bytes), chinese);
    EXPECT_EQ(gb18030.encode(chinese), bytes);
    EXPECT_EQ(cp437.decode(*bytes), misread);
  }
}

// Listings run on threads of one process, each opening and closing its own
// converters: every thread's conversions stay right while the others convert.
TEST(CodePage, ConvertsOnManyThreadsAtOnce) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong] {
      for (int i = 0; i < 300; ++i) {
        if (decode(CodePage::gb18030, "\xB1\xA8\xB8\xE6") != "报告") ++wrong;
        if (encode(CodePage::cp437, "\u00B5") != "\xE6") ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vexel::text
