// libarchive_source.cpp: the lister's header loop, `makeLibarchiveSource`
// (listing_worker.h): libarchive over the open file, every entry named and
// handed to the sink, on a listing's worker thread.
#include <archive.h>
#include <archive_entry.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "entry_names.h"
#include "input_file.h"
#include "libarchive_codes.h"
#include "libarchive_reader.h"
#include "listing_worker.h"
#include "name_decoding.h"
#include "readers/archive_error.h"

namespace vexel::readers_internal {
namespace {

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
void renameLegacyNames(NameDecoder& names, std::size_t firstHeld, std::vector<RawEntry>& held,
                       const std::function<bool(std::string_view)>& isListedBefore) {
  std::unordered_set<std::string_view> listed;
  listed.reserve(held.size());
  for (const RawEntry& raw : held) listed.insert(raw.path);
  const auto isListed = [&](std::string_view text) {
    return listed.contains(text) || (isListedBefore && isListedBefore(text));
  };
  std::vector<Rename> renames = names.finish(isListed);
  listed.clear();
  for (Rename& rename : renames) {
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

// LibarchiveSource: the header loop, run on the listing's worker thread. It
// owns the open file; the reader is made, used and freed on that thread.
class LibarchiveSource final : public HeaderSource {
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
    ArchiveReader owner = newArchiveReader(mReaderInput->isDebianPackage());
    if (!owner) return failure(ArchiveError::cannotRead(""));
    archive* reader = owner.get();
    mReaderInput->attach(reader);
    sayFormatOnFirstRead(reader, sink);
    const ObserverRemoval removeObserver{*mInput};
    if (archive_read_open1(reader) != ARCHIVE_OK) return failed(reader, sink, nullptr);

    EntryNames names(*mInput, mFile, utf8Names.isActive());
    if (mReaderInput->readsXzBlocks()) names.ignoreZipDirectory();
    return readHeaders(reader, names, sink);
  }

 private:
  // factsOf: what the reader says of the archive once it has chosen a format.
  [[nodiscard]] ReaderFacts factsOf(archive* reader) const {
    return ReaderFacts{.formatCode = archive_format(reader),
                       .filterCode = mReaderInput->filterCode(reader),
                       .isKnown = true,
                       .isDebianPackage = mReaderInput->isDebianPackage()};
  }

  // sayFormatOnFirstRead: the type as soon as libarchive has chosen a format
  // (it sets the format code when it starts on the first header), not only
  // once that header is whole: a huge ZIP central directory on a busy
  // machine can take longer than the time limit, and the listing still says
  // "ZIP".
  void sayFormatOnFirstRead(archive* reader, HeaderSink& sink) {
    mInput->setReadObserver([this, reader, &sink] {
      if (mIsFormatSaid || archive_format(reader) == 0) return;
      mIsFormatSaid = true;
      sink.setFacts(factsOf(reader));
    });
  }

  // readHeaders: the header loop, to the archive's end, a failure or a stop.
  SourceResult readHeaders(archive* reader, EntryNames& names, HeaderSink& sink) {
    EntryNames::StoredNameView stored;
    // One entry, refilled for each header: its name keeps its buffer, and
    // the sink copies what it keeps.
    RawEntry listed;
    for (;;) {
      archive_entry* entry = nullptr;
      HeaderRead read = headerReadOf(archive_read_next_header(reader, &entry));
      if (!mDecoder) {
        // The format is settled by the first header read, whatever its result.
        sink.setFacts(factsOf(reader));
        mDecoder.emplace(EntryNames::rulesFor(reader));
      }
      if (read == HeaderRead::entry && entry != nullptr && isUndescribed(entry)) {
        read = HeaderRead::damaged;
      }
      // A file without a name right before a header that fails (or that
      // libarchive skips as damaged, asking to retry) is the start of the
      // damage, not a file.
      if (read != HeaderRead::entry && read != HeaderRead::end) mNameless.reset();
      if (!handOverNameless(listed, sink)) {
        return finished(SourceResult{.end = SourceEnd::stopped});
      }
      if (read == HeaderRead::end) return finished(SourceResult{.end = SourceEnd::end});
      if (read == HeaderRead::failure) return finished(failed(reader, sink, entry));
      if (isEndlessRunOfFailures(read, entry)) return finished(failed(reader, sink, entry));
      if (entry != nullptr && read != HeaderRead::retry) {
        const std::size_t ordinal = mHeaders++;
        if (names.readView(reader, entry, ordinal, read == HeaderRead::damaged, stored)) {
          if (names.isNamedAfterArchive()) {
            keepNameless(entry, stored, names.exactModified());
          } else if (!handOver(entry, stored, names.exactModified(), listed, sink)) {
            return finished(SourceResult{.end = SourceEnd::stopped});
          }
        }
      }
      // After every header, named or not: a flood of unnamed headers is
      // stopped like any other.
      if (sink.shouldStop()) {
        (void)handOverNameless(listed, sink);
        return finished(SourceResult{.end = SourceEnd::stopped});
      }
    }
  }

  // isUndescribed: libarchive gave the header neither a name nor a type (a
  // tar of garbage after "Too many special headers"): no entry, damage.
  static bool isUndescribed(archive_entry* entry) {
    if (archive_entry_filetype(entry) != 0) return false;
    const char* name = archive_entry_pathname(entry);
    return name == nullptr || *name == '\0';
  }

  // keepNameless: a file without a name waits for the next header read.
  void keepNameless(archive_entry* entry, const EntryNames::StoredNameView& stored,
                    const std::optional<std::int64_t>& exactModified) {
    mNameless = Nameless{.entry = EntryPointer(archive_entry_clone(entry)),
                         .name = std::string(stored.bytes),
                         .origin = stored.origin,
                         .exactModified = exactModified};
  }

  // handOverNameless: the file kept by keepNameless, if any, is an entry
  // after all; false when the sink takes no more.
  bool handOverNameless(RawEntry& listed, HeaderSink& sink) {
    if (!mNameless) return true;
    Nameless nameless = std::move(*mNameless);
    mNameless.reset();
    if (!nameless.entry) return true;  // no memory for the copy: as if unnamed
    return handOver(nameless.entry.get(), {.bytes = nameless.name, .origin = nameless.origin},
                    nameless.exactModified, listed, sink);
  }

  // isEndlessRunOfFailures: counts the headers libarchive could not read
  // whole (a link whose target cannot be decoded), which are passed over as
  // bsdtar does, keeping their names when they have one; true once a run of
  // them goes on too long to be anything but the archive's end.
  bool isEndlessRunOfFailures(HeaderRead read, const archive_entry* entry) {
    if (read == HeaderRead::entry && entry != nullptr) {
      mFailedInRow = 0;
      return false;
    }
    mHasSkipped = true;
    return ++mFailedInRow > kMaxFailedInRow;
  }

  // handOver: names the entry of the header just read, `stored`, and hands
  // it to the sink as `listed`; false when the sink takes no more.
  bool handOver(archive_entry* entry, const EntryNames::StoredNameView& stored,
                const std::optional<std::int64_t>& exactModified, RawEntry& listed,
                HeaderSink& sink) {
    const auto step = mDecoder->name(stored.bytes, stored.origin, mListed, listed.path);
    // From the first name left open on, entries may be renamed once every
    // name is known, so the caller holds them, until the names turn out to
    // be final after all.
    if (step == NameDecoder::Step::hold) {
      mFirstHeld = mListed;
      sink.holdFromHere();
    } else if (step == NameDecoder::Step::release) {
      sink.releaseHeld();
    }
    describeEntry(entry, exactModified, listed);
    if (!sink.add(listed)) return false;
    ++mListed;
    return true;
  }

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
    return failure(readerError(reader, *mInput, mReaderInput && mReaderInput->isDebianPackage()));
  }

  // finished: `result` with the names left open, which the caller decides
  // once it has every entry from the first open one on.
  SourceResult finished(SourceResult result) {
    result.hasSkipped = mHasSkipped;
    if (!mDecoder || !mDecoder->hasOpenNames()) return result;
    result.finish = [names = std::make_shared<NameDecoder>(std::move(*mDecoder)),
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
  std::unique_ptr<ReaderInput> mReaderInput;  // reads `mInput`; outlives the reader too
  std::size_t mListed = 0;                    // entries handed over
  std::size_t mHeaders = 0;                   // headers read
  std::size_t mFirstHeld = 0;                 // the entry with the first open name
  std::size_t mFailedInRow = 0;               // failed headers since the last good one
  bool mHasSkipped = false;                   // some header was passed over
  bool mIsFormatSaid = false;                 // the sink has the facts of a read
  std::optional<NameDecoder> mDecoder;        // made once the format is known

  struct EntryFree {
    void operator()(archive_entry* entry) const noexcept { archive_entry_free(entry); }
  };
  using EntryPointer = std::unique_ptr<archive_entry, EntryFree>;
  // Nameless: a file without a name of its own, not handed over yet.
  struct Nameless {
    EntryPointer entry;
    std::string name;
    NameOrigin origin = NameOrigin::declaredUtf8;
    std::optional<std::int64_t> exactModified;
  };
  std::optional<Nameless> mNameless;
};

}  // namespace

std::unique_ptr<HeaderSource> makeLibarchiveSource(std::filesystem::path file,
                                                   std::unique_ptr<InputFile> input,
                                                   ReaderInput::Options options) {
  return std::make_unique<LibarchiveSource>(std::move(file), std::move(input), std::move(options));
}

}  // namespace vexel::readers_internal
