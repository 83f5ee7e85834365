#include "libarchive_codes.h"

#include <archive.h>

#include "text/unicode_case.h"
#include "text/utf8.h"

namespace vexel::readers_internal {

std::string typeKeyOfFormat(int formatCode, int filterCode) {
  switch (formatCode & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_CPIO:
      return "cpio";
    case ARCHIVE_FORMAT_TAR:
      return "tar";
    case ARCHIVE_FORMAT_ISO9660:
      return "iso";
    case ARCHIVE_FORMAT_AR:
      return "ar";  // Debian packages and static libraries
    case ARCHIVE_FORMAT_ZIP:
      return "zip";
    case ARCHIVE_FORMAT_RAW:
      return std::string(filterKeyOfFilter(filterCode).value_or(""));
    case ARCHIVE_FORMAT_XAR:
      return "xar";
    case ARCHIVE_FORMAT_LHA:
      return "lzh";
    case ARCHIVE_FORMAT_CAB:
      return "cab";
    case ARCHIVE_FORMAT_RAR:
      return "rar";
    case ARCHIVE_FORMAT_7ZIP:
      return "7z";
    case ARCHIVE_FORMAT_RAR_V5:
      return "rar5";
    default:
      return "";  // shar, mtree, warc, empty and formats libarchive may add
  }
}

std::optional<std::string_view> filterKeyOfFilter(int filterCode) noexcept {
  switch (filterCode) {
    case ARCHIVE_FILTER_GZIP:
      return "gzip";
    case ARCHIVE_FILTER_BZIP2:
      return "bzip2";
    case ARCHIVE_FILTER_LZMA:
      return "lzma";
    case ARCHIVE_FILTER_XZ:
      return "xz";
    case ARCHIVE_FILTER_ZSTD:
      return "zstd";
    default:
      return std::nullopt;  // none, compress, lz4 and the rest have no key
  }
}

// The one place libarchive's return codes are interpreted.
HeaderRead headerReadOf(int returnCode) noexcept {
  switch (returnCode) {
    case ARCHIVE_OK:
    case ARCHIVE_WARN:  // e.g. a name that cannot be converted: the entry is still there
      return HeaderRead::entry;
    case ARCHIVE_EOF:
      return HeaderRead::end;
    case ARCHIVE_RETRY:
      return HeaderRead::retry;
    case ARCHIVE_FAILED:
      return HeaderRead::damaged;
    case ARCHIVE_FATAL:
      return HeaderRead::failure;
  }
  return HeaderRead::failure;  // a code libarchive does not document
}

// Rules in order, first match wins. Messages about encrypted headers differ
// by format and release ("RAR encryption support unavailable.", "The archive
// header is encrypted, ..."), hence the caseless test.
ArchiveError errorOfMessage(const char* message) {
  const std::string text = text::decodeUtf8Lenient(message != nullptr ? message : "");
  if (text::containsCaseless(text, "encrypt")) return ArchiveError::passwordRequired();
  if (text::containsCaseless(text, "passphrase")) return ArchiveError::passwordRequired();
  if (text.find("Unrecognized archive format") != std::string::npos)
    return ArchiveError::notArchive();
  return ArchiveError::cannotRead(text);
}

}  // namespace vexel::readers_internal
