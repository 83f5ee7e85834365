// Entry names: legacy code pages and UTF-8 decided from the stored bytes,
// under any process locale, and trimmed and unnamed entries.
#include <gtest/gtest.h>
#include <locale.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "extension_archive_testing.h"
#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"
#include "text/code_page.h"

namespace vexel {
namespace {

using test::hasTool;
using test::kLimit;
using test::pathsOf;
using test::run;
using test::shellQuoted;
using test::sorted;
using test::TempDir;
using test::writeFile;
using test::zipBytes;

// GlobalLocale: sets the process locale for one test and restores it.
class GlobalLocale {
 public:
  explicit GlobalLocale(const char* name) : mPrevious(setlocale(LC_ALL, nullptr)) {
    mActive = setlocale(LC_ALL, name) != nullptr;
  }
  ~GlobalLocale() { setlocale(LC_ALL, mPrevious.c_str()); }
  GlobalLocale(const GlobalLocale&) = delete;
  GlobalLocale& operator=(const GlobalLocale&) = delete;
  [[nodiscard]] bool active() const { return mActive; }

 private:
  std::string mPrevious;
  bool mActive = false;
};

// A ZIP with GB 18030 names and no UTF-8 flag, and one with flagged UTF-8
// names, must list as the same Chinese names under any process locale.
// 报告 is b1 a8 b8 e6 and 帷 is e1 a1: bytes where CP437 tables differ.
void expectChineseZipNames(const std::filesystem::path& dir) {
  const std::vector<std::string> expected = {"文档/", "文档/报告/", "文档/报告/帷幕.txt",
                                             "readme.txt"};

  writeFile(
      dir / "gbk.zip",
      zipBytes({{.name = "\xce\xc4\xb5\xb5/"},
                {.name = "\xce\xc4\xb5\xb5/\xb1\xa8\xb8\xe6/\xe1\xa1\xc4\xbb.txt", .data = "gbk"},
                {.name = "readme.txt", .data = "r"}}));
  const auto gbk = ExtensionArchive::list(dir / "gbk.zip", kLimit);
  EXPECT_EQ(pathsOf(gbk), expected);
  EXPECT_EQ(gbk.typeName, "ZIP");
  EXPECT_TRUE(gbk.complete);

  writeFile(dir / "utf8.zip",
            zipBytes({{.name = "文档/", .utf8Flag = true},
                      {.name = "文档/报告/帷幕.txt", .data = "u", .utf8Flag = true},
                      {.name = "readme.txt", .data = "r", .utf8Flag = true}}));
  EXPECT_EQ(pathsOf(ExtensionArchive::list(dir / "utf8.zip", kLimit)), expected);

  // UTF-8 names before the first legacy one are in the tree before the code
  // page is chosen: a legacy name joins their folder, and one that would
  // read as a name already listed keeps its provisional text.
  writeFile(dir / "mixed.zip",
            zipBytes({{.name = "文档/a.txt", .data = "u", .utf8Flag = true},
                      {.name = "\xce\xc4\xb5\xb5/\xb1\xa8\xb8\xe6.txt", .data = "g"},
                      {.name = "\xce\xc4\xb5\xb5/a.txt", .data = "g"},
                      {.name = "z.txt", .data = "z"}}));
  const auto mixed = ExtensionArchive::list(dir / "mixed.zip", kLimit);
  EXPECT_EQ(mixed.tree->fileCount(), 4);
  EXPECT_NE(mixed.tree->node("文档/报告.txt"), nullptr);
  EXPECT_EQ(mixed.tree->node("文档")->children().size(), 2U);
  EXPECT_NE(mixed.tree->node("z.txt"), nullptr);

  // Latin-1 looking names that do not read as Chinese stay as CP437 text.
  writeFile(dir / "latin.zip", zipBytes({{.name = "caf\x82.txt", .data = "c"}}));
  EXPECT_EQ(pathsOf(ExtensionArchive::list(dir / "latin.zip", kLimit)),
            std::vector<std::string>{"café.txt"});
}

TEST(ExtensionArchive, LegacyZipNamesUnderCLocale) {
  const GlobalLocale locale("C");
  TempDir dir;
  expectChineseZipNames(dir.path());
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE);
}

TEST(ExtensionArchive, LegacyZipNamesUnderUtf8Locale) {
  const GlobalLocale locale("C.UTF-8");
  if (!locale.active()) GTEST_SKIP() << "no C.UTF-8 locale";
  TempDir dir;
  expectChineseZipNames(dir.path());
}

// A header read that ends in a warning still counts: libarchive warns that a
// flagged name is not UTF-8 (and hands back no name for it, recovered from
// the central directory), and the listing goes on to the end.
TEST(ExtensionArchive, WarningsDoNotStopTheListing) {
  TempDir dir;
  writeFile(dir.path() / "mixed.zip",
            zipBytes({{.name = "bad\xff.txt", .data = "b", .utf8Flag = true},
                      {.name = "after.txt", .data = "a"}}));
  const auto listing = ExtensionArchive::list(dir.path() / "mixed.zip", kLimit);
  EXPECT_NE(listing.tree->node("after.txt"), nullptr);
  EXPECT_NE(listing.tree->node("bad\uFFFD.txt"), nullptr);
  EXPECT_TRUE(listing.complete);
}

TEST(ExtensionArchive, ThreadLocaleIsRestoredOnEveryPathOut) {
  TempDir dir;
  writeFile(dir.path() / "plain.txt", "not an archive\n");
  EXPECT_THROW((void)ExtensionArchive::list(dir.path() / "plain.txt", kLimit), ArchiveError);
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE);
  EXPECT_THROW((void)ExtensionArchive::list(dir.path() / "missing.zip", kLimit), ArchiveError);
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE);
  writeFile(dir.path() / "a.zip", zipBytes({{.name = "a", .data = "a"}}));
  EXPECT_TRUE(ExtensionArchive::list(dir.path() / "a.zip", kLimit).complete);
  EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), LC_GLOBAL_LOCALE);
}

