// utf8.h: the UTF-8 checks behind the string objects.
#pragma once

#include <cstddef>
#include <string_view>

namespace vexel::corefoundation_internal {

// isWellFormedUtf8: whether `bytes` is well-formed UTF-8 (no overlong forms,
// surrogates or values above U+10FFFF).
[[nodiscard]] bool isWellFormedUtf8(std::string_view bytes) noexcept;

// utf16Length: the number of UTF-16 code units of well-formed UTF-8 text.
[[nodiscard]] std::size_t utf16Length(std::string_view utf8) noexcept;

}  // namespace vexel::corefoundation_internal
