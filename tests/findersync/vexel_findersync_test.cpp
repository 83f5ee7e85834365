// The host vexel-findersync, run as a user or script would run it, with the
// hand-off URLs decoded by Python's standard URL tools.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/command.h"
#include "support/skip.h"

namespace vexel {
namespace {

using test::ProcessOutput;
using test::runProcess;

const std::string kHost = VEXEL_FINDERSYNC_HOST;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[static_cast<unsigned char>(c) & 0x0F]);
  }
  return out;
}

ProcessOutput host(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), kHost);
  return runProcess(arguments);
}

bool hasPython() { return runProcess({"python3", "-c", "import urllib.parse"}).exitStatus == 0; }

// The decoder's report for `url`: scheme, host and items, as the script prints.
std::vector<std::string> decode(const std::string& url) {
  const ProcessOutput decoded = runProcess({"python3", VEXEL_DECODE_HANDOFF, url});
  EXPECT_EQ(decoded.exitStatus, 0) << decoded.err;
  return lines(decoded.out);
}

// Paths that break a naive query: separators, "+" (a space to form
// decoders), "%", "#", line breaks, non-UTF-8 bytes, non-ASCII.
const std::vector<std::string> kAwkwardPaths = {
    "/tmp/a&path=/etc/passwd",
    "/tmp/c++ notes.zip",
    "/tmp/100%.zip",
    "/tmp/x#y.zip",
    "/tmp/new\nline.zip",
    "/tmp/\xff\xfe\x80 not utf-8.zip",
    "/tmp/中文 文件.zip",
    "/tmp/q?x=1;y,z.zip",
    "/tmp/%2B already encoded %41.zip",
    "/tmp/tab\there\r.zip",
    "/tmp/a+b=c&d",
};

TEST(VexelFinderSyncHost, HandOffCarriesEveryPathIntact) {
  if (!hasPython()) VEXEL_SKIP_UNLESS_CI() << "python3 is not available";
  struct Row {
    std::string selector;
    std::string host;
    std::optional<std::string> format;
  };
  const Row rows[] = {
      {"compressZip:", "compress", "zip"},
      {"compress7z:", "compress", "7z"},
      {"compressWithOptions:", "compress", std::nullopt},
      {"openInVexel:", "open", std::nullopt},
      {"extractHere:", "extract", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.selector);
    std::vector<std::string> arguments = {"run", row.selector};
    arguments.insert(arguments.end(), kAwkwardPaths.begin(), kAwkwardPaths.end());
    const ProcessOutput output = host(arguments);
    ASSERT_EQ(output.exitStatus, 0) << output.err;
    const std::vector<std::string> urls = lines(output.out);
    ASSERT_EQ(urls.size(), 2U) << output.out;
    EXPECT_EQ(urls[0], "vexel://sync");

    std::vector<std::string> expected = {"scheme vexel", "host " + row.host};
    if (row.format) expected.push_back("item " + hex("format") + " " + hex(*row.format));
    for (const std::string& path : kAwkwardPaths) {
      expected.push_back("item " + hex("path") + " " + hex(path));
    }
    EXPECT_EQ(decode(urls[1]), expected);
  }
}

TEST(VexelFinderSyncHost, RunWithoutSelectionOpensOnlyTheStartupURL) {
  const ProcessOutput output = host({"run", "compressZip:"});
  EXPECT_EQ(output.exitStatus, 0) << output.err;
  EXPECT_EQ(output.out, "vexel://sync\n");
}

TEST(VexelFinderSyncHost, MenuPrintsSelectorTabTitle) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("vexel-host-" + std::to_string(::getpid())) / "x.zip";
  std::filesystem::create_directories(folder);
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    std::string expected;
  };
  const std::string five =
      "extractHere:\t用 Vexel 解压到这里\n"
      "openInVexel:\t用 Vexel 打开\n"
      "compressZip:\t用 Vexel 压缩成 ZIP\n"
      "compress7z:\t用 Vexel 压缩成 7z\n"
      "compressWithOptions:\t用 Vexel 压缩…\n";
  const std::string three = five.substr(five.find("compressZip:"));
  const Row rows[] = {
      {"two archives", {"menu", "/tmp/a.zip", "/tmp/b.zip"}, five},
      {"volumes", {"menu", "/tmp/n.part2.rar", "/tmp/n.z01"}, five},
      {"archive and text", {"menu", "/tmp/a.zip", "/tmp/b.txt"}, three},
      {"existing folder named x.zip", {"menu", folder.native()}, three},
      {"trailing slash", {"menu", "/tmp/missing.zip/"}, three},
      {"kind 0 given", {"menu", "--kind", "0", "/tmp/a.zip"}, five},
      {"container kind", {"menu", "--kind", "1", "/tmp/a.zip"}, ""},
      {"toolbar kind", {"menu", "/tmp/a.zip", "--kind", "3"}, ""},
      {"no selection", {"menu"}, ""},
      {"path after --", {"menu", "--", "--kind"}, three},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ProcessOutput output = host(row.arguments);
    EXPECT_EQ(output.exitStatus, 0) << output.err;
    EXPECT_EQ(output.out, row.expected);
  }
  std::filesystem::remove_all(folder.parent_path());
}

