#include "text/utf8.h"

namespace vexel::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `i`, or 0 with `bad` set to the
// length of the maximal ill-formed subpart (Unicode's "best practice").
size_t sequenceLength(std::string_view s, size_t i, size_t& bad) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  bad = 1;
  if (lead < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      bad = k;
      return 0;
    }
    const unsigned char c = byte(i + k);
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

std::string decodeUtf8Lenient(std::string_view bytes) {
  size_t i = 0;
  size_t bad = 0;
  // Fast path: scan while well-formed; copy only when something needs replacing.
  while (i < bytes.size()) {
    const size_t n = sequenceLength(bytes, i, bad);
    if (n == 0) break;
    i += n;
  }
  if (i == bytes.size()) return std::string(bytes);
  std::string out(bytes.substr(0, i));
  while (i < bytes.size()) {
    const size_t n = sequenceLength(bytes, i, bad);
    if (n == 0) {
      out += kReplacement;
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace vexel::text
