#include "libarchive_reader.h"

#include <archive.h>
#include <archive_entry.h>

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

ArchiveReader newArchiveReader() {
  ArchiveReader owner(archive_read_new());
  archive* reader = owner.get();
  if (reader == nullptr) return owner;
  enableBuiltInFilters(reader);
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

// trimmedName: the name without leading "./" and "/" or trailing "/"; the
// root entry of an ISO image ("." after trimming) counts as unnamed.
std::string_view trimmedName(std::string_view name) {
  while (name.starts_with("./")) name.remove_prefix(2);
  while (name.starts_with('/')) name.remove_prefix(1);
  while (name.ends_with('/')) name.remove_suffix(1);
  if (name == ".") return {};
  return name;
}

// entryName: sets `shown` to the entry's name as UTF-8 ("" when it has none), decided by
// `names` from the bytes the archive stores; a name that is not UTF-8 is
// provisional until `names` finishes. A raw stream has no names of its own,
// so it takes the archive's file name without its last extension
// (notes.txt.gz lists notes.txt).
//
// Under the UTF-8 thread locale libarchive's locale form of a name is the
// stored bytes where the format does not say what they are (tar, cpio, ZIP
// without the UTF-8 flag) and UTF-8 where it does (7z, pax, flagged ZIP
// names, ZIP Unicode Path fields, which libarchive applies itself when their
// CRC matches the stored name). Asking for the UTF-8 form first would convert
// every name once more and lose the stored bytes of legacy names.
//
// For a ZIP name flagged UTF-8 that is not, libarchive hands back no name;
// `zipNames` (null for other formats) recovers the stored bytes of the
// `ordinal`th header from the central directory, shown with U+FFFD.
void entryName(archive_entry* entry, bool isRaw, bool utf8Locale, const std::filesystem::path& file,
               NameDecoder& names, std::size_t position, ZipStoredNames* zipNames,
               std::size_t ordinal, std::string& shown) {
  if (isRaw) {
    const std::string stem = file.filename().stem().string();
    shown = text::decodeUtf8Lenient(trimmedName(stem));
    return;
  }
  const char* name = nullptr;
  if (utf8Locale) {
    name = archive_entry_pathname(entry);
    if (name == nullptr) name = archive_entry_pathname_utf8(entry);
  } else {
    name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) name = archive_entry_pathname(entry);
  }
  if (name == nullptr) {
    shown.clear();
    if (zipNames == nullptr) return;
    const std::optional<std::string> stored = zipNames->unreadableNameAt(ordinal);
    if (stored) shown = text::decodeUtf8Lenient(trimmedName(*stored));
    return;
  }
  names.name(trimmedName(name), position, shown);
}

ArchiveError readerError(archive* reader, const InputFile& input) {
  const char* message = archive_error_string(reader);
  if (input.ioFailed()) {
    if (const auto& hole = input.missingVolume()) {
      return ArchiveError::volumeMissing(text::decodeUtf8Lenient(*hole));
    }
    return ArchiveError::cannotRead(text::decodeUtf8Lenient(message != nullptr ? message : ""));
  }
  ArchiveError mapped = errorOfMessage(message);
  // A set whose last volume is full-size most likely goes on; the format's
  // own complaint about its end (a 7z header past it: no message at all)
  // says less.
  if (const auto& next = input.nextVolume(); next && mapped.kind() == ArchiveError::Kind::failed) {
    return ArchiveError::volumeMissing(text::decodeUtf8Lenient(*next));
  }
  return mapped;
}

}  // namespace vexel::readers_internal
