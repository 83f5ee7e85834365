#include "readers/extension_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "readers/archive_error.h"
#include "readers/internal/built_in_filters.h"
#include "readers/internal/input_file.h"
#include "readers/internal/listing_worker.h"
#include "readers/internal/volume_set.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "text/code_page.h"

namespace vexel {
namespace {

using test::hasTool;
using test::run;
using test::shellQuoted;
using test::TempDir;
using test::writeFile;
using test::zipBytes;

constexpr double kLimit = 60.0;

// pathsOf: every node of the listing's tree in pre-order, folders marked "/".
std::vector<std::string> pathsOf(const ExtensionArchive::Listing& listing) {
  std::vector<std::string> paths;
  for (const ArchiveNode* node : listing.tree->root().descendants()) {
    paths.push_back(std::string(node->path()) + (node->isDir() ? "/" : ""));
  }
  return paths;
}

std::vector<std::string> sorted(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// errorOf: what listing `file` throws; fails the test when nothing is thrown.
std::optional<ArchiveError> errorOf(const std::filesystem::path& file) {
  try {
    const auto listing = ExtensionArchive::list(file, kLimit);
    ADD_FAILURE() << file << " listed as " << listing.typeName;
  } catch (const ArchiveError& error) {
    return error;
  }
  return std::nullopt;
}

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
      if (row.tool != nullptr && !hasTool(row.tool)) continue;
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
  if (!hasTool("zip")) GTEST_SKIP() << "zip is not installed";
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

// Where a ZIP keeps an exact time beside the DOS time (NTFS field, extended
// timestamp, in the central directory alone or in both headers), that time
// is shown, whatever the layout of the central directory; each entry gets
// its own record's time.
TEST(ExtensionArchive, ZipExactTimes) {
  using std::chrono::seconds;
  using std::chrono::sys_seconds;
  const sys_seconds ntfs(seconds(1509423117));      // 2017-10-31 04:11:57 UTC
  const sys_seconds extended(seconds(1700000000));  // 2023-11-14 22:13:20 UTC
  // The DOS time 2024-01-02 03:04:06 in the local time zone, as libarchive reads it.
  std::tm local{};
  local.tm_year = 124;
  local.tm_mon = 0;
  local.tm_mday = 2;
  local.tm_hour = 3;
  local.tm_min = 4;
  local.tm_sec = 6;
  local.tm_isdst = -1;
  const sys_seconds dos(seconds(std::mktime(&local)));
  const std::vector<test::ZipEntry> entries = {
      {.name = "ntfs.txt", .data = "n", .extra = test::ntfsTime(1509423117)},
      {.name = "extended.txt", .data = "e", .extra = test::extendedTime(1700000000)},
      {.name = "dos.txt", .data = "d"},
      {.name = "both.txt",
       .data = "b",
       .extra = test::extendedTime(1700000000) + test::ntfsTime(1509423117)},
  };
  const std::vector<std::pair<const char*, test::ZipLayout>> layouts = {
      {"plain", {}},
      {"directory out of offset order", {.isDirectoryReversed = true}},
      {"ZIP64 end record with short fields", {.hasZip64Locator = true}},
      {"self-extractor", {.prefix = std::string(1000, 'M')}},
  };
  TempDir dir;
  for (const auto& [label, layout] : layouts) {
    SCOPED_TRACE(label);
    writeFile(dir.path() / "t.zip", zipBytes(entries, layout));
    const auto listing = ExtensionArchive::list(dir.path() / "t.zip", kLimit);
    ASSERT_EQ(listing.tree->fileCount(), 4);
    EXPECT_EQ(listing.tree->node("ntfs.txt")->modified(), ntfs);
    EXPECT_EQ(listing.tree->node("extended.txt")->modified(), extended);
    EXPECT_EQ(listing.tree->node("dos.txt")->modified(), dos);
    EXPECT_EQ(listing.tree->node("both.txt")->modified(), ntfs);
  }
}

// rubyzip's path-traversal archives: "path" is a link and "path/file.txt"
// an entry beneath it. Both are listed, as by every other reader; the link
// becomes a folder that keeps its own date, so the file can be opened,
// found and indexed.
TEST(ExtensionArchive, EntriesBeneathALinkAreKept) {
  TempDir dir;
  writeFile(dir.path() / "a.zip", zipBytes({{.name = "path",
                                             .data = "/tmp",
                                             .extra = test::ntfsTime(1509423117),
                                             .unixMode = 0120777},
                                            {.name = "path/file.txt", .data = "inside"}}));
  const auto listing = ExtensionArchive::list(dir.path() / "a.zip", kLimit);
  EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"path/", "path/file.txt"}));
  EXPECT_EQ(listing.tree->node("path")->modified(),
            std::chrono::sys_seconds(std::chrono::seconds(1509423117)));
  EXPECT_EQ(listing.tree->fileCount(), 1);
  EXPECT_EQ(listing.tree->totalSize(), 6);
  EXPECT_TRUE(listing.complete);
}

