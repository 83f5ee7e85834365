// extension_archive.h: listing an archive, headers only, with libarchive
// on a worker thread of the calling process.
//
// `ExtensionArchive::list` opens an archive file with libarchive, reads entry
// headers (never entry data) until the end, a bound (time, entries) or a
// read error after the first entry, decides the names from their stored
// bytes, and returns the tree with the archive's type name and file size. Errors are in
// archive_error.h; the tree is archive_tree.h.
//
//   const auto listing = vexel::ExtensionArchive::list("/tmp/a.zip", 3.0);
//   std::cout << listing.typeName << ": " << listing.tree->fileCount() << " files\n";
//
// Synchronous; any number of calls may run at once on different threads.
//
// Split archives. A volume of a split archive (name.7z.001, name.z01,
// name.part2.rar, ...) lists the whole set: the volumes beside it are read
// as one stream, `fileSize` is theirs together and the type name is that of
// the format inside ("分卷" where that has none). A missing volume between
// others is a hole: what can be read is listed, incomplete, or the error
// names the volume; a volume without the set's first one is an error.
//
// Bounds. A preview and an indexer meet untrusted files all day, so every
// listing is bounded whatever the input:
//   - Only regular files are read; they are opened without blocking.
//     Folders, named pipes, devices and sockets are refused (`failed`).
//   - libarchive runs on a worker thread of the listing, in this process,
//     which hands the entries over while the tree grows on the calling
//     thread (internal/listing_worker.h). Nothing is forked: after a fork
//     in a threaded process a lock another thread held (the time zone's,
//     the converters', malloc's) stays held. The process is the boundary:
//     a one-shot host limits its own address space and ends soon after its
//     listing (platform/host's `boundListingHost`).
//   - Time: the limit counts from the moment the file is open and covers
//     reading headers (named or not) and building the tree. At the deadline
//     the reads are stopped; a reader caught in work that reads nothing is
//     left behind: it finishes on its own, or ends with its process. The
//     call returns the entries so far, with `cutoff` `limits`; none at all
//     when the limit ran out before the first named entry, but with the
//     type libarchive had found by then (and a file that is no archive
//     still throws `notArchive`).
//   - Memory: at most `kMaxNodes` entries and tree nodes (folders made for
//     deeper entries included) and `kMaxNameBytes` of entry names; reaching
//     either ends the listing like the time limit. The process's growth
//     while it lists (libarchive's own tables included) counts against
//     `kMaxListerGrowth`: past it the listing ends like the time limit
//     too. Running out of memory is an `ArchiveError`, never an escaping
//     `std::bad_alloc`.
//   - No program is ever started: only the decompression filters libarchive
//     decodes itself are enabled (see internal/built_in_filters.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "model/archive_tree.h"
#include "process/unique_fd.h"

namespace vexel {

// ExtensionArchive: the lister (static operations only).
class ExtensionArchive {
 public:
  ExtensionArchive() = delete;

  // Cutoff: why a listing ended before the end of the archive.
  enum class Cutoff {
    none,           ///< it did not: the listing is complete
    limits,         ///< the time limit, or a budget of entries, names, nodes or memory
    damage,         ///< a read error after the first entry, or headers passed over unread
    missingVolume,  ///< a volume of the split archive is not beside the others
  };

  // Listing: the result of one listing. The caller owns the tree.
  struct Listing {
    std::shared_ptr<const ArchiveTree> tree;
    std::string typeName;          ///< "ZIP", "TAR + GZip", "7z", ...
    std::int64_t fileSize = 0;     ///< the archive file's size; 0 when it cannot be read
    bool complete = true;          ///< false when cut short by a bound or a read error
    Cutoff cutoff = Cutoff::none;  ///< why it is not complete; `none` exactly when it is
  };

  // kMaxNodes: the most entries one listing reads, and the most nodes its
  // tree holds. A million-entry archive fits. A node takes about 90 bytes
  // of heap besides its path text (the tree benchmark measures it), and a
  // few dozen more while its folder's table of children grows: with at
  // most kMaxNameBytes of names, a full tree stays well under 1 GiB.
  static constexpr std::int64_t kMaxNodes = 1'500'000;
  // kMaxNameBytes: the most bytes of entry names one listing keeps.
  static constexpr std::int64_t kMaxNameBytes = std::int64_t{128} << 20;
  // kMaxListerGrowth: how much the process may grow while it reads one
  // archive (libarchive's tables: a 2,000,000-entry ZIP takes about 320 MB).
  // With the caller's tree for `kMaxNodes` nodes, a listing stays under 1 GiB.
  static constexpr std::int64_t kMaxListerGrowth = std::int64_t{512} << 20;

  // Clock: the time source of the deadline. Tests pass their own.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // list: lists `file` with a time limit in seconds, counted from the moment
  // the file is open; returns within about the limit plus a fraction of a
  // second, whatever the file holds (see Bounds above).
  // @throws ArchiveError (failed, passwordRequired, notArchive)
  [[nodiscard]] static Listing list(const std::filesystem::path& file, double timeLimit);
  // list: the same for `file` open as `fd` (the caller keeps it), read
  // through the descriptor: a lister that may not open files is handed the
  // archive open. The name still finds the other volumes of a split archive
  // (opened by name, beside it) and names a stream without names of its
  // own; a later volume chosen opens the set's first by name too.
  // @throws ArchiveError (failed, passwordRequired, notArchive)
  [[nodiscard]] static Listing list(const std::filesystem::path& file, int fd, double timeLimit);
  // openFile: `file` opened read-only as `list` opens it, to be handed to
  // the descriptor overload elsewhere; empty for anything but a regular
  // file, or one that cannot be opened.
  [[nodiscard]] static UniqueFd openFile(const std::filesystem::path& file);
  // list: the same with the clock given, for tests. `clock` is called from
  // this thread only, and never after `list` has returned; the process's
  // growth is not bounded.
  // @throws ArchiveError
  [[nodiscard]] static Listing list(const std::filesystem::path& file, double timeLimit,
                                    const Clock& clock);
};

}  // namespace vexel
