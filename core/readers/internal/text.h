// text.h: UTF-8 helpers shared by the readers.
#pragma once

#include <string>
#include <string_view>

namespace vexel::text_internal {

// decodeUtf8Lenient: the bytes as UTF-8, each maximal ill-formed subsequence
// replaced by U+FFFD. Well-formed input comes back unchanged.
[[nodiscard]] std::string decodeUtf8Lenient(std::string_view bytes);

// foldCase: full Unicode case folding, for caseless substring tests.
[[nodiscard]] std::string foldCase(std::string_view utf8);

// containsCaseless: whether `text` contains `phrase`, letter case ignored.
[[nodiscard]] bool containsCaseless(std::string_view text, std::string_view phrase);

}  // namespace vexel::text_internal