// A header libarchive fails (a link whose target it cannot decode) keeps its
// name and the listing goes on, as bsdtar's does; such a listing is not
// complete. A run of failed headers that does not end stops the listing.
TEST(ExtensionArchive, FailedHeadersAreSkipped) {
  TempDir dir;
  const test::ZipEntry badLink{
      .name = "bad_symlink", .data = "target", .unixMode = 0120777, .method = 200};
  writeFile(dir.path() / "one.zip", zipBytes({badLink, {.name = "second", .data = "2"}}));
  const auto one = ExtensionArchive::list(dir.path() / "one.zip", kLimit);
  EXPECT_EQ(pathsOf(one), (std::vector<std::string>{"bad_symlink", "second"}));
  EXPECT_FALSE(one.complete);

  std::vector<test::ZipEntry> flood;
  for (int i = 0; i < 100; ++i) {
    test::ZipEntry entry = badLink;
    entry.name = "bad" + std::to_string(i);
    flood.push_back(entry);
  }
  flood.push_back({.name = "after", .data = "a"});
  writeFile(dir.path() / "flood.zip", zipBytes(flood));
  const auto many = ExtensionArchive::list(dir.path() / "flood.zip", kLimit);
  EXPECT_EQ(many.tree->node("after"), nullptr);
  EXPECT_LT(many.tree->fileCount(), 100);
  EXPECT_GT(many.tree->fileCount(), 0);
  EXPECT_FALSE(many.complete);
}

// A file stored without a name takes the archive's name without its
// extension, as 7-Zip names it, instead of leaving the archive "empty";
// names dropped on purpose ("./", "/", a folder without a name) stay
// dropped, and a flood of unnamed headers is one entry.
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
  EXPECT_EQ(pathsOf(many), std::vector<std::string>{"many"});
  EXPECT_TRUE(many.complete);

  // 7-Zip stores standard input as an item without a name; libarchive
  // hands it back with none at all.
  if (!hasTool("7zz")) GTEST_SKIP() << "7zz is not installed";
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
  if (!hasTool("python3")) GTEST_SKIP() << "python3 is not installed";
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

TEST(ExtensionArchive, TarFiltersNameTheirType) {
  if (!hasTool("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && mkdir -p in/docs && echo one > in/docs/a.txt && echo two > in/b.txt"),
            0);
  struct Row {
    const char* option;
    const char* typeName;
  };
  const Row rows[] = {
      {"--gzip", "TAR + GZip"}, {"--bzip2", "TAR + BZip2"},
      {"--xz", "TAR + XZ"},     {"--zstd", "TAR + Zstandard"},
      {"--lzma", "TAR + LZMA"}, {"--lz4", "TAR"},
      {"--compress", "TAR"},    {"", "TAR"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option);
    const auto file = dir.path() / "a.tar.x";
    ASSERT_EQ(run("cd " + shellQuoted(dir.path() / "in") + " && bsdtar -cf " + shellQuoted(file) +
                  " " + row.option + " docs b.txt"),
              0);
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(listing.tree->properties().type, "tar");
    EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"docs/", "docs/a.txt", "b.txt"}));
    EXPECT_TRUE(listing.complete);
    EXPECT_EQ(listing.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(file)));
    EXPECT_EQ(listing.tree->properties().physicalSize, listing.fileSize);
  }
}

TEST(ExtensionArchive, SingleCompressedFilesAreNamedAfterTheFile) {
  TempDir dir;
  writeFile(dir.path() / "notes.txt", "some notes\n");
  struct Row {
    const char* tool;
    const char* command;
    const char* file;
    const char* typeName;
    const char* typeKey;
  };
  const Row rows[] = {
      {"gzip", "gzip -c notes.txt > notes.txt.gz", "notes.txt.gz", "GZip", "gzip"},
      {"bzip2", "bzip2 -c notes.txt > notes.txt.bz2", "notes.txt.bz2", "BZip2", "bzip2"},
      {"xz", "xz -c notes.txt > notes.txt.xz", "notes.txt.xz", "XZ", "xz"},
      {"zstd", "zstd -q -c notes.txt > notes.txt.zst", "notes.txt.zst", "Zstandard", "zstd"},
      {"lz4", "lz4 -q -c notes.txt > notes.txt.lz4", "notes.txt.lz4", "压缩包", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    if (!hasTool(row.tool)) continue;
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + row.command), 0);
    const auto listing = ExtensionArchive::list(dir.path() / row.file, kLimit);
    EXPECT_EQ(pathsOf(listing), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(listing.tree->properties().type, row.typeKey);
    EXPECT_TRUE(listing.complete);
  }
}

TEST(ExtensionArchive, FilesThatAreNotArchives) {
  TempDir dir;
  writeFile(dir.path() / "plain.txt", "just some text\nover two lines\n");
  writeFile(dir.path() / "empty.zip", "");
  EXPECT_EQ(errorOf(dir.path() / "plain.txt"), ArchiveError::notArchive());
  EXPECT_EQ(errorOf(dir.path() / "empty.zip"), ArchiveError::notArchive());
}

