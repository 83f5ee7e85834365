#include "text/code_page.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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
  };
  CodePageConverter cp437(CodePage::cp437);
  CodePageConverter gb18030(CodePage::gb18030);
  ASSERT_TRUE(cp437.isAvailable());
  ASSERT_TRUE(gb18030.isAvailable());
  EXPECT_EQ(codePageName(CodePage::cp437), "CP437");
  EXPECT_EQ(codePageName(CodePage::gb18030), "GB18030");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CodePageConverter& converter = row.page == CodePage::cp437 ? cp437 : gb18030;
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

}  // namespace
}  // namespace vexel::text
