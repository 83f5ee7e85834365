#include "foundation/byte_count_formatter.h"

#include <array>
#include <string_view>

namespace vexel::platform {
namespace {

struct Unit {
  std::string_view name;
  unsigned decimals;
};

constexpr std::array<Unit, 6> kUnits = {
    {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};

std::uint64_t pow10(unsigned exponent) {
  std::uint64_t value = 1;
  for (unsigned i = 0; i < exponent; ++i) value *= 10;
  return value;
}

}  // namespace

std::string ByteCountFormatter::stringFromByteCount(std::int64_t byteCount, CountStyle /*style*/) {
  // The magnitude as unsigned 64-bit is exact for INT64_MIN too.
  const bool negative = byteCount < 0;
  const std::uint64_t magnitude = negative ? static_cast<std::uint64_t>(-(byteCount + 1)) + 1
                                           : static_cast<std::uint64_t>(byteCount);
  const std::string sign = negative ? "-" : "";
  if (magnitude < 1000) return sign + std::to_string(magnitude) + " 字节";

  std::uint64_t unitSize = 1000;
  for (size_t u = 0; u < kUnits.size(); ++u, unitSize *= 1000) {
    const Unit& unit = kUnits[u];
    const std::uint64_t scale = pow10(unit.decimals);
    // Counted in steps of 10^-decimals of this unit, rounded half up. The
    // step is a whole, even number of bytes, and the sum stays below 2^64.
    const std::uint64_t step = unitSize / scale;
    const std::uint64_t scaled = (magnitude + step / 2) / step;
    // Rounding up to 1000 of this unit shows as the next unit instead.
    if (scaled >= 1000 * scale && u + 1 < kUnits.size()) continue;
    std::string number = std::to_string(scaled / scale);
    if (unit.decimals > 0) {
      std::string fraction = std::to_string(scaled % scale);
      fraction.insert(0, unit.decimals - fraction.size(), '0');
      number += "." + fraction;
    }
    return sign + number + " " + std::string(unit.name);
  }
  return {};  // not reached: the last unit always returns
}

}  // namespace vexel::platform
