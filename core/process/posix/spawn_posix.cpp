// Starting a child with portable POSIX calls only: fork, then in the child
// the redirections, the working directory and the descriptor clean-up that
// posix_spawn cannot express portably, then exec (forkChild). Other threads of the caller
// may hold locks (malloc's among them) at the fork, so between fork and exec
// the child makes async-signal-safe calls only, on data prepared before
// (internal/fork_exec.h).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "internal/fork_exec.h"
#include "internal/spawn.h"

namespace vexel::process_internal {
namespace {

// Between making a descriptor and fcntl() a fork elsewhere in the process
// can copy it without close-on-exec; children started here close it anyway.
bool setCloseOnExec(int fd) noexcept { return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

}  // namespace

bool openPipe(int fds[2]) noexcept {
  if (pipe(fds) != 0) return false;
  if (setCloseOnExec(fds[0]) && setCloseOnExec(fds[1])) return true;
  const int error = errno;
  close(fds[0]);
  close(fds[1]);
  errno = error;
  return false;
}

int openTerminalController() noexcept {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || setCloseOnExec(fd)) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

int spawnChild(const SpawnPlan& plan, pid_t& pid) noexcept { return forkChild(plan, pid); }

}  // namespace vexel::process_internal
