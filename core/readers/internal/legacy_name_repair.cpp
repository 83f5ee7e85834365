#include "legacy_name_repair.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <utility>

namespace vexel::readers_internal {
namespace {

// The well-formed UTF-8 text as scalars; the lister hands only well-formed
// text here (ill-formed bytes became U+FFFD), so a stray byte simply ends
// the scan as "not found".
template <typename Predicate>
bool anyScalar(std::string_view utf8, Predicate predicate) {
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::uint32_t scalar = 0;
    size_t length = 1;
    if (lead < 0x80) {
      scalar = lead;
    } else if ((lead & 0xE0U) == 0xC0U) {
      scalar = lead & 0x1FU;
      length = 2;
    } else if ((lead & 0xF0U) == 0xE0U) {
      scalar = lead & 0x0FU;
      length = 3;
    } else if ((lead & 0xF8U) == 0xF0U) {
      scalar = lead & 0x07U;
      length = 4;
    } else {
      return false;
    }
    if (i + length > utf8.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3FU);
    }
    if (predicate(scalar)) return true;
    i += length;
  }
  return false;
}

// Converter: one iconv descriptor, closed with the object. No //TRANSLIT:
// a character the target cannot hold must fail, never be substituted.
class Converter {
 public:
  Converter(const char* to, const char* from) : mHandle(iconv_open(to, from)) {}
  ~Converter() {
    if (isOpen()) iconv_close(mHandle);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  [[nodiscard]] bool isOpen() const noexcept { return mHandle != reinterpret_cast<iconv_t>(-1); }

  // convert: the whole input converted, or nothing on an invalid or
  // incomplete sequence, or on any irreversible (substituted) character.
  [[nodiscard]] std::optional<std::string> convert(std::string_view input) {
    iconv(mHandle, nullptr, nullptr, nullptr, nullptr);  // fresh shift state per name
    std::string out(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());  // iconv's signature; the input is not written
    size_t inLeft = input.size();
    size_t done = 0;
    for (;;) {
      char* next = out.data() + done;
      size_t outLeft = out.size() - done;
      const size_t result = iconv(mHandle, &in, &inLeft, &next, &outLeft);
      done = static_cast<size_t>(next - out.data());
      if (result == static_cast<size_t>(-1)) {
        if (errno == E2BIG) {
          out.resize(out.size() * 2);
          continue;
        }
        return std::nullopt;  // EILSEQ or EINVAL
      }
      if (result > 0) return std::nullopt;  // irreversible conversions happened
      break;
    }
    // Flush any pending shift sequence.
    for (;;) {
      char* next = out.data() + done;
      size_t outLeft = out.size() - done;
      const size_t result = iconv(mHandle, nullptr, nullptr, &next, &outLeft);
      done = static_cast<size_t>(next - out.data());
      if (result == static_cast<size_t>(-1)) {
        if (errno == E2BIG) {
          out.resize(out.size() * 2);
          continue;
        }
        return std::nullopt;
      }
      break;
    }
    out.resize(done);
    return out;
  }

 private:
  iconv_t mHandle;
};

}  // namespace

bool isSuspiciousName(std::string_view utf8) {
  return anyScalar(utf8, [](std::uint32_t c) {
    return (c >= 0x80 && c <= 0xFF) || (c >= 0x391 && c <= 0x3C9) || (c >= 0x2500 && c <= 0x259F) ||
           c == 0xFFFD;
  });
}

bool hasCjkIdeograph(std::string_view utf8) {
  return anyScalar(utf8, [](std::uint32_t c) { return c >= 0x4E00 && c <= 0x9FFF; });
}

void fixGBKNames(std::vector<RawEntry>& entries) {
  if (entries.empty()) return;
  bool suspicious = false;
  for (const RawEntry& entry : entries) {
    if (isSuspiciousName(entry.path)) {
      suspicious = true;
      break;
    }
  }
  if (!suspicious) return;

  // The same iconv tables that decoded the names, so this inverts them
  // exactly (ICU's ibm-437 maps 0xE6 to U+03BC, iconv to U+00B5).
  Converter toCp437("CP437", "UTF-8");
  Converter fromGb18030("UTF-8", "GB18030");
  if (!toCp437.isOpen() || !fromGb18030.isOpen()) return;

  // Every candidate is made before any path changes: all or nothing.
  std::vector<std::string> candidates;
  candidates.reserve(entries.size());
  bool anyIdeograph = false;
  for (const RawEntry& entry : entries) {
    std::optional<std::string> bytes = toCp437.convert(entry.path);
    if (!bytes) return;
    std::optional<std::string> candidate = fromGb18030.convert(*bytes);
    if (!candidate) return;
    anyIdeograph = anyIdeograph || hasCjkIdeograph(*candidate);
    candidates.push_back(std::move(*candidate));
  }
  if (!anyIdeograph) return;
  for (size_t i = 0; i < entries.size(); ++i) entries[i].path = std::move(candidates[i]);
}

}  // namespace vexel::readers_internal
