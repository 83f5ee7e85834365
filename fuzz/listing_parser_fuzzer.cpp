// Fuzzes the tool listing parser: any text must parse without a fault, and
// the records must keep the invariants the tree relies on.
#include "archiver/listing_parser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto [properties, entries] = vexel::ListingParser::parse(text);
  for (const vexel::RawEntry& entry : entries) {
    const std::string_view path = entry.path;
    // "./" goes before "/" does, so "/./a" keeps its "./"; no "/" is left at either end.
    if (path.empty() || path.starts_with('/') || path.ends_with('/')) std::abort();
    if (!entry.isDir && !entry.packed) std::abort();
  }
  // Volumes come from a "Volumes" line, of the archive or of a container before it.
  if (properties.volumes != 1 && text.find("Volumes = ") == std::string_view::npos) std::abort();

  // A line's key and value are the line itself, minus the " = " between them.
  const std::string_view line = text.substr(0, text.find('\n'));
  if (const auto pair = vexel::ListingParser::keyValue(line)) {
    if (pair->first.size() + pair->second.size() +
            (line.find(" = ") != std::string_view::npos ? 3 : 2) !=
        line.size()) {
      std::abort();
    }
  }
  if (size >= 19) (void)vexel::ListingParser::readDate(text.substr(0, 19));
  return 0;
}
