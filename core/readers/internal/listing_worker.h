// listing_worker.h: reading an archive's headers on a worker thread, within
// a deadline and an entry budget, for a caller that must return on time.
//
// Some work inside libarchive reads nothing (a cycle of links, a table of
// millions of folders, a stream that decompresses to itself) and so cannot
// be stopped from the input callbacks. The caller therefore never runs
// libarchive itself:
//
//   - `collectEntries` starts one worker thread that runs a `HeaderSource`
//     (open the reader, read headers, name entries) and takes the entries
//     it hands over in batches, until the source ends, fails, reaches the
//     entry budget, or the deadline passes. The queue between them is
//     bounded: a worker that gets ahead of its caller waits for room, so
//     entries never pile up beside what the caller builds of them.
//   - At the deadline the caller raises the stop flag, which the source
//     checks in its read, skip and seek callbacks and after every header,
//     named or not, and waits a short grace for the worker to stop. A worker
//     still inside libarchive then is abandoned: it keeps the shared state
//     (owned jointly through a shared_ptr), finishes on its own and drops
//     whatever it read, while the caller returns the entries so far.
//   - A deadline that passes before the reader has said what the archive
//     is (its format and filter) first closes the listing to entries and
//     gives the reader `identifyGrace` more to say it, so a listing cut
//     before its first entry still names the archive's type, and a file
//     that is no archive is still found out.
//   - Only the caller reads the clock; the worker sees the deadline as the
//     stop flag. An injected test clock is therefore called from the
//     caller's thread only, and never after `collectEntries` returns.
//
// The caller consumes the entries as they come (an `EntryConsumer`): a tree
// grows on the caller's thread while the worker goes on reading, and
// `Collected::entries` stays empty.
//
//   Collected collected = readers_internal::collectEntries(std::move(source), bounds, building);
//   if (collected.end == SourceEnd::failure && !building.hasEntries()) throw *collected.error;
//   if (collected.finish) collected.finish(heldEntries, isListedBefore);  // names decided together
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "model/raw_entry.h"
#include "reader_input.h"
#include "readers/archive_error.h"

namespace vexel::readers_internal {

class InputFile;

// ReaderFacts: what the worker learnt of the archive's type; zero codes
// until the reader has them.
struct ReaderFacts {
  int formatCode = 0;  ///< `archive_format`
  int filterCode = 0;  ///< `archive_filter_code` of filter 0
  bool isKnown = false;
  bool isDebianPackage = false;  ///< the entries are a Debian package's files
};

// SourceEnd: how reading ended.
enum class SourceEnd {
  end,      ///< the end of the archive was reached
  failure,  ///< a read failed; `SourceResult::error` says why
  stopped,  ///< the deadline, the entry budget, or a caller that gave up
};

// FinishEntries: work a source leaves for its entries as a whole (names
// decided together, for instance), run by the caller on `held`: the entries
// from the one the source marked first (`HeaderSink::holdFromHere`) on,
// which the caller kept aside. `isListedBefore(path)` tells whether an
// entry before them read `path`.
using FinishEntries = std::function<void(
    std::vector<RawEntry>& held, const std::function<bool(std::string_view)>& isListedBefore)>;

// SourceResult: what a `HeaderSource` reports when it returns.
struct SourceResult {
  SourceEnd end = SourceEnd::end;
  std::optional<ArchiveError> error;  ///< with `failure`
  FinishEntries finish;               ///< empty when there is nothing to finish
  bool hasSkipped = false;            ///< headers that could not be read were passed over
};

// readGuarded: what `read` (which opens and reads a source) returns; an
// exception it throws becomes a failed end with its error.
template <typename Read>
SourceResult readGuarded(Read&& read) noexcept {
  try {
    return std::forward<Read>(read)();
  } catch (const ArchiveError& error) {
    return SourceResult{.end = SourceEnd::failure, .error = error};
  } catch (const std::bad_alloc&) {
    return SourceResult{.end = SourceEnd::failure, .error = ArchiveError::outOfMemory()};
  } catch (...) {
    return SourceResult{.end = SourceEnd::failure, .error = ArchiveError::cannotRead("")};
  }
}

// HeaderSink: where a `HeaderSource` hands its entries. On a listing's
// worker thread it is the channel to the caller; tests run a source on a
// sink of their own.
class HeaderSink {
 public:
  virtual ~HeaderSink() = default;
  // add: hands one named entry over; the sink copies what it keeps, so a
  // source may refill one entry for every header. False, with the entry
  // dropped, once the listing wants no more (stopped, or the entry budget is
  // spent): the source should then return `SourceEnd::stopped`.
  [[nodiscard]] virtual bool add(const RawEntry& entry) = 0;
  // stopFlag: raised when the caller stops the listing. Sources check it
  // after every header and in every read, skip and seek; it lives as long
  // as the sink.
  [[nodiscard]] virtual const std::atomic<bool>& stopFlag() const noexcept = 0;
  // setFacts: records the reader's format and filter for the caller; may
  // come more than once (the last wins), first as soon as the reader has
  // chosen a format, before its first header is whole.
  virtual void setFacts(const ReaderFacts& facts) = 0;
  // holdFromHere: the entries handed over from now on may still change in
  // the result's `finish`; the caller keeps them until then.
  virtual void holdFromHere() {}
  // releaseHeld: the entries held so far keep the texts they were handed
  // over with, and no more are held; the result's `finish` renames none of
  // them.
  virtual void releaseHeld() {}

