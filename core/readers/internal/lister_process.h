// lister_process.h: listings run in a process of their own, so that no
// listing can take more memory than its budget or outlive its call inside
// the program that asked for it.
//
// libarchive allocates as an archive tells it to (a 7z header that declares
// billions of folders, an ISO image whose continuation entries loop) and
// some of that work reads nothing, so neither a thread's stop flag nor the
// entry budget can end it; inside a long-lived host (an indexer) a worker
// left behind would go on using its memory and CPU. So the header loop runs
// in a lister: a process forked from the host (no program is started, no
// exec), which
//
//   - reads the archive with a `HeaderSource` on its main thread and streams
//     the facts, the entries and the end back over a socket
//     (record_stream.h); the host builds the tree as they come;
//   - has a watchdog thread that, at the deadline, stops the reads (first
//     letting the reader say what the archive is), and when the lister's
//     resident memory has grown by more than the budget, stops them too; a
//     reader that does not return within a short grace ends the whole lister
//     (`_exit`). Where the process may (no seccomp filter, no
//     AddressSanitizer), an address-space limit also makes a single huge
//     allocation fail at once;
//   - serves one listing after another, ends itself after `kIdleLife`
//     without a request, at once when the host goes away (end of file on
//     the socket), and after a listing that spent its memory budget.
//
// A fork copies only the forking thread: a lock another host thread held
// then stays held in the lister. glibc's malloc and the code page
// converters (text/code_page.h) are kept free across fork; a C library lock
// that another thread holds at that moment for its own iconv or time-zone
// call (libarchive reads ZIP times with mktime) is not, and the deadline
// then ends that listing as cut short.
//
// The host never signals, waits for or reaps a lister: it is forked twice
// (its first parent exits at once), ends itself, and only uses system calls
// that sandboxed indexers allow (no kill, no setrlimit under seccomp). A host
// gets one lister per concurrent listing; idle ones are kept for the next.
//
//   auto collected = collectInLister(path, &makeLibarchiveSource, bounds, consumer);
//   if (!collected) collected = collectEntries(...);  // no lister: in process
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>

#include "listing_worker.h"

namespace vexel::readers_internal {

// SourceMaker: makes a listing's header source from the archive's path and
// its open file. A plain function, not a closure: the lister calls it in
// its own copy of the program, where only the program's code is shared.
using SourceMaker = std::unique_ptr<HeaderSource> (*)(std::filesystem::path file,
                                                      std::unique_ptr<InputFile> input);

// kIdleLife: how long a lister waits for its next listing before it ends.
inline constexpr std::chrono::milliseconds kIdleLife{1000};

// collectInLister: lists `file` (the path as given: a volume finds its set
// in the lister) in a lister within `bounds` (its deadline counts on the
// steady clock; `bounds.clock` is not called) and hands what it lists to
// `consumer` on this thread. `Collected::isAbandoned` means the lister did
// not answer in time and was left to end itself; `isOverMemoryBudget` that
// its memory ended the listing. Nothing when no lister can be started (no
// fork): the caller then lists in process.
[[nodiscard]] std::optional<Collected> collectInLister(const std::filesystem::path& file,
                                                       SourceMaker makeSource,
                                                       const ListingBounds& bounds,
                                                       EntryConsumer& consumer);

}  // namespace vexel::readers_internal
