// The runner, the classifier and the listing parser against real 7-Zip.
#include "support/seven_zip.h"
#include "archiver/listing_parser.h"
#include "archiver/process_runner.h"
#include "readers/archive_error.h"
#include "support/command.h"
#include "support/print.h"
#include "support/skip.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <random>

namespace vexel {
namespace {

using std::chrono::sys_seconds;
using test::TempDir;

// A fixed modification time, so listed dates can be checked exactly.
const sys_seconds kStamp{std::chrono::seconds(1623752431)};  // 2021-06-15 10:20:31 UTC

class SevenZip : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto found = test::sevenZip();
    if (!found) VEXEL_SKIP_UNLESS_CI() << "neither 7zz nor 7z is installed";
    mTool = *found;
  }

  RunResult run(std::vector<std::string> arguments) const {
    return ProcessRunner::run(mTool, std::move(arguments), mDir.path());
  }

  // Writes `count` files under "in/" (incompressible content, sizes varied)
  // plus an empty folder, all stamped with kStamp.
  std::vector<std::string> makeFiles(int count) const {
    std::mt19937 random(42);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
      std::string content(static_cast<size_t>(1000 + 997 * i), '\0');
      for (char& c : content) c = static_cast<char>(random());
      names.push_back("in/f" + std::to_string(i) + ".bin");
      mDir.write(names.back(), content);
    }
    std::filesystem::create_directories(mDir / "in/empty");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(mDir / "in"))
      stamp(entry.path());
    stamp(mDir / "in");
    return names;
  }

  void stamp(const std::filesystem::path& path) const {
    const timespec times[2] = {{kStamp.time_since_epoch().count(), 0},
                               {kStamp.time_since_epoch().count(), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }

  ListingParser::Result list(const std::string& archive) const {
    const RunResult listing = run({"l", "-slt", archive});
    EXPECT_EQ(listing.status, 0) << listing.stderr;
    return ListingParser::parse(listing.stdout);
  }

  std::filesystem::path mTool;
  TempDir mDir;
};

TEST_F(SevenZip, WrongPasswordIsClassified) {
  makeFiles(2);
  ASSERT_EQ(run({"a", "-pRIGHT", "-mhe=on", "enc.7z", "in"}).status, 0);
  ASSERT_EQ(run({"a", "-pRIGHT", "plain.7z", "in"}).status, 0);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
  } rows[] = {
      {"encrypted names", {"t", "-pWRONG", "enc.7z"}},
      {"encrypted data", {"t", "-pWRONG", "plain.7z"}},
      // Without -p the tool asks; the empty standard input answers at once.
      {"password prompt", {"t", "enc.7z"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const RunResult result = run(row.arguments);
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(classifyRun(result, mTool.filename().string()), ArchiveError::passwordRequired())
        << result.stderr << result.stdout;
  }
  EXPECT_EQ(run({"t", "-pRIGHT", "enc.7z"}).status, 0);
}

TEST_F(SevenZip, NonArchiveIsClassified) {
  mDir.write("notes.7z", "just some text, not an archive\n");
  const RunResult result = run({"t", "notes.7z"});
  EXPECT_NE(result.status, 0);
  EXPECT_EQ(classifyRun(result, "7zz"), ArchiveError::notArchive())
      << result.stderr << result.stdout;

  const RunResult missing = run({"t", "absent.7z"});
  const ArchiveError error = classifyRun(missing, "7zz");
  EXPECT_EQ(error.kind(), ArchiveError::Kind::failed);
  EXPECT_NE(error.message().find("absent.7z"), std::string::npos) << error.message();
}

// The packed sizes 7-Zip lists per entry, read with the parser's own key rule.
std::map<std::string, std::string> listedValues(std::string_view listing, std::string_view key) {
  std::map<std::string, std::string> values;
  std::string path;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string_view::npos) end = listing.size();
    if (const auto pair = ListingParser::keyValue(listing.substr(start, end - start))) {
      if (pair->first == "Path") path = pair->second;
      if (pair->first == key) values[path] = pair->second;
    }
    start = end + 1;
  }
  return values;
}

TEST_F(SevenZip, SolidBlocksShareTheirPackedSize) {
  const std::vector<std::string> names = makeFiles(7);
  // Two files to a block: four blocks, the packed size listed on the first file of each.
  ASSERT_EQ(run({"a", "-ms=on", "-ms=2f", "-mqs", "solid.7z", "in"}).status, 0);
  const RunResult listing = run({"l", "-slt", "solid.7z"});
  const auto [properties, entries] = ListingParser::parse(listing.stdout);
  EXPECT_EQ(properties.type, "7z");
  EXPECT_TRUE(properties.solid);
  EXPECT_EQ(properties.physicalSize,
            static_cast<std::int64_t>(std::filesystem::file_size(mDir / "solid.7z")));

  const auto listedPacked = listedValues(listing.stdout, "Packed Size");
  std::map<std::int64_t, std::int64_t> listedPerBlock, sharedPerBlock, filesPerBlock, sizePerBlock;
  int files = 0;
  for (const RawEntry& entry : entries) {
    SCOPED_TRACE(entry.path);
    EXPECT_EQ(entry.modified, kStamp);
    if (entry.isDir) {
      EXPECT_FALSE(entry.block);
      continue;
    }
    ++files;
    ASSERT_TRUE(entry.block && entry.packed);
    EXPECT_EQ(entry.size, static_cast<std::int64_t>(std::filesystem::file_size(mDir / entry.path)));
    EXPECT_EQ(entry.method.substr(0, 4), "LZMA");
    EXPECT_EQ(entry.crc.size(), 8u);
    const std::string& listed = listedPacked.at(entry.path);
    if (!listed.empty()) listedPerBlock[*entry.block] += std::stoll(listed);
    sharedPerBlock[*entry.block] += *entry.packed;
    sizePerBlock[*entry.block] += entry.size;
    ++filesPerBlock[*entry.block];
  }
  EXPECT_EQ(files, 7);
  EXPECT_EQ(listedPerBlock.size(), 4u);
  EXPECT_EQ(sharedPerBlock.size(), 4u);
  for (const auto& [block, listed] : listedPerBlock) {
    SCOPED_TRACE(block);
    // Shares are truncated, so a block loses less than a byte per file.
    EXPECT_LE(sharedPerBlock[block], listed);
    EXPECT_GT(sharedPerBlock[block], listed - filesPerBlock[block]);
  }
  for (const RawEntry& entry : entries) {
    if (entry.isDir) continue;
    const std::int64_t block = *entry.block;
    EXPECT_EQ(*entry.packed, static_cast<std::int64_t>(static_cast<double>(listedPerBlock[block]) *
                                                       static_cast<double>(entry.size) /
                                                       static_cast<double>(sizePerBlock[block])));
  }
}

