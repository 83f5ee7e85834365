#include "zip_directory.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "input_file.h"

namespace vexel::readers_internal {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::uint16_t kUtf8Flag = 0x0800;
constexpr std::uint16_t kZip64Field = 0x0001;
constexpr std::uint16_t kNtfsField = 0x000A;
constexpr std::uint16_t kUnicodePathField = 0x7075;
constexpr std::uint16_t kExtendedTimeField = 0x5455;
constexpr std::uint16_t kPkwareUnixField = 0x000D;
// The end record plus the longest comment, and the ZIP64 locator before it.
constexpr std::size_t kTailSize = kEndSize + 0xFFFF + 20;
// Records are read this much at a time.
constexpr std::size_t kRecordReadSize = 256 * 1024;
// A directory out of offset order is read whole, up to this size.
constexpr std::uint64_t kMaxSortedDirectory = 512ULL << 20;
// NTFS times count 100 ns from 1601; this many seconds lie before 1970.
constexpr std::int64_t kNtfsEpochOffset = 11644473600;

// littleEndian: the `width`-byte little-endian number at `at` (a million
// records are read per listing: one load where the machine allows).
std::uint64_t littleEndian(std::string_view bytes, std::size_t at, std::size_t width) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data() + at, width);
    return value;
  }
  std::uint64_t value = 0;
  for (std::size_t k = width; k-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
  }
  return value;
}

std::uint32_t crc32(std::string_view bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const char ch : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFFU] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFU;
}

// readAt: exactly `length` bytes of the file from `offset`, or nothing.
std::optional<std::string> readAt(InputFile& file, std::uint64_t offset, std::size_t length) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
  return file.readAt(static_cast<std::int64_t>(offset), length);
}

// Span: where the central directory lies in the stream.
struct Span {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint64_t correction = 0;  // bytes prepended to the archive (self-extractors)
  bool isSplit = false;          // offsets count from the start of their own volume
};

std::optional<Span> findDirectory(InputFile& file, std::uint64_t fileSize) {
  const std::size_t tailSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kTailSize));
  const std::uint64_t tailOffset = fileSize - tailSize;
  const std::optional<std::string> tail = readAt(file, tailOffset, tailSize);
  if (!tail || tail->size() < kEndSize) return std::nullopt;
  // The last end record, as libarchive looks for it.
  for (std::size_t at = tail->size() - kEndSize + 1; at-- > 0;) {
    if (littleEndian(*tail, at, 4) != kEndSignature) continue;
    const std::uint64_t endOffset = tailOffset + at;
    std::uint64_t disk = littleEndian(*tail, at + 4, 2);
    std::uint64_t directoryDisk = littleEndian(*tail, at + 6, 2);
    std::uint64_t size = littleEndian(*tail, at + 12, 4);
    std::uint64_t offset = littleEndian(*tail, at + 16, 4);
    std::uint64_t directoryEnd = endOffset;
    // A ZIP64 end record stands between the directory and the end record
    // whenever its locator does, whether or not the fields above are full.
    // It normally lies just before the locator; the locator's own offset
    // is off by whatever was prepended to the archive.
    if (at >= 20 && littleEndian(*tail, at - 20, 4) == kZip64LocatorSignature) {
      bool isFound = false;
      for (const std::uint64_t zip64End :
           {endOffset >= 76 ? endOffset - 76 : endOffset, littleEndian(*tail, at - 12, 8)}) {
        const std::optional<std::string> record = readAt(file, zip64End, 56);
        if (!record || littleEndian(*record, 0, 4) != kZip64EndSignature) continue;
        disk = littleEndian(*record, 16, 4);
        directoryDisk = littleEndian(*record, 20, 4);
        size = littleEndian(*record, 40, 8);
        offset = littleEndian(*record, 48, 8);
        directoryEnd = zip64End;
        isFound = true;
        break;
      }
      if (!isFound && (size == 0xFFFFFFFF || offset == 0xFFFFFFFF)) return std::nullopt;
    }
    if (disk != 0 || directoryDisk != 0) {
      // A split ZIP read as one stream, its volumes one after another
      // (libarchive reads it entry by entry from the start).
      const std::optional<std::int64_t> volume = file.volumeStart(directoryDisk);
      if (!volume) return std::nullopt;
      const auto start = static_cast<std::uint64_t>(*volume) + offset;
      if (start > directoryEnd || size > directoryEnd - start) return std::nullopt;
      return Span{.start = start, .size = size, .correction = 0, .isSplit = true};
    }
    if (size > directoryEnd || offset > directoryEnd - size) return std::nullopt;
    const std::uint64_t start = directoryEnd - size;
    return Span{.start = start, .size = size, .correction = start - offset, .isSplit = false};
  }
  return std::nullopt;
}

