#include "model/archive_format.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace vexel {
namespace {

TEST(ArchiveFormat, TableOfFormats) {
  struct Row {
    ArchiveFormat format;
    std::string_view raw, name;
    bool password, level, solid, recovery;
  };
  const Row rows[] = {
      {ArchiveFormat::zip, "zip", "ZIP", true, true, false, false},
      {ArchiveFormat::sevenZip, "7z", "7z", true, true, true, false},
      {ArchiveFormat::rar, "rar", "RAR", true, true, true, true},
      {ArchiveFormat::tar, "tar", "TAR", false, false, false, false},
      {ArchiveFormat::tarGz, "tar.gz", "TAR.GZ", false, true, false, false},
  };
  ASSERT_EQ(allArchiveFormats.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(allArchiveFormats[i], row.format);
    EXPECT_EQ(rawValue(row.format), row.raw);
    EXPECT_EQ(fileExtension(row.format), row.raw);
    EXPECT_EQ(displayName(row.format), row.name);
    EXPECT_EQ(supportsPassword(row.format), row.password);
    EXPECT_EQ(supportsLevel(row.format), row.level);
    EXPECT_EQ(supportsSolid(row.format), row.solid);
    EXPECT_EQ(supportsEncryptedNames(row.format), row.solid);
    EXPECT_EQ(supportsRecovery(row.format), row.recovery);
    EXPECT_EQ(archiveFormatFromRawValue(row.raw), row.format);
  }
  EXPECT_EQ(archiveFormatFromRawValue("ZIP"), std::nullopt);
  EXPECT_EQ(archiveFormatFromRawValue(""), std::nullopt);
}

TEST(ArchiveFormat, FormatFromTypeLowerCasesFirst) {
  EXPECT_EQ(archiveFormatFromType("RAR5"), ArchiveFormat::rar);
  EXPECT_EQ(archiveFormatFromType("Rar"), ArchiveFormat::rar);
  EXPECT_EQ(archiveFormatFromType("7Z"), ArchiveFormat::sevenZip);
  EXPECT_EQ(archiveFormatFromType("zip"), ArchiveFormat::zip);
  EXPECT_EQ(archiveFormatFromType("TAR"), ArchiveFormat::tar);
  EXPECT_EQ(archiveFormatFromType("tar.gz"), std::nullopt);
  EXPECT_EQ(archiveFormatFromType("gzip"), std::nullopt);
  EXPECT_EQ(archiveFormatFromType(""), std::nullopt);
}

TEST(ArchiveFormat, DisplayNameOfType) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"rar5", "RAR 5"},
      {"RAR5", "RAR 5"},
      {"Rar", "RAR 4"},
      {"zip", "ZIP"},
      {"7z", "7z"},
      {"tar", "TAR"},
      {"GZIP", "GZip"},
      {"bzip2", "BZip2"},
      {"xz", "XZ"},
      {"zstd", "Zstandard"},
      {"split", "分卷"},
      {"", "压缩包"},
      {"lz4", "LZ4"},
      {"Foo", "FOO"},
      {"iso", "ISO"},
      {"lzh", "LZH"},
      {"cab", "CAB"},
      {"lzma", "LZMA"},
      {"cpio", "CPIO"},
      {"xar", "XAR"},
      // Unknown keys are upper-cased with full Unicode mappings.
      {"straße", "STRASSE"},
      {"été", "ÉTÉ"},
  };
  for (const auto& [type, name] : rows) {
    SCOPED_TRACE(type);
    EXPECT_EQ(displayNameOfType(type), name);
  }
  // A Debian package's files are listed as the package's.
  EXPECT_EQ(displayNameOfType("deb"), "Debian 软件包");
  EXPECT_EQ(displayNameOfType("ar"), "AR");
}

TEST(ArchiveFormat, ArchiveExtensions) {
  const std::set<std::string> expected = {
      "zip", "rar", "7z",  "tar", "gz",  "tgz", "bz2",  "tbz", "tbz2", "xz",  "txz", "zst", "lzma",
      "cab", "iso", "arj", "lzh", "lha", "z",   "cpio", "rpm", "deb",  "wim", "xar", "001", "jar"};
  const auto& extensions = archiveExtensions();
  EXPECT_EQ(std::set<std::string>(extensions.begin(), extensions.end()), expected);
  EXPECT_EQ(extensions.size(), 26u);
}

TEST(ArchiveFormat, ArchiveExtensionsFirstUseIsThreadSafe) {
  // Many threads race to the first use; all must see the same complete set.
  std::vector<std::thread> threads;
  std::vector<const void*> seen(8);
  std::vector<size_t> sizes(8);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &archiveExtensions();
      sizes[i] = archiveExtensions().size();
    });
  }
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(sizes[i], 26u);
  }
}

TEST(ArchiveFormat, IsArchiveByName) {
  const std::pair<std::string_view, bool> rows[] = {
      {"/tmp/Photos.ZIP", true},
      {"/x.tgz", true},
      {"disk.part12.rar", true},
      {"a.r00", true},
      {"a.z99", true},
      {"a.123", true},
      {"a.001", true},
      {"x.Z", true},
      {"a.tar.gz", true},
      {"a.tar.bz2", true},
      {"backup.7z.001", true},
      {"movie.part3.rar", true},
      {"data.z01", true},
      {"name.PART2.RAR", true},
      {"/tmp/x.zip/", true},
      {"a.r1", false},
      {"a.z100", false},
      {"readme.txt", false},
      {"Makefile", false},
      {"a.part.rar", true},
      {"a.partx.r0", false},
      {"/dir.with.zip/readme", false},
      {"zip", false},
      {"a.1234", false},
  };
  for (const auto& [path, expected] : rows) {
    SCOPED_TRACE(path);
    EXPECT_EQ(isArchive(std::filesystem::path(path)), expected);
  }
}

}  // namespace
}  // namespace vexel
