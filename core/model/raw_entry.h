// raw_entry.h: one flat entry of an archive listing, before any tree exists.
//
// Producers (the in-process lister, the tool listing parser) append one
// `RawEntry` per entry in archive order; `ArchiveTree` consumes the list.
// Archive-wide facts live in archive_properties.h.
//
//   vexel::RawEntry entry{.path = "docs/a.txt", .isDir = false, .size = 12,
//                         .crc = "", .encrypted = false, .method = ""};
//
// A plain value: copies are independent, nothing is validated.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vexel {

// RawEntry: an entry as listed. `packed`, `modified` and `block` stay absent
// when the listing does not give them; `crc` and `method` are "" then.
struct RawEntry {
  std::string path;                    ///< "/"-separated, no leading "./", "/" or trailing "/"
  bool isDir = false;                  ///< the entry is a folder
  std::int64_t size = 0;               ///< uncompressed size in bytes
  std::optional<std::int64_t> packed;  ///< compressed size in bytes
  std::optional<std::chrono::sys_seconds> modified;  ///< last modification time
  std::string crc;                                   ///< checksum text as listed
  bool encrypted = false;                            ///< the entry's data is encrypted
  std::string method;                                ///< compression method text as listed
  std::optional<std::int64_t> block;                 ///< solid block number
};

}  // namespace vexel
