#include "extraction/archive_extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "internal/entry_writer.h"
#include "internal/extraction_plan.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/built_in_filters.h"
#include "readers/internal/entry_names.h"
#include "readers/internal/file_range.h"
#include "readers/internal/input_file.h"
#include "readers/internal/libarchive_codes.h"
#include "readers/internal/libarchive_reader.h"
#include "readers/internal/listing_worker.h"
#include "readers/internal/name_decoding.h"
#include "readers/internal/reader_input.h"
#include "readers/internal/volume_set.h"
#include "readers/internal/xz_index.h"
#include "text/utf8.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using extraction_internal::EntryKind;
using extraction_internal::EntryWriter;
using extraction_internal::ExtractionPlan;
using extraction_internal::PlannedEntry;
using extraction_internal::Step;
using readers_internal::HeaderRead;
using readers_internal::HeaderSink;
using readers_internal::InputFile;
using readers_internal::ReaderInput;
using readers_internal::SourceEnd;
using readers_internal::SourceResult;

constexpr auto kStopGrace = std::chrono::milliseconds(100);
// The check's default bounds are the importer's.
static_assert(ArchiveExtractor::CheckBounds{}.maxEntries == ExtensionArchive::kMaxNodes);
static_assert(ArchiveExtractor::CheckBounds{}.maxNameBytes == ExtensionArchive::kMaxNameBytes);
constexpr std::size_t kCopyBuffer = 1 << 16;
// Data written between two looks at the free space, for data whose size no
// header lists (a .gz of one file).
constexpr std::int64_t kSpaceLookEvery = std::int64_t{1} << 20;
// What such data leaves free at least: a twentieth of what was free, from
// 1 MiB to 64 MiB, so the disk never fills.
constexpr std::int64_t kLeastReserve = std::int64_t{1} << 20;
constexpr std::int64_t kMostReserve = std::int64_t{64} << 20;
// Openings of a damaged archive to get past files that cannot be read.
constexpr int kMostReopenings = 1000;
// An empty tarball is zeros only, 10 KiB as tar writes it; more than this,
// or another byte, is a compressed file that only starts like one.
constexpr std::int64_t kEmptyTarMost = std::int64_t{1} << 20;

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

// xzDataSize: the bytes an .xz file unpacks to, as its index says; nothing
// when it is no .xz file or its index cannot be read.
std::optional<std::int64_t> xzDataSize(const readers_internal::VolumeSet& volumes) {
  const std::atomic<bool> never{false};
  std::unique_ptr<InputFile> input = InputFile::open(volumes);
  readers_internal::FileRange packed(*input, 0, input->streamSize(),
                                     volumes.namePath().filename().string());
  const auto blocks = readers_internal::readXzBlocks(packed, never);
  if (!blocks || blocks->empty()) return std::nullopt;
  return blocks->back().offset + blocks->back().size;
}

// holdsMoreThanAnEmptyTar: whether the data the compressed file `volumes`
// holds is more than zeros, or longer than an empty tarball. A disk image
// that begins with a zero block reads as an empty tar archive.
bool holdsMoreThanAnEmptyTar(const readers_internal::VolumeSet& volumes) {
  const std::atomic<bool> never{false};
  std::unique_ptr<InputFile> input = InputFile::open(volumes);
  const std::unique_ptr<ReaderInput> source =
      ReaderInput::open(*input, volumes.namePath(), never, {});
  readers_internal::ArchiveReader owner = newReader(false, true);
  if (!owner) return false;
  source->attach(owner.get());
  archive_entry* entry = nullptr;
  if (archive_read_open1(owner.get()) != ARCHIVE_OK ||
      archive_read_next_header(owner.get(), &entry) != ARCHIVE_OK) {
    return false;
  }
  std::vector<char> buffer(kCopyBuffer);
  std::int64_t total = 0;
  for (;;) {
    const la_ssize_t got = archive_read_data(owner.get(), buffer.data(), buffer.size());
    if (got <= 0) return false;
    if (std::any_of(buffer.begin(), buffer.begin() + got, [](char c) { return c != 0; }))
      return true;
    total += got;
    if (total > kEmptyTarMost) return true;
  }
}

