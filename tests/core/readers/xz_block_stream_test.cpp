#include "readers/internal/xz_block_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/file_range.h"
#include "readers/internal/input_file.h"
#include "readers/internal/listing_seams.h"
#include "readers/internal/reader_input.h"
#include "readers/internal/xz_index.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

using test::hasTool;
using test::readFile;
using test::run;
using test::runProcess;
using test::shellQuoted;
using test::TempDir;
using test::writeFile;

constexpr double kXzLimit = 60.0;
constexpr std::int64_t kBlock = 4096;
constexpr const char* kFourKiBBlocks = "xz --block-size=4KiB < \"$TAR\" > \"$OUT\"";

// The tar: 40 small notes (about 80 KiB of tar, more than libarchive's
// format bidders look at), a 600 KB member of noise, then names that need
// pax headers and more small files. Prints where the big member's data lies.
constexpr const char* kMakeTar = R"(
import io, random, sys, tarfile
random.seed(7)
with tarfile.open(sys.argv[1], 'w', format=tarfile.PAX_FORMAT) as tar:
    # add: the member's header offset and data offset in the tar.
    def add(name, data=b'', is_dir=False):
        info = tarfile.TarInfo(name)
        info.mtime = 1700000000
        info.type = tarfile.DIRTYPE if is_dir else tarfile.REGTYPE
        info.size = len(data)
        header = tar.offset
        tar.addfile(info, io.BytesIO(data))
        return header, tar.offset - (len(data) + 511) // 512 * 512
    small_only = len(sys.argv) > 2
    add('docs', is_dir=True)
    for i in range(40 if not small_only else 150):
        add('docs/note%02d.txt' % i, random.randbytes(random.randrange(0, 3000)))
    if not small_only:
        print(add('payload/big.bin', random.randbytes(600000))[1], 600000)
        add('项目/说明.txt', b'pax name')
        add('deep/' + 'd' * 150 + '/long.txt', b'long name')
        for i in range(20):
            header, _ = add('tail/t%02d.txt' % i, random.randbytes(random.randrange(0, 2000)))
            if i == 10:
                print(header)
)";

// Layout: where things lie in the uncompressed tar.
struct Layout {
  std::int64_t bigOffset = 0;  ///< the big member's data
  std::int64_t bigSize = 0;
  std::int64_t tailHeader = 0;  ///< a header among the last small files
};

// makeTar: writes the tar to `tar` (small files only, or with the big member).
Layout makeTar(const std::filesystem::path& tar, bool smallFilesOnly = false) {
  const auto script = tar.parent_path() / "make_tar.py";
  writeFile(script, kMakeTar);
  std::vector<std::string> argv = {"python3", script.string(), tar.string()};
  if (smallFilesOnly) argv.emplace_back("small");
  const auto made = runProcess(argv);
  EXPECT_EQ(made.exitStatus, 0) << made.err;
  Layout layout;
  std::istringstream(made.out) >> layout.bigOffset >> layout.bigSize >> layout.tailHeader;
  return layout;
}

// xz: compresses `tar` into `out` with the shell command `compress`, which
// finds their paths in $TAR and $OUT.
void xz(const std::filesystem::path& tar, const std::filesystem::path& out,
        const std::string& compress) {
  ASSERT_EQ(run("TAR=" + shellQuoted(tar) + " OUT=" + shellQuoted(out) + "; " + compress), 0)
      << compress;
}

// bsdtarPaths: what `bsdtar -tf` lists, in order, trimmed as the lister
// trims names (under a UTF-8 locale, in which it can print every name).
std::vector<std::string> bsdtarPaths(const std::filesystem::path& file) {
  const auto listed = test::runShell("LC_ALL=C.UTF-8 bsdtar -tf " + shellQuoted(file));
  EXPECT_EQ(listed.exitStatus, 0) << listed.err;
  std::vector<std::string> paths;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    while (line.starts_with("./")) line.erase(0, 2);
    while (line.ends_with('/')) line.pop_back();
    if (!line.empty()) paths.push_back(line);
  }
  return paths;
}

// XzListed: the entries of one listing in archive order, and how it went.
struct XzListed {
  std::vector<std::string> paths;
  std::string typeName;
  bool complete = false;
  std::optional<ArchiveError> error;
};

