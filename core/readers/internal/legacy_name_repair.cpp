#include "legacy_name_repair.h"

#include <utility>

#include "text/code_page.h"
#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

// Whether a code point of the text passes; ill-formed bytes count as U+FFFD.
template <typename Predicate>
bool anyScalar(std::string_view utf8, Predicate predicate) {
  for (const text::CodePoint cp : text::codePoints(utf8)) {
    if (predicate(cp.value)) return true;
  }
  return false;
}

}  // namespace

bool isSuspiciousName(std::string_view utf8) {
  return anyScalar(utf8, [](char32_t c) {
    return (c >= 0x80 && c <= 0xFF) || (c >= 0x391 && c <= 0x3C9) || (c >= 0x2500 && c <= 0x259F) ||
           c == 0xFFFD;
  });
}

bool hasCjkIdeograph(std::string_view utf8) {
  return anyScalar(utf8, [](char32_t c) { return c >= 0x4E00 && c <= 0x9FFF; });
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
  text::CodePageConverter cp437(text::CodePage::cp437);
  text::CodePageConverter gb18030(text::CodePage::gb18030);
  if (!cp437.isAvailable() || !gb18030.isAvailable()) return;

  // Every candidate is made before any path changes: all or nothing.
  std::vector<std::string> candidates;
  candidates.reserve(entries.size());
  bool anyIdeograph = false;
  for (const RawEntry& entry : entries) {
    std::optional<std::string> bytes = cp437.encode(entry.path);
    if (!bytes) return;
    std::optional<std::string> candidate = gb18030.decode(*bytes);
    if (!candidate) return;
    anyIdeograph = anyIdeograph || hasCjkIdeograph(*candidate);
    candidates.push_back(std::move(*candidate));
  }
  if (!anyIdeograph) return;
  for (size_t i = 0; i < entries.size(); ++i) entries[i].path = std::move(candidates[i]);
}

}  // namespace vexel::readers_internal
