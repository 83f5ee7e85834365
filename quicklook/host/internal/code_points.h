// code_points.h: walking UTF-8 text by code point, shared by the host's
// text and HTML renderers.
#pragma once

#include <unicode/uchar.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace vexel::quicklook_host::internal {

// CodePoint: one code point with its byte span. A maximal ill-formed
// subsequence comes out as one U+FFFD with `illFormed` set.
struct CodePoint {
  UChar32 value;
  std::size_t begin;
  std::size_t end;
  bool illFormed;
};

inline std::vector<CodePoint> codePoints(std::string_view utf8) {
  std::vector<CodePoint> out;
  for (const text::CodePoint cp : text::codePoints(utf8)) {
    out.push_back({static_cast<UChar32>(cp.value), cp.offset, cp.end(), cp.isIllFormed});
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
