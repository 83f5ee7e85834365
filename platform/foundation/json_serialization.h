// json_serialization.h: JSON text for the hosts' machine-readable output.
//
// Holds `appendJSONString`, the one JSON string writer the hosts share.
//
//   std::string out = "{\"path\":";
//   vexel::platform::appendJSONString(out, path);  // quotes, escapes, U+FFFD for bad bytes
//
// A pure function; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace vexel::platform {

// appendJSONString: appends `bytes` to `out` as a JSON string literal,
// quotes included: '"', '\\' and control characters escaped, and each
// maximal ill-formed UTF-8 subsequence replaced by U+FFFD.
void appendJSONString(std::string& out, std::string_view bytes);

}  // namespace vexel::platform
