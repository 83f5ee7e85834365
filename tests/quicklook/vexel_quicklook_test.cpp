// The host program as scripts use it: exit status, options, JSON output.
#include <gtest/gtest.h>

#include "support/archive_maker.h"
#include "support/command.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::run;
using test::shellQuoted;
using test::TempDir;

// The host program as one shell word.
const std::string kHost = test::shellQuoted(std::string_view(VEXEL_QUICKLOOK_HOST));

TEST(VexelQuickLookHost, UsageErrorsExitWithTwo) {
  for (const char* args :
       {"", "--bogus a.zip", "--width 0 a.zip", "--width x a.zip", "--width 100000000000 a.zip",
        "--width 10001 a.zip", "--time-limit abc a.zip", "--time-limit", "a.zip b.zip",
        "--json --html a.zip", "--color=sometimes a.zip", "--color= a.zip",
        "--color-scheme=blue a.zip", "--color-scheme a.zip", "--fill-window=yes a.zip",
        "--max-rows 0 a.zip", "--max-rows 50001 a.zip", "--max-rows x a.zip", "--max-rows"}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(run(kHost + " " + args + " >/dev/null 2>&1"), 2);
  }
  // $COLUMNS counts where no terminal is behind the output (setsid: none).
  EXPECT_EQ(run("COLUMNS=100000000000 setsid -w " + kHost + " a.zip >/dev/null 2>&1"), 2);
}

TEST(VexelQuickLookHost, FailuresStillExitWithZero) {
  TempDir dir;
  const auto out = dir.path() / "out.txt";
  EXPECT_EQ(run(kHost + " " + shellQuoted(dir.path() / "missing.zip") + " >" + shellQuoted(out)),
            0);
  EXPECT_NE(test::readFile(out).find("无法读取内容"), std::string::npos);
  // A named pipe nobody writes to is refused at once, not waited on.
  const auto fifo = dir.path() / "pipe.zip";
  ASSERT_EQ(run("mkfifo " + shellQuoted(fifo)), 0);
  EXPECT_EQ(run(kHost + " " + shellQuoted(fifo) + " >" + shellQuoted(out)), 0);
  EXPECT_NE(test::readFile(out).find("这不是普通文件，而是命名管道。"), std::string::npos);
}

