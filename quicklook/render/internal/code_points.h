// code_points.h: walking UTF-8 text by code point, shared by the host's
// text and HTML renderers.
#pragma once

#include <unicode/uchar.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace vexel::quicklook_render_internal {

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
// The text layer decides, for every program alike.
inline bool isUnsafeToShow(const CodePoint& cp) {
  return text::isUnsafeToShow(text::CodePoint{.value = static_cast<char32_t>(cp.value),
                                              .offset = cp.begin,
                                              .length = cp.end - cp.begin,
                                              .isIllFormed = cp.illFormed});
}

}  // namespace vexel::quicklook_render_internal
