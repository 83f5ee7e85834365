// vexel-handoff with the desktop's real programs: KDE's URL opener
// (kde-open5), which decodes part of a URL before it starts the handler, and
// notify-send with a notification server (notification-daemon on Xvfb, on a
// private session bus), whose Notify calls dbus-monitor records.
// Skipped where those programs are missing (scripts/install-deps.sh desktop).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <initializer_list>
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

// desktopScript: a shell script that starts Xvfb, a notification server
// and dbus-monitor (recording Notify calls in "$2"), then runs `drive`
// with DISPLAY set ("$3": vexel-handoff, "$4": its URL; "$5": where a
// screenshot goes, "" for none), and ends them all. Run under
// dbus-run-session.
std::string desktopScript(const std::string& drive) {
  return "Xvfb -displayfd 9 -nolisten tcp -screen 0 1024x768x24 9>\"$1\" >/dev/null 2>&1 & "
         "x=$!\n"
         "for i in $(seq 100); do [ -s \"$1\" ] && break; sleep 0.1; done\n"
         "export DISPLAY=:$(cat \"$1\")\n"
         "dbus-monitor \"interface='org.freedesktop.Notifications',member='Notify'\" > \"$2\" "
         "2>/dev/null & m=$!\n"
         "/usr/lib/notification-daemon/notification-daemon >/dev/null 2>&1 & n=$!\n"
         "for i in $(seq 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus "
         "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
         "string:org.freedesktop.Notifications 2>/dev/null | grep -q true && break; sleep 0.1; "
         "done\n"
         // shot: the screen as a PNG, where one is asked for.
         "shotfile=$5\n"
         "shot() { [ -n \"$shotfile\" ] && import -window root \"$shotfile\" 2>/dev/null; "
         "return 0; }\n" +
         drive + "\nsleep 1; kill $n $m $x 2>/dev/null; exit $s\n";
}

bool hasDesktopTools(std::initializer_list<const char*> more) {
  for (const char* tool : {"Xvfb", "dbus-run-session", "dbus-monitor", "dbus-send", "notify-send"})
    if (!test::hasTool(tool)) return false;
  for (const char* tool : more)
    if (!test::hasTool(tool)) return false;
  return fs::exists("/usr/lib/notification-daemon/notification-daemon");
}

// Where a test's screenshot goes: $VEXEL_SHOTS/NAME.png, or nowhere.
std::string shotPath(const char* name) {
  const char* folder = std::getenv("VEXEL_SHOTS");
  return folder != nullptr && *folder != '\0' ? (fs::path(folder) / name).string() + ".png" : "";
}

// A damaged ZIP: every readable file is extracted, and the notification
// names the two whose data is damaged.
TEST(NotificationServer, NamesTheDamagedFilesLeftOut) {
  if (!hasDesktopTools({"python3"})) VEXEL_SKIP_UNLESS_CI() << "needs the desktop's programs";
  test::TempDir dir;
  ASSERT_EQ(test::runProcess({"python3", "-c",
                              "import random, sys, zipfile\n"
                              "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                              "for i in range(6):\n"
                              "  z.writestr('f%d.txt' % i, random.Random(i).randbytes(8000))\n"
                              "z.close()\n"
                              "data = bytearray(open(sys.argv[1], 'rb').read())\n"
                              "for info in zipfile.ZipFile(sys.argv[1]).infolist()[1::3]:\n"
                              "  at = info.header_offset + 30 + len(info.filename) + 12\n"
                              "  for k in range(20): data[at + k] ^= 0x5a\n"
                              "open(sys.argv[1], 'wb').write(data)\n",
                              (dir / "damaged.zip").string()})
                .exitStatus,
            0);
  const fs::path monitor = dir / "monitor.txt";
  const ProcessOutput run = test::runProcess(
      {"dbus-run-session", "--", "sh", "-c", desktopScript("\"$3\" \"$4\"; s=$?; sleep 0.5; shot"),
       "sh", (dir / "display").string(), monitor.string(), kHandoff.string(),
       "vexel://extract?path=" + (dir / "damaged.zip").string(), shotPath("damaged-zip")});
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  const std::string calls = test::readFile(monitor);
  EXPECT_NE(calls.find("已解压 4 个文件，2 个文件已损坏，没有解压：“f1.txt”、“f4.txt”。"),
            std::string::npos)
      << calls;
  std::set<std::string> extracted;
  for (const auto& entry : fs::directory_iterator(dir / "damaged"))
    extracted.insert(entry.path().filename().string());
  EXPECT_EQ(extracted, (std::set<std::string>{"f0.txt", "f2.txt", "f3.txt", "f5.txt"}));
}

// The real zenity: the compress dialog's choices are visible rows, one
// chosen from the start, so OK alone makes a ZIP at the standard level; a
// wrong password is asked for again, saying so, and the right one then
// extracts.
TEST(ZenityDialogs, ChoicesShowAndAWrongPasswordIsAskedAgain) {
  if (!hasDesktopTools({"zenity", "xdotool", "7zz"}))
    VEXEL_SKIP_UNLESS_CI() << "needs zenity, xdotool, 7zz and a notification server";
  test::TempDir dir;
  test::writeFile(dir / "notes.txt", "n");
  const fs::path monitor = dir / "monitor.txt";
  // Waits for a window whose title holds $1, types $2 (unless "") into the
  // field at its middle, then clicks OK (bottom right). With no window
  // manager, keys reach a window only under the pointer.
  const std::string answer =
      "answer() { for i in $(seq 100); do w=$(xdotool search --name \"$1\" 2>/dev/null | head "
      "-1); [ -n \"$w\" ] && break; sleep 0.1; done; sleep 0.5; shot; "
      "eval $(xdotool getwindowgeometry --shell \"$w\"); "
      "if [ -n \"$2\" ]; then xdotool mousemove $((X+WIDTH/2)) $((Y+HEIGHT/2)) click 1; "
      "xdotool type \"$2\"; fi; "
      "xdotool mousemove $((X+WIDTH-45)) $((Y+HEIGHT-22)) click 1; sleep 0.5; }\n";
  const ProcessOutput compressed = test::runProcess(
      {"dbus-run-session", "--", "sh", "-c",
       desktopScript(answer + "\"$3\" \"$4\" & h=$!; answer 压缩 ''; wait $h; s=$?"), "sh",
       (dir / "display").string(), monitor.string(), kHandoff.string(),
       "vexel://compress?path=" + (dir / "notes.txt").string(), shotPath("compress-dialog")});
  EXPECT_EQ(compressed.exitStatus, 0) << compressed.err;
  EXPECT_TRUE(fs::exists(dir / "notes.txt.zip"));

  ASSERT_EQ(test::run("cd " + shellQuoted(dir.path()) +
                      " && echo secret > s.txt && 7zz a -bso0 -tzip -pRIGHT enc.zip s.txt && rm "
                      "s.txt"),
            0);
  const ProcessOutput extracted = test::runProcess(
      {"dbus-run-session", "--", "sh", "-c",
       desktopScript(answer + "\"$3\" \"$4\" & h=$!; answer 需要密码 WRONG; answer 密码不正确 "
                              "RIGHT; wait $h; s=$?"),
       "sh", (dir / "display").string(), monitor.string(), kHandoff.string(),
       "vexel://extract?path=" + (dir / "enc.zip").string(), shotPath("password-again")});
  EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
  EXPECT_EQ(test::readFile(dir / "enc/s.txt"), "secret\n");
}

}  // namespace
}  // namespace vexel
