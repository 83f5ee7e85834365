#include "internal/unicode_case.h"

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <memory>

namespace vexel::unicode_case_internal {
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

std::string mapCase(std::string_view text, CaseFunction function) {
  UErrorCode status = U_ZERO_ERROR;
  // The root locale: no Turkish dotless i or other tailoring.
  std::unique_ptr<UCaseMap, CaseMapClose> map(ucasemap_open("", 0, &status));
  if (U_FAILURE(status)) return std::string(text);
  std::string out(text.size() + 8, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    const int32_t length =
        function(map.get(), out.data(), static_cast<int32_t>(out.size()), text.data(),
                 static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<size_t>(length), '\0');
      continue;
    }
    if (U_FAILURE(status)) return std::string(text);
    out.resize(static_cast<size_t>(length));
    return out;
  }
  return std::string(text);
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
  return mapCase(utf8, ucasemap_utf8ToLower);
}

std::string toUpper(std::string_view utf8) {
  if (isAscii(utf8)) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  return mapCase(utf8, ucasemap_utf8ToUpper);
}

}  // namespace vexel::unicode_case_internal