TEST(VexelQuickLookHost, JsonIsValidAndCarriesTheRows) {
  if (!test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  const auto zip = dir.path() / "j.zip";
  test::writeFile(
      zip, test::zipBytes(
               {{"q\"uote\t\x01.txt", "12", true}, {"b.txt", "1", true}, {"项目/", "", true}}));
  // Python checks the object and prints the facts compared below.
  const auto check = dir.path() / "check.py";
  test::writeFile(
      check,
      "import json, sys\n"
      "o = json.load(sys.stdin)\n"
      "print(sorted(o.keys()))\n"
      "print(o['title'], o['message'], o['icon'], o['footer'].startswith('压缩包太大'))\n"
      "for r in o['rows']:\n"
      "    print(r['depth'], repr(r['name']), r['size'], r['date'], r['icon'], r['expandable'], "
      "r['expanded'])\n");
  const auto out = dir.path() / "out.txt";
  ASSERT_EQ(run("TZ=UTC0 " + kHost + " --json " + shellQuoted(zip) + " | python3 " +
                shellQuoted(check) + " >" + shellQuoted(out)),
            0);
  EXPECT_EQ(test::readFile(out),
            "['footer', 'icon', 'message', 'omittedRows', 'rows', 'subtitle', 'title']\n"
            "j.zip None public.zip-archive False\n"
            "0 '项目' -- 2024-01-02 03:04 public.folder False False\n"
            "0 'b.txt' 1 字节 2024-01-02 03:04 public.plain-text False False\n"
            "0 'q\"uote\\t\\x01.txt' 2 字节 2024-01-02 03:04 public.plain-text False False\n");

  // A limit spent before the first entry lists nothing and says so; the
  // archive is not called empty.
  ASSERT_EQ(run(kHost + " --json --time-limit -1 " + shellQuoted(zip) + " | python3 " +
                shellQuoted(check) + " >" + shellQuoted(out)),
            0);
  const std::string limited = test::readFile(out);
  EXPECT_EQ(limited,
            "['footer', 'icon', 'message', 'omittedRows', 'rows', 'subtitle', 'title']\n"
            "j.zip None public.zip-archive True\n");

  // --max-rows keeps the first rows and counts the others.
  ASSERT_EQ(run(kHost + " --json --max-rows 2 " + shellQuoted(zip) +
                " | python3 -c 'import json, sys; o = json.load(sys.stdin); "
                "print([r[\"name\"] for r in o[\"rows\"]], o[\"omittedRows\"])' >" +
                shellQuoted(out)),
            0);
  EXPECT_EQ(test::readFile(out), "['项目', 'b.txt'] 1\n");
}

// A preview cut short says why, the same in the terminal, the page and the
// JSON: a spent limit still names the ZIP, a text file is still no archive,
// and a truncated ZIP shows what it holds as damaged.
TEST(VexelQuickLookHost, CutShortPreviewsSayWhyInEveryForm) {
  TempDir dir;
  std::vector<test::ZipEntry> six;
  for (int i = 0; i < 6; ++i) {
    six.push_back({.name = "file" + std::to_string(i) + ".txt", .data = std::string(40, 'x')});
  }
  const std::string zip = test::zipBytes(six);
  test::writeFile(dir.path() / "a.zip", zip);
  test::writeFile(dir.path() / "cut.zip", zip.substr(0, 300));  // four entries and a half
  test::writeFile(dir.path() / "notes.txt", "just some text\n");
  struct Row {
    const char* file;
    const char* limit;
    std::vector<std::string> texts;  ///< each in every form
  };
  const Row rows[] = {
      {"a.zip", "-1", {"ZIP 压缩包 · 0 个文件", "压缩包太大，只列出了前 0 个文件"}},
      {"notes.txt", "-1", {"无法读取内容", "无法打开：这不是压缩包，或者文件已经损坏。"}},
      {"cut.zip", "60", {"ZIP 压缩包 · 4 个文件", "压缩包已损坏，只列出了前 4 个文件"}},
  };
  const auto out = dir.path() / "out.txt";
  for (const Row& row : rows) {
    for (const char* form : {"", "--json", "--html"}) {
      SCOPED_TRACE(std::string(row.file) + " " + form);
      ASSERT_EQ(run(kHost + " " + form + " --time-limit " + row.limit + " " +
                    shellQuoted(dir.path() / row.file) + " >" + shellQuoted(out)),
                0);
      const std::string shown = test::readFile(out);
      for (const std::string& text : row.texts) {
        EXPECT_NE(shown.find(text), std::string::npos) << text << " not in\n" << shown;
      }
      EXPECT_EQ(shown.find("压缩包 压缩包"), std::string::npos);
    }
  }
}

// A split 7z previewed from a middle volume shows the whole archive; with
// a volume gone it shows what it can, marked as cut short, or says which
// volume it needs.
TEST(VexelQuickLookHost, SplitArchivesPreviewAsAWhole) {
  for (const std::string& tool : {std::string("python3"), test::sevenZipTool()}) {
    if (!test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
  }
  TempDir dir;
  std::string noise(150'000, '\0');
  unsigned state = 1;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245U + 12345U) >> 24);
  dir.write("in/big.bin", noise);
  dir.write("in/文档/a.txt", "a");
  ASSERT_EQ(run("cd " + shellQuoted(dir / "in") + " && " + test::sevenZipTool() +
                " a -bso0 -bsp0 -v64k ../s.7z big.bin 文档"),
            0);
  const auto check = dir.path() / "check.py";
  test::writeFile(
      check,
      "import json, sys\n"
      "o = json.load(sys.stdin)\n"
      "print(o['subtitle'], o['footer'].split('，')[0] if '，' in o['footer'] else None, "
      "o['message'])\n"
      "print(' '.join(r['name'] for r in o['rows']))\n");
  const auto preview = [&](const char* volume) {
    const auto out = dir.path() / "out.txt";
    EXPECT_EQ(run(kHost + " --json " + shellQuoted(dir / volume) + " | python3 " +
                  shellQuoted(check) + " >" + shellQuoted(out)),
              0);
    return test::readFile(out);
  };
  EXPECT_EQ(preview("s.7z.002"),
            "7z 压缩包 · 2 个文件 · 1 个文件夹 None None\n文档 a.txt big.bin\n");
  std::filesystem::remove(dir / "s.7z.002");
  EXPECT_EQ(preview("s.7z.001"),
            "7z 压缩包 · 2 个文件 · 1 个文件夹 缺少分卷 None\n文档 a.txt big.bin\n");
  EXPECT_EQ(preview("s.7z.003"), preview("s.7z.001"));
  std::filesystem::remove(dir / "s.7z.003");
  EXPECT_EQ(preview("s.7z.001"), "无法读取内容 None 无法读取压缩包：缺少分卷 s.7z.002。\n\n");
}

// Info-ZIP's UTF-8 names without the flag and a Shift-JIS ZIP, previewed
// under LANG=C: the rows show the names, not CP437 or GBK readings.
TEST(VexelQuickLookHost, RowsShowNamesFromTheStoredBytes) {
  for (const char* tool : {"python3", "zip"}) {
    if (!test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
  }
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "in/项目文档");
  std::filesystem::create_directories(dir.path() / "in/Übersicht");
  test::writeFile(dir.path() / "in/项目文档/报告.txt", "x");
  test::writeFile(dir.path() / "in/Übersicht/café.txt", "x");
  ASSERT_EQ(run("cd " + shellQuoted(dir.path() / "in") +
                " && LC_ALL=C.UTF-8 zip -qr ../info.zip 项目文档 Übersicht"),
            0);
  test::writeFile(
      dir.path() / "sjis.zip",
      test::zipBytes({{.name = "\x95\x5c\x82\xbe\x82\xe6/"},
                      {.name = "\x95\x5c\x82\xbe\x82\xe6/\x88\xea\x97\x97.txt", .data = "x"}}));
  const auto check = dir.path() / "rows.py";
  test::writeFile(check,
                  "import json, sys\n"
                  "print(' '.join(r['name'] for r in json.load(sys.stdin)['rows']))\n");
  const auto out = dir.path() / "out.txt";
  for (const char* file : {"info.zip", "sjis.zip"}) {
    ASSERT_EQ(run("LANG=C LC_ALL=C " + kHost + " --json " + shellQuoted(dir.path() / file) +
                  " | python3 " + shellQuoted(check) + " >>" + shellQuoted(out)),
              0);
  }
  EXPECT_EQ(test::readFile(out), "Übersicht café.txt 项目文档 报告.txt\n表だよ 一覧.txt\n");
}

TEST(VexelQuickLookHost, ColourFollowsTheChoiceAndTheEnvironment) {
  TempDir dir;
  const auto zip = dir.path() / "c.zip";
  test::writeFile(zip, test::zipBytes({{"d/a.txt", "1", true}}));
  const auto out = dir.path() / "out.txt";
  // Standard output is a file here, so "auto" means no colour.
  const struct {
    std::string_view command;
    bool hasColour;
  } kCases[] = {
      {"", false},
      {"--color=auto", false},
      {"--color=never", false},
      {"--color=always", true},
      {"--color", true},
      {"NO_COLOR=1 --color=always", true},  // an explicit choice wins over NO_COLOR
      {"TERM=dumb --color=always", true},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.command);
    std::string command(row.command);
    std::string environment;
    if (const auto space = command.find(' '); space != std::string::npos) {
      environment = command.substr(0, space) + " ";
      command = command.substr(space + 1);
    }
    ASSERT_EQ(run(environment + kHost + " --width 60 " + command + " " + shellQuoted(zip) + " >" +
                  shellQuoted(out)),
              0);
    const std::string text = test::readFile(out);
    EXPECT_EQ(text.find('\x1b') != std::string::npos, row.hasColour) << text;
    EXPECT_NE(text.find("a.txt"), std::string::npos);
  }
}

