// archive_properties.h: archive-wide facts that a lister reports.
//
// The in-process lister sets `type`, `physicalSize` and, for a split
// archive, `isMultiVolume` and `volumes`; the tool listing parser sets every
// field. `ArchiveTree` keeps the value unchanged.
//
//   vexel::ArchiveProperties properties;  // volumes == 1, everything else empty
//   properties.type = "zip";
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vexel {

// ArchiveProperties: a plain value; default-constructed it holds the defaults.
struct ArchiveProperties {
  std::string type;               ///< type key as the lister reports it ("zip", "rar5", ...)
  std::int64_t physicalSize = 0;  ///< archive file size in bytes
  bool solid = false;
  bool headersEncrypted = false;  ///< entry names are encrypted
  std::string comment;
  bool isMultiVolume = false;
  std::int64_t volumes = 1;  ///< 1, not 0, when nothing is known
  std::string method;
  std::vector<std::pair<std::string, std::string>> raw;  ///< archive block lines, in order
};

}  // namespace vexel
