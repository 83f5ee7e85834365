// file_range.h: a stretch of the archive file read as a stream of its own,
// such as the data member of a Debian package or the compressed blocks of
// an .xz file.
//
// `FileRange` reads bytes of one range of an open `InputFile`, from any
// thread (the reads take turns), and can serve the range to libarchive as
// its whole input through read, skip and seek callbacks that, like the
// file's own, refuse to go on once the listing's stop flag is raised.
//
//   FileRange member(*input, offset, size, "data.tar.xz");
//   member.attach(reader, stop);  // the range outlives the reader
//   archive_read_open1(reader);
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "input_file.h"

struct archive;

namespace vexel::readers_internal {

class InputFile;

// FileRange: `size` bytes of `input` from `offset`, cut at the end of the
// stream. Non-owning: `input` outlives it.
class FileRange {
 public:
  // FileRange: `name` says what the range is in read errors.
  FileRange(InputFile& input, std::int64_t offset, std::int64_t size, std::string name);
  FileRange(const FileRange&) = delete;
  FileRange& operator=(const FileRange&) = delete;

  [[nodiscard]] std::int64_t size() const noexcept { return mSize; }
  [[nodiscard]] const std::string& name() const noexcept { return mName; }

  // readInto: exactly `length` bytes from `offset` (within the range) into
  // `out`; false past the range's end or when the file cannot be read.
  // Any thread.
  [[nodiscard]] bool readInto(std::int64_t offset, char* out, std::size_t length);

  // attach: makes the range the reader's whole input, read from its start;
  // reading stops once `stop` is raised. One reader at a time; the flag
  // and the range outlive it.
  void attach(archive* reader, const std::atomic<bool>& stop);

 private:
  struct Callbacks;

  InputFile& mInput;
  std::int64_t mOffset = 0;
  std::int64_t mSize = 0;
  std::string mName;
  std::mutex mReading;  // InputFile serves one thread at a time
  // The attached reader's position and buffer.
  std::int64_t mPosition = 0;
  std::vector<char> mBuffer;
  ReadPacing mPacing;
  const std::atomic<bool>* mStop = nullptr;
};

}  // namespace vexel::readers_internal
