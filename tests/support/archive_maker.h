// archive_maker.h: byte-exact archives for tests, and the shared fixture folder.
//
// `zipBytes` writes a stored ZIP whose entry names are exactly the bytes
// given, with or without the UTF-8 flag and Info-ZIP's Unicode Path field:
// the tools here always write non-ASCII names as UTF-8, so legacy-encoded
// names need this writer.
//
//   writeFile(dir.path() / "gbk.zip", zipBytes({{.name = "\xb1\xa8\xb8\xe6.txt", .data = "x"}}));
//   const auto fixtures = fixturesDir();  // empty when the folder is absent
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::test {

// ZipEntry: one entry of `zipBytes`; a folder's name ends in "/".
struct ZipEntry {
  std::string name;       ///< the name bytes exactly as stored
  std::string data;       ///< stored uncompressed
  bool utf8Flag = false;  ///< general-purpose bit 11: the name is UTF-8
  /// The Unicode Path extra field (0x7075): the name as UTF-8, in both headers.
  std::optional<std::string> unicodePath = std::nullopt;
  /// The field's CRC of the stored name; the right one when absent.
  std::optional<std::uint32_t> unicodePathCrc = std::nullopt;
  /// More extra fields, as their bytes, in both headers (`ntfsTime`, `extendedTime`).
  std::string extra = {};
  /// A Unix mode (0120777 for a link): the entry is then made by Unix with it.
  std::uint32_t unixMode = 0;
  /// The compression method recorded (the data stays stored).
  std::uint16_t method = 0;
};

// ZipLayout: how `zipBytes` lays the archive out.
struct ZipLayout {
  bool isDirectoryReversed = false;  ///< central records in the reverse order of the entries
  bool hasZip64Locator = false;      ///< a ZIP64 end record and locator, the fields left short
  std::string prefix = {};           ///< bytes before the archive (a self-extractor's program)
};

// ntfsTime: an NTFS extra field (0x000a) giving `unixSeconds` as all three times.
inline std::string ntfsTime(std::int64_t unixSeconds) {
  const auto ticks = static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  std::string field("\x0a\x00\x20\x00\x00\x00\x00\x00\x01\x00\x18\x00", 12);
  for (int copy = 0; copy < 3; ++copy) {
    for (int shift = 0; shift < 64; shift += 8) field += static_cast<char>((ticks >> shift) & 0xFF);
  }
  return field;
}

// extendedTime: an extended timestamp field (0x5455) with the modification time.
inline std::string extendedTime(std::uint32_t unixSeconds) {
  std::string field("\x55\x54\x05\x00\x01", 5);
  for (int shift = 0; shift < 32; shift += 8)
    field += static_cast<char>((unixSeconds >> shift) & 0xFF);
  return field;
}

namespace archive_maker_internal {

inline std::uint32_t crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFU;
  for (char ch : bytes) crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFFU] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFU;
}

inline void put16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value & 0xFFU);
  out += static_cast<char>((value >> 8) & 0xFFU);
}

inline void put32(std::string& out, std::uint32_t value) {
  put16(out, value & 0xFFFFU);
  put16(out, value >> 16);
}

}  // namespace archive_maker_internal

// zipBytes: a complete stored ZIP of `entries`, in order, dated 2024-01-02 03:04:06
// (DOS time, local to whoever reads it).
inline std::string zipBytes(const std::vector<ZipEntry>& entries, const ZipLayout& layout = {}) {
  using archive_maker_internal::put16;
  using archive_maker_internal::put32;
  constexpr std::uint32_t dosTime = (3U << 11) | (4U << 5) | (6U / 2);
  constexpr std::uint32_t dosDate = ((2024U - 1980U) << 9) | (1U << 5) | 2U;
  std::string out;
  std::vector<std::string> records;
  for (const ZipEntry& entry : entries) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = archive_maker_internal::crc32(entry.data);
    const std::uint32_t flags = entry.utf8Flag ? 0x0800U : 0U;
    const auto size = static_cast<std::uint32_t>(entry.data.size());
    const auto nameLength = static_cast<std::uint32_t>(entry.name.size());
    const bool isDir = !entry.name.empty() && entry.name.back() == '/';
    std::string extra;
    if (entry.unicodePath) {
      put16(extra, 0x7075);
      put16(extra, static_cast<std::uint32_t>(5 + entry.unicodePath->size()));
      extra += '\x01';  // version
      put32(extra, entry.unicodePathCrc.value_or(archive_maker_internal::crc32(entry.name)));
      extra += *entry.unicodePath;
    }
    extra += entry.extra;
    const auto extraLength = static_cast<std::uint32_t>(extra.size());

    put32(out, 0x04034B50U);
    put16(out, 20);
    put16(out, flags);
    put16(out, entry.method);
    put16(out, dosTime);
    put16(out, dosDate);
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, nameLength);
    put16(out, extraLength);
    out += entry.name;
    out += extra;
    out += entry.data;

    std::string& central = records.emplace_back();
    put32(central, 0x02014B50U);
    put16(central, entry.unixMode != 0 ? (3U << 8) | 20U : 20U);  // made by Unix, or DOS
    put16(central, 20);
    put16(central, flags);
    put16(central, entry.method);
    put16(central, dosTime);
    put16(central, dosDate);
    put32(central, crc);
    put32(central, size);
    put32(central, size);
    put16(central, nameLength);
    put16(central, extraLength);
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put32(central, entry.unixMode != 0 ? entry.unixMode << 16 : (isDir ? 0x10U : 0U));
    put32(central, offset);
    central += entry.name;
    central += extra;
  }
  if (layout.isDirectoryReversed) std::reverse(records.begin(), records.end());
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  const auto count = static_cast<std::uint32_t>(entries.size());
  std::string central;
  for (const std::string& record : records) central += record;
  out += central;
  if (layout.hasZip64Locator) {
    const auto zip64End = static_cast<std::uint32_t>(out.size());
    put32(out, 0x06064B50U);
    put32(out, 44);  // record size after this field, low and high words
    put32(out, 0);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    for (int twice = 0; twice < 2; ++twice) {
      put32(out, count);
      put32(out, 0);
    }
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, 0);
    put32(out, centralOffset);
    put32(out, 0);
    put32(out, 0x07064B50U);
    put32(out, 0);
    put32(out, zip64End);
    put32(out, 0);
    put32(out, 1);
  }
  put32(out, 0x06054B50U);
  put16(out, 0);
  put16(out, 0);
  put16(out, count);
  put16(out, count);
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, centralOffset);
  put16(out, 0);
  return layout.prefix + out;
}