// Formats whose encrypted data libarchive cannot decrypt (it does ZIP's).
bool cannotDecrypt(int formatCode) {
  const int base = baseFormat(formatCode);
  return base == ARCHIVE_FORMAT_7ZIP || base == ARCHIVE_FORMAT_RAR || base == ARCHIVE_FORMAT_RAR_V5;
}

// CheckData: what the check's header source learns, beyond what the
// listing channel carries. Shared with the caller, which reads it only once
// the source has finished (the channel's lock orders the two).
struct CheckData {
  std::vector<PlannedEntry> entries;  ///< one per header, unnamed ones included
  int formatCode = 0;
  bool hasEncryptedData = false;
  std::size_t linkBytes = 0;  ///< link targets' bytes, bounded like the names
  std::size_t maxLinkBytes = 0;
  std::int64_t namedCount = 0;  ///< entries with a name, as the bounds count them
};

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

// Counter: the check keeps its entries in CheckData; the channel's only
// counts them against the bounds.
class Counter final : public readers_internal::EntryConsumer {
 public:
  bool take(RawEntry&& /*entry*/, bool /*isHeld*/) override { return true; }
};

EntryKind kindOf(ArchiveExtractor::ListedEntry::Kind kind) {
  switch (kind) {
    case ArchiveExtractor::ListedEntry::Kind::file:
      return EntryKind::file;
    case ArchiveExtractor::ListedEntry::Kind::folder:
      return EntryKind::folder;
    case ArchiveExtractor::ListedEntry::Kind::symlink:
      return EntryKind::symlink;
    case ArchiveExtractor::ListedEntry::Kind::hardLink:
      return EntryKind::hardLink;
    case ArchiveExtractor::ListedEntry::Kind::special:
      return EntryKind::special;
  }
  return EntryKind::special;
}

// Stopper: the cancel flag of the task, or one that is never raised.
class Stopper {
 public:
  explicit Stopper(const std::shared_ptr<TaskHandle>& task)
      : mFlag(task ? &task->cancelledFlag() : &mNever) {}
  [[nodiscard]] const std::atomic<bool>& flag() const noexcept { return *mFlag; }
  void throwIfCancelled() const {
    if (mFlag->load(std::memory_order_relaxed)) throw ArchiveError::cancelled();
  }

 private:
  std::atomic<bool> mNever{false};
  const std::atomic<bool>* mFlag;
};

// Reporter: progress as whole percentages, each once.
class Reporter {
 public:
  explicit Reporter(const ArchiveExtractor::Progress& progress) : mProgress(progress) {}
  // report: at most 99% until `finish`: data can outgrow what was listed,
  // and a failure can still come.
  void report(std::int64_t done, std::int64_t total) {
    if (!mProgress || total <= 0) return;
    show(static_cast<int>(
        std::clamp<std::int64_t>(done / total * 100 + done % total * 100 / total, 0, 99)));
  }
  void finish() { show(100); }

 private:
  void show(int percent) {
    if (!mProgress || percent == mLast) return;
    mLast = percent;
    mProgress(percent / 100.0);
  }

  const ArchiveExtractor::Progress& mProgress;
  int mLast = -1;
};

// writeAll: `size` bytes at `offset`, whatever pieces the system takes.
void writeAll(int fd, const char* bytes, std::size_t size, off_t offset, std::string_view path) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, bytes, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw ArchiveError::cannotWrite(path, errno);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
    offset += written;
  }
}

}  // namespace

std::int64_t ArchiveExtractor::Check::fileBytes() const noexcept {
  return mPlan ? mPlan->fileBytes() : 0;
}
std::int64_t ArchiveExtractor::Check::linksLeftOut() const noexcept {
  return mPlan ? mPlan->linksLeftOut() : 0;
}
std::int64_t ArchiveExtractor::Check::specialsLeftOut() const noexcept {
  return mPlan ? mPlan->specialsLeftOut() : 0;
}
std::int64_t ArchiveExtractor::Check::entryCount() const noexcept {
  return mPlan ? static_cast<std::int64_t>(mPlan->steps().size()) : 0;
}

