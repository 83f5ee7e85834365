// Volumes: split archives listed as a whole from any volume, and what a
// missing volume makes of them.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "extension_archive_testing.h"
#include "process/unique_fd.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::errorOf;
using test::hasTool;
using test::kLimit;
using test::pathsOf;
using test::run;
using test::shellQuoted;
using test::sorted;
using test::TempDir;

// expectErrorOrIncomplete: listing `file` fails with `expected`, or lists at most
// `paths` and says that it is incomplete.
void expectErrorOrIncomplete(const std::filesystem::path& file, const ArchiveError& expected,
                             const std::vector<std::string>& paths) {
  try {
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_FALSE(listing.complete);
    for (const std::string& path : pathsOf(listing)) {
      EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path;
    }
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, expected);
  }
}

// One row per kind of split archive, made by the real tools in 64 KiB
// volumes: listed from its first, a middle or its last volume it shows the
// whole archive, typed by the format inside and sized as all volumes
// together. Without a middle volume it lists what it can, incomplete, or
// names the volume it needs; a middle volume without the first asks for it.
TEST(ExtensionArchive, SplitArchivesListAsAWhole) {
  struct Row {
    const char* label;
    const char* tool;
    std::string command;               // run in in/, writes the volumes into ../out/
    std::vector<std::string> volumes;  // the first, a middle one, the last
    const char* typeName;
    std::vector<std::string> paths;
    bool listsAllAcrossAGap = false;  // the archive's index lies after the middle volume
  };
  const std::string split = " && split -b 64k -d -a 3 --numeric-suffixes=1 ";
  const std::vector<std::string> tree = {"big.bin", "docs/", "docs/a.txt", "docs/说明.txt"};
  const std::vector<Row> rows = {
      {"7-Zip, -v",
       "7zz",
       "7zz a -bso0 -bsp0 -v64k ../out/s.7z big.bin docs",
       {"s.7z.001", "s.7z.002", "s.7z.003"},
       "7z",
       tree,
       true},
      {"ZIP by 7-Zip, -v",
       "7zz",
       "7zz a -bso0 -bsp0 -tzip -v64k ../out/s.zip big.bin docs",
       {"s.zip.001", "s.zip.002", "s.zip.003"},
       "ZIP",
       tree},
      {"Info-ZIP, -s",
       "zip",
       "zip -qr -s 64k ../out/s.zip big.bin docs",
       {"s.z01", "s.z02", "s.zip"},
       "ZIP",
       tree},
      {"tar.gz cut by split",
       "bsdtar",
       "bsdtar -czf ../t.tar.gz big.bin docs" + split + "../t.tar.gz ../out/t.tar.gz.",
       {"t.tar.gz.001", "t.tar.gz.002", "t.tar.gz.003"},
       "TAR + GZip",
       tree},
      // A single compressed file is named after the set, not the volume.
      {"gzip stream cut by split",
       "gzip",
       "gzip -c big.bin > ../notes.txt.gz" + split + "../notes.txt.gz ../out/notes.txt.gz.",
       {"notes.txt.gz.001", "notes.txt.gz.002", "notes.txt.gz.003"},
       "GZip",
       {"notes.txt"}},
      {"lz4 stream cut by split: the format inside has no name",
       "lz4",
       "lz4 -q -c big.bin > ../notes.txt.lz4" + split + "../notes.txt.lz4 ../out/notes.txt.lz4.",
       {"notes.txt.lz4.001", "notes.txt.lz4.002", "notes.txt.lz4.003"},
       "分卷",
       {"notes.txt"}},
  };
  std::string noise(150'000, '\0');
  std::mt19937 random(11);
  for (char& c : noise) c = static_cast<char>(random() & 0xFFU);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (test::missingTool(row.tool) || test::missingTool("split")) continue;
    TempDir dir;
    dir.write("in/big.bin", noise);
    dir.write("in/docs/a.txt", "a");
    dir.write("in/docs/说明.txt", "说明");
    std::filesystem::create_directory(dir / "out");
    ASSERT_EQ(run("cd " + shellQuoted(dir / "in") + " && LC_ALL=C.UTF-8 " + row.command), 0);
    std::int64_t size = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir / "out")) {
      size += static_cast<std::int64_t>(file.file_size());
    }
    for (const std::string& volume : row.volumes) {
      SCOPED_TRACE(volume);
      const auto listing = ExtensionArchive::list(dir / "out" / volume, kLimit);
      EXPECT_EQ(sorted(pathsOf(listing)), row.paths);
      EXPECT_EQ(listing.typeName, row.typeName);
      EXPECT_TRUE(listing.complete);
      EXPECT_EQ(listing.fileSize, size);
      EXPECT_EQ(listing.tree->properties().physicalSize, size);
      EXPECT_EQ(listing.tree->properties().volumes, 3);
    }

    const auto first = dir / "out" / row.volumes[0];
    const auto middle = dir / "out" / row.volumes[1];
    std::filesystem::rename(first, dir / "first");
    EXPECT_EQ(errorOf(middle), ArchiveError::firstVolumeNeeded(row.volumes[0]));
    std::filesystem::rename(dir / "first", first);

    std::filesystem::remove(middle);
    expectErrorOrIncomplete(first, ArchiveError::volumeMissing(row.volumes[1]), row.paths);
    if (row.listsAllAcrossAGap) {
      EXPECT_EQ(sorted(pathsOf(ExtensionArchive::list(first, kLimit))), row.paths);
    }
    // Only the first volume left: the next one is what is missing.
    std::filesystem::remove(dir / "out" / row.volumes[2]);
    expectErrorOrIncomplete(first, ArchiveError::volumeMissing(row.volumes[1]), row.paths);
  }
}