TEST(ExtensionArchive, FilesThatCannotBeReadKeepLibarchiveMessages) {
  TempDir dir;
  // A path that speaks of encryption is still a missing file, not a password prompt.
  const auto missing = dir.path() / "encrypted.zip";
  EXPECT_EQ(errorOf(missing),
            ArchiveError::failed("无法读取压缩包：Failed to open '" + missing.string() + "'"));
}

// Cut a tar at every 512-byte record: before the first header completes the
// file cannot be read; after it, what was read is listed as incomplete.
TEST(ExtensionArchive, TruncatedTarListsTheEntriesSoFar) {
  if (!hasTool("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && head -c 3000 /dev/zero > one && head -c 3000 /dev/zero > two"
                " && bsdtar --format ustar -cf full.tar one two"),
            0);
  const std::string full = test::readFile(dir.path() / "full.tar");
  const auto cut = dir.path() / "cut.tar";

  writeFile(cut, full.substr(0, 512 + 1000));  // one header, part of its data
  auto listing = ExtensionArchive::list(cut, kLimit);
  EXPECT_EQ(pathsOf(listing), std::vector<std::string>{"one"});
  EXPECT_FALSE(listing.complete);
  EXPECT_EQ(listing.cutoff, ExtensionArchive::Cutoff::damage);

  writeFile(cut, full.substr(0, 512 + 3072 + 512 + 100));  // second entry cut in its data
  listing = ExtensionArchive::list(cut, kLimit);
  EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"one", "two"}));
  EXPECT_FALSE(listing.complete);

  writeFile(cut, full.substr(0, 300));  // not even one header
  EXPECT_THROW((void)ExtensionArchive::list(cut, kLimit), ArchiveError);

  for (size_t length = 0; length <= full.size(); length += 97) {
    SCOPED_TRACE(length);
    writeFile(cut, full.substr(0, length));
    try {
      listing = ExtensionArchive::list(cut, kLimit);
      EXPECT_LE(listing.tree->fileCount(), 2);
    } catch (const ArchiveError& error) {
      EXPECT_NE(error.kind(), ArchiveError::Kind::passwordRequired);
    }
  }
}

// A listing that ends early says why, on a worker thread as in a lister;
// one whose limit is spent before the first entry still has the type the
// reader found, and a file that is no archive is still not one.
TEST(ExtensionArchive, CutShortListingsSayWhy) {
  using Cutoff = ExtensionArchive::Cutoff;
  TempDir dir;
  std::vector<test::ZipEntry> six;
  for (int i = 0; i < 6; ++i) {
    six.push_back({.name = "file" + std::to_string(i) + ".txt", .data = std::string(40, 'x')});
  }
  const std::string whole = zipBytes(six);
  writeFile(dir.path() / "whole.zip", whole);
  writeFile(dir.path() / "cut.zip", whole.substr(0, 300));  // four entries and a half
  writeFile(dir.path() / "notes.txt", "just some text\n");
  // A central directory that takes far longer to read than 1 ms.
  std::vector<test::ZipEntry> many;
  for (int i = 0; i < 100'000; ++i) many.push_back({.name = "d/" + std::to_string(i)});
  writeFile(dir.path() / "many.zip", zipBytes(many));

  struct Row {
    const char* file;
    double limit;
    std::optional<ArchiveError> error;
    Cutoff cutoff;
    std::int64_t fewestFiles, mostFiles;
  };
  const Row rows[] = {
      {"whole.zip", kLimit, std::nullopt, Cutoff::none, 6, 6},
      {"whole.zip", -1.0, std::nullopt, Cutoff::limits, 0, 0},
      {"whole.zip", 0.0, std::nullopt, Cutoff::limits, 0, 0},
      {"notes.txt", -1.0, ArchiveError::notArchive(), Cutoff::none, 0, 0},
      {"cut.zip", kLimit, std::nullopt, Cutoff::damage, 4, 4},
      {"many.zip", 0.001, std::nullopt, Cutoff::limits, 0, 99'999},
  };
  const ExtensionArchive::Clock steady = [] { return std::chrono::steady_clock::now(); };
  for (const bool inLister : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.file) + " in " + std::to_string(row.limit) + " s" +
                   (inLister ? " in a lister" : " on a worker thread"));
      const auto file = dir.path() / row.file;
      try {
        const auto listing = inLister ? ExtensionArchive::list(file, row.limit)
                                      : ExtensionArchive::list(file, row.limit, steady);
        EXPECT_FALSE(row.error) << "listed as " << listing.typeName;
        EXPECT_EQ(listing.typeName, "ZIP");
        EXPECT_EQ(listing.cutoff, row.cutoff);
        EXPECT_EQ(listing.complete, row.cutoff == Cutoff::none);
        EXPECT_GE(listing.tree->fileCount(), row.fewestFiles);
        EXPECT_LE(listing.tree->fileCount(), row.mostFiles);
      } catch (const ArchiveError& error) {
        EXPECT_EQ(std::optional<ArchiveError>(error), row.error) << error.message();
      }
    }
  }
}

