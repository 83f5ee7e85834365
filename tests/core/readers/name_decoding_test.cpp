#include "readers/internal/name_decoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "text/code_page.h"

namespace vexel::readers_internal {
namespace {

using text::CodePage;
using Step = NameDecoder::Step;

constexpr NameRules kZip{.fallback = CodePage::cp437, .isUnixArchive = false};
constexpr NameRules kTar{.fallback = CodePage::cp1252, .isUnixArchive = true};

std::string gbk(const std::string& text) { return text::encode(CodePage::gb18030, text).value(); }

// The lister holds entries from the first name left open, and lets them go
// as they are once names that are all UTF-8 are decided: after 16 KiB of
// them, or after 4,096 held entries. Flagged and ASCII names never open it.
TEST(NameDecoder, HoldsFromTheFirstOpenNameAndReleasesUtf8) {
  NameDecoder names(kZip);
  std::string shown;
  std::size_t position = 0;
  EXPECT_EQ(names.name("readme.txt", NameOrigin::unmarked, position++, shown), Step::none);
  EXPECT_EQ(names.name("\xcd\xbc\xc6\xac", NameOrigin::declaredUtf8, position++, shown),
            Step::none);
  EXPECT_EQ(shown, "ͼƬ");  // flagged: final as it stands
  EXPECT_FALSE(names.hasOpenNames());
  EXPECT_EQ(names.name("日本語のファイル.txt", NameOrigin::unmarked, position++, shown),
            Step::hold);
  EXPECT_EQ(shown, "日本語のファイル.txt");
  EXPECT_TRUE(names.isOpen(2));
  Step last = Step::none;
  while (last == Step::none) {
    last = names.name("Übersicht/Größe-" + std::to_string(position) + ".txt", NameOrigin::unmarked,
                      position, shown);
    ++position;
  }
  EXPECT_EQ(last, Step::release);
  EXPECT_LT(position, 1000U);  // 16 KiB of names
  EXPECT_FALSE(names.hasOpenNames());
  // Decided: later UTF-8 names are final; a name that is not UTF-8 holds
  // the entries from it on, and is read with the others like it at the end.
  EXPECT_EQ(names.name("café.txt", NameOrigin::unmarked, position++, shown), Step::none);
  const std::size_t late = position;
  EXPECT_EQ(names.name("caf\xe9 cr\xe8me.txt", NameOrigin::unmarked, position++, shown),
            Step::hold);
  EXPECT_EQ(names.name("Größe.txt", NameOrigin::unmarked, position++, shown), Step::none);
  EXPECT_FALSE(names.isOpen(position - 1));
  const std::vector<Rename> renames = names.finish(nullptr);
  ASSERT_EQ(renames.size(), 1U);
  EXPECT_EQ(renames[0].position, late);
  EXPECT_EQ(renames[0].name, "café crème.txt");

  // Few names among many ASCII ones: decided once 4,096 entries are held.
  NameDecoder sparse(kZip);
  EXPECT_EQ(sparse.name("Привет.txt", NameOrigin::unmarked, 0, shown), Step::hold);
  for (std::size_t i = 1; i < 4096; ++i) {
    ASSERT_EQ(sparse.name("a" + std::to_string(i), NameOrigin::unmarked, i, shown), Step::none);
  }
  EXPECT_EQ(sparse.name("last", NameOrigin::unmarked, 4096, shown), Step::release);
}

// A name that is not UTF-8 settles it: every open name is legacy, the held
// entries stay held to the end, and finish() renames each of them.
TEST(NameDecoder, LegacyNamesAreDecidedAtTheEnd) {
  NameDecoder names(kZip);
  std::string shown;
  EXPECT_EQ(names.name(gbk("图片.pptx"), NameOrigin::unmarked, 0, shown), Step::hold);
  EXPECT_EQ(shown, "ͼƬ.pptx");  // provisional: the bytes are valid UTF-8
  EXPECT_EQ(names.name("bad\xff", NameOrigin::declaredUtf8, 1, shown), Step::none);
  EXPECT_EQ(shown, "bad\uFFFD");
  EXPECT_EQ(names.name(gbk("说明.txt"), NameOrigin::unmarked, 2, shown), Step::none);
  for (std::size_t i = 3; i < 6000; ++i) {
    ASSERT_EQ(names.name("a" + std::to_string(i), NameOrigin::unmarked, i, shown), Step::none);
  }
  const std::vector<Rename> renames = names.finish(nullptr);
  ASSERT_EQ(renames.size(), 2U);
  EXPECT_EQ(renames[0].position, 0U);
  EXPECT_EQ(renames[0].name, "图片.pptx");
  EXPECT_EQ(renames[1].position, 2U);
  EXPECT_EQ(renames[1].name, "说明.txt");
}

// After a legacy reading "\" separates folders, except in Unix archives,
// whose names may hold it; a name never becomes the name of another entry.
TEST(NameDecoder, FinalNames) {
  struct Row {
    const char* label;
    NameRules rules;
    std::vector<StoredName> stored;
    std::vector<std::string> shown;
  };
  const std::string sjis = text::encode(CodePage::cp932, "表だよ\\漢字.txt").value();
  const std::vector<Row> rows = {
      {"Shift-JIS with a backslash, ZIP",
       kZip,
       {{sjis, NameOrigin::unmarked}},
       {"表だよ/漢字.txt"}},
      {"Shift-JIS with a backslash, tar",
       kTar,
       {{sjis, NameOrigin::unmarked}},
       {"表だよ\\漢字.txt"}},
      {"leading and trailing backslashes",
       kZip,
       {{gbk("\\图片\\"), NameOrigin::unmarked}},
       {"图片"}},
      // Info-ZIP's UTF-8 names, several scripts in one archive, stay UTF-8.
      {"UTF-8 names of many scripts",
       kZip,
       {{"项目文档/报告.txt", NameOrigin::unmarked},
        {"日本語/テスト.txt", NameOrigin::unmarked},
        {"Документы/отчёт.doc", NameOrigin::unmarked},
        {"Ελληνικά.txt", NameOrigin::unmarked},
        {"Übersicht/café.txt", NameOrigin::unmarked}},
       {"项目文档/报告.txt", "日本語/テスト.txt", "Документы/отчёт.doc", "Ελληνικά.txt",
        "Übersicht/café.txt"}},
      // GBK bytes that read as a flagged name keep their provisional text.
      {"a legacy name that would read as a flagged one",
       kZip,
       {{"报告.txt", NameOrigin::declaredUtf8}, {gbk("报告.txt"), NameOrigin::unmarked}},
       {"报告.txt", "\uFFFD\uFFFD\uFFFD\uFFFD.txt"}},
      // GBK 图片 reads as valid UTF-8 "ͼƬ"; the legacy reading is the plausible one.
      {"GBK whose bytes are valid UTF-8", kZip, {{gbk("图片"), NameOrigin::unmarked}}, {"图片"}},
      // No one code page reads both: each name goes to the one that does.
      {"GBK and Shift-JIS names in one archive",
       kZip,
       {{gbk("中文.txt"), NameOrigin::unmarked},
        {text::encode(CodePage::cp932, "日文.txt").value(), NameOrigin::unmarked}},
       {"中文.txt", "日文.txt"}},
      // A flagged name that is not UTF-8 takes no part in the decision.
      {"a bad flagged name beside Info-ZIP UTF-8 names",
       kZip,
       {{"bad\xff", NameOrigin::declaredUtf8}, {"项目/报告.txt", NameOrigin::unmarked}},
       {"bad\uFFFD", "项目/报告.txt"}},
      {"a bad flagged name beside GBK names",
       kZip,
       {{"bad\xff", NameOrigin::declaredUtf8}, {gbk("目录"), NameOrigin::unmarked}},
       {"bad\uFFFD", "目录"}},
      {"the same bytes twice are one name",
       kZip,
       {{gbk("报告.txt"), NameOrigin::unmarked}, {gbk("报告.txt"), NameOrigin::unmarked}},
       {"报告.txt", "报告.txt"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(decideNames(row.stored, row.rules), row.shown);
  }
}

// An archive that mixes valid UTF-8 with other names (several tools over
// years) gives every name the same text wherever the odd ones stand: first,
// in the middle, last, or after thousands of UTF-8 names. Valid names of a
// GBK archive (图片 reads as UTF-8 "ͼƬ") still go with the others.
TEST(NameDecoder, MixedNamesDoNotDependOnTheirOrder) {
  struct Row {
    const char* label;
    NameRules rules;
    std::vector<std::pair<std::string, std::string>> names;  // stored, shown
    bool withUtf8Crowd;  // also after and before 5,000 UTF-8 names
  };
  const std::vector<std::pair<std::string, std::string>> utf8 = {
      {"文档/报告.txt", "文档/报告.txt"},         {"照片/2023/海边.jpg", "照片/2023/海边.jpg"},
      {"音乐/晴天.mp3", "音乐/晴天.mp3"},         {"Übersicht/Größe.txt", "Übersicht/Größe.txt"},
      {"日本語/テスト.txt", "日本語/テスト.txt"},
  };
  const auto with = [&](std::vector<std::pair<std::string, std::string>> odd) {
    odd.insert(odd.end(), utf8.begin(), utf8.end());
    return odd;
  };
  const std::vector<Row> rows = {
      {"one Latin-1 name, tar", kTar, with({{"old/r\xe9sum\xe9.doc", "old/résumé.doc"}}), true},
      {"one GBK name, tar", kTar, with({{gbk("报告/会议纪要.txt"), "报告/会议纪要.txt"}}), true},
      {"one GBK name, ZIP", kZip, with({{gbk("新建文件夹\\说明.txt"), "新建文件夹/说明.txt"}}),
       true},
      {"two Latin-1 names, ZIP", kZip,
       with({{"caf\xe9.txt", "café.txt"}, {"na\xefve.txt", "naïve.txt"}}), true},
      {"GBK names, some valid UTF-8 by chance",
       kZip,
       {{gbk("报告.txt"), "报告.txt"},
        {gbk("图片"), "图片"},
        {gbk("目录/说明.txt"), "目录/说明.txt"},
        {gbk("通知.doc"), "通知.doc"},
        {gbk("系统"), "系统"},
        {gbk("会议纪要.docx"), "会议纪要.docx"}},
       false},
  };
  std::vector<std::pair<std::string, std::string>> crowd;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = "归档/" + std::to_string(i) + "/文件.txt";
    crowd.emplace_back(name, name);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::vector<std::vector<std::pair<std::string, std::string>>> orders;
    const std::size_t n = row.names.size();
    for (std::size_t shift = 0; shift < n; ++shift) {  // each name first, middle and last in turn
      auto order = row.names;
      std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shift), order.end());
      orders.push_back(order);
      std::reverse(order.begin(), order.end());
      orders.push_back(std::move(order));
    }
    if (row.withUtf8Crowd) {
      auto after = crowd;
      after.insert(after.end(), row.names.begin(), row.names.end());
      orders.push_back(std::move(after));
      auto second = crowd;
      second.insert(second.begin() + 1, row.names.begin(), row.names.end());
      orders.push_back(std::move(second));
      auto before = row.names;
      before.insert(before.end(), crowd.begin(), crowd.end());
      orders.push_back(std::move(before));
    }
    for (const auto& order : orders) {
      SCOPED_TRACE(order.front().second + " first, " + std::to_string(order.size()) + " names");
      std::vector<StoredName> stored;
      std::vector<std::string> expected;
      for (const auto& [bytes, shown] : order) {
        stored.push_back({bytes, NameOrigin::unmarked});
        expected.push_back(shown);
      }
      EXPECT_EQ(decideNames(stored, row.rules), expected);
      // The lister's way, one name at a time, comes to the same names.
      NameDecoder names(row.rules);
      std::vector<std::string> shown(stored.size());
      for (std::size_t i = 0; i < stored.size(); ++i) {
        (void)names.name(stored[i].bytes, stored[i].origin, i, shown[i]);
      }
      for (Rename& rename : names.finish(nullptr)) shown[rename.position] = std::move(rename.name);
      EXPECT_EQ(shown, expected);
    }
  }
}

// A link's target is read the way the archive's names were.
TEST(NameDecoder, LinkTargetsReadAsTheNames) {
  NameReading reading;
  const std::vector<StoredName> gbkNames = {{gbk("图片/说明.txt"), NameOrigin::unmarked}};
  EXPECT_EQ(decideNames(gbkNames, kZip, &reading), std::vector<std::string>{"图片/说明.txt"});
  EXPECT_TRUE(reading.isLegacy);
  EXPECT_EQ(reading.codePage, CodePage::gb18030);
  EXPECT_EQ(decodeLinkTarget(gbk("..\\图片\\说明.txt"), reading), "../图片/说明.txt");
  EXPECT_EQ(decodeLinkTarget("plain/ascii", reading), "plain/ascii");

  const std::vector<StoredName> utf8Names = {{"项目/报告.txt", NameOrigin::unmarked}};
  EXPECT_EQ(decideNames(utf8Names, kTar, &reading), std::vector<std::string>{"项目/报告.txt"});
  EXPECT_FALSE(reading.isLegacy);
  EXPECT_EQ(decodeLinkTarget("../项目/报告.txt", reading), "../项目/报告.txt");
  EXPECT_EQ(decodeLinkTarget("a\\b", reading), "a\\b");  // tar: a plain character

  // Mixed names: a valid UTF-8 target stays UTF-8, another takes their code page.
  const std::vector<StoredName> mixed = {{"项目/报告.txt", NameOrigin::unmarked},
                                         {"r\xe9sum\xe9.doc", NameOrigin::unmarked}};
  EXPECT_EQ(decideNames(mixed, kTar, &reading),
            (std::vector<std::string>{"项目/报告.txt", "résumé.doc"}));
  EXPECT_TRUE(reading.isLegacy);
  EXPECT_EQ(decodeLinkTarget("../项目/报告.txt", reading), "../项目/报告.txt");
  EXPECT_EQ(decodeLinkTarget("../r\xe9sum\xe9.doc", reading), "../résumé.doc");
}

}  // namespace
}  // namespace vexel::readers_internal
