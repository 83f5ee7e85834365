#include "record_stream.h"

#include <cstring>
#include <utility>

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kHeaderSize = 5;  // length (4) and kind (1)

// Entry flags: which optional fields follow.
constexpr std::uint8_t kIsDir = 1;
constexpr std::uint8_t kEncrypted = 2;
constexpr std::uint8_t kHasPacked = 4;
constexpr std::uint8_t kHasModified = 8;
constexpr std::uint8_t kHasBlock = 16;

// End flags.
constexpr std::uint8_t kHasError = 1;
constexpr std::uint8_t kHasSkipped = 2;
constexpr std::uint8_t kOverMemoryBudget = 4;
constexpr std::uint8_t kPastDeadline = 8;

ArchiveError errorOf(ArchiveError::Kind kind, std::string payload) {
  switch (kind) {
    case ArchiveError::Kind::toolMissing:
      return ArchiveError::toolMissing(std::move(payload));
    case ArchiveError::Kind::readOnly:
      return ArchiveError::readOnly(std::move(payload));
    case ArchiveError::Kind::failed:
      return ArchiveError::failed(std::move(payload));
    case ArchiveError::Kind::passwordRequired:
      return ArchiveError::passwordRequired();
    case ArchiveError::Kind::cancelled:
      return ArchiveError::cancelled();
    case ArchiveError::Kind::notArchive:
      return ArchiveError::notArchive();
  }
  return ArchiveError::cannotRead("");
}

// Cursor: reads the body of one record; any read past its end fails it.
class Cursor {
 public:
  explicit Cursor(std::string_view body) : mBody(body) {}

  [[nodiscard]] bool isOk() const noexcept { return mIsOk; }
  [[nodiscard]] bool isAtEnd() const noexcept { return mOffset == mBody.size(); }

  std::uint8_t u8() {
    if (!take(1)) return 0;
    return static_cast<std::uint8_t>(mBody[mOffset - 1]);
  }
  std::uint32_t u32() {
    std::uint32_t value = 0;
    if (take(sizeof value))
      std::memcpy(&value, mBody.data() + mOffset - sizeof value, sizeof value);
    return value;
  }
  std::uint64_t u64() {
    std::uint64_t value = 0;
    if (take(sizeof value))
      std::memcpy(&value, mBody.data() + mOffset - sizeof value, sizeof value);
    return value;
  }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  void text(std::string& out) {
    const std::uint32_t length = u32();
    if (!mIsOk || length > mBody.size() - mOffset) {
      mIsOk = false;
      return;
    }
    out.assign(mBody.substr(mOffset, static_cast<std::size_t>(length)));
    mOffset += static_cast<std::size_t>(length);
  }

 private:
  bool take(std::size_t count) {
    if (!mIsOk || count > mBody.size() - mOffset) {
      mIsOk = false;
      return false;
    }
    mOffset += count;
    return true;
  }

  std::string_view mBody;
  std::size_t mOffset = 0;
  bool mIsOk = true;
};

}  // namespace

// ---------------------------------------------------------------------------
// Writing

void RecordWriter::begin(RecordKind kind) {
  mStart = mBytes.size();
  mBytes.append(4, '\0');
  u8(static_cast<std::uint8_t>(kind));
}

void RecordWriter::finish() {
  const auto length = static_cast<std::uint32_t>(mBytes.size() - mStart - kHeaderSize);
  std::memcpy(mBytes.data() + mStart, &length, sizeof length);
}

void RecordWriter::u8(std::uint8_t value) { mBytes.push_back(static_cast<char>(value)); }

void RecordWriter::u32(std::uint32_t value) {
  char raw[sizeof value];
  std::memcpy(raw, &value, sizeof value);
  mBytes.append(raw, sizeof value);
}

void RecordWriter::u64(std::uint64_t value) {
  char raw[sizeof value];
  std::memcpy(raw, &value, sizeof value);
  mBytes.append(raw, sizeof value);
}

// Texts are names and messages, each far below 4 GiB (the name budget).
void RecordWriter::text(std::string_view value) {
  u32(static_cast<std::uint32_t>(value.size()));
  mBytes.append(value);
}

void RecordWriter::request(const ListRequest& request) {
  begin(RecordKind::request);
  text(request.path);
  u64(static_cast<std::uint64_t>(request.deadline.time_since_epoch().count()));
  u64(request.maxEntries);
  u64(request.maxNameBytes);
  u64(request.memoryBudget);
  u64(static_cast<std::uint64_t>(request.stopGrace.count()));
  u64(static_cast<std::uint64_t>(request.identifyGrace.count()));
  u64(request.sourceMaker);
  finish();
}

void RecordWriter::facts(int formatCode, int filterCode) {
  begin(RecordKind::facts);
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(formatCode)));
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(filterCode)));
  finish();
}

