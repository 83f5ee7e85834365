// unique_fd.h: a file descriptor owned by one object, and pipes made of two.
//
// Holds `UniqueFd`, which closes its descriptor exactly once, and `makePipe`,
// which makes a pipe whose ends are close-on-exec and never one of the
// standard descriptors. Starting programs lives in child_process.h.
//
//   vexel::UniqueFd readEnd, writeEnd;
//   if (!vexel::makePipe(readEnd, writeEnd)) fail(errno);
//   ::write(writeEnd.get(), "x", 1);
//   writeEnd.reset();  // the reader now sees end-of-file
//
// Any thread; one object is used by one thread at a time.
#pragma once

#include <string_view>

namespace vexel {

// UniqueFd: owns one file descriptor (or none) and closes it once. Movable,
// not copyable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : mFd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  // get: the descriptor, or -1 when there is none.
  [[nodiscard]] int get() const noexcept { return mFd; }
  [[nodiscard]] explicit operator bool() const noexcept { return mFd >= 0; }
  // release: gives up ownership and returns the descriptor.
  [[nodiscard]] int release() noexcept;
  // reset: closes the descriptor held, if any.
  void reset() noexcept;

 private:
  int mFd = -1;
};

// makePipe: a pipe whose two ends are close-on-exec and numbered 3 or above,
// so that they can never be one of the standard descriptors a child gets (a
// caller that closed its own stdout would otherwise be handed fd 1).
// Returns false with errno set on failure.
[[nodiscard]] bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept;

// liftAboveStandard: moves `fd` to a descriptor 3 or above (close-on-exec)
// when it is 0, 1 or 2. Returns false with errno set on failure.
[[nodiscard]] bool liftAboveStandard(UniqueFd& fd) noexcept;

// writeAll: writes `bytes` to `fd` in full (a child's input pipe, a
// terminal), retrying short writes and EINTR. A reader that has gone away
// makes it fail with EPIPE and never raises SIGPIPE, which would end this
// process. Returns false with errno set on failure.
[[nodiscard]] bool writeAll(int fd, std::string_view bytes) noexcept;

}  // namespace vexel
