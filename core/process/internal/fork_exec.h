// fork_exec.h: the child's side of a fork that ends in exec, made of
// async-signal-safe calls only, for the places that fork: the portable
// start (process/posix/) and the keeper that waits for a child when the
// caller ignores SIGCHLD or the child must not be the caller's
// (child_keeper.h).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <span>

#include "internal/spawn.h"

namespace vexel::process_internal {

// descriptorLimit: one more than the highest descriptor that can be open.
// Read before the fork: sysconf is not async-signal-safe.
[[nodiscard]] int descriptorLimit() noexcept;

// closeInherited: closes every descriptor from 3 up to `limit` but those in
// `keep`. Async-signal-safe.
void closeInherited(std::span<const int> keep, int limit) noexcept;

// dropCaughtHandlers: sets every signal that has a handler back to its
// default action (exec would do the same), and kDefaultSignals as well;
// ignored signals other than those stay ignored. Async-signal-safe.
void dropCaughtHandlers() noexcept;

// takeTerminal: opens `terminal` as standard input; called by a session
// leader without a controlling terminal, it makes the terminal its
// controlling one. Returns false with errno set. Async-signal-safe.
[[nodiscard]] bool takeTerminal(const char* terminal) noexcept;

// endWithParent: asks the system to SIGKILL the calling process as soon as
// the thread that forked it ends (on Linux, the parent-death signal, which
// follows the forking thread, not the whole process), then makes sure that
// `parent` did not end before the request, when no signal would come any
// more. Returns false with errno set (ESRCH: the parent has gone). On a
// system without such a request it asks nothing and returns true: the child
// may then outlive a killed caller. Async-signal-safe. Chosen by system:
// linux/parent_death.cpp, else posix/parent_death.cpp.
[[nodiscard]] bool endWithParent(pid_t parent) noexcept;

// becomeChild: from fork to exec, with every signal blocked: tied to
// `parent` when that is not 0 (endWithParent), the caller's handlers
// dropped, a session of its own when `ownSession`, the standard streams
// (and the terminal), the working directory, the other descriptors closed
// (`reportFd` closes itself at exec), the signal mask emptied, then exec.
// Returns only when the program cannot be run, with errno saying why.
void becomeChild(const SpawnPlan& plan, int reportFd, int limit, const sigset_t& emptyMask,
                 bool ownSession, pid_t parent) noexcept;

// forkChild: spawnChild (spawn.h) made of fork and exec, for systems and
// C libraries without posix_spawn's extensions, and for a plan that
// `endsWithCaller`, whose request must be made between the two: the calling
// thread is the one whose end then kills the child. Any thread.
[[nodiscard]] int forkChild(const SpawnPlan& plan, pid_t& pid) noexcept;

// writeErrno: writes errno's value to `fd` whole (writes this small are
// atomic). Async-signal-safe.
void writeErrno(int fd, int code) noexcept;

}  // namespace vexel::process_internal
