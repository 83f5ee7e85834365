#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process/child_process.h"
#include "process/pseudo_terminal.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace {

using vexel::test::shellQuoted;
using vexel::test::TempDir;

// runHost: vexel-mdimport with `arguments` (already quoted) and the shell
// variable assignments `environment` in front.
vexel::test::ProcessOutput runHost(const std::string& arguments,
                                   const std::string& environment = "") {
  return vexel::test::runShell(environment + " " + shellQuoted(std::string_view(VEXEL_MDIMPORT)) +
                               " " + arguments);
}

class VexelMdimportHost : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"bsdtar", "python3"}) {
      if (!vexel::test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
    }
    std::filesystem::create_directories(mDir.path() / "in/x");
    vexel::test::writeFile(mDir.path() / "in/a.txt", "a");
    vexel::test::writeFile(mDir.path() / "in/x/\"q\".txt", "q");
    ASSERT_EQ(vexel::test::run("cd " + shellQuoted(mDir.path() / "in") +
                               " && bsdtar -cf ../one.tar a.txt && bsdtar -cf ../two.tar x"),
              0);
    vexel::test::writeFile(mDir.path() / "notes.txt", "not an archive");
  }
  std::string file(const char* name) const { return shellQuoted(mDir.path() / name); }
  std::string path(const char* name) const { return (mDir.path() / name).string(); }

  TempDir mDir;
};

TEST_F(VexelMdimportHost, TextModePrintsEachImportedTextAndALineFeed) {
  const vexel::test::ProcessOutput both = runHost(file("one.tar") + " " + file("two.tar"));
  EXPECT_EQ(both.exitStatus, 0);
  EXPECT_EQ(both.out, "a.txt\nx\nx/\"q\".txt\n");

  // A file that is not imported prints nothing and makes the status 1.
  const vexel::test::ProcessOutput mixed = runHost(file("notes.txt") + " " + file("one.tar"));
  EXPECT_EQ(mixed.exitStatus, 1);
  EXPECT_EQ(mixed.out, "a.txt\n");
}

TEST_F(VexelMdimportHost, JsonModeEscapesPathsAndTexts) {
  const vexel::test::ProcessOutput run =
      runHost("--json " + file("two.tar") + " " + file("notes.txt"));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "[\n  {\"path\": \"" + path("two.tar") +
                         "\", \"imported\": true, \"text\": \"x\\nx/\\\"q\\\".txt\"},\n"
                         "  {\"path\": \"" +
                         path("notes.txt") + "\", \"imported\": false, \"text\": null}\n]\n");

  // Control characters are escaped; bytes that are not UTF-8 become U+FFFD.
  const std::string odd = "odd\x01\t\xff\xe6\x96 \xe6\x96\x87.zip";
  vexel::test::writeFile(mDir.path() / odd, "x");
  const vexel::test::ProcessOutput escaped = runHost("--json " + shellQuoted(mDir.path() / odd));
  EXPECT_EQ(escaped.exitStatus, 1);
  EXPECT_EQ(escaped.out, "[\n  {\"path\": \"" + path("") +
                             "odd\\u0001\\t\xEF\xBF\xBD\xEF\xBF\xBD \xe6\x96\x87.zip\", "
                             "\"imported\": false, \"text\": null}\n]\n");
}

// File names are bytes: an archive whose name is not UTF-8 (Latin-1
// "Müller.tar") imports like any other.
TEST_F(VexelMdimportHost, ArchivesWhoseNamesAreNotUtf8Import) {
  const auto latin1 = mDir.path() / "M\xfcller.tar";
  std::filesystem::copy_file(mDir.path() / "one.tar", latin1);
  const vexel::test::ProcessOutput run = runHost(shellQuoted(latin1));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "a.txt\n");
}

// The index gets the names the archive stores, whatever the locale: UTF-8
// without the ZIP flag, and a Latin-1 tar.
TEST_F(VexelMdimportHost, IndexesNamesFromTheStoredBytes) {
  if (!vexel::test::hasTool("zip")) VEXEL_SKIP_UNLESS_CI() << "zip is not installed";
  std::filesystem::create_directories(mDir.path() / "u/Übersicht");
  vexel::test::writeFile(mDir.path() / "u/Übersicht/αβγ.txt", "x");
  vexel::test::writeFile(mDir.path() / "u/\xc4pfel.txt", "x");  // Latin-1 bytes
  ASSERT_EQ(vexel::test::run("cd " + shellQuoted(mDir.path() / "u") +
                             " && LC_ALL=C.UTF-8 zip -qr ../info.zip Übersicht"
                             " && bsdtar -cf ../latin.tar \"$(printf '\\304pfel.txt')\""),
            0);
  const vexel::test::ProcessOutput run =
      runHost(file("info.zip") + " " + file("latin.tar"), "LANG=C LC_ALL=C");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "Übersicht\nÜbersicht/αβγ.txt\nÄpfel.txt\n");
}

