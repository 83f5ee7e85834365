#include "fork_exec.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

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

void becomeChild(const ChildStart& start, int reportFd, int limit, const sigset_t& emptyMask,
                 bool ownSession) noexcept {
  // Every signal is blocked here. The caller's handlers must not run in this
  // copy of it once the mask is cleared.
  dropCaughtHandlers();
  if (ownSession && setsid() < 0) return;
  // The pipe ends are 3 or above, so these cannot overwrite each other.
  if (dup2(start.outWrite, STDOUT_FILENO) < 0 || dup2(start.errWrite, STDERR_FILENO) < 0) return;
  const int input = open("/dev/null", O_RDONLY);
  if (input < 0) return;
  if (input != STDIN_FILENO) {
    if (dup2(input, STDIN_FILENO) < 0) return;
    close(input);
  }
  if (start.cwd != nullptr && chdir(start.cwd) != 0) return;
  const int keep[] = {reportFd};
  closeInherited(keep, limit);
  sigprocmask(SIG_SETMASK, &emptyMask, nullptr);
  execve(start.program, start.argv, start.environment);
}

void writeErrno(int fd, int code) noexcept {
  while (write(fd, &code, sizeof code) < 0 && errno == EINTR) {
  }
}

}  // namespace vexel::process_internal
