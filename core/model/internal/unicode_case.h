// unicode_case.h: locale-independent Unicode case mapping of UTF-8 text,
// shared by the catalogue and the tree (extensions, type keys).
#pragma once

#include <string>
#include <string_view>

namespace vexel::unicode_case_internal {

// toLower / toUpper: full Unicode case mapping without locale tailoring.
// ASCII text takes a fast path; ill-formed UTF-8 comes back with U+FFFD.
[[nodiscard]] std::string toLower(std::string_view utf8);
[[nodiscard]] std::string toUpper(std::string_view utf8);
// foldCase: full Unicode case folding, for caseless comparisons. Well-formed
// UTF-8 expected (decode leniently first).
[[nodiscard]] std::string foldCase(std::string_view utf8);

}  // namespace vexel::unicode_case_internal
