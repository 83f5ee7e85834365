// child_process.h: descriptor and child-process handles for the runner.
#pragma once

#include <sys/types.h>

#include <mutex>

namespace vexel::process_internal {

// UniqueFd: owns one file descriptor and closes it once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : mFd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return mFd; }
  [[nodiscard]] explicit operator bool() const noexcept { return mFd >= 0; }
  [[nodiscard]] int release() noexcept;
  void reset() noexcept;

 private:
  int mFd = -1;
};

// makePipe: a pipe whose two ends are close-on-exec and numbered 3 or above,
// so that they can never be one of the standard descriptors that the child
// gets (a caller that closed its own stdout would otherwise be handed fd 1).
// Returns false with errno set on failure.
[[nodiscard]] bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept;

// ChildProcess: one child, started in a process group of its own (or in its
// keeper's, see child_keeper.h).
//
// The child is waited for in two steps: waitForExit() leaves it a zombie, so
// its process id and its group id cannot be reused while its output is still
// being drained, and reap() collects it under the lock that terminate()
// takes. terminate() can therefore never signal a recycled id.
class ChildProcess {
 public:
  // markStarting: the start is under way; from now on a terminate() counts.
  void markStarting() noexcept;
  // markStarted: records the child's id (also its process group id) and
  // delivers a terminate() that came while it was being started.
  void markStarted(pid_t pid) noexcept;
  // markKept: the child was started through a keeper (child_keeper.h), whose
  // id markStarted() records; its status arrives on `status`, and closing
  // `release` lets the keeper go. Before markStarted().
  void markKept(UniqueFd status, UniqueFd release) noexcept;
  // terminate: SIGTERM to the child's group (helpers it started included)
  // when it has been started and not yet reaped; held over to markStarted()
  // while it is being started; nothing before that: a child attached but not
  // yet being started runs to its end.
  void terminate() noexcept;
  // waitForExit: blocks until the child has exited; does not reap it.
  void waitForExit() noexcept;
  // reap: collects the child; its exit code, or the signal number that
  // ended it. -1 when something else in the process reaped it first, or
  // when a keeper was killed before it could tell.
  [[nodiscard]] int reap() noexcept;

 private:
  void signalGroup() noexcept;  // with mLock held and the child not reaped

  std::mutex mLock;
  pid_t mPid = 0;                    ///< guarded by mLock; 0 until started
  bool mStarting = false;            ///< guarded by mLock
  bool mTerminateRequested = false;  ///< guarded by mLock; set while starting
  bool mReaped = false;              ///< guarded by mLock
  // A keeper's pipes and the status it passed on; used by the running
  // thread only (waitForExit and reap).
  UniqueFd mKeeperStatus;
  UniqueFd mKeeperRelease;
  int mKeptStatus = -1;  ///< raw wait status, or -1 while unknown
};

}  // namespace vexel::process_internal
