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
//   Those that are not ASCII are decided together (legacy_name_repair.h).
//   The valid UTF-8 ones are weighed as a group: UTF-8, unless a legacy
//   reading of the group is clearly more plausible. Those that are not
//   UTF-8 get one code page for the archive, then a code page per name only
//   where that one does not read a name. Where both kinds mix (archives
//   that several tools wrote to over years), a valid name of a group that
//   stays UTF-8 is read in the archive's code page only when that reads it
//   clearly better on its own (a GBK 图片 among GBK names), so one Latin-1
//   name never garbles the UTF-8 ones. After a legacy reading "\"
//   separates folders, except in tar, cpio and ar, whose Unix names may
//   hold it.
//
// While a decision is open the entries from the first such name on may
// still be renamed, and the lister holds them back (`Step::hold`). The group
// of valid UTF-8 names is decided once 16 KiB of them, or 4,096 entries from
// the first of them, have come; wherever the names that are not UTF-8
// stand, the same group is weighed, so the names decided do not depend on
// the order of the entries. Once that group reads as UTF-8 its names are
// final: every later valid name is UTF-8 at once, and what is held is placed
// (`Step::release`) unless names that are not UTF-8 wait, so a large archive
// of UTF-8 names (as Info-ZIP writes them, without the flag) holds only its
// first entries. Names that are not UTF-8 are decided together at the end
// (`finish`), also when they come late among UTF-8 names: then the entries
// are held from the first of them on. The bound: the per-name reading of
// valid names in the archive's code page applies to a group smaller than
// that sample; a larger group that reads as UTF-8 stays UTF-8 throughout.
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
  bool keepsUtf8 = false;  ///< with `isLegacy`: valid UTF-8 stays UTF-8 (a mixed archive)
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
  // Group: the decision on the valid UTF-8 names.
  enum class Group { open, utf8, legacy };

  void decideGroup();
  [[nodiscard]] std::vector<std::string_view> openNames(bool isValid) const;
  [[nodiscard]] std::string finalText(std::string text) const;

  NameRules mRules;
  Group mGroup = Group::open;
  std::vector<LegacyName> mOpen;  // the names not decided yet, with their positions
  std::vector<bool> mIsValid;     // for each of `mOpen`: valid UTF-8
  std::size_t mValidBytes = 0;    // of the valid names while the group is open
  std::size_t mFirstValid = 0;
  bool mHasValid = false;  // a valid name came while the group was open
  bool mIsHolding = false;
  std::optional<text::CodePage> mLegacyPage;  // set by finish() for legacy names
  bool mKeepsUtf8 = false;
};

// decideNames: the names a listing shows for `names`, the stored names of an
// archive's named entries in archive order: the same decision, made once.
// `reading`, when given, receives how they were read (for link targets).
[[nodiscard]] std::vector<std::string> decideNames(const std::vector<StoredName>& names,
                                                   const NameRules& rules,
                                                   NameReading* reading = nullptr);

}  // namespace vexel::readers_internal