TEST(VexelFinderSyncHost, UsageErrorsExitTwoWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"list", "/tmp/a.zip"},
      {"run"},
      {"run", "compressRar:", "/tmp/a.zip"},
      {"run", "--open"},
      {"menu", "--kind"},
      {"menu", "--kind", "-1", "/tmp/a.zip"},
      {"menu", "--kind", "two", "/tmp/a.zip"},
      {"menu", "--open", "/tmp/a.zip"},
      {"run", "compressZip:", "--kind", "0", "/tmp/a.zip"},
      {"run", "compressZip:", "/tmp/a.zip", ""},
  };
  for (const std::vector<std::string>& arguments : cases) {
    std::string joined;
    for (const std::string& argument : arguments) joined += argument + " ";
    SCOPED_TRACE(joined);
    const ProcessOutput output = host(arguments);
    EXPECT_EQ(output.exitStatus, 2);
    EXPECT_EQ(output.out, "");
    EXPECT_NE(output.err.find("usage: vexel-findersync"), std::string::npos) << output.err;
  }
}

class VexelFinderSyncHostOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    mDir = std::filesystem::temp_directory_path() /
           ("vexel-xdg-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(mDir);
  }
  void TearDown() override { std::filesystem::remove_all(mDir); }

  // Puts a fake xdg-open first in PATH: it logs its arguments (NUL-ended)
  // and exits with `status`. A fake xdg-mime names `handler` as the
  // application registered for vexel:// URLs ("" for none).
  ProcessOutput runWithFakeOpener(int status, std::vector<std::string> arguments,
                                  const std::string& handler = "vexel-handoff.desktop") {
    const std::filesystem::path opener = mDir / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >> \"$VEXEL_OPENER_LOG\"\n"
                          << "exit " << status << "\n";
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    const std::filesystem::path mime = mDir / "xdg-mime";
    std::ofstream(mime)
        << "#!/bin/sh\n[ \"$*\" = 'query default x-scheme-handler/vexel' ] || exit 2\n"
        << (handler.empty() ? "" : "echo " + handler + "\n");
    std::filesystem::permissions(mime, std::filesystem::perms::owner_all);
    std::vector<std::string> environment = {"PATH=" + mDir.native() + ":/usr/bin:/bin",
                                            "VEXEL_OPENER_LOG=" + (mDir / "log").native()};
    arguments.insert(arguments.begin(), kHost);
    return runProcess(arguments, environment);
  }

  std::string log() const {
    std::ifstream in(mDir / "log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path mDir;
};

TEST_F(VexelFinderSyncHostOpen, OpenHandsEachURLToXdgOpenAsOneArgument) {
  const ProcessOutput output =
      runWithFakeOpener(0, {"run", "openInVexel:", "/tmp/a b.zip", "/tmp/$(x).zip", "--open"});
  EXPECT_EQ(output.exitStatus, 0) << output.err;
  const std::string handOff = "vexel://open?path=/tmp/a%20b.zip&path=/tmp/%24%28x%29.zip";
  EXPECT_EQ(output.out, "vexel://sync\n" + handOff + "\n");
  const std::string nul(1, '\0');
  EXPECT_EQ(log(), "1" + nul + "vexel://sync" + nul + "1" + nul + handOff + nul);
}

TEST_F(VexelFinderSyncHostOpen, FailedOpenIsReportedAndNothingGoesOutWithoutTheFlag) {
  // xdg-open could not hand the URL on (a tool of its own is missing).
  const ProcessOutput failed =
      runWithFakeOpener(3, {"run", "compressZip:", "/tmp/a.zip", "--open"});
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_EQ(lines(failed.out).size(), 2U);
  EXPECT_NE(failed.err.find("xdg-open could not open vexel://sync"), std::string::npos);

  // The generic xdg-open ran the registered handler, which failed and said
  // so itself: the URL did arrive, and no second message follows.
  const ProcessOutput handled =
      runWithFakeOpener(4, {"run", "compressZip:", "/tmp/a.zip", "--open"});
  EXPECT_EQ(handled.exitStatus, 0) << handled.err;
  EXPECT_EQ(handled.err, "");

  std::filesystem::remove(mDir / "log");
  const ProcessOutput quiet = runWithFakeOpener(0, {"run", "compressZip:", "/tmp/a.zip"});
  EXPECT_EQ(quiet.exitStatus, 0) << quiet.err;
  EXPECT_EQ(lines(quiet.out).size(), 2U);
  EXPECT_FALSE(std::filesystem::exists(mDir / "log"));
}

TEST_F(VexelFinderSyncHostOpen, WithoutAVexelHandlerNothingIsOpenedAndTheFailureIsReported) {
  const ProcessOutput output =
      runWithFakeOpener(0, {"run", "openInVexel:", "--open", "--", "/tmp/a.zip"}, "");
  EXPECT_EQ(output.exitStatus, 3);
  EXPECT_EQ(output.out, "");
  EXPECT_NE(output.err.find("no application is registered for vexel:// URLs"), std::string::npos)
      << output.err;
  EXPECT_FALSE(std::filesystem::exists(mDir / "log"));
  // Without --open no handler is needed.
  EXPECT_EQ(runWithFakeOpener(0, {"run", "openInVexel:", "/tmp/a.zip"}, "").exitStatus, 0);
}

// The extension carries the catalogue's name test only: no archive reader
// may reach its host binary.
TEST(VexelFinderSyncHost, LinksNoArchiveReader) {
  const ProcessOutput symbols = runProcess({"nm", kHost});
  if (symbols.exitStatus != 0) VEXEL_SKIP_UNLESS_CI() << "nm is not available: " << symbols.err;
  EXPECT_EQ(symbols.out.find("archive_read"), std::string::npos);
  EXPECT_EQ(symbols.out.find("archive_entry"), std::string::npos);
  EXPECT_EQ(symbols.out.find("ArchiveTree"), std::string::npos);

  const ProcessOutput libraries = runProcess({"ldd", kHost});
  if (libraries.exitStatus == 0) {
    EXPECT_EQ(libraries.out.find("libarchive"), std::string::npos) << libraries.out;
  }
}

}  // namespace
}  // namespace vexel
