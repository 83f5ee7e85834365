#include "text/unicode_case.h"

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <memory>

#include "text/utf8.h"

namespace vexel::text {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct CaseMapClose {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

using CaseFunction = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t,
                                 UErrorCode*);

// Maps one piece of at most INT32_MAX bytes (ICU's length type).
bool mapPiece(const UCaseMap* map, std::string_view piece, CaseFunction function,
              std::string& out) {
  std::string mapped(piece.size() + 8, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = function(map, mapped.data(), static_cast<int32_t>(mapped.size()),
                                    piece.data(), static_cast<int32_t>(piece.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      mapped.assign(static_cast<size_t>(length), '\0');
      continue;
    }
    if (U_FAILURE(status)) return false;
    mapped.resize(static_cast<size_t>(length));
    out += mapped;
    return true;
  }
  return false;
}

// `text` must be well-formed: ICU would copy ill-formed bytes through
// unchanged, so callers decode it leniently first.
std::string mapCase(std::string_view text, CaseFunction function) {
  UErrorCode status = U_ZERO_ERROR;
  // The root locale: no Turkish dotless i or other tailoring.
  std::unique_ptr<UCaseMap, CaseMapClose> map(ucasemap_open("", U_FOLD_CASE_DEFAULT, &status));
  if (U_FAILURE(status)) return std::string(text);
  // Texts beyond ICU's 32-bit lengths go in pieces cut between characters.
  constexpr size_t kMaxPiece = size_t{1} << 30;
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t cut = std::min(text.size(), kMaxPiece);
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (!mapPiece(map.get(), text.substr(0, cut), function, out)) out.append(text.substr(0, cut));
    text.remove_prefix(cut);
  }
  return out;
}

}  // namespace

std::string toLower(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  return mapCase(decodeUtf8Lenient(utf8), ucasemap_utf8ToLower);
}

std::string foldCase(std::string_view utf8) {
  return mapCase(decodeUtf8Lenient(utf8), ucasemap_utf8FoldCase);
}

bool containsCaseless(std::string_view text, std::string_view phrase) {
  return foldCase(text).find(foldCase(phrase)) != std::string::npos;
}

std::string toUpper(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  return mapCase(decodeUtf8Lenient(utf8), ucasemap_utf8ToUpper);
}

}  // namespace vexel::text
