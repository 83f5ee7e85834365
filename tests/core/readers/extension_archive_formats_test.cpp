// Formats and filters: what each archive type lists and is called, exact
// entry facts, encryption, files that are no archive, and libarchive's own
// test archives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "extension_archive_testing.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/built_in_filters.h"
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
using test::TempDir;
using test::writeFile;
using test::zipBytes;

// Where a ZIP keeps an exact time beside the DOS time (NTFS field, extended
// timestamp, in the central directory alone or in both headers), that time
// is shown, whatever the layout of the central directory; each entry gets
// its own record's time.
TEST(ExtensionArchive, ZipExactTimes) {
  using std::chrono::seconds;
  using std::chrono::sys_seconds;
  const sys_seconds ntfs(seconds(1509423117));      // 2017-10-31 04:11:57 UTC
  const sys_seconds extended(seconds(1700000000));  // 2023-11-14 22:13:20 UTC
  // The DOS time 2024-01-02 03:04:06 in the local time zone, as libarchive reads it.
  std::tm local{};
  local.tm_year = 124;
  local.tm_mon = 0;
  local.tm_mday = 2;
  local.tm_hour = 3;
  local.tm_min = 4;
  local.tm_sec = 6;
  local.tm_isdst = -1;
  const sys_seconds dos(seconds(std::mktime(&local)));
  const std::vector<test::ZipEntry> entries = {
      {.name = "ntfs.txt", .data = "n", .extra = test::ntfsTime(1509423117)},
      {.name = "extended.txt", .data = "e", .extra = test::extendedTime(1700000000)},
      {.name = "dos.txt", .data = "d"},
      {.name = "both.txt",
       .data = "b",
       .extra = test::extendedTime(1700000000) + test::ntfsTime(1509423117)},
  };
  const std::vector<std::pair<const char*, test::ZipLayout>> layouts = {
      {"plain", {}},
      {"directory out of offset order", {.isDirectoryReversed = true}},
      {"ZIP64 end record with short fields", {.hasZip64Locator = true}},
      {"self-extractor", {.prefix = std::string(1000, 'M')}},
  };
  TempDir dir;
  for (const auto& [label, layout] : layouts) {
    SCOPED_TRACE(label);
    writeFile(dir.path() / "t.zip", zipBytes(entries, layout));
    const auto listing = ExtensionArchive::list(dir.path() / "t.zip", kLimit);
    ASSERT_EQ(listing.tree->fileCount(), 4);
    EXPECT_EQ(listing.tree->node("ntfs.txt")->modified(), ntfs);
    EXPECT_EQ(listing.tree->node("extended.txt")->modified(), extended);
    EXPECT_EQ(listing.tree->node("dos.txt")->modified(), dos);
    EXPECT_EQ(listing.tree->node("both.txt")->modified(), ntfs);
  }
}

// rubyzip's path-traversal archives: "path" is a link and "path/file.txt"
// an entry beneath it. Both are listed, as by every other reader; the link
// becomes a folder that keeps its own date, so the file can be opened,
// found and indexed.
TEST(ExtensionArchive, EntriesBeneathALinkAreKept) {
  TempDir dir;
  writeFile(dir.path() / "a.zip", zipBytes({{.name = "path",
                                             .data = "/tmp",
                                             .extra = test::ntfsTime(1509423117),
                                             .unixMode = 0120777},
                                            {.name = "path/file.txt", .data = "inside"}}));
  const auto listing = ExtensionArchive::list(dir.path() / "a.zip", kLimit);
  EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"path/", "path/file.txt"}));
  EXPECT_EQ(listing.tree->node("path")->modified(),
            std::chrono::sys_seconds(std::chrono::seconds(1509423117)));
  EXPECT_EQ(listing.tree->fileCount(), 1);
  EXPECT_EQ(listing.tree->totalSize(), 6);
  EXPECT_TRUE(listing.complete);
}

TEST(ExtensionArchive, TarFiltersNameTheirType) {
  if (!hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                " && mkdir -p in/docs && echo one > in/docs/a.txt && echo two > in/b.txt"),
            0);
  struct Row {
    const char* option;
    const char* typeName;
  };
  const Row rows[] = {
      {"--gzip", "TAR + GZip"}, {"--bzip2", "TAR + BZip2"},
      {"--xz", "TAR + XZ"},     {"--zstd", "TAR + Zstandard"},
      {"--lzma", "TAR + LZMA"}, {"--lz4", "TAR"},
      {"--compress", "TAR"},    {"", "TAR"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option);
    const auto file = dir.path() / "a.tar.x";
    ASSERT_EQ(run("cd " + shellQuoted(dir.path() / "in") + " && bsdtar -cf " + shellQuoted(file) +
                  " " + row.option + " docs b.txt"),
              0);
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(listing.tree->properties().type, "tar");
    EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"docs/", "docs/a.txt", "b.txt"}));
    EXPECT_TRUE(listing.complete);
    EXPECT_EQ(listing.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(file)));
    EXPECT_EQ(listing.tree->properties().physicalSize, listing.fileSize);
  }
}

