// utf8.h: UTF-8 text for the whole codebase: lenient decoding of bytes
// that should be UTF-8. Case mapping is in unicode_case.h.
//
//   std::string name = vexel::text::decodeUtf8Lenient(bytes);  // "a\xFF" -> "a\uFFFD"
//
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace vexel::text {

// decodeUtf8Lenient: the bytes as UTF-8, each maximal ill-formed subsequence
// replaced by U+FFFD. Well-formed input comes back unchanged.
[[nodiscard]] std::string decodeUtf8Lenient(std::string_view bytes);

}  // namespace vexel::text
