// spawn.h: the contract between ChildProcess and each platform's way of
// starting a child (process/linux/: glibc's spawn extensions;
// process/posix/: portable POSIX calls only). CMake picks the file by
// folder; shared code has no platform conditionals.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace vexel::process_internal {

// kDefaultSignals: signals the child gets with their default action, whatever
// the caller does with them: cancelling relies on SIGTERM, an archiver
// expects SIGPIPE's default, and one that waits for helpers of its own (a
// tar running a decompressor) loses their status when SIGCHLD is ignored.
inline constexpr int kDefaultSignals[] = {SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGCHLD};

// SpawnPlan: what one child is started with, prepared before the start.
// Every pointer stays valid until the start returns.
struct SpawnPlan {
  const char* program;       ///< the file to execute; never looked up in PATH
  char* const* argv;         ///< null-terminated
  char* const* environment;  ///< null-terminated
  const char* cwd;           ///< the child's working directory; null: the caller's
  /// What becomes the child's descriptors 0, 1 and 2: a descriptor 3 or
  /// above, or -1 to leave the caller's own as it is.
  int streams[3];
  /// A terminal opened as the child's standard input after it has started
  /// its session, so that it becomes its controlling terminal; null: none.
  const char* terminal;
  /// Whether the child is killed when the thread that started it ends
  /// (endWithParent in fork_exec.h); this takes a fork on every system.
  bool endsWithCaller;
};

// openPipe: a pipe in `fds` (read end, write end) with both ends
// close-on-exec. Returns false with errno set on failure. Any thread.
[[nodiscard]] bool openPipe(int fds[2]) noexcept;

// openTerminalController: the controller side of a new pseudo-terminal,
// close-on-exec and not this process's controlling terminal; -1 with errno
// set on failure. Any thread.
[[nodiscard]] int openTerminalController() noexcept;

// spawnChild: starts `plan.program` in a session of its own (so also in a
// process group of its own, which a cancel signals as a whole), without a
// controlling terminal but `plan.terminal`: a tool that asks for a password
// on /dev/tty (bsdtar does) would otherwise open the caller's terminal from
// a background group and be stopped by SIGTTIN for good. With the streams
// of the plan, none of the caller's other descriptors, an empty signal mask
// and kDefaultSignals at their default action. Returns 0 with `pid` set once
// the program runs, or the errno value that kept it from running (a bad
// working directory included). A plan that `endsWithCaller` is started with
// forkChild (fork_exec.h). Any thread.
[[nodiscard]] int spawnChild(const SpawnPlan& plan, pid_t& pid) noexcept;

}  // namespace vexel::process_internal