// unixSeconds: a 32-bit time of an extra field, in seconds since 1970,
// unsigned as libarchive and 7-Zip read it (2106 rather than 1969).
std::int64_t unixSeconds(std::string_view data, std::size_t at) {
  return static_cast<std::int64_t>(littleEndian(data, at, 4));
}

// Long: which fixed fields of a record hold all ones, so that the ZIP64
// field holds their 64-bit forms, in this order.
struct Long {
  bool size = false;
  bool packed = false;
  bool offset = false;
  bool disk = false;
};

// readExtra: what the extra fields of a record add to it: the 64-bit local
// header offset and volume, the Unicode Path, and the exact times (NTFS
// first, then the extended timestamp, then PKWARE's Unix field, as 7-Zip
// prefers them). False when the ZIP64 field is needed and missing.
bool readExtra(std::string_view extra, const Long& isLong, ZipRecord& record, std::uint64_t& disk) {
  bool hasOffset = !isLong.offset;
  std::optional<std::int64_t> extended;
  std::optional<std::int64_t> pkware;
  for (std::size_t at = 0; at + 4 <= extra.size();) {
    const auto id = static_cast<std::uint16_t>(littleEndian(extra, at, 2));
    const auto length = static_cast<std::size_t>(littleEndian(extra, at + 2, 2));
    if (at + 4 + length > extra.size()) break;
    const std::string_view data = extra.substr(at + 4, length);
    if (id == kZip64Field) {
      std::size_t next = (isLong.size ? 8U : 0U) + (isLong.packed ? 8U : 0U);
      if (isLong.offset && next + 8 <= length) {
        record.localHeaderOffset = littleEndian(data, next, 8);
        hasOffset = true;
        next += 8;
      }
      if (isLong.disk && next + 4 <= length) disk = littleEndian(data, next, 4);
    } else if (id == kUnicodePathField && length >= 5 && data[0] == 1) {
      if (littleEndian(data, 1, 4) == crc32(record.name))
        record.unicodePath = std::string(data.substr(5));
    } else if (id == kNtfsField) {
      // Four reserved bytes, then tagged attributes; tag 1 holds the times.
      for (std::size_t tag = 4; tag + 4 <= data.size();) {
        const auto tagId = littleEndian(data, tag, 2);
        const auto tagSize = static_cast<std::size_t>(littleEndian(data, tag + 2, 2));
        if (tag + 4 + tagSize > data.size()) break;
        if (tagId == 1 && tagSize >= 8) {
          const std::uint64_t ticks = littleEndian(data, tag + 4, 8);
          if (ticks != 0) {
            record.exactModified = static_cast<std::int64_t>(ticks / 10000000) - kNtfsEpochOffset;
          }
        }
        tag += 4 + tagSize;
      }
    } else if (id == kExtendedTimeField && length >= 5 && (data[0] & 1) != 0) {
      extended = unixSeconds(data, 1);
    } else if (id == kPkwareUnixField && length >= 8) {
      pkware = unixSeconds(data, 4);
    }
    at += 4 + length;
  }
  if (!record.exactModified) record.exactModified = extended ? extended : pkware;
  return hasOffset;
}

}  // namespace

ZipDirectory::ZipDirectory(InputFile& input) : mInput(input) {}
ZipDirectory::~ZipDirectory() = default;

bool ZipDirectory::open() {
  mIsOpen = true;
  const auto fileSize = static_cast<std::uint64_t>(mInput.streamSize());
  const std::optional<Span> span = findDirectory(mInput, fileSize);
  if (!span) return false;
  mStart = span->start;
  mEnd = span->start + span->size;
  mCorrection = span->correction;
  mIsSplit = span->isSplit;
  mNext = mStart;
  mBlockStart = mStart;
  return true;
}

