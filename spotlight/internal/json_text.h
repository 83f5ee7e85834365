// json_text.h: JSON string literals for the importer host's output.
#pragma once

#include <string>
#include <string_view>

namespace vexel::spotlight_internal {

// appendJsonString: appends `bytes` to `out` as a JSON string literal,
// quotes included: '"', '\\' and control characters escaped, and each
// maximal ill-formed UTF-8 subsequence replaced by U+FFFD.
void appendJsonString(std::string& out, std::string_view bytes);

}  // namespace vexel::spotlight_internal
