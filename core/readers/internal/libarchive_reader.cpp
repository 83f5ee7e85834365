#include "libarchive_reader.h"

#include <archive.h>

#include "built_in_filters.h"
#include "input_file.h"
#include "libarchive_codes.h"
#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

// utf8Locale: one UTF-8 locale object for the whole process, made on first
// use and never freed, so concurrent listings do not load and unload locale
// data over and over; null when the system has no UTF-8 locale.
locale_t utf8Locale() {
  static const locale_t locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8"}) {
      if (const locale_t made = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
          made != static_cast<locale_t>(nullptr)) {
        return made;
      }
    }
    return static_cast<locale_t>(nullptr);
  }();
  return locale;
}

}  // namespace

void ArchiveReadFree::operator()(archive* reader) const noexcept { archive_read_free(reader); }

ArchiveReader newArchiveReader(bool isDebianData) {
  ArchiveReader owner(archive_read_new());
  archive* reader = owner.get();
  if (reader == nullptr) return owner;
  enableBuiltInFilters(reader);
  if (isDebianData) {
    archive_read_support_format_tar(reader);
    return owner;
  }
  archive_read_support_format_zip(reader);
  archive_read_support_format_7zip(reader);
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_format_cpio(reader);
  archive_read_support_format_iso9660(reader);
  archive_read_support_format_xar(reader);
  archive_read_support_format_lha(reader);
  archive_read_support_format_cab(reader);
  archive_read_support_format_ar(reader);
  archive_read_support_format_raw(reader);
  // No "hdrcharset" for ZIP: unflagged names must come as their stored bytes
  // (Info-ZIP writes UTF-8 without the flag), and a forced charset would also
  // hide the Unicode Path field, whose CRC is checked against the stored name.
  return owner;
}

Utf8ThreadLocale::Utf8ThreadLocale() : mLocale(utf8Locale()) {
  if (isActive()) mPrevious = uselocale(mLocale);
}

Utf8ThreadLocale::~Utf8ThreadLocale() {
  if (isActive()) uselocale(mPrevious);
}

ArchiveError readerError(archive* reader, const InputFile& input, bool isDebianData) {
  const char* message = archive_error_string(reader);
  if (input.ioFailed()) {
    if (const auto& hole = input.missingVolume()) {
      return ArchiveError::volumeMissing(text::decodeUtf8Lenient(*hole));
    }
    return ArchiveError::cannotRead(text::decodeUtf8Lenient(message != nullptr ? message : ""));
  }
  ArchiveError mapped = errorOfMessage(message);
  if (isDebianData && mapped.kind() == ArchiveError::Kind::notArchive) {
    return ArchiveError::cannotRead(text::decodeUtf8Lenient(message != nullptr ? message : ""));
  }
  // A set whose last volume is full-size most likely goes on; the format's
  // own complaint about its end (a 7z header past it: no message at all)
  // says less.
  if (const auto& next = input.nextVolume(); next && mapped.kind() == ArchiveError::Kind::failed) {
    return ArchiveError::volumeMissing(text::decodeUtf8Lenient(*next));
  }
  return mapped;
}

}  // namespace vexel::readers_internal
