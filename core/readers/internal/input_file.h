// input_file.h: the archive file, or the volumes of a split archive, as
// libarchive's client.
//
// `InputFile::open` opens a regular file for reading without ever blocking:
// folders, named pipes, devices and sockets are refused before they are
// opened (a pipe without a writer would block `open`, one whose writer says
// nothing the first read, and /dev/zero reads for ever), and once more by
// the descriptor, in case the path changed in between. The open file then
// serves libarchive through our own read, skip and seek callbacks, which
// refuse to go on once the listing's stop flag is raised: that is what
// stops libarchive in the middle of skipping a large compressed entry.
//
// The volumes of a split archive (volume_set.h) are served as one stream,
// volume after volume: the first is opened up front like a lone file, the
// others when the stream reaches them, with the same checks. A missing
// volume is a hole that cannot be read, so what lies after it (a 7z
// header, a ZIP central directory) is still found at its offset.
//
//   auto input = readers_internal::InputFile::open(VolumeSet::find(path));  // caller's thread
//   input->attach(reader, sink.stopFlag());                                 // worker thread
//   archive_read_open1(reader);
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process/unique_fd.h"
#include "volume_set.h"

struct archive;

namespace vexel::readers_internal {

// ReadPacing: how much one read hands libarchive. A decompression filter
// asks for input only once it has used up what it holds, and the stop flag
// is only seen in a read: a stream that expands enormously (64 GiB of
// bzip2 zeros in 80 KB) would keep a stopped reader decompressing for
// minutes on what one 64 KiB read gave it. So reads start small and double
// while they follow each other quickly, and shrink when libarchive took
// long over the last one: a reader that no longer reads is back within a
// fraction of a second.
class ReadPacing {
 public:
  static constexpr std::size_t kSmallest = 64;
  static constexpr std::chrono::milliseconds kQuick{50};

  // next: the size of this read, at most `largest`.
  [[nodiscard]] std::size_t next(std::size_t largest) noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (mHasRead) {
      mSize = now - mLast < kQuick ? std::min(mSize * 2, largest) : std::max(mSize / 16, kSmallest);
    }
    mHasRead = true;
    mLast = now;
    return std::min(mSize, largest);
  }

 private:
  std::size_t mSize = kSmallest;
  std::chrono::steady_clock::time_point mLast{};
  bool mHasRead = false;
};

// openRegularFile: `path` opened for reading as InputFile opens a volume
// (looked at first, since opening a device may have effects of its own);
// empty for anything but a regular file, or one that cannot be opened.
[[nodiscard]] UniqueFd openRegularFile(const std::filesystem::path& path);

// InputFile: one open regular file, or a set of volumes; descriptors close
// with the object, which must outlive the reader it is attached to. Used by
// one thread at a time.
class InputFile {
 public:
  // open: the file at `path`, opened for reading.
  // @throws ArchiveError: `notRegularFile` for anything but a regular file,
  // `cannotRead` with "Failed to open '<path>'" when it cannot be opened.
  [[nodiscard]] static std::unique_ptr<InputFile> open(const std::filesystem::path& path);
  // open: the volumes of `volumes` as one stream; the first is opened now.
  // @throws ArchiveError, as above for the first volume.
  [[nodiscard]] static std::unique_ptr<InputFile> open(const VolumeSet& volumes);
  // open: the same, with the first volume read through `firstFd` (the
  // caller's, which it keeps) instead of opened by name: a sandboxed lister
  // is handed the archive open.
  // @throws ArchiveError, as above, for a descriptor of anything but a
  // regular file, or one that cannot be duplicated.
  [[nodiscard]] static std::unique_ptr<InputFile> open(const VolumeSet& volumes, int firstFd);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // attach: makes this file the reader's data source; reading stops once
  // `stop` is raised. The flag must outlive the reader.
  void attach(archive* reader, const std::atomic<bool>& stop);
  // setReadObserver: `observer` is called on the reading thread before each
  // read and seek of the reader's (after the stop check); an empty one
  // removes it. The lister names the archive's type through it as soon as
  // libarchive has chosen a format, long before a large first header is whole.
  void setReadObserver(std::function<void()> observer) { mObserver = std::move(observer); }

