#include "readers/internal/legacy_name_repair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel::readers_internal {
namespace {

// GB 18030 names as libarchive hands them over when it reads them as CP437.
// 报告/帷幕.txt is b1 a8 b8 e6 / e1 a1 c4 bb: 0xE6 decodes to U+00B5 and
// 0xE1 to U+00DF, the two bytes where converters' CP437 tables disagree.
constexpr const char* kReportMisread =
    "\xe2\x96\x92\xc2\xbf\xe2\x95\x95\xc2\xb5/\xc3\x9f\xc3\xad\xe2\x94\x80\xe2\x95\x97.txt";
constexpr const char* kDocsMisread = "\xe2\x95\xac\xe2\x94\x80\xe2\x95\xa1\xe2\x95\xa1";  // 文档

std::vector<RawEntry> entriesOf(const std::vector<std::string>& paths) {
  std::vector<RawEntry> entries;
  for (const std::string& path : paths) entries.push_back(RawEntry{.path = path});
  return entries;
}

std::vector<std::string> pathsOf(const std::vector<RawEntry>& entries) {
  std::vector<std::string> paths;
  for (const RawEntry& entry : entries) paths.push_back(entry.path);
  return paths;
}

TEST(LegacyNameRepair, RewritesMisreadNamesAndKeepsAscii) {
  std::vector<RawEntry> entries =
      entriesOf({kDocsMisread, std::string(kDocsMisread) + "/" + kReportMisread, "readme.txt"});
  entries[1].size = 42;
  entries[1].encrypted = true;
  fixGBKNames(entries);
  EXPECT_EQ(pathsOf(entries),
            (std::vector<std::string>{"文档", "文档/报告/帷幕.txt", "readme.txt"}));
  EXPECT_EQ(entries[1].size, 42);
  EXPECT_TRUE(entries[1].encrypted);
}

TEST(LegacyNameRepair, LeavesListsUnchangedUnlessEveryNameRepairs) {
  struct Row {
    const char* label;
    std::vector<std::string> paths;
  };
  const std::vector<Row> rows = {
      {"empty list", {}},
      {"ASCII only", {"docs/", "docs/a.txt", "b"}},
      {"correct Chinese names", {"文档/报告.txt", "说明"}},
      {"Chinese mixed with a Latin letter has no CP437 form", {"文档/é.txt"}},
      {"replacement character has no CP437 form", {"a\xef\xbf\xbd" "b"}},
      {"one name without a GB 18030 reading", {kReportMisread, "caf\xc3\xa9"}},
      {"readings without an ideograph", {"\xc3\xba\xc3\xad.txt"}},  // úí -> U+FF01
      {"Greek letters with an ASCII-only partner", {"\xce\xb1\xce\xb2", "x"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::vector<RawEntry> entries = entriesOf(row.paths);
    fixGBKNames(entries);
    EXPECT_EQ(pathsOf(entries), row.paths);
  }
}

TEST(LegacyNameRepair, CharacterClassTests) {
  struct Row {
    const char* text;
    bool suspicious;
    bool ideograph;
  };
  const Row rows[] = {
      {"plain.txt", false, false},
      {"\xc2\x80", true, false},             // U+0080
      {"\xc3\xbf", true, false},             // U+00FF
      {"\xc4\x80", false, false},            // U+0100
      {"\xce\x91", true, false},             // U+0391
      {"\xcf\x89", true, false},             // U+03C9
      {"\xcf\x8a", false, false},            // U+03CA
      {"\xe2\x94\x80", true, false},         // U+2500
      {"\xe2\x96\x9f", true, false},         // U+259F
      {"\xe2\x96\xa0", false, false},        // U+25A0
      {"\xef\xbf\xbd", true, false},         // U+FFFD
      {"\xe4\xb8\x80", false, true},         // U+4E00
      {"\xe9\xbf\xbf", false, true},         // U+9FFF
      {"\xea\x80\x80", false, false},        // U+A000
      {"\xe3\x80\x80", false, false},        // U+3000
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(isSuspiciousName(row.text), row.suspicious);
    EXPECT_EQ(hasCjkIdeograph(row.text), row.ideograph);
  }
  // Ill-formed bytes count as U+FFFD.
  EXPECT_TRUE(isSuspiciousName("a\xe4\xb8"));
}

}  // namespace
}  // namespace vexel::readers_internal