// Each call has its own reader and switches only its own thread's locale.
TEST(ExtensionArchive, ListingsOnSeveralThreadsAtOnce) {
  const GlobalLocale locale("C");
  TempDir dir;
  writeFile(dir.path() / "gbk.zip", zipBytes({{.name = "\xb1\xa8\xb8\xe6.txt", .data = "g"},
                                              {.name = "a.txt", .data = "a"}}));
  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 25; ++round) {
        const auto listing = ExtensionArchive::list(dir.path() / "gbk.zip", kLimit);
        for (const std::string& path : pathsOf(listing)) seen[t].push_back(path);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& paths : seen) {
    ASSERT_EQ(paths.size(), 50U);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "报告.txt"), 25);
  }
}

// zipOf: a ZIP of `names` written as bytes of `page`, without the UTF-8 flag.
std::string zipOf(text::CodePage page, const std::vector<std::string>& names) {
  std::vector<test::ZipEntry> entries;
  for (const std::string& name : names) {
    const std::optional<std::string> bytes = text::encode(page, name);
    EXPECT_TRUE(bytes) << name;
    entries.push_back({.name = bytes.value_or(""), .data = "x"});
  }
  return zipBytes(entries);
}

// makeTree: files (or folders, ending in "/") of `names` under `dir`,
// each name given as the bytes to store.
void makeTree(const std::filesystem::path& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const std::filesystem::path path = dir / name;
    if (name.ends_with('/')) {
      std::filesystem::create_directories(path);
    } else {
      std::filesystem::create_directories(path.parent_path());
      writeFile(path, "x");
    }
  }
}

// encoded: `names` as bytes of `page`.
std::vector<std::string> encoded(text::CodePage page, const std::vector<std::string>& names) {
  std::vector<std::string> bytes;
  for (const std::string& name : names) bytes.push_back(text::encode(page, name).value_or(""));
  return bytes;
}