TEST(VexelQuickLookHost, AutomaticColourOnATerminalUnlessNoColorOrDumb) {
  // script(1) gives the host a terminal as standard output.
  if (!test::hasTool("script")) VEXEL_SKIP_UNLESS_CI() << "script (bsdutils) is not installed";
  TempDir dir;
  const auto zip = dir.path() / "t.zip";
  test::writeFile(zip, test::zipBytes({{"d/a.txt", "1", true}}));
  const auto out = dir.path() / "out.txt";
  const struct {
    std::string_view environment;
    std::string_view option;
    bool hasColour;
  } kCases[] = {
      {"TERM=xterm", "", true},
      {"TERM=xterm NO_COLOR=", "", true},  // empty counts as unset
      {"TERM=xterm NO_COLOR=1", "", false},
      {"TERM=dumb", "", false},
      {"TERM=xterm", "--color=never", false},
      {"TERM=dumb", "--color=always", true},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(std::string(row.environment) + " " + std::string(row.option));
    const std::string inner = "env -u NO_COLOR " + std::string(row.environment) + " " + kHost +
                              " --width 60 " + std::string(row.option) + " " + shellQuoted(zip);
    ASSERT_EQ(run("script -qec " + shellQuoted(std::string_view(inner)) + " /dev/null >" +
                  shellQuoted(out) + " 2>&1"),
              0);
    const std::string text = test::readFile(out);
    EXPECT_NE(text.find("a.txt"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b') != std::string::npos, row.hasColour) << text;
  }
}

TEST(VexelQuickLookHost, AnEmptyWidthIsNoWidth) {
  // nnn's preview passes an empty width on its first call: the text then
  // fits $COLUMNS, as without --width.
  TempDir dir;
  const auto zip = dir.path() / "w.zip";
  test::writeFile(zip, test::zipBytes({{"a.txt", "1", true}}));
  const auto out = dir.path() / "out.txt";
  const auto preview = [&](const std::string& args) {
    EXPECT_EQ(run("COLUMNS=70 setsid -w " + kHost + " " + args + " " + shellQuoted(zip) + " >" +
                  shellQuoted(out) + " 2>/dev/null"),
              0);
    return test::readFile(out);
  };
  const std::string fitted = preview("--width 70");
  EXPECT_EQ(preview("--width ''"), fitted);
  EXPECT_EQ(preview(""), fitted);
  EXPECT_NE(preview("--width 50"), fitted);
}

TEST(VexelQuickLookHost, TextThroughPipesFitsTheTerminalBehindThem) {
  // nnn's preview pipes the text into less and leaves standard error on its
  // pane; Midnight Commander's viewer reads both through pipes. The
  // terminal's width wins over $COLUMNS, which only a process without a
  // terminal (setsid) falls back on.
  if (!test::hasTool("script") || !test::hasTool("setsid")) {
    VEXEL_SKIP_UNLESS_CI() << "script or setsid (bsdutils, util-linux) is not installed";
  }
  TempDir dir;
  const auto zip = dir.path() / "p.zip";
  test::writeFile(zip, test::zipBytes({{"a.txt", "1", true}}));
  const auto out = dir.path() / "out.txt";
  const auto preview = [&](const std::string& prefix, const std::string& errors) {
    const std::string inner = "stty cols 77 rows 24; COLUMNS=50 " + prefix + kHost +
                              " --width '' " + shellQuoted(zip) + " >" + shellQuoted(out) + " " +
                              errors + " </dev/null";
    EXPECT_EQ(run("script -qec " + shellQuoted(std::string_view(inner)) + " /dev/null >/dev/null"),
              0);
    return test::readFile(out);
  };
  const auto fitted = [&](const std::string& width) {
    EXPECT_EQ(run(kHost + " --width " + width + " " + shellQuoted(zip) + " >" + shellQuoted(out)),
              0);
    return test::readFile(out);
  };
  const std::string terminal = fitted("77");
  EXPECT_EQ(preview("", ""), terminal);
  EXPECT_EQ(preview("", "2>" + shellQuoted(dir.path() / "errors.txt")), terminal);
  EXPECT_EQ(preview("setsid -w ", "2>/dev/null"), fitted("50"));
}

TEST(VexelQuickLookHost, HtmlIsOnePageOnStandardOutput) {
  TempDir dir;
  const auto zip = dir.path() / "h.zip";
  test::writeFile(zip, test::zipBytes({{"<b>.txt", "1", true}}));
  const auto out = dir.path() / "out.html";
  ASSERT_EQ(run(kHost + " --html " + shellQuoted(zip) + " >" + shellQuoted(out)), 0);
  const std::string html = test::readFile(out);
  EXPECT_TRUE(html.starts_with("<!DOCTYPE html>"));
  EXPECT_TRUE(html.ends_with("</html>\n"));
  EXPECT_NE(html.find("&lt;b&gt;.txt"), std::string::npos);

  // A previewer's page: its window's size, the colours it asks for.
  ASSERT_EQ(run(kHost + " --html --fill-window --color-scheme=dark " + shellQuoted(zip) + " >" +
                shellQuoted(out)),
            0);
  const std::string embedded = test::readFile(out);
  EXPECT_NE(embedded.find("<meta name=\"color-scheme\" content=\"dark\">"), std::string::npos);
  EXPECT_NE(embedded.find("id=\"preview\" style=\"width:100vw;height:100vh;"), std::string::npos);
}

}  // namespace
}  // namespace vexel