// listFile: `ExtensionArchive::list` with the reader input's options given.
XzListed listFile(const std::filesystem::path& file, const ReaderInput::Options& options) {
  XzListed listed;
  try {
    const auto listing =
        listWithSource(file, kXzLimit, nullptr,
                       [&](const std::filesystem::path& path, std::unique_ptr<InputFile> input) {
                         return makeLibarchiveSource(path, std::move(input), options);
                       });
    for (const ArchiveNode* node : listing.tree->root().descendants()) {
      listed.paths.emplace_back(node->path());
    }
    listed.typeName = listing.typeName;
    listed.complete = listing.complete;
  } catch (const ArchiveError& error) {
    listed.error = error;
  }
  return listed;
}

// entriesInOrder: the named entries the header loop hands over, in order.
std::vector<std::string> entriesInOrder(const std::filesystem::path& file,
                                        const ReaderInput::Options& options) {
  const ListingBounds bounds{.clock = [] { return std::chrono::steady_clock::now(); },
                             .deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1),
                             .maxEntries = 1'000'000,
                             .maxNameBytes = 1 << 30};
  Collected collected =
      collectEntries(makeLibarchiveSource(file, InputFile::open(file), options), bounds);
  EXPECT_EQ(collected.end, SourceEnd::end);
  std::vector<std::string> paths;
  for (const RawEntry& entry : collected.entries) paths.push_back(entry.path);
  return paths;
}

std::vector<XzBlock> blocksOf(const std::filesystem::path& file) {
  const auto input = InputFile::open(file);
  FileRange whole(*input, 0, input->streamSize(), file.string());
  const std::atomic<bool> stop{false};
  return readXzBlocks(whole, stop).value_or(std::vector<XzBlock>{});
}

bool haveXzTools() { return hasTool("python3") && hasTool("xz") && hasTool("bsdtar"); }

// Every way xz writes a tar lists the entries bsdtar lists, in its order,
// as "TAR + XZ": in blocks of a few KiB, in two streams with padding
// between, with other checks and a filter before LZMA2, and in one block,
// which libarchive's own filter reads.
TEST(XzBlockStream, ListsWhatBsdtarLists) {
  if (!haveXzTools()) VEXEL_SKIP_UNLESS_CI() << "python3, xz or bsdtar is missing";
  TempDir dir;
  const auto tar = dir.path() / "a.tar";
  makeTar(tar);
  const std::string half = std::to_string(std::filesystem::file_size(tar) / 2);
  struct Row {
    const char* label;
    std::string compress;
    bool isMultiBlock;
  };
  const std::vector<Row> rows = {
      {"4 KiB blocks", "xz --block-size=4KiB < \"$TAR\" > \"$OUT\"", true},
      {"two streams, padding between",
       "{ head -c " + half + " \"$TAR\" | xz --block-size=8KiB; printf '\\0\\0\\0\\0';" +
           " tail -c +$((" + half + " + 1)) \"$TAR\" | xz --block-size=8KiB --check=crc32; }" +
           " > \"$OUT\"",
       true},
      {"SHA-256 check", "xz --block-size=16KiB --check=sha256 < \"$TAR\" > \"$OUT\"", true},
      {"no check, x86 filter",
       "xz --block-size=16KiB --check=none --x86 --lzma2=preset=1 < \"$TAR\" > \"$OUT\"", true},
      {"one block", "xz -T1 < \"$TAR\" > \"$OUT\"", false},
  };
  const std::vector<std::string> expected = bsdtarPaths(tar);
  ASSERT_GT(expected.size(), 60U);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const auto file = dir.path() / "a.tar.xz";
    xz(tar, file, row.compress);
    EXPECT_EQ(bsdtarPaths(file), expected);
    EXPECT_EQ(blocksOf(file).size() > 1, row.isMultiBlock);

    // Runs of blocks as large as the whole tar, and every block alone.
    for (const std::int64_t runSize : {std::int64_t{1} << 20, std::int64_t{0}}) {
      auto stats = std::make_shared<XzStreamStats>();
      EXPECT_EQ(entriesInOrder(file, {.xz = {.runSize = runSize, .stats = stats}}), expected);
      // The block reader takes the multi-block files and only those.
      EXPECT_EQ(stats->blocksDecoded > 0, row.isMultiBlock);
    }
    const ReaderInput::Options options;

    const XzListed listed = listFile(file, options);
    ASSERT_FALSE(listed.error) << listed.error->message();
    EXPECT_EQ(listed.typeName, "TAR + XZ");
    EXPECT_TRUE(listed.complete);
    EXPECT_EQ(listed.paths, listFile(file, {.readsXzBlocks = false}).paths);
  }
}