TEST_F(SevenZip, ZipAndTarListings) {
  const std::vector<std::string> names = makeFiles(3);
  ASSERT_EQ(run({"a", "-tzip", "a.zip", "in"}).status, 0);
  ASSERT_EQ(run({"a", "-ttar", "a.tar", "in"}).status, 0);
  for (const std::string archive : {"a.zip", "a.tar"}) {
    SCOPED_TRACE(archive);
    const RunResult listing = run({"l", "-slt", archive});
    const auto [properties, entries] = ListingParser::parse(listing.stdout);
    EXPECT_EQ(properties.type, archive.substr(2));
    EXPECT_EQ(properties.physicalSize,
              static_cast<std::int64_t>(std::filesystem::file_size(mDir / archive)));
    const auto listedPacked = listedValues(listing.stdout, "Packed Size");
    std::map<std::string, bool> seen;
    for (const RawEntry& entry : entries) {
      SCOPED_TRACE(entry.path);
      seen[entry.path] = entry.isDir;
      EXPECT_EQ(entry.modified, kStamp);
      if (entry.isDir) continue;
      EXPECT_EQ(entry.size,
                static_cast<std::int64_t>(std::filesystem::file_size(mDir / entry.path)));
      EXPECT_FALSE(entry.block);
      // Without blocks, listed packed sizes are kept as they are.
      EXPECT_EQ(entry.packed, std::stoll(listedPacked.at(entry.path)));
    }
    std::map<std::string, bool> expected{{"in", true}, {"in/empty", true}};
    for (const std::string& name : names) expected[name] = false;
    EXPECT_EQ(seen, expected);
  }
}

// Listings of archives whose comment forges entries, and of archives in
// volumes, as 7-Zip prints them.
TEST_F(SevenZip, CommentsAndVolumesAsListed) {
  const std::string forged =
      "line one\n----------\nPath = forged/evil.exe\nSize = 5\n\n--\nType = rar\n}\n";
  ASSERT_EQ(test::run("cd " + test::shellQuoted(mDir.path()) +
                      " && python3 -c 'import sys, zipfile\n"
                      "with zipfile.ZipFile(\"c.zip\", \"w\") as z:\n"
                      "    z.writestr(\"real.txt\", \"x\")\n"
                      "    z.comment = sys.argv[1].encode()' " +
                      test::shellQuoted(std::string_view(forged)) +
                      " && head -c 300000 /dev/urandom > big.bin && " + test::shellQuoted(mTool) +
                      " a -v100k split.7z big.bin >/dev/null"),
            0);
  const bool infoZip = test::hasTool("zip");
  if (infoZip) {
    ASSERT_EQ(
        test::run("cd " + test::shellQuoted(mDir.path()) + " && zip -q -s 100k zs.zip big.bin"), 0);
  }
  const struct {
    std::string archive;
    std::vector<std::string> paths;
    std::int64_t volumes;
    std::string comment;
  } rows[] = {
      {"c.zip", {"real.txt"}, 1, forged.substr(0, forged.size() - 1)},
      {"split.7z.001", {"big.bin"}, 3, ""},
      {"zs.zip", {"big.bin"}, 3, ""},  // Info-ZIP's .z01, .z02, .zip
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive);
    if (row.archive == "zs.zip" && !infoZip) continue;
    const auto [properties, entries] = list(row.archive);
    std::vector<std::string> paths;
    for (const RawEntry& entry : entries) paths.push_back(entry.path);
    EXPECT_EQ(paths, row.paths);
    EXPECT_EQ(properties.volumes, row.volumes);
    EXPECT_EQ(properties.isMultiVolume, row.volumes > 1);
    EXPECT_EQ(properties.comment, row.comment);
    EXPECT_NE(properties.type, "rar");
  }
}

TEST_F(SevenZip, ProgressFromARealRun) {
  makeFiles(3);
  std::vector<double> fractions;
  const RunResult result =
      ProcessRunner::run(mTool, {"a", "-bsp1", "p.7z", "in"}, mDir.path(), nullptr,
                         [&](double fraction) { fractions.push_back(fraction); });
  EXPECT_EQ(result.status, 0) << result.stderr;
  for (const double fraction : fractions) {
    EXPECT_GE(fraction, 0.0);
    EXPECT_LE(fraction, 1.0);
  }
}

}  // namespace
}  // namespace vexel
