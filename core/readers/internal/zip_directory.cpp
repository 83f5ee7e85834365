#include "zip_stored_names.h"

#include <algorithm>
#include <limits>

#include "input_file.h"
#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::uint16_t kUtf8Flag = 0x0800;
// The end record plus the longest comment, and the ZIP64 locator before it.
constexpr std::size_t kTailSize = kEndSize + 0xFFFF + 20;
// A central directory larger than this is not read for names.
constexpr std::uint64_t kMaxDirectory = 512ULL << 20;

std::uint64_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t k = width; k-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
  }
  return value;
}

// Directory: where the central directory is and how many records it has.
struct Directory {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t correction = 0;  // bytes prepended to the archive (self-extractors)
};

// readAt: exactly `length` bytes of the file from `offset`, or nothing.
std::optional<std::string> readAt(InputFile& file, std::uint64_t offset, std::size_t length) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
  return file.readAt(static_cast<std::int64_t>(offset), length);
}

std::optional<Directory> findDirectory(InputFile& file, std::uint64_t fileSize) {
  const std::size_t tailSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kTailSize));
  const std::uint64_t tailOffset = fileSize - tailSize;
  const std::optional<std::string> tail = readAt(file, tailOffset, tailSize);
  if (!tail || tail->size() < kEndSize) return std::nullopt;
  // The last end record, as libarchive looks for it.
  for (std::size_t at = tail->size() - kEndSize + 1; at-- > 0;) {
    if (littleEndian(*tail, at, 4) != kEndSignature) continue;
    // A split ZIP's offsets count from its own volume; libarchive reads no
    // such directory either.
    if (littleEndian(*tail, at + 4, 2) != 0 || littleEndian(*tail, at + 6, 2) != 0) {
      return std::nullopt;
    }
    const std::uint64_t endOffset = tailOffset + at;
    std::uint64_t size = littleEndian(*tail, at + 12, 4);
    std::uint64_t offset = littleEndian(*tail, at + 16, 4);
    std::uint64_t directoryEnd = endOffset;
    if ((size == 0xFFFFFFFF || offset == 0xFFFFFFFF) && at >= 20 &&
        littleEndian(*tail, at - 20, 4) == kZip64LocatorSignature) {
      const std::uint64_t zip64End = littleEndian(*tail, at - 12, 8);
      const std::optional<std::string> record = readAt(file, zip64End, 56);
      if (!record || littleEndian(*record, 0, 4) != kZip64EndSignature) return std::nullopt;
      size = littleEndian(*record, 40, 8);
      offset = littleEndian(*record, 48, 8);
      directoryEnd = zip64End;
    }
    if (size > directoryEnd || offset > directoryEnd - size) return std::nullopt;
    const std::uint64_t start = directoryEnd - size;
    return Directory{.offset = start, .size = size, .correction = start - offset};
  }
  return std::nullopt;
}

// zip64Offset: the local header offset from a ZIP64 extra field, which holds
// the 64-bit forms of the fields whose 32-bit forms are all ones, in order.
std::optional<std::uint64_t> zip64Offset(std::string_view extra, bool sizeIsLong,
                                         bool packedIsLong) {
  for (std::size_t at = 0; at + 4 <= extra.size();) {
    const auto id = littleEndian(extra, at, 2);
    const auto length = static_cast<std::size_t>(littleEndian(extra, at + 2, 2));
    if (at + 4 + length > extra.size()) return std::nullopt;
    if (id == 0x0001) {
      const std::size_t skip = (sizeIsLong ? 8U : 0U) + (packedIsLong ? 8U : 0U);
      if (skip + 8 > length) return std::nullopt;
      return littleEndian(extra, at + 4 + skip, 8);
    }
    at += 4 + length;
  }
  return std::nullopt;
}

}  // namespace

bool ZipStoredNames::load() {
  mLoaded = true;
  const auto fileSize = static_cast<std::uint64_t>(mInput.streamSize());
  const std::optional<Directory> directory = findDirectory(mInput, fileSize);
  if (!directory || directory->size > kMaxDirectory) return false;
  const std::optional<std::string> bytes =
      readAt(mInput, directory->offset, static_cast<std::size_t>(directory->size));
  if (!bytes) return false;

  std::vector<Record> records;
  for (std::size_t at = 0; at + kCentralSize <= bytes->size();) {
    if (littleEndian(*bytes, at, 4) != kCentralSignature) break;
    const auto flags = littleEndian(*bytes, at + 8, 2);
    const bool packedIsLong = littleEndian(*bytes, at + 20, 4) == 0xFFFFFFFF;
    const bool sizeIsLong = littleEndian(*bytes, at + 24, 4) == 0xFFFFFFFF;
    const auto nameLength = static_cast<std::size_t>(littleEndian(*bytes, at + 28, 2));
    const auto extraLength = static_cast<std::size_t>(littleEndian(*bytes, at + 30, 2));
    const auto commentLength = static_cast<std::size_t>(littleEndian(*bytes, at + 32, 2));
    const std::size_t next = at + kCentralSize + nameLength + extraLength + commentLength;
    if (next > bytes->size()) return false;
    const std::string_view name(bytes->data() + at + kCentralSize, nameLength);
    const std::string_view extra(name.data() + nameLength, extraLength);
    std::optional<std::uint64_t> offset = littleEndian(*bytes, at + 42, 4);
    if (*offset == 0xFFFFFFFF) offset = zip64Offset(extra, sizeIsLong, packedIsLong);
    if (!offset) return false;
    Record record{.localHeaderOffset = *offset + directory->correction, .unreadableName = {}};
    if ((flags & kUtf8Flag) != 0 && !text::isValidUtf8(name))
      record.unreadableName = std::string(name);
    records.push_back(std::move(record));
    at = next;
  }
  // libarchive lists a seekable ZIP by local header offset and keeps only
  // the first of records that share one.
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.localHeaderOffset < b.localHeaderOffset;
  });
  records.erase(std::unique(records.begin(), records.end(),
                            [](const Record& a, const Record& b) {
                              return a.localHeaderOffset == b.localHeaderOffset;
                            }),
                records.end());
  mRecords = std::move(records);
  return true;
}

std::optional<std::string> ZipStoredNames::unreadableNameAt(std::size_t ordinal) {
  if (!mLoaded && !load()) return std::nullopt;
  if (ordinal >= mRecords.size()) return std::nullopt;
  return mRecords[ordinal].unreadableName;
}

}  // namespace vexel::readers_internal
