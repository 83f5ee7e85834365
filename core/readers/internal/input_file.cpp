#include "input_file.h"

#include <archive.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "process/unique_fd.h"
#include "readers/archive_error.h"
#include "text/utf8.h"

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kReadSize = 65536;

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

// Opened: a descriptor of a regular file, or why there is none.
struct Opened {
  UniqueFd fd;
  std::optional<ArchiveError::FileType> notRegular;  ///< set when the path is something else
  std::int64_t size = 0;
};

// openRegular: `path` opened for reading. Looked at before opening, since
// opening a device may have effects of its own, and by the descriptor
// after, in case the path changed in between.
Opened openRegular(const std::filesystem::path& path) {
  Opened opened;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    opened.notRegular = fileTypeOf(info.st_mode);
    return opened;
  }
  // O_NONBLOCK: should the path have become a pipe meanwhile, `open` must
  // not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd || ::fstat(fd.get(), &info) != 0) return opened;
  if (!S_ISREG(info.st_mode)) {
    opened.notRegular = fileTypeOf(info.st_mode);
    return opened;
  }
  // Reads of a regular file never block; the flag goes for plain semantics.
  if (const int flags = ::fcntl(fd.get(), F_GETFL); flags >= 0) {
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  }
  opened.fd = std::move(fd);
  opened.size = static_cast<std::int64_t>(info.st_size);
  return opened;
}

}  // namespace

UniqueFd openRegularFile(const std::filesystem::path& path) {
  return std::move(openRegular(path).fd);
}

namespace {

// openedDescriptor: a copy of the caller's descriptor, as openRegular
// would have left it.
Opened openedDescriptor(int fd) {
  Opened opened;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return opened;
  if (!S_ISREG(info.st_mode)) {
    opened.notRegular = fileTypeOf(info.st_mode);
    return opened;
  }
  opened.fd = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  opened.size = static_cast<std::int64_t>(info.st_size);
  return opened;
}

}  // namespace

struct InputFile::Callbacks {
  static InputFile& self(void* data) { return *static_cast<InputFile*>(data); }

  // The first descriptor is open already; libarchive only learns that here.
  static int open(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  static la_ssize_t read(archive* reader, void* data, const void** buffer) {
    InputFile& input = self(data);
    *buffer = input.mBuffer.data();
    if (stopped(input, reader)) return ARCHIVE_FATAL;
    if (input.mObserver) input.mObserver();
    ReadFailure failure = ReadFailure::none;
    std::size_t part = 0;
    const ssize_t bytes = input.readSome(input.mPosition, input.mBuffer.data(),
                                         input.mPacing.next(input.mBuffer.size()), failure, part);
    if (bytes >= 0) {
      input.mPosition += bytes;
      return bytes;
    }
    const int error = errno;
    input.mIoFailed = true;
    const char* path = input.mParts[part].path.c_str();
    switch (failure) {
      case ReadFailure::hole:
        input.mMissingVolume = input.mParts[part].path.filename().string();
        archive_set_error(reader, ENOENT, "Missing volume '%s'", path);
        break;
      case ReadFailure::open:
        archive_set_error(reader, error, "Failed to open '%s'", path);
        break;
      case ReadFailure::shortFile:
        archive_set_error(reader, EIO, "Unexpected end of '%s'", path);
        break;
      case ReadFailure::none:
      case ReadFailure::read:
        archive_set_error(reader, error, "Error reading '%s'", path);
        break;
    }
    return ARCHIVE_FATAL;
  }

  // Skips within the stream, never past its end; 0 asks libarchive to read
  // and discard instead, which reaches the stop check in `read`. Skipping
  // over a hole is fine: only reading one fails.
  static la_int64_t skip(archive* /*reader*/, void* data, la_int64_t request) {
    InputFile& input = self(data);
    if (request <= 0 || input.mStop->load(std::memory_order_relaxed)) return 0;
    const std::int64_t room = input.streamSize() - input.mPosition;
    if (room <= 0) return 0;
    const std::int64_t step = std::min<std::int64_t>(request, room);
    input.mPosition += step;
    return step;
  }

  static la_int64_t seek(archive* reader, void* data, la_int64_t offset, int whence) {
    InputFile& input = self(data);
    if (stopped(input, reader)) return ARCHIVE_FATAL;
    if (input.mObserver) input.mObserver();
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = input.mPosition;
    if (whence == SEEK_END) base = input.streamSize();
    std::int64_t target = 0;
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) ||
        __builtin_add_overflow(base, offset, &target) || target < 0) {
      input.mIoFailed = true;
      archive_set_error(reader, EINVAL, "Error seeking in '%s'", input.mParts.front().path.c_str());
      return ARCHIVE_FATAL;
    }
    input.mPosition = target;
    return target;
  }

  // The descriptors belong to the InputFile and close with it.
  static int close(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  static bool stopped(const InputFile& input, archive* reader) {
    if (!input.mStop->load(std::memory_order_relaxed)) return false;
    archive_set_error(reader, ETIMEDOUT, "Listing stopped");
    return true;
  }
};