TEST(ExtensionArchive, SingleCompressedFilesAreNamedAfterTheFile) {
  TempDir dir;
  writeFile(dir.path() / "notes.txt", "some notes\n");
  struct Row {
    const char* tool;
    const char* command;
    const char* file;
    const char* typeName;
    const char* typeKey;
  };
  const Row rows[] = {
      {"gzip", "gzip -c notes.txt > notes.txt.gz", "notes.txt.gz", "GZip", "gzip"},
      {"bzip2", "bzip2 -c notes.txt > notes.txt.bz2", "notes.txt.bz2", "BZip2", "bzip2"},
      {"xz", "xz -c notes.txt > notes.txt.xz", "notes.txt.xz", "XZ", "xz"},
      {"zstd", "zstd -q -c notes.txt > notes.txt.zst", "notes.txt.zst", "Zstandard", "zstd"},
      {"lz4", "lz4 -q -c notes.txt > notes.txt.lz4", "notes.txt.lz4", "压缩包", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    if (test::missingTool(row.tool)) continue;
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + row.command), 0);
    const auto listing = ExtensionArchive::list(dir.path() / row.file, kLimit);
    EXPECT_EQ(pathsOf(listing), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(listing.tree->properties().type, row.typeKey);
    EXPECT_TRUE(listing.complete);
  }
}

TEST(ExtensionArchive, FilesThatAreNotArchives) {
  TempDir dir;
  writeFile(dir.path() / "plain.txt", "just some text\nover two lines\n");
  writeFile(dir.path() / "empty.zip", "");
  EXPECT_EQ(errorOf(dir.path() / "plain.txt"), ArchiveError::notArchive());
  EXPECT_EQ(errorOf(dir.path() / "empty.zip"), ArchiveError::notArchive());
}

TEST(ExtensionArchive, FilesThatCannotBeReadKeepLibarchiveMessages) {
  TempDir dir;
  // A path that speaks of encryption is still a missing file, not a password prompt.
  const auto missing = dir.path() / "encrypted.zip";
  EXPECT_EQ(errorOf(missing),
            ArchiveError::failed("无法读取压缩包：Failed to open '" + missing.string() + "'"));
}

TEST(ExtensionArchive, SevenZipAndEncryption) {
  if (!hasTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "7zz is not installed";
  TempDir dir;
  const std::string in =
      "cd " + shellQuoted(dir.path()) + " && mkdir -p d && echo secret > d/s.txt && ";
  ASSERT_EQ(run(in + "7zz a -bso0 -bsp0 plain.7z d >/dev/null"), 0);
  ASSERT_EQ(
      run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -mhe=on -pSECRET names.7z d"),
      0);
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -pSECRET data.7z d"), 0);
  ASSERT_EQ(
      run("cd " + shellQuoted(dir.path()) + " && 7zz a -bso0 -bsp0 -tzip -pSECRET data.zip d"), 0);

  const auto plain = ExtensionArchive::list(dir.path() / "plain.7z", kLimit);
  EXPECT_EQ(plain.typeName, "7z");
  EXPECT_EQ(pathsOf(plain), (std::vector<std::string>{"d/", "d/s.txt"}));
  EXPECT_FALSE(plain.tree->hasEncryptedFiles());

  EXPECT_EQ(errorOf(dir.path() / "names.7z"), ArchiveError::passwordRequired());

  for (const char* file : {"data.7z", "data.zip"}) {
    SCOPED_TRACE(file);
    const auto listing = ExtensionArchive::list(dir.path() / file, kLimit);
    EXPECT_EQ(pathsOf(listing), (std::vector<std::string>{"d/", "d/s.txt"}));
    EXPECT_TRUE(listing.tree->hasEncryptedFiles());
    EXPECT_TRUE(listing.complete);
  }
}

TEST(ExtensionArchive, CpioAndIsoImages) {
  TempDir dir;
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && mkdir -p in/sub && echo x > in/sub/f.txt"),
            0);
  if (hasTool("bsdtar")) {
    ASSERT_EQ(
        run("cd " + shellQuoted(dir.path() / "in") + " && bsdtar --format newc -cf ../a.cpio sub"),
        0);
    const auto cpio = ExtensionArchive::list(dir.path() / "a.cpio", kLimit);
    EXPECT_EQ(cpio.typeName, "CPIO");
    EXPECT_EQ(pathsOf(cpio), (std::vector<std::string>{"sub/", "sub/f.txt"}));
  }
  if (hasTool("xorriso")) {
    ASSERT_EQ(run("cd " + shellQuoted(dir.path()) +
                  " && xorriso -as mkisofs -quiet -R -J -o a.iso in >/dev/null 2>&1"),
              0);
    // The image's root is listed by libarchive as "."; it is no entry.
    const auto iso = ExtensionArchive::list(dir.path() / "a.iso", kLimit);
    EXPECT_EQ(iso.typeName, "ISO");
    EXPECT_EQ(pathsOf(iso), (std::vector<std::string>{"sub/", "sub/f.txt"}));
    EXPECT_TRUE(iso.complete);
  }
}

