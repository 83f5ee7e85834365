// libarchive_codes.h: what the lister makes of libarchive's numbers and messages.
//
// Pure functions over libarchive's format, filter and return codes, kept
// apart from the reader so each table can be checked row by row. The
// lister's header loop (extension_archive.cpp) and `readerError`
// (libarchive_reader.h) use them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "readers/archive_error.h"

namespace vexel::readers_internal {

// typeKeyOfFormat: the short type key of an `archive_format` value ("zip",
// "tar", "rar5", ...), judged by its base format (mask 0xFF0000); for the raw
// format the filter key (or "" without one); "" for formats without a key.
[[nodiscard]] std::string typeKeyOfFormat(int formatCode, int filterCode);

// filterKeyOfFilter: "gzip", "bzip2", "lzma", "xz" or "zstd" for those
// `archive_filter_code` values; nothing for every other filter, none included.
[[nodiscard]] std::optional<std::string_view> filterKeyOfFilter(int filterCode) noexcept;

// HeaderRead: how one `archive_read_next_header` call ended.
enum class HeaderRead {
  entry,    ///< an entry came back (warnings count as success)
  damaged,  ///< this header failed (a link target that cannot be decoded, say); the next may not
  retry,    ///< nothing came back this time; the next read may go on
  end,      ///< the end of the archive
  failure,  ///< the archive cannot be read on; the reader's message says why
};

// headerReadOf: the meaning of a libarchive return code from a header read.
[[nodiscard]] HeaderRead headerReadOf(int returnCode) noexcept;

// errorOfMessage: the error a libarchive failure message stands for (null
// counts as empty): encryption or passphrase, in any letter case, means a
// password is needed; "Unrecognized archive format" means not an archive;
// anything else is `failed` with the message.
[[nodiscard]] ArchiveError errorOfMessage(const char* message);

}  // namespace vexel::readers_internal
