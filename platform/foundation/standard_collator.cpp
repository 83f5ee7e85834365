#include "foundation/standard_collator.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <cstdint>
#include <vector>

#include "text/utf8.h"

namespace vexel::platform {
namespace {

bool isPosixLocale(std::string_view locale) {
  return locale.empty() || locale == "c" || locale == "C" || locale.starts_with("en_US_POSIX");
}

}  // namespace

struct StandardCollator::Handle {
  UCollator* collator = nullptr;
  ~Handle() {
    if (collator != nullptr) ucol_close(collator);
  }
};

StandardCollator::StandardCollator(const std::string& locale)
    : mHandle(std::make_unique<Handle>()), mLocale(isPosixLocale(locale) ? "" : locale) {
  UErrorCode status = U_ZERO_ERROR;
  mHandle->collator = ucol_open(mLocale.c_str(), &status);
  if (U_FAILURE(status) || mHandle->collator == nullptr) {
    status = U_ZERO_ERROR;
    mLocale.clear();
    mHandle->collator = ucol_open("", &status);
  }
  if (mHandle->collator != nullptr) {
    status = U_ZERO_ERROR;
    ucol_setAttribute(mHandle->collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    // Tertiary strength: case and accents are told apart only after the letters.
    ucol_setAttribute(mHandle->collator, UCOL_STRENGTH, UCOL_TERTIARY, &status);
  }
}

StandardCollator::~StandardCollator() = default;

const StandardCollator& StandardCollator::current() {
  static const StandardCollator collator(uloc_getDefault());
  return collator;
}

ComparisonResult StandardCollator::compare(std::string_view a, std::string_view b) const {
  if (mHandle->collator == nullptr) {
    return a < b ? ComparisonResult::ascending
                 : (a == b ? ComparisonResult::same : ComparisonResult::descending);
  }
  const std::u16string ua = text::toUtf16Lenient(a);
  const std::u16string ub = text::toUtf16Lenient(b);
  const UCollationResult result = ucol_strcoll(
      mHandle->collator, reinterpret_cast<const UChar*>(ua.data()), static_cast<int32_t>(ua.size()),
      reinterpret_cast<const UChar*>(ub.data()), static_cast<int32_t>(ub.size()));
  return result == UCOL_LESS
             ? ComparisonResult::ascending
             : (result == UCOL_EQUAL ? ComparisonResult::same : ComparisonResult::descending);
}

void StandardCollator::appendSortKey(std::string_view name, std::string& out) const {
  if (mHandle->collator == nullptr) {
    out.append(name);
    out.push_back('\0');
    return;
  }
  const std::u16string utf16 = text::toUtf16Lenient(name);
  const auto* chars = reinterpret_cast<const UChar*>(utf16.data());
  const auto length = static_cast<int32_t>(utf16.size());
  const size_t start = out.size();
  // Most keys fit in a few bytes per character; retry once with the size
  // ICU asks for.
  size_t room = utf16.size() * 4 + 16;
  for (;;) {
    out.resize(start + room);
    const int32_t needed =
        ucol_getSortKey(mHandle->collator, chars, length,
                        reinterpret_cast<uint8_t*>(out.data() + start), static_cast<int32_t>(room));
    if (needed <= 0) {
      out.resize(start);
      out.push_back('\0');
      return;
    }
    if (static_cast<size_t>(needed) <= room) {
      out.resize(start + static_cast<size_t>(needed));  // includes the ending 0 byte
      return;
    }
    room = static_cast<size_t>(needed);
  }
}

ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b) {
  return StandardCollator::current().compare(a, b);
}

}  // namespace vexel::platform
