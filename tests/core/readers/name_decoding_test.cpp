#include "readers/internal/name_decoding.h"

#include <gtest/gtest.h>

#include <string>
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
  // Decided: later UTF-8 names are final, and a name that is not UTF-8 is
  // read on its own at once.
  EXPECT_EQ(names.name("café.txt", NameOrigin::unmarked, position++, shown), Step::none);
  EXPECT_EQ(names.name("caf\xe9 cr\xe8me.txt", NameOrigin::unmarked, position++, shown),
            Step::none);
  EXPECT_EQ(shown, "café crème.txt");
  EXPECT_TRUE(names.finish(nullptr).empty());

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
}

}  // namespace
}  // namespace vexel::readers_internal