// The index: every block once, in order, without gaps, as xz wrote it.
TEST(XzBlockStream, ReadsTheIndex) {
  if (!haveXzTools()) VEXEL_SKIP_UNLESS_CI() << "python3, xz or bsdtar is missing";
  TempDir dir;
  const auto tar = dir.path() / "a.tar";
  makeTar(tar);
  xz(tar, dir.path() / "a.tar.xz", kFourKiBBlocks);
  const auto size = static_cast<std::int64_t>(std::filesystem::file_size(tar));
  const std::vector<XzBlock> blocks = blocksOf(dir.path() / "a.tar.xz");
  ASSERT_EQ(static_cast<std::int64_t>(blocks.size()), (size + kBlock - 1) / kBlock);
  std::int64_t offset = 0;
  std::int64_t packedOffset = 12;  // after the stream header
  for (const XzBlock& block : blocks) {
    EXPECT_EQ(block.offset, offset);
    EXPECT_EQ(block.packedOffset, packedOffset);
    EXPECT_LE(block.size, kBlock);
    offset += block.size;
    packedOffset += block.packedSize;
  }
  EXPECT_EQ(offset, size);

  // Not xz, or xz without its index: no blocks.
  writeFile(dir.path() / "plain.tar", readFile(tar));
  EXPECT_TRUE(blocksOf(dir.path() / "plain.tar").empty());
  const std::string packed = readFile(dir.path() / "a.tar.xz");
  writeFile(dir.path() / "cut.tar.xz", packed.substr(0, packed.size() - 20));
  EXPECT_TRUE(blocksOf(dir.path() / "cut.tar.xz").empty());
}

// Blocks that lie wholly inside the big member's data are jumped over and
// never decoded; the rest is decoded once. One thread, nothing ahead, every
// block alone: the counts are exact. In runs of 16 blocks, one run decoded
// ahead, what is decoded before the jump is dropped.
TEST(XzBlockStream, SkipsJumpOverWholeBlocks) {
  if (!haveXzTools()) VEXEL_SKIP_UNLESS_CI() << "python3, xz or bsdtar is missing";
  TempDir dir;
  const auto tar = dir.path() / "a.tar";
  const Layout layout = makeTar(tar);
  ASSERT_GT(layout.bigSize, 0);
  const auto file = dir.path() / "a.tar.xz";
  xz(tar, file, kFourKiBBlocks);
  const std::vector<XzBlock> blocks = blocksOf(file);
  const auto size = static_cast<std::int64_t>(std::filesystem::file_size(tar));
  std::int64_t inner = 0;
  for (const XzBlock& block : blocks) {
    if (block.offset >= layout.bigOffset &&
        block.offset + block.size <= layout.bigOffset + layout.bigSize) {
      ++inner;
    }
  }
  ASSERT_GT(inner, 100);

  auto exact = std::make_shared<XzStreamStats>();
  EXPECT_EQ(
      entriesInOrder(file, {.xz = {.threads = 1, .readAhead = 0, .runSize = 0, .stats = exact}}),
      bsdtarPaths(file));
  EXPECT_LE(exact->blocksDecoded, static_cast<std::int64_t>(blocks.size()) - inner);
  // Whole blocks, each decoded once (the last one may be short).
  EXPECT_LE(exact->bytesDecoded, exact->blocksDecoded * kBlock);
  EXPECT_GT(exact->bytesDecoded, (exact->blocksDecoded - 1) * kBlock);
  EXPECT_GE(exact->skips, 1);
  EXPECT_GE(exact->bytesSkipped, inner * kBlock);

  auto runs = std::make_shared<XzStreamStats>();
  EXPECT_EQ(entriesInOrder(
                file, {.xz = {.readAhead = 16 * kBlock, .runSize = 16 * kBlock, .stats = runs}}),
            bsdtarPaths(file));
  EXPECT_LT(runs->bytesDecoded, size - layout.bigSize / 2);
}

