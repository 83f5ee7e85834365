#include "record_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kRecordHeaderSize = 5;  // length (4) and kind (1)

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

// EntryHead: the fixed part of an entry record; its texts follow.
struct EntryHead {
  std::int64_t size;
  std::int64_t packed;
  std::int64_t modified;
  std::int64_t block;
  std::uint32_t pathSize;
  std::uint32_t crcSize;
  std::uint32_t methodSize;
  std::uint8_t flags;
};

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
  const auto length = static_cast<std::uint32_t>(mBytes.size() - mStart - kRecordHeaderSize);
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

void RecordWriter::facts(int formatCode, int filterCode, bool isDebianPackage) {
  begin(RecordKind::facts);
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(formatCode)));
  u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(filterCode)));
  u8(isDebianPackage ? 1 : 0);
  finish();
}

// An entry is the listing's bulk (a million of them for a large archive),
// so its record is one fixed head and its three texts, written and read
// with one copy each.
void RecordWriter::entry(const RawEntry& entry) {
  EntryHead head{};
  if (entry.isDir) head.flags |= kIsDir;
  if (entry.encrypted) head.flags |= kEncrypted;
  if (entry.packed) head.flags |= kHasPacked;
  if (entry.modified) head.flags |= kHasModified;
  if (entry.block) head.flags |= kHasBlock;
  head.pathSize = static_cast<std::uint32_t>(entry.path.size());
  head.crcSize = static_cast<std::uint32_t>(entry.crc.size());
  head.methodSize = static_cast<std::uint32_t>(entry.method.size());
  head.size = entry.size;
  head.packed = entry.packed.value_or(0);
  head.modified = entry.modified ? entry.modified->time_since_epoch().count() : 0;
  head.block = entry.block.value_or(0);
  const auto length = static_cast<std::uint32_t>(sizeof head + entry.path.size() +
                                                 entry.crc.size() + entry.method.size());
  char prefix[kRecordHeaderSize];
  std::memcpy(prefix, &length, sizeof length);
  prefix[4] = static_cast<char>(RecordKind::entry);
  mBytes.append(prefix, sizeof prefix)
      .append(reinterpret_cast<const char*>(&head), sizeof head)
      .append(entry.path)
      .append(entry.crc)
      .append(entry.method);
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

void RecordReader::append(std::string_view bytes) {
  std::memcpy(space(bytes.size()), bytes.data(), bytes.size());
  commit(bytes.size());
}

char* RecordReader::space(std::size_t size) {
  // What was read goes first (never while a record is being decoded from
  // it): the buffer holds a record's worth beyond what comes at once.
  if (mOffset > 0) {
    std::memmove(mBytes.data(), mBytes.data() + mOffset, mSize - mOffset);
    mSize -= mOffset;
    mOffset = 0;
  }
  if (mBytes.size() - mSize < size) mBytes.resize(std::max(mSize + size, mBytes.size() * 2));
  return mBytes.data() + mSize;
}

std::optional<Record> RecordReader::next() {
  Record record;
  if (!next(record)) return std::nullopt;
  return record;
}

bool RecordReader::next(Record& record) {
  if (mIsBroken || mSize - mOffset < kRecordHeaderSize) return false;
  std::uint32_t length = 0;
  std::memcpy(&length, mBytes.data() + mOffset, sizeof length);
  if (length > kMaxRecord) {
    mIsBroken = true;
    return false;
  }
  if (mSize - mOffset - kRecordHeaderSize < length) return false;
  const auto kind = static_cast<RecordKind>(static_cast<std::uint8_t>(mBytes[mOffset + 4]));
  const std::string_view body(mBytes.data() + mOffset + kRecordHeaderSize, length);
  Cursor in(body);
  mOffset += kRecordHeaderSize + length;

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
      record.isDebianPackage = in.u8() != 0;
      break;
    case RecordKind::entry: {
      RawEntry& entry = record.entry;
      EntryHead head;
      if (body.size() < sizeof head) {
        mIsBroken = true;
        return false;
      }
      std::memcpy(&head, body.data(), sizeof head);
      if (std::size_t{head.pathSize} + head.crcSize + head.methodSize !=
          body.size() - sizeof head) {
        mIsBroken = true;
        return false;
      }
      std::size_t at = sizeof head;
      entry.path.assign(body.substr(at, head.pathSize));
      at += head.pathSize;
      entry.crc.assign(body.substr(at, head.crcSize));
      at += head.crcSize;
      entry.method.assign(body.substr(at, head.methodSize));
      entry.isDir = (head.flags & kIsDir) != 0;
      entry.encrypted = (head.flags & kEncrypted) != 0;
      entry.size = head.size;
      entry.packed.reset();
      entry.modified.reset();
      entry.block.reset();
      if ((head.flags & kHasPacked) != 0) entry.packed = head.packed;
      if ((head.flags & kHasModified) != 0) {
        entry.modified = std::chrono::sys_seconds(std::chrono::seconds(head.modified));
      }
      if ((head.flags & kHasBlock) != 0) entry.block = head.block;
      return true;
    }
    case RecordKind::ready:
    case RecordKind::hold:
    case RecordKind::release:
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
