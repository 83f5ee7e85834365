// code_points.h: walking UTF-8 text by code point, shared by the host's
// text and HTML renderers.
#pragma once

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vexel::quicklook_host::internal {

// CodePoint: one code point with its byte span. An ill-formed byte comes
// out alone, as U+FFFD with `illFormed` set.
struct CodePoint {
  UChar32 value;
  std::size_t begin;
  std::size_t end;
  bool illFormed;
};

inline std::vector<CodePoint> codePoints(std::string_view text) {
  std::vector<CodePoint> out;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t begin = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    const bool illFormed = c < 0;
    out.push_back({illFormed ? 0xFFFD : c, static_cast<std::size_t>(begin),
                   static_cast<std::size_t>(i), illFormed});
  }
  return out;
}

// isUnsafeToShow: a code point that must not reach a terminal or a page as
// it is: ill-formed bytes, control characters and bidirectional overrides
// (which could reorder what the user reads).
inline bool isUnsafeToShow(const CodePoint& cp) {
  const UChar32 c = cp.value;
  return cp.illFormed || u_charType(c) == U_CONTROL_CHAR || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace vexel::quicklook_host::internal
