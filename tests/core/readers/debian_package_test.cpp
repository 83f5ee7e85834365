#include "readers/internal/debian_package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/input_file.h"
#include "readers/internal/listing_seams.h"
#include "readers/internal/reader_input.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

using test::hasTool;
using test::readFile;
using test::run;
using test::runShell;
using test::shellQuoted;
using test::TempDir;
using test::writeFile;

constexpr double kLimit = 60.0;

// A package with a program, a link, documentation, a Chinese name, an
// empty folder and enough noise that a cut file still lists something.
constexpr const char* kMakePackage = R"(set -e
mkdir -p pkg/DEBIAN pkg/usr/bin pkg/usr/share/doc/demo "pkg/usr/share/demo/数据" pkg/var/lib/demo
printf 'Package: demo\nVersion: 1.0\nArchitecture: all\nMaintainer: T <t@example.com>\nDescription: demo\n' > pkg/DEBIAN/control
printf '#!/bin/sh\n' > pkg/usr/bin/demo
chmod 755 pkg/usr/bin/demo
printf 'readme text' > pkg/usr/share/doc/demo/README
printf '中文' > "pkg/usr/share/demo/数据/说明.txt"
ln -s ../share/demo pkg/usr/bin/demo-data
for i in $(seq 10 39); do head -c 3000 /dev/urandom > pkg/usr/share/demo/noise$i.bin; done
find pkg -exec touch -h -d '2024-01-02 03:04:05 UTC' {} +
)";

// dataPaths: the entries of the package's data tar as dpkg-deb gives it,
// trimmed as the lister trims names, sorted.
std::vector<std::string> dataPaths(const std::filesystem::path& deb) {
  const auto listed =
      runShell("dpkg-deb --fsys-tarfile " + shellQuoted(deb) + " | LC_ALL=C.UTF-8 bsdtar -tf -");
  EXPECT_EQ(listed.exitStatus, 0) << listed.err;
  std::vector<std::string> paths;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    while (line.starts_with("./")) line.erase(0, 2);
    while (line.ends_with('/')) line.pop_back();
    if (!line.empty()) paths.push_back(line);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> sortedPaths(const ExtensionArchive::Listing& listing) {
  std::vector<std::string> paths;
  for (const ArchiveNode* node : listing.tree->root().descendants()) {
    paths.emplace_back(node->path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool haveTools() {
  return hasTool("dpkg-deb") && hasTool("ar") && hasTool("bsdtar") && hasTool("xz") &&
         hasTool("zstd") && hasTool("bzip2");
}

// A package lists the files it installs, with their sizes and dates, as a
// "Debian 软件包", whatever compresses its data member: as dpkg-deb builds
// it (xz, gzip, zstd, none) or with the members a package may also carry
// (bzip2, lzma, xz in blocks of 4 KiB, which the block reader takes).
TEST(DebianPackage, ListsTheFilesOfItsDataMember) {
  if (!haveTools()) VEXEL_SKIP_UNLESS_CI() << "dpkg-deb, ar, bsdtar, xz, zstd or bzip2 is missing";
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + kMakePackage), 0);
  // assembled: a package of the control and data tars of demo-none.deb, the
  // data one compressed by `compress` into `member`.
  const auto assembled = [](const std::string& member, const std::string& compress) {
    return "dpkg-deb --fsys-tarfile demo-none.deb | " + compress + " > " + member +
           " && dpkg-deb --ctrl-tarfile demo-none.deb | xz > control.tar.xz" +
           " && printf '2.0\\n' > debian-binary && rm -f out.deb" +
           " && ar rc out.deb debian-binary control.tar.xz " + member;
  };
  struct Row {
    const char* label;
    std::string build;  // writes out.deb, after demo-none.deb exists
    const char* member;
    bool isXzBlocks = false;
  };
  const std::vector<Row> rows = {
      {"xz", "dpkg-deb --root-owner-group -Zxz -b pkg out.deb", "data.tar.xz"},
      {"gzip", "dpkg-deb --root-owner-group -Zgzip -b pkg out.deb", "data.tar.gz"},
      {"zstd", "dpkg-deb --root-owner-group -Zzstd -b pkg out.deb", "data.tar.zst"},
      {"none", "dpkg-deb --root-owner-group -Znone -b pkg out.deb", "data.tar"},
      {"bzip2", assembled("data.tar.bz2", "bzip2"), "data.tar.bz2"},
      {"lzma", assembled("data.tar.lzma", "xz --format=lzma"), "data.tar.lzma"},
      {"xz in blocks", assembled("data.tar.xz", "xz --block-size=4KiB"), "data.tar.xz", true},
  };
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && dpkg-deb --root-owner-group -Znone -b pkg demo-none.deb >/dev/null"),
            0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && (" + row.build + ") >/dev/null"), 0);
    const auto deb = dir.path() / "out.deb";

    const auto input = InputFile::open(deb);
    const auto data = findDebianData(*input);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->name, row.member);
    EXPECT_EQ(data->offset + data->size + (data->size & 1),
              static_cast<std::int64_t>(std::filesystem::file_size(deb)));

    auto stats = std::make_shared<XzStreamStats>();
    const auto listing = listWithSource(
        deb, kLimit, nullptr,
        [&](const std::filesystem::path& path, std::unique_ptr<InputFile> file) {
          return makeLibarchiveSource(path, std::move(file), {.xz = {.stats = stats}});
        });
    EXPECT_EQ(listing.typeName, "Debian 软件包");
    EXPECT_EQ(listing.tree->properties().type, "deb");
    EXPECT_TRUE(listing.complete);
    EXPECT_EQ(listing.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(deb)));
    EXPECT_EQ(sortedPaths(listing), dataPaths(deb));
    EXPECT_EQ(stats->blocksDecoded > 0, row.isXzBlocks);
    // Listed as the hosts list it (the memory watch on), the package keeps its type.
    EXPECT_EQ(ExtensionArchive::list(deb, kLimit).typeName, "Debian 软件包");

    const ArchiveNode* readme = listing.tree->node("usr/share/doc/demo/README");
    ASSERT_NE(readme, nullptr);
    EXPECT_EQ(readme->size(), 11);
    EXPECT_EQ(readme->modified(), std::chrono::sys_days(std::chrono::year(2024) / 1 / 2) +
                                      std::chrono::hours(3) + std::chrono::minutes(4) +
                                      std::chrono::seconds(5));
    ASSERT_NE(listing.tree->node("usr/share/demo/数据/说明.txt"), nullptr);
    ASSERT_NE(listing.tree->node("usr/bin/demo-data"), nullptr);
    ASSERT_NE(listing.tree->node("var/lib/demo"), nullptr);
    EXPECT_TRUE(listing.tree->node("var/lib/demo")->isDir());
  }
}

