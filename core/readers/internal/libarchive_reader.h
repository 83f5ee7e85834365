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

#include <memory>

#include "readers/archive_error.h"

struct archive;

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

}  // namespace vexel::readers_internal
