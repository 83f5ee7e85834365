#include "file_range.h"

#include <archive.h>
#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <utility>

#include "input_file.h"

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kBlockSize = 65536;

}  // namespace

struct FileRange::Callbacks {
  static FileRange& self(void* data) { return *static_cast<FileRange*>(data); }

  static bool stopped(const FileRange& range, archive* reader) {
    if (!range.mStop->load(std::memory_order_relaxed)) return false;
    archive_set_error(reader, ETIMEDOUT, "Listing stopped");
    return true;
  }

  static la_ssize_t read(archive* reader, void* data, const void** buffer) {
    FileRange& range = self(data);
    *buffer = range.mBuffer.data();
    if (stopped(range, reader)) return ARCHIVE_FATAL;
    const std::int64_t left = range.mSize - range.mPosition;
    if (left <= 0) return 0;
    const auto length = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(range.mPacing.next(kBlockSize))));
    if (!range.readInto(range.mPosition, range.mBuffer.data(), length)) {
      archive_set_error(reader, EIO, "Error reading '%s'", range.mName.c_str());
      return ARCHIVE_FATAL;
    }
    range.mPosition += static_cast<std::int64_t>(length);
    return static_cast<la_ssize_t>(length);
  }

  // As the file's own: never past the end; 0 has libarchive read instead,
  // which reaches the stop check in `read`.
  static la_int64_t skip(archive* /*reader*/, void* data, la_int64_t request) {
    FileRange& range = self(data);
    if (request <= 0 || range.mStop->load(std::memory_order_relaxed)) return 0;
    const std::int64_t step = std::min<std::int64_t>(request, range.mSize - range.mPosition);
    if (step <= 0) return 0;
    range.mPosition += step;
    return step;
  }

  static la_int64_t seek(archive* reader, void* data, la_int64_t offset, int whence) {
    FileRange& range = self(data);
    if (stopped(range, reader)) return ARCHIVE_FATAL;
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = range.mPosition;
    if (whence == SEEK_END) base = range.mSize;
    std::int64_t target = 0;
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) ||
        __builtin_add_overflow(base, offset, &target) || target < 0) {
      archive_set_error(reader, EINVAL, "Error seeking in '%s'", range.mName.c_str());
      return ARCHIVE_FATAL;
    }
    range.mPosition = target;
    return target;
  }

  static int open(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }
  static int close(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }
};

FileRange::FileRange(InputFile& input, std::int64_t offset, std::int64_t size, std::string name)
    : mInput(input),
      mOffset(std::clamp<std::int64_t>(offset, 0, input.streamSize())),
      mName(std::move(name)) {
  mSize = std::clamp<std::int64_t>(size, 0, input.streamSize() - mOffset);
}

bool FileRange::readInto(std::int64_t offset, char* out, std::size_t length) {
  if (offset < 0 || offset > mSize || static_cast<std::int64_t>(length) > mSize - offset) {
    return false;
  }
  const std::lock_guard lock(mReading);
  return mInput.readInto(mOffset + offset, out, length);
}

void FileRange::attach(archive* reader, const std::atomic<bool>& stop) {
  mStop = &stop;
  mPosition = 0;
  mBuffer.resize(kBlockSize);
  archive_read_set_callback_data(reader, this);
  archive_read_set_open_callback(reader, &Callbacks::open);
  archive_read_set_read_callback(reader, &Callbacks::read);
  archive_read_set_skip_callback(reader, &Callbacks::skip);
  archive_read_set_seek_callback(reader, &Callbacks::seek);
  archive_read_set_close_callback(reader, &Callbacks::close);
}

}  // namespace vexel::readers_internal
