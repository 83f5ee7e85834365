// libarchive_reader.h: a libarchive reader as every pass over an archive in
// this library sets it up: the lister's header loop and both passes of an
// extraction.
//
//   const Utf8ThreadLocale utf8Names;        // before the reader exists
//   ArchiveReader reader = newArchiveReader();
//   input->attach(reader.get(), stop);
//   if (archive_read_open1(reader.get()) != ARCHIVE_OK) throw readerError(reader.get(), *input);
#pragma once

#include <locale.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "name_decoding.h"
#include "readers/archive_error.h"
#include "zip_stored_names.h"

struct archive;
struct archive_entry;

namespace vexel::readers_internal {

class InputFile;

struct ArchiveReadFree {
  void operator()(archive* reader) const noexcept;
};
// ArchiveReader: a reader, freed with the pointer.
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;

// newArchiveReader: a reader with the formats this library reads (zip, 7z,
// rar, rar5, tar, cpio, iso9660, xar, lha, cab, ar, raw) and the
// decompression filters libarchive decodes itself; null when libarchive
// cannot make one.
[[nodiscard]] ArchiveReader newArchiveReader();

// Utf8ThreadLocale: switches this thread to a UTF-8 locale while it lives,
// so libarchive converts names to UTF-8 whatever locale the host runs under
// (LANG=C included). Other threads are not affected. Make it before the
// reader: libarchive settles its name charset from the thread's locale on
// first use.
class Utf8ThreadLocale {
 public:
  Utf8ThreadLocale();
  ~Utf8ThreadLocale();
  Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
  Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

  // isActive: this thread now runs under the UTF-8 locale.
  [[nodiscard]] bool isActive() const noexcept { return mLocale != static_cast<locale_t>(nullptr); }

 private:
  locale_t mLocale;
  locale_t mPrevious = static_cast<locale_t>(nullptr);
};

// readerError: what the reader's failure means for the user. A failure of
// the file itself (cannot open or read it) is reported with libarchive's
// message as it stands, whatever words the file's path happens to contain.
// A split archive that needs a missing volume says which.
[[nodiscard]] ArchiveError readerError(archive* reader, const InputFile& input);

// trimmedName: the name without leading "./" and "/" or trailing "/"; the
// root entry of an ISO image ("." after trimming) counts as unnamed.
[[nodiscard]] std::string_view trimmedName(std::string_view name);

// entryName: sets `shown` to the entry's name as UTF-8 ("" when it has
// none), decided by `names` from the bytes the archive stores; a name that
// is not UTF-8 is provisional until `names` finishes. A raw stream takes
// the archive's file name without its last extension. `zipNames` (null for
// other formats) recovers the stored bytes of the `ordinal`th header of a
// ZIP whose name libarchive cannot hand back. See libarchive_reader.cpp.
void entryName(archive_entry* entry, bool isRaw, bool utf8Locale, const std::filesystem::path& file,
               NameDecoder& names, std::size_t position, ZipStoredNames* zipNames,
               std::size_t ordinal, std::string& shown);

}  // namespace vexel::readers_internal
