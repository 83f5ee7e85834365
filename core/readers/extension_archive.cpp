#include "readers/extension_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "internal/libarchive_codes.h"
#include "internal/name_decoding.h"
#include "internal/zip_stored_names.h"
#include "model/archive_format.h"
#include "readers/archive_error.h"
#include "text/unicode_case.h"
#include "text/utf8.h"

namespace vexel {

namespace readers_internal {

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
    case ARCHIVE_FAILED:
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
  if (text.find("Unrecognized archive format") != std::string::npos) return ArchiveError::notArchive();
  return ArchiveError::cannotRead(text);
}

}  // namespace readers_internal

namespace {

using readers_internal::HeaderRead;

constexpr size_t kBlockSize = 65536;

struct ArchiveReadFree {
  void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;

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

// Utf8ThreadLocale: switches this thread to the UTF-8 locale while it lives,
// so libarchive converts names to UTF-8 whatever locale the host runs under
// (LANG=C included). Other threads are not affected.
class Utf8ThreadLocale {
 public:
  Utf8ThreadLocale() : mLocale(utf8Locale()) {
    if (isActive()) mPrevious = uselocale(mLocale);
  }
  ~Utf8ThreadLocale() {
    if (isActive()) uselocale(mPrevious);
  }
  Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
  Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

  // isActive: this thread now runs under the UTF-8 locale.
  [[nodiscard]] bool isActive() const noexcept { return mLocale != static_cast<locale_t>(nullptr); }

