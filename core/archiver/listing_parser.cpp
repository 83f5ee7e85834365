#include "archiver/listing_parser.h"

#include "internal/local_time.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <unordered_map>

namespace vexel {
namespace {

using std::int64_t;

constexpr std::string_view kSeparator = "----------";
constexpr std::string_view kArchiveBlockStart = "--";

// Lines cut at LF, with one CR before it removed; a lone CR ends nothing.
class Lines {
 public:
  explicit Lines(std::string_view text) noexcept : mText(text) {}
  [[nodiscard]] bool next(std::string_view& line) noexcept {
    if (mAt >= mText.size()) return false;
    const char* start = mText.data() + mAt;
    const size_t left = mText.size() - mAt;
    const void* lf = std::memchr(start, '\n', left);
    const size_t length =
        lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) : left;
    line = std::string_view(start, length);
    mAt += length + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }
  [[nodiscard]] size_t position() const noexcept { return mAt; }
  void skipTo(size_t at) noexcept { mAt = at; }

 private:
  std::string_view mText;
  size_t mAt = 0;
};

// A decimal number: one optional sign, then digits only, within 64 bits.
std::optional<int64_t> readDecimal(std::string_view text) noexcept {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated as a negative value, whose range includes INT64_MIN.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

bool readFlag(std::string_view value) noexcept { return value == "+"; }

// The keys an entry block is read for; the first line of each key counts.
enum EntryKey : unsigned {
  kPath,
  kFolder,
  kAttributes,
  kSize,
  kPackedSize,
  kModified,
  kCrc,
  kEncrypted,
  kMethod,
  kBlock,
  kKeyCount,
  kOther
};

EntryKey entryKeyOf(std::string_view key) noexcept {
  switch (key.size()) {
    case 3:
      return key == "CRC" ? kCrc : kOther;
    case 4:
      return key == "Path" ? kPath : key == "Size" ? kSize : kOther;
    case 5:
      return key == "Block" ? kBlock : kOther;
    case 6:
      return key == "Folder" ? kFolder : key == "Method" ? kMethod : kOther;
    case 8:
      return key == "Modified" ? kModified : kOther;
    case 9:
      return key == "Encrypted" ? kEncrypted : kOther;
    case 10:
      return key == "Attributes" ? kAttributes : kOther;
    case 11:
      return key == "Packed Size" ? kPackedSize : kOther;
    default:
      return kOther;
  }
}

// The block being read: the first value of each known key. Other keys
// would be ignored by every rule, so they are not kept.
struct EntryBlock {
  std::string_view values[kKeyCount];
  unsigned seen = 0;

  void add(std::string_view key, std::string_view value) noexcept {
    const EntryKey k = entryKeyOf(key);
    if (k == kOther || has(k)) return;
    seen |= 1u << k;
    values[k] = value;
  }
  [[nodiscard]] bool has(EntryKey k) const noexcept { return (seen & (1u << k)) != 0; }
  [[nodiscard]] std::string_view get(EntryKey k) const noexcept {
    return has(k) ? values[k] : std::string_view();
  }
};

// Ends an entry block: one entry when it has a usable path.
void flush(EntryBlock& block, std::vector<RawEntry>& entries) {
  std::string_view path = block.get(kPath);
  while (path.starts_with("./")) path.remove_prefix(2);
  while (path.starts_with('/')) path.remove_prefix(1);
  while (path.ends_with('/')) path.remove_suffix(1);
  if (!path.empty()) {
    RawEntry& entry = entries.emplace_back();
    entry.path.assign(path);
    entry.isDir = readFlag(block.get(kFolder)) || block.get(kAttributes).starts_with('D');
    entry.size = readDecimal(block.get(kSize)).value_or(0);
    entry.packed = readDecimal(block.get(kPackedSize));
    // Only the first 19 characters count: listers append fractions of a second.
    const std::string_view modified = block.get(kModified);
    if (modified.size() >= 19)
      entry.modified = archiver_internal::readLocalDateTime(modified.substr(0, 19));
    entry.crc.assign(block.get(kCrc));
    entry.encrypted = readFlag(block.get(kEncrypted));
    entry.method.assign(block.get(kMethod));
    entry.block = readDecimal(block.get(kBlock));
  }
  block.seen = 0;
}

void readArchiveLine(std::string_view key, std::string_view value, ArchiveProperties& properties) {
  properties.raw.emplace_back(key, value);
  if (key == "Type") {
    if (properties.type.empty()) properties.type.assign(value);
  } else if (key == "Physical Size") {
    properties.physicalSize = readDecimal(value).value_or(0);
  } else if (key == "Solid") {
    properties.solid = readFlag(value);
  } else if (key == "Encrypted") {
    properties.headersEncrypted = readFlag(value);
  } else if (key == "Comment") {
    properties.comment.assign(value);
  } else if (key == "Multivolume") {
    properties.isMultiVolume = readFlag(value);
  } else if (key == "Volumes") {
    properties.volumes = readDecimal(value).value_or(1);
  } else if (key == "Method") {
    properties.method.assign(value);
  }
}

int64_t saturatingAdd(int64_t a, int64_t b) noexcept {
  int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// Truncation toward zero, clamped to the 64-bit range (NaN gives 0).
int64_t truncateToInt64(double value) noexcept {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

struct BlockTotals {
  int64_t size = 0;
  int64_t packed = 0;
  bool hasPacked = false;
};

// Block numbers are small counters in practice; others go to a map.
class BlockTable {
 public:
  BlockTotals& at(int64_t block) {
    if (block >= 0 && block < kDense) {
      const auto index = static_cast<size_t>(block);
      if (index >= mDense.size()) mDense.resize(index + 1);
      return mDense[index];
    }
    return mSparse[block];
  }
  [[nodiscard]] const BlockTotals* find(int64_t block) const {
    if (block >= 0 && block < kDense) {
      const auto index = static_cast<size_t>(block);
      return index < mDense.size() ? &mDense[index] : nullptr;
    }
    const auto found = mSparse.find(block);
    return found == mSparse.end() ? nullptr : &found->second;
  }

 private:
  static constexpr int64_t kDense = 1 << 16;
  std::vector<BlockTotals> mDense;
  std::unordered_map<int64_t, BlockTotals> mSparse;
};

// Where the parts of a listing lie: the key/value lines of the archive
// block (a value printed over several lines counts as one), the volume keys
// of the containers' blocks before it, and the offset of the first line
// after the separator. Values are views into the listing or into `joined`.
struct Layout {
  std::vector<ListingParser::KeyValue> archive;
  std::deque<std::string> joined;  ///< multi-line values, joined with LF
  std::optional<int64_t> outerVolumes;
  std::optional<bool> outerMultiVolume;
  size_t entriesStart = 0;
  bool separated = false;
};

// Where the last line of `text` that is exactly "}" (a CR before its LF
// allowed) starts; npos when there is none. Searched from the end.
size_t lastClosingBraceLine(std::string_view text) noexcept {
  // A final LF ends the last line; it does not start another.
  size_t lineEnd = text.ends_with('\n') ? text.size() - 1 : text.size();
  for (;;) {
    const size_t lf = lineEnd == 0 ? std::string_view::npos : text.rfind('\n', lineEnd - 1);
    const size_t start = lf == std::string_view::npos ? 0 : lf + 1;
    std::string_view line = text.substr(start, lineEnd - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line == "}") return start;
    if (start == 0) return std::string_view::npos;
    lineEnd = start - 1;
  }
}

// 7-Zip prints an archive property whose value holds line feeds (a ZIP or
// gzip comment, a stored name) as "Key = ", then "{", the value's lines as
// they are, and "}". Those lines are the archive's, not 7-Zip's: read as
// lines they could close the block and forge entries (a comment holding
// "----------" and "Path = evil.exe" did). Nothing that 7-Zip prints after
// the archive block is a bare "}" line (entry values have their line feeds
// replaced), so the value runs to the last such line of the text: a "}"
// inside the comment cannot end it early.
Layout layoutOf(std::string_view listing) {
  Layout layout;
  Lines lines(listing);
  std::string_view line;
  bool afterEmptyValue = false;  // the line before was "Key = " or "Key ="
  bool inBlock = false;          // a "--" line has been met
  while (lines.next(line)) {
    if (line == kSeparator) {
      layout.entriesStart = lines.position();
      layout.separated = true;
      return layout;
    }
    if (line == "{" && afterEmptyValue) {
      const size_t valueStart = std::min(lines.position(), listing.size());
      const std::string_view rest = listing.substr(valueStart);
      const size_t brace = lastClosingBraceLine(rest);
      // An unclosed value leaves nothing after it that can be trusted.
      if (brace == std::string_view::npos) return Layout{};
      std::string_view value = rest.substr(0, brace);
      if (value.ends_with('\n')) value.remove_suffix(1);
      std::string& joined = layout.joined.emplace_back();
      Lines valueLines(value);
      std::string_view valueLine;
      for (bool first = true; valueLines.next(valueLine); first = false) {
        if (!first) joined += '\n';
        joined.append(valueLine);
      }
      layout.archive.back().second = joined;
      lines.skipTo(valueStart + brace);
      (void)lines.next(line);  // the "}" line
      afterEmptyValue = false;
      continue;
    }
    afterEmptyValue = false;
    if (line == kArchiveBlockStart) {
      // The block that ends here describes a container of the archive;
      // lines before the first "--" describe nothing.
      for (const auto& [key, value] : layout.archive) {
        if (!inBlock) break;
        // A container of no volumes counts none: the archive has its one.
        if (key == "Volumes")
          layout.outerVolumes = std::max<int64_t>(readDecimal(value).value_or(1), 1);
        if (key == "Multivolume") layout.outerMultiVolume = readFlag(value);
      }
      layout.archive.clear();
      inBlock = true;
      continue;
    }
    if (const auto pair = ListingParser::keyValue(line)) {
      layout.archive.push_back(*pair);
      afterEmptyValue = pair->second.empty();
    }
  }
  return layout;
}

}  // namespace

std::optional<ListingParser::KeyValue> ListingParser::keyValue(std::string_view line) noexcept {
  const size_t equals = line.find(" = ");
  if (equals != std::string_view::npos)
    return KeyValue{line.substr(0, equals), line.substr(equals + 3)};
  if (line.ends_with(" =")) return KeyValue{line.substr(0, line.size() - 2), std::string_view()};
  return std::nullopt;
}

std::optional<std::chrono::sys_seconds> ListingParser::readDate(std::string_view text) noexcept {
  return archiver_internal::readLocalDateTime(text);
}

ListingParser::Result ListingParser::parse(std::string_view listing) {
  Result result;
  const Layout layout = layoutOf(listing);
  if (!layout.separated) return result;

  bool ownVolumes = false;
  bool ownMultiVolume = false;
  for (const auto& [key, value] : layout.archive) {
    readArchiveLine(key, value, result.properties);
    ownVolumes = ownVolumes || key == "Volumes";
    ownMultiVolume = ownMultiVolume || key == "Multivolume";
  }
  // A container listed before the archive (a split archive's "Split"
  // block) is the one that knows the volumes; the archive's own lines win.
  if (!ownVolumes && layout.outerVolumes) result.properties.volumes = *layout.outerVolumes;
  if (!ownMultiVolume) {
    result.properties.isMultiVolume =
        layout.outerMultiVolume.value_or(layout.outerVolumes.value_or(1) > 1);
  }

  if (layout.entriesStart < listing.size()) {
    Lines entryLines(listing.substr(layout.entriesStart));
    EntryBlock block;
    std::string_view line;
    while (entryLines.next(line)) {
      if (line.empty()) {
        flush(block, result.entries);
      } else if (const auto pair = keyValue(line)) {
        block.add(pair->first, pair->second);
      }
    }
    flush(block, result.entries);
  }

  fillPackedSizes(result.entries, result.properties.physicalSize);
  return result;
}

void ListingParser::forEachEntryBlock(std::string_view listing,
                                      const std::function<void(std::span<const KeyValue>)>& visit) {
  const Layout layout = layoutOf(listing);
  if (!layout.separated || layout.entriesStart >= listing.size()) return;
  std::vector<KeyValue> block;
  const auto end = [&] {
    if (!block.empty()) visit(block);
    block.clear();
  };
  Lines entryLines(listing.substr(layout.entriesStart));
  std::string_view line;
  while (entryLines.next(line)) {
    if (line.empty()) {
      end();
    } else if (const auto pair = keyValue(line)) {
      block.push_back(*pair);
    }
  }
  end();
}

void ListingParser::fillPackedSizes(std::vector<RawEntry>& entries, int64_t physicalSize) {
  BlockTable blocks;
  for (const RawEntry& entry : entries) {
    if (entry.isDir || !entry.block) continue;
    BlockTotals& totals = blocks.at(*entry.block);
    totals.size = saturatingAdd(totals.size, entry.size);
    if (entry.packed) {
      // A solid block's packed size is listed once, on one of its files
      // (or repeated on each): the largest value stands for the block.
      totals.packed = std::max(totals.packed, *entry.packed);
      totals.hasPacked = true;
    }
  }

  bool missing = false;
  for (RawEntry& entry : entries) {
    if (entry.isDir) continue;
    if (entry.block) {
      const BlockTotals* totals = blocks.find(*entry.block);
      if (totals != nullptr && totals->size >= 1 && totals->hasPacked) {
        entry.packed =
            truncateToInt64(static_cast<double>(totals->packed) * static_cast<double>(entry.size) /
                            static_cast<double>(totals->size));
      }
    }
    missing = missing || !entry.packed;
  }
  if (!missing) return;

  int64_t totalSize = 0;
  for (const RawEntry& entry : entries) {
    if (!entry.isDir) totalSize = saturatingAdd(totalSize, entry.size);
  }
  double ratio = 1.0;
  if (totalSize >= 1 && physicalSize > 0) {
    ratio = std::min(1.0, static_cast<double>(physicalSize) / static_cast<double>(totalSize));
  }
  for (RawEntry& entry : entries) {
    if (!entry.isDir && !entry.packed)
      entry.packed = truncateToInt64(ratio * static_cast<double>(entry.size));
  }
}

}  // namespace vexel
