// extension_archive.h: listing an archive in process, headers only.
//
// `ExtensionArchive::list` opens an archive file with libarchive, reads entry
// headers (never entry data) until the end, a time limit or a read error
// after the first entry, repairs legacy Chinese ZIP names, and returns the
// tree with the archive's type name and file size. Errors are in
// archive_error.h; the tree is archive_tree.h.
//
//   const auto listing = vexel::ExtensionArchive::list("/tmp/a.zip", 3.0);
//   std::cout << listing.typeName << ": " << listing.tree->fileCount() << " files\n";
//
// Synchronous; any number of calls may run at once on different threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "model/archive_tree.h"

namespace vexel {

// ExtensionArchive: the in-process lister (static operations only).
class ExtensionArchive {
 public:
  ExtensionArchive() = delete;

  // Listing: the result of one listing. The caller owns the tree.
  struct Listing {
    std::shared_ptr<const ArchiveTree> tree;
    std::string typeName;       ///< "ZIP", "TAR + GZip", "7z", ...
    std::int64_t fileSize = 0;  ///< the archive file's size; 0 when it cannot be read
    bool complete = true;       ///< false when cut short by the time limit or a read error
  };

  // Clock: the time source of the deadline. Tests pass their own.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // list: lists `file` with a time limit in seconds (counted from the moment
  // the file is open). At least one named entry is listed before the limit
  // can stop the listing.
  // @throws ArchiveError (failed, passwordRequired, notArchive)
  [[nodiscard]] static Listing list(const std::filesystem::path& file, double timeLimit);
  // list: the same with the clock given; `clock` is called from this thread only.
  // @throws ArchiveError
  [[nodiscard]] static Listing list(const std::filesystem::path& file, double timeLimit,
                                    const Clock& clock);
};

}  // namespace vexel
