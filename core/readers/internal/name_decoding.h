// name_decoding.h: entry names from the bytes an archive stores, decided for
// the whole archive in one place.
//
// Every named entry's stored bytes go to one `NameDecoder`, in archive
// order, with what the archive says of them (`NameOrigin`):
//
// - Names the archive marks as UTF-8 (a ZIP name with the UTF-8 flag or a
//   Unicode Path field, 7z, RAR 5, xar and pax names) are final at once;
//   one that is not valid UTF-8 shows U+FFFD and changes nothing for the
//   others. Pure ASCII is final too.
// - The other names are bytes of a code page the archive does not name.
//   Those that are not ASCII are decided together (legacy_name_repair.h):
//   UTF-8 or legacy for all of them, then one code page for the archive,
//   then per name only where that code page does not read a name. After a
//   legacy reading "\" separates folders, except in tar, cpio and ar, whose
//   Unix names may hold it.
//
// While the decision is open the entries from the first such name on may
// still be renamed, and the lister holds them back (`Step::hold`). Names
// that are all valid UTF-8 are decided as soon as 16 KiB of them, or 4,096
// held entries, have come (`Step::release`: what is held keeps its name), so
// a large archive of UTF-8 names (as Info-ZIP writes them, without the flag)
// holds only its first entries; names that are not UTF-8 are decided at the
// end (`finish`). A name that is not UTF-8 after the names were decided to be
// UTF-8 (a mixed archive) is decoded on its own at once.
//
//   NameDecoder names(NameRules{.fallback = CodePage::cp437});  // legacy_name_repair.h
//   Step step = names.name(bytes, NameOrigin::unmarked, position, shown);  // `shown` now
//   for (const auto& [position, name] : names.finish(isListed)) ...       // final names
//
// For a reader that wants the final names before it acts on entries (an
// extraction), `decideNames` runs the same decision over a first pass of
// stored names.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "legacy_name_repair.h"
#include "text/code_page.h"

namespace vexel::readers_internal {

// NameOrigin: what the archive says about the bytes of a stored name.
enum class NameOrigin {
  declaredUtf8,  ///< marked or defined as UTF-8 by the format: final as it is
  unmarked,      ///< bytes of a code page the archive does not name
};

// StoredName: one entry's name as the archive stores it (trimmed of "./",
// leading and trailing "/"), with its origin.
struct StoredName {
  std::string bytes;
  NameOrigin origin = NameOrigin::unmarked;
};

// Rename: the final name of the entry at `position`.
struct Rename {
  std::size_t position = 0;
  std::string name;
};

// NameReading: how the decision read an archive's unmarked names: as UTF-8,
// or in one legacy code page (some names may have gone to others).
struct NameReading {
  bool isLegacy = false;
  text::CodePage codePage = text::CodePage::cp437;  ///< with `isLegacy`
  NameRules rules;
};

// decodeLinkTarget: other unmarked bytes of the same archive (a link's
// target, say) read the way its names were: in their code page, with "\"
// made "/" where names get that; UTF-8 as it is.
[[nodiscard]] std::string decodeLinkTarget(std::string_view bytes, const NameReading& reading);

// NameDecoder: the names of one listing. Not for concurrent use.
class NameDecoder {
 public:
  // Step: what the lister does with the entry just named and those after it.
  enum class Step {
    none,     ///< nothing changes
    hold,     ///< this entry and the later ones may be renamed: hold them
    release,  ///< the held entries keep their names: place them, hold no more
  };

  explicit NameDecoder(NameRules rules = {});

  // name: sets `shown` to the text to list now for the stored `bytes` (trimmed) of
  // the entry that will be at `position`; positions increase by one per named
  // entry. Final unless a later `finish` renames it. `shown` is reused, so a name
  // costs no allocation of its own.
  [[nodiscard]] Step name(std::string_view bytes, NameOrigin origin, std::size_t position,
                          std::string& shown);

  // hasOpenNames: some name may still change, so finish() has work to do.
  [[nodiscard]] bool hasOpenNames() const noexcept { return !mOpen.empty(); }
  // isOpen: the name at `position` may still change.
  [[nodiscard]] bool isOpen(std::size_t position) const;

  // finish: decides the open names and returns those whose text changes.
  // `isListed(text)` tells whether another name of the listing already
  // reads `text`: a name that would read the same as one from other bytes
  // keeps its provisional text, so that two stored names never become one
  // entry. Call once, after the last name.
  [[nodiscard]] std::vector<Rename> finish(const std::function<bool(std::string_view)>& isListed);

  // reading: how the names were read, once decided (after finish(), or
  // once names that are all UTF-8 were released).
  [[nodiscard]] NameReading reading() const noexcept;

 private:
  enum class State { open, sampling, utf8, legacy };

  [[nodiscard]] Step decideSample();
  void decodeAlone(std::string_view bytes, std::string& shown);
  [[nodiscard]] std::string finalText(std::string text) const;

  NameRules mRules;
  State mState = State::open;
  std::vector<LegacyName> mOpen;  // the names not decided yet, with their positions
  std::size_t mOpenBytes = 0;
  std::size_t mFirstHeld = 0;
  std::optional<text::CodePage> mLegacyPage;  // set by finish() for legacy names
};

// decideNames: the names a listing shows for `names`, the stored names of an
// archive's named entries in archive order: the same decision, made once.
// `reading`, when given, receives how they were read (for link targets).
[[nodiscard]] std::vector<std::string> decideNames(const std::vector<StoredName>& names,
                                                   const NameRules& rules,
                                                   NameReading* reading = nullptr);

}  // namespace vexel::readers_internal
