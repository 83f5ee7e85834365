#include "archiver/listing_parser.h"
#include "archiver/process_runner.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <limits>
#include <span>

namespace vexel {
namespace {

using std::chrono::sys_seconds;

// The instant the C library gives for a local wall-clock time.
sys_seconds localTime(int year, int month, int day, int hour, int minute, int second) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return sys_seconds(std::chrono::seconds(mktime(&parts)));
}

constexpr std::string_view kListing =
    "\n7-Zip (z) 26.02 (x64) : Copyright\n\nListing archive: a.7z\n\n"
    "--\nPath = a.7z\nType = 7z\nPhysical Size = 250\nHeaders Size = 172\nMethod = LZMA2:12\nSolid "
    "= +\nBlocks = 1\n"
    "\n----------\n"
    "Path = docs\nSize = 0\nPacked Size = 0\nModified = 2024-03-05 14:07:09.1234567\nAttributes = "
    "D drwxr-xr-x\n"
    "CRC = \nEncrypted = -\nMethod = \nBlock = \n\n"
    "Path = docs/a.txt\nSize = 100\nPacked Size = 60\nModified = 2024-03-05 14:07:09\nAttributes = "
    "A -rw-r--r--\n"
    "CRC = 363A3020\nEncrypted = +\nMethod = LZMA2:12\nBlock = 0\n\n"
    "Path = docs/b.txt\nSize = 300\nPacked Size = \nModified = 2024-03-05\nCRC = 8DC4565D\nMethod "
    "= LZMA2:12\n"
    "Block = 0\n\n"
    "Path = c.txt\nSize = 100\n";

TEST(ListingParser, ReadsArchiveAndEntryBlocks) {
  const auto [properties, entries] = ListingParser::parse(kListing);
  EXPECT_EQ(properties.type, "7z");
  EXPECT_EQ(properties.physicalSize, 250);
  EXPECT_TRUE(properties.solid);
  EXPECT_EQ(properties.method, "LZMA2:12");
  EXPECT_EQ(properties.volumes, 1);
  EXPECT_EQ(properties.raw.size(), 7u);
  EXPECT_EQ(properties.raw.front(), (std::pair<std::string, std::string>{"Path", "a.7z"}));

  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].path, "docs");
  EXPECT_TRUE(entries[0].isDir);
  EXPECT_EQ(entries[0].modified, localTime(2024, 3, 5, 14, 7, 9));
  EXPECT_EQ(entries[0].packed, 0);  // folders keep what was listed
  EXPECT_FALSE(entries[0].block);

  EXPECT_EQ(entries[1].path, "docs/a.txt");
  EXPECT_FALSE(entries[1].isDir);
  EXPECT_EQ(entries[1].crc, "363A3020");
  EXPECT_TRUE(entries[1].encrypted);
  EXPECT_EQ(entries[1].method, "LZMA2:12");
  EXPECT_EQ(entries[1].block, 0);
  EXPECT_EQ(entries[1].modified, localTime(2024, 3, 5, 14, 7, 9));
  EXPECT_FALSE(entries[2].modified);  // too short for a date
  EXPECT_FALSE(entries[2].encrypted);
  EXPECT_EQ(entries[3].crc, "");
  EXPECT_EQ(entries[3].method, "");

  // The worked example: block 0 shares 60 over 400 bytes; c.txt gets 250/500.
  EXPECT_EQ(entries[1].packed, 15);
  EXPECT_EQ(entries[2].packed, 45);
  EXPECT_EQ(entries[3].packed, 50);
}

TEST(ListingParser, CrLfLinesReadAsLf) {
  std::string crlf;
  for (char c : kListing) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const auto lf = ListingParser::parse(kListing);
  const auto other = ListingParser::parse(crlf);
  EXPECT_EQ(other.properties.raw, lf.properties.raw);
  ASSERT_EQ(other.entries.size(), lf.entries.size());
  for (size_t i = 0; i < lf.entries.size(); ++i) {
    EXPECT_EQ(other.entries[i].path, lf.entries[i].path);
    EXPECT_EQ(other.entries[i].packed, lf.entries[i].packed);
    EXPECT_EQ(other.entries[i].modified, lf.entries[i].modified);
  }
  // A lone CR ends no line: the line "Path = x\rSize = 5" is one path.
  const auto lone = ListingParser::parse("----------\nPath = x\rSize = 5\n");
  ASSERT_EQ(lone.entries.size(), 1u);
  EXPECT_EQ(lone.entries[0].path, "x\rSize = 5");
}

