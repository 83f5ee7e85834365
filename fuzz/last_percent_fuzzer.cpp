// Fuzzes the percentage scan: any bytes are accepted, the result lies in
// 0...100, and on ASCII text it matches a plain byte-by-byte reading.
#include "archiver/process_runner.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

std::optional<int> asciiReference(std::string_view text) {
  std::optional<int> last;
  int digits = 0, value = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
      value = digits <= 3 ? value * 10 + (c - '0') : value;
    } else {
      if (c == '%' && digits >= 1 && digits <= 3 && value <= 100) last = value;
      digits = 0;
      value = 0;
    }
  }
  return last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<int> percent = vexel::ProcessRunner::lastPercent(text);
  if (percent && (*percent < 0 || *percent > 100)) std::abort();
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii && percent != asciiReference(text)) std::abort();
  return 0;
}
