// byte_count_formatter.h: short human-readable texts for byte counts.
//
// `ByteCountFormatter::stringFromByteCount` writes a size the way file
// listings show it: decimal multiples of 1000 and the user's language
// (Simplified Chinese for the word "bytes"). Dates are date_formatter.h.
//
//   ByteCountFormatter::stringFromByteCount(1'500'000, CountStyle::file);  // "1.5 MB"
//
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vexel::platform {

// ByteCountFormatter: byte counts to text (static operations only).
class ByteCountFormatter {
 public:
  ByteCountFormatter() = delete;

  // CountStyle: how units are counted. Only file style (powers of 1000) is needed.
  enum class CountStyle { file };

  // stringFromByteCount: the count in the largest unit that keeps the number
  // below 1000. Below 1000: "N 字节" ("0 字节" ... "999 字节"). Then "KB" with
  // no decimals, "MB" with one, "GB", "TB", "PB" and "EB" with two, always
  // written with exactly that many decimals. The value is rounded half up;
  // when rounding reaches 1000 the text moves to the next unit (999,500 bytes
  // is "1.0 MB", not "1000 KB"). Negative counts get a leading "-".
  [[nodiscard]] static std::string stringFromByteCount(std::int64_t byteCount,
                                                       CountStyle style = CountStyle::file);
};

}  // namespace vexel::platform
