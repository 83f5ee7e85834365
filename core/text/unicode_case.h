// unicode_case.h: locale-independent Unicode case mapping of UTF-8 text:
// extensions and type keys in the catalogue, caseless message tests in the
// readers. Decoding is in utf8.h.
//
//   vexel::text::toUpper("tar.gz");                        // "TAR.GZ"
//   vexel::text::containsCaseless("ENCRYPTED", "encrypt"); // true
//
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace vexel::text {

// toLower / toUpper: full Unicode case mapping without locale tailoring.
// ASCII text takes a fast path; ill-formed UTF-8 comes back with U+FFFD.
[[nodiscard]] std::string toLower(std::string_view utf8);
[[nodiscard]] std::string toUpper(std::string_view utf8);
// foldCase: full Unicode case folding, for caseless comparisons; ill-formed
// UTF-8 is decoded leniently first.
[[nodiscard]] std::string foldCase(std::string_view utf8);

// containsCaseless: whether `text` contains `phrase`, letter case ignored.
[[nodiscard]] bool containsCaseless(std::string_view text, std::string_view phrase);

}  // namespace vexel::text