// A set cut into equal parts (split -n) ends in a volume as large as the
// first; the format says where it ends (7z's start header gives the
// archive's size, ZIP has its end record, RAR its end block), so the
// listing is complete. Without the last part it is not. Each row: the
// archive, made by a tool or taken from the fixtures, and its type name.
TEST(ExtensionArchive, SetsCutIntoEqualParts) {
  struct Row {
    const char* label;
    const char* tool;  // makes in/ into ../a.<ext>, or nothing
    std::string command;
    const char* fixture;  // else the archive
    const char* extension;
    const char* typeName;
  };
  const std::vector<Row> rows = {
      {"7z", "7zz", "7zz a -bso0 -bsp0 ../a.7z .", nullptr, "7z", "7z"},
      {"ZIP", "zip", "zip -qr ../a.zip .", nullptr, "zip", "ZIP"},
      {"RAR 4", nullptr, "", "test_read_format_rar.rar", "rar", "RAR 4"},
      {"RAR 5", nullptr, "", "test_read_format_rar5_win32.rar", "rar", "RAR 5"},
  };
  const auto fixtures = test::fixturesDir();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (row.tool != nullptr && test::missingTool(row.tool)) continue;
    if (row.fixture != nullptr && !fixtures) VEXEL_SKIP_UNLESS_CI() << "fixture folder is absent";
    TempDir dir;
    const std::filesystem::path archive = dir / (std::string("a.") + row.extension);
    std::string noise(3000, 'x');
    for (int attempt = 0; attempt < 4; ++attempt) {
      // Halves of one size need an even length: one byte more changes it.
      std::filesystem::remove(archive);
      if (row.fixture != nullptr) {
        std::filesystem::copy_file(*fixtures / row.fixture, archive);
      } else {
        dir.write("in/docs/说明.txt", noise);
        ASSERT_EQ(run("cd " + shellQuoted(dir / "in") + " && LC_ALL=C.UTF-8 " + row.command), 0);
      }
      if (std::filesystem::file_size(archive) % 2 == 0) break;
      noise += 'y';
    }
    ASSERT_EQ(std::filesystem::file_size(archive) % 2, 0U);
    const auto whole = ExtensionArchive::list(archive, kLimit);
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && split -n 2 -d -a 3 --numeric-suffixes=1 " +
                  shellQuoted(archive.filename()) + " " + shellQuoted(archive.filename()) + "."),
              0);
    const std::filesystem::path first = dir / (archive.filename().string() + ".001");
    const std::filesystem::path second = dir / (archive.filename().string() + ".002");
    ASSERT_EQ(std::filesystem::file_size(first), std::filesystem::file_size(second));
    const auto listing = ExtensionArchive::list(second, kLimit);
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(sorted(pathsOf(listing)), sorted(pathsOf(whole)));
    EXPECT_TRUE(listing.complete);
    EXPECT_EQ(listing.cutoff, ExtensionArchive::Cutoff::none);
    // The first half alone: the format says more follows.
    std::filesystem::remove(second);
    try {
      EXPECT_FALSE(ExtensionArchive::list(first, kLimit).complete);
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error, ArchiveError::volumeMissing(second.filename().string()));
    }
  }
}

