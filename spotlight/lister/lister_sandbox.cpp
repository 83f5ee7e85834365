#include "lister_sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>

#include "host/host_usage.h"

namespace vexel {

namespace {

struct FilterRelease {
  void operator()(void* filter) const noexcept { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterRelease>;

// The calls allowed whatever their arguments.
constexpr std::initializer_list<int> kAllowed = {
    // Reading what is open.
    SCMP_SYS(read),
    SCMP_SYS(pread64),
    SCMP_SYS(lseek),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(statx),
    SCMP_SYS(close),
    // Memory.
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mprotect),
    SCMP_SYS(mremap),
    SCMP_SYS(brk),
    SCMP_SYS(madvise),
    // The listing's worker thread and its locks.
    SCMP_SYS(futex),
    SCMP_SYS(set_robust_list),
    SCMP_SYS(rseq),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity),
    SCMP_SYS(gettid),
    SCMP_SYS(getpid),
    // Signals of the process's own: the C library blocks them around a
    // thread's start, abort() resets SIGABRT.
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigreturn),
    // Time: the deadline, and a worker's pauses.
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep),
    SCMP_SYS(getrandom),
    // The socket to the client (requests in, replies out); write for the
    // C library's last words on standard error.
    SCMP_SYS(recvmsg),
    SCMP_SYS(recvfrom),
    SCMP_SYS(sendmsg),
    SCMP_SYS(sendto),
    SCMP_SYS(write),
};

bool addRules(void* filter) {
  for (const int call : kAllowed) {
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
  }
  // A thread only: a new process could leave the filter's bounds in time
  // (it would outlive the lister's socket).
  if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                       SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)) != 0) {
    return false;
  }
  // clone3 passes its flags in memory, which a filter cannot read: refused
  // as unknown, the C library falls back to clone.
  if (seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return false;
  // Files opened for reading only: the volumes beside a split archive, the
  // code-page modules, /proc/self/statm for the listing's memory watch.
  constexpr scmp_datum_t kWriteFlags =
      O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
  if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1,
                       SCMP_A2(SCMP_CMP_MASKED_EQ, kWriteFlags, O_RDONLY)) != 0) {
    return false;
  }
  // fcntl: duplicating and reading flags (F_DUPFD_CLOEXEC, F_GETFL, F_SETFL
  // for O_NONBLOCK, F_GETFD, F_SETFD); no locks.
  for (const int command : {F_DUPFD_CLOEXEC, F_GETFL, F_SETFL, F_GETFD, F_SETFD}) {
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1,
                         SCMP_A1(SCMP_CMP_EQ, static_cast<scmp_datum_t>(command))) != 0) {
      return false;
    }
  }
  // abort() and raise() signal this process's own threads, never another's.
  const auto self = static_cast<scmp_datum_t>(::getpid());
  if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self)) !=
      0) {
    return false;
  }
  return true;
}

}  // namespace

void boundLister() {
  const rlimit noCore{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &noCore);
  platform::boundListingHost();
}

bool enterListerSandbox() {
  // Killing the process, not the thread: a worker thread killed alone
  // would leave its listing waiting for it.
  const Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter || !addRules(filter.get())) return false;
  return seccomp_load(filter.get()) == 0;
}

}  // namespace vexel
