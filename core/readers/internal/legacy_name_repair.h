// legacy_name_repair.h: the reading of the names of a listing that the archive leaves unmarked.
//
// Names written before UTF-8 (DOS and Windows ZIP tools, old tar and cpio)
// are bytes of a local code page that the archive does not name. Chinese
// GBK/GB 18030 is the common case for this product's users, but Japanese,
// Korean, Cyrillic and Western names come in the same way, and some GBK
// names happen to be valid UTF-8 as well (图片 is "ͼƬ"). name_decoding.h
// feeds the unmarked names of one listing here, and these decide them
// together, in this order:
//
// 1. `readsAsLegacy`: names that are all valid UTF-8 stay UTF-8 unless a
//    legacy reading is clearly more plausible (a name that is not valid
//    UTF-8 settles this by itself: then none of them is UTF-8);
// 2. `fixGBKNames`: one code page for all legacy names of the archive;
// 3. a name that this code page does not read as text of its script goes
//    to the code page that reads it best, when one reads it clearly better.
//
//   std::vector<LegacyName> legacy = {{.position = 0, .bytes = "\xb1\xa8\xb8\xe6.txt"}};
//   LegacyDecoding decoded = fixGBKNames(legacy, NameRules{});  // "报告.txt"
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/code_page.h"

namespace vexel::readers_internal {

// NameRules: what an archive's format says of its unmarked names.
struct NameRules {
  // fallback: the code page of names that read as no script's text: CP437
  // for ZIP, which the format names for unflagged names; windows-1252 else.
  text::CodePage fallback = text::CodePage::cp1252;
  // isUnixArchive: tar, cpio or ar, written by Unix tools: "\" is a plain
  // character of a name, and EUC-JP is among the code pages. Names in the
  // other formats come from DOS and Windows tools: "\" separates folders,
  // and Japanese is Shift-JIS.
  bool isUnixArchive = false;
};

// LegacyName: one entry name whose stored bytes the archive leaves
// unmarked, kept aside until the names are decided.
struct LegacyName {
  std::size_t position = 0;  ///< the entry's place in the listing
  std::string bytes;         ///< the name as the archive stores it (trimmed)
};

// LegacyDecoding: the code page chosen for a listing and the names decoded
// with it, in the order of the input. A name that reads clearly better in
// another code page is decoded with that one.
struct LegacyDecoding {
  text::CodePage codePage = text::CodePage::cp437;
  std::vector<std::string> names;
};

// fixGBKNames: chooses the one code page in which all `names` read best
// (GB 18030 first and on ties; then Shift-JIS, EUC-JP (Unix archives), Big5, UHC, CP437,
// CP866, KOI8-R, windows-1251, windows-1252) and decodes every name with
// it, or, for a name that code page does not read as text, with the one
// that reads that name clearly better. When no candidate reads the names as
// any script's text, the rules' fallback is used, and when that cannot
// decode them either, CP437, which defines every byte. Every name gets a
// decoding: no byte that the chosen code page defines becomes U+FFFD.
// Never throws for bad input. Thread-safe (no shared mutable state).
[[nodiscard]] LegacyDecoding fixGBKNames(const std::vector<LegacyName>& names,
                                         const NameRules& rules);

// readsAsLegacy: whether `names`, all valid UTF-8, read clearly more
// plausibly in a legacy code page than as UTF-8 (GBK names such as 图片,
// 目录, 系统 whose bytes spell rare Greek, Coptic or combining letters in
// UTF-8). Real UTF-8 names of any script stay UTF-8. Thread-safe.
[[nodiscard]] bool readsAsLegacy(const std::vector<std::string_view>& names,
                                 const NameRules& rules);

// readBetterIn: for each of `names`, all valid UTF-8, its reading in
// `page` when that is clearly more plausible than its UTF-8 reading (by the
// margin `readsAsLegacy` asks of a whole archive), else nothing: the
// evidence of one name, for names that mix with others not UTF-8.
[[nodiscard]] std::vector<std::optional<std::string>> readBetterIn(
    text::CodePage page, const std::vector<std::string_view>& names, const NameRules& rules);

// plausibility: how much `names` read as text of `page`'s script, from about
// -0.5 (box drawing, control characters) to 1 (common letters or characters
// of the script throughout); ASCII does not count. Nothing when `page`
// cannot decode the names. For tests and tuning.
[[nodiscard]] std::optional<double> plausibility(text::CodePage page,
                                                 const std::vector<std::string>& names);
// utf8Plausibility: the same for `names` (valid UTF-8) read as UTF-8.
[[nodiscard]] double utf8Plausibility(const std::vector<std::string>& names);

}  // namespace vexel::readers_internal
