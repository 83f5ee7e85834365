// vexel-lister through its client: what Baloo's plug-in gets for an archive
// equals what listing in process gives, under the lister's seccomp filter;
// the filter kills what listing never does; the client outlives a lister
// that hangs, crashes or is killed, and leaves nothing running behind it.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lister/archive_description.h"
#include "lister/lister_client.h"
#include "lister/lister_protocol.h"
#include "process/child_process.h"
#include "spotlight/archive_text.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace {

using vexel::ListerClient;
using vexel::ListerReply;
using vexel::test::TempDir;
using vexel::test::writeFile;
using vexel::test::zipBytes;

constexpr double kLimit = 10.0;

// inProcess: the reply listing in this process makes, as the plug-in made
// it before the lister: the reference the lister's replies must equal.
ListerReply inProcess(const std::filesystem::path& file, double limit) {
  ListerReply reply;
  try {
    const auto listing = vexel::listForIndexing(file, limit);
    reply.status = listing.complete ? ListerReply::Status::listed : ListerReply::Status::cutShort;
    reply.description = vexel::archiveDescription(listing);
    vexel::forEachTextLine(listing.tree->root(), vexel::kMaxTextContentBytes,
                           [&](std::string_view line) { reply.lines.append(line); });
  } catch (const vexel::ArchiveError& error) {
    reply.status = ListerReply::Status::failed;
    reply.error = error;
  }
  return reply;
}

// frame: the reply as the lister sends it.
std::string frame(const ListerReply& reply) {
  return vexel::encodeListerReplyHead(reply) + std::string(reply.lines.bytes());
}

void expectSame(const std::optional<ListerReply>& got, const ListerReply& expected) {
  ASSERT_TRUE(got.has_value()) << "no lister";
  EXPECT_EQ(got->status, expected.status);
  EXPECT_EQ(got->error.has_value(), expected.error.has_value());
  if (got->error && expected.error) {
    EXPECT_EQ(*got->error, *expected.error);
    EXPECT_EQ(got->error->message(), expected.error->message());
  }
  EXPECT_EQ(got->description, expected.description);
  EXPECT_EQ(got->lines, expected.lines);
}

// isGone: `pid` neither runs nor waits to be reaped.
bool isGone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// waitUntilDead: waits until `pid` has exited (a zombie or gone).
void waitUntilDead(int pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.find(") Z") != std::string::npos) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(ListerClient, RepliesAsListingInProcessDoes) {
  TempDir dir;
  struct Row {
    std::string name;
    std::string bytes;  ///< written to `name`; empty: made by the row's tool
    std::string expectedLine = {};
  };
  const std::string zip = zipBytes({{.name = "docs/"},
                                    {.name = "docs/a.txt", .data = "alpha"},
                                    {.name = "b.txt", .data = "beta"}});
  const std::vector<Row> rows = {
      {"a.zip", zip, "docs/a.txt"},
      // GBK names without the UTF-8 flag: the code pages work in the sandbox.
      {"gbk.zip", zipBytes({{.name = "\xcd\xbc\xc6\xac/\xcb\xb5\xc3\xf7.txt", .data = "x"}}),
       "图片/说明.txt"},
      {"a.tar", vexel::test::tarBytes({{.name = "dir/", .type = '5'}, {.name = "dir/t.txt"}}),
       "dir/t.txt"},
      {"empty.zip", zipBytes({})},
      {"damaged.zip", zip.substr(0, zip.size() / 2)},
      {"notes.zip", "not an archive at all\n"},
      {"late.zip", zip},  // listed with a spent limit: a failure, not empty text
  };
  for (const Row& row : rows) writeFile(dir.path() / row.name, row.bytes);
  ListerClient client(VEXEL_LISTER);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const double limit = row.name == "late.zip" ? -1.0 : kLimit;
    const auto reply = client.list(dir.path() / row.name, limit, vexel::kMaxTextContentBytes);
    expectSame(reply, inProcess(dir.path() / row.name, limit));
    if (!row.expectedLine.empty()) {
      EXPECT_NE(std::find(reply->lines.begin(), reply->lines.end(), row.expectedLine),
                reply->lines.end());
    }
  }
  // Split 7z volumes, found by name beside the one handed over.
  const std::string sevenZip = vexel::test::sevenZipTool();  // 7zz, or Debian 13's 7z
  if (vexel::test::missingTool(sevenZip)) return;
  std::filesystem::create_directory(dir.path() / "src");
  writeFile(dir.path() / "src" / "big.bin", std::string(3000, 'v'));
  ASSERT_EQ(vexel::test::run("cd " + vexel::test::shellQuoted(dir.path().string()) + " && " +
                             sevenZip + " a -bd -mx0 -v1k split.7z src >/dev/null"),
            0);
  for (const char* volume : {"split.7z.001", "split.7z.002"}) {
    SCOPED_TRACE(volume);
    const auto reply = client.list(dir.path() / volume, kLimit, vexel::kMaxTextContentBytes);
    expectSame(reply, inProcess(dir.path() / volume, kLimit));
    EXPECT_EQ(reply->lines, (vexel::ReplyLines{"src", "src/big.bin"}));
  }
}