std::int64_t ArchiveExtractor::Check::writtenCount() const noexcept {
  if (!mPlan) return 0;
  return static_cast<std::int64_t>(
      std::count_if(mPlan->steps().begin(), mPlan->steps().end(),
                    [](const Step& step) { return step.action != Step::Action::skip; }));
}

ArchiveExtractor::Check ArchiveExtractor::check(const fs::path& archive,
                                                const std::optional<std::string>& password) {
  return check(archive, password, [] { return std::chrono::steady_clock::now(); });
}

ArchiveExtractor::Check ArchiveExtractor::check(const fs::path& archive,
                                                const std::optional<std::string>& password,
                                                const std::shared_ptr<TaskHandle>& task) {
  if (!task) return check(archive, password);
  if (task->isCancelled()) throw ArchiveError::cancelled();
  // A cancel makes the clock jump far past the deadline, which ends the
  // listing at its next look at the clock.
  const Clock clock = [task] {
    const auto now = std::chrono::steady_clock::now();
    return task->cancelledFlag().load(std::memory_order_relaxed) ? now + std::chrono::hours(1000)
                                                                 : now;
  };
  try {
    return check(archive, password, clock, CheckBounds{});
  } catch (const ArchiveError&) {
    if (task->isCancelled()) throw ArchiveError::cancelled();
    throw;
  }
}

ArchiveExtractor::Check ArchiveExtractor::check(const fs::path& archive,
                                                const std::optional<std::string>& password,
                                                const Clock& clock) {
  return check(archive, password, clock, CheckBounds{});
}

ArchiveExtractor::Check ArchiveExtractor::check(const fs::path& archive,
                                                const std::optional<std::string>& password,
                                                const Clock& clock, const CheckBounds& limits) {
  try {
    const readers_internal::VolumeSet volumes = readers_internal::VolumeSet::find(archive);
    const auto deadline = readers_internal::deadlineAfter(clock(), limits.timeLimit);
    const readers_internal::ListingBounds bounds{
        .clock = clock,
        .deadline = deadline,
        .maxEntries = static_cast<std::size_t>(limits.maxEntries),
        .maxNameBytes = static_cast<std::size_t>(limits.maxNameBytes),
        .stopGrace = kStopGrace,
        .memoryBudget = static_cast<std::size_t>(std::max<std::int64_t>(limits.memoryBudget, 0)),
    };
    std::shared_ptr<CheckData> data;
    const auto collect = [&](bool readsRaw) {
      data = std::make_shared<CheckData>();
      data->maxLinkBytes = static_cast<std::size_t>(limits.maxNameBytes);
      Counter counter;
      readers_internal::Collected collected = readers_internal::collectEntries(
          std::make_unique<CheckSource>(volumes.namePath(), InputFile::open(volumes), password,
                                        data, readsRaw),
          bounds, counter);
      // Memory first: a reader left behind past the budget is left behind too.
      if (collected.isOverMemoryBudget ||
          (collected.end == SourceEnd::failure && collected.error == ArchiveError::outOfMemory())) {
        throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::memory);
      }
      if (collected.isPastDeadline || collected.isAbandoned) {
        throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::time);
      }
      if (collected.end == SourceEnd::failure) throw *collected.error;
      if (collected.end == SourceEnd::stopped) {
        const bool isManyEntries = data->namedCount >= limits.maxEntries;
        throw ArchiveError::tooLargeToCheck(isManyEntries ? ArchiveError::CheckBound::entries
                                                          : ArchiveError::CheckBound::names);
      }
      return collected;
    };
    readers_internal::Collected collected = collect(false);
    // A compressed file whose data begins with a zero block (a disk image)
    // reads as an empty tar archive: it is the one file it holds.
    const bool readsRaw = baseFormat(collected.facts.formatCode) == ARCHIVE_FORMAT_TAR &&
                          data->entries.empty() && !collected.facts.isDebianPackage &&
                          collected.facts.filterCode != ARCHIVE_FILTER_NONE &&
                          holdsMoreThanAnEmptyTar(volumes);
    if (readsRaw) collected = collect(true);
    const bool isRaw = baseFormat(collected.facts.formatCode) == ARCHIVE_FORMAT_RAW;
    // An uncompressed file that only the raw format accepted is no archive.
    if (isRaw && collected.facts.filterCode == ARCHIVE_FILTER_NONE)
      throw ArchiveError::notArchive();
    // The one file of an .xz: its index tells its size, for the free space.
    if (isRaw && data->entries.size() == 1 && collected.facts.filterCode == ARCHIVE_FILTER_XZ) {
      if (const std::optional<std::int64_t> size = xzDataSize(volumes))
        data->entries.front().size = *size;
    }

    Check check;
    check.mIsSingleFile = isRaw && data->entries.size() == 1;
    check.mReadsRaw = readsRaw;
    if (check.mIsSingleFile) check.mSingleFileName = data->entries.front().path;
    check.mHasEncryptedData = data->hasEncryptedData;
    check.mIsDebianPackage = collected.facts.isDebianPackage;
    check.mNeedsOtherArchiver = data->hasEncryptedData && cannotDecrypt(data->formatCode);
    auto plan = std::make_shared<ExtractionPlan>();
    for (PlannedEntry& entry : data->entries) plan->add(std::move(entry));
    data.reset();
    // A package's usr and etc are never placed as the result itself.
    plan->setKeepsOneFolder(!check.mIsDebianPackage);
    plan->decide([&] { return clock() > deadline; });
    check.mPlan = std::move(plan);
    return check;
  } catch (const std::bad_alloc&) {
    throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::memory);
  }
}