TEST(ListingParser, NeedsTheSeparatorLine) {
  for (const std::string_view text :
       {"Type = zip\nPath = a\n", "Type = zip\n---------- \nPath = a\n",
        "Type = zip\n-----------\nPath = a\n", ""}) {
    SCOPED_TRACE(text);
    const auto [properties, entries] = ListingParser::parse(text);
    EXPECT_EQ(properties.type, "");
    EXPECT_EQ(properties.volumes, 1);
    EXPECT_TRUE(properties.raw.empty());
    EXPECT_TRUE(entries.empty());
  }
}

TEST(ListingParser, ArchiveBlockStartsAfterTheLastDoubleHyphen) {
  const auto withMarker =
      ListingParser::parse("Type = early\n--\nType = zip\n--\nComment = c\n----------\n");
  EXPECT_EQ(withMarker.properties.type, "");
  EXPECT_EQ(withMarker.properties.comment, "c");
  EXPECT_EQ(withMarker.properties.raw.size(), 1u);
  const auto withoutMarker = ListingParser::parse("Type = zip\nnoise\n----------\n--\n");
  EXPECT_EQ(withoutMarker.properties.type, "zip");
}

TEST(ListingParser, KeyValueLines) {
  using KV = ListingParser::KeyValue;
  const struct {
    std::string_view line;
    std::optional<KV> pair;
  } rows[] = {
      {"Comment =", KV{"Comment", ""}},
      {"Comment = ", KV{"Comment", ""}},
      {"Comment=x", std::nullopt},
      {"Type = a = b", KV{"Type", "a = b"}},
      {" Key  =  v ", KV{" Key ", " v "}},
      {" = v", KV{"", "v"}},
      {" =", KV{"", ""}},
      {"=", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(ListingParser::keyValue(row.line), row.pair);
  }
}

ArchiveProperties archiveOf(std::string_view block) {
  return ListingParser::parse(std::string(block) + "----------\n").properties;
}

TEST(ListingParser, ArchiveKeys) {
  EXPECT_EQ(archiveOf("Comment =\n").comment, "");
  EXPECT_EQ(archiveOf("Type = a = b\n").type, "a = b");
  EXPECT_EQ(archiveOf("Type = \nType = zip\nType = rar\nMethod = a\nMethod = b\n").type, "zip");
  EXPECT_EQ(archiveOf("Method = a\nMethod = b\n").method, "b");
  EXPECT_EQ(archiveOf("Volumes = abc\n").volumes, 1);
  EXPECT_EQ(archiveOf("Volumes = 3\n").volumes, 3);
  EXPECT_EQ(archiveOf("Physical Size = 12 345\n").physicalSize, 0);
  EXPECT_EQ(archiveOf("Physical Size = 9\nPhysical Size = x\n").physicalSize,
            0);  // the last line counts
  EXPECT_TRUE(archiveOf("Multivolume = +\n").isMultiVolume);
  EXPECT_FALSE(archiveOf("Solid = -\n").solid);
  EXPECT_FALSE(archiveOf("Solid = yes\n").solid);
  EXPECT_TRUE(archiveOf("Encrypted = +\n").headersEncrypted);
  EXPECT_FALSE(archiveOf("type = zip\n").type.size());  // keys are case-sensitive

  const ArchiveProperties raw = archiveOf("A = 1\nnot a pair\nA = 1\nB =\n");
  EXPECT_EQ(raw.raw,
            (std::vector<std::pair<std::string, std::string>>{{"A", "1"}, {"A", "1"}, {"B", ""}}));
}

std::vector<RawEntry> entriesOf(std::string_view blocks) {
  return ListingParser::parse("----------\n" + std::string(blocks)).entries;
}

TEST(ListingParser, EntryKeys) {
  auto one = [](std::string_view block) {
    auto entries = entriesOf(block);
    EXPECT_EQ(entries.size(), 1u) << block;
    return entries.empty() ? RawEntry{} : entries.front();
  };
  EXPECT_EQ(one("Path = a\nSize = +42\n").size, 42);
  EXPECT_EQ(one("Path = a\nSize = -42\n").size, -42);
  EXPECT_EQ(one("Path = a\nSize = 4 2\n").size, 0);
  EXPECT_EQ(one("Path = a\nSize = +-4\n").size, 0);
  EXPECT_EQ(one("Path = a\nSize = 9223372036854775807\n").size,
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(one("Path = a\nSize = -9223372036854775808\n").size,
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(one("Path = a\nSize = 9223372036854775808\n").size, 0);
  EXPECT_EQ(one("Path = a\nSize = 1\nSize = 2\n").size, 1);  // the first line wins
  EXPECT_EQ(one("Path = a\nPath = b\n").path, "a");

  const RawEntry folder = one("Path = dir/\nFolder = +\n");
  EXPECT_EQ(folder.path, "dir");
  EXPECT_TRUE(folder.isDir);
  EXPECT_TRUE(one("Path = d\nAttributes = D_ drwxr-xr-x\n").isDir);
  EXPECT_FALSE(one("Path = d\nAttributes = A_ -rw\nFolder = -\n").isDir);
  EXPECT_FALSE(one("Path = d\nFolder = yes\n").isDir);

  EXPECT_EQ(one("Path = ./././a/b//\n").path, "a/b");
  EXPECT_EQ(one("Path = /./a\n").path, "./a");
  EXPECT_EQ(one("Path = //a\n").path, "a");
  EXPECT_EQ(one("Path =  a \n").path, " a ");

  // Unreadable lines do not end a block.
  EXPECT_EQ(one("Path = a\ngarbage\nSize = 7\n").size, 7);
  // A line of spaces does not end it either.
  EXPECT_EQ(one("Path = a\n   \nSize = 7\n").size, 7);
}

TEST(ListingParser, BlocksWithoutAUsablePathGiveNoEntry) {
  const auto entries =
      entriesOf("Size = 5\n\nPath = /\n\nPath = ./\n\nPath =\n\nPath = .//\n\n\n\nPath = kept\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "kept");
}

// 7-Zip prints a value with line feeds (an archive comment) as "Key = ",
// "{", its lines as stored, "}". None of those lines is read as anything.
TEST(ListingParser, MultiLineValuesAreOneValue) {
  const struct {
    const char* name;
    std::string comment;
    std::string expected;  // the comment as the parser reads it back
  } rows[] = {
      {"plain", "one\ntwo", "one\ntwo"},
      {"forged entries", "x\n----------\nPath = forged/evil.exe\nSize = 5\n\n--\nType = rar", ""},
      {"early brace", "a\n}\n----------\nPath = forged/evil.exe\n\n{\nb", ""},
      {"forged keys", "}\nEncrypted = +\nVolumes = 9\nPhysical Size = 1", ""},
      {"empty lines and CR LF", "\r\n\r\nz\r", "\n\nz"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string listing =
        "--\nPath = c.zip\nType = zip\nPhysical Size = 193\nComment = \n{\n" + row.comment +
        "\n}\n\n----------\nPath = real.txt\nSize = 1\n\nPath = second.txt\n";
    const auto [properties, entries] = ListingParser::parse(listing);
    EXPECT_EQ(properties.type, "zip");
    EXPECT_EQ(properties.physicalSize, 193);
    EXPECT_FALSE(properties.headersEncrypted);
    EXPECT_EQ(properties.volumes, 1);
    EXPECT_EQ(properties.comment, row.expected.empty() ? row.comment : row.expected);
    EXPECT_EQ(properties.raw.back(),
              (std::pair<std::string, std::string>{"Comment", properties.comment}));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, "real.txt");
    EXPECT_EQ(entries[1].path, "second.txt");
    std::vector<std::string> paths;
    ListingParser::forEachEntryBlock(listing, [&](std::span<const ListingParser::KeyValue> block) {
      paths.emplace_back(block.front().second);
    });
    EXPECT_EQ(paths, (std::vector<std::string>{"real.txt", "second.txt"}));
  }
  // Unclosed, nothing after the opening can be trusted.
  EXPECT_TRUE(ListingParser::parse("Comment = \n{\n----------\nPath = a\n").entries.empty());
  // "{" after a non-empty value, or elsewhere, is an ordinary line.
  EXPECT_EQ(
      ListingParser::parse("Comment = c\n{\nType = zip\n----------\nPath = a\n").properties.type,
      "zip");
}

// A split archive is listed as a "Split" block, then the archive's own.
TEST(ListingParser, ContainersGiveTheVolumes) {
  const struct {
    std::string_view head;
    std::int64_t volumes;
    bool multiVolume;
  } rows[] = {
      {"--\nType = Split\nVolumes = 3\n----\nPath = a.7z\n--\nType = 7z\n", 3, true},
      {"--\nType = Split\nVolumes = 3\n--\nType = zip\nMultivolume = +\nVolumes = 4\n", 4, true},
      {"--\nType = Split\nVolumes = 1\n--\nType = 7z\n", 1, false},
      {"--\nType = Split\nMultivolume = -\nVolumes = 2\n--\nType = 7z\n", 2, false},
      {"Volumes = 5\n--\nType = 7z\n", 1, false},  // before the first block: not a container
      {"--\nType = Split\nVolumes = 0\n--\nType = 7z\n", 1, false},
      {"--\nType = Split\nVolumes = -4\n--\nType = 7z\n", 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.head);
    const ArchiveProperties properties = archiveOf(row.head);
    EXPECT_EQ(properties.volumes, row.volumes);
    EXPECT_EQ(properties.isMultiVolume, row.multiVolume);
    EXPECT_EQ(properties.raw.front().first, "Type");  // the archive's own block only
  }
}

TEST(ListingParser, Dates) {
  const struct {
    std::string_view value;
    std::optional<sys_seconds> date;
  } rows[] = {
      {"2024-03-05 14:07:09.1234567", localTime(2024, 3, 5, 14, 7, 9)},
      {"2024-03-05 14:07:09", localTime(2024, 3, 5, 14, 7, 9)},
      {"2024-02-29 23:59:59 trailing", localTime(2024, 2, 29, 23, 59, 59)},
      {"1980-01-01 00:00:00", localTime(1980, 1, 1, 0, 0, 0)},
      {"2024-03-05", std::nullopt},
      {"2024-03-05 14:07:0", std::nullopt},
      {"2023-02-29 00:00:00", std::nullopt},
      {"2024-13-01 00:00:00", std::nullopt},
      {"2024-00-01 00:00:00", std::nullopt},
      {"2024-01-01 24:00:00", std::nullopt},
      {"2024-01-01 00:60:00", std::nullopt},
      {"2024-01-01 00:00:60", std::nullopt},
      {"2024/01/01 00:00:00", std::nullopt},
      {"2024-01-01T00:00:00", std::nullopt},
      {"+024-01-01 00:00:00", std::nullopt},
      {"0000-01-01 00:00:00", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    const auto entries = entriesOf("Path = a\nModified = " + std::string(row.value) + "\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].modified, row.date);
  }
  EXPECT_EQ(ListingParser::readDate("1970-01-01 00:00:00"), localTime(1970, 1, 1, 0, 0, 0));
  EXPECT_FALSE(ListingParser::readDate("1970-01-01 00:00:00.5"));
}

RawEntry sized(std::int64_t size, std::optional<std::int64_t> packed,
               std::optional<std::int64_t> block, bool isDir = false) {
  return RawEntry{.path = "x",
                  .isDir = isDir,
                  .size = size,
                  .packed = packed,
                  .crc = "",
                  .encrypted = false,
                  .method = "",
                  .block = block};
}

std::vector<std::optional<std::int64_t>> packedOf(const std::vector<RawEntry>& entries) {
  std::vector<std::optional<std::int64_t>> out;
  for (const RawEntry& entry : entries) out.push_back(entry.packed);
  return out;
}

TEST(ListingParser, FillPackedSizes) {
  using P = std::vector<std::optional<std::int64_t>>;
  const struct {
    const char* name;
    std::vector<RawEntry> entries;
    std::int64_t physicalSize;
    P packed;
  } rows[] = {
      {"worked example",
       {sized(100, 60, 0), sized(300, {}, 0), sized(100, {}, {})},
       250,
       P{15, 45, 50}},
      {"largest listed value stands for the block", {sized(10, 5, 1), sized(30, 8, 1)}, 0, P{2, 6}},
      {"block without packed sizes takes the ratio",
       {sized(100, {}, 3), sized(100, {}, 3), sized(200, 50, {})},
       100,
       P{25, 25, 50}},
      {"no physical size: packed equals size", {sized(70, {}, {}), sized(30, {}, 4)}, 0, P{70, 30}},
      {"ratio capped at 1", {sized(10, {}, {})}, 1000, P{10}},
      {"folders are left alone",
       {sized(0, {}, {}, true), sized(50, 9, 2, true), sized(40, {}, {})},
       20,
       P{std::nullopt, 9, 20}},
      {"empty block keeps its own value", {sized(0, 7, 5), sized(0, {}, 5)}, 0, P{7, 0}},
      {"truncated toward zero", {sized(1, 2, 0), sized(2, {}, 0)}, 0, P{0, 1}},
      {"extreme sizes are clamped",
       {sized(std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(),
              0),
        sized(std::numeric_limits<std::int64_t>::max(), {}, 0)},
       0,
       P{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()}},
      {"negative sizes", {sized(-10, {}, {}), sized(-5, 3, 1)}, 100, P{-10, 3}},
      {"sparse block numbers",
       {sized(10, 4, -3), sized(10, {}, -3), sized(10, 2, 1LL << 40)},
       0,
       P{2, 2, 2}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<RawEntry> entries = row.entries;
    ListingParser::fillPackedSizes(entries, row.physicalSize);
    EXPECT_EQ(packedOf(entries), row.packed);
  }
}

TEST(ListingParser, EmptyPackedSizeIsFilledFromTheRatio) {
  const auto [properties, entries] = ListingParser::parse(
      "Physical Size = 50\n----------\nPath = a\nSize = 100\nPacked Size = \n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].packed, 50);
}

// ---- Time zones --------------------------------------------------------

std::string wallClock(const tm& parts) {
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

// Every wall-clock time the zone shows at instant t reads back as an
// instant that shows the same time, and as the later one where the clocks
// were set back.
void expectRoundTrip(time_t t) {
  tm parts{};
  ASSERT_NE(localtime_r(&t, &parts), nullptr);
  const std::string text = wallClock(parts);
  const auto read = ListingParser::readDate(text);
  ASSERT_TRUE(read) << text;
  const time_t back = static_cast<time_t>(read->time_since_epoch().count());
  tm again{};
  ASSERT_NE(localtime_r(&back, &again), nullptr);
  ASSERT_EQ(wallClock(again), text) << "at " << t;
  ASSERT_GE(back, t) << text;
}

// The body of DatesFollowTheZone, run in a child process whose TZ is set.
void checkZone(std::string_view zone) {
  for (time_t t = 0; t < 2145916800; t += 7 * 3600 + 13 * 60 + 7) expectRoundTrip(t);
  // Around every change of offset, to the second.
  for (time_t t = -2208988800; t < 4102444800; t += 86400) {
    tm a{}, b{};
    const time_t next = t + 86400;
    localtime_r(&t, &a);
    localtime_r(&next, &b);
    if (a.tm_gmtoff == b.tm_gmtoff) continue;
    time_t lo = t, hi = next;
    while (hi - lo > 1) {
      const time_t mid = lo + (hi - lo) / 2;
      tm m{};
      localtime_r(&mid, &m);
      (m.tm_gmtoff == a.tm_gmtoff ? lo : hi) = mid;
    }
    for (time_t delta : {-7200, -3600, -1800, -1, 0, 1, 1799, 3599, 7200})
      expectRoundTrip(hi + delta);
  }
  if (zone == "America/New_York") {
    // Skipped by the jump to summer time: read with the offset before it.
    EXPECT_EQ(ListingParser::readDate("2024-03-10 02:30:00")->time_since_epoch().count(),
              1710055800);
    // Shown twice: the later instant.
    EXPECT_EQ(ListingParser::readDate("2024-11-03 01:30:00")->time_since_epoch().count(),
              1730615400);
  }
  // The zone was captured on first use; changing it afterwards has no effect.
  const auto before = ListingParser::readDate("2024-07-01 12:00:00");
  setenv("TZ", zone == "Asia/Tokyo" ? "Europe/Berlin" : "Asia/Tokyo", 1);
  tzset();
  EXPECT_EQ(ListingParser::readDate("2024-07-01 12:00:00"), before);
}

// The zone is captured once per process, so each zone gets a child process
// running this same test.
TEST(ListingParser, DatesFollowTheZone) {
  if (const char* zone = getenv("VEXEL_ZONE_CHECK")) return checkZone(zone);
  const char* original = getenv("TZ");
  const std::string savedTz = original != nullptr ? original : "";
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  for (const char* zone :
       {"America/New_York", "Europe/Berlin", "Europe/Dublin", "Australia/Lord_Howe", "Asia/Kolkata",
        "America/Sao_Paulo", "Africa/Casablanca", "Pacific/Chatham", "Asia/Tokyo", "UTC"}) {
    SCOPED_TRACE(zone);
    if (!std::filesystem::exists(std::filesystem::path("/usr/share/zoneinfo") / zone)) continue;
    setenv("VEXEL_ZONE_CHECK", zone, 1);
    setenv("TZ", zone, 1);
    const RunResult result =
        ProcessRunner::run(self, {"--gtest_filter=ListingParser.DatesFollowTheZone"});
    unsetenv("VEXEL_ZONE_CHECK");
    if (original != nullptr) {
      setenv("TZ", savedTz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(result.status, 0) << result.stdout << result.stderr;
  }
}

}  // namespace
}  // namespace vexel
