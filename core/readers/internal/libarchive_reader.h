// libarchive_reader.h: a libarchive reader as every pass over an archive in
// this library sets it up: the lister's header loop and both passes of an
// extraction.
//
//   const Utf8ThreadLocale utf8Names;        // before the reader exists
//   auto source = ReaderInput::open(*input, path, stop, {});      // reader_input.h
//   ArchiveReader reader = newArchiveReader(source->isDebianPackage());
//   source->attach(reader.get());
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
// rar, rar5, tar, cpio, iso9660, xar, lha, cab, ar, raw), or the tar format
// alone for a Debian package's data member (as dpkg-deb reads it,
// reader_input.h), and the decompression filters libarchive decodes
// itself; null when libarchive cannot make one.
[[nodiscard]] ArchiveReader newArchiveReader(bool isDebianData = false);

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
// A split archive that needs a missing volume says which. A Debian package
// whose data member is no tar is damaged, not "not an archive".
[[nodiscard]] ArchiveError readerError(archive* reader, const InputFile& input,
                                       bool isDebianData = false);

}  // namespace vexel::readers_internal
