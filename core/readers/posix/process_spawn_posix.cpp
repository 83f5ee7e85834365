// Starting a child with portable POSIX calls only: fork, then in the child
// the redirections, the working directory and the descriptor clean-up that
// posix_spawn cannot express portably, then exec. Other threads of the caller
// may hold locks (malloc's among them) at the fork, so between fork and exec
// the child makes async-signal-safe calls only, on data prepared before.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "internal/child_process.h"
#include "internal/process_spawn.h"

namespace vexel::process_internal {
namespace {

// One more than the highest descriptor that can be open. Read before the
// fork: sysconf is not async-signal-safe.
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

// Closes every descriptor from 3 up to `limit` but `keep`, so that what other
// code of the caller left inheritable stays out of the child. poll() marks
// the ones not open, a batch per call: one close() per possible number would
// cost a million calls under a common container limit.
void closeInherited(int keep, int limit) noexcept {
  constexpr int kBatch = 256;
  pollfd batch[kBatch];
  for (int first = STDERR_FILENO + 1; first < limit; first += kBatch) {
    const int count = std::min(kBatch, limit - first);
    for (int k = 0; k < count; ++k) batch[k] = pollfd{first + k, 0, 0};
    const bool polled = poll(batch, static_cast<nfds_t>(count), 0) >= 0;
    for (int k = 0; k < count; ++k) {
      const bool open = !polled || (batch[k].revents & POLLNVAL) == 0;
      if (open && first + k != keep) close(first + k);
    }
  }
}

// The child's side, from fork to exec. Returns only when the program cannot
// be run, with errno saying why.
void becomeChild(const ChildStart& start, int reportFd, int limit,
                 const sigset_t& emptyMask) noexcept {
  // Every signal is blocked here (see spawnChild). The caller's handlers must
  // not run in this copy of it once the mask is cleared, so caught signals go
  // back to their default, as exec would do; ignored ones stay ignored except
  // kDefaultSignals.
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

  if (setpgid(0, 0) != 0) return;
  // The pipe ends are 3 or above, so these cannot overwrite each other.
  if (dup2(start.outWrite, STDOUT_FILENO) < 0 || dup2(start.errWrite, STDERR_FILENO) < 0) return;
  const int input = open("/dev/null", O_RDONLY);
  if (input < 0) return;
  if (input != STDIN_FILENO) {
    if (dup2(input, STDIN_FILENO) < 0) return;
    close(input);
  }
  if (start.cwd != nullptr && chdir(start.cwd) != 0) return;
  closeInherited(reportFd, limit);  // the report pipe closes itself at exec
  sigprocmask(SIG_SETMASK, &emptyMask, nullptr);
  execve(start.program, start.argv, start.environment);
}

}  // namespace

// Between pipe() and fcntl() a fork elsewhere in the process can copy the
// ends without close-on-exec; children started here close them anyway.
bool openPipe(int fds[2]) noexcept {
  if (pipe(fds) != 0) return false;
  for (int k = 0; k < 2; ++k) {
    if (fcntl(fds[k], F_SETFD, FD_CLOEXEC) != 0) {
      const int error = errno;
      close(fds[0]);
      close(fds[1]);
      errno = error;
      return false;
    }
  }
  return true;
}

int spawnChild(const ChildStart& start, pid_t& pid) noexcept {
  // The child writes its errno here when it cannot run the program; a
  // successful exec closes the pipe, which the parent reads as end-of-file.
  UniqueFd reportRead, reportWrite;
  if (!makePipe(reportRead, reportWrite)) return errno;
  const int limit = descriptorLimit();
  sigset_t all, previous, empty;
  sigfillset(&all);
  sigemptyset(&empty);
  // Blocked across the fork, so that no signal reaches the child before it
  // has dropped the caller's handlers.
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = fork();
  if (child == 0) {
    becomeChild(start, reportWrite.get(), limit, empty);
    const int code = errno;
    while (write(reportWrite.get(), &code, sizeof code) < 0 && errno == EINTR) {
    }
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
