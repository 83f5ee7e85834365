#include "foundation/json_serialization.h"

#include <cstddef>

namespace vexel::platform {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at the start of `rest` (0 when
// there is none), and in `illFormed` the length of the maximal ill-formed
// subsequence to replace instead.
std::size_t sequenceLength(std::string_view rest, std::size_t& illFormed) {
  const auto lead = static_cast<unsigned char>(rest[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    illFormed = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < length && i < rest.size(); ++i) {
    const auto byte = static_cast<unsigned char>(rest[i]);
    const unsigned char min = i == 1 ? low : 0x80;
    const unsigned char max = i == 1 ? high : 0xBF;
    if (byte < min || byte > max) break;
  }
  if (i == length) return length;
  illFormed = i;
  return 0;
}

}  // namespace

void appendJSONString(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t runStart = 0;
  std::size_t i = 0;
  // Copy runs of bytes that need nothing in one go; paths are mostly such.
  const auto flush = [&] { out.append(bytes.data() + runStart, i - runStart); };
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') {
      ++i;
      continue;
    }
    if (byte >= 0x80) {
      std::size_t illFormed = 0;
      const std::size_t length = sequenceLength(bytes.substr(i), illFormed);
      if (length > 0) {
        i += length;
        continue;
      }
      flush();
      out += kReplacement;
      i += illFormed;
      runStart = i;
      continue;
    }
    flush();
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
        break;
    }
    ++i;
    runStart = i;
  }
  flush();
  out += '"';
}

}  // namespace vexel::platform