// RAR volumes carry headers of their own; libarchive's RAR readers take
// them one after another as one stream. Each row: the fixtures linked in
// under other names, the one chosen, and what it lists (type, files,
// folders, complete or not) or the error's text.
TEST(ExtensionArchive, SplitRarArchives) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) VEXEL_SKIP_UNLESS_CI() << "fixture folder is absent";
  const std::string four = "test_rar_multivolume_single_file.part";
  const std::string five = "test_read_format_rar5_multiarchive.part0";
  struct Row {
    std::vector<std::pair<std::string, std::string>> links;  // name here, fixture
    const char* chosen;
    const char* listed;
  };
  const std::vector<Row> rows = {
      {{{"v.part1.rar", four + "1.rar"},
        {"v.part2.rar", four + "2.rar"},
        {"v.part3.rar", four + "3.rar"}},
       "v.part2.rar",
       "RAR 4 1/0 complete"},
      {{{"v.rar", four + "1.rar"}, {"v.r00", four + "2.rar"}, {"v.r01", four + "3.rar"}},
       "v.r01",
       "RAR 4 1/0 complete"},
      {{{"v.part1.rar", four + "1.rar"}, {"v.part3.rar", four + "3.rar"}},
       "v.part1.rar",
       "无法读取压缩包：缺少分卷 v.part2.rar。"},
      // Two of eight volumes, of one size: libarchive ends at the second
      // without an error.
      {{{"v.part01.rar", five + "1.rar"}, {"v.part02.rar", five + "2.rar"}},
       "v.part02.rar",
       "RAR 5 1/7 incomplete"},
      {{{"v.part02.rar", five + "2.rar"}},
       "v.part02.rar",
       "无法读取压缩包：这是分卷压缩包的一部分，需要同一文件夹中的第一个分卷 v.part01.rar。"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.listed);
    TempDir dir;
    std::int64_t size = 0;
    for (const auto& [name, fixture] : row.links) {
      if (!std::filesystem::exists(*fixtures / fixture))
        VEXEL_SKIP_UNLESS_CI() << fixture << " is absent";
      std::filesystem::create_symlink(*fixtures / fixture, dir / name);
      size += static_cast<std::int64_t>(std::filesystem::file_size(*fixtures / fixture));
    }
    std::string listed;
    try {
      const auto listing = ExtensionArchive::list(dir / row.chosen, kLimit);
      listed = listing.typeName + " " + std::to_string(listing.tree->fileCount()) + "/" +
               std::to_string(listing.tree->dirCount()) +
               (listing.complete ? " complete" : " incomplete");
      EXPECT_EQ(listing.fileSize, size);
    } catch (const ArchiveError& error) {
      listed = error.message();
    }
    EXPECT_EQ(listed, row.listed);
  }
}

// A lister that may not open files is handed the archive open: what it
// reads is the descriptor, whatever the name now holds; the name still finds
// the other volumes. Split sets through 7zz below.
TEST(ExtensionArchive, ListsTheDescriptorItIsHanded) {
  TempDir dir;
  const auto file = dir.path() / "a.zip";
  test::writeFile(file, test::zipBytes({{.name = "kept.txt", .data = "x"}}));
  const UniqueFd opened(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(opened);
  // The name now holds another archive, then nothing at all.
  test::writeFile(dir.path() / "b.zip", test::zipBytes({{.name = "other.txt", .data = "y"}}));
  std::filesystem::rename(dir.path() / "b.zip", file);
  EXPECT_EQ(pathsOf(ExtensionArchive::list(file, opened.get(), kLimit)),
            std::vector<std::string>{"kept.txt"});
  std::filesystem::remove(file);
  EXPECT_EQ(pathsOf(ExtensionArchive::list(file, opened.get(), kLimit)),
            std::vector<std::string>{"kept.txt"});
  // A descriptor of anything but a regular file is refused as its name would be.
  UniqueFd readEnd, writeEnd;
  ASSERT_TRUE(makePipe(readEnd, writeEnd));
  try {
    (void)ExtensionArchive::list(file, readEnd.get(), kLimit);
    ADD_FAILURE() << "a pipe was listed";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::notRegularFile(ArchiveError::FileType::fifo));
  }
  if (test::missingTool("7zz")) return;
  std::filesystem::create_directory(dir.path() / "src");
  test::writeFile(dir.path() / "src" / "big.bin", std::string(3000, 'v'));
  ASSERT_EQ(run("cd " + shellQuoted(dir.path().string()) +
                " && 7zz a -bd -mx0 -v1k split.7z src >/dev/null"),
            0);
  for (const char* volume : {"split.7z.001", "split.7z.002"}) {
    SCOPED_TRACE(volume);
    const UniqueFd handed(::open((dir.path() / volume).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(handed);
    const auto listing = ExtensionArchive::list(dir.path() / volume, handed.get(), kLimit);
    EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"src/", "src/big.bin"}));
    EXPECT_TRUE(listing.complete);
  }
}

}  // namespace
}  // namespace vexel
