// legacy_name_repair.h: one code page for the names of a listing that are not UTF-8.
//
// Names written before UTF-8 (DOS and Windows ZIP tools, old tar and cpio)
// are bytes of a local code page that the archive does not name. Chinese
// GBK/GB 18030 is the common case for this product's users, but Japanese,
// Korean, Cyrillic and Western names come in the same way. `fixGBKNames`
// looks at all such names of one listing together and decodes every one of
// them with the single code page they read best in; name_decoding.h feeds it.
//
//   std::vector<LegacyName> legacy = {{.position = 0, .bytes = "\xb1\xa8\xb8\xe6.txt"}};
//   LegacyDecoding decoded = fixGBKNames(legacy, text::CodePage::cp437);  // "报告.txt"
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "text/code_page.h"

namespace vexel::readers_internal {

// LegacyName: one entry name whose stored bytes are not UTF-8, kept aside
// until the listing ends.
struct LegacyName {
  std::size_t position = 0;  ///< the entry's place in the listing
  std::string bytes;         ///< the name as the archive stores it (trimmed)
};

// LegacyDecoding: the code page chosen for a listing and the names decoded
// with it, in the order of the input.
struct LegacyDecoding {
  text::CodePage codePage = text::CodePage::cp437;
  std::vector<std::string> names;
};

// fixGBKNames: chooses the one code page in which all `names` read best
// (GB 18030 first and on ties; then Shift-JIS, Big5, UHC, CP437, CP866,
// KOI8-R, windows-1251, windows-1252) and decodes every name with it. When
// no candidate reads as any script's text, `fallback` is used (CP437 for ZIP,
// which the format names for unflagged names; windows-1252 elsewhere), and
// when that cannot decode them either, CP437, which defines every byte.
// Every name gets a decoding: no byte that the chosen code page defines
// becomes U+FFFD, and different byte strings never decode to the same text.
// Never throws for bad input. Thread-safe (no shared mutable state).
[[nodiscard]] LegacyDecoding fixGBKNames(const std::vector<LegacyName>& names,
                                         text::CodePage fallback);

// plausibility: how much `bytes` read as text of `page`'s script, from about
// -0.5 (box drawing, control characters) to 1 (common letters or characters
// of the script throughout); ASCII does not count. Nothing when `page`
// cannot decode the bytes. For tests and tuning.
[[nodiscard]] std::optional<double> plausibility(text::CodePage page,
                                                 const std::vector<std::string>& names);

}  // namespace vexel::readers_internal