TEST(ExtensionArchive, SevenZipAndEncryption) {
  if (!hasTool("7zz")) GTEST_SKIP() << "7zz is not installed";
  TempDir dir;
  const std::string in =
      "cd " + shellQuoted(dir.path()) + " && mkdir -p d && echo secret > d/s.txt && ";
  ASSERT_EQ(run(in + "7zz a -bso0 -bsp0 plain.7z d >/dev/null"), 0);
  ASSERT_EQ(
      run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -mhe=on -pSECRET names.7z d"),
      0);
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -pSECRET data.7z d"), 0);
  ASSERT_EQ(
      run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -tzip -pSECRET data.zip d"), 0);

  const auto plain = ExtensionArchive::list(dir.path() / "plain.7z", kLimit);
  EXPECT_EQ(plain.typeName, "7z");
  EXPECT_EQ(pathsOf(plain), (std::vector<std::string>{"d/", "d/s.txt"}));
  EXPECT_FALSE(plain.tree->hasEncryptedFiles());

  EXPECT_EQ(errorOf(dir.path() / "names.7z"), ArchiveError::passwordRequired());

  for (const char* file : {"data.7z", "data.zip"}) {
    SCOPED_TRACE(file);
    const auto listing = ExtensionArchive::list(dir.path() / file, kLimit);
    EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"d/", "d/s.txt"}));
    EXPECT_TRUE(listing.tree->hasEncryptedFiles());
    EXPECT_TRUE(listing.complete);
  }
}

TEST(ExtensionArchive, CpioAndIsoImages) {
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && mkdir -p in/sub && echo x > in/sub/f.txt"),
            0);
  if (hasTool("bsdtar")) {
    ASSERT_EQ(
        run("cd " + shellQuoted(dir.path() / "in") + " && bsdtar --format newc -cf ../a.cpio sub"),
        0);
    const auto cpio = ExtensionArchive::list(dir.path() / "a.cpio", kLimit);
    EXPECT_EQ(cpio.typeName, "CPIO");
    EXPECT_EQ(pathsOf(cpio), (std::vector<std::string>{"sub/", "sub/f.txt"}));
  }
  if (hasTool("xorriso")) {
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                  " && xorriso -as mkisofs -quiet -R -J -o a.iso in >/dev/null 2>&1"),
              0);
    // The image's root is listed by libarchive as "."; it is no entry.
    const auto iso = ExtensionArchive::list(dir.path() / "a.iso", kLimit);
    EXPECT_EQ(iso.typeName, "ISO");
    EXPECT_EQ(pathsOf(iso), (std::vector<std::string>{"sub/", "sub/f.txt"}));
    EXPECT_TRUE(iso.complete);
  }
}

// RecordingSink: a sink for running the header loop on this thread. It
// raises `stopFlag()` once `stopAfterHeaders` headers have been looked at
// (the loop asks after every header, named or not), or after the first
// entry when `stopReadsAfterFirstEntry` (then only the flag the reader's
// callbacks watch, so that the loop goes on into libarchive).
class RecordingSink final : public readers_internal::HeaderSink {
 public:
  bool add(const RawEntry& entry) override {
    paths.push_back(entry.path);
    if (stopReadsAfterFirstEntry) mReadsStop = true;
    return true;
  }
  const std::atomic<bool>& stopFlag() const noexcept override {
    // The first call is the reader's attach; later ones are the loop's.
    if (mCalls++ == 0) return mReadsStop;
    if (mCalls > stopAfterHeaders) mLoopStop = true;
    return mLoopStop;
  }
  void setFacts(const readers_internal::ReaderFacts& /*facts*/) override {}

  std::vector<std::string> paths;
  std::size_t stopAfterHeaders = std::numeric_limits<std::size_t>::max();
  bool stopReadsAfterFirstEntry = false;

 private:
  mutable std::atomic<bool> mReadsStop{false};
  mutable std::atomic<bool> mLoopStop{false};
  mutable std::size_t mCalls = 0;
};

readers_internal::SourceResult readHeaders(const std::filesystem::path& file, RecordingSink& sink) {
  const auto volumes = readers_internal::VolumeSet::find(file);
  return readers_internal::makeLibarchiveSource(volumes.namePath(),
                                                readers_internal::InputFile::open(volumes))
      ->read(sink);
}