  // shouldStop: the stop flag's value.
  [[nodiscard]] bool shouldStop() const noexcept {
    return stopFlag().load(std::memory_order_relaxed);
  }
};

// HeaderSource: reads headers on the worker thread and hands each named
// entry to the sink. It owns everything it touches, since it may outlive
// the call that started it. An exception it throws counts as a failure
// (`std::bad_alloc` as `ArchiveError::outOfMemory()`).
class HeaderSource {
 public:
  virtual ~HeaderSource() = default;
  [[nodiscard]] virtual SourceResult read(HeaderSink& sink) = 0;
};

// ListingBounds: the limits of one listing.
struct ListingBounds {
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  Clock clock;  ///< read on the caller's thread only
  std::chrono::steady_clock::time_point deadline;
  std::size_t maxEntries = 0;    ///< named entries, at most
  std::size_t maxNameBytes = 0;  ///< bytes of their paths together, at most
  // stopGrace: how long (real time) a stopped worker may take to return
  // before it is abandoned.
  std::chrono::milliseconds stopGrace{100};
  // identifyGrace: how long (real time) past the deadline a reader that has
  // not yet named the archive's format may go on reading to name it, with
  // no more entries taken. Long enough for a thread start and a first read
  // on a busy machine; the preview's 3.0 s limit plus both graces stays
  // within its 3.5 s bound.
  std::chrono::milliseconds identifyGrace{250};
  // memoryBudget: bytes of resident memory the process may grow by while
  // it lists; 0 for none. Past it the listing stops like at the deadline
  // (`Collected::isOverMemoryBudget`). A reader deaf to the stop is left
  // behind: the process (a one-shot host, or a lister program) ends soon
  // after, or its address-space limit fails the allocation.
  std::size_t memoryBudget = 0;
};

// EntryConsumer: takes the entries on the caller's thread as they arrive,
// in archive order.
class EntryConsumer {
 public:
  virtual ~EntryConsumer() = default;
  // take: one entry; `isHeld` once the source asked for entries to be held
  // for its finish, until it released them (then entries come with `isHeld`
  // false again, and those held before keep their texts). False when no
  // more are wanted: the listing then stops.
  [[nodiscard]] virtual bool take(RawEntry&& entry, bool isHeld) = 0;
  // expect: a hint that the entry at `path` is taken `kExpectAhead` takes
  // from now (when it has arrived already), so the consumer can start
  // fetching what taking it will touch.
  virtual void expect(std::string_view /*path*/) {}
  static constexpr std::size_t kExpectAhead = 8;
};

// Collected: what the caller ends up with.
struct Collected {
  std::vector<RawEntry> entries;  ///< in archive order, without a consumer of the caller's
  ReaderFacts facts;
  SourceEnd end = SourceEnd::end;
  std::optional<ArchiveError> error;  ///< with `failure`
  // finish: the source's work left for the entries; never set for a worker
  // that was left behind (its entries keep the names they were listed with).
  FinishEntries finish;
  bool hasSkipped = false;          ///< the source passed over headers it could not read
  bool isPastDeadline = false;      ///< the deadline ended the listing
  bool isAbandoned = false;         ///< the worker did not stop in time and was left behind
  bool isRefused = false;           ///< the consumer wanted no more entries
  bool isOverMemoryBudget = false;  ///< a lister's memory budget ended the listing
};

// collectEntries: runs `source` on a worker thread within `bounds` and
// hands what it lists to `consumer` (`Collected::entries` stays empty). A
// deadline that has passed already lists no entry; the worker still starts,
// to say what the archive is. Never throws `ArchiveError`;
// `std::bad_alloc`, `std::system_error` (no thread) and what the consumer
// throws may escape, with the worker told to stop.
[[nodiscard]] Collected collectEntries(std::unique_ptr<HeaderSource> source,
                                       const ListingBounds& bounds, EntryConsumer& consumer);
// collectEntries: the same, with the entries in `Collected::entries`.
[[nodiscard]] Collected collectEntries(std::unique_ptr<HeaderSource> source,
                                       const ListingBounds& bounds);

// deadlineAfter: `start` plus `seconds`, saturating at the clock's range; a
// limit that is not a number never runs out.
[[nodiscard]] std::chrono::steady_clock::time_point deadlineAfter(
    std::chrono::steady_clock::time_point start, double seconds) noexcept;

// SourceFactory: makes the header source of a listing from the archive's
// path and its open file.
using SourceFactory = std::function<std::unique_ptr<HeaderSource>(
    const std::filesystem::path& file, std::unique_ptr<InputFile> input)>;

// makeLibarchiveSource: the header loop of a listing:
// libarchive over the open file, every entry named and handed to the sink.
// `options` allow override by test and benchmark (counting what the .xz
// block reader does, or reading without it).
[[nodiscard]] std::unique_ptr<HeaderSource> makeLibarchiveSource(std::filesystem::path file,
                                                                 std::unique_ptr<InputFile> input,
                                                                 ReaderInput::Options options = {});

}  // namespace vexel::readers_internal
