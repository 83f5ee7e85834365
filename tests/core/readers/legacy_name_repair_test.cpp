#include "readers/internal/legacy_name_repair.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace vexel::readers_internal {
namespace {

using text::CodePage;

std::vector<LegacyName> legacyNames(CodePage page, const std::vector<std::string>& texts) {
  std::vector<LegacyName> names;
  for (const std::string& text : texts) {
    const std::optional<std::string> bytes = text::encode(page, text);
    EXPECT_TRUE(bytes) << text << " has no form in " << text::codePageName(page);
    names.push_back(LegacyName{.position = names.size(), .bytes = bytes.value_or("")});
  }
  return names;
}

// Names as the tools of each language wrote them, folders and files: each
// archive's names must come back in the code page they were written in.
TEST(LegacyNameRepair, ChoosesTheCodePageTheNamesWereWrittenIn) {
  struct Row {
    CodePage page;
    std::vector<std::string> names;
  };
  const std::vector<Row> rows = {
      // The short GBK archives of the original repair: 0xE6 in 报告 and 0xE1
      // in 帷 are where CP437 tables disagree.
      {CodePage::gb18030, {"报告.txt"}},
      {CodePage::gb18030, {"平面图", "平面图/封面.png"}},
      {CodePage::gb18030, {"文档", "文档/报告", "文档/报告/帷幕.txt"}},
      {CodePage::gb18030, {"帷幕.txt"}},
      {CodePage::gb18030,
       {"项目文档", "项目文档/需求说明书.docx", "项目文档/会议纪要（2023）.doc", "照片/",
        "照片/全家福.jpg", "新建文件夹/工资表.xlsx", "财务/2023年度预算.xlsx",
        "合同/采购合同-终稿.pdf"}},
      {CodePage::gb18030, {"页.txt"}},
      {CodePage::cp932, {"表だよ", "表だよ/一覧表.txt", "表だよ/漢字.txt"}},
      {CodePage::cp932, {"日本語のファイル.txt"}},
      {CodePage::cp932, {"資料/議事録.docx", "写真/旅行.jpg", "ﾃｽﾄ/ﾃﾞｰﾀ.csv"}},
      {CodePage::big5, {"繁體中文", "繁體中文/說明文件.txt", "圖片/風景.jpg"}},
      {CodePage::big5, {"報告.doc"}},
      {CodePage::cp949, {"한국어.txt"}},
      {CodePage::cp949, {"사진", "사진/가족여행.jpg", "문서/보고서.hwp", "자료.zip"}},
      {CodePage::cp437, {"Müller.txt"}},
      {CodePage::cp437, {"café", "café/menü.txt", "Übersicht.doc"}},
      {CodePage::cp866, {"Привет"}},
      {CodePage::cp866, {"Документы", "Документы/отчёт.doc", "привет", "ПРИВЕТ"}},
      {CodePage::koi8r, {"привет"}},
      {CodePage::koi8r, {"привет", "ПРИВЕТ"}},
      {CodePage::koi8r, {"Документы", "Документы/отчет.txt", "фото.jpg"}},
      {CodePage::cp1251, {"Привет.txt"}},
      {CodePage::cp1251, {"Документы", "Документы/Отчет за май.docx", "привет"}},
      {CodePage::cp1252, {"umlauts/Äpfel.txt"}},
      {CodePage::cp1252, {"café.txt", "naïve.doc", "Größe.txt", "été.txt", "Ñandú/año.txt"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(text::codePageName(row.page)) + ": " + row.names.front());
    const LegacyDecoding decoded =
        fixGBKNames(legacyNames(row.page, row.names), NameRules{.fallback = CodePage::cp437});
    EXPECT_EQ(text::codePageName(decoded.codePage), text::codePageName(row.page));
    EXPECT_EQ(decoded.names, row.names);
  }
}

// Names that read as no script, or that one candidate cannot decode, fall
// back as the caller says; ASCII parts never change.
TEST(LegacyNameRepair, FallsBackWhenNoScriptReads) {
  struct Row {
    const char* label;
    std::vector<std::string> bytes;
    CodePage fallback;
    CodePage chosen;
    std::vector<std::string> names;
  };
  const std::vector<Row> rows = {
      {"empty list", {}, CodePage::cp437, CodePage::cp437, {}},
      // a3 a1 is a full-width "！" in GB 18030: without a hanzi that is no
      // Chinese reading; ZIP's own code page reads two letters.
      {"GB 18030 reading without a hanzi",
       {"\xa3\xa1.txt"},
       CodePage::cp437,
       CodePage::cp437,
       {"úí.txt"}},
      // A degree sign or a shade, but a letter in no code page.
      {"only a symbol, ZIP", {"\xb0"}, CodePage::cp437, CodePage::cp437, {"░"}},
      {"only a symbol, tar", {"\xb0"}, CodePage::cp1252, CodePage::cp1252, {"°"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::vector<LegacyName> names;
    for (const std::string& bytes : row.bytes)
      names.push_back({.position = names.size(), .bytes = bytes});
    const LegacyDecoding decoded = fixGBKNames(names, NameRules{.fallback = row.fallback});
    EXPECT_EQ(text::codePageName(decoded.codePage), text::codePageName(row.chosen));
    EXPECT_EQ(decoded.names, row.names);
  }
  // All or nothing: one name without a GB 18030 reading keeps the others
  // from being read as Chinese.
  const LegacyDecoding mixed = fixGBKNames(
      {{.position = 0, .bytes = "\xb1\xa8\xb8\xe6"}, {.position = 1, .bytes = "caf\x82"}},
      NameRules{.fallback = CodePage::cp437});
  EXPECT_NE(mixed.codePage, CodePage::gb18030);
}

// Whatever the bytes: every name decodes, without U+FFFD, and different
// bytes stay different names.
TEST(LegacyNameRepair, EveryByteStringGetsItsOwnName) {
  std::vector<LegacyName> names;
  for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
    names.push_back({.position = names.size(), .bytes = std::string(1, static_cast<char>(byte))});
    names.push_back(
        {.position = names.size(), .bytes = "x" + std::string(2, static_cast<char>(byte))});
  }
  for (const CodePage fallback : {CodePage::cp437, CodePage::cp1252}) {
    const LegacyDecoding decoded = fixGBKNames(names, NameRules{.fallback = fallback});
    ASSERT_EQ(decoded.names.size(), names.size());
    EXPECT_EQ(std::set<std::string>(decoded.names.begin(), decoded.names.end()).size(),
              names.size());
    for (const std::string& name : decoded.names)
      EXPECT_EQ(name.find("\xEF\xBF\xBD"), std::string::npos);
  }
}

// Names that are all valid UTF-8: GBK words whose bytes happen to be UTF-8
// read as GBK (in UTF-8 they spell rare Greek, Coptic, Latin Extended,
// Hebrew accents and combining marks); real UTF-8 names of any script stay.
TEST(LegacyNameRepair, ReadsValidUtf8AsLegacyOnlyWhenClearlyBetter) {
  struct Row {
    std::vector<std::string> names;  // the stored bytes, as their GBK text or UTF-8
    bool isGbk;
  };
  const std::vector<Row> rows = {
      {{"图片.pptx"}, true},
      {{"通知.csv"}, true},
      {{"目录.png"}, true},
      {{"系统"}, true},
      {{"图片/"}, true},
      {{"小.txt"}, true},  // "С.txt" as UTF-8: a lone Cyrillic letter
      {{"报告.txt"}, false},
      {{"日本語のファイル.txt", "写真/旅行.jpg"}, false},
      {{"Документы/отчёт.doc"}, false},
      {{"Ελληνικά.txt", "αβγ.txt"}, false},
      {{"café", "naïve.doc", "Größe.txt", "Crème brûlée.txt"}, false},
      {{"사진/가족여행.jpg"}, false},
      {{"हिन्दी.txt", "ملف.pdf", "מסמך.doc"}, false},
      {{"cafe\u0301.txt"}, false},  // NFD, as macOS writes it
      // Symbols and letters beside ASCII text, numbering signs.
      {{"2023—2024.xlsx"}, false},
      {{"notes…txt"}, false},
      {{"½ price.pdf"}, false},  // 陆 price.pdf in GBK
      {{"µ-controller.txt"}, false},
      {{"βeta.txt"}, false},  // 尾eta.txt in GBK
      {{"①.txt"}, false},
      {{"Ⅱ.txt"}, false},
      {{"αβ.txt"}, false},
      // A name of one letter: a rarer hanzi loses to the letter (惟 = Ω,
      // 眉 = ü, not 체 either; 挟 = Ю, 渭 = μ), a common one wins (小 = С,
      // 录 = ¼, 毛 = ë, 协 = Э).
      {{"Ω.txt"}, false},
      {{"ü.txt"}, false},
      {{"Ю.txt"}, false},
      {{"μ.txt"}, false},
      {{"录.txt"}, true},
      {{"毛.txt"}, true},
      {{"协.txt"}, true},
      {{"ü.txt", "2023—2024.xlsx"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.names.front());
    std::vector<std::string> bytes;
    for (const std::string& name : row.names) {
      bytes.push_back(row.isGbk ? text::encode(CodePage::gb18030, name).value() : name);
    }
    const std::vector<std::string_view> views(bytes.begin(), bytes.end());
    EXPECT_EQ(readsAsLegacy(views, NameRules{.fallback = CodePage::cp437}), row.isGbk);
  }
}

// GBK text without hanzi, and Latin-1 names, against the Cyrillic code pages
// that used to win them; EUC-JP in Unix archives only.
TEST(LegacyNameRepair, ChoosesAmongLookalikeCodePages) {
  struct Row {
    CodePage page;
    NameRules rules;
    std::vector<std::string> names;
  };
  const NameRules zip{.fallback = CodePage::cp437};
  const NameRules tar{.fallback = CodePage::cp1252, .isUnixArchive = true};
  const std::vector<Row> rows = {
      {CodePage::gb18030, zip, {"ＡＢＣ.txt"}},
      {CodePage::gb18030, zip, {"あいう.txt"}},
      {CodePage::gb18030, zip, {"①②③.txt"}},
      {CodePage::gb18030, zip, {"αβγ.txt"}},
      {CodePage::gb18030, zip, {"图片.pptx", "说明.txt"}},
      {CodePage::gb18030, tar, {"照片/", "照片/全家福.jpg"}},
      {CodePage::gb18030, tar, {"图片.pptx"}},
      {CodePage::eucjp, tar, {"漢字.txt", "表.txt"}},
      {CodePage::eucjp, tar, {"日本語のファイル.txt"}},
      {CodePage::cp1252, tar, {"ustar/umlauts-ÄÖÜäöüß"}},
      {CodePage::cp1252, tar, {"3±±±F06±W2345±ZB±la±±±±±±±±BLA"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(text::codePageName(row.page)) + ": " + row.names.front());
    const LegacyDecoding decoded = fixGBKNames(legacyNames(row.page, row.names), row.rules);
    EXPECT_EQ(text::codePageName(decoded.codePage), text::codePageName(row.page));
    EXPECT_EQ(decoded.names, row.names);
  }
  // Where no one code page reads every name, each name goes to its own.
  std::vector<LegacyName> mixed = legacyNames(CodePage::gb18030, {"中文", "报告.txt"});
  mixed.push_back({.position = 2, .bytes = text::encode(CodePage::cp932, "日文").value()});
  EXPECT_EQ(fixGBKNames(mixed, zip).names, (std::vector<std::string>{"中文", "报告.txt", "日文"}));
}

}  // namespace
}  // namespace vexel::readers_internal
