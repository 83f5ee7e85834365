// legacy_name_repair.h: re-decoding ZIP names written in a Chinese legacy code page.
//
// ZIP names without the UTF-8 flag arrive as CP437 text. When they were
// really GBK/GB 18030 bytes they show as Latin-1 letters, box drawing and
// Greek; `fixGBKNames` turns them back into the Chinese names, for the whole
// listing or not at all.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/raw_entry.h"

namespace vexel::readers_internal {

// fixGBKNames: when some path looks mis-decoded, every path has a CP437 ->
// GB 18030 re-decoding and at least one of those holds a CJK ideograph,
// replaces every entry's path by its re-decoding; otherwise leaves the list
// exactly as it was. Only `path` changes. Never throws for bad input.
// Thread-safe (no shared state).
void fixGBKNames(std::vector<RawEntry>& entries);

// isSuspiciousName: the UTF-8 text holds a scalar of U+0080..U+00FF,
// U+0391..U+03C9, U+2500..U+259F or U+FFFD (ill-formed bytes count as
// U+FFFD).
[[nodiscard]] bool isSuspiciousName(std::string_view utf8);

// hasCjkIdeograph: the UTF-8 text holds a scalar of U+4E00..U+9FFF.
[[nodiscard]] bool hasCjkIdeograph(std::string_view utf8);

}  // namespace vexel::readers_internal