// TarEntry: one member of `tarBytes`: its stored name (at most 100 bytes),
// its type flag ('0' a file, '5' a folder) and its data.
struct TarEntry {
  std::string name;
  char type = '0';
  std::string data;
};

// tarBytes: a ustar archive of `entries` whose names are exactly the bytes
// given, in order, dated 2023-11-14 22:13:20 UTC.
inline std::string tarBytes(const std::vector<TarEntry>& entries) {
  std::string out;
  const auto octal = [](std::string& header, std::size_t at, std::size_t width,
                        std::uint64_t value) {
    for (std::size_t i = width - 1; i-- > 0; value >>= 3)
      header[at + i] = static_cast<char>('0' + (value & 7));
  };
  for (const TarEntry& entry : entries) {
    std::string header(512, '\0');
    header.replace(0, std::min<std::size_t>(entry.name.size(), 100), entry.name.substr(0, 100));
    octal(header, 100, 8, entry.type == '5' ? 0755 : 0644);
    octal(header, 108, 8, 0);
    octal(header, 116, 8, 0);
    octal(header, 124, 12, entry.data.size());
    octal(header, 136, 12, 1700000000);
    header[156] = entry.type;
    header.replace(257, 8,
                   std::string("ustar\0"
                               "00",
                               8));
    header.replace(148, 8, "        ");
    std::uint32_t sum = 0;
    for (const char c : header) sum += static_cast<unsigned char>(c);
    octal(header, 148, 7, sum);
    out += header;
    out += entry.data;
    out.append((512 - entry.data.size() % 512) % 512, '\0');
  }
  out.append(1024, '\0');
  return out;
}

// fixturesDir: the folder of libarchive's test archives ($VEXEL_FIXTURES, or
// the folder the build was configured with), or nothing when it is absent.
inline std::optional<std::filesystem::path> fixturesDir() {
  std::filesystem::path dir;
  if (const char* fromEnv = getenv("VEXEL_FIXTURES"); fromEnv != nullptr && *fromEnv != '\0') {
    dir = fromEnv;
  } else {
#ifdef VEXEL_FIXTURES_DIR
    dir = VEXEL_FIXTURES_DIR;
#endif
  }
  std::error_code error;
  if (dir.empty() || !std::filesystem::is_directory(dir, error)) return std::nullopt;
  return dir;
}

// sevenZipOfEmptyFiles: a 7z whose plain header declares `count` unnamed
// empty files (the kEmptyStream property set for all): libarchive makes a
// table of them all before it hands over the first.
inline std::string sevenZipOfEmptyFiles(std::uint32_t count) {
  using archive_maker_internal::crc32;
  using archive_maker_internal::put32;
  // A 7z number below 2^21: one to three bytes, the first saying how many follow.
  const auto number = [](std::uint32_t value) {
    std::string out;
    if (value < 0x80) {
      out += static_cast<char>(value);
    } else if (value < 0x4000) {
      out += static_cast<char>(0x80 | (value >> 8));
      out += static_cast<char>(value & 0xFF);
    } else {
      out += static_cast<char>(0xC0 | (value >> 16));
      out += static_cast<char>(value & 0xFF);
      out += static_cast<char>((value >> 8) & 0xFF);
    }
    return out;
  };
  const std::uint32_t bitBytes = (count + 7) / 8;
  const std::string header = std::string("\x01\x05", 2) + number(count) + "\x0e" +
                             number(bitBytes) + std::string(bitBytes, '\xff') +
                             std::string("\x00\x00", 2);
  std::string tail(8, '\0');  // the header follows at once
  put32(tail, static_cast<std::uint32_t>(header.size()));
  put32(tail, 0);
  put32(tail, crc32(header));
  std::string out("7z\xbc\xaf\x27\x1c\x00\x04", 8);
  put32(out, crc32(tail));
  return out + tail + header;
}

}  // namespace vexel::test