ArchiveExtractor::Check ArchiveExtractor::judge(std::vector<ListedEntry> entries) {
  auto plan = std::make_shared<ExtractionPlan>();
  Check check;
  for (ListedEntry& entry : entries) {
    if (entry.encrypted) check.mHasEncryptedData = true;
    plan->add(PlannedEntry{.path = std::move(entry.path),
                           .kind = kindOf(entry.kind),
                           .target = std::move(entry.target),
                           .size = entry.size});
  }
  plan->decide();
  check.mPlan = std::move(plan);
  return check;
}

ArchiveExtractor::Extracted ArchiveExtractor::extract(const fs::path& archive, const Check& check,
                                                      WorkFolder& work,
                                                      const std::optional<std::string>& password,
                                                      const std::shared_ptr<TaskHandle>& task,
                                                      const Progress& progress) {
  if (!check.mPlan) throw ArchiveError::cannotRead("");
  const std::vector<Step>& steps = check.mPlan->steps();
  const Stopper stopper(task);
  stopper.throwIfCancelled();
  Reporter reporter(progress);
  try {
    const readers_internal::VolumeSet volumes = readers_internal::VolumeSet::find(archive);
    const readers_internal::Utf8ThreadLocale utf8Names;
    // Progress: the data written of what the files hold, and the entries
    // done where they hold nothing.
    const std::int64_t totalBytes = check.fileBytes();
    const auto totalEntries = static_cast<std::int64_t>(steps.size());
    std::int64_t written = 0;
    // Data no header sizes (a .gz of one file) is bounded by the free space
    // as it is written, and stops before the disk is full: less than a look's
    // worth is written between two looks, and the reserve is more.
    const std::optional<std::int64_t> freeAtStart = work.freeBytes();
    const std::int64_t reserve =
        freeAtStart ? std::clamp(*freeAtStart / 20, kLeastReserve, kMostReserve) : 0;
    std::int64_t sinceLook = kSpaceLookEvery;  // the first block looks at once
    const auto requireRoom = [&](std::int64_t bytes, std::string_view path) {
      sinceLook += bytes;
      if (sinceLook < kSpaceLookEvery - static_cast<std::int64_t>(kCopyBuffer)) return;
      sinceLook = 0;
      const std::optional<std::int64_t> free = work.freeBytes();
      const std::int64_t listedToCome = std::max<std::int64_t>(0, totalBytes - written);
      if (free && *free - listedToCome - kSpaceLookEvery < reserve)
        throw ArchiveError::cannotWrite(path, ENOSPC);
    };

    Extracted extracted;
    std::optional<ArchiveError> firstDamage;
    EntryWriter writer(work.resultFd());
    // A file whose data cannot be read is left out and the rest extracted;
    // where the reader cannot go on after it (a ZIP's inflate failing ends
    // libarchive's reading), it is opened again and goes on after that entry.
    std::size_t doneBefore = 0;
    for (int reopenings = 0;; ++reopenings) {
      std::unique_ptr<InputFile> input = InputFile::open(volumes);
      const std::unique_ptr<ReaderInput> source =
          ReaderInput::open(*input, volumes.namePath(), stopper.flag(), {});
      readers_internal::ArchiveReader owner = newReader(source->isDebianPackage(), check.mReadsRaw);
      if (!owner) throw ArchiveError::cannotRead("");
      struct archive* reader = owner.get();
      if (password) archive_read_add_passphrase(reader, password->c_str());
      source->attach(reader);
      // Every failure of the reader once the task is cancelled is the cancel.
      const auto failure = [&] {
        stopper.throwIfCancelled();
        return readers_internal::readerError(reader, *input, source->isDebianPackage());
      };
      // A compressed file's one file of unknown size: the input read so far.
      const std::int64_t inputSize = input->size();
      const auto done = [&](std::size_t entries) {
        if (totalBytes > 0) return reporter.report(written, totalBytes);
        if (check.isSingleFile())
          return reporter.report(archive_filter_bytes(reader, -1), inputSize);
        reporter.report(static_cast<std::int64_t>(entries), totalEntries);
      };
      if (archive_read_open1(reader) != ARCHIVE_OK) throw failure();

      bool readsOn = true;  // false: the reader cannot go on after a damaged entry
      for (std::size_t ordinal = 0; readsOn;) {
        archive_entry* entry = nullptr;
        const HeaderRead read =
            readers_internal::headerReadOf(archive_read_next_header(reader, &entry));
        if (read == HeaderRead::end) break;
        if (read == HeaderRead::failure) throw failure();
        // Counted as the check counted them.
        if (entry == nullptr || read == HeaderRead::retry) continue;
        // The archive changed since it was checked: nothing unchecked is written.
        if (ordinal >= steps.size()) throw ArchiveError::cannotRead("");
        const Step& step = steps[ordinal++];
        if (ordinal <= doneBefore) continue;  // done before it was opened again
        doneBefore = ordinal;
        switch (step.action) {
          case Step::Action::skip:
            break;
          case Step::Action::folder:
            writer.folder(step.path, step.permissions, step.modified);
            break;
          case Step::Action::symlink:
            writer.symlink(step.path, step.target);
            break;
          case Step::Action::hardLink:
            if (std::find(extracted.damaged.begin(), extracted.damaged.end(), step.target) !=
                extracted.damaged.end()) {
              break;  // its file was not extracted
            }
            if (step.linksNow) {
              writer.hardLinkNow(step.path, step.target);
            } else {
              writer.hardLink(step.path, step.target);
            }
            break;
          case Step::Action::file: {
            UniqueFd file = writer.createFile(step.path, step.permissions);
            // The free-space check counted the listed size; data inflating
            // past it (a ZIP whose headers understate it) would otherwise be
            // written until the disk is full before the reader objects.
            const bool isSized = archive_entry_size_is_set(entry) != 0;
            const la_int64_t listedSize = isSized ? archive_entry_size(entry) : 0;
            off_t end = 0;
            std::optional<ArchiveError> damage;
            for (;;) {
              const void* block = nullptr;
              size_t size = 0;
              la_int64_t offset = 0;
              const int result = archive_read_data_block(reader, &block, &size, &offset);
              if (result == ARCHIVE_EOF) break;
              // A checksum that does not match is a warning to libarchive,
              // and data that is not what was stored to the user.
              if (result != ARCHIVE_OK && (result != ARCHIVE_WARN || hasBadChecksum(reader))) {
                ArchiveError error = failure();
                // A password missing or wrong is no damage of one file.
                if (error.kind() != ArchiveError::Kind::failed) throw error;
                damage = std::move(error);
                readsOn = result != ARCHIVE_FATAL;
                break;
              }
              if (isSized && (offset < 0 || offset > listedSize ||
                              static_cast<la_int64_t>(size) > listedSize - offset)) {
                damage = ArchiveError::cannotRead("“" + step.path +
                                                  "”的数据比压缩包记录的大小多，压缩包已损坏。");
                break;
              }
              if (!isSized) requireRoom(static_cast<std::int64_t>(size), step.path);
              writeAll(file.get(), static_cast<const char*>(block), size, offset, step.path);
              end =
                  std::max<off_t>(end, static_cast<off_t>(offset + static_cast<la_int64_t>(size)));
              written += static_cast<std::int64_t>(size);
              stopper.throwIfCancelled();
              done(ordinal);
            }
            if (damage) {
              // Nothing half-written stays.
              file.reset();
              writer.removeFile(step.path);
              extracted.damaged.push_back(step.path);
              if (!firstDamage) firstDamage = std::move(damage);
              break;
            }
            // A sparse file's hole at the end is written as its length.
            const off_t length = std::max<off_t>(end, static_cast<off_t>(listedSize));
            if (ftruncate(file.get(), length) != 0)
              throw ArchiveError::cannotWrite(step.path, errno);
            writer.closeFile(std::move(file), step.path, step.modified);
            ++extracted.files;
            break;
          }
        }
        stopper.throwIfCancelled();
        done(ordinal);
      }
      if (readsOn) break;
      // Each opening gets past one damaged file at least; past this many,
      // the archive is more damage than data.
      if (reopenings >= kMostReopenings) throw *firstDamage;
    }
    // Nothing readable: the archive's failure, as before anything is placed.
    if (firstDamage && extracted.files == 0) throw *firstDamage;
    writer.dropHardLinksTo(extracted.damaged);
    writer.finish();
    reporter.finish();
    return extracted;
  } catch (const std::bad_alloc&) {
    throw ArchiveError::outOfMemory();
  }
}