 private:
  locale_t mLocale;
  locale_t mPrevious = static_cast<locale_t>(nullptr);
};

// InputFile: the archive file as libarchive's client: our own read, skip and
// seek callbacks over one descriptor. Owning the reads lets the time limit
// stop libarchive in the middle of skipping a large compressed entry, which
// a check between headers alone cannot do.
class InputFile {
 public:
  InputFile(std::filesystem::path file, const ExtensionArchive::Clock& clock)
      : mPath(std::move(file)), mClock(clock), mBuffer(kBlockSize) {}
  ~InputFile() {
    if (mFd >= 0) ::close(mFd);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // attach: makes this object the reader's data source.
  void attach(archive* reader) {
    archive_read_set_callback_data(reader, this);
    archive_read_set_open_callback(reader, &InputFile::openCallback);
    archive_read_set_read_callback(reader, &InputFile::readCallback);
    archive_read_set_skip_callback(reader, &InputFile::skipCallback);
    archive_read_set_seek_callback(reader, &InputFile::seekCallback);
    archive_read_set_close_callback(reader, &InputFile::closeCallback);
  }

  // startDeadline: from now on reads stop once `deadline` has passed.
  void startDeadline(std::chrono::steady_clock::time_point deadline) noexcept {
    mDeadline = deadline;
  }
  // armDeadline: called once an entry is listed; before that nothing stops
  // reading, so the first named entry is always listed.
  void armDeadline() noexcept { mArmed = true; }

  // ioFailed: the last failure was the file's own (open, read, seek), not
  // the archive's content; its message names the file.
  [[nodiscard]] bool ioFailed() const noexcept { return mIoFailed; }

  // fileSize: the regular file's size as the file system reports it now; 0
  // when it cannot be learned.
  [[nodiscard]] std::int64_t fileSize() const noexcept {
    struct stat info {};
    if (mFd < 0 || fstat(mFd, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<std::int64_t>(info.st_size);
  }

  [[nodiscard]] bool isPastDeadline() const {
    return mClock() > mDeadline;
  }

 private:
  static InputFile& self(void* data) { return *static_cast<InputFile*>(data); }

  static int openCallback(archive* reader, void* data) {
    InputFile& input = self(data);
    input.mFd = ::open(input.mPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (input.mFd < 0) {
      // libarchive's own wording for a file it cannot open.
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Failed to open '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
    struct stat info {};
    if (fstat(input.mFd, &info) != 0) {
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Can't stat '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
    input.mCanSeek = S_ISREG(info.st_mode);
    input.mSize = static_cast<std::int64_t>(info.st_size);
    return ARCHIVE_OK;
  }

  static la_ssize_t readCallback(archive* reader, void* data, const void** buffer) {
    InputFile& input = self(data);
    *buffer = input.mBuffer.data();
    try {
      if (input.mArmed && input.isPastDeadline()) {
        archive_set_error(reader, ETIMEDOUT, "Listing stopped: the time limit ran out");
        return ARCHIVE_FATAL;
      }
    } catch (...) {  // a test clock may throw; never through libarchive's C frames
      archive_set_error(reader, EIO, "The clock failed");
      return ARCHIVE_FATAL;
    }
    for (;;) {
      const ssize_t bytes = ::read(input.mFd, input.mBuffer.data(), input.mBuffer.size());
      if (bytes >= 0) return bytes;
      if (errno == EINTR) continue;
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Error reading '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
  }

  // Skips with lseek on regular files and never past the end; 0 asks
  // libarchive to read and discard instead (which reaches the time check).
  static la_int64_t skipCallback(archive* /*reader*/, void* data, la_int64_t request) {
    InputFile& input = self(data);
    if (!input.mCanSeek || request <= 0) return 0;
    const off_t old = lseek(input.mFd, 0, SEEK_CUR);
    if (old < 0 || old >= input.mSize) return 0;
    const std::int64_t room = input.mSize - old;
    const off_t target = old + static_cast<off_t>(std::min<std::int64_t>(request, room));
    if (lseek(input.mFd, target, SEEK_SET) < 0) {
      input.mCanSeek = false;
      return 0;
    }
    return target - old;
  }

  static la_int64_t seekCallback(archive* reader, void* data, la_int64_t offset, int whence) {
    InputFile& input = self(data);
    const off_t result = lseek(input.mFd, static_cast<off_t>(offset), whence);
    if (result < 0) {
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Error seeking in '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
    return result;
  }

  // The descriptor belongs to this object and closes with it.
  static int closeCallback(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  std::filesystem::path mPath;
  const ExtensionArchive::Clock& mClock;
  std::vector<char> mBuffer;
  std::chrono::steady_clock::time_point mDeadline = std::chrono::steady_clock::time_point::max();
  std::int64_t mSize = 0;
  int mFd = -1;
  bool mCanSeek = false;
  bool mArmed = false;
  bool mIoFailed = false;
};

// typeKey: the type key of the open reader's format.
std::string typeKey(archive* reader) {
  return readers_internal::typeKeyOfFormat(archive_format(reader), archive_filter_code(reader, 0));
}

// filterKey: the key of the open reader's outermost filter, if it has one.
std::optional<std::string_view> filterKey(archive* reader) {
  return readers_internal::filterKeyOfFilter(archive_filter_code(reader, 0));
}

bool isRawFormat(archive* reader) {
  return (archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW;
}

// error: what the reader's failure means for the user. A failure of the file
// itself (cannot open or read it) is reported with libarchive's message as
// it stands, whatever words the file's path happens to contain.
ArchiveError error(archive* reader, const InputFile& input) {
  const char* message = archive_error_string(reader);
  if (input.ioFailed()) {
    return ArchiveError::cannotRead(text::decodeUtf8Lenient(message != nullptr ? message : ""));
  }
  return readers_internal::errorOfMessage(message);
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

// entryName: the entry's name as UTF-8 ("" when it has none), decided by
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
std::string entryName(archive_entry* entry, bool isRaw, bool utf8Locale,
                      const std::filesystem::path& file, readers_internal::NameDecoder& names,
                      std::size_t position, readers_internal::ZipStoredNames* zipNames,
                      std::size_t ordinal) {
  if (isRaw) {
    const std::string stem = file.filename().stem().string();
    return text::decodeUtf8Lenient(trimmedName(stem));
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
    if (zipNames == nullptr) return {};
    const std::optional<std::string> stored = zipNames->unreadableNameAt(ordinal);
    return stored ? text::decodeUtf8Lenient(trimmedName(*stored)) : std::string();
  }
  return names.name(trimmedName(name), position);
}

RawEntry rawEntryOf(archive_entry* entry, std::string name) {
  RawEntry raw{.path = std::move(name)};
  raw.isDir = archive_entry_filetype(entry) == AE_IFDIR;
  if (archive_entry_size_is_set(entry) != 0) raw.size = archive_entry_size(entry);
  if (archive_entry_mtime_is_set(entry) != 0) {
    raw.modified = std::chrono::sys_seconds(std::chrono::seconds(archive_entry_mtime(entry)));
  }
  raw.encrypted = archive_entry_is_encrypted(entry) != 0;
  return raw;
}

// deadlineAfter: `start` plus `seconds`, saturating at the clock's range; a
// limit that is not a number never runs out.
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::steady_clock::time_point start,
                                                    double seconds) {
  using TimePoint = std::chrono::steady_clock::time_point;
  using Ticks = std::chrono::duration<double, std::chrono::steady_clock::period>;
  if (std::isnan(seconds)) return TimePoint::max();
  const double ticks = static_cast<double>(start.time_since_epoch().count()) +
                       std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(seconds)).count();
  using Rep = std::chrono::steady_clock::rep;
  // 2^63 is exactly representable as a double; anything at or above it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (ticks >= kLimit) return TimePoint::max();
  if (ticks <= -kLimit) return TimePoint::min();
  return TimePoint(std::chrono::steady_clock::duration(static_cast<Rep>(ticks)));
}

}  // namespace

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file, double timeLimit) {
  return list(file, timeLimit, [] { return std::chrono::steady_clock::now(); });
}

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file, double timeLimit,
                                                 const Clock& clock) {
  // Before the reader exists: libarchive settles its name charset from the
  // thread's locale on first use. Declared first, so it is restored last.
  const Utf8ThreadLocale utf8Names;
  const Clock& now = clock ? clock : Clock([] { return std::chrono::steady_clock::now(); });
  InputFile input(file, now);  // outlives the reader, whose free calls back into it

  ArchiveReader owner(archive_read_new());
  if (!owner) throw ArchiveError::cannotRead("");
  archive* reader = owner.get();

  archive_read_support_filter_all(reader);
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

  input.attach(reader);
  if (archive_read_open1(reader) != ARCHIVE_OK) throw error(reader, input);

  // The limit counts from the moment the file is open.
  input.startDeadline(deadlineAfter(now(), timeLimit));

  std::vector<RawEntry> entries;
  readers_internal::NameDecoder names;
  readers_internal::ZipStoredNames zipNames(file);  // read only if a name is missing
  std::size_t headers = 0;
  bool complete = true;
  for (;;) {
    archive_entry* entry = nullptr;
    const HeaderRead read = readers_internal::headerReadOf(archive_read_next_header(reader, &entry));
    if (read == HeaderRead::end) break;
    if (read == HeaderRead::failure || entry == nullptr) {
      // Nothing listed yet: the archive cannot be read at all. Otherwise the
      // entries so far are worth showing (a truncated download, a damaged
      // tail, a stop while skipping data), marked as incomplete.
      if (entries.empty()) {
        // An encrypted ZIP central directory fails without a message.
        if (entry != nullptr && archive_entry_is_metadata_encrypted(entry) != 0) {
          throw ArchiveError::passwordRequired();
        }
        throw error(reader, input);
      }
      complete = false;
      break;
    }
    const bool isZip = (archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP;
    std::string name = entryName(entry, isRawFormat(reader), utf8Names.isActive(), file, names,
                                 entries.size(), isZip ? &zipNames : nullptr, headers++);
    if (name.empty()) continue;  // unnamed headers are neither listed nor timed
    entries.push_back(rawEntryOf(entry, std::move(name)));
    input.armDeadline();
    // Read only after an entry is appended, so a limit that has already run
    // out still lists one entry; the end of the archive has not been seen
    // yet, so the listing is incomplete even if nothing follows.
    if (input.isPastDeadline()) {
      complete = false;
      break;
    }
  }

  // An uncompressed file that only the raw format accepted is no archive.
  if (isRawFormat(reader) && archive_filter_code(reader, 0) == ARCHIVE_FILTER_NONE) {
    throw ArchiveError::notArchive();
  }

  const std::string key = typeKey(reader);
  if (names.hasLegacyNames()) {
    // Legacy names of every format, decided together. ZIP itself says its
    // unflagged names are CP437; elsewhere Latin-1 text is the likelier.
    std::unordered_set<std::string_view> listed;
    listed.reserve(entries.size());
    for (const RawEntry& raw : entries) listed.insert(raw.path);
    const auto isListed = [&](std::string_view text) { return listed.contains(text); };
    std::vector<readers_internal::Rename> renames =
        names.finish(key == "zip" ? text::CodePage::cp437 : text::CodePage::cp1252, isListed);
    listed.clear();
    for (readers_internal::Rename& rename : renames) {
      entries[rename.position].path = std::move(rename.name);
    }
  }

  ArchiveProperties properties;
  properties.type = key;
  properties.physicalSize = input.fileSize();
  const std::int64_t fileSize = properties.physicalSize;

  std::string typeName = displayNameOfType(key);
  if (!isRawFormat(reader)) {
    if (const auto filter = filterKey(reader)) typeName += " + " + displayNameOfType(*filter);
  }

  auto tree = std::make_shared<const ArchiveTree>(std::move(properties), std::move(entries));
  return Listing{.tree = std::move(tree),
                 .typeName = std::move(typeName),
                 .fileSize = fileSize,
                 .complete = complete};
}

}  // namespace vexel
