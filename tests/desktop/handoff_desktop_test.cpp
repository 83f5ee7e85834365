// vexel-handoff with the desktop's real programs: KDE's URL opener
// (kde-open5), which decodes part of a URL before it starts the handler, and
// notify-send with a notification server (notification-daemon on Xvfb, on a
// private session bus), whose Notify calls dbus-monitor records.
// Skipped where those programs are missing (scripts/install-deps.sh desktop).
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>

#include "support/command.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using test::ProcessOutput;
using test::shellQuoted;

const fs::path kHandoff = VEXEL_HANDOFF_HOST;
const fs::path kFinderSync = VEXEL_FINDERSYNC_HOST;

// The URL the context menu's extension sends for `selector` and `items`.
std::string menuURL(const std::string& selector, const std::vector<fs::path>& items) {
  std::vector<std::string> command = {kFinderSync.string(), "run", selector, "--"};
  for (const fs::path& item : items) command.push_back(item.string());
  const ProcessOutput output = test::runProcess(command);
  const size_t last = output.out.rfind('\n', output.out.size() - 2);
  return output.out.substr(last + 1, output.out.size() - last - 2);
}

// The names stored in a ZIP archive, as bytes in hex, one per name: a name
// without the UTF-8 flag is taken back to its bytes through code page 437.
std::set<std::string> zipNames(const fs::path& archive) {
  const ProcessOutput listed = test::runProcess(
      {"python3", "-c",
       "import sys, zipfile\n"
       "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
       "  print(i.filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437').hex())\n",
       archive.string()});
  std::set<std::string> names;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) names.insert(line);
  return names;
}

std::string hexOf(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}