namespace {

// Found: one thing another archiver left in its output folder.
struct Found {
  std::string path;
  mode_t mode = 0;
  nlink_t links = 1;
  dev_t device = 0;
};

// openBeneath: the folder `path` (clean, relative) beneath `root`, walked
// one component at a time without following links.
UniqueFd openBeneath(int root, std::string_view path) {
  UniqueFd at(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::size_t start = 0;
  while (at && start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string part(path.substr(start, end - start));
    at = UniqueFd(openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = end + 1;
  }
  return at;
}

std::string joinedPath(std::string_view folder, std::string_view name) {
  return folder.empty() ? std::string(name) : std::string(folder) + "/" + std::string(name);
}

// copyFile: the data of `source` into the new file `target`.
void copyFile(int source, int target, std::string_view path, const Stopper& stopper) {
  std::vector<char> buffer(kCopyBuffer);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = read(source, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ArchiveError::cannotWrite(path, errno);
    if (got == 0) return;
    writeAll(target, buffer.data(), static_cast<std::size_t>(got), offset, path);
    offset += got;
    stopper.throwIfCancelled();
  }
}

}  // namespace

ArchiveExtractor::Check ArchiveExtractor::adopt(const fs::path& output, WorkFolder& work,
                                                const std::shared_ptr<TaskHandle>& task) {
  const Stopper stopper(task);
  try {
    const UniqueFd root(open(output.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) throw ArchiveError::cannotWrite(output.string(), errno);
    struct stat rootInfo {};
    if (fstat(root.get(), &rootInfo) != 0) throw ArchiveError::cannotWrite(output.string(), errno);

    // What is there, breadth first, read from the folders themselves.
    std::vector<Found> found;
    auto plan = std::make_shared<ExtractionPlan>();
    std::deque<std::string> folders{""};
    while (!folders.empty()) {
      stopper.throwIfCancelled();
      const std::string folder = std::move(folders.front());
      folders.pop_front();
      UniqueFd fd = openBeneath(root.get(), folder);
      DIR* directory = fd ? fdopendir(fd.get()) : nullptr;
      if (directory == nullptr)
        throw ArchiveError::cannotWrite(joinedPath(output.string(), folder), errno);
      (void)fd.release();
      const std::unique_ptr<DIR, int (*)(DIR*)> owner(directory, &closedir);
      while (const dirent* item = readdir(directory)) {
        const std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        if (fstatat(dirfd(directory), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (found.size() >= static_cast<std::size_t>(ExtensionArchive::kMaxNodes)) {
          throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::entries);
        }
        PlannedEntry entry{
            .path = joinedPath(folder, name),
            .size = static_cast<std::int64_t>(info.st_size),
            .permissions = static_cast<unsigned>(info.st_mode) & 07777,
            .modified = std::chrono::sys_seconds(std::chrono::seconds(info.st_mtime))};
        if (S_ISDIR(info.st_mode)) {
          entry.kind = EntryKind::folder;
          folders.push_back(entry.path);
        } else if (S_ISREG(info.st_mode)) {
          entry.kind = EntryKind::file;
        } else if (S_ISLNK(info.st_mode)) {
          entry.kind = EntryKind::symlink;
          std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
          const ssize_t length =
              readlinkat(dirfd(directory), item->d_name, target.data(), target.size());
          if (length < 0 || static_cast<std::size_t>(length) >= target.size()) continue;
          target.resize(static_cast<std::size_t>(length));
          entry.target = std::move(target);
        } else {
          entry.kind = EntryKind::special;
        }
        found.push_back(Found{.path = entry.path,
                              .mode = info.st_mode,
                              .links = info.st_nlink,
                              .device = info.st_dev});
        plan->add(std::move(entry));
      }
    }
    plan->decide();

    // Files move by name when they can; the judgement holds because no one
    // else can change the output folder.
    EntryWriter writer(work.resultFd());
    EntryWriter source(root.get());
    const std::vector<Step>& steps = plan->steps();
    for (std::size_t i = 0; i < steps.size(); ++i) {
      stopper.throwIfCancelled();
      const Step& step = steps[i];
      switch (step.action) {
        case Step::Action::skip:
          break;
        case Step::Action::folder:
          writer.folder(step.path, step.permissions, step.modified);
          break;
        case Step::Action::symlink:
          writer.symlink(step.path, step.target);
          break;
        case Step::Action::hardLink:
          break;  // a folder holds no hard link entries
        case Step::Action::file: {
          std::string_view fromLeaf;
          const int fromFolder = source.parentOf(step.path, fromLeaf);
          const std::string from(fromLeaf);
          // A file with other names, or on another file system, is copied.
          bool moved = false;
          if (found[i].links == 1 && found[i].device == rootInfo.st_dev) {
            std::string_view toLeaf;
            const int toFolder = writer.parentOf(step.path, toLeaf);
            const std::string to(toLeaf);
            moved =
                renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0;
            if (moved) {
              const UniqueFd file(openat(toFolder, to.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
              // The archiver's mode, as files made here get it: no set-id
              // or sticky bits, the umask taken off.
              if (!file || fchmod(file.get(),
                                  found[i].mode & 0777 & ~extraction_internal::userUmask()) != 0) {
                throw ArchiveError::cannotWrite(step.path, errno);
              }
            } else if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) {
              throw ArchiveError::cannotWrite(step.path, errno);
            }
          }
          if (!moved) {
            const UniqueFd data(
                openat(fromFolder, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!data) throw ArchiveError::cannotWrite(step.path, errno);
            UniqueFd copy = writer.createFile(step.path, step.permissions);
            copyFile(data.get(), copy.get(), step.path, stopper);
            writer.closeFile(std::move(copy), step.path, step.modified);
          }
          break;
        }
      }
    }
    writer.finish();
    Check check;
    check.mPlan = std::move(plan);
    return check;
  } catch (const std::bad_alloc&) {
    throw ArchiveError::outOfMemory();
  }
}

}  // namespace vexel