// One row per archive, made the way real tools make them, with the names it
// must list (the tree's paths, sorted, folders ending in "/"). Names never
// depend on the process locale.
TEST(ExtensionArchive, NamesOfRealWorldArchives) {
  using text::CodePage;
  struct Row {
    const char* label;
    const char* tool;  // needed to make the archive; nullptr: made in the test
    std::function<std::string(const std::filesystem::path&)> make;  // returns the file name
    std::vector<std::string> paths;
  };
  const auto zipRow = [](CodePage page, std::vector<std::string> names) {
    return [=](const std::filesystem::path& dir) {
      writeFile(dir / "a.zip", zipOf(page, names));
      return std::string("a.zip");
    };
  };
  // Python's tarfile writes GNU names as bytes of `encoding`.
  const auto tarRow = [](const char* encoding, std::vector<std::string> names) {
    return [=](const std::filesystem::path& dir) {
      std::string script =
          "import io, sys, tarfile\n"
          "with tarfile.open(sys.argv[1], 'w', format=tarfile.GNU_FORMAT, "
          "encoding='" +
          std::string(encoding) +
          "') as tar:\n"
          "    for name in sys.argv[2:]:\n"
          "        info = tarfile.TarInfo(name.rstrip('/'))\n"
          "        info.type = tarfile.DIRTYPE if name.endswith('/') else tarfile.REGTYPE\n"
          "        info.size = 0 if name.endswith('/') else 1\n"
          "        tar.addfile(info, None if name.endswith('/') else io.BytesIO(b'x'))\n";
      writeFile(dir / "make.py", script);
      std::string command =
          "python3 " + shellQuoted(dir / "make.py") + " " + shellQuoted(dir / "a.tar");
      for (const std::string& name : names) command += " " + shellQuoted(std::string_view(name));
      EXPECT_EQ(run(command), 0);
      return std::string("a.tar");
    };
  };
  // bsdtar's cpio stores the names' bytes as the file system has them.
  const auto cpioRow = [](std::vector<std::string> rawNames) {
    return [=](const std::filesystem::path& dir) {
      makeTree(dir / "in", rawNames);
      EXPECT_EQ(run("cd " + shellQuoted(dir / "in") + " && bsdtar --format newc -cf ../a.cpio *"),
                0);
      return std::string("a.cpio");
    };
  };
  // Info-ZIP's zip stores the names' bytes as the file system has them, without the flag.
  const auto infoZipRow = [](std::vector<std::string> names) {
    return [=](const std::filesystem::path& dir) {
      makeTree(dir / "in", names);
      EXPECT_EQ(run("cd " + shellQuoted(dir / "in") + " && LC_ALL=C.UTF-8 zip -q ../a.zip *"), 0);
      return std::string("a.zip");
    };
  };
  const auto unflaggedUtf8Row = [](std::vector<std::string> names) {
    return [=](const std::filesystem::path& dir) {
      std::vector<test::ZipEntry> entries;
      for (const std::string& name : names) entries.push_back({.name = name, .data = "x"});
      writeFile(dir / "a.zip", zipBytes(entries));
      return std::string("a.zip");
    };
  };
  const std::vector<Row> rows = {
      {"Info-ZIP zip: UTF-8 names without the flag",
       "zip",
       [](const std::filesystem::path& dir) {
         makeTree(dir / "in",
                  {"项目文档/报告.txt", "Übersicht/café.txt", "αβγ.txt", "日本語/テスト.txt"});
         EXPECT_EQ(run("cd " + shellQuoted(dir / "in") +
                       " && LC_ALL=C.UTF-8 zip -qr ../a.zip 项目文档 Übersicht αβγ.txt 日本語"),
                   0);
         return std::string("a.zip");
       },
       {"Übersicht/", "Übersicht/café.txt", "αβγ.txt", "日本語/", "日本語/テスト.txt", "项目文档/",
        "项目文档/报告.txt"}},
      {"GBK ZIP, one short name", nullptr, zipRow(CodePage::gb18030, {"报告.txt"}), {"报告.txt"}},
      {"GBK ZIP, a folder and a file",
       nullptr,
       zipRow(CodePage::gb18030, {"平面图/", "平面图/封面.png"}),
       {"平面图/", "平面图/封面.png"}},
      {"GBK ZIP with ASCII names",
       nullptr,
       zipRow(CodePage::gb18030, {"新建文件夹/", "新建文件夹/工资表.xlsx", "readme.txt"}),
       {"readme.txt", "新建文件夹/", "新建文件夹/工资表.xlsx"}},
      {"Shift-JIS ZIP",
       nullptr,
       zipRow(CodePage::cp932, {"表だよ/", "表だよ/一覧表.txt", "表だよ/漢字.txt"}),
       {"表だよ/", "表だよ/一覧表.txt", "表だよ/漢字.txt"}},
      {"Shift-JIS ZIP with a Unicode Path field",
       nullptr,
       [](const std::filesystem::path& dir) {
         const std::string stored = *text::encode(CodePage::cp932, "日本語のファイル.txt");
         writeFile(dir / "a.zip",
                   zipBytes({{.name = stored, .data = "x", .unicodePath = "日本語のファイル.txt"},
                             // A field whose CRC is not the stored name's is stale.
                             {.name = "old.txt", .unicodePath = "new.txt", .unicodePathCrc = 1}}));
         return std::string("a.zip");
       },
       {"old.txt", "日本語のファイル.txt"}},
      {"Unicode Path field over bytes that read as no script",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip",
                   zipBytes({{.name = "\x8f\x8f", .data = "x", .unicodePath = "Ωmega"}}));
         return std::string("a.zip");
       },
       {"Ωmega"}},
      {"Big5 ZIP",
       nullptr,
       zipRow(CodePage::big5, {"繁體中文/", "繁體中文/說明文件.txt", "圖片/風景.jpg"}),
       {"圖片/", "圖片/風景.jpg", "繁體中文/", "繁體中文/說明文件.txt"}},
      {"Korean ZIP",
       nullptr,
       zipRow(CodePage::cp949, {"사진/", "사진/가족여행.jpg", "한국어.txt"}),
       {"사진/", "사진/가족여행.jpg", "한국어.txt"}},
      {"DOS Western ZIP",
       nullptr,
       zipRow(CodePage::cp437, {"Müller.txt", "café/", "café/menü.txt"}),
       {"Müller.txt", "café/", "café/menü.txt"}},
      {"DOS Cyrillic ZIP",
       nullptr,
       zipRow(CodePage::cp866, {"Документы/", "Документы/отчёт.doc"}),
       {"Документы/", "Документы/отчёт.doc"}},
      // libarchive hands back no name for the first two: the central
      // directory still has their bytes. Before, they vanished.
      {"ZIP with flagged names that are not UTF-8",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip", zipBytes({{.name = "z\xff.txt", .data = "b", .utf8Flag = true},
                                            {.name = "a\xff.txt", .data = "b", .utf8Flag = true},
                                            {.name = "after.txt", .data = "a"}}));
         return std::string("a.zip");
       },
       {"after.txt", "a\uFFFD.txt", "z\uFFFD.txt"}},
      {"flagged UTF-8 and ASCII ZIP",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip", zipBytes({{.name = "café.txt", .data = "x", .utf8Flag = true},
                                            {.name = "docs/a.txt", .data = "x"}}));
         return std::string("a.zip");
       },
       {"café.txt", "docs/", "docs/a.txt"}},
      {"Latin-1 tar",
       "python3",
       tarRow("latin-1", {"umlauts/", "umlauts/Äpfel.txt", "umlauts/Größe.txt"}),
       {"umlauts/", "umlauts/Größe.txt", "umlauts/Äpfel.txt"}},
      // Before, both read "������" and became one entry.
      {"KOI8-R tar, two names",
       "python3",
       tarRow("koi8-r", {"привет", "ПРИВЕТ"}),
       {"ПРИВЕТ", "привет"}},
      {"windows-1251 tar",
       "python3",
       tarRow("cp1251", {"Документы/", "Документы/Отчет за май.docx"}),
       {"Документы/", "Документы/Отчет за май.docx"}},
      {"GBK tar",
       "python3",
       tarRow("gbk", {"照片/", "照片/全家福.jpg"}),
       {"照片/", "照片/全家福.jpg"}},
      // GBK names whose bytes are valid UTF-8 as well ("ͼƬ", "Ŀ¼", "ϵͳ",
      // "֪ͨ"): the archive's other names, or the reading itself, say GBK.
      {"GBK ZIP: 图片 alone", nullptr, zipRow(CodePage::gb18030, {"图片.pptx"}), {"图片.pptx"}},
      {"GBK ZIP: 通知 beside 报告",
       nullptr,
       zipRow(CodePage::gb18030, {"通知.csv", "报告.docx"}),
       {"报告.docx", "通知.csv"}},
      {"GBK ZIP: 系统 beside 日志",
       nullptr,
       zipRow(CodePage::gb18030, {"系统", "日志.txt"}),
       {"日志.txt", "系统"}},
      {"GBK ZIP: 目录 beside two other names",
       nullptr,
       zipRow(CodePage::gb18030, {"目录.png", "照片.jpg", "readme.txt"}),
       {"readme.txt", "照片.jpg", "目录.png"}},
      {"GBK ZIP: a folder alone", nullptr, zipRow(CodePage::gb18030, {"图片/"}), {"图片/"}},
      {"GBK ZIP: one folder, not two",
       nullptr,
       zipRow(CodePage::gb18030, {"图片/a.jpg", "图片/说明.txt"}),
       {"图片/", "图片/a.jpg", "图片/说明.txt"}},
      // GBK without a single hanzi: still GBK, not windows-1251 or KOI8-R.
      {"GBK ZIP: full-width letters",
       nullptr,
       zipRow(CodePage::gb18030, {"ＡＢＣ.txt"}),
       {"ＡＢＣ.txt"}},
      {"GBK ZIP: kana", nullptr, zipRow(CodePage::gb18030, {"あいう.txt"}), {"あいう.txt"}},
      {"GBK ZIP: circled numbers", nullptr, zipRow(CodePage::gb18030, {"①②③.txt"}), {"①②③.txt"}},
      {"GBK ZIP: Greek", nullptr, zipRow(CodePage::gb18030, {"αβγ.txt"}), {"αβγ.txt"}},
      {"GBK ZIP: all four together",
       nullptr,
       zipRow(CodePage::gb18030, {"ＡＢＣ.txt", "あいう.txt", "①②③.txt", "αβγ.txt"}),
       {"αβγ.txt", "①②③.txt", "あいう.txt", "ＡＢＣ.txt"}},
      // A flagged name takes no part in the decision of the others.
      {"flagged name that is not UTF-8 beside GBK names",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip",
                   zipBytes({{.name = "bad\xff", .data = "b", .utf8Flag = true},
                             {.name = *text::encode(CodePage::gb18030, "报告.txt"), .data = "g"},
                             {.name = *text::encode(CodePage::gb18030, "目录"), .data = "g"}}));
         return std::string("a.zip");
       },
       {"bad\uFFFD", "报告.txt", "目录"}},
      // No one code page reads both: each name goes to the one that does.
      {"GBK and Shift-JIS names in one ZIP",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip",
                   zipBytes({{.name = *text::encode(CodePage::gb18030, "中文"), .data = "c"},
                             {.name = *text::encode(CodePage::cp932, "日文"), .data = "j"}}));
         return std::string("a.zip");
       },
       {"中文", "日文"}},
      // 表 is 95 5C in Shift-JIS: only the "\" that is no trail byte separates.
      {"Shift-JIS ZIP with backslash separators",
       nullptr,
       zipRow(CodePage::cp932, {"表だよ\\一覧表.txt", "表だよ\\漢字.txt"}),
       {"表だよ/", "表だよ/一覧表.txt", "表だよ/漢字.txt"}},
      {"EUC-JP cpio",
       "bsdtar",
       cpioRow(encoded(CodePage::eucjp, {"漢字.txt", "表.txt"})),
       {"漢字.txt", "表.txt"}},
      {"EUC-JP tar", "python3", tarRow("euc-jp", {"漢字.txt", "表.txt"}), {"漢字.txt", "表.txt"}},
      // Latin-1 letters and symbols, not windows-1251 or GB 18030.
      {"Latin-1 tar: accented letters alone",
       "python3",
       tarRow("latin-1", {"ustar/", "ustar/umlauts-ÄÖÜäöüß"}),
       {"ustar/", "ustar/umlauts-ÄÖÜäöüß"}},
      {"Latin-1 tar: symbols beside ASCII",
       "python3",
       tarRow("latin-1", {"3±±±F06±W2345±ZB±la±±±±±±±±BLA"}),
       {"3±±±F06±W2345±ZB±la±±±±±±±±BLA"}},
      // NFC and NFD forms of one name are two stored names, flagged or not.
      {"ZIP with NFC and NFD names, flagged",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip",
                   zipBytes({{.name = "caf\xc3\xa9.txt", .data = "c", .utf8Flag = true},
                             {.name = "cafe\xcc\x81.txt", .data = "d", .utf8Flag = true}}));
         return std::string("a.zip");
       },
       {"cafe\xcc\x81.txt", "caf\xc3\xa9.txt"}},
      {"ZIP with NFC and NFD names, unflagged",
       nullptr,
       [](const std::filesystem::path& dir) {
         writeFile(dir / "a.zip", zipBytes({{.name = "caf\xc3\xa9.txt", .data = "c"},
                                            {.name = "cafe\xcc\x81.txt", .data = "d"}}));
         return std::string("a.zip");
       },
       {"cafe\xcc\x81.txt", "caf\xc3\xa9.txt"}},
      {"windows-1251 cpio",
       "bsdtar",
       cpioRow(encoded(CodePage::cp1251, {"Привет.txt", "Мир/", "Мир/дом.txt"})),
       {"Мир/", "Мир/дом.txt", "Привет.txt"}},
      // NFC and NFD forms of one name are two stored names.
      {"cpio with NFC and NFD names",
       "bsdtar",
       cpioRow({"caf\xc3\xa9.txt", "cafe\xcc\x81.txt"}),
       {"cafe\xcc\x81.txt", "caf\xc3\xa9.txt"}},
      // UTF-8 names without the flag whose only non-ASCII character is short:
      // symbols and letters beside ASCII text, and names of one letter whose
      // bytes are a rarer hanzi in GBK (惟 = Ω, 眉 = ü, 挟 = Ю, 渭 = μ).
      {"Info-ZIP: a dash", "zip", infoZipRow({"2023—2024.xlsx"}), {"2023—2024.xlsx"}},
      {"Info-ZIP: an ellipsis", "zip", infoZipRow({"notes…txt"}), {"notes…txt"}},
      {"Info-ZIP: a half", "zip", infoZipRow({"½ price.pdf"}), {"½ price.pdf"}},
      {"Info-ZIP: a micro sign", "zip", infoZipRow({"µ-controller.txt"}), {"µ-controller.txt"}},
      {"Info-ZIP: an omega alone", "zip", infoZipRow({"Ω.txt"}), {"Ω.txt"}},
      {"Info-ZIP: ü beside ASCII",
       "zip",
       infoZipRow({"ü.txt", "readme.md"}),
       {"readme.md", "ü.txt"}},
      {"unflagged UTF-8: βeta", nullptr, unflaggedUtf8Row({"βeta.txt"}), {"βeta.txt"}},
      {"unflagged UTF-8: Ю", nullptr, unflaggedUtf8Row({"Ю.txt"}), {"Ю.txt"}},
      {"unflagged UTF-8: μ", nullptr, unflaggedUtf8Row({"μ.txt"}), {"μ.txt"}},
      {"unflagged UTF-8: ①", nullptr, unflaggedUtf8Row({"①.txt"}), {"①.txt"}},
      {"unflagged UTF-8: Ⅱ", nullptr, unflaggedUtf8Row({"Ⅱ.txt"}), {"Ⅱ.txt"}},
      {"unflagged UTF-8: αβ", nullptr, unflaggedUtf8Row({"αβ.txt"}), {"αβ.txt"}},
      {"unflagged UTF-8: longer names",
       nullptr,
       unflaggedUtf8Row({"Москва.txt", "Ελληνικά.txt", "Größe.txt", "Ñandú.txt", "こんにちは.txt",
                         "한국어.txt"}),
       {"Größe.txt", "Ñandú.txt", "Ελληνικά.txt", "Москва.txt", "こんにちは.txt", "한국어.txt"}},
      // A name that is not GBK settles it for the letter beside it.
      {"unflagged UTF-8: a lone letter beside a dash",
       nullptr,
       unflaggedUtf8Row({"С.txt", "2023—2024.xlsx"}),
       {"2023—2024.xlsx", "С.txt"}},
      // One common hanzi alone, whose bytes are a letter or symbol in UTF-8
      // ("С.txt", "¼.txt", "ë.txt"), stays GBK.
      {"GBK ZIP: one common hanzi alone",
       nullptr,
       zipRow(CodePage::gb18030, {"小.txt"}),
       {"小.txt"}},
      {"GBK ZIP: 录 alone", nullptr, zipRow(CodePage::gb18030, {"录.txt"}), {"录.txt"}},
      {"GBK ZIP: 毛 alone", nullptr, zipRow(CodePage::gb18030, {"毛.txt"}), {"毛.txt"}},
      {"GBK ZIP: 位 with digits", nullptr, zipRow(CodePage::gb18030, {"位2.txt"}), {"位2.txt"}},
      {"7-Zip: UTF-16 names",
       "7zz",
       [](const std::filesystem::path& dir) {
         makeTree(dir / "in", {"项目/说明.txt", "Ελληνικά.txt"});
         EXPECT_EQ(run("cd " + shellQuoted(dir / "in") +
                       " && LC_ALL=C.UTF-8 7zz a -bso0 -bsp0 ../a.7z 项目 Ελληνικά.txt"),
                   0);
         return std::string("a.7z");
       },
       {"Ελληνικά.txt", "项目/", "项目/说明.txt"}},
  };
  for (const char* locale : {"C", "C.UTF-8"}) {
    const GlobalLocale global(locale);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.label) + " under " + locale);
      if (row.tool != nullptr && test::missingTool(row.tool)) continue;
      TempDir dir;
      const std::string file = row.make(dir.path());
      EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(dir.path() / file, kLimit))), row.paths);
    }
  }
}

