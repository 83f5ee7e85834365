#include "fork_exec.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "process/unique_fd.h"

namespace vexel::process_internal {

int descriptorLimit() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur <= static_cast<rlim_t>(INT_MAX)) {
    return static_cast<int>(limit.rlim_cur);
  }
  const long max = sysconf(_SC_OPEN_MAX);
  // No limit known: more descriptors than a process is normally allowed.
  return max > 0 && max <= INT_MAX ? static_cast<int>(max) : 65536;
}

// poll() marks the descriptors that are not open, a batch per call: one
// close() per possible number would cost a million calls under a common
// container limit.
void closeInherited(std::span<const int> keep, int limit) noexcept {
  constexpr int kBatch = 256;
  pollfd batch[kBatch];
  for (int first = STDERR_FILENO + 1; first < limit; first += kBatch) {
    const int count = std::min(kBatch, limit - first);
    for (int k = 0; k < count; ++k) batch[k] = pollfd{first + k, 0, 0};
    const bool polled = poll(batch, static_cast<nfds_t>(count), 0) >= 0;
    for (int k = 0; k < count; ++k) {
      const bool open = !polled || (batch[k].revents & POLLNVAL) == 0;
      if (open && std::find(keep.begin(), keep.end(), first + k) == keep.end()) close(first + k);
    }
  }
}

void dropCaughtHandlers() noexcept {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) {
      sigaction(signal, &defaultAction, nullptr);
    }
  }
  for (int signal : kDefaultSignals) sigaction(signal, &defaultAction, nullptr);
}

bool takeTerminal(const char* terminal) noexcept {
  const int fd = open(terminal, O_RDWR);
  if (fd < 0) return false;
    // Systems that do not hand the first terminal opened to a session leader
    // (the BSDs) are asked explicitly.
#ifdef TIOCSCTTY
  ioctl(fd, TIOCSCTTY, 0);
#endif
  if (fd != STDIN_FILENO) {
    if (dup2(fd, STDIN_FILENO) < 0) return false;
    close(fd);
  }
  return true;
}

void becomeChild(const SpawnPlan& plan, int reportFd, int limit, const sigset_t& emptyMask,
                 bool ownSession, pid_t parent) noexcept {
  if (parent != 0 && !endWithParent(parent)) return;
  // Every signal is blocked here. The caller's handlers must not run in this
  // copy of it once the mask is cleared.
  dropCaughtHandlers();
  if (ownSession && setsid() < 0) return;
  // The plan's descriptors are 3 or above, so these cannot overwrite each other.
  for (int k = 0; k < 3; ++k) {
    if (plan.streams[k] >= 0 && dup2(plan.streams[k], k) < 0) return;
  }
  if (plan.terminal != nullptr && !takeTerminal(plan.terminal)) return;
  if (plan.cwd != nullptr && chdir(plan.cwd) != 0) return;
  const int keep[] = {reportFd};
  closeInherited(keep, limit);
  sigprocmask(SIG_SETMASK, &emptyMask, nullptr);
  execve(plan.program, plan.argv, plan.environment);
}

void writeErrno(int fd, int code) noexcept {
  while (write(fd, &code, sizeof code) < 0 && errno == EINTR) {
  }
}

int forkChild(const SpawnPlan& plan, pid_t& pid) noexcept {
  // The child writes its errno here when it cannot run the program; a
  // successful exec closes the pipe, which the parent reads as end-of-file.
  UniqueFd reportRead, reportWrite;
  if (!makePipe(reportRead, reportWrite)) return errno;
  const int limit = descriptorLimit();
  // Read before the fork: the child compares it with its parent afterwards.
  const pid_t self = plan.endsWithCaller ? getpid() : 0;
  sigset_t all, previous, empty;
  sigfillset(&all);
  sigemptyset(&empty);
  // Blocked across the fork, so that no signal reaches the child before it
  // has dropped the caller's handlers.
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = fork();
  if (child == 0) {
    becomeChild(plan, reportWrite.get(), limit, empty, true, self);
    writeErrno(reportWrite.get(), errno);
    _exit(127);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return forkError;

  reportWrite.reset();
  int code = 0;
  ssize_t got = 0;
  do {
    got = read(reportRead.get(), &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  // Anything but a whole errno value (writes this small are atomic) means
  // the program may be running: the caller then waits for it as usual.
  if (got != static_cast<ssize_t>(sizeof code)) {
    pid = child;
    return 0;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return code;
}

}  // namespace vexel::process_internal
