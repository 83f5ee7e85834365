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
};

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

// zipBytes: a complete stored ZIP of `entries`, in order, dated 2024-01-02 03:04:06.
inline std::string zipBytes(const std::vector<ZipEntry>& entries) {
  using archive_maker_internal::put16;
  using archive_maker_internal::put32;
  constexpr std::uint32_t dosTime = (3U << 11) | (4U << 5) | (6U / 2);
  constexpr std::uint32_t dosDate = ((2024U - 1980U) << 9) | (1U << 5) | 2U;
  std::string out;
  std::string central;
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
    const auto extraLength = static_cast<std::uint32_t>(extra.size());

    put32(out, 0x04034B50U);
    put16(out, 20);
    put16(out, flags);
    put16(out, 0);  // stored
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

    put32(central, 0x02014B50U);
    put16(central, 20);
    put16(central, 20);
    put16(central, flags);
    put16(central, 0);
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
    put32(central, isDir ? 0x10U : 0U);
    put32(central, offset);
    central += entry.name;
    central += extra;
  }
  const auto centralOffset = static_cast<std::uint32_t>(out.size());
  const auto count = static_cast<std::uint32_t>(entries.size());
  out += central;
  put32(out, 0x06054B50U);
  put16(out, 0);
  put16(out, 0);
  put16(out, count);
  put16(out, count);
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, centralOffset);
  put16(out, 0);
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

}  // namespace vexel::test
