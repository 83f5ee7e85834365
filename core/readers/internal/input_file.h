// input_file.h: the archive file as libarchive's client.
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
//   auto input = readers_internal::InputFile::open(path);  // caller's thread
//   input->attach(reader, sink.stopFlag());                 // worker thread
//   archive_read_open1(reader);
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

struct archive;

namespace vexel::readers_internal {

// InputFile: one open regular file; the descriptor closes with the object,
// which must outlive the reader it is attached to.
class InputFile {
 public:
  // open: the file at `path`, opened for reading.
  // @throws ArchiveError: `notRegularFile` for anything but a regular file,
  // `cannotRead` with "Failed to open '<path>'" when it cannot be opened.
  [[nodiscard]] static std::unique_ptr<InputFile> open(const std::filesystem::path& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // attach: makes this file the reader's data source; reading stops once
  // `stop` is raised. The flag must outlive the reader.
  void attach(archive* reader, const std::atomic<bool>& stop);

  // size: the file's size when it was opened.
  [[nodiscard]] std::int64_t size() const noexcept { return mSize; }
  // ioFailed: the last failure was the file's own (a read or seek), not the
  // archive's content; its message names the file.
  [[nodiscard]] bool ioFailed() const noexcept { return mIoFailed; }

 private:
  struct Callbacks;
  InputFile(std::filesystem::path path, int fd, std::int64_t size);

  std::filesystem::path mPath;
  int mFd;
  std::int64_t mSize;
  std::vector<char> mBuffer;
  const std::atomic<bool>* mStop = nullptr;
  bool mIoFailed = false;
};

}  // namespace vexel::readers_internal