InputFile::InputFile(std::vector<Part> parts) : mParts(std::move(parts)), mBuffer(kReadSize) {}

InputFile::~InputFile() = default;

std::unique_ptr<InputFile> InputFile::open(const std::filesystem::path& path) {
  return open(VolumeSet::single(path));
}

std::unique_ptr<InputFile> InputFile::open(const VolumeSet& volumes) { return open(volumes, -1); }

std::unique_ptr<InputFile> InputFile::open(const VolumeSet& volumes, int firstFd) {
  std::vector<Part> parts;
  parts.reserve(volumes.volumes().size());
  for (const Volume& volume : volumes.volumes()) {
    parts.push_back(Part{.path = volume.path, .size = volume.size, .isPresent = volume.isPresent});
  }
  Opened first = firstFd >= 0 ? openedDescriptor(firstFd) : openRegular(parts.front().path);
  if (first.notRegular) throw ArchiveError::notRegularFile(*first.notRegular);
  if (!first.fd) throw cannotOpen(parts.front().path);
  std::unique_ptr<InputFile> input(new InputFile(std::move(parts)));
  input->mFirstFd = std::move(first.fd);
  input->mNextVolume = volumes.nextVolumeName();
  // The first volume as its descriptor sees it; the others as they were
  // found, and checked again when opened.
  input->mParts.front().size = first.size;
  std::int64_t start = 0;
  for (Part& part : input->mParts) {
    part.start = start;
    start += part.size;
    if (part.isPresent) input->mSize += part.size;
  }
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

std::int64_t InputFile::streamSize() const noexcept {
  return mParts.back().start + mParts.back().size;
}

std::size_t InputFile::partAt(std::int64_t offset) const noexcept {
  // The last part that starts at or before `offset`: of an empty volume and
  // the one after it, which start at the same offset, the latter.
  const auto after =
      std::upper_bound(mParts.begin(), mParts.end(), offset,
                       [](std::int64_t at, const Part& part) { return at < part.start; });
  if (after == mParts.begin()) return mParts.size();
  const auto index = static_cast<std::size_t>(after - mParts.begin() - 1);
  const Part& part = mParts[index];
  return offset < part.start + part.size ? index : mParts.size();
}

int InputFile::descriptorOf(std::size_t index) {
  if (index == 0) return mFirstFd.get();
  if (mOtherFd && mOtherPart == index) return mOtherFd.get();
  mOtherFd.reset();
  Opened opened = openRegular(mParts[index].path);
  if (opened.notRegular) errno = EINVAL;
  mOtherFd = std::move(opened.fd);
  mOtherPart = index;
  return mOtherFd.get();
}

ssize_t InputFile::readSome(std::int64_t offset, char* out, std::size_t length,
                            ReadFailure& failure, std::size_t& part) {
  part = partAt(offset);
  if (part == mParts.size()) {
    // At the end: a last volume that is required but missing (Info-ZIP's
    // name.zip) is a hole there.
    part = mParts.size() - 1;
    if (mParts[part].isPresent || offset > streamSize()) return 0;
    failure = ReadFailure::hole;
    return -1;
  }
  const Part& where = mParts[part];
  if (!where.isPresent) {
    failure = ReadFailure::hole;
    return -1;
  }
  const int fd = descriptorOf(part);
  if (fd < 0) {
    failure = ReadFailure::open;
    return -1;
  }
  const std::int64_t within = offset - where.start;
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(length), where.size - within));
  for (;;) {
    const ssize_t bytes = ::pread(fd, out, wanted, static_cast<off_t>(within));
    if (bytes > 0) return bytes;
    if (bytes == 0) {
      // The volume is shorter than when it was found: the stream must not
      // end early as if the archive did.
      failure = ReadFailure::shortFile;
      return -1;
    }
    if (errno == EINTR) continue;
    failure = ReadFailure::read;
    return -1;
  }
}

std::optional<std::string> InputFile::readAt(std::int64_t offset, std::size_t length) {
  if (offset < 0) return std::nullopt;
  std::string bytes(length, '\0');
  if (!readInto(offset, bytes.data(), length)) return std::nullopt;
  return bytes;
}

bool InputFile::readInto(std::int64_t offset, char* out, std::size_t length) {
  if (offset < 0) return false;
  std::size_t done = 0;
  while (done < length) {
    ReadFailure failure = ReadFailure::none;
    std::size_t part = 0;
    const ssize_t got = readSome(offset + static_cast<std::int64_t>(done), out + done,
                                 length - done, failure, part);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace vexel::readers_internal
