#include "extraction/archive_extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "internal/check_source.h"
#include "internal/entry_writer.h"
#include "internal/extraction_plan.h"
#include "internal/stopper.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/file_range.h"
#include "readers/internal/input_file.h"
#include "readers/internal/libarchive_codes.h"
#include "readers/internal/libarchive_reader.h"
#include "readers/internal/listing_worker.h"
#include "readers/internal/reader_input.h"
#include "readers/internal/volume_set.h"
#include "readers/internal/xz_index.h"
#include "text/utf8.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using extraction_internal::baseFormat;
using extraction_internal::CheckData;
using extraction_internal::Counter;
using extraction_internal::EntryKind;
using extraction_internal::EntryWriter;
using extraction_internal::ExtractionPlan;
using extraction_internal::kCopyBuffer;
using extraction_internal::newReader;
using extraction_internal::PlannedEntry;
using extraction_internal::Step;
using extraction_internal::Stopper;
using readers_internal::HeaderRead;
using readers_internal::InputFile;
using readers_internal::ReaderInput;
using readers_internal::SourceEnd;

constexpr auto kStopGrace = std::chrono::milliseconds(100);
// The check's default bounds are the importer's.
static_assert(ArchiveExtractor::CheckBounds{}.maxEntries == ExtensionArchive::kMaxNodes);
static_assert(ArchiveExtractor::CheckBounds{}.maxNameBytes == ExtensionArchive::kMaxNameBytes);
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
          extraction_internal::makeCheckSource(volumes.namePath(), InputFile::open(volumes),
                                               password, data, readsRaw),
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

namespace {

// ExtractionPass: one extraction of checked steps into a work folder, over
// as many openings of the archive as its damage needs.
class ExtractionPass {
 public:
  ExtractionPass(const std::vector<Step>& steps, const ArchiveExtractor::Check& check,
                 bool readsRaw, WorkFolder& work, const Stopper& stopper, Reporter& reporter)
      : mSteps(steps),
        mCheck(check),
        mReadsRaw(readsRaw),
        mWork(work),
        mStopper(stopper),
        mReporter(reporter),
        mTotalBytes(check.fileBytes()),
        mWriter(work.resultFd()) {
    // Data no header sizes (a .gz of one file) is bounded by the free space
    // as it is written, and stops before the disk is full: less than a look's
    // worth is written between two looks, and the reserve is more.
    const std::optional<std::int64_t> freeAtStart = work.freeBytes();
    mReserve = freeAtStart ? std::clamp(*freeAtStart / 20, kLeastReserve, kMostReserve) : 0;
  }

  ArchiveExtractor::Extracted run(const readers_internal::VolumeSet& volumes,
                                  const std::optional<std::string>& password) {
    // A file whose data cannot be read is left out and the rest extracted;
    // where the reader cannot go on after it (a ZIP's inflate failing ends
    // libarchive's reading), it is opened again and goes on after that entry.
    for (int reopenings = 0;; ++reopenings) {
      if (readOnce(volumes, password)) break;
      // Each opening gets past one damaged file at least; past this many,
      // the archive is more damage than data.
      if (reopenings >= kMostReopenings) throw *mFirstDamage;
    }
    // Nothing readable: the archive's failure, as before anything is placed.
    if (mFirstDamage && mExtracted.files == 0) throw *mFirstDamage;
    mWriter.dropHardLinksTo(mExtracted.damaged);
    mWriter.finish();
    mReporter.finish();
    return std::move(mExtracted);
  }

 private:
  // readOnce: one opening of the archive, from the entry after the last one
  // done; false when the reader cannot go on after a damaged entry.
  bool readOnce(const readers_internal::VolumeSet& volumes,
                const std::optional<std::string>& password) {
    std::unique_ptr<InputFile> input = InputFile::open(volumes);
    const std::unique_ptr<ReaderInput> source =
        ReaderInput::open(*input, volumes.namePath(), mStopper.flag(), {});
    readers_internal::ArchiveReader owner = newReader(source->isDebianPackage(), mReadsRaw);
    if (!owner) throw ArchiveError::cannotRead("");
    mReader = owner.get();
    if (password) archive_read_add_passphrase(mReader, password->c_str());
    source->attach(mReader);
    // Every failure of the reader once the task is cancelled is the cancel.
    mFailure = [&] {
      mStopper.throwIfCancelled();
      return readers_internal::readerError(mReader, *input, source->isDebianPackage());
    };
    mInputSize = input->size();
    if (archive_read_open1(mReader) != ARCHIVE_OK) throw mFailure();

    bool readsOn = true;
    for (std::size_t ordinal = 0; readsOn;) {
      archive_entry* entry = nullptr;
      const HeaderRead read =
          readers_internal::headerReadOf(archive_read_next_header(mReader, &entry));
      if (read == HeaderRead::end) break;
      if (read == HeaderRead::failure) throw mFailure();
      // Counted as the check counted them.
      if (entry == nullptr || read == HeaderRead::retry) continue;
      // The archive changed since it was checked: nothing unchecked is written.
      if (ordinal >= mSteps.size()) throw ArchiveError::cannotRead("");
      const Step& step = mSteps[ordinal++];
      if (ordinal <= mDoneBefore) continue;  // done before it was opened again
      mDoneBefore = ordinal;
      readsOn = place(step, entry, ordinal);
      mStopper.throwIfCancelled();
      done(ordinal);
    }
    return readsOn;
  }

