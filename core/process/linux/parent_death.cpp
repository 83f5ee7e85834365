// Ending a child with its parent on Linux: the parent-death signal, a plain
// system call (no C library extension), so the portable start uses it too.
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "internal/fork_exec.h"

namespace vexel::process_internal {

bool endWithParent(pid_t parent) noexcept {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return false;
  // A parent that ended between the fork and the request sent nothing: the
  // child has been adopted by then.
  if (getppid() != parent) {
    errno = ESRCH;
    return false;
  }
  return true;
}

}  // namespace vexel::process_internal