// Names inside an archive can hold terminal control sequences (OSC 52 writes
// the clipboard, CSI clears the screen): on a terminal they are replaced, as
// the preview host does; a pipe to an indexer gets the names as they are.
TEST_F(VexelMdimportHost, ControlSequencesInNamesNeverReachATerminal) {
  const std::string osc52 = "a\x1b]52;c;SGVsbG8=\x07.txt";
  const std::string csi =
      "b\x1b[2J\xc2\x9b"
      "31m.txt";  // ESC [ and the 8-bit CSI
  ASSERT_EQ(vexel::test::run("cd " + shellQuoted(mDir.path()) + " && python3 -c " +
                             shellQuoted("import io, sys, tarfile\n"
                                         "with tarfile.open('ctl.tar', 'w', encoding='utf-8', "
                                         "errors='surrogateescape') as t:\n"
                                         "  for n in sys.argv[1:]:\n"
                                         "    t.addfile(tarfile.TarInfo(n), io.BytesIO(b''))\n") +
                             " " + shellQuoted(osc52) + " " + shellQuoted(csi)),
            0);
  const std::string replaced =
      "a\xEF\xBF\xBD]52;c;SGVsbG8=\xEF\xBF\xBD.txt\n"
      "b\xEF\xBF\xBD[2J\xEF\xBF\xBD"
      "31m.txt\n";

  EXPECT_EQ(runHost(file("ctl.tar")).out, osc52 + "\n" + csi + "\n");  // a pipe

  std::error_code error;
  std::optional<vexel::PseudoTerminal> terminal = vexel::PseudoTerminal::open(error);
  ASSERT_TRUE(terminal) << error.message();
  vexel::UniqueFd screen(::open(terminal->name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(screen);
  vexel::ChildProcess host;
  ASSERT_FALSE(host.start({.program = VEXEL_MDIMPORT,
                           .arguments = {path("ctl.tar"), path("missing\x1b[2J.zip")},
                           .output = vexel::StreamSetup::descriptor(screen.get()),
                           .error = vexel::StreamSetup::descriptor(screen.get())}));
  EXPECT_EQ(host.wait(), 1);
  // Every descriptor of the terminal side closed: the controller reads to its end.
  screen.reset();
  terminal->closeTerminalSide();
  std::string shown;
  char buffer[4096];
  for (ssize_t n; (n = ::read(terminal->controller(), buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(n));
  }
  std::erase(shown, '\r');  // the terminal's line endings
  EXPECT_NE(shown.find(replaced), std::string::npos) << shown;
  EXPECT_NE(
      shown.find("vexel-mdimport: not imported: " + path("missing") + "\xEF\xBF\xBD[2J.zip\n"),
      std::string::npos)
      << shown;
  EXPECT_EQ(shown.find_first_of("\x1b\x07"), std::string::npos);
  EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos);
}

TEST_F(VexelMdimportHost, ExitStatusTellsUsageAndLoadingErrorsApart) {
  struct Row {
    std::string arguments;
    int status;
  };
  const Row rows[] = {
      {"", 2},
      {"--json", 2},
      {"--frobnicate " + file("one.tar"), 2},
      {"--plugin", 2},
      {"--plugin " + file("missing.so") + " " + file("one.tar"), 3},
      {"--plugin " + file("notes.txt") + " " + file("one.tar"), 3},
      {"--plugin " + shellQuoted(std::string_view(VEXEL_SPOTLIGHT_PLUGIN)) + " " + file("one.tar"),
       0},
      {"-- " + file("one.tar"), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    EXPECT_EQ(runHost(row.arguments).exitStatus, row.status);
  }
  // A bare file name is a file in the working folder, never a search of the
  // library path.
  const std::filesystem::path plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  EXPECT_EQ(runHost("--plugin " + shellQuoted(plugIn.filename()) + " " + file("one.tar"),
                    "LD_LIBRARY_PATH=" + shellQuoted(plugIn.parent_path()))
                .exitStatus,
            3);
}

}  // namespace

// The indexer gets the names of a whole split archive from any of its
// volumes; a volume without the first one is not imported.
TEST_F(VexelMdimportHost, SplitArchivesImportAsAWhole) {
  if (!vexel::test::hasTool("split")) VEXEL_SKIP_UNLESS_CI() << "split is not installed";
  ASSERT_EQ(
      vexel::test::run("cd " + shellQuoted(mDir.path()) +
                       " && head -c 30000 /dev/urandom > in/noise && cd in"
                       " && bsdtar -czf ../n.tar.gz noise a.txt x"
                       " && split -b 10k -d -a 3 --numeric-suffixes=1 ../n.tar.gz ../n.tar.gz."),
      0);
  const vexel::test::ProcessOutput both =
      runHost(file("n.tar.gz.001") + " " + file("n.tar.gz.003"));
  EXPECT_EQ(both.exitStatus, 0);
  EXPECT_EQ(both.out, "noise\na.txt\nx\nx/\"q\".txt\nnoise\na.txt\nx\nx/\"q\".txt\n");
  std::filesystem::remove(mDir.path() / "n.tar.gz.001");
  EXPECT_EQ(runHost(file("n.tar.gz.002")).exitStatus, 1);
}
