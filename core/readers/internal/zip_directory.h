// zip_stored_names.h: ZIP entry names as the central directory stores them.
//
// libarchive hands back no name at all for an entry whose name is flagged
// UTF-8 but is not (its conversion fails), so such an entry would vanish
// from the listing. This reads the central directory on its own, only when
// that happens, to recover the stored bytes.
//
//   ZipStoredNames stored(input);  // the listing's InputFile
//   if (auto bytes = stored.unreadableNameAt(ordinal)) show(decodeUtf8Lenient(*bytes));
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexel::readers_internal {

class InputFile;

// ZipStoredNames: the central directory of one ZIP file, read on first use
// through the listing's open file (the volumes of a split ZIP included).
// Not for concurrent use; used on the thread that reads the file.
class ZipStoredNames {
 public:
  explicit ZipStoredNames(InputFile& input) : mInput(input) {}

  // unreadableNameAt: the stored name of the `ordinal`th entry (counting
  // from 0) in the order libarchive lists a seekable ZIP, by local header
  // offset, when that name is flagged UTF-8 and is not valid UTF-8: exactly
  // the names libarchive cannot hand back. Nothing otherwise, or when the
  // central directory cannot be read.
  [[nodiscard]] std::optional<std::string> unreadableNameAt(std::size_t ordinal);

  // Record: one central directory entry, as far as names need it.
  struct Record {
    std::uint64_t localHeaderOffset = 0;
    std::optional<std::string> unreadableName;  ///< flagged UTF-8 but not UTF-8
  };

 private:
  bool load();

  InputFile& mInput;  // non-owning; outlives this object
  bool mLoaded = false;
  std::vector<Record> mRecords;
};

}  // namespace vexel::readers_internal