// Dolphin's menu command reaches vexel-handoff through kde-open5, which turns
// "%20" into a space and escaped UTF-8 into characters before starting the
// handler. Every name, whatever it holds, must arrive whole and alone: one
// archive with exactly these entries.
TEST(KdeOpener, EveryNameArrivesWholeAndAlone) {
  for (const std::string& tool :
       {std::string("kde-open5"), std::string("kbuildsycoca5"), std::string("dbus-run-session"),
        test::sevenZipTool(), std::string("python3")}) {
    if (!test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
  }
  test::TempDir dir;
  const fs::path data = dir / "data";
  fs::create_directories(data / "applications");
  fs::create_directories(dir / "config");
  fs::create_directories(dir / "run");
  fs::permissions(dir / "run", fs::perms::owner_all);
  test::writeFile(data / "applications/vexel-handoff.desktop",
                  "[Desktop Entry]\nType=Application\nName=Vexel\nNoDisplay=true\n"
                  "Exec=" +
                      kHandoff.string() + " %u\nMimeType=x-scheme-handler/vexel;\n");
  test::writeFile(dir / "config/mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/vexel=vexel-handoff.desktop\n");

  const fs::path folder = dir / "选中 的 文件";
  fs::create_directories(folder);
  const std::vector<std::string> names = {"a b.txt",     "c&path=d.txt", "e=f.txt",   "g#h.txt",
                                          "i%20j.txt",   "k+l.txt",      "m\nn.txt",  "o\xFFp.txt",
                                          "中 文.txt",   "q%r%2Fs.txt",  "t?u;v.txt", "w'x\"y.txt",
                                          "&path=z.txt", "#start.txt"};
  std::vector<fs::path> items;
  std::set<std::string> expected;
  for (const std::string& name : names) {
    test::writeFile(folder / name, "x");
    items.push_back(folder / name);
    expected.insert(hexOf(name));
  }
  const std::string url = menuURL("compressZip:", items);
  ASSERT_TRUE(url.starts_with("vexel://compress?format=zip&path=")) << url;

  const fs::path archive = folder / "选中 的 文件.zip";
  const std::string environment =
      "XDG_DATA_HOME=" + shellQuoted(data) + " XDG_DATA_DIRS=" + shellQuoted(data) +
      ":/usr/local/share:/usr/share XDG_CONFIG_HOME=" + shellQuoted(dir / "config") +
      " XDG_CACHE_HOME=" + shellQuoted(dir / "cache") +
      " XDG_RUNTIME_DIR=" + shellQuoted(dir / "run") +
      " QT_QPA_PLATFORM=offscreen HOME=" + shellQuoted(dir.path());
  // kde-open5 returns once the handler has started; the archive appears when it is done.
  const std::string script = "kbuildsycoca5 --noincremental >/dev/null 2>&1; kde-open5 " +
                             shellQuoted(url) + "; for i in $(seq 600); do [ -e " +
                             shellQuoted(archive) + " ] && break; sleep 0.1; done; sleep 1";
  const ProcessOutput opened =
      test::runShell("env " + environment + " dbus-run-session -- sh -c " + shellQuoted(script));
  ASSERT_TRUE(fs::exists(archive)) << opened.out << opened.err;
  EXPECT_EQ(zipNames(archive), expected);
  std::set<std::string> made;
  for (const auto& entry : fs::directory_iterator(folder)) made.insert(entry.path().filename());
  EXPECT_EQ(made.size(), names.size() + 1) << "one archive, nothing else";
}

// notify-send with a real notification server: every outcome shows, names
// that are not UTF-8 included (notify-send refuses such text), and a name is
// markup-escaped in the body, which the server reads as markup. The path of
// the folder below holds "<b>粗</b><a href=x>点这里更新</a>".
TEST(NotificationServer, ShowsEveryOutcomeWithNamesEscaped) {
  const fs::path daemon = "/usr/lib/notification-daemon/notification-daemon";
  for (const std::string& tool :
       {std::string("Xvfb"), std::string("dbus-run-session"), std::string("dbus-monitor"),
        std::string("dbus-send"), std::string("notify-send"), test::sevenZipTool()}) {
    if (!test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
  }
  if (!fs::exists(daemon)) VEXEL_SKIP_UNLESS_CI() << "notification-daemon is not installed";
  test::TempDir dir;
  const fs::path folder = dir / "<b>粗</b><a href=x>点这里更新</a>";
  fs::create_directories(folder);
  const fs::path item = folder / "caf\xE9.txt";
  test::writeFile(item, "x");
  const fs::path monitor = dir / "monitor.txt";
  const std::string script =
      "Xvfb -displayfd 9 -nolisten tcp 9>\"$1\" >/dev/null 2>&1 & x=$!\n"
      "for i in $(seq 100); do [ -s \"$1\" ] && break; sleep 0.1; done\n"
      "export DISPLAY=:$(cat \"$1\")\n"
      "dbus-monitor \"interface='org.freedesktop.Notifications',member='Notify'\" > \"$2\" "
      "2>/dev/null & m=$!\n" +
      daemon.string() +
      " >/dev/null 2>&1 & n=$!\n"
      "for i in $(seq 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus "
      "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
      "string:org.freedesktop.Notifications 2>/dev/null | grep -q true && break; sleep 0.1; done\n"
      "\"$3\" \"$4\"; s=$?; sleep 1; kill $n $m $x; exit $s\n";
  const ProcessOutput run = test::runProcess({"dbus-run-session", "--", "sh", "-c", script, "sh",
                                              (dir / "display").string(), monitor.string(),
                                              kHandoff.string(), menuURL("compressZip:", {item})});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(fs::exists(folder / "caf\xE9.txt.zip"));
  const std::string calls = test::readFile(monitor);
  EXPECT_NE(calls.find("string \"正在压缩“caf\xEF\xBF\xBD.txt”\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("string \"已压缩成“caf\xEF\xBF\xBD.txt.zip”\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("&lt;b&gt;粗&lt;/b&gt;&lt;a href=x&gt;点这里更新&lt;/a&gt;”\""),
            std::string::npos)
      << calls;
  EXPECT_EQ(calls.find("<b>"), std::string::npos) << calls;
}

}  // namespace
}  // namespace vexel