// Only regular files are read, and none of these blocks: a pipe without a
// writer, one whose writer says nothing, a device that reads for ever.
TEST(ExtensionArchive, RefusesWhatIsNoRegularFile) {
  TempDir dir;
  using FileType = ArchiveError::FileType;
  ASSERT_EQ(mkfifo((dir.path() / "silent.fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir.path() / "quiet.fifo").c_str(), 0600), 0);
  const int reader = ::open((dir.path() / "quiet.fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = ::open((dir.path() / "quiet.fifo").c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir.path() / "s.sock").string();
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  writeFile(dir.path() / "archive.zip", zipBytes({{.name = "a", .data = "1"}}));
  std::filesystem::create_symlink(dir.path() / "quiet.fifo", dir.path() / "link.zip");

  struct Row {
    std::filesystem::path file;
    FileType type;
  };
  std::vector<Row> rows = {
      {dir.path(), FileType::directory},
      {dir.path() / "silent.fifo", FileType::fifo},
      {dir.path() / "quiet.fifo", FileType::fifo},
      {dir.path() / "link.zip", FileType::fifo},
      {socketPath, FileType::socket},
  };
  if (std::filesystem::exists("/dev/zero")) rows.push_back({"/dev/zero", FileType::device});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(errorOf(row.file), ArchiveError::notRegularFile(row.type));
  }
  EXPECT_EQ(ArchiveError::notRegularFile(FileType::fifo).message(),
            "无法读取压缩包：这不是普通文件，而是命名管道。");
  ::close(socketFd);
  ::close(writer);
  ::close(reader);
}

// Data that libarchive decodes only with a program (lzop, grzip, lrzip) is
// never handed to one: stand-ins on PATH record any start.
TEST(ExtensionArchive, StartsNoProgram) {
  TempDir dir;
  const auto bin = dir.path() / "bin";
  std::filesystem::create_directories(bin);
  for (const char* tool : {"lzop", "grzip", "lrzip", "gzip", "bzip2", "xz", "zstd", "lz4"}) {
    writeFile(bin / tool, "#!/bin/sh\necho started >> \"$(dirname \"$0\")/started\"\nexit 1\n");
    std::filesystem::permissions(bin / tool, std::filesystem::perms::owner_all);
  }
  writeFile(dir.path() / "a.tar.lzo",
            std::string("\x89LZO\x00\r\n\x1a\n\x10\x30\x20\xa0", 13) + std::string(200, 'x'));
  writeFile(dir.path() / "a.tar.grz",
            std::string("GRZipII\x00\x02\x04:)", 12) + std::string(200, 'x'));
  writeFile(dir.path() / "a.tar.lrz", std::string("LRZI\x00\x06", 6) + std::string(200, 'x'));
  const std::string oldPath = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);
  for (const char* file : {"a.tar.lzo", "a.tar.grz", "a.tar.lrz"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(errorOf(dir.path() / file), ArchiveError::notArchive());
  }
  setenv("PATH", oldPath.c_str(), 1);
  EXPECT_FALSE(std::filesystem::exists(bin / "started"));

  const auto names = readers_internal::builtInFilterNames();
  for (const char* builtIn : {"gzip", "bzip2", "xz", "lzma", "zstd", "compress"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), builtIn), names.end()) << builtIn;
  }
}

// Archives the machine cannot make, from libarchive's own test suite.
TEST(ExtensionArchive, LibarchiveFixtures) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) VEXEL_SKIP_UNLESS_CI() << "fixture folder is absent";
  struct Row {
    const char* file;
    const char* typeName;
    std::vector<std::string> paths;
    bool complete = true;
    bool encrypted = false;
  };
  const std::vector<Row> rows = {
      {"test_read_format_rar.rar",
       "RAR 4",
       {"test.txt", "testlink", "testdir/", "testdir/test.txt", "testemptydir/"}},
      {"test_read_format_rar4_encrypted.rar",
       "RAR 4",
       {"a.txt", "b.txt", "c.txt", "d.txt"},
       true,
       true},
      {"test_read_format_rar_invalid1.rar", "RAR 4", {"test"}, false},
      {"test_read_format_rar5_win32.rar",
       "RAR 5",
       {"testdir/", "test.bin", "test1.bin", "test2.bin", "test3.bin", "test4.bin", "test5.bin",
        "test6.bin"}},
      {"test_read_format_7zip_encryption.7z", "7z", {"bar.txt"}, true, true},
      {"test_read_format_zip_traditional_encryption_data.zip",
       "ZIP",
       {"bar.txt", "foo.txt"},
       true,
       true},
      {"test_read_format_zip_malformed1.zip", "ZIP", {"0000"}, false},
      {"test_read_format_cab_1.cab",
       "CAB",
       {"empty", "dir1/", "dir1/file1", "dir2/", "dir2/file2"}},
      {"test_read_format_lha_header2.lzh",
       "LZH",
       {"dir/", "dir2/", "dir2/symlink1", "dir2/symlink2", "file1", "file2"}},
      {"test_read_format_xar_archive1.xar", "XAR", {"f1", "hardlink"}},
      {"test_read_format_iso_joliet_rockridge.iso",
       "ISO",
       {"dir/", "hardlink", "long-joliet-file-name.textfile", "symlink"}},
      {"test_compat_cpio_1.cpio", "CPIO", {"foo1", "foo2", "bar1", "bar2"}},
      {"test_compat_lzma_2.tlz",
       "TAR + LZMA",
       {"f1", "f2", "f3", "d1/", "d1/f1", "d1/f2", "d1/f3"}},
      {"test_expand.gz", "GZip", {"test_expand"}},
      {"test_expand.zst", "Zstandard", {"test_expand"}},
      // The name is not UTF-8 (a Latin-1 byte after UTF-8 ones): it reads as
      // windows-1252 throughout, no byte lost.
      {"test_pax_filename_encoding.tar", "TAR", {"abcÌŒmnoüxyz"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const auto file = *fixtures / row.file;
    if (!std::filesystem::exists(file)) continue;
    const auto listing = ExtensionArchive::list(file, kLimit);
    EXPECT_EQ(listing.typeName, row.typeName);
    EXPECT_EQ(pathsOf(listing), row.paths);
    EXPECT_EQ(listing.complete, row.complete);
    EXPECT_EQ(listing.tree->hasEncryptedFiles(), row.encrypted);
    EXPECT_EQ(listing.fileSize, static_cast<std::int64_t>(std::filesystem::file_size(file)));
  }

  struct ErrorRow {
    const char* file;
    ArchiveError error;
  };
  const std::vector<ErrorRow> errorRows = {
      {"test_read_format_rar4_encrypted_filenames.rar", ArchiveError::passwordRequired()},
      {"test_read_format_rar5_encrypted_filenames.rar", ArchiveError::passwordRequired()},
      {"test_read_format_7zip_encryption_header.7z", ArchiveError::passwordRequired()},
      // libarchive sets no message for an encrypted central directory, but
      // marks the entry's metadata as encrypted.
      {"test_read_format_zip_encryption_header.zip", ArchiveError::passwordRequired()},
      {"test_read_format_7zip_malformed.7z",
       ArchiveError::failed("无法读取压缩包：Damaged 7-Zip archive")},
  };
  for (const ErrorRow& row : errorRows) {
    SCOPED_TRACE(row.file);
    const auto file = *fixtures / row.file;
    if (!std::filesystem::exists(file)) continue;
    EXPECT_EQ(errorOf(file), row.error);
  }

  // Every archive there, damaged or looping ones included, lists within the
  // preview's bounds or fails with an ArchiveError.
  for (const auto& entry : std::filesystem::directory_iterator(*fixtures)) {
    SCOPED_TRACE(entry.path());
    try {
      const auto listing = ExtensionArchive::list(entry.path(), 3.0);
      EXPECT_LE(listing.tree->nodeCount(), ExtensionArchive::kMaxNodes);
    } catch (const ArchiveError&) {
    }
  }
}

}  // namespace
}  // namespace vexel