// readNext: the record at `mNext`, which then moves past it; false at the
// end of the directory or on a damaged record.
bool ZipDirectory::readNext(ZipRecord& record) {
  // ensure: the block holds `length` bytes from `mNext`.
  const auto ensure = [&](std::size_t length) {
    if (mNext < mBlockStart || length > mEnd - mNext) return false;
    if (mNext + length <= mBlockStart + mBlock.size()) return true;
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max(kRecordReadSize, length), mEnd - mNext));
    // One buffer, grown rather than made anew: a large directory is read
    // hundreds of blocks at a time.
    if (mBuffer.size() < wanted) mBuffer.resize(wanted);
    if (mNext > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        !mInput.readInto(static_cast<std::int64_t>(mNext), mBuffer.data(), wanted)) {
      return false;
    }
    mBlock = std::string_view(mBuffer.data(), wanted);
    mBlockStart = mNext;
    return true;
  };
  if (mNext >= mEnd || !ensure(kCentralSize)) return false;
  std::string_view bytes = mBlock;
  std::size_t at = static_cast<std::size_t>(mNext - mBlockStart);
  if (littleEndian(bytes, at, 4) != kCentralSignature) return false;
  const auto nameLength = static_cast<std::size_t>(littleEndian(bytes, at + 28, 2));
  const auto extraLength = static_cast<std::size_t>(littleEndian(bytes, at + 30, 2));
  const auto commentLength = static_cast<std::size_t>(littleEndian(bytes, at + 32, 2));
  const std::size_t total = kCentralSize + nameLength + extraLength + commentLength;
  if (!ensure(total)) return false;
  bytes = mBlock;
  at = static_cast<std::size_t>(mNext - mBlockStart);

  const auto flags = littleEndian(bytes, at + 8, 2);
  std::uint64_t disk = littleEndian(bytes, at + 34, 2);
  const Long isLong{.size = littleEndian(bytes, at + 24, 4) == 0xFFFFFFFF,
                    .packed = littleEndian(bytes, at + 20, 4) == 0xFFFFFFFF,
                    .offset = littleEndian(bytes, at + 42, 4) == 0xFFFFFFFF,
                    .disk = disk == 0xFFFF};
  record.name.assign(bytes.substr(at + kCentralSize, nameLength));
  record.isUtf8 = (flags & kUtf8Flag) != 0;
  record.unicodePath.reset();
  record.exactModified.reset();
  record.localHeaderOffset = littleEndian(bytes, at + 42, 4);
  const std::string_view extra = bytes.substr(at + kCentralSize + nameLength, extraLength);
  if (!readExtra(extra, isLong, record, disk)) return false;
  if (mIsSplit) {
    const std::optional<std::int64_t> volume = mInput.volumeStart(disk);
    if (!volume) return false;
    record.localHeaderOffset += static_cast<std::uint64_t>(*volume);
  } else {
    record.localHeaderOffset += mCorrection;
  }
  mNext += total;
  return true;
}

bool ZipDirectory::loadSorted() {
  mIsSorted = true;
  mSorted.clear();
  if (mEnd - mStart > kMaxSortedDirectory) return false;
  mNext = mStart;
  mBlock = {};
  mBlockStart = mStart;
  ZipRecord record;
  while (readNext(record)) mSorted.push_back(record);
  // libarchive lists a seekable ZIP by local header offset and keeps only
  // the first of records that share one.
  std::stable_sort(mSorted.begin(), mSorted.end(), [](const ZipRecord& a, const ZipRecord& b) {
    return a.localHeaderOffset < b.localHeaderOffset;
  });
  mSorted.erase(std::unique(mSorted.begin(), mSorted.end(),
                            [](const ZipRecord& a, const ZipRecord& b) {
                              return a.localHeaderOffset == b.localHeaderOffset;
                            }),
                mSorted.end());
  mBlock = {};
  std::vector<char>().swap(mBuffer);
  return true;
}

void ZipDirectory::sortAll() {
  if (mIsSorted || mIsBroken) return;
  if ((!mIsOpen && !open()) || !loadSorted()) mIsBroken = true;
}

const ZipRecord* ZipDirectory::recordAt(std::size_t ordinal) {
  if (mIsBroken) return nullptr;
  if (!mIsOpen && !open()) {
    mIsBroken = true;
    return nullptr;
  }
  if (mIsSorted) return ordinal < mSorted.size() ? &mSorted[ordinal] : nullptr;
  while (!mHasCurrent || mCurrentOrdinal < ordinal) {
    // Two records take turns, so their buffers serve from record to record.
    ZipRecord& current = mRecords[mCurrentSlot];
    ZipRecord& next = mRecords[1 - mCurrentSlot];
    if (!readNext(next)) return nullptr;
    if (mHasCurrent && next.localHeaderOffset == current.localHeaderOffset) continue;
    if (mHasCurrent && next.localHeaderOffset < current.localHeaderOffset) {
      // Out of offset order: libarchive's order is only known from all records.
      if (!loadSorted()) {
        mIsBroken = true;
        return nullptr;
      }
      return recordAt(ordinal);
    }
    if (mHasCurrent) ++mCurrentOrdinal;
    mCurrentSlot = 1 - mCurrentSlot;
    mHasCurrent = true;
  }
  return mCurrentOrdinal == ordinal ? &mRecords[mCurrentSlot] : nullptr;
}

}  // namespace vexel::readers_internal