// Only a package is read for its data member: another ar archive lists
// its members. A package whose data member is no tar is damaged, not
// "not an archive"; one cut short lists what it can.
TEST(DebianPackage, OtherArArchivesAndDamage) {
  if (!haveTools()) VEXEL_SKIP_UNLESS_CI() << "dpkg-deb, ar, bsdtar, xz, zstd or bzip2 is missing";
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + kMakePackage), 0);
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && printf 'object' > a.o && printf 'object' > b.o && ar rc lib.a a.o b.o" +
                " && printf '2.0\\n' > debian-binary && printf 'not a tar' > data.tar.xz" +
                " && ar rc damaged.deb debian-binary data.tar.xz" +
                " && dpkg-deb --root-owner-group -Zgzip -b pkg whole.deb >/dev/null"),
            0);

  const auto library = ExtensionArchive::list(dir.path() / "lib.a", kLimit);
  EXPECT_EQ(library.typeName, "AR");
  EXPECT_EQ(sortedPaths(library), (std::vector<std::string>{"a.o", "b.o"}));

  try {
    const auto listing = ExtensionArchive::list(dir.path() / "damaged.deb", kLimit);
    ADD_FAILURE() << "listed as " << listing.typeName;
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error.kind(), ArchiveError::Kind::failed);
  }

  const std::string whole = readFile(dir.path() / "whole.deb");
  writeFile(dir.path() / "cut.deb", whole.substr(0, whole.size() * 2 / 3));
  const auto cut = ExtensionArchive::list(dir.path() / "cut.deb", kLimit);
  EXPECT_EQ(cut.typeName, "Debian 软件包");
  EXPECT_FALSE(cut.complete);
  const std::vector<std::string> all = dataPaths(dir.path() / "whole.deb");
  const std::vector<std::string> some = sortedPaths(cut);
  EXPECT_FALSE(some.empty());
  EXPECT_LT(some.size(), all.size());
  EXPECT_TRUE(std::includes(all.begin(), all.end(), some.begin(), some.end()));
}

}  // namespace
}  // namespace vexel::readers_internal