// The stop reaches the header loop after every header, named or not (a
// flood of "./" headers before the only file), and the reads: the first
// entry's compressed data is never skipped to its end, also where it runs
// on through volumes of 4 KiB.
TEST(ExtensionArchive, StopReachesHeadersAndReads) {
  if (!hasTool("python3") || !hasTool("bsdtar")) GTEST_SKIP() << "python3 or bsdtar is missing";
  TempDir dir;
  writeFile(dir.path() / "flood.py", R"(
import gzip, io, sys, tarfile
out = io.BytesIO()
with tarfile.open(fileobj=out, mode='w', format=tarfile.USTAR_FORMAT) as tar:
    info = tarfile.TarInfo('./')
    info.type = tarfile.DIRTYPE
    block = info.tobuf(tarfile.USTAR_FORMAT)
    out.write(block * 20000)
    last = tarfile.TarInfo('last.txt')
    tar.addfile(last, io.BytesIO(b''))
open(sys.argv[1], 'wb').write(gzip.compress(out.getvalue()))
)");
  ASSERT_EQ(run("python3 " + shellQuoted(dir.path() / "flood.py") + " " +
                shellQuoted(dir.path() / "flood.tgz")),
            0);
  RecordingSink whole;
  EXPECT_EQ(readHeaders(dir.path() / "flood.tgz", whole).end, readers_internal::SourceEnd::end);
  EXPECT_EQ(whole.paths, std::vector<std::string>{"last.txt"});
  RecordingSink flooded;
  flooded.stopAfterHeaders = 1000;
  EXPECT_EQ(readHeaders(dir.path() / "flood.tgz", flooded).end,
            readers_internal::SourceEnd::stopped);
  EXPECT_TRUE(flooded.paths.empty());

  std::string noise(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random() & 0xFFU);
  writeFile(dir.path() / "big.bin", noise);
  writeFile(dir.path() / "small.txt", "small");
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && bsdtar -czf a.tgz big.bin small.txt"
                " && split -b 4k -d -a 3 --numeric-suffixes=1 a.tgz a.tgz."
                " && bsdtar -cf - big.bin small.txt | xz --block-size=4KiB > a.txz"),
            0);
  // a.txz: blocks that the big member's data covers are skipped unread.
  for (const char* file : {"a.tgz", "a.tgz.001", "a.txz"}) {
    SCOPED_TRACE(file);
    RecordingSink all;
    EXPECT_EQ(readHeaders(dir.path() / file, all).end, readers_internal::SourceEnd::end);
    EXPECT_EQ(all.paths, (std::vector<std::string>{"big.bin", "small.txt"}));
    RecordingSink skipping;
    skipping.stopReadsAfterFirstEntry = true;
    // The loop's own flag stays down, so the refused read is a failure here.
    EXPECT_EQ(readHeaders(dir.path() / file, skipping).end, readers_internal::SourceEnd::failure);
    EXPECT_EQ(skipping.paths, std::vector<std::string>{"big.bin"});
  }
}

// expectErrorOrIncomplete: listing `file` fails with `expected`, or lists at most
// `paths` and says that it is incomplete.
void expectErrorOrIncomplete(const std::filesystem::path& file, const ArchiveError& expected,
                             const std::vector<std::string>& paths) {
  try {
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_FALSE(listing.complete);
    for (const std::string& path : pathsOf(listing)) {
      EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path;
    }
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, expected);
  }
}

