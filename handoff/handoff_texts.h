// handoff_texts.h: the receiver's user-visible texts, in one place.
//
// Every text vexel-handoff shows (notification titles and bodies, refusals,
// questions) is made here, in Simplified Chinese; the core's own texts come
// with its ArchiveError.
//
//   notice.finish(handoff_texts::extracted(archive), handoff_texts::extractedTo(placed, 0, 0),
//   false);
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vexel::handoff_texts {

// notEnoughSpace: the listed size does not fit in the free space.
[[nodiscard]] std::string notEnoughSpace(std::string_view needed, std::string_view available,
                                         const std::filesystem::path& folder);
// noPrivateFolder: 7-Zip has no folder to write in that others cannot change.
[[nodiscard]] std::string noPrivateFolder(const std::filesystem::path& folder);
// onlyLeftOut: an archive holding nothing but what extraction leaves out.
[[nodiscard]] std::string onlyLeftOut(std::int64_t linksLeftOut, std::int64_t specialsLeftOut);
// extractedTo: the body of a finished extraction: where the result went,
// and what was left out of it, when anything was.
[[nodiscard]] std::string extractedTo(const std::filesystem::path& placed,
                                      std::int64_t linksLeftOut, std::int64_t specialsLeftOut);

}  // namespace vexel::handoff_texts