// Everyday Chinese words for file names, and extensions.
const std::vector<std::string> kGbkWords = {
    "图片", "通知", "目录",   "系统", "日志", "报告", "文件", "文档",   "资料",   "照片",
    "视频", "音乐", "下载",   "桌面", "项目", "合同", "发票", "会议",   "纪要",   "计划",
    "总结", "方案", "预算",   "财务", "工资", "表格", "数据", "备份",   "设置",   "配置",
    "说明", "手册", "简历",   "作业", "课件", "考试", "成绩", "学生",   "老师",   "公司",
    "部门", "客户", "产品",   "销售", "市场", "设计", "开发", "测试",   "需求",   "版本",
    "安装", "程序", "软件",   "模板", "素材", "封面", "海报", "截图",   "扫描",   "身份证",
    "证明", "申请", "报销",   "采购", "订单", "库存", "物流", "收据",   "账单",   "银行",
    "保险", "税务", "协议",   "制度", "流程", "培训", "新闻", "公告",   "通讯录", "名单",
    "统计", "分析", "汇总",   "明细", "月报", "周报", "年度", "新建",   "文件夹", "副本",
    "最终", "草稿", "附件",   "邮件", "相册", "旅行", "家庭", "孩子",   "生日",   "毕业",
    "风景", "电影", "小说",   "游戏", "壁纸", "笔记", "英语", "数学",   "语文",   "历史",
    "工作", "生活", "医院",   "体检", "装修", "汽车", "论文", "实验",   "记录",   "图纸",
    "工程", "验收", "检查",   "考核", "绩效", "招聘", "面试", "请假",   "课程",   "试卷",
    "答案", "北京", "上海",   "深圳", "春节", "今天", "去年", "上半年", "重要",   "紧急",
    "临时", "机密", "原件",   "密码", "账号", "用户", "网站", "服务器", "幻灯片", "录音",
    "手机", "电脑", "打印机", "鼠标", "付款", "转账", "借款", "余额"};