void RecordWriter::entry(const RawEntry& entry) {
  begin(RecordKind::entry);
  std::uint8_t flags = 0;
  if (entry.isDir) flags |= kIsDir;
  if (entry.encrypted) flags |= kEncrypted;
  if (entry.packed) flags |= kHasPacked;
  if (entry.modified) flags |= kHasModified;
  if (entry.block) flags |= kHasBlock;
  u8(flags);
  text(entry.path);
  u64(static_cast<std::uint64_t>(entry.size));
  if (entry.packed) u64(static_cast<std::uint64_t>(*entry.packed));
  if (entry.modified) u64(static_cast<std::uint64_t>(entry.modified->time_since_epoch().count()));
  if (entry.block) u64(static_cast<std::uint64_t>(*entry.block));
  text(entry.crc);
  text(entry.method);
  finish();
}

// A mark has no body: `ready` or `hold`.
void RecordWriter::mark(RecordKind kind) {
  begin(kind);
  finish();
}

void RecordWriter::end(const ListEnd& end) {
  begin(RecordKind::end);
  u8(end.end);
  std::uint8_t flags = 0;
  if (end.error) flags |= kHasError;
  if (end.hasSkipped) flags |= kHasSkipped;
  if (end.isOverMemoryBudget) flags |= kOverMemoryBudget;
  if (end.isPastDeadline) flags |= kPastDeadline;
  u8(flags);
  if (end.error) {
    u8(static_cast<std::uint8_t>(end.error->kind()));
    text(end.error->payload());
  }
  finish();
}

void RecordWriter::rename(const HeldRename& rename) {
  begin(RecordKind::rename);
  u64(rename.index);
  text(rename.path);
  finish();
}

// ---------------------------------------------------------------------------
// Reading

std::optional<Record> RecordReader::next() {
  Record record;
  if (!next(record)) return std::nullopt;
  return record;
}

bool RecordReader::next(Record& record) {
  // Consumed bytes go once they are half the buffer (never while a record
  // is being decoded from it): cheap, and the buffer never holds much more
  // than a record and what came with it.
  if (mOffset > 0 && mOffset >= mBytes.size() / 2) {
    mBytes.erase(0, mOffset);
    mOffset = 0;
  }
  if (mIsBroken || mBytes.size() - mOffset < kHeaderSize) return false;
  std::uint32_t length = 0;
  std::memcpy(&length, mBytes.data() + mOffset, sizeof length);
  if (length > kMaxRecord) {
    mIsBroken = true;
    return false;
  }
  if (mBytes.size() - mOffset - kHeaderSize < length) return false;
  const auto kind = static_cast<RecordKind>(static_cast<std::uint8_t>(mBytes[mOffset + 4]));
  Cursor in(std::string_view(mBytes).substr(mOffset + kHeaderSize, length));
  mOffset += kHeaderSize + length;

  record.kind = kind;
  switch (kind) {
    case RecordKind::request: {
      ListRequest& request = record.request;
      in.text(request.path);
      request.deadline =
          std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(in.i64()));
      request.maxEntries = in.u64();
      request.maxNameBytes = in.u64();
      request.memoryBudget = in.u64();
      request.stopGrace = std::chrono::milliseconds(in.i64());
      request.identifyGrace = std::chrono::milliseconds(in.i64());
      request.sourceMaker = static_cast<std::uintptr_t>(in.u64());
      break;
    }
    case RecordKind::facts:
      record.formatCode = static_cast<int>(in.i64());
      record.filterCode = static_cast<int>(in.i64());
      break;
    case RecordKind::entry: {
      RawEntry& entry = record.entry;
      const std::uint8_t flags = in.u8();
      in.text(entry.path);
      entry.isDir = (flags & kIsDir) != 0;
      entry.encrypted = (flags & kEncrypted) != 0;
      entry.size = in.i64();
      entry.packed.reset();
      entry.modified.reset();
      entry.block.reset();
      if ((flags & kHasPacked) != 0) entry.packed = in.i64();
      if ((flags & kHasModified) != 0) {
        entry.modified = std::chrono::sys_seconds(std::chrono::seconds(in.i64()));
      }
      if ((flags & kHasBlock) != 0) entry.block = in.i64();
      in.text(entry.crc);
      in.text(entry.method);
      break;
    }
    case RecordKind::ready:
    case RecordKind::hold:
      break;
    case RecordKind::end: {
      ListEnd& end = record.end;
      end = ListEnd{};
      end.end = in.u8();
      const std::uint8_t flags = in.u8();
      end.hasSkipped = (flags & kHasSkipped) != 0;
      end.isOverMemoryBudget = (flags & kOverMemoryBudget) != 0;
      end.isPastDeadline = (flags & kPastDeadline) != 0;
      if ((flags & kHasError) != 0) {
        const std::uint8_t errorKind = in.u8();
        std::string payload;
        in.text(payload);
        if (errorKind > static_cast<std::uint8_t>(ArchiveError::Kind::notArchive)) {
          mIsBroken = true;
          return false;
        }
        end.error = errorOf(static_cast<ArchiveError::Kind>(errorKind), std::move(payload));
      }
      break;
    }
    case RecordKind::rename:
      record.rename.index = in.u64();
      in.text(record.rename.path);
      break;
    default:
      mIsBroken = true;
      return false;
  }
  if (!in.isOk() || !in.isAtEnd()) {
    mIsBroken = true;
    return false;
  }
  return true;
}

}  // namespace vexel::readers_internal
