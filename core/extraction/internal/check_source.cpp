#include "check_source.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <utility>

#include "readers/archive_error.h"
#include "readers/internal/built_in_filters.h"
#include "readers/internal/entry_names.h"
#include "readers/internal/libarchive_codes.h"
#include "readers/internal/name_decoding.h"
#include "readers/internal/reader_input.h"

namespace vexel::extraction_internal {
namespace {

namespace fs = std::filesystem;
using readers_internal::HeaderRead;
using readers_internal::HeaderSink;
using readers_internal::InputFile;
using readers_internal::ReaderInput;
using readers_internal::SourceEnd;
using readers_internal::SourceResult;

// CheckSource: the header loop of a check, on the listing's worker thread.
// Names and link targets are decided once every header is read, as the
// lister decides them.
class CheckSource final : public readers_internal::HeaderSource {
 public:
  CheckSource(fs::path file, std::unique_ptr<InputFile> input, std::optional<std::string> password,
              std::shared_ptr<CheckData> data, bool readsRaw)
      : mFile(std::move(file)),
        mInput(std::move(input)),
        mPassword(std::move(password)),
        mData(std::move(data)),
        mReadsRaw(readsRaw) {}

  SourceResult read(HeaderSink& sink) override {
    const readers_internal::Utf8ThreadLocale utf8Names;
    // A Debian package's files are its data member's, as dpkg-deb -x gives them.
    mReaderInput = ReaderInput::open(*mInput, mFile, sink.stopFlag(), {});
    readers_internal::ArchiveReader owner = newReader(mReaderInput->isDebianPackage(), mReadsRaw);
    if (!owner) return failure(ArchiveError::cannotRead(""));
    archive* reader = owner.get();
    if (mPassword) archive_read_add_passphrase(reader, mPassword->c_str());
    mReaderInput->attach(reader);
    if (archive_read_open1(reader) != ARCHIVE_OK) return failed(reader, sink, nullptr);

    readers_internal::EntryNames names(*mInput, mFile, utf8Names.isActive());
    if (mReaderInput->readsXzBlocks()) names.ignoreZipDirectory();
    bool factsKnown = false;
    std::size_t ordinal = 0;
    RawEntry listed;
    for (;;) {
      archive_entry* entry = nullptr;
      const HeaderRead read =
          readers_internal::headerReadOf(archive_read_next_header(reader, &entry));
      if (!factsKnown) {
        mData->formatCode = archive_format(reader);
        sink.setFacts({.formatCode = archive_format(reader),
                       .filterCode = mReaderInput->filterCode(reader),
                       .isKnown = true,
                       .isDebianPackage = mReaderInput->isDebianPackage()});
        factsKnown = true;
      }
      if (read == HeaderRead::end) break;
      if (read == HeaderRead::failure) return failed(reader, sink, entry);
      // As the extraction pass counts them: every header that comes back
      // with an entry; one libarchive could not read whole is left out.
      if (entry == nullptr || read == HeaderRead::retry) continue;
      const bool isDamaged = read == HeaderRead::damaged;
      readers_internal::StoredName stored;
      const bool isNamed = names.read(reader, entry, ordinal++, isDamaged, stored) && !isDamaged;
      // A header libarchive could not read whole is left out (unnamed, it is skipped).
      PlannedEntry planned = isDamaged ? PlannedEntry{.kind = EntryKind::folder}
                                       : plannedOf(entry, names.exactModified());
      const char* raw = archive_entry_pathname(entry);
      if (raw == nullptr) raw = archive_entry_pathname_utf8(entry);
      const std::string_view rawName = raw != nullptr ? raw : "";
      const bool isRaw = baseFormat(mData->formatCode) == ARCHIVE_FORMAT_RAW;
      // A file or link stored without a name ("", "./") stays unnamed, and
      // so refused, rather than named after the archive as a listing names
      // it: it would land in the destination's own place.
      if (isNamed && (isRaw || !readers_internal::trimmedName(rawName).empty())) {
        const std::size_t index = mData->entries.size();
        if (rawName.starts_with('/')) mAbsolute.push_back(index);
        mNameOf.push_back(index);
        ++mData->namedCount;
        listed.path = stored.bytes;
        mStored.push_back(std::move(stored));
        if (!planned.target.empty()) {
          // A link's target is a name of the archive too, in its code page.
          mTargetOf.push_back(index);
          mStored.push_back({.bytes = planned.target, .origin = mStored.back().origin});
          mData->linkBytes += planned.target.size();
        }
        listed.isDir = planned.kind == EntryKind::folder;
        listed.size = planned.size;
        if (mData->linkBytes > mData->maxLinkBytes || !sink.add(listed)) {
          mData->entries.push_back(std::move(planned));
          return SourceResult{.end = SourceEnd::stopped};
        }
      } else if (!isDamaged && !isRaw && readers_internal::trimmedName(rawName).empty() &&
                 planned.kind != EntryKind::folder && planned.kind != EntryKind::special) {
        // Its name as stored ("./"), for the refusal to show.
        planned.path = rawName;
      }
      if (archive_entry_is_encrypted(entry) != 0) mData->hasEncryptedData = true;
      mData->entries.push_back(std::move(planned));
      if (sink.shouldStop()) return SourceResult{.end = SourceEnd::stopped};
    }
    if (archive_read_has_encrypted_entries(reader) > 0) mData->hasEncryptedData = true;
    decideNames(readers_internal::EntryNames::rulesFor(reader));
    return SourceResult{.end = SourceEnd::end};
  }

