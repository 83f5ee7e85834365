#include "process/unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "internal/spawn.h"

namespace vexel {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    mFd = other.release();
  }
  return *this;
}

int UniqueFd::release() noexcept {
  const int fd = mFd;
  mFd = -1;
  return fd;
}

void UniqueFd::reset() noexcept {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
}

bool liftAboveStandard(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return true;
  const int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd = UniqueFd(lifted);
  return true;
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept {
  int fds[2];
  if (!process_internal::openPipe(fds)) return false;
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  return liftAboveStandard(readEnd) && liftAboveStandard(writeEnd);
}

bool writeAll(int fd, std::string_view bytes) noexcept {
  // SIGPIPE is blocked for this thread while it writes; one raised here is
  // taken off the thread's pending set before the mask is restored, unless
  // it was pending already.
  sigset_t pipeOnly, previous, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  bool written = true;
  int error = 0;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      error = n < 0 ? errno : EIO;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  if (error == EPIPE && !wasPending) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

}  // namespace vexel
