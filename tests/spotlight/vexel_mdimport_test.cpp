#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/command.h"
#include "support/temp_dir.h"

namespace {

using vexel::testing::shellQuoted;
using vexel::testing::TempDir;

struct HostRun {
  int status = -1;
  std::string out;
};

// runHost: vexel-mdimport with `arguments` (already quoted) and the shell
// variable assignments `environment` in front, its exit
// status and standard output.
HostRun runHost(const std::string& arguments, const std::string& environment = "") {
  HostRun result;
  const std::string command = environment + " " + shellQuoted(std::string_view(VEXEL_MDIMPORT)) +
                              " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> chunk{};
  size_t got = 0;
  while ((got = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    result.out.append(chunk.data(), got);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class VexelMdimport : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"bsdtar", "python3"}) {
      if (!vexel::testing::hasTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    std::filesystem::create_directories(mDir.path() / "in/x");
    vexel::testing::writeFile(mDir.path() / "in/a.txt", "a");
    vexel::testing::writeFile(mDir.path() / "in/x/\"q\".txt", "q");
    ASSERT_EQ(vexel::testing::run("cd " + shellQuoted(mDir.path() / "in") +
                                  " && bsdtar -cf ../one.tar a.txt && bsdtar -cf ../two.tar x"),
              0);
    vexel::testing::writeFile(mDir.path() / "notes.txt", "not an archive");
  }
  std::string file(const char* name) const { return shellQuoted(mDir.path() / name); }
  std::string path(const char* name) const { return (mDir.path() / name).string(); }

  TempDir mDir;
};

TEST_F(VexelMdimport, TextModePrintsEachImportedTextAndALineFeed) {
  const HostRun both = runHost(file("one.tar") + " " + file("two.tar"));
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out, "a.txt\nx\nx/\"q\".txt\n");

  // A file that is not imported prints nothing and makes the status 1.
  const HostRun mixed = runHost(file("notes.txt") + " " + file("one.tar"));
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(mixed.out, "a.txt\n");
}

TEST_F(VexelMdimport, JsonModeEscapesPathsAndTexts) {
  const HostRun run = runHost("--json " + file("two.tar") + " " + file("notes.txt"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "[\n  {\"path\": \"" + path("two.tar") +
                         "\", \"imported\": true, \"text\": \"x\\nx/\\\"q\\\".txt\"},\n"
                         "  {\"path\": \"" +
                         path("notes.txt") + "\", \"imported\": false, \"text\": null}\n]\n");

  // Control characters are escaped; bytes that are not UTF-8 become U+FFFD.
  const std::string odd = "odd\x01\t\xff\xe6\x96 \xe6\x96\x87.zip";
  vexel::testing::writeFile(mDir.path() / odd, "x");
  const HostRun escaped = runHost("--json " + shellQuoted(mDir.path() / odd));
  EXPECT_EQ(escaped.status, 1);
  EXPECT_EQ(escaped.out, "[\n  {\"path\": \"" + path("") +
                             "odd\\u0001\\t\xEF\xBF\xBD\xEF\xBF\xBD \xe6\x96\x87.zip\", "
                             "\"imported\": false, \"text\": null}\n]\n");
}

TEST_F(VexelMdimport, ExitStatusTellsUsageAndLoadingErrorsApart) {
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
    EXPECT_EQ(runHost(row.arguments).status, row.status);
  }
  // A bare file name is a file in the working folder, never a search of the
  // library path.
  const std::filesystem::path plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  EXPECT_EQ(runHost("--plugin " + shellQuoted(plugIn.filename()) + " " + file("one.tar"),
                    "LD_LIBRARY_PATH=" + shellQuoted(plugIn.parent_path()))
                .status,
            3);
}

}  // namespace
