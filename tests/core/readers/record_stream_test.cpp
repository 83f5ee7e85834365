#include "readers/internal/record_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel::readers_internal {
namespace {

// Every kind of record comes back as it was written, however the bytes are
// cut on their way (a socket hands over what it has).
TEST(RecordStream, RecordsSurviveAnyCut) {
  using std::chrono::sys_seconds;
  RecordWriter out;
  out.mark(RecordKind::ready);
  out.request(ListRequest{
      .path = "/tmp/档案 a.zip",
      .deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(1'234'567'890)),
      .maxEntries = 1'500'000,
      .maxNameBytes = 128 << 20,
      .memoryBudget = 512 << 20,
      .stopGrace = std::chrono::milliseconds(100),
      .identifyGrace = std::chrono::milliseconds(50),
      .sourceMaker = 0x5566778899AA});
  out.facts(0x50000, 6, true);
  const RawEntry full{.path = "文件夹/名字\xff.txt",
                      .isDir = false,
                      .size = -1,
                      .packed = 7,
                      .modified = sys_seconds(std::chrono::seconds(-5)),
                      .crc = "89ABCDEF",
                      .encrypted = true,
                      .method = "LZMA2:24",
                      .block = 0};
  const RawEntry bare{.path = "d", .isDir = true};
  out.entry(full);
  out.mark(RecordKind::hold);
  out.entry(bare);
  out.rename(HeldRename{.index = 3, .path = "报告.txt"});
  out.mark(RecordKind::release);
  out.end(ListEnd{.end = 1,
                  .error = ArchiveError::cannotRead("Truncated input file"),
                  .isOverMemoryBudget = true,
                  .isPastDeadline = false});
  out.end(ListEnd{.end = 2, .hasSkipped = true, .isPastDeadline = true});
  const std::string bytes = out.bytes();

  for (const std::size_t step : {bytes.size(), std::size_t{1}, std::size_t{7}}) {
    SCOPED_TRACE(step);
    RecordReader in;
    std::vector<Record> records;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      in.append(std::string_view(bytes).substr(at, step));
      while (auto record = in.next()) records.push_back(std::move(*record));
    }
    EXPECT_FALSE(in.isBroken());
    EXPECT_FALSE(in.hasPartialRecord());
    ASSERT_EQ(records.size(), 10U);
    EXPECT_EQ(records[0].kind, RecordKind::ready);
    const ListRequest& request = records[1].request;
    EXPECT_EQ(request.path, "/tmp/档案 a.zip");
    EXPECT_EQ(request.deadline.time_since_epoch(), std::chrono::nanoseconds(1'234'567'890));
    EXPECT_EQ(request.maxEntries, 1'500'000U);
    EXPECT_EQ(request.memoryBudget, 512U << 20);
    EXPECT_EQ(request.stopGrace, std::chrono::milliseconds(100));
    EXPECT_EQ(request.identifyGrace, std::chrono::milliseconds(50));
    EXPECT_EQ(request.sourceMaker, 0x5566778899AAU);
    EXPECT_EQ(records[2].formatCode, 0x50000);
    EXPECT_EQ(records[2].filterCode, 6);
    EXPECT_TRUE(records[2].isDebianPackage);
    for (const auto& [record, sent] :
         {std::pair{&records[3], &full}, std::pair{&records[5], &bare}}) {
      const RawEntry& got = record->entry;
      EXPECT_EQ(record->kind, RecordKind::entry);
      EXPECT_EQ(got.path, sent->path);
      EXPECT_EQ(got.isDir, sent->isDir);
      EXPECT_EQ(got.size, sent->size);
      EXPECT_EQ(got.packed, sent->packed);
      EXPECT_EQ(got.modified, sent->modified);
      EXPECT_EQ(got.crc, sent->crc);
      EXPECT_EQ(got.encrypted, sent->encrypted);
      EXPECT_EQ(got.method, sent->method);
      EXPECT_EQ(got.block, sent->block);
    }
    EXPECT_EQ(records[4].kind, RecordKind::hold);
    EXPECT_EQ(records[6].rename.index, 3U);
    EXPECT_EQ(records[6].rename.path, "报告.txt");
    EXPECT_EQ(records[7].kind, RecordKind::release);
    EXPECT_EQ(records[8].end.end, 1);
    EXPECT_EQ(records[8].end.error, ArchiveError::cannotRead("Truncated input file"));
    EXPECT_TRUE(records[8].end.isOverMemoryBudget);
    EXPECT_FALSE(records[8].end.isPastDeadline);
    EXPECT_FALSE(records[8].end.hasSkipped);
    EXPECT_EQ(records[9].end.end, 2);
    EXPECT_FALSE(records[9].end.error);
    EXPECT_TRUE(records[9].end.isPastDeadline);
    EXPECT_TRUE(records[9].end.hasSkipped);
  }
}

// A record that cannot be what it claims breaks the stream for good.
TEST(RecordStream, BrokenRecordsEndTheStream) {
  struct Row {
    const char* name;
    std::string bytes;
  };
  RecordWriter entry;
  entry.entry(RawEntry{.path = "abc"});
  std::string longer = entry.bytes();
  longer[0] = static_cast<char>(longer[0] + 1);  // a body one byte longer than it holds
  longer.push_back('\0');
  std::string kind = entry.bytes();
  kind[4] = 99;
  const Row rows[] = {
      {"unknown kind", kind},
      {"trailing bytes", longer},
      {"longer than any record", std::string("\xff\xff\xff\xff\x03", 5)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordReader in;
    in.append(row.bytes);
    EXPECT_FALSE(in.next());
    EXPECT_TRUE(in.isBroken());
  }
}

}  // namespace
}  // namespace vexel::readers_internal
