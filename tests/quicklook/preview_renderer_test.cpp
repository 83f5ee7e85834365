#include "quicklook/render/preview_renderer.h"

#include <gtest/gtest.h>

#include "preview_test_support.h"
#include "support/archive_maker.h"

namespace vexel::quicklook_render {
namespace {

TEST(PreviewRenderer, DisplayWidthCountsWideCharactersTwice) {
  EXPECT_EQ(displayWidth("abc"), 3U);
  EXPECT_EQ(displayWidth("项目"), 4U);
  EXPECT_EQ(displayWidth("ｆｕｌｌ"), 8U);   // full-width Latin
  EXPECT_EQ(displayWidth("e\xCC\x81"), 1U);  // e + combining acute
  EXPECT_EQ(displayWidth("…"), 1U);
  EXPECT_EQ(displayWidth("\xff"), 1U);  // a stray byte shows as one replacement
}

TEST(PreviewRenderer, MiddleTruncationFitsTheWidth) {
  struct Row {
    const char* text;
    std::size_t width;
    const char* expected;
  };
  const Row rows[] = {
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghij", 9, "abcd…ghij"},
      {"abcdefghij", 5, "ab…ij"},
      {"abcdefghij", 1, "…"},
      {"abcdefghij", 0, ""},
      {"项目文件名称.txt", 9, "项目….txt"},  // 4 columns of head, 4 of tail
      {"项目文件名称", 8, "项目…称"},        // head 3 columns hold one wide char less
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " in " + std::to_string(row.width));
    const std::string out = truncateMiddle(row.text, row.width);
    EXPECT_EQ(out, row.expected);
    EXPECT_LE(displayWidth(out), row.width);
  }
  EXPECT_EQ(truncateTail("abcdef", 4), "abc…");
  EXPECT_EQ(truncateTail("项目文件", 5), "项目…");
}

TEST(PreviewRenderer, ControlCharactersAndJsonEscapes) {
  EXPECT_EQ(printable("a\x1b[2Jb\n\xE2\x80\xAE"), "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(jsonString("q\"b\\n\n\t\x01 项"), "\"q\\\"b\\\\n\\n\\t\\u0001 项\"");
  EXPECT_EQ(jsonString("\xff"), "\"\xEF\xBF\xBD\"");
}

TEST(PreviewRenderer, TextShowsHeaderRowsFooterFittedToWidth) {
  test::TempDir dir;
  const std::string longName = "很长的文件名" + std::string(60, 'x') + ".txt";
  const auto zip = dir.path() / "text.zip";
  test::writeFile(zip, test::zipBytes({{"top/", "", true},
                                       {"top/" + longName, "abc", true},
                                       {"top/sub/", "", true},
                                       {"top/sub/a\x1b.txt", "1", true}}));
  auto controller = test::previewOf(zip);
  const std::string text = renderText(*controller, 60);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    EXPECT_LE(displayWidth(line), 60U);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
  }
  ASSERT_GE(lines.size(), 9U);
  EXPECT_EQ(lines[0], "text.zip");
  EXPECT_EQ(lines[1], "ZIP 压缩包 · 2 个文件 · 2 个文件夹");
  EXPECT_TRUE(lines[3].starts_with("名称"));
  EXPECT_TRUE(lines[4].starts_with("▾ top"));
  EXPECT_TRUE(lines[5].starts_with("  ▾ sub"));
  EXPECT_TRUE(lines[6].starts_with("      a\xEF\xBF\xBD.txt"));
  EXPECT_NE(lines[7].find("很长的文件名x"), std::string::npos);
  EXPECT_NE(lines[7].find("…"), std::string::npos);
  EXPECT_NE(lines[7].find("3 字节  2024-01-02 03:04"), std::string::npos);
  EXPECT_TRUE(lines.back().starts_with("原始大小 4 字节 → 压缩包"));
}

// Text and JSON stop after kMaxRenderedRows rows, as the page does, and
// say how many they left out.
TEST(PreviewRenderer, RowsStopAtTheLimitWithANote) {
  test::TempDir dir;
  std::vector<test::ZipEntry> entries;
  for (std::size_t i = 0; i < kMaxRenderedRows + 2; ++i) {
    entries.push_back({"f" + std::to_string(i), "", true});
  }
  const auto zip = dir.path() / "wide.zip";
  test::writeFile(zip, test::zipBytes(entries));
  // A generous limit: sanitizer builds on a busy machine list 50,000 entries slowly.
  auto controller = test::previewOf(zip, 120.0);
  EXPECT_EQ(renderedRows(*controller, 3).size(), 3U);
  const std::string json = renderJson(*controller);
  EXPECT_TRUE(json.ends_with("],\"omittedRows\":2}")) << json.substr(json.size() - 100);
  const std::string text = renderText(*controller, 80);
  EXPECT_NE(text.find("\n…另有 2 项未列出\n"), std::string::npos);
}

}  // namespace
}  // namespace vexel::quicklook_render
