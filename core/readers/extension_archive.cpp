#include "readers/extension_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "internal/built_in_filters.h"
#include "internal/entry_names.h"
#include "internal/input_file.h"
#include "internal/libarchive_codes.h"
#include "internal/libarchive_reader.h"
#include "internal/lister_process.h"
#include "internal/listing_worker.h"
#include "internal/name_decoding.h"
#include "internal/volume_set.h"
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

}  // namespace readers_internal

namespace {

using readers_internal::ArchiveReader;
using readers_internal::Collected;
using readers_internal::deadlineAfter;
using readers_internal::HeaderRead;
using readers_internal::HeaderSink;
using readers_internal::InputFile;
using readers_internal::ListingBounds;
using readers_internal::ReaderFacts;
using readers_internal::ReaderInput;
using readers_internal::SourceEnd;
using readers_internal::SourceMaker;
using readers_internal::SourceResult;
using readers_internal::Utf8ThreadLocale;
using readers_internal::VolumeSet;

// How long a listing's worker may take to stop once told, before it is left
// behind inside libarchive.
constexpr std::chrono::milliseconds kStopGrace{100};
// The tree build shares the listing's deadline, but entries read just before
// it still get this long to reach the tree.
constexpr std::chrono::milliseconds kTreeGrace{150};

// graceAfter: `kTreeGrace` after `time`, saturating at the clock's end.
std::chrono::steady_clock::time_point graceAfter(std::chrono::steady_clock::time_point time) {
  using TimePoint = std::chrono::steady_clock::time_point;
  if (time > TimePoint::max() - kTreeGrace) return TimePoint::max();
  return time + kTreeGrace;
}

// The type key and the filter key of what the worker saw ("" and none
// before it saw anything).
std::string typeKey(const ReaderFacts& facts) {
  if (!facts.isKnown) return "";
  return readers_internal::typeKeyOfFormat(facts.formatCode, facts.filterCode);
}

std::optional<std::string_view> filterKey(const ReaderFacts& facts) {
  if (!facts.isKnown) return std::nullopt;
  return readers_internal::filterKeyOfFilter(facts.filterCode);
}

bool isRawFormat(const ReaderFacts& facts) {
  return facts.isKnown && (facts.formatCode & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW;
}

// describeEntry: the header's facts besides its name, into `raw`. An exact
// time the archive keeps beside libarchive's (a ZIP's NTFS field, where
// libarchive reports the DOS time in the local time zone) wins.
void describeEntry(archive_entry* entry, const std::optional<std::int64_t>& exactModified,
                   RawEntry& raw) {
  raw.isDir = archive_entry_filetype(entry) == AE_IFDIR;
  raw.size = archive_entry_size_is_set(entry) != 0 ? archive_entry_size(entry) : 0;
  raw.modified.reset();
  if (exactModified) {
    raw.modified = std::chrono::sys_seconds(std::chrono::seconds(*exactModified));
  } else if (archive_entry_mtime_is_set(entry) != 0) {
    raw.modified = std::chrono::sys_seconds(std::chrono::seconds(archive_entry_mtime(entry)));
  }
  raw.encrypted = archive_entry_is_encrypted(entry) != 0;
}

// renameLegacyNames: the names left open, decided together. `held` holds
// the entries from number `firstHeld` on, the first open one among them. A
// name recorded for an entry the listing did not keep (it stopped there)
// has no entry to rename.
void renameLegacyNames(readers_internal::NameDecoder& names, std::size_t firstHeld,
                       std::vector<RawEntry>& held,
                       const std::function<bool(std::string_view)>& isListedBefore) {
  std::unordered_set<std::string_view> listed;
  listed.reserve(held.size());
  for (const RawEntry& raw : held) listed.insert(raw.path);
  const auto isListed = [&](std::string_view text) {
    return listed.contains(text) || (isListedBefore && isListedBefore(text));
  };
  std::vector<readers_internal::Rename> renames = names.finish(isListed);
  listed.clear();
  for (readers_internal::Rename& rename : renames) {
    const std::size_t index = rename.position - firstHeld;
    if (rename.position >= firstHeld && index < held.size())
      held[index].path = std::move(rename.name);
  }
}

// ObserverRemoval: takes the read observer off the file on every path out
// of the header loop, before the reader it looks at is freed.
struct ObserverRemoval {
  InputFile& input;
  ~ObserverRemoval() { input.setReadObserver({}); }
};

// LibarchiveSource: the header loop, run on the listing's worker thread or
// in a lister. It owns the open file; the reader is made, used and freed on
// that thread.
class LibarchiveSource final : public readers_internal::HeaderSource {
 public:
  LibarchiveSource(std::filesystem::path file, std::unique_ptr<InputFile> input,
                   ReaderInput::Options options)
      : mFile(std::move(file)), mInput(std::move(input)), mOptions(std::move(options)) {}

  SourceResult read(HeaderSink& sink) override {
    // Before the reader exists: libarchive settles its name charset from the
    // thread's locale on first use. Declared first, so it is restored last.
    const Utf8ThreadLocale utf8Names;
    // A Debian package lists the files of its data member, a tar; .xz data
    // of several blocks is decompressed only where libarchive reads.
    mReaderInput = ReaderInput::open(*mInput, mFile, sink.stopFlag(), mOptions);
    ArchiveReader owner = readers_internal::newArchiveReader(mReaderInput->isDebianPackage());
    if (!owner) return failure(ArchiveError::cannotRead(""));
    archive* reader = owner.get();

    mReaderInput->attach(reader);
    // The type as soon as libarchive has chosen a format (it sets the format
    // code when it starts on the first header), not only once that header
    // is whole: a huge ZIP central directory on a busy machine can take
    // longer than the time limit, and the listing still says "ZIP".
    bool isFormatSaid = false;
    mInput->setReadObserver([&] {
      if (isFormatSaid || archive_format(reader) == 0) return;
      isFormatSaid = true;
      sink.setFacts(ReaderFacts{.formatCode = archive_format(reader),
                                .filterCode = mReaderInput->filterCode(reader),
                                .isKnown = true,
                                .isDebianPackage = mReaderInput->isDebianPackage()});
    });
    const ObserverRemoval removeObserver{*mInput};
    if (archive_read_open1(reader) != ARCHIVE_OK) return failed(reader, sink, nullptr);

    bool factsKnown = false;
    readers_internal::EntryNames names(*mInput, mFile, utf8Names.isActive());
    if (mReaderInput->readsXzBlocks()) names.ignoreZipDirectory();
    readers_internal::EntryNames::StoredNameView stored;
    // One entry, refilled for each header: its name keeps its buffer, and
    // the sink copies what it keeps.
    RawEntry listed;
    for (;;) {
      archive_entry* entry = nullptr;
      const HeaderRead read =
          readers_internal::headerReadOf(archive_read_next_header(reader, &entry));
      if (!factsKnown) {
        // The format is settled by the first header read, whatever its result.
        sink.setFacts(ReaderFacts{.formatCode = archive_format(reader),
                                  .filterCode = mReaderInput->filterCode(reader),
                                  .isKnown = true,
                                  .isDebianPackage = mReaderInput->isDebianPackage()});
        mDecoder.emplace(readers_internal::EntryNames::rulesFor(reader));
        factsKnown = true;
      }
      if (read == HeaderRead::end) return finished(SourceResult{.end = SourceEnd::end});
      if (read == HeaderRead::failure) return finished(failed(reader, sink, entry));
      // A header libarchive could not read whole (a link whose target cannot
      // be decoded) is passed over as bsdtar does, keeping its name when it
      // has one; a run of them that does not end is the archive's end.
      if (read == HeaderRead::entry && entry != nullptr) {
        mFailedInRow = 0;
      } else {
        mHasSkipped = true;
        if (++mFailedInRow > kMaxFailedInRow) return finished(failed(reader, sink, entry));
      }
      if (entry != nullptr && read != HeaderRead::retry) {
        const std::size_t ordinal = mHeaders++;
        if (names.readView(reader, entry, ordinal, read == HeaderRead::damaged, stored)) {
          const auto step = mDecoder->name(stored.bytes, stored.origin, mListed, listed.path);
          // From the first name left open on, entries may be renamed once
          // every name is known, so the caller holds them, until the names
          // turn out to be final after all.
          if (step == readers_internal::NameDecoder::Step::hold) {
            mFirstHeld = mListed;
            sink.holdFromHere();
          } else if (step == readers_internal::NameDecoder::Step::release) {
            sink.releaseHeld();
          }
          describeEntry(entry, names.exactModified(), listed);
          if (!sink.add(listed)) return finished(SourceResult{.end = SourceEnd::stopped});
          ++mListed;
        }
      }
      // After every header, named or not: a flood of unnamed headers is
      // stopped like any other.
      if (sink.shouldStop()) return finished(SourceResult{.end = SourceEnd::stopped});
    }
  }

 private:
  // A run of this many failed headers in a row ends the listing.
  static constexpr std::size_t kMaxFailedInRow = 64;

  static SourceResult failure(ArchiveError error) {
    return SourceResult{.end = SourceEnd::failure, .error = std::move(error)};
  }

  // A read that failed because the listing was stopped is a stop, not a
  // fault of the archive. An encrypted ZIP central directory fails without
  // a message, before any entry.
  SourceResult failed(archive* reader, const HeaderSink& sink, archive_entry* entry) const {
    if (sink.shouldStop()) return SourceResult{.end = SourceEnd::stopped};
    if (mListed == 0 && entry != nullptr && archive_entry_is_metadata_encrypted(entry) != 0) {
      return failure(ArchiveError::passwordRequired());
    }
    // A package whose data member is no tar is a damaged package.
    return failure(readers_internal::readerError(reader, *mInput,
                                                 mReaderInput && mReaderInput->isDebianPackage()));
  }

  // finished: `result` with the names left open, which the caller decides
  // once it has every entry from the first open one on.
  SourceResult finished(SourceResult result) {
    result.hasSkipped = mHasSkipped;
    if (!mDecoder || !mDecoder->hasOpenNames()) return result;
    result.finish = [names = std::make_shared<readers_internal::NameDecoder>(std::move(*mDecoder)),
                     firstHeld = mFirstHeld](
                        std::vector<RawEntry>& held,
                        const std::function<bool(std::string_view)>& isListedBefore) {
      renameLegacyNames(*names, firstHeld, held, isListedBefore);
    };
    return result;
  }

  std::filesystem::path mFile;
  std::unique_ptr<InputFile> mInput;  // outlives the reader, whose free calls back into it
  ReaderInput::Options mOptions;
  std::unique_ptr<ReaderInput> mReaderInput;              // reads `mInput`; outlives the reader too
  std::size_t mListed = 0;                                // entries handed over
  std::size_t mHeaders = 0;                               // headers read
  std::size_t mFirstHeld = 0;                             // the entry with the first open name
  std::size_t mFailedInRow = 0;                           // failed headers since the last good one
  bool mHasSkipped = false;                               // some header was passed over
  std::optional<readers_internal::NameDecoder> mDecoder;  // made once the format is known
};

// TreeBuilding: grows the listing's tree from the entries as they arrive,
// holding back those whose names may still change.
class TreeBuilding final : public readers_internal::EntryConsumer {
 public:
  explicit TreeBuilding(TreeLimits limits) : mBuilder(std::move(limits)) {}

  bool take(RawEntry&& entry, bool isHeld) override {
    mHasEntries = true;
    if (isHeld) {
      mHeld.push_back(std::move(entry));
      return true;
    }
    // Entries held before come first: the source released them as they are.
    if (!mHeld.empty() && !placeHeld({})) return false;
    return mBuilder.add(std::move(entry));
  }

  // Held entries may be renamed before they are placed: no hint for them.
  void expect(std::string_view path) override {
    if (mHeld.empty()) mBuilder.expect(path);
  }

  // hasEntries: some named entry arrived.
  [[nodiscard]] bool hasEntries() const noexcept { return mHasEntries; }

  // placeHeld: renames the held entries with `finish` (when the source left
  // one) and places them; false when the tree took no more.
  bool placeHeld(const readers_internal::FinishEntries& finish) {
    if (mHeld.empty()) return true;
    if (finish) finish(mHeld, [this](std::string_view path) { return mBuilder.hasEntry(path); });
    bool isPlaced = true;
    for (RawEntry& entry : mHeld) {
      if (!mBuilder.add(std::move(entry))) {
        isPlaced = false;
        break;
      }
    }
    mHeld = {};
    return isPlaced;
  }

  [[nodiscard]] std::shared_ptr<const ArchiveTree> finish(ArchiveProperties properties) {
    return mBuilder.finish(std::move(properties));
  }

 private:
  ArchiveTreeBuilder mBuilder;
  std::vector<RawEntry> mHeld;
  bool mHasEntries = false;
};

}  // namespace

std::unique_ptr<readers_internal::HeaderSource> readers_internal::makeLibarchiveSource(
    std::filesystem::path file, std::unique_ptr<InputFile> input, ReaderInput::Options options) {
  return std::make_unique<LibarchiveSource>(std::move(file), std::move(input), std::move(options));
}

namespace {

using ExtensionCutoff = ExtensionArchive::Cutoff;

// makeDefaultSource: the header loop with the default options, as a plain
// function a lister can call.
std::unique_ptr<readers_internal::HeaderSource> makeDefaultSource(
    std::filesystem::path file, std::unique_ptr<InputFile> input) {
  return readers_internal::makeLibarchiveSource(std::move(file), std::move(input));
}

// Collect: how a listing gathers its entries into `building`: on a worker
// thread, or in a lister process.
using Collect = std::function<Collected(const readers_internal::VolumeSet& volumes,
                                        std::unique_ptr<InputFile> input,
                                        const ListingBounds& bounds, TreeBuilding& building)>;

// hasHole: a volume of the set between the others is missing.
bool hasHole(const readers_internal::VolumeSet& volumes) {
  return std::any_of(volumes.volumes().begin(), volumes.volumes().end(),
                     [](const readers_internal::Volume& volume) { return !volume.isPresent; });
}

// cutoffOf: why the listing did not reach the end of the archive. A set
// with a volume missing is never complete, even when its headers lie
// beyond the hole (a 7z header in the last volume). Headers passed over
// leave it incomplete too.
ExtensionCutoff cutoffOf(const Collected& collected, const readers_internal::VolumeSet& volumes,
                         bool isTreeComplete) {
  switch (collected.end) {
    case SourceEnd::stopped:
      return ExtensionCutoff::limits;
    case SourceEnd::failure:
      return hasHole(volumes) ? ExtensionCutoff::missingVolume : ExtensionCutoff::damage;
    case SourceEnd::end:
      break;
  }
  if (!isTreeComplete) return ExtensionCutoff::limits;
  if (volumes.seemsIncomplete()) return ExtensionCutoff::missingVolume;
  // Headers that could not be read were passed over: entries may be missing.
  if (collected.hasSkipped) return ExtensionCutoff::damage;
  return ExtensionCutoff::none;
}

ExtensionArchive::Listing listWith(const std::filesystem::path& file, double timeLimit,
                                   const ExtensionArchive::Clock& clock, std::size_t memoryBudget,
                                   const Collect& collect) {
  const ExtensionArchive::Clock now =
      clock ? clock : ExtensionArchive::Clock([] { return std::chrono::steady_clock::now(); });
  try {
    // A volume of a split archive stands for the whole set.
    const readers_internal::VolumeSet volumes = readers_internal::VolumeSet::find(file);
    std::unique_ptr<InputFile> input = InputFile::open(volumes);
    const std::int64_t fileSize = input->size();
    // The limit counts from the moment the file is open.
    const auto deadline = deadlineAfter(now(), timeLimit);
    const ListingBounds bounds{
        .clock = now,
        .deadline = deadline,
        .maxEntries = static_cast<std::size_t>(ExtensionArchive::kMaxNodes),
        .maxNameBytes = static_cast<std::size_t>(ExtensionArchive::kMaxNameBytes),
        .stopGrace = kStopGrace,
        .memoryBudget = memoryBudget,
    };
    // The tree grows on this thread while the worker reads headers. It
    // counts against the same deadline, and against the node budget: a few
    // thousand deep paths can make millions of folders. Entries read just
    // before the deadline still get a short grace, from the moment the tree
    // first sees it passed.
    std::optional<std::chrono::steady_clock::time_point> lateSince;
    const auto isTreeLate = [&] {
      const auto time = now();
      if (time <= deadline) return false;
      if (!lateSince) lateSince = time;
      return time > graceAfter(*lateSince);
    };
    TreeBuilding building(
        TreeLimits{.maxNodes = ExtensionArchive::kMaxNodes, .shouldStop = isTreeLate});
    Collected collected = collect(volumes, std::move(input), bounds, building);

    // Nothing listed and the first read failed: the archive cannot be read
    // at all. Otherwise the entries so far are worth showing (a truncated
    // download, a damaged tail), marked as incomplete. Bounds that stop the
    // listing before any named entry leave it empty and incomplete: no error.
    if (collected.end == SourceEnd::failure && !building.hasEntries()) throw *collected.error;

    // An uncompressed file that only the raw format accepted is no archive.
    const ReaderFacts& facts = collected.facts;
    if (isRawFormat(facts) && facts.filterCode == ARCHIVE_FILTER_NONE)
      throw ArchiveError::notArchive();

    // A split archive is named by the format inside; "分卷" (the key
    // "split") where that has no name. A Debian package is one, whatever
    // compresses its files.
    std::string key = facts.isDebianPackage ? "deb" : typeKey(facts);
    if (key.empty() && volumes.isSplit()) key = "split";

    // Entries held for the legacy names join the tree once those are decided.
    (void)building.placeHeld(collected.finish);

    ArchiveProperties properties;
    properties.type = key;
    properties.physicalSize = fileSize;
    properties.volumes = static_cast<std::int64_t>(volumes.volumes().size());
    properties.isMultiVolume = properties.volumes > 1;

    std::string typeName = displayNameOfType(key);
    if (!isRawFormat(facts) && !facts.isDebianPackage) {
      if (const auto filter = filterKey(facts)) typeName += " + " + displayNameOfType(*filter);
    }

    std::shared_ptr<const ArchiveTree> tree = building.finish(std::move(properties));
    const ExtensionCutoff cutoff = cutoffOf(collected, volumes, tree->isComplete());
    return ExtensionArchive::Listing{.tree = std::move(tree),
                                     .typeName = std::move(typeName),
                                     .fileSize = fileSize,
                                     .complete = cutoff == ExtensionCutoff::none,
                                     .cutoff = cutoff};
  } catch (const std::bad_alloc&) {
    throw ArchiveError::outOfMemory();
  }
}

}  // namespace

ExtensionArchive::Listing readers_internal::listWithSource(const std::filesystem::path& file,
                                                           double timeLimit,
                                                           const ExtensionArchive::Clock& clock,
                                                           const SourceFactory& makeSource) {
  return listWith(file, timeLimit, clock, 0,
                  [&](const VolumeSet& volumes, std::unique_ptr<InputFile> input,
                      const ListingBounds& bounds, TreeBuilding& building) {
                    return collectEntries(makeSource(volumes.namePath(), std::move(input)), bounds,
                                          building);
                  });
}

ExtensionArchive::Listing readers_internal::listInLister(const std::filesystem::path& file,
                                                         double timeLimit, SourceMaker makeSource,
                                                         std::size_t memoryBudget) {
  return listWith(file, timeLimit, nullptr, memoryBudget,
                  [&](const VolumeSet& volumes, std::unique_ptr<InputFile> input,
                      const ListingBounds& bounds, TreeBuilding& building) {
                    // The lister opens the file again: what was opened here
                    // checked it and gave its size and the deadline.
                    if (auto collected = collectInLister(file, makeSource, bounds, building)) {
                      return std::move(*collected);
                    }
                    return collectEntries(makeSource(volumes.namePath(), std::move(input)), bounds,
                                          building);
                  });
}

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file,
                                                 double timeLimit) {
  return readers_internal::listInLister(file, timeLimit, &makeDefaultSource,
                                        static_cast<std::size_t>(kMaxListerGrowth));
}

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file,
                                                 double timeLimit, const Clock& clock) {
  return readers_internal::listWithSource(
      file, timeLimit, clock,
      [](const std::filesystem::path& path, std::unique_ptr<readers_internal::InputFile> input) {
        return readers_internal::makeLibarchiveSource(path, std::move(input));
      });
}

}  // namespace vexel
