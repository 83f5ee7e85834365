#include "text/utf8.h"

#include <cstdint>
#include <cstring>

namespace vexel::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the run of ASCII bytes at `offset`, eight at a time: most
// names and messages are mostly ASCII.
std::size_t asciiRun(std::string_view bytes, std::size_t offset) noexcept {
  std::size_t i = offset;
  while (bytes.size() - i >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & 0x8080808080808080ULL) != 0) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i - offset;
}

// codePointAt, inlined into the loops below.
inline CodePoint decodeAt(std::string_view bytes, std::size_t offset) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(offset);
  if (lead < 0x80) return {lead, offset, 1, false};
  // The lead byte decides the length and the range of the second byte,
  // which is what rules out overlong forms (E0, F0), surrogates (ED) and
  // values above U+10FFFF (F4); later bytes are 80..BF.
  std::size_t need = 0;
  char32_t value = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacementCharacter, offset, 1, true};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    // A sequence cut short, or broken by a byte that cannot continue it: the
    // bytes so far are one maximal ill-formed subsequence.
    if (offset + k >= bytes.size()) return {kReplacementCharacter, offset, k, true};
    const unsigned char c = byte(offset + k);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
      return {kReplacementCharacter, offset, k, true};
    }
    value = (value << 6) | (c & 0x3Fu);
  }
  return {value, offset, need + 1, false};
}

// The length of the well-formed prefix of `bytes`.
std::size_t wellFormedPrefix(std::string_view bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    i += asciiRun(bytes, i);
    if (i == bytes.size()) break;
    const CodePoint cp = decodeAt(bytes, i);
    if (cp.isIllFormed) break;
    i += cp.length;
  }
  return i;
}

}  // namespace

CodePoint codePointAt(std::string_view bytes, std::size_t offset) noexcept {
  return decodeAt(bytes, offset);
}

bool isValidUtf8(std::string_view bytes) noexcept {
  return wellFormedPrefix(bytes) == bytes.size();
}

std::string decodeUtf8Lenient(std::string_view bytes) {
  // Copy well-formed text as it is; walk only from the first bad byte.
  std::size_t i = wellFormedPrefix(bytes);
  std::string out(bytes.substr(0, i));
  while (i < bytes.size()) {
    const CodePoint cp = decodeAt(bytes, i);
    if (cp.isIllFormed) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(i, cp.length));
    }
    i += cp.length;
  }
  return out;
}

bool isUnsafeToShow(const CodePoint& cp) noexcept {
  const char32_t c = cp.value;
  // U+2028 and U+2029 break lines as a line feed does; U+200E, U+200F and
  // U+061C are bidirectional marks.
  return cp.isIllFormed || c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
         c == 0x061C;
}

std::string printable(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const CodePoint cp = decodeAt(bytes, i);
    if (isUnsafeToShow(cp)) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(i, cp.length));
    }
    i += cp.length;
  }
  return out;
}

void appendUtf8(std::string& out, char32_t scalar) {
  const auto unit = [&](char32_t bits) { out.push_back(static_cast<char>(bits)); };
  if (scalar < 0x80) {
    unit(scalar);
  } else if (scalar < 0x800) {
    unit(0xC0 | (scalar >> 6));
    unit(0x80 | (scalar & 0x3F));
  } else if (scalar >= 0xD800 && scalar <= 0xDFFF) {
    out += kReplacement;
  } else if (scalar < 0x10000) {
    unit(0xE0 | (scalar >> 12));
    unit(0x80 | ((scalar >> 6) & 0x3F));
    unit(0x80 | (scalar & 0x3F));
  } else if (scalar <= 0x10FFFF) {
    unit(0xF0 | (scalar >> 18));
    unit(0x80 | ((scalar >> 12) & 0x3F));
    unit(0x80 | ((scalar >> 6) & 0x3F));
    unit(0x80 | (scalar & 0x3F));
  } else {
    out += kReplacement;
  }
}

std::u16string toUtf16Lenient(std::string_view bytes) {
  // No code point takes more UTF-16 units than UTF-8 bytes.
  std::u16string out(bytes.size(), u'\0');
  char16_t* next = out.data();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      *next++ = byte;
      ++i;
      continue;
    }
    const CodePoint cp = decodeAt(bytes, i);
    if (cp.value >= 0x10000) {
      *next++ = static_cast<char16_t>(0xD800 + ((cp.value - 0x10000) >> 10));
      *next++ = static_cast<char16_t>(0xDC00 + (cp.value & 0x3FF));
    } else {
      *next++ = static_cast<char16_t>(cp.value);
    }
    i += cp.length;
  }
  out.resize(static_cast<std::size_t>(next - out.data()));
  return out;
}

std::size_t utf16Length(std::string_view bytes) noexcept {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t ascii = asciiRun(bytes, i);
    units += ascii;
    i += ascii;
    if (i == bytes.size()) break;
    const CodePoint cp = decodeAt(bytes, i);
    units += cp.value >= 0x10000 ? 2 : 1;
    i += cp.length;
  }
  return units;
}

}  // namespace vexel::text