const std::vector<std::string> kExtensions = {".txt",  ".docx", ".xlsx", ".pdf", ".jpg", ".png",
                                              ".pptx", ".zip",  ".csv",  ".mp4", "",     ".dwg"};

// randomGbkArchives: `count` archives' names (a folder ends in "/"): words,
// two words, words with digits, ASCII and brackets, single characters,
// folders, and archives of one name. The same seed gives the same table.
std::vector<std::vector<std::string>> randomGbkArchives(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[random() % from.size()];
  };
  std::vector<std::vector<std::string>> archives;
  for (std::size_t a = 0; a < count; ++a) {
    const std::size_t names = random() % 3 == 0 ? 1 : 1 + random() % 4;
    const std::string folder = random() % 3 == 0 ? pick(kGbkWords) + "/" : "";
    std::vector<std::string> archive;
    if (!folder.empty() && random() % 2 == 0) archive.push_back(folder);
    for (std::size_t i = 0; i < names; ++i) {
      std::string name;
      switch (random() % 6) {
        case 0:
          name = pick(kGbkWords);
          break;
        case 1:
          name = pick(kGbkWords) + pick(kGbkWords);
          break;
        case 2:
          name = pick(kGbkWords) + std::to_string(2000 + random() % 30);
          break;
        case 3:
          name = std::string(1, "abcxyz"[random() % 6]) + "_" + pick(kGbkWords);
          break;
        case 4:
          name = pick(kGbkWords).substr(0, 3);
          break;  // one character
        default:
          name = pick(kGbkWords) + "(" + std::to_string(random() % 10) + ")";
          break;
      }
      archive.push_back(folder + name + pick(kExtensions));
    }
    archives.push_back(std::move(archive));
  }
  return archives;
}

