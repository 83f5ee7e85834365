// Starting a child with portable POSIX calls only: fork, then in the child
// the redirections, the working directory and the descriptor clean-up that
// posix_spawn cannot express portably, then exec. Other threads of the caller
// may hold locks (malloc's among them) at the fork, so between fork and exec
// the child makes async-signal-safe calls only, on data prepared before
// (internal/fork_exec.h).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "internal/fork_exec.h"
#include "internal/spawn.h"
#include "process/unique_fd.h"

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

int spawnChild(const SpawnPlan& plan, pid_t& pid) noexcept {
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
    becomeChild(plan, reportWrite.get(), limit, empty, true);
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
