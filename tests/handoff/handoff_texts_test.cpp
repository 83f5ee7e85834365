#include "handoff/internal/handoff_texts.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vexel::handoff_internal {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

// A name from an archive or a folder reaches a notification's summary (plain
// text to the server), its body (markup to the server) and a line on
// standard error: none of them may read it as anything but text.
TEST(HandoffTexts, TextsAreMadeSafeWhereTheyAreShown) {
  const struct {
    const char* label;
    std::string text;
    std::string title;
    std::string body;
    std::string line;
  } rows[] = {
      {"markup in an entry name", "<b>x</b><a href=\"http://e/\">点这里更新</a>",
       "<b>x</b><a href=\"http://e/\">点这里更新</a>",
       "&lt;b&gt;x&lt;/b&gt;&lt;a href=\"http://e/\"&gt;点这里更新&lt;/a&gt;",
       "<b>x</b><a href=\"http://e/\">点这里更新</a>"},
      {"an entity", "a &amp; b", "a &amp; b", "a &amp;amp; b", "a &amp; b"},
      {"not UTF-8 (notify-send refuses it)", "caf\xE9.zip", "caf" + kReplacement + ".zip",
       "caf" + kReplacement + ".zip", "caf" + kReplacement + ".zip"},
      {"lines", "System ERROR:\nNo space", "System ERROR: No space", "System ERROR:\nNo space",
       "System ERROR: No space"},
      {"terminal escapes", "a\x1b]52;c;SGk=\x07\r",
       "a" + kReplacement + "]52;c;SGk=" + kReplacement + kReplacement,
       "a" + kReplacement + "]52;c;SGk=" + kReplacement + kReplacement,
       "a" + kReplacement + "]52;c;SGk=" + kReplacement + kReplacement},
      {"a right-to-left override", "\xE2\x80\xAEpiz.exe", kReplacement + "piz.exe",
       kReplacement + "piz.exe", kReplacement + "piz.exe"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(forNotificationTitle(row.text), row.title);
    EXPECT_EQ(forNotificationBody(row.text), row.body);
    EXPECT_EQ(forTerminalLine(row.text), row.line);
  }
}

// What an archiver printed when it failed, as its user reads it: 7-Zip's
// banner, the counter it redraws with backspaces and its headings go; the
// system's error number becomes the system's own words.
TEST(HandoffTexts, ToolFailuresReadCleanly) {
  const std::string banner =
      "\n7-Zip (z) 26.02 (x64) : Copyright (c) 1999-2026 Igor Pavlov : 2026-06-25\n"
      " 64-bit locale=C.UTF-8 Threads:2 OPEN_MAX:20000\n\nScanning the drive:\n";
  const struct {
    const char* label;
    RunResult result;
    std::string text;
  } rows[] = {
      {"7-Zip, disk full",
       {.status = 2,
        .stdout = banner + "Creating archive: /t/x.zip\n\n  0%\b\b\b\b    \b\b\b\b",
        .stderr = "\n\nSystem ERROR:\nerrno=28 : No space left on device\n"},
       std::strerror(28)},
      {"7-Zip, the error on standard output after its counter",
       {.status = 2, .stdout = banner + " 23%\b\b\b\b    \b\b\b\bERROR: Data Error : a.txt\n"},
       "Data Error : a.txt"},
      {"7-Zip, a warning with a name",
       {.status = 1, .stderr = "WARNING: errno=2 : x\n/tmp/a b\n"},
       std::string(std::strerror(2)) + "\n/tmp/a b"},
      {"bsdtar",
       {.status = 1,
        .stderr = "bsdtar: x: Cannot stat: No such file or directory\n"
                  "bsdtar: Error exit delayed from previous errors.\n"},
       "bsdtar: x: Cannot stat: No such file or directory"},
      {"at most three lines", {.status = 2, .stderr = "a\nb\nc\nd\n"}, "a\nb\nc"},
      {"a carriage return redraws the line",
       {.status = 2, .stderr = "progress 10\rERROR: gone\n"},
       "gone"},
      {"control characters from a name",
       {.status = 2, .stderr = "ERROR: \x1b]52;c;SGk=\x07x\n"},
       "]52;c;SGk=x"},
      {"nothing said", {.status = 2, .stdout = banner}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(toolFailureText(row.result), row.text);
  }
}

TEST(HandoffTexts, NamesAreQuotedAsTheyAre) {
  EXPECT_EQ(quotedName("/tmp/项目/a b.zip"), "“a b.zip”");
  EXPECT_EQ(whatIsCompressed("/tmp/项目/a", 1), "“a”");
  EXPECT_EQ(whatIsCompressed("/tmp/项目/a", 3000), " 3000 个项目");
  EXPECT_EQ(extractedTitle("/x/\xFF.zip"), "已解压“\xFF.zip”");  // made safe where shown
}

}  // namespace
}  // namespace vexel::handoff_internal