TEST(ListerClient, ListsEveryFixtureUnderItsFilter) {
  const auto fixtures = vexel::test::fixturesDir();
  if (!fixtures) VEXEL_SKIP_UNLESS_CI() << "libarchive's fixtures are absent (VEXEL_FIXTURES)";
  ListerClient client(VEXEL_LISTER);
  int listed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(*fixtures)) {
    SCOPED_TRACE(entry.path().filename().string());
    const auto reply = client.list(entry.path(), kLimit, vexel::kMaxTextContentBytes);
    expectSame(reply, inProcess(entry.path(), kLimit));
    if (reply && reply->status != ListerReply::Status::failed) ++listed;
  }
  EXPECT_GE(listed, 20);
}

TEST(ListerSandbox, KillsWhatListingNeverDoes) {
  struct Row {
    const char* call;
    int status;  ///< exit code, or the signal that ended the probe
  };
  const Row rows[] = {
      {"socket", SIGSYS}, {"execve", SIGSYS}, {"open-write", SIGSYS}, {"kill-parent", SIGSYS},
      {"ptrace", SIGSYS}, {"open-read", 0},   {"thread", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    const vexel::ProcessOutcome outcome = vexel::ChildProcess::run(
        {.program = VEXEL_LISTER_PROBE, .arguments = {"filter", row.call}});
    ASSERT_FALSE(outcome.startError);
    EXPECT_EQ(outcome.status, row.status) << outcome.error;
  }
}

TEST(ListerClient, OutlivesListersThatHangCrashOrAreKilled) {
  TempDir dir;
  const auto archive = dir.path() / "a.zip";
  writeFile(archive, zipBytes({{.name = "inside.txt", .data = "x"}}));
  // The client's program is a link: to the probe playing a bad lister
  // first, then to the real one.
  const auto program = dir.path() / "lister";
  const auto pointTo = [&](const std::filesystem::path& target) {
    std::filesystem::remove(program);
    std::filesystem::create_symlink(target, program);
  };
  const vexel::ReplyLines expected{"inside.txt"};
  for (const std::string mode : {"hang", "crash", "killed"}) {
    SCOPED_TRACE(mode);
    setenv("VEXEL_PROBE_MODE", mode.c_str(), 1);
    pointTo(mode == "killed" ? VEXEL_LISTER : VEXEL_LISTER_PROBE);
    ListerClient client(program, std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    auto reply = client.list(archive, 0.2, 1 << 20);
    ASSERT_TRUE(reply.has_value());
    if (mode == "killed") {
      EXPECT_EQ(reply->lines, expected);
      const int pid = client.listerPid();
      ASSERT_GT(pid, 0);
      ::kill(pid, SIGKILL);
      waitUntilDead(pid);
    } else {
      // Failed, without an error of the reader's: Baloo stores nothing.
      EXPECT_EQ(reply->status, ListerReply::Status::failed);
      EXPECT_FALSE(reply->error.has_value());
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
      EXPECT_EQ(client.listerPid(), 0);
    }
    // The next file gets a fresh lister.
    pointTo(VEXEL_LISTER);
    reply = client.list(archive, kLimit, 1 << 20);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->status, ListerReply::Status::listed);
    EXPECT_EQ(reply->lines, expected);
  }
  unsetenv("VEXEL_PROBE_MODE");
}

TEST(ListerClient, LeavesNothingRunningAndRestartsAfterBounds) {
  TempDir dir;
  const auto archive = dir.path() / "a.zip";
  writeFile(archive, zipBytes({{.name = "inside.txt", .data = "x"}}));
  int pid = 0;
  {
    ListerClient client(VEXEL_LISTER);
    ASSERT_TRUE(client.list(archive, kLimit, 1 << 20).has_value());
    pid = client.listerPid();
    ASSERT_GT(pid, 0);
    // Kept warm: the same lister takes the next file.
    ASSERT_TRUE(client.list(archive, kLimit, 1 << 20).has_value());
    EXPECT_EQ(client.listerPid(), pid);
    // A listing its bounds ended may leave a reader at work: that lister
    // ends, and the next file gets a fresh one.
    const auto late = client.list(archive, -1.0, 1 << 20);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(late->status, ListerReply::Status::failed);
    EXPECT_EQ(client.listerPid(), 0);
    EXPECT_TRUE(isGone(pid));
    ASSERT_TRUE(client.list(archive, kLimit, 1 << 20).has_value());
    pid = client.listerPid();
    EXPECT_GT(pid, 0);
  }
  // Neither running nor a zombie once the client is gone.
  EXPECT_TRUE(isGone(pid));
  // No lister program at all: the caller lists in process.
  ListerClient missing(dir.path() / "no-such-lister");
  EXPECT_FALSE(missing.list(archive, kLimit, 1 << 20).has_value());
}

TEST(ListerProtocol, RejectsEveryCutOrLyingFrame) {
  const ListerReply reply{.status = ListerReply::Status::cutShort,
                          .error = std::nullopt,
                          .isEnding = true,
                          .description = "ZIP 压缩包 · 至少 2 个文件",
                          .lines = {"a", "", "图片/说明.txt", "line\nfeed"}};
  const std::string body = frame(reply).substr(8);
  const auto decoded = vexel::decodeListerReply(body);
  ASSERT_TRUE(decoded.has_value());
  expectSame(decoded, reply);
  EXPECT_EQ(std::vector<std::string_view>(decoded->lines.begin(), decoded->lines.end()),
            (std::vector<std::string_view>{"a", "", "图片/说明.txt", "line\nfeed"}));
  EXPECT_TRUE(decoded->isEnding);
  for (std::size_t size = 0; size < body.size(); ++size) {
    SCOPED_TRACE(size);
    EXPECT_FALSE(vexel::decodeListerReply(body.substr(0, size)).has_value());
  }
  EXPECT_FALSE(vexel::decodeListerReply(body + "x").has_value());
  // More lines than a tree has nodes: refused before any is held.
  std::string flood = frame(ListerReply{.status = ListerReply::Status::listed});
  flood = flood.substr(8, flood.size() - 8 - sizeof(std::uint64_t));
  const std::uint64_t lines = vexel::kMaxReplyLines + 1;
  flood.append(reinterpret_cast<const char*>(&lines), sizeof(lines));
  flood.append(static_cast<std::size_t>(lines) * 4, '\0');
  EXPECT_FALSE(vexel::decodeListerReply(flood).has_value());
  flood.resize(flood.size() - 4);
  const std::uint64_t fewer = lines - 1;
  std::memcpy(flood.data() + flood.size() - static_cast<std::size_t>(fewer) * 4 - sizeof(fewer),
              &fewer, sizeof(fewer));
  EXPECT_EQ(vexel::decodeListerReply(flood)->lines.size(), fewer);
  // A failure's error comes back as the same case and payload.
  const ListerReply failed{.status = ListerReply::Status::failed,
                           .error = vexel::ArchiveError::cannotRead("Damaged 7-Zip archive")};
  const auto back = vexel::decodeListerReply(frame(failed).substr(8));
  expectSame(back, failed);
}

}  // namespace
