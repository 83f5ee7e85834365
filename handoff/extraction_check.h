// extraction_check.h: whether an archive is safe to extract where it lies.
//
// A hand-off URL can come from any web page, so an archive is checked before
// it is extracted (from its technical listing) and once more after it was
// extracted into a private temporary folder, before anything is moved to
// where the user sees it. Each check gives the reason, a user-visible text,
// or nothing when the archive is safe.
//
//   if (auto reason = vexel::unsafeEntry(listing.entries)) throw
//   vexel::ArchiveError::failed(*reason);
//   ... extract into `temporary` ...
//   if (auto reason = vexel::unsafeExtractedTree(temporary)) { remove(temporary); refuse(*reason);
//   }
//
// Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "handoff/archiver.h"

namespace vexel {

// unsafeEntry: the first entry that would land outside the destination:
// an absolute path ("/" or "\" first), a ".." component ("/" and "\" both
// separate components), a symbolic link whose target is absolute or climbs
// above the destination, a hard link to an absolute path or with "..", or
// an entry beneath a symbolic link of the archive (extracting it would
// write through the link).
[[nodiscard]] std::optional<std::string> unsafeEntry(const std::vector<ListedEntry>& entries);

// unsafeExtractedTree: checks what was extracted under `root` without
// following links: a symbolic link that leads outside `root`, or a file
// with more hard links than `root` holds (one links to a file elsewhere).
// Links whose targets a listing does not give (ZIP stores them as data)
// are caught here.
[[nodiscard]] std::optional<std::string> unsafeExtractedTree(const std::filesystem::path& root);

}  // namespace vexel