// One row per kind of split archive, made by the real tools in 64 KiB
// volumes: listed from its first, a middle or its last volume it shows the
// whole archive, typed by the format inside and sized as all volumes
// together. Without a middle volume it lists what it can, incomplete, or
// names the volume it needs; a middle volume without the first asks for it.
TEST(ExtensionArchive, SplitArchivesListAsAWhole) {
  struct Row {
    const char* label;
    const char* tool;
    std::string command;               // run in in/, writes the volumes into ../out/
    std::vector<std::string> volumes;  // the first, a middle one, the last
    const char* typeName;
    std::vector<std::string> paths;
    bool listsAllAcrossAGap = false;  // the archive's index lies after the middle volume
  };
  const std::string split = " && split -b 64k -d -a 3 --numeric-suffixes=1 ";
  const std::vector<std::string> tree = {"big.bin", "docs/", "docs/a.txt", "docs/说明.txt"};
  const std::vector<Row> rows = {
      {"7-Zip, -v",
       "7zz",
       "7zz a -bso0 -bsp0 -v64k ../out/s.7z big.bin docs",
       {"s.7z.001", "s.7z.002", "s.7z.003"},
       "7z",
       tree,
       true},
      {"ZIP by 7-Zip, -v",
       "7zz",
       "7zz a -bso0 -bsp0 -tzip -v64k ../out/s.zip big.bin docs",
       {"s.zip.001", "s.zip.002", "s.zip.003"},
       "ZIP",
       tree},
      {"Info-ZIP, -s",
       "zip",
       "zip -qr -s 64k ../out/s.zip big.bin docs",
       {"s.z01", "s.z02", "s.zip"},
       "ZIP",
       tree},
      {"tar.gz cut by split",
       "bsdtar",
       "bsdtar -czf ../t.tar.gz big.bin docs" + split + "../t.tar.gz ../out/t.tar.gz.",
       {"t.tar.gz.001", "t.tar.gz.002", "t.tar.gz.003"},
       "TAR + GZip",
       tree},
      // A single compressed file is named after the set, not the volume.
      {"gzip stream cut by split",
       "gzip",
       "gzip -c big.bin > ../notes.txt.gz" + split + "../notes.txt.gz ../out/notes.txt.gz.",
       {"notes.txt.gz.001", "notes.txt.gz.002", "notes.txt.gz.003"},
       "GZip",
       {"notes.txt"}},
      {"lz4 stream cut by split: the format inside has no name",
       "lz4",
       "lz4 -q -c big.bin > ../notes.txt.lz4" + split + "../notes.txt.lz4 ../out/notes.txt.lz4.",
       {"notes.txt.lz4.001", "notes.txt.lz4.002", "notes.txt.lz4.003"},
       "分卷",
       {"notes.txt"}},
  };
  std::string noise(150'000, '\0');
  std::mt19937 random(11);
  for (char& c : noise) c = static_cast<char>(random() & 0xFFU);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (!hasTool(row.tool) || !hasTool("split")) continue;
    TempDir dir;
    dir.write("in/big.bin", noise);
    dir.write("in/docs/a.txt", "a");
    dir.write("in/docs/说明.txt", "说明");
    std::filesystem::create_directory(dir / "out");
    ASSERT_EQ(run("cd " + shellQuoted(dir / "in") + " && LC_ALL=C.UTF-8 " + row.command), 0);
    std::int64_t size = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir / "out")) {
      size += static_cast<std::int64_t>(file.file_size());
    }
    for (const std::string& volume : row.volumes) {
      SCOPED_TRACE(volume);
      const auto listing = ExtensionArchive::list(dir / "out" / volume, kLimit);
      EXPECT_EQ(sorted(pathsOf(listing)), row.paths);
      EXPECT_EQ(listing.typeName, row.typeName);
      EXPECT_TRUE(listing.complete);
      EXPECT_EQ(listing.fileSize, size);
      EXPECT_EQ(listing.tree->properties().physicalSize, size);
      EXPECT_EQ(listing.tree->properties().volumes, 3);
    }

    const auto first = dir / "out" / row.volumes[0];
    const auto middle = dir / "out" / row.volumes[1];
    std::filesystem::rename(first, dir / "first");
    EXPECT_EQ(errorOf(middle), ArchiveError::firstVolumeNeeded(row.volumes[0]));
    std::filesystem::rename(dir / "first", first);

    std::filesystem::remove(middle);
    expectErrorOrIncomplete(first, ArchiveError::volumeMissing(row.volumes[1]), row.paths);
    if (row.listsAllAcrossAGap) {
      EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(first, kLimit))), row.paths);
    }
    // Only the first volume left: the next one is what is missing.
    std::filesystem::remove(dir / "out" / row.volumes[2]);
    expectErrorOrIncomplete(first, ArchiveError::volumeMissing(row.volumes[1]), row.paths);
  }
}

// RAR volumes carry headers of their own; libarchive's RAR readers take
// them one after another as one stream. Each row: the fixtures linked in
// under other names, the one chosen, and what it lists (type, files,
// folders, complete or not) or the error's text.
TEST(ExtensionArchive, SplitRarArchives) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) GTEST_SKIP() << "fixture folder is absent";
  const std::string four = "test_rar_multivolume_single_file.part";
  const std::string five = "test_read_format_rar5_multiarchive.part0";
  struct Row {
    std::vector<std::pair<std::string, std::string>> links;  // name here, fixture
    const char* chosen;
    const char* listed;
  };
  const std::vector<Row> rows = {
      {{{"v.part1.rar", four + "1.rar"},
        {"v.part2.rar", four + "2.rar"},
        {"v.part3.rar", four + "3.rar"}},
       "v.part2.rar",
       "RAR 4 1/0 complete"},
      {{{"v.rar", four + "1.rar"}, {"v.r00", four + "2.rar"}, {"v.r01", four + "3.rar"}},
       "v.r01",
       "RAR 4 1/0 complete"},
      {{{"v.part1.rar", four + "1.rar"}, {"v.part3.rar", four + "3.rar"}},
       "v.part1.rar",
       "无法读取压缩包：缺少分卷 v.part2.rar。"},
      // Two of eight volumes, of one size: libarchive ends at the second
      // without an error.
      {{{"v.part01.rar", five + "1.rar"}, {"v.part02.rar", five + "2.rar"}},
       "v.part02.rar",
       "RAR 5 1/7 incomplete"},
      {{{"v.part02.rar", five + "2.rar"}},
       "v.part02.rar",
       "无法读取压缩包：这是分卷压缩包的一部分，需要同一文件夹中的第一个分卷 v.part01.rar。"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.listed);
    TempDir dir;
    std::int64_t size = 0;
    for (const auto& [name, fixture] : row.links) {
      if (!std::filesystem::exists(*fixtures / fixture)) GTEST_SKIP() << fixture << " is absent";
      std::filesystem::create_symlink(*fixtures / fixture, dir / name);
      size += static_cast<std::int64_t>(std::filesystem::file_size(*fixtures / fixture));
    }
    std::string listed;
    try {
      const auto listing = ExtensionArchive::list(dir / row.chosen, kLimit);
      listed = listing.typeName + " " + std::to_string(listing.tree->fileCount()) + "/" +
               std::to_string(listing.tree->dirCount()) +
               (listing.complete ? " complete" : " incomplete");
      EXPECT_EQ(listing.fileSize, size);
    } catch (const ArchiveError& error) {
      listed = error.message();
    }
    EXPECT_EQ(listed, row.listed);
  }
}

