// name_decoding.h: entry names from the bytes an archive stores, in one place.
//
// The lister hands every stored name to one `NameDecoder`, in archive order.
// Names that are UTF-8 (a flagged ZIP name, a ZIP Unicode Path field, any
// stored name whose bytes are valid UTF-8, pure ASCII) are settled at once.
// The others are legacy bytes of a code page the archive does not name: they
// are listed with a provisional text, kept aside with their entry's
// position, and decided together when the listing ends (legacy_name_repair.h),
// so only those entries are renamed.
//
//   NameDecoder names;
//   names.name(storedBytes, position, shown);  // final unless legacy
//   for (const auto& [position, name] : names.finish(CodePage::cp437, isListed)) ...
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "legacy_name_repair.h"
#include "text/code_page.h"

namespace vexel::readers_internal {

// Rename: the final name of the entry at `position`.
struct Rename {
  std::size_t position = 0;
  std::string name;
};

// NameDecoder: the names of one listing. Not for concurrent use.
class NameDecoder {
 public:
  // name: sets `shown` to the text to list now for the stored `bytes` of the
  // entry that will be at `position`. UTF-8 bytes are shown unchanged and are
  // final. Other bytes are shown with U+FFFD for what is not UTF-8, a
  // provisional text that finish() replaces; they are remembered with
  // `position`. `shown` is reused, so a name costs no allocation of its own.
  void name(std::string_view bytes, std::size_t position, std::string& shown);

  // hasLegacyNames: some name was not UTF-8, so finish() has work to do.
  [[nodiscard]] bool hasLegacyNames() const noexcept { return !mLegacy.empty(); }

  // finish: decodes all legacy names with the one code page chosen for them
  // (`fallback` when they read as no script) and returns their final names.
  // `isListed(text)` tells whether a UTF-8 name of the listing already reads
  // `text`: a legacy name that would read the same, like one that would read
  // as an earlier legacy name from other bytes, keeps its provisional text,
  // so that two stored names never become one entry. Call once.
  [[nodiscard]] std::vector<Rename> finish(text::CodePage fallback,
                                           const std::function<bool(std::string_view)>& isListed);

 private:
  std::vector<LegacyName> mLegacy;
};

}  // namespace vexel::readers_internal
