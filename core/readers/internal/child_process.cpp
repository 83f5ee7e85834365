#include "child_process.h"
#include "process_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vexel::process_internal {
namespace {

// Moves `fd` to 3 or above (keeping close-on-exec); the standard descriptors
// 0-2 are left for the child's own streams.
bool liftAboveStandard(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return true;
  const int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd = UniqueFd(lifted);
  return true;
}

}  // namespace

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

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept {
  int fds[2];
  if (!openPipe(fds)) return false;
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  return liftAboveStandard(readEnd) && liftAboveStandard(writeEnd);
}

void ChildProcess::markStarting() noexcept {
  const std::lock_guard lock(mLock);
  mStarting = true;
}

void ChildProcess::markStarted(pid_t pid) noexcept {
  const std::lock_guard lock(mLock);
  mPid = pid;
  // The child may have run and printed before its id was known here; a
  // cancel prompted by that output must not be lost.
  if (mTerminateRequested) signalGroup();
}

void ChildProcess::terminate() noexcept {
  const std::lock_guard lock(mLock);
  if (mReaped) return;
  if (mPid > 0) {
    signalGroup();
  } else if (mStarting) {
    mTerminateRequested = true;
  }
}

void ChildProcess::signalGroup() noexcept {
  // The group first, for helpers that hold the output pipes; the child
  // itself too, in case it moved to another group.
  ::kill(-mPid, SIGTERM);
  ::kill(mPid, SIGTERM);
}

void ChildProcess::waitForExit() noexcept {
  pid_t pid = 0;
  {
    const std::lock_guard lock(mLock);
    pid = mPid;
  }
  if (pid <= 0) return;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return;  // ECHILD: already reaped elsewhere; reap() copes
  }
}

int ChildProcess::reap() noexcept {
  const std::lock_guard lock(mLock);
  if (mPid <= 0 || mReaped) return -1;
  mReaped = true;
  int status = 0;
  pid_t got = 0;
  do {
    got = waitpid(mPid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != mPid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
}

}  // namespace vexel::process_internal