// Depth and width make nodes: 2,000 files, each 5,000 folders deep under a
// top folder of its own, would be 10,002,000 nodes from 68 KB.
TEST(ExtensionArchive, NodeBudgetBoundsTheTree) {
  if (!hasTool("python3")) GTEST_SKIP() << "python3 is not installed";
  TempDir dir;
  writeFile(dir.path() / "deep.py", R"(
import io, sys, tarfile
with tarfile.open(sys.argv[1], 'w:gz', format=tarfile.PAX_FORMAT) as tar:
    for top in range(2000):
        info = tarfile.TarInfo('t%d/' % top + 'd/' * 5000 + 'f')
        tar.addfile(info, io.BytesIO(b''))
)");
  const auto file = dir.path() / "deep.tar.gz";
  ASSERT_EQ(run("python3 " + shellQuoted(dir.path() / "deep.py") + " " + shellQuoted(file)), 0);
  const auto listing = ExtensionArchive::list(file, kLimit);
  EXPECT_FALSE(listing.complete);
  EXPECT_LE(listing.tree->nodeCount(), ExtensionArchive::kMaxNodes);
  EXPECT_GT(listing.tree->nodeCount(), ExtensionArchive::kMaxNodes - 5002);
  EXPECT_EQ(listing.tree->fileCount(), listing.tree->nodeCount() / 5002);
}