// treePaths: the sorted paths a tree of `names` has, folders ending in "/".
std::vector<std::string> treePaths(const std::vector<std::string>& names) {
  std::set<std::string> paths;
  for (const std::string& name : names) {
    for (std::size_t slash = name.find('/'); slash != std::string::npos && slash + 1 < name.size();
         slash = name.find('/', slash + 1)) {
      paths.insert(name.substr(0, slash + 1));
    }
    paths.insert(name);
  }
  return {paths.begin(), paths.end()};
}

// A few hundred random GBK names without the UTF-8 flag, as Chinese Windows
// tools write them, must list as written, although about one two-character
// name in thirty and one single character in six is valid UTF-8 too; the
// same names written as UTF-8 by Info-ZIP (no flag either) must stay UTF-8.
TEST(ExtensionArchive, RandomGbkNamesDecodeAsWritten) {
  TempDir dir;
  const auto archives = randomGbkArchives(300, 20);
  std::size_t names = 0;
  for (std::size_t a = 0; a < archives.size(); ++a) {
    SCOPED_TRACE("GBK archive " + std::to_string(a) + ": " + archives[a].back());
    const std::filesystem::path file = dir.path() / ("gbk" + std::to_string(a) + ".zip");
    writeFile(file, zipOf(text::CodePage::gb18030, archives[a]));
    EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(file, kLimit))), treePaths(archives[a]));
    names += archives[a].size();
  }
  EXPECT_GE(names, 600U);
  if (!hasTool("zip")) VEXEL_SKIP_UNLESS_CI() << "zip is not installed";
  // Info-ZIP, ten archives at a time from one folder each.
  for (std::size_t a = 0; a < archives.size(); a += 10) {
    SCOPED_TRACE("Info-ZIP archive of tables " + std::to_string(a));
    const std::filesystem::path in = dir.path() / ("in" + std::to_string(a));
    std::vector<std::string> all;
    for (std::size_t k = a; k < a + 10 && k < archives.size(); ++k) {
      for (const std::string& name : archives[k]) all.push_back(std::to_string(k) + "/" + name);
    }
    makeTree(in, all);
    const std::filesystem::path file = dir.path() / ("utf8-" + std::to_string(a) + ".zip");
    ASSERT_EQ(
        run("cd " + shellQuoted(in) + " && LC_ALL=C.UTF-8 zip -qr " + shellQuoted(file) + " ."), 0);
    EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(file, kLimit))), treePaths(all));
  }
}

