#include "readers/internal/zip_directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/internal/input_file.h"
#include "support/archive_maker.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

using test::ZipEntry;

// The same five entries in every layout: a plain name, GBK bytes with a
// Unicode Path field, a flagged name with an NTFS time, a stale Unicode
// Path (its CRC is not the name's) with an extended timestamp, and a last
// entry that may get a ZIP64 field.
std::vector<ZipEntry> entries(const std::string& lastExtra = {}) {
  return {{.name = "readme.txt", .data = "r"},
          {.name = "\xb1\xa8\xb8\xe6.txt", .data = "g", .unicodePath = "报告.txt"},
          {.name = "café.txt", .data = "c", .utf8Flag = true, .extra = test::ntfsTime(1509423117)},
          {.name = "old.txt",
           .data = "o",
           .unicodePath = "new.txt",
           .unicodePathCrc = 1,
           .extra = test::extendedTime(1700000000)},
          {.name = "last.bin", .data = "zzzz", .extra = lastExtra}};
}

const std::vector<std::string> kRecords = {"readme.txt", "\xb1\xa8\xb8\xe6.txt ~报告.txt",
                                           "café.txt utf8 @1509423117", "old.txt @1700000000",
                                           "last.bin"};

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
}

// withFullEndFields: the end record's directory size and offset set to all
// ones, as a writer leaves them when only the ZIP64 end record holds them.
std::string withFullEndFields(std::string bytes) {
  const std::size_t end = bytes.rfind("PK\x05\x06");
  put32(bytes, end + 12, 0xFFFFFFFF);
  put32(bytes, end + 16, 0xFFFFFFFF);
  return bytes;
}

// withGapBeforeLocator: eight bytes of extensible data between the ZIP64 end
// record and its locator, so that only the locator's offset finds it.
std::string withGapBeforeLocator(std::string bytes) {
  return bytes.insert(bytes.rfind("PK\x06\x07"), 8, '\0');
}

// withZip64Offset: the last entry's local header offset moved into a ZIP64
// extra field (id 1), the central record's own field left all ones.
std::string withZip64Offset() {
  const std::string plain = test::zipBytes(entries());
  const auto offset = static_cast<std::uint64_t>(plain.rfind("PK\x03\x04"));
  std::string field("\x01\x00\x08\x00", 4);
  for (int shift = 0; shift < 64; shift += 8) field += static_cast<char>((offset >> shift) & 0xFF);
  std::string bytes = test::zipBytes(entries(field));
  put32(bytes, bytes.rfind("PK\x01\x02") + 42, 0xFFFFFFFF);
  return bytes;
}

// withBrokenRecord: the signature of the third central record spoilt.
std::string withBrokenRecord() {
  std::string bytes = test::zipBytes(entries());
  std::size_t at = bytes.find("PK\x01\x02");
  for (int k = 0; k < 2; ++k) at = bytes.find("PK\x01\x02", at + 4);
  bytes[at + 2] = 'X';
  return bytes;
}

// describeRecords: what the directory gives for each ordinal in turn (the
// whole directory sorted first, or read as the listing goes), checked
// against the file: a record's local header offset must point at a local
// header that stores the record's name.
std::vector<std::string> describeRecords(const std::filesystem::path& file,
                                         const std::string& bytes, bool isSortedFirst,
                                         bool& isSortedWhole) {
  const auto input = InputFile::open(file);
  ZipDirectory directory(*input);
  if (isSortedFirst) directory.sortAll();
  std::vector<std::string> described;
  for (std::size_t ordinal = 0; ordinal < 10; ++ordinal) {
    const ZipRecord* record = directory.recordAt(ordinal);
    if (record == nullptr) break;
    std::string text = record->name;
    if (record->isUtf8) text += " utf8";
    if (record->unicodePath) text += " ~" + *record->unicodePath;
    if (record->exactModified) text += " @" + std::to_string(*record->exactModified);
    const std::size_t at = record->localHeaderOffset;
    if (at + 30 > bytes.size() || bytes.compare(at, 4, "PK\x03\x04") != 0 ||
        bytes.compare(at + 30, record->name.size(), record->name) != 0) {
      text += " (offset " + std::to_string(at) + " is not its local header)";
    }
    described.push_back(text);
  }
  isSortedWhole = directory.isSortedWhole();
  return described;
}

// One row per layout of the end of a ZIP and its directory: how many of
// the five records are read, and whether the directory had to be read
// whole because its records are out of offset order.
TEST(ZipDirectory, ReadsEveryLayoutInLocalHeaderOrder) {
  struct Row {
    const char* label;
    std::string bytes;
    std::size_t records;
    bool isOutOfOrder = false;
  };
  const std::string prefix(1000, 'M');
  const std::vector<Row> rows = {
      {"plain", test::zipBytes(entries()), 5},
      {"directory out of offset order", test::zipBytes(entries(), {.isDirectoryReversed = true}), 5,
       true},
      {"ZIP64 end record, short fields", test::zipBytes(entries(), {.hasZip64Locator = true}), 5},
      {"ZIP64 end record, full fields",
       withFullEndFields(test::zipBytes(entries(), {.hasZip64Locator = true})), 5},
      {"ZIP64 end record apart from its locator",
       withFullEndFields(
           withGapBeforeLocator(test::zipBytes(entries(), {.hasZip64Locator = true}))),
       5},
      {"self-extractor", test::zipBytes(entries(), {.prefix = prefix}), 5},
      // The locator's offset is off by the program before the archive.
      {"self-extractor with a ZIP64 end record",
       withFullEndFields(test::zipBytes(entries(), {.hasZip64Locator = true, .prefix = prefix})),
       5},
      {"self-extractor, directory out of offset order",
       test::zipBytes(entries(), {.isDirectoryReversed = true, .prefix = prefix}), 5, true},
      {"local header offset in a ZIP64 field", withZip64Offset(), 5},
      {"full fields without a ZIP64 end record", withFullEndFields(test::zipBytes(entries())), 0},
      {"a damaged record ends the directory", withBrokenRecord(), 2},
  };
  test::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    test::writeFile(dir.path() / "a.zip", row.bytes);
    const std::vector<std::string> expected(
        kRecords.begin(), kRecords.begin() + static_cast<std::ptrdiff_t>(row.records));
    // Read as the listing goes, a directory out of order shows only at its
    // second record: the first is the directory's first (the last entry),
    // which its caller finds not to match the header and sorts the whole.
    std::vector<std::string> asRead = expected;
    if (row.isOutOfOrder) asRead.front() = kRecords.back();
    bool isSortedWhole = false;
    EXPECT_EQ(describeRecords(dir.path() / "a.zip", row.bytes, false, isSortedWhole), asRead);
    EXPECT_EQ(isSortedWhole, row.isOutOfOrder);
    EXPECT_EQ(describeRecords(dir.path() / "a.zip", row.bytes, true, isSortedWhole), expected);
  }
}

}  // namespace
}  // namespace vexel::readers_internal
