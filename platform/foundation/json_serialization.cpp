#include "foundation/json_serialization.h"

#include <cstddef>

#include "text/utf8.h"

namespace vexel::platform {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

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
      const text::CodePoint cp = text::codePointAt(bytes, i);
      if (!cp.isIllFormed) {
        i += cp.length;
        continue;
      }
      flush();
      out += kReplacement;
      i += cp.length;
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