// A tar that several tools wrote to: UTF-8 names and one in Latin-1 or GBK.
// Every name reads as written wherever the odd one stands: first, in the
// middle, last, second of 5,001 or after 5,000 UTF-8 names.
TEST(ExtensionArchive, MixedEncodingsInOneTar) {
  const std::vector<std::string> utf8 = {"文档/报告.txt", "照片/2023/海边.jpg", "音乐/晴天.mp3",
                                         "Übersicht/Größe.txt", "日本語/テスト.txt"};
  std::vector<std::string> crowd;
  for (int i = 0; i < 5000; ++i) crowd.push_back("归档/" + std::to_string(i) + ".txt");
  const struct {
    std::string stored;
    std::string shown;
  } odds[] = {
      {"old/r\xe9sum\xe9.doc", "old/résumé.doc"},
      {text::encode(text::CodePage::gb18030, "报告/会议纪要.txt").value(), "报告/会议纪要.txt"},
  };
  TempDir dir;
  for (const auto& odd : odds) {
    SCOPED_TRACE(odd.shown);
    const auto with = [&](std::vector<std::string> names, std::size_t at) {
      names.insert(names.begin() + static_cast<std::ptrdiff_t>(at), odd.stored);
      return names;
    };
    const std::pair<const char*, std::vector<std::string>> orders[] = {
        {"first", with(utf8, 0)},
        {"middle", with(utf8, 2)},
        {"last", with(utf8, utf8.size())},
        {"second of 5,001", with(crowd, 1)},
        {"after 5,000", with(crowd, crowd.size())},
    };
    for (const auto& [label, names] : orders) {
      SCOPED_TRACE(label);
      std::vector<test::TarEntry> entries;
      std::set<std::string> expected;
      for (const std::string& name : names) {
        entries.push_back({.name = name});
        expected.insert(name == odd.stored ? odd.shown : name);
      }
      writeFile(dir.path() / "mixed.tar", test::tarBytes(entries));
      const auto listing = ExtensionArchive::list(dir.path() / "mixed.tar", kLimit);
      std::set<std::string> files;
      for (const std::string& path : pathsOf(listing)) {
        if (!path.ends_with('/')) files.insert(path);
      }
      EXPECT_EQ(files, expected);
    }
  }
}

