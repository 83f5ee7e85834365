#include "input_file.h"

#include <archive.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "readers/archive_error.h"
#include "text/utf8.h"

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kBlockSize = 65536;

ArchiveError::FileType fileTypeOf(mode_t mode) noexcept {
  if (S_ISDIR(mode)) return ArchiveError::FileType::directory;
  if (S_ISFIFO(mode)) return ArchiveError::FileType::fifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return ArchiveError::FileType::device;
  if (S_ISSOCK(mode)) return ArchiveError::FileType::socket;
  return ArchiveError::FileType::other;
}

// libarchive's own wording for a file it cannot open.
ArchiveError cannotOpen(const std::filesystem::path& path) {
  return ArchiveError::cannotRead(
      text::decodeUtf8Lenient("Failed to open '" + path.native() + "'"));
}

}  // namespace

struct InputFile::Callbacks {
  static InputFile& self(void* data) { return *static_cast<InputFile*>(data); }

  // The descriptor is open already; libarchive only learns that here.
  static int open(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  static la_ssize_t read(archive* reader, void* data, const void** buffer) {
    InputFile& input = self(data);
    *buffer = input.mBuffer.data();
    if (stopped(input, reader)) return ARCHIVE_FATAL;
    for (;;) {
      const ssize_t bytes = ::read(input.mFd, input.mBuffer.data(), input.mBuffer.size());
      if (bytes >= 0) return bytes;
      if (errno == EINTR) continue;
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Error reading '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
  }

  // Skips with lseek, never past the end; 0 asks libarchive to read and
  // discard instead, which reaches the stop check in `read`.
  static la_int64_t skip(archive* /*reader*/, void* data, la_int64_t request) {
    InputFile& input = self(data);
    if (request <= 0 || input.mStop->load(std::memory_order_relaxed)) return 0;
    const off_t old = lseek(input.mFd, 0, SEEK_CUR);
    if (old < 0 || old >= input.mSize) return 0;
    const std::int64_t room = input.mSize - old;
    const off_t target = old + static_cast<off_t>(std::min<std::int64_t>(request, room));
    if (lseek(input.mFd, target, SEEK_SET) < 0) return 0;
    return target - old;
  }

  static la_int64_t seek(archive* reader, void* data, la_int64_t offset, int whence) {
    InputFile& input = self(data);
    if (stopped(input, reader)) return ARCHIVE_FATAL;
    const off_t result = lseek(input.mFd, static_cast<off_t>(offset), whence);
    if (result < 0) {
      input.mIoFailed = true;
      archive_set_error(reader, errno, "Error seeking in '%s'", input.mPath.c_str());
      return ARCHIVE_FATAL;
    }
    return result;
  }

  // The descriptor belongs to the InputFile and closes with it.
  static int close(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  static bool stopped(const InputFile& input, archive* reader) {
    if (!input.mStop->load(std::memory_order_relaxed)) return false;
    archive_set_error(reader, ETIMEDOUT, "Listing stopped");
    return true;
  }
};

InputFile::InputFile(std::filesystem::path path, int fd, std::int64_t size)
    : mPath(std::move(path)), mFd(fd), mSize(size), mBuffer(kBlockSize) {}

InputFile::~InputFile() { ::close(mFd); }

std::unique_ptr<InputFile> InputFile::open(const std::filesystem::path& path) {
  // Looked at before opening: opening a device may have effects of its own.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    throw ArchiveError::notRegularFile(fileTypeOf(info.st_mode));
  }
  // O_NONBLOCK: should the path have become a pipe meanwhile, `open` must
  // not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw cannotOpen(path);
  std::unique_ptr<InputFile> input;
  try {
    input.reset(new InputFile(path, fd, 0));
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::fstat(fd, &info) != 0) throw cannotOpen(path);
  if (!S_ISREG(info.st_mode)) throw ArchiveError::notRegularFile(fileTypeOf(info.st_mode));
  input->mSize = static_cast<std::int64_t>(info.st_size);
  // Reads of a regular file never block; the flag goes for plain semantics.
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return input;
}

void InputFile::attach(archive* reader, const std::atomic<bool>& stop) {
  mStop = &stop;
  archive_read_set_callback_data(reader, this);
  archive_read_set_open_callback(reader, &Callbacks::open);
  archive_read_set_read_callback(reader, &Callbacks::read);
  archive_read_set_skip_callback(reader, &Callbacks::skip);
  archive_read_set_seek_callback(reader, &Callbacks::seek);
  archive_read_set_close_callback(reader, &Callbacks::close);
}

}  // namespace vexel::readers_internal
