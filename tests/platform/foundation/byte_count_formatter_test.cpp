#include "foundation/byte_count_formatter.h"

#include <gtest/gtest.h>

#include <limits>

namespace vexel::platform {
namespace {

TEST(ByteCountFormatter, UnitsDecimalsRoundingAndRollover) {
  struct Row {
    std::int64_t bytes;
    const char* text;
  };
  const Row rows[] = {
      {0, "0 字节"},
      {1, "1 字节"},
      {999, "999 字节"},
      {1000, "1 KB"},
      {1499, "1 KB"},
      {1500, "2 KB"},  // half up
      {999'499, "999 KB"},
      {999'500, "1.0 MB"},  // 999.5 KB rounds to 1000 KB: shown in the next unit
      {999'950, "1.0 MB"},
      {1'000'000, "1.0 MB"},
      {1'049'999, "1.0 MB"},
      {1'050'000, "1.1 MB"},
      {12'345'678, "12.3 MB"},
      {999'949'999, "999.9 MB"},
      {999'950'000, "1.00 GB"},
      {1'234'567'890, "1.23 GB"},
      {1'235'000'000, "1.24 GB"},
      {1'005'000'000, "1.01 GB"},
      {999'994'999'999, "999.99 GB"},
      {999'995'000'000, "1.00 TB"},
      {2'500'000'000'000'000, "2.50 PB"},
      {std::numeric_limits<std::int64_t>::max(), "9.22 EB"},
      {-999, "-999 字节"},
      {-1500, "-2 KB"},
      {std::numeric_limits<std::int64_t>::min(), "-9.22 EB"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(ByteCountFormatter::stringFromByteCount(row.bytes), row.text);
  }
}

}  // namespace
}  // namespace vexel::platform
