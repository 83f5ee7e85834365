// lister_sandbox.h: the bounds vexel-lister puts on itself before it reads
// its first archive: resource limits, then a seccomp filter that allows only
// the system calls listing needs and kills the process on any other.
//
//   vexel::boundLister();                        // limits: no core dumps
//   if (!vexel::enterListerSandbox()) _exit(3);  // the filter, for good
//
// Everything the lister loads lazily (libraries, the time zone, the code
// pages) must be loaded before: afterwards only reading files that are open
// or opened read-only remains. Main thread, before any other thread starts.
#pragma once

namespace vexel {

// boundLister: no core dumps, and the address space of a listing host
// (platform/host's boundListingHost), so a hostile header's allocation fails
// at once instead of growing the lister without end.
void boundLister();

// enterListerSandbox: installs the filter for the whole process (threads it
// starts later included); returns false, with nothing installed, when the
// kernel or libseccomp refuses. Allowed: reading (read, pread64, lseek,
// fstat, newfstatat, statx, close; openat without write, create, truncate or
// append flags; fcntl's F_DUPFD_CLOEXEC, F_GETFL, F_SETFL, F_GETFD,
// F_SETFD), memory (mmap, munmap, mprotect, mremap, brk, madvise), threads
// (clone with CLONE_THREAD only; clone3 answers ENOSYS, so the C library
// falls back to clone; futex, set_robust_list, rseq, exit, exit_group,
// sched_yield, sched_getaffinity, gettid, getpid; tgkill of this process's
// own threads only), signals (rt_sigprocmask, rt_sigaction, rt_sigreturn),
// time (clock_gettime, clock_nanosleep, nanosleep), getrandom, and the
// socket (recvmsg, recvfrom, sendmsg, sendto, write). Anything else (socket,
// connect, execve, ptrace, kill, an open for writing) kills the process.
[[nodiscard]] bool enterListerSandbox();

}  // namespace vexel
