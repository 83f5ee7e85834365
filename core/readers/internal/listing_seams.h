// listing_seams.h: `ExtensionArchive::list` with a header source of the
// caller's choosing, over the worker of listing_worker.h.
//
// The public lister (extension_archive.h) sits above the worker; these
// overloads, which tests and benchmarks use to put their own source or
// memory budget in place of libarchive's header loop, are declared here so
// that the worker's header needs nothing of the public one.
//
//   const auto listing = readers_internal::listWithSource(file, 3.0, nullptr, makeStallingSource);
#pragma once

#include <cstddef>
#include <filesystem>

#include "listing_worker.h"
#include "readers/extension_archive.h"

namespace vexel::readers_internal {

// listWithSource: `ExtensionArchive::list` with the header source made by
// `makeSource` instead of libarchive's header loop. Allows override by test
// (a source that stalls, like libarchive caught in a loop). Defined in
// extension_archive.cpp.
// @throws ArchiveError
[[nodiscard]] ExtensionArchive::Listing listWithSource(const std::filesystem::path& file,
                                                       double timeLimit,
                                                       const ExtensionArchive::Clock& clock,
                                                       const SourceFactory& makeSource);

// listInProcess: `ExtensionArchive::list` with the header source made by
// `makeSource`, on a worker thread of this process, which may grow by
// `memoryBudget` bytes while it lists (0: no budget); `fd`, when not -1,
// is `file` open (ExtensionArchive::list's descriptor overload). Allows
// override by test (a source that allocates without end). Defined in
// extension_archive.cpp.
// @throws ArchiveError
[[nodiscard]] ExtensionArchive::Listing listInProcess(const std::filesystem::path& file,
                                                      double timeLimit,
                                                      const SourceFactory& makeSource,
                                                      std::size_t memoryBudget, int fd = -1);

}  // namespace vexel::readers_internal
