#include "readers/internal/libarchive_codes.h"

#include <gtest/gtest.h>

#include <string>

namespace vexel::readers_internal {
namespace {

// libarchive's documented numbers, written out so a renumbering shows up here.
TEST(LibarchiveCodes, TypeKeysOfFormats) {
  struct Row {
    int format;
    int filter;
    const char* key;
  };
  const Row rows[] = {
      {0x10000, 0, "cpio"}, {0x10004, 0, "cpio"},  {0x30000, 1, "tar"}, {0x30004, 0, "tar"},
      {0x40001, 0, "iso"},  {0x50000, 0, "zip"},   {0xA0000, 0, "xar"}, {0xB0000, 0, "lzh"},
      {0xC0000, 0, "cab"},  {0xD0000, 0, "rar"},   {0xE0000, 0, "7z"},  {0x100000, 0, "rar5"},
      {0x90000, 1, "gzip"}, {0x90000, 2, "bzip2"}, {0x90000, 6, "xz"},  {0x90000, 14, "zstd"},
      {0x90000, 5, "lzma"}, {0x90000, 13, ""},     {0x90000, 0, ""},    {0x20000, 0, ""},
      {0x60000, 0, ""},     {0x70000, 0, "ar"},    {0x80000, 0, ""},    {0xF0000, 0, ""},
      {0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.format) + "/" + std::to_string(row.filter));
    EXPECT_EQ(typeKeyOfFormat(row.format, row.filter), row.key);
  }
}

TEST(LibarchiveCodes, FilterKeys) {
  struct Row {
    int filter;
    std::optional<std::string_view> key;
  };
  const Row rows[] = {
      {0, std::nullopt}, {1, "gzip"},        {2, "bzip2"}, {3, std::nullopt},  {5, "lzma"},
      {6, "xz"},         {13, std::nullopt}, {14, "zstd"}, {-1, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.filter);
    EXPECT_EQ(filterKeyOfFilter(row.filter), row.key);
  }
}

TEST(LibarchiveCodes, HeaderReadResults) {
  EXPECT_EQ(headerReadOf(0), HeaderRead::entry);      // ARCHIVE_OK
  EXPECT_EQ(headerReadOf(-20), HeaderRead::entry);    // ARCHIVE_WARN
  EXPECT_EQ(headerReadOf(1), HeaderRead::end);        // ARCHIVE_EOF
  EXPECT_EQ(headerReadOf(-10), HeaderRead::retry);    // ARCHIVE_RETRY
  EXPECT_EQ(headerReadOf(-25), HeaderRead::damaged);  // ARCHIVE_FAILED
  EXPECT_EQ(headerReadOf(-30), HeaderRead::failure);  // ARCHIVE_FATAL
  EXPECT_EQ(headerReadOf(7), HeaderRead::failure);
}

TEST(LibarchiveCodes, ErrorsOfMessagesInRuleOrder) {
  struct Row {
    const char* message;
    ArchiveError error;
  };
  const Row rows[] = {
      {nullptr, ArchiveError::failed("无法读取压缩包。")},
      {"", ArchiveError::failed("无法读取压缩包。")},
      {"RAR encryption support unavailable.", ArchiveError::passwordRequired()},
      {"The archive header is ENCRYPTED", ArchiveError::passwordRequired()},
      {"Incorrect Passphrase", ArchiveError::passwordRequired()},
      // Password rules come before the not-an-archive rule.
      {"Unrecognized archive format (encrypted?)", ArchiveError::passwordRequired()},
      {"Unrecognized archive format", ArchiveError::notArchive()},
      {"unrecognized archive format",
       ArchiveError::failed("无法读取压缩包：unrecognized archive format")},
      {"Damaged 7-Zip archive", ArchiveError::failed("无法读取压缩包：Damaged 7-Zip archive")},
      {"bad \xff byte", ArchiveError::failed("无法读取压缩包：bad \xef\xbf\xbd byte")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message != nullptr ? row.message : "(null)");
    EXPECT_EQ(errorOfMessage(row.message), row.error);
  }
}

}  // namespace
}  // namespace vexel::readers_internal