  // size: the bytes of the files when they were opened (of the volumes
  // present, for a set).
  [[nodiscard]] std::int64_t size() const noexcept { return mSize; }
  // streamSize: the length of the stream libarchive reads, holes included.
  [[nodiscard]] std::int64_t streamSize() const noexcept;
  // volumeStart: where volume `index` (0 for the first) starts in the
  // stream; nothing past the last volume.
  [[nodiscard]] std::optional<std::int64_t> volumeStart(std::size_t index) const noexcept {
    if (index >= mParts.size()) return std::nullopt;
    return mParts[index].start;
  }
  // ioFailed: the last failure was the file's own (a read or seek), not the
  // archive's content; its message names the file.
  [[nodiscard]] bool ioFailed() const noexcept { return mIoFailed; }
  // missingVolume: the file name of the missing volume the last failed read
  // ran into, if that is why it failed.
  [[nodiscard]] const std::optional<std::string>& missingVolume() const noexcept {
    return mMissingVolume;
  }
  // nextVolume: the file name of the volume that may follow the last one
  // (`VolumeSet::nextVolumeName`).
  [[nodiscard]] const std::optional<std::string>& nextVolume() const noexcept {
    return mNextVolume;
  }

  // readAt: exactly `length` bytes of the stream from `offset`, or nothing
  // (past the end, in a hole, or on a read error). Does not move the
  // stream's position; never sets `ioFailed`.
  [[nodiscard]] std::optional<std::string> readAt(std::int64_t offset, std::size_t length);
  // readInto: the same into `out`, which holds `length` bytes; false (with
  // `out` undefined) where readAt gives nothing. For a reader that reuses
  // one buffer.
  [[nodiscard]] bool readInto(std::int64_t offset, char* out, std::size_t length);

 private:
  struct Callbacks;
  // Part: one volume in the stream.
  struct Part {
    std::filesystem::path path;
    std::int64_t start = 0;  ///< offset in the stream
    std::int64_t size = 0;
    bool isPresent = true;
  };
  explicit InputFile(std::vector<Part> parts);

  // partAt: the index of the part holding stream offset `offset`, or the
  // number of parts when it lies at or past the end.
  [[nodiscard]] std::size_t partAt(std::int64_t offset) const noexcept;
  // descriptorOf: an open descriptor for part `index`, opened now if need
  // be (the first part stays open; of the others, the last one used); -1
  // with errno set when it cannot be opened as a regular file.
  int descriptorOf(std::size_t index);
  // ReadFailure: why a read of the stream gave no bytes.
  enum class ReadFailure { none, hole, open, read, shortFile };
  // readSome: up to `length` bytes at stream offset `offset` into `out`,
  // from one part, whose index goes to `part`: the count, 0 at the end, or
  // -1 with `failure` set (and errno, for `open` and `read`).
  ssize_t readSome(std::int64_t offset, char* out, std::size_t length, ReadFailure& failure,
                   std::size_t& part);

  std::vector<Part> mParts;
  UniqueFd mFirstFd;
  UniqueFd mOtherFd;
  std::size_t mOtherPart = 0;  // the part `mOtherFd` belongs to
  std::int64_t mSize = 0;
  std::int64_t mPosition = 0;
  std::vector<char> mBuffer;
  ReadPacing mPacing;
  const std::atomic<bool>* mStop = nullptr;
  std::function<void()> mObserver;
  bool mIoFailed = false;
  std::optional<std::string> mMissingVolume;
  std::optional<std::string> mNextVolume;
};

}  // namespace vexel::readers_internal
