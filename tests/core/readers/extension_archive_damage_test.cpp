// Damage and limits: failed and truncated headers, listings cut short by
// time or a node budget, and the stop reaching libarchive's reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "extension_archive_testing.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/input_file.h"
#include "readers/internal/listing_worker.h"
#include "readers/internal/volume_set.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::hasTool;
using test::kLimit;
using test::pathsOf;
using test::run;
using test::shellQuoted;
using test::TempDir;
using test::writeFile;
using test::zipBytes;

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

// Headers without a name: each file is a row of its own, named after the
// archive; one right before damage is part of it; and headers that
// libarchive hands back with neither a name nor a type (a run of GNU long
// name records) are damage, not entries. Each row: the archive, and what
// it lists (sorted, "complete" or "damaged") or "error".
TEST(ExtensionArchive, NamelessHeaders) {
  using test::TarEntry;
  const std::vector<TarEntry> longNames(200, TarEntry{.name = "longname", .type = 'L'});
  std::string damaged = test::tarBytes({{.name = "b", .data = "b"}});
  damaged[0] = 'c';  // the checksum no longer matches
  const auto tarWith = [](std::vector<TarEntry> entries, const std::string& tail = {}) {
    std::string bytes = test::tarBytes(entries);
    if (!tail.empty()) bytes.insert(bytes.size() - 1024, tail.substr(0, tail.size() - 1024));
    return bytes;
  };
  std::vector<TarEntry> aThenLongNames = {{.name = "a", .data = "a"}};
  aThenLongNames.insert(aThenLongNames.end(), longNames.begin(), longNames.end());
  const struct {
    const char* label;
    const char* file;
    std::string bytes;
    const char* listed;
  } rows[] = {
      {"two nameless ZIP entries", "x.zip",
       zipBytes({{.name = "", .data = "1"}, {.name = "a.txt"}, {.name = "", .data = "2"}}),
       "a.txt x x (2) complete"},
      {"nameless tar files between named ones", "x.tar",
       tarWith(
           {{.name = "", .data = "1"}, {.name = "a"}, {.name = "", .data = "2"}, {.name = "b"}}),
       "a b x x (2) complete"},
      {"a nameless tar header before damage", "x.tar",
       tarWith({{.name = "a", .data = "a"}, {.name = ""}}, damaged), "a damaged"},
      {"headers without name or type after a file", "x.tar", tarWith(aThenLongNames), "a damaged"},
      {"headers without name or type only", "x.tar", tarWith(longNames), "error"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    TempDir dir;
    writeFile(dir.path() / row.file, row.bytes);
    std::string listed;
    try {
      const auto listing = ExtensionArchive::list(dir.path() / row.file, kLimit);
      for (const std::string& path : test::sorted(pathsOf(listing))) listed += path + " ";
      listed += listing.complete ? "complete" : "";
      if (listing.cutoff == ExtensionArchive::Cutoff::damage) listed += "damaged";
    } catch (const ArchiveError&) {
      listed = "error";
    }
    EXPECT_EQ(listed, row.listed);
  }
}

// Cut a tar at every 512-byte record: before the first header completes the
// file cannot be read; after it, what was read is listed as incomplete.
TEST(ExtensionArchive, TruncatedTarListsTheEntriesSoFar) {
  if (!hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
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

// A listing that ends early says why, timed by the real clock or a given one;
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
  for (const bool realClock : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.file) + " in " + std::to_string(row.limit) + " s" +
                   (realClock ? " by the real clock" : " by a given clock"));
      const auto file = dir.path() / row.file;
      try {
        const auto listing = realClock ? ExtensionArchive::list(file, row.limit)
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
  if (!hasTool("python3") || !hasTool("bsdtar"))
    VEXEL_SKIP_UNLESS_CI() << "python3 or bsdtar is missing";
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

// Depth and width make nodes: 2,000 files, each 5,000 folders deep under a
// top folder of its own, would be 10,002,000 nodes from 68 KB.
TEST(ExtensionArchive, NodeBudgetBoundsTheTree) {
  if (!hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
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

}  // namespace
}  // namespace vexel