// Where every block holds headers, every block is decoded, on two or four
// threads and ahead of the reader, in runs of two blocks, and none twice.
TEST(XzBlockStream, DecodesAheadInParallel) {
  if (!haveXzTools()) VEXEL_SKIP_UNLESS_CI() << "python3, xz or bsdtar is missing";
  TempDir dir;
  const auto tar = dir.path() / "a.tar";
  makeTar(tar, true);
  const auto file = dir.path() / "a.tar.xz";
  xz(tar, file, kFourKiBBlocks);
  const auto blocks = static_cast<std::int64_t>(blocksOf(file).size());
  const auto size = static_cast<std::int64_t>(std::filesystem::file_size(tar));
  for (const unsigned threads : {2U, 4U}) {
    SCOPED_TRACE(threads);
    auto stats = std::make_shared<XzStreamStats>();
    EXPECT_EQ(entriesInOrder(file, {.xz = {.threads = threads,
                                           .readAhead = 64 * kBlock,
                                           .runSize = 2 * kBlock,
                                           .stats = stats}}),
              bsdtarPaths(file));
    EXPECT_LE(stats->blocksDecoded, blocks);
    EXPECT_LE(stats->bytesDecoded, size);
    // The tar's zero padding at the end may go unread.
    EXPECT_GE(stats->bytesDecoded, size - 10240);
  }
}

// Damage. In a block that holds headers it ends the listing there, as
// anywhere; before the first entry it is an error. In a block that is
// jumped over it is never seen (blocks taken alone here: a run is decoded
// whole). Without its index the file is read by libarchive's own filter,
// as before.
TEST(XzBlockStream, DamageStopsTheListingWhereItIsRead) {
  if (!haveXzTools()) VEXEL_SKIP_UNLESS_CI() << "python3, xz or bsdtar is missing";
  TempDir dir;
  const auto tar = dir.path() / "a.tar";
  const Layout layout = makeTar(tar);
  const auto file = dir.path() / "a.tar.xz";
  xz(tar, file, kFourKiBBlocks);
  const std::string packed = readFile(file);
  const std::vector<XzBlock> blocks = blocksOf(file);
  const ReaderInput::Options blockByBlock{.xz = {.runSize = 0}};
  const std::vector<std::string> all = listFile(file, blockByBlock).paths;

  // flipped: the file with one byte changed in the middle of `block`'s data.
  const auto flipped = [&](const XzBlock& block) {
    std::string bytes = packed;
    bytes[static_cast<std::size_t>(block.packedOffset + block.packedSize / 2)] ^= 0x55;
    const auto out = dir.path() / "damaged.tar.xz";
    writeFile(out, bytes);
    return out;
  };
  const auto blockAt = [&](std::int64_t offset) {
    return *std::find_if(blocks.begin(), blocks.end(),
                         [&](const XzBlock& block) { return offset < block.offset + block.size; });
  };

  const XzListed skipped =
      listFile(flipped(blockAt(layout.bigOffset + layout.bigSize / 2)), blockByBlock);
  EXPECT_FALSE(skipped.error);
  EXPECT_TRUE(skipped.complete);
  EXPECT_EQ(skipped.paths, all);

  const XzListed tail = listFile(flipped(blockAt(layout.tailHeader)), blockByBlock);
  ASSERT_FALSE(tail.error) << tail.error->message();
  EXPECT_FALSE(tail.complete);
  EXPECT_LT(tail.paths.size(), all.size());
  EXPECT_GT(tail.paths.size(), 40U);

  const XzListed first = listFile(flipped(blocks.front()), blockByBlock);
  ASSERT_TRUE(first.error);
  EXPECT_EQ(first.error->kind(), ArchiveError::Kind::failed);

  writeFile(dir.path() / "cut.tar.xz", packed.substr(0, packed.size() - 20));
  const XzListed cut = listFile(dir.path() / "cut.tar.xz", blockByBlock);
  const XzListed cutByLibarchive = listFile(dir.path() / "cut.tar.xz", {.readsXzBlocks = false});
  EXPECT_EQ(cut.paths, cutByLibarchive.paths);
  EXPECT_EQ(cut.complete, cutByLibarchive.complete);
}

}  // namespace
}  // namespace vexel::readers_internal
