#include "readers/extension_archive.h"

#include <archive.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "internal/input_file.h"
#include "internal/libarchive_codes.h"
#include "internal/listing_seams.h"
#include "internal/volume_set.h"
#include "model/archive_format.h"
#include "readers/archive_error.h"

namespace vexel {

namespace {

using readers_internal::Collected;
using readers_internal::deadlineAfter;
using readers_internal::InputFile;
using readers_internal::ListingBounds;
using readers_internal::ReaderFacts;
using readers_internal::SourceEnd;
using readers_internal::VolumeSet;

// How long a listing's worker may take to stop once told, before it is left
// behind inside libarchive.
constexpr std::chrono::milliseconds kListingStopGrace{100};
// The tree build shares the listing's deadline, but entries read just before
// it still get this long to reach the tree.
constexpr std::chrono::milliseconds kTreeGrace{150};

// graceAfter: `kTreeGrace` after `time`, saturating at the clock's end.
std::chrono::steady_clock::time_point graceAfter(std::chrono::steady_clock::time_point time) {
  using TimePoint = std::chrono::steady_clock::time_point;
  if (time > TimePoint::max() - kTreeGrace) return TimePoint::max();
  return time + kTreeGrace;
}

bool isRawFormat(const ReaderFacts& facts) {
  return facts.isKnown && (facts.formatCode & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW;
}

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

using ExtensionCutoff = ExtensionArchive::Cutoff;

// makeDefaultSource: the header loop with the default options, as a plain
// function a lister can call.
std::unique_ptr<readers_internal::HeaderSource> makeDefaultSource(
    std::filesystem::path file, std::unique_ptr<InputFile> input) {
  return readers_internal::makeLibarchiveSource(std::move(file), std::move(input));
}

// Collect: how a listing gathers its entries into `building` on its worker
// thread: with the process's memory watched, or (the test clock) without.
using Collect = std::function<Collected(const VolumeSet& volumes, std::unique_ptr<InputFile> input,
                                        const ListingBounds& bounds, TreeBuilding& building)>;

// hasHole: a volume of the set between the others is missing.
bool hasHole(const VolumeSet& volumes) {
  return std::any_of(volumes.volumes().begin(), volumes.volumes().end(),
                     [](const readers_internal::Volume& volume) { return !volume.isPresent; });
}

// cutoffOf: why the listing did not reach the end of the archive. A set
// with a volume missing is never complete, even when its headers lie
// beyond the hole (a 7z header in the last volume). Headers passed over
// leave it incomplete too.
ExtensionCutoff cutoffOf(const Collected& collected, const VolumeSet& volumes,
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

// listingBounds: the bounds of a listing's reads; the limit counts from now,
// the moment the file is open.
ListingBounds listingBounds(const ExtensionArchive::Clock& now, double timeLimit,
                            std::size_t memoryBudget) {
  return ListingBounds{
      .clock = now,
      .deadline = deadlineAfter(now(), timeLimit),
      .maxEntries = static_cast<std::size_t>(ExtensionArchive::kMaxNodes),
      .maxNameBytes = static_cast<std::size_t>(ExtensionArchive::kMaxNameBytes),
      .stopGrace = kListingStopGrace,
      .memoryBudget = memoryBudget,
  };
}

// TreeDeadline: when the tree build, which grows on the caller's thread
// while the headers are read, must stop. It counts against the listing's
// deadline (and the node budget: a few thousand deep paths can make
// millions of folders), but entries read just before the deadline still get
// a short grace, from the moment the tree first sees it passed.
class TreeDeadline {
 public:
  TreeDeadline(ExtensionArchive::Clock now, std::chrono::steady_clock::time_point deadline)
      : mNow(std::move(now)), mDeadline(deadline) {}

  [[nodiscard]] bool isPassed() {
    const auto time = mNow();
    if (time <= mDeadline) return false;
    if (!mLateSince) mLateSince = time;
    return time > graceAfter(*mLateSince);
  }

 private:
  ExtensionArchive::Clock mNow;
  std::chrono::steady_clock::time_point mDeadline;
  std::optional<std::chrono::steady_clock::time_point> mLateSince;
};

// rejectUnlistable: throws when what was collected is no listing. Nothing
// listed and the first read failed: the archive cannot be read at all.
// Otherwise the entries so far are worth showing (a truncated download, a
// damaged tail), marked as incomplete; bounds that stop the listing before
// any named entry leave it empty and incomplete, no error. An uncompressed
// file that only the raw format accepted is no archive.
void rejectUnlistable(const Collected& collected, bool hasEntries) {
  if (collected.end == SourceEnd::failure && !hasEntries) throw *collected.error;
  const ReaderFacts& facts = collected.facts;
  if (isRawFormat(facts) && facts.filterCode == ARCHIVE_FILTER_NONE)
    throw ArchiveError::notArchive();
}

// typeKeyOf: the type key of what the reader saw ("" before it saw
// anything). A split archive is named by the format inside; "分卷" (the key
// "split") where that has no name. A Debian package is one, whatever
// compresses its files.
std::string typeKeyOf(const ReaderFacts& facts, const VolumeSet& volumes) {
  if (facts.isDebianPackage) return "deb";
  std::string key =
      facts.isKnown ? readers_internal::typeKeyOfFormat(facts.formatCode, facts.filterCode) : "";
  if (key.empty() && volumes.isSplit()) key = "split";
  return key;
}

// typeNameOf: the type's display name, with the filter's where one
// compresses an archive ("TAR + GZip"); a lone compressed file and a
// package are named by themselves.
std::string typeNameOf(const std::string& key, const ReaderFacts& facts) {
  std::string typeName = displayNameOfType(key);
  if (facts.isKnown && !isRawFormat(facts) && !facts.isDebianPackage) {
    if (const auto filter = readers_internal::filterKeyOfFilter(facts.filterCode)) {
      typeName += " + " + displayNameOfType(*filter);
    }
  }
  return typeName;
}

ArchiveProperties propertiesOf(std::string key, std::int64_t fileSize, const VolumeSet& volumes) {
  ArchiveProperties properties;
  properties.type = std::move(key);
  properties.physicalSize = fileSize;
  properties.volumes = static_cast<std::int64_t>(volumes.volumes().size());
  properties.isMultiVolume = properties.volumes > 1;
  return properties;
}

// finishListing: the tree with the archive's properties, its type's name
// and why the listing ended.
ExtensionArchive::Listing finishListing(TreeBuilding& building, const Collected& collected,
                                        const VolumeSet& volumes, std::int64_t fileSize) {
  std::string key = typeKeyOf(collected.facts, volumes);
  std::string typeName = typeNameOf(key, collected.facts);
  std::shared_ptr<const ArchiveTree> tree =
      building.finish(propertiesOf(std::move(key), fileSize, volumes));
  const ExtensionCutoff cutoff = cutoffOf(collected, volumes, tree->isComplete());
  return ExtensionArchive::Listing{.tree = std::move(tree),
                                   .typeName = std::move(typeName),
                                   .fileSize = fileSize,
                                   .complete = cutoff == ExtensionCutoff::none,
                                   .cutoff = cutoff};
}

// listWith: opens the archive, collects its entries with `collect` while
// the tree grows, and makes the listing of them.
ExtensionArchive::Listing listWith(const std::filesystem::path& file, double timeLimit,
                                   const ExtensionArchive::Clock& clock, std::size_t memoryBudget,
                                   const Collect& collect, int fd = -1) {
  const ExtensionArchive::Clock now =
      clock ? clock : ExtensionArchive::Clock([] { return std::chrono::steady_clock::now(); });
  try {
    // A volume of a split archive stands for the whole set.
    const VolumeSet volumes = VolumeSet::find(file);
    // The descriptor is the file named; it stands for the set's first
    // volume only when that is the file named, else the set is opened by name.
    const bool isFirstVolume = volumes.volumes().front().path == file;
    std::unique_ptr<InputFile> input = InputFile::open(volumes, isFirstVolume ? fd : -1);
    const std::int64_t fileSize = input->size();
    const ListingBounds bounds = listingBounds(now, timeLimit, memoryBudget);
    TreeDeadline treeDeadline(now, bounds.deadline);
    TreeBuilding building(TreeLimits{.maxNodes = ExtensionArchive::kMaxNodes,
                                     .shouldStop = [&] { return treeDeadline.isPassed(); }});
    const Collected collected = collect(volumes, std::move(input), bounds, building);
    rejectUnlistable(collected, building.hasEntries());
    // Entries held for the legacy names join the tree once those are decided.
    (void)building.placeHeld(collected.finish);
    return finishListing(building, collected, volumes, fileSize);
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

ExtensionArchive::Listing readers_internal::listInProcess(const std::filesystem::path& file,
                                                          double timeLimit,
                                                          const SourceFactory& makeSource,
                                                          std::size_t memoryBudget, int fd) {
  return listWith(
      file, timeLimit, nullptr, memoryBudget,
      [&](const VolumeSet& volumes, std::unique_ptr<InputFile> input, const ListingBounds& bounds,
          TreeBuilding& building) {
        return collectEntries(makeSource(volumes.namePath(), std::move(input)), bounds, building);
      },
      fd);
}

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file,
                                                 double timeLimit) {
  return readers_internal::listInProcess(file, timeLimit, &makeDefaultSource,
                                         static_cast<std::size_t>(kMaxListerGrowth));
}

UniqueFd ExtensionArchive::openFile(const std::filesystem::path& file) {
  return readers_internal::openRegularFile(file);
}

ExtensionArchive::Listing ExtensionArchive::list(const std::filesystem::path& file, int fd,
                                                 double timeLimit) {
  return readers_internal::listInProcess(file, timeLimit, &makeDefaultSource,
                                         static_cast<std::size_t>(kMaxListerGrowth), fd);
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