// Only regular files are read, and none of these blocks: a pipe without a
// writer, one whose writer says nothing, a device that reads for ever.
TEST(ExtensionArchive, RefusesWhatIsNoRegularFile) {
  TempDir dir;
  using FileType = ArchiveError::FileType;
  ASSERT_EQ(mkfifo((dir.path() / "silent.fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir.path() / "quiet.fifo").c_str(), 0600), 0);
  const int reader = ::open((dir.path() / "quiet.fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = ::open((dir.path() / "quiet.fifo").c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir.path() / "s.sock").string();
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  writeFile(dir.path() / "archive.zip", zipBytes({{.name = "a", .data = "1"}}));
  std::filesystem::create_symlink(dir.path() / "quiet.fifo", dir.path() / "link.zip");

  struct Row {
    std::filesystem::path file;
    FileType type;
  };
  std::vector<Row> rows = {
      {dir.path(), FileType::directory},
      {dir.path() / "silent.fifo", FileType::fifo},
      {dir.path() / "quiet.fifo", FileType::fifo},
      {dir.path() / "link.zip", FileType::fifo},
      {socketPath, FileType::socket},
  };
  if (std::filesystem::exists("/dev/zero")) rows.push_back({"/dev/zero", FileType::device});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(errorOf(row.file), ArchiveError::notRegularFile(row.type));
  }
  EXPECT_EQ(ArchiveError::notRegularFile(FileType::fifo).message(),
            "无法读取压缩包：这不是普通文件，而是命名管道。");
  ::close(socketFd);
  ::close(writer);
  ::close(reader);
}

// Data that libarchive decodes only with a program (lzop, grzip, lrzip) is
// never handed to one: stand-ins on PATH record any start.
TEST(ExtensionArchive, StartsNoProgram) {
  TempDir dir;
  const auto bin = dir.path() / "bin";
  std::filesystem::create_directories(bin);
  for (const char* tool : {"lzop", "grzip", "lrzip", "gzip", "bzip2", "xz", "zstd", "lz4"}) {
    writeFile(bin / tool, "#!/bin/sh\necho started >> \"$(dirname \"$0\")/started\"\nexit 1\n");
    std::filesystem::permissions(bin / tool, std::filesystem::perms::owner_all);
  }
  writeFile(dir.path() / "a.tar.lzo",
            std::string("\x89LZO\x00\r\n\x1a\n\x10\x30\x20\xa0", 13) + std::string(200, 'x'));
  writeFile(dir.path() / "a.tar.grz",
            std::string("GRZipII\x00\x02\x04:)", 12) + std::string(200, 'x'));
  writeFile(dir.path() / "a.tar.lrz", std::string("LRZI\x00\x06", 6) + std::string(200, 'x'));
  const std::string oldPath = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);
  for (const char* file : {"a.tar.lzo", "a.tar.grz", "a.tar.lrz"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(errorOf(dir.path() / file), ArchiveError::notArchive());
  }
  setenv("PATH", oldPath.c_str(), 1);
  EXPECT_FALSE(std::filesystem::exists(bin / "started"));

  const auto names = readers_internal::builtInFilterNames();
  for (const char* builtIn : {"gzip", "bzip2", "xz", "lzma", "zstd", "compress"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), builtIn), names.end()) << builtIn;
  }
}

// Archives the machine cannot make, from libarchive's own test suite.
TEST(ExtensionArchive, LibarchiveFixtures) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) GTEST_SKIP() << "fixture folder is absent";
  struct Row {
    const char* file;
    const char* typeName;
    std::vector<std::string> paths;
    bool complete = true;
    bool encrypted = false;
  };
  const std::vector<Row> rows = {
      {"test_read_format_rar.rar",
       "RAR 4",
       {"test.txt", "testlink", "testdir/", "testdir/test.txt", "testemptydir/"}},
      {"test_read_format_rar4_encrypted.rar",
       "RAR 4",
       {"a.txt", "b.txt", "c.txt", "d.txt"},
       true,
       true},
      {"test_read_format_rar_invalid1.rar", "RAR 4", {"test"}, false},
      {"test_read_format_rar5_win32.rar",
       "RAR 5",
       {"testdir/", "test.bin", "test1.bin", "test2.bin", "test3.bin", "test4.bin", "test5.bin",
        "test6.bin"}},
      {"test_read_format_7zip_encryption.7z", "7z", {"bar.txt"}, true, true},
      {"test_read_format_zip_traditional_encryption_data.zip",
       "ZIP",
       {"bar.txt", "foo.txt"},
       true,
       true},
      {"test_read_format_zip_malformed1.zip", "ZIP", {"0000"}, false},
      {"test_read_format_cab_1.cab",
       "CAB",
       {"empty", "dir1/", "dir1/file1", "dir2/", "dir2/file2"}},
      {"test_read_format_lha_header2.lzh",
       "LZH",
       {"dir/", "dir2/", "dir2/symlink1", "dir2/symlink2", "file1", "file2"}},
      {"test_read_format_xar_archive1.xar", "XAR", {"f1", "hardlink"}},
      {"test_read_format_iso_joliet_rockridge.iso",
       "ISO",
       {"dir/", "hardlink", "long-joliet-file-name.textfile", "symlink"}},
      {"test_compat_cpio_1.cpio", "CPIO", {"foo1", "foo2", "bar1", "bar2"}},
      {"test_compat_lzma_2.tlz",
       "TAR + LZMA",
       {"f1", "f2", "f3", "d1/", "d1/f1", "d1/f2", "d1/f3"}},
      {"test_expand.gz", "GZip", {"test_expand"}},
      {"test_expand.zst", "Zstandard", {"test_expand"}},
      // The name is not UTF-8 (a Latin-1 byte after UTF-8 ones): it reads as
      // windows-1252 throughout, no byte lost.
      {"test_pax_filename_encoding.tar", "TAR", {"abcÌŒmnoüxyz"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const auto file = *fixtures / row.file;
    if (!std::filesystem::exists(file)) continue;
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(pathsOf(listing), row.paths);
    EXPECT_EQ(listing.complete, row.complete);
    EXPECT_EQ(listing.tree->hasEncryptedFiles(), row.encrypted);
    EXPECT_EQ(listing.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(file)));
  }

  struct ErrorRow {
    const char* file;
    ArchiveError error;
  };
  const std::vector<ErrorRow> errorRows = {
      {"test_read_format_rar4_encrypted_filenames.rar", ArchiveError::passwordRequired()},
      {"test_read_format_rar5_encrypted_filenames.rar", ArchiveError::passwordRequired()},
      {"test_read_format_7zip_encryption_header.7z", ArchiveError::passwordRequired()},
      // libarchive sets no message for an encrypted central directory, but
      // marks the entry's metadata as encrypted.
      {"test_read_format_zip_encryption_header.zip", ArchiveError::passwordRequired()},
      {"test_read_format_7zip_malformed.7z",
       ArchiveError::failed("无法读取压缩包：Damaged 7-Zip archive")},
  };
  for (const ErrorRow& row : errorRows) {
    SCOPED_TRACE(row.file);
    const auto file = *fixtures / row.file;
    if (!std::filesystem::exists(file)) continue;
    EXPECT_EQ(errorOf(file), row.error);
  }

  // Every archive there, damaged or looping ones included, lists within the
  // preview's bounds or fails with an ArchiveError.
  for (const auto& entry : std::filesystem::directory_iterator(*fixtures)) {
    SCOPED_TRACE(entry.path());
    try {
      const auto listing = ExtensionArchive::list(entry.path(), 3.0);
      EXPECT_LE(listing.tree->nodeCount(), ExtensionArchive::kMaxNodes);
    } catch (const ArchiveError&) {
    }
  }
}

}  // namespace
}  // namespace vexel