 private:
  static SourceResult failure(ArchiveError error) {
    return SourceResult{.end = SourceEnd::failure, .error = std::move(error)};
  }

  SourceResult failed(archive* reader, const HeaderSink& sink, archive_entry* entry) const {
    if (sink.shouldStop()) return SourceResult{.end = SourceEnd::stopped};
    // An allocation refused (the host's address-space bound): memory, not
    // damage. Some readers (7z) report it with their own error number.
    const char* message = archive_error_string(reader);
    if (archive_errno(reader) == ENOMEM ||
        (message != nullptr && std::string_view(message) == "Couldn't allocate memory")) {
      return failure(ArchiveError::outOfMemory());
    }
    if (mData->entries.empty() && entry != nullptr &&
        archive_entry_is_metadata_encrypted(entry) != 0) {
      return failure(ArchiveError::passwordRequired());
    }
    return failure(readers_internal::readerError(reader, *mInput,
                                                 mReaderInput && mReaderInput->isDebianPackage()));
  }

  // plannedOf: the header's facts besides its name; a link's target as
  // stored (decided with the names).
  static PlannedEntry plannedOf(archive_entry* entry, std::optional<std::int64_t> exactModified) {
    PlannedEntry planned;
    planned.size = archive_entry_size_is_set(entry) != 0 ? archive_entry_size(entry) : 0;
    planned.permissions = static_cast<unsigned>(archive_entry_perm(entry)) & 07777;
    if (exactModified) {
      planned.modified = std::chrono::sys_seconds(std::chrono::seconds(*exactModified));
    } else if (archive_entry_mtime_is_set(entry) != 0) {
      planned.modified = std::chrono::sys_seconds(std::chrono::seconds(archive_entry_mtime(entry)));
    }
    const char* hardLink = archive_entry_hardlink(entry);
    if (hardLink == nullptr) hardLink = archive_entry_hardlink_utf8(entry);
    // A hard link that carries data of its own (pax, cpio) is a file.
    if (hardLink != nullptr && planned.size == 0) {
      planned.kind = EntryKind::hardLink;
      planned.target = readers_internal::trimmedName(hardLink);
      return planned;
    }
    switch (archive_entry_filetype(entry)) {
      case AE_IFDIR:
        planned.kind = EntryKind::folder;
        break;
      case AE_IFLNK: {
        planned.kind = EntryKind::symlink;
        const char* target = archive_entry_symlink(entry);
        if (target == nullptr) target = archive_entry_symlink_utf8(entry);
        if (target != nullptr) planned.target = target;
        break;
      }
      case AE_IFREG:
      case 0:  // no type stored: data, as every format reads it
        planned.kind = EntryKind::file;
        break;
      default:
        planned.kind = EntryKind::special;
        break;
    }
    return planned;
  }

  // decideNames: the names and link targets, decided together as the
  // lister decides the names, so files get the names the preview shows.
  void decideNames(const readers_internal::NameRules& rules) {
    std::vector<std::string> decided = readers_internal::decideNames(mStored, rules);
    mStored = {};
    std::size_t next = 0;
    std::size_t target = 0;
    for (const std::size_t index : mNameOf) {
      PlannedEntry& entry = mData->entries[index];
      entry.path = std::move(decided[next++]);
      if (target < mTargetOf.size() && mTargetOf[target] == index) {
        entry.target = std::move(decided[next++]);
        ++target;
      }
    }
    for (const std::size_t index : mAbsolute) mData->entries[index].path.insert(0, "/");
  }

  fs::path mFile;
  std::unique_ptr<InputFile> mInput;          // outlives the reader, whose free calls back into it
  std::unique_ptr<ReaderInput> mReaderInput;  // reads `mInput`; outlives the reader too
  std::optional<std::string> mPassword;
  std::shared_ptr<CheckData> mData;
  std::vector<readers_internal::StoredName> mStored;  // names and link targets, in order
  std::vector<std::size_t> mNameOf;                   // the entry each stored name belongs to
  std::vector<std::size_t> mTargetOf;  // the entries whose targets follow their names
  std::vector<std::size_t> mAbsolute;  // the entries stored with a leading "/"
  bool mReadsRaw = false;
};

}  // namespace

int baseFormat(int formatCode) { return formatCode & ARCHIVE_FORMAT_BASE_MASK; }

// hasBadChecksum: the reader's last complaint is about a checksum (a
// ZIP entry whose CRC does not match its data).
bool hasBadChecksum(archive* reader) {
  const char* message = archive_error_string(reader);
  if (message == nullptr) return false;
  const std::string_view text = message;
  return text.find("CRC") != std::string_view::npos ||
         text.find("checksum") != std::string_view::npos;
}

// newReader: the reader of every format, or of the raw format alone: a
// compressed file read as the one file it holds.
readers_internal::ArchiveReader newReader(bool isDebianData, bool readsRaw) {
  if (!readsRaw) return readers_internal::newArchiveReader(isDebianData);
  readers_internal::ArchiveReader owner(archive_read_new());
  if (owner) {
    readers_internal::enableBuiltInFilters(owner.get());
    archive_read_support_format_raw(owner.get());
  }
  return owner;
}

std::unique_ptr<readers_internal::HeaderSource> makeCheckSource(fs::path file,
                                                                std::unique_ptr<InputFile> input,
                                                                std::optional<std::string> password,
                                                                std::shared_ptr<CheckData> data,
                                                                bool readsRaw) {
  return std::make_unique<CheckSource>(std::move(file), std::move(input), std::move(password),
                                       std::move(data), readsRaw);
}

}  // namespace vexel::extraction_internal
