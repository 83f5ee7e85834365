#include "child_process.h"
#include "child_keeper.h"
#include "process_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

// The exit code, or the number of the signal that ended the child.
int decodeStatus(int status) noexcept {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
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

void ChildProcess::markKept(UniqueFd status, UniqueFd release) noexcept {
  mKeeperStatus = std::move(status);
  mKeeperRelease = std::move(release);
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
  if (mKeeperStatus) {
    const KeeperMessage message = readKeeperMessage(mKeeperStatus.get());
    if (message.kind == KeeperMessage::exited) mKeptStatus = message.value;
    return;
  }
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return;  // ECHILD: already reaped elsewhere; reap() copes
  }
}

int ChildProcess::reap() noexcept {
  const std::lock_guard lock(mLock);
  if (mPid <= 0 || mReaped) return -1;
  mReaped = true;
  if (mKeeperStatus) {
    // The keeper exits once released; the kernel reaps it while SIGCHLD is
    // ignored, and it is collected here should the caller have restored it.
    mKeeperRelease.reset();
    if (!childrenAreReapedForUs()) {
      while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    return decodeStatus(mKeptStatus);
  }
  int status = 0;
  pid_t got = 0;
  do {
    got = waitpid(mPid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != mPid) return -1;
  return decodeStatus(status);
}

}  // namespace vexel::process_internal
