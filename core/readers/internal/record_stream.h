// record_stream.h: what a lister process and its host say to each other.
//
// A listing that runs in a lister process (lister_process.h) reaches its
// host as a byte stream of records on a socket: the reader's facts, batches
// of entries, the marks where held entries begin and end, and the end of
// the listing. Each record is a 4-byte length, a 1-byte kind and its body;
// integers are in the machine's own byte order (both ends are one program).
//
//   RecordWriter out;
//   out.entry(raw);                      // appended to the pending bytes
//   send(fd, out.bytes().data(), ...);   // then out.clear()
//
//   RecordReader in;
//   in.append(received);
//   while (auto record = in.next()) ...  // whole records only
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/raw_entry.h"
#include "readers/archive_error.h"

namespace vexel::readers_internal {

// RecordKind: what a record holds.
enum class RecordKind : std::uint8_t {
  ready = 1,  ///< a new lister is ready to serve
  request,    ///< host to lister: list a file (ListRequest)
  facts,      ///< the reader's format and filter codes, and whether it reads a package
  entry,      ///< one named entry
  hold,       ///< the entries from here on are held for the end's renames
  release,    ///< the entries held so far keep their paths; no more are held
  rename,     ///< the final path of a held entry (HeldRename), before the end
  end,        ///< the listing ended (ListEnd)
};

// ListRequest: one listing asked of a lister.
struct ListRequest {
  std::string path;  ///< the archive as the host was given it
  std::chrono::steady_clock::time_point deadline;
  std::uint64_t maxEntries = 0;
  std::uint64_t maxNameBytes = 0;
  std::uint64_t memoryBudget = 0;  ///< bytes the lister may grow by; 0: no budget
  std::chrono::milliseconds stopGrace{0};
  std::chrono::milliseconds identifyGrace{0};
  std::uintptr_t sourceMaker = 0;  ///< the address of a `SourceMaker` (same program image)
};

// HeldRename: the final path of the `index`th entry held since the last
// `hold` mark (counted over the whole listing's held entries).
struct HeldRename {
  std::uint64_t index = 0;
  std::string path;
};

// ListEnd: how a listing in a lister ended.
struct ListEnd {
  std::uint8_t end = 0;  ///< a `SourceEnd` value
  std::optional<ArchiveError> error;
  bool hasSkipped = false;          ///< headers that could not be read were passed over
  bool isOverMemoryBudget = false;  ///< the lister's memory budget ended it
  bool isPastDeadline = false;      ///< the lister stopped it at the deadline
};

// Record: one decoded record; the fields of its kind are set.
struct Record {
  RecordKind kind = RecordKind::end;
  ListRequest request;
  int formatCode = 0;
  int filterCode = 0;
  bool isDebianPackage = false;
  RawEntry entry;
  HeldRename rename;
  ListEnd end;
};

// RecordWriter: appends records to a buffer.
class RecordWriter {
 public:
  void request(const ListRequest& request);
  void facts(int formatCode, int filterCode, bool isDebianPackage = false);
  void entry(const RawEntry& entry);
  void mark(RecordKind kind);  ///< `ready`, `hold` or `release`
  void rename(const HeldRename& rename);
  void end(const ListEnd& end);

  [[nodiscard]] const std::string& bytes() const noexcept { return mBytes; }
  [[nodiscard]] std::size_t size() const noexcept { return mBytes.size(); }
  void clear() noexcept { mBytes.clear(); }
  // drop: removes the first `count` bytes (those sent).
  void drop(std::size_t count) { mBytes.erase(0, count); }

 private:
  void begin(RecordKind kind);
  void finish();
  void u8(std::uint8_t value);
  void u32(std::uint32_t value);
  void u64(std::uint64_t value);
  void text(std::string_view value);

  std::string mBytes;
  std::size_t mStart = 0;  // where the record being written starts
};

// RecordReader: cuts received bytes into records.
class RecordReader {
 public:
  // kMaxRecord: a record longer than this is taken as a broken stream.
  static constexpr std::size_t kMaxRecord = std::size_t{64} << 20;

  void append(std::string_view bytes);
  // space: room for `size` more bytes at the end, to receive into; then
  // `commit` as many as came.
  [[nodiscard]] char* space(std::size_t size);
  void commit(std::size_t size) noexcept { mSize += size; }
  // next: the next whole record, or nothing until more bytes come. A record
  // that cannot be decoded sets `isBroken` and ends the stream.
  [[nodiscard]] std::optional<Record> next();
  // next: the same, decoding into `record` (its buffers are reused).
  [[nodiscard]] bool next(Record& record);
  [[nodiscard]] bool isBroken() const noexcept { return mIsBroken; }
  // clear: forgets what came, keeping the buffer for the next stream.
  void clear() noexcept {
    mSize = 0;
    mOffset = 0;
    mIsBroken = false;
  }
  // hasPartialRecord: bytes of a record that has not come whole.
  [[nodiscard]] bool hasPartialRecord() const noexcept { return mOffset < mSize; }

 private:
  std::vector<char> mBytes;  // the first `mSize` are received, from `mOffset` not yet read
  std::size_t mSize = 0;
  std::size_t mOffset = 0;
  bool mIsBroken = false;
};

}  // namespace vexel::readers_internal