  // place: what `step` makes of the entry just read; false when the reader
  // cannot go on after it.
  bool place(const Step& step, archive_entry* entry, std::size_t ordinal) {
    switch (step.action) {
      case Step::Action::skip:
        break;
      case Step::Action::folder:
        mWriter.folder(step.path, step.permissions, step.modified);
        break;
      case Step::Action::symlink:
        mWriter.symlink(step.path, step.target);
        break;
      case Step::Action::hardLink:
        if (std::find(mExtracted.damaged.begin(), mExtracted.damaged.end(), step.target) !=
            mExtracted.damaged.end()) {
          break;  // its file was not extracted
        }
        if (step.linksNow) {
          mWriter.hardLinkNow(step.path, step.target);
        } else {
          mWriter.hardLink(step.path, step.target);
        }
        break;
      case Step::Action::file:
        return writeFile(step, entry, ordinal);
    }
    return true;
  }

  // writeFile: the entry's data into a new file; a file whose data cannot
  // be read is removed and counted as damaged.
  bool writeFile(const Step& step, archive_entry* entry, std::size_t ordinal) {
    UniqueFd file = mWriter.createFile(step.path, step.permissions);
    // The free-space check counted the listed size; data inflating
    // past it (a ZIP whose headers understate it) would otherwise be
    // written until the disk is full before the reader objects.
    const bool isSized = archive_entry_size_is_set(entry) != 0;
    const la_int64_t listedSize = isSized ? archive_entry_size(entry) : 0;
    off_t end = 0;
    std::optional<ArchiveError> damage;
    bool readsOn = true;
    for (;;) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int result = archive_read_data_block(mReader, &block, &size, &offset);
      if (result == ARCHIVE_EOF) break;
      // A checksum that does not match is a warning to libarchive,
      // and data that is not what was stored to the user.
      if (result != ARCHIVE_OK &&
          (result != ARCHIVE_WARN || extraction_internal::hasBadChecksum(mReader))) {
        ArchiveError error = mFailure();
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
      extraction_internal::writeAllAt(file.get(), static_cast<const char*>(block), size, offset,
                                      step.path);
      end = std::max<off_t>(end, static_cast<off_t>(offset + static_cast<la_int64_t>(size)));
      mWritten += static_cast<std::int64_t>(size);
      mStopper.throwIfCancelled();
      done(ordinal);
    }
    if (damage) {
      // Nothing half-written stays.
      file.reset();
      mWriter.removeFile(step.path);
      mExtracted.damaged.push_back(step.path);
      if (!mFirstDamage) mFirstDamage = std::move(damage);
      return readsOn;
    }
    // A sparse file's hole at the end is written as its length.
    const off_t length = std::max<off_t>(end, static_cast<off_t>(listedSize));
    if (ftruncate(file.get(), length) != 0) throw ArchiveError::cannotWrite(step.path, errno);
    mWriter.closeFile(std::move(file), step.path, step.modified);
    ++mExtracted.files;
    return true;
  }

  void requireRoom(std::int64_t bytes, std::string_view path) {
    mSinceLook += bytes;
    if (mSinceLook < kSpaceLookEvery - static_cast<std::int64_t>(kCopyBuffer)) return;
    mSinceLook = 0;
    const std::optional<std::int64_t> free = mWork.freeBytes();
    const std::int64_t listedToCome = std::max<std::int64_t>(0, mTotalBytes - mWritten);
    if (free && *free - listedToCome - kSpaceLookEvery < mReserve)
      throw ArchiveError::cannotWrite(path, ENOSPC);
  }

  // done: progress: the data written of what the files hold, and the
  // entries done where they hold nothing.
  void done(std::size_t entries) {
    if (mTotalBytes > 0) return mReporter.report(mWritten, mTotalBytes);
    // A compressed file's one file of unknown size: the input read so far.
    if (mCheck.isSingleFile())
      return mReporter.report(archive_filter_bytes(mReader, -1), mInputSize);
    mReporter.report(static_cast<std::int64_t>(entries), static_cast<std::int64_t>(mSteps.size()));
  }

  const std::vector<Step>& mSteps;
  const ArchiveExtractor::Check& mCheck;
  bool mReadsRaw;
  WorkFolder& mWork;
  const Stopper& mStopper;
  Reporter& mReporter;
  std::int64_t mTotalBytes;
  std::int64_t mReserve = 0;
  std::int64_t mSinceLook = kSpaceLookEvery;  // the first block looks at once
  std::int64_t mWritten = 0;
  EntryWriter mWriter;
  ArchiveExtractor::Extracted mExtracted;
  std::optional<ArchiveError> mFirstDamage;
  std::size_t mDoneBefore = 0;
  // The current opening's reader (owned by readOnce) and its failure.
  archive* mReader = nullptr;
  std::function<ArchiveError()> mFailure;
  std::int64_t mInputSize = 0;
};

}  // namespace

ArchiveExtractor::Extracted ArchiveExtractor::extract(const fs::path& archive, const Check& check,
                                                      WorkFolder& work,
                                                      const std::optional<std::string>& password,
                                                      const std::shared_ptr<TaskHandle>& task,
                                                      const Progress& progress) {
  if (!check.mPlan) throw ArchiveError::cannotRead("");
  const Stopper stopper(task);
  stopper.throwIfCancelled();
  Reporter reporter(progress);
  try {
    const readers_internal::VolumeSet volumes = readers_internal::VolumeSet::find(archive);
    const readers_internal::Utf8ThreadLocale utf8Names;
    ExtractionPass pass(check.mPlan->steps(), check, check.mReadsRaw, work, stopper, reporter);
    return pass.run(volumes, password);
  } catch (const std::bad_alloc&) {
    throw ArchiveError::outOfMemory();
  }
}

}  // namespace vexel
