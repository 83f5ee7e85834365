// process_spawn.h: the contract between the runner and each platform's way
// of starting a child (readers/linux/: glibc's spawn extensions; readers/posix/:
// portable POSIX calls only). CMake picks the file by folder; shared code has
// no platform conditionals.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace vexel::process_internal {

// kDefaultSignals: signals the child gets with their default action, whatever
// the caller does with them: cancelling relies on SIGTERM, an archiver
// expects SIGPIPE's default, and one that waits for helpers of its own (a
// tar running a decompressor) loses their status when SIGCHLD is ignored.
inline constexpr int kDefaultSignals[] = {SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGHUP, SIGCHLD};

// ChildStart: what one child is started with. Every pointer stays valid
// until `spawnChild` returns.
struct ChildStart {
  const char* program;       ///< the file to execute; never looked up in PATH
  char* const* argv;         ///< null-terminated
  char* const* environment;  ///< null-terminated
  const char* cwd;           ///< the child's working directory; null: the caller's
  int outWrite;              ///< becomes the child's standard output; 3 or above
  int errWrite;              ///< becomes the child's standard error; 3 or above
};

// openPipe: a pipe in `fds` (read end, write end) with both ends
// close-on-exec. Returns false with errno set on failure. Any thread.
[[nodiscard]] bool openPipe(int fds[2]) noexcept;

// spawnChild: starts `start.program` in a session of its own (so also in a
// process group of its own, which a cancel signals as a whole), without a
// controlling terminal: a tool that asks for a password on /dev/tty (bsdtar
// does) would otherwise open the caller's terminal from a background group
// and be stopped by SIGTTIN for good, and the run would never end. With
// standard input on the null device, none of the caller's other descriptors,
// an empty signal mask and kDefaultSignals at their default action. Returns
// 0 with `pid` set once the program runs, or the errno value that kept it
// from running (a bad working directory included). Any thread.
[[nodiscard]] int spawnChild(const ChildStart& start, pid_t& pid) noexcept;

}  // namespace vexel::process_internal
