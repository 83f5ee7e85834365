#include "debian_package.h"

#include <array>
#include <string_view>

#include "input_file.h"

namespace vexel::readers_internal {

namespace {

constexpr std::string_view kArMagic = "!<arch>\n";
constexpr std::size_t kHeaderSize = 60;

// ArHeader: the fields of an ar member header that matter here.
struct ArHeader {
  std::string name;
  std::int64_t size = 0;
};

// parseHeader: a common-format ar header: a name of 16 bytes (GNU ar ends
// it with "/"), dates and modes, a decimal size of 10 bytes, and "`\n";
// all padded with spaces.
std::optional<ArHeader> parseHeader(std::string_view bytes) {
  if (bytes.size() != kHeaderSize || bytes.substr(58, 2) != "`\n") return std::nullopt;
  std::string_view name = bytes.substr(0, 16);
  while (name.ends_with(' ')) name.remove_suffix(1);
  if (name.ends_with('/') && name.size() > 1) name.remove_suffix(1);
  ArHeader header{.name = std::string(name)};
  std::string_view size = bytes.substr(48, 10);
  while (size.ends_with(' ')) size.remove_suffix(1);
  if (size.empty()) return std::nullopt;
  for (const char digit : size) {
    if (digit < '0' || digit > '9') return std::nullopt;
    header.size = header.size * 10 + (digit - '0');  // at most 10 digits: no overflow
  }
  return header;
}

}  // namespace

std::optional<DebianMember> findDebianData(InputFile& input) {
  std::array<char, kHeaderSize> bytes{};
  if (!input.readInto(0, bytes.data(), kArMagic.size()) ||
      std::string_view(bytes.data(), kArMagic.size()) != kArMagic) {
    return std::nullopt;
  }
  auto offset = static_cast<std::int64_t>(kArMagic.size());
  for (int member = 0; member < kMaxDebianMembers; ++member) {
    if (!input.readInto(offset, bytes.data(), bytes.size())) return std::nullopt;
    const auto header = parseHeader(std::string_view(bytes.data(), bytes.size()));
    if (!header || (member == 0 && header->name != "debian-binary")) return std::nullopt;
    const std::int64_t start = offset + static_cast<std::int64_t>(kHeaderSize);
    if (header->name.starts_with("data.tar")) {
      return DebianMember{.name = header->name, .offset = start, .size = header->size};
    }
    // Members start at even offsets.
    offset = start + header->size + (header->size & 1);
  }
  return std::nullopt;
}

}  // namespace vexel::readers_internal