// A file stored without a name takes the archive's name without its
// extension, as 7-Zip names it, instead of leaving the archive "empty";
// names dropped on purpose ("./", "/", a folder without a name) stay
// dropped, and each unnamed file is a row: "name", "name (2)", ...
TEST(ExtensionArchive, UnnamedFilesTakeTheArchiveName) {
  TempDir dir;
  writeFile(
      dir.path() / "report.v2.zip",
      zipBytes({{.name = "", .data = "x"}, {.name = "./"}, {.name = "/"}, {.name = "a.txt"}}));
  EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(dir.path() / "report.v2.zip", kLimit))),
            (std::vector<std::string>{"a.txt", "report.v2"}));
  std::vector<test::ZipEntry> unnamed(5000, test::ZipEntry{.name = "", .data = "x"});
  writeFile(dir.path() / "many.zip", zipBytes(unnamed));
  const auto many = ExtensionArchive::list(dir.path() / "many.zip", kLimit);
  const std::vector<std::string> paths = pathsOf(many);
  ASSERT_EQ(paths.size(), 5000U);  // each a row of its own
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 5000U);
  EXPECT_NE(many.tree->node("many (5000)"), nullptr);
  EXPECT_TRUE(many.complete);
  // 7-Zip stores standard input as an item without a name; libarchive
  // hands it back with none at all.
  if (!hasTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "7zz is not installed";
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && printf hello | 7zz a -si -bso0 -bsp0 stdin.data.7z"),
            0);
  const auto sevenZip = ExtensionArchive::list(dir.path() / "stdin.data.7z", kLimit);
  EXPECT_EQ(pathsOf(sevenZip), std::vector<std::string>{"stdin.data"});
  EXPECT_EQ(sevenZip.tree->totalSize(), 5);
}

// Names as tar writers store them: "./" prefixes, absolute paths, doubled
// slashes, in all three tar dialects.
TEST(ExtensionArchive, TarNamesAreTrimmed) {
  if (!hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  const std::string script = R"(
import io, sys, tarfile
forms = {'ustar': tarfile.USTAR_FORMAT, 'pax': tarfile.PAX_FORMAT, 'gnu': tarfile.GNU_FORMAT}
for label, form in forms.items():
    with tarfile.open(sys.argv[1] + '/' + label + '.tar', 'w', format=form) as tar:
        for name, isdir in [('./', 1), ('./docs/', 1), ('/abs/path/', 1), ('.//a', 0), ('/./a', 0)]:
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE if isdir else tarfile.REGTYPE
            info.size = 0 if isdir else 3
            info.mtime = 1700000000
            tar.addfile(info, None if isdir else io.BytesIO(b'abc'))
)";
  writeFile(dir.path() / "make.py", script);
  ASSERT_EQ(run("python3 " + shellQuoted(dir.path() / "make.py") + " " + shellQuoted(dir.path())),
            0);
  for (const char* form : {"ustar", "pax", "gnu"}) {
    SCOPED_TRACE(form);
    const auto listing = ExtensionArchive::list(dir.path() / (std::string(form) + ".tar"), kLimit);
    EXPECT_EQ(sorted(pathsOf(listing)), sorted({"docs/", "abs/", "abs/path/", "a", "./", "./a"}));
    EXPECT_EQ(listing.typeName, "TAR");
    EXPECT_EQ(listing.tree->properties().type, "tar");
    EXPECT_TRUE(listing.complete);
    const ArchiveNode* a = listing.tree->node("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->size(), 3);
    EXPECT_EQ(a->modified(), std::chrono::sys_seconds(std::chrono::seconds(1700000000)));
  }
}

}  // namespace
}  // namespace vexel
