// archive_text.h: what a search indexer keeps of an archive: the paths
// inside it as text, one per line, and the listing they come from.
//
// Every indexer integration lists here, so all of them share one set of
// bounds: the importer plug-in (import_archive.cpp), the Baloo extractor
// (baloo/) and the Tracker module (tracker/). Facts about the archive (type,
// counts, sizes) come from the listing's tree.
//
//   const vexel::ExtensionArchive::Listing listing = vexel::listForIndexing(path);
//   std::string text = vexel::archiveText(listing.tree->root(), 1 << 20);
//
// Stateless: any number of calls may run at once on different threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "model/archive_tree.h"
#include "readers/extension_archive.h"

namespace vexel {

// kIndexTimeLimit: the most seconds one archive may take to list for an
// indexer. Neither Baloo nor the importer's host limits a plug-in's time,
// and Tracker ends its whole extractor after 30 s on one file.
inline constexpr double kIndexTimeLimit = 10.0;

// kMaxTextContentBytes: the most text an indexer is given for one archive
// unless it asks for less. Path text grows with the square of the path
// depth (each folder of a deep path is a line of its own), so a few hundred
// kilobytes of archive could otherwise ask for gigabytes.
inline constexpr std::size_t kMaxTextContentBytes = std::size_t{64} << 20;

// kNothingListedInTime: the failure of a listing that its time or memory
// ended before its first entry.
inline constexpr std::string_view kNothingListedInTime =
    "无法读取压缩包：在时间和内存的限度内没有列出任何文件。";

// listForIndexing: lists `file` within kIndexTimeLimit and the listing's
// memory bounds (extension_archive.h). The one place where indexers list.
// A listing the bounds ended before its first entry is a failure: an
// indexer must not keep it as the archive's (empty) text.
// @throws ArchiveError (failed, passwordRequired, notArchive)
[[nodiscard]] ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file);
// listForIndexing: the same within `timeLimit` seconds, for tests.
// @throws ArchiveError
[[nodiscard]] ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file,
                                                        double timeLimit);

// listForIndexing: the same for `file` open as `fd` (the caller keeps it),
// read through the descriptor (ExtensionArchive::list), within `timeLimit`
// seconds: the sandboxed lister is handed the archive open.
// @throws ArchiveError
[[nodiscard]] ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file, int fd,
                                                        double timeLimit);

// forEachTextLine: calls `line` with the path of every node below `root`,
// depth-first in pre-order, children in order, for as many whole lines as
// fit in `maxBytes` when joined by line feeds; stops at the first that does
// not fit. Returns the size of that joined text (0 when no line fits).
// Uses an explicit stack, never recursion.
std::size_t forEachTextLine(const ArchiveNode& root, std::size_t maxBytes,
                            const std::function<void(std::string_view path)>& line);

// archiveText: the text forEachTextLine visits, joined by line feeds, with
// no line feed after the last line; empty when no line fits.
[[nodiscard]] std::string archiveText(const ArchiveNode& root, std::size_t maxBytes);

}  // namespace vexel
