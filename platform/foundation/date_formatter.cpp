#include "foundation/date_formatter.h"

#include <ctime>
#include <limits>

namespace vexel::platform {
namespace {

void appendNumber(std::string& out, long long value, size_t width) {
  std::string text = std::to_string(value < 0 ? -value : value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  if (value < 0) text.insert(0, 1, '-');
  out += text;
}

}  // namespace

std::string DateFormatter::stringFromDate(std::chrono::sys_seconds date) const {
  const auto seconds = date.time_since_epoch().count();
  if (seconds < std::numeric_limits<std::time_t>::min() ||
      seconds > std::numeric_limits<std::time_t>::max()) {
    return {};
  }
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
  // Archive headers carry any 64-bit time; the C library refuses years it
  // cannot hold, and such a date is shown as no date.
  if (localtime_r(&time, &local) == nullptr) return {};

  std::string out;
  const std::string_view pattern = mPattern;
  size_t i = 0;
  while (i < pattern.size()) {
    const char letter = pattern[i];
    if (letter == '\'') {
      const size_t close = pattern.find('\'', i + 1);
      if (close == i + 1) {
        out += '\'';  // '' is a quote
      } else {
        out += pattern.substr(i + 1,
                              (close == std::string_view::npos ? pattern.size() : close) - i - 1);
      }
      i = close == std::string_view::npos ? pattern.size() : close + 1;
      continue;
    }
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == letter) ++run;
    switch (letter) {
      case 'y': {
        const long long year = static_cast<long long>(local.tm_year) + 1900;
        appendNumber(out, run == 2 ? year % 100 : year, run);
        break;
      }
      case 'M':
        appendNumber(out, local.tm_mon + 1, run);
        break;
      case 'd':
        appendNumber(out, local.tm_mday, run);
        break;
      case 'H':
        appendNumber(out, local.tm_hour, run);
        break;
      case 'm':
        appendNumber(out, local.tm_min, run);
        break;
      case 's':
        appendNumber(out, local.tm_sec, run);
        break;
      default:
        out.append(run, letter);
        break;
    }
    i += run;
  }
  return out;
}

}  // namespace vexel::platform
