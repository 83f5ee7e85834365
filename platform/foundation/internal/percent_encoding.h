// percent_encoding.h: byte-wise percent-encoding and decoding of URL parts,
// shared by URL and URLComponents.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexel::platform::foundation_internal {

// isUnreserved: the characters RFC 3986 never needs to encode
// (A-Z a-z 0-9 - . _ ~).
[[nodiscard]] bool isUnreserved(unsigned char c) noexcept;

// SlashRule: whether "/" stays as it is (paths and query parts) or is encoded
// (a host, where it would end the authority).
enum class SlashRule { keep, encode };

// percentEncode: `bytes` with every byte other than an unreserved character
// (or "/", as `slash` says) written as "%XX" (upper-case hex). Works on raw
// bytes, so text that is not UTF-8 is encoded byte by byte and decodes back
// to the same bytes.
[[nodiscard]] std::string percentEncode(std::string_view bytes, SlashRule slash = SlashRule::keep);

// percentDecode: the bytes that `text` encodes, or nothing when a "%" is not
// followed by two hex digits. "+" stays "+".
[[nodiscard]] std::optional<std::string> percentDecode(std::string_view text);

}  // namespace vexel::platform::foundation_internal
