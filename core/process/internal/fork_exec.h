// fork_exec.h: the child's side of a fork that ends in exec, made of
// async-signal-safe calls only, for the places that fork: the portable
// start (process/posix/) and the keeper that waits for a child when the
// caller ignores SIGCHLD or the child must not be the caller's
// (child_keeper.h).
#pragma once

#include <signal.h>

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

// becomeChild: from fork to exec, with every signal blocked: the caller's
// handlers dropped, a session of its own when `ownSession`, the standard
// streams (and the terminal), the working directory, the other descriptors
// closed (`reportFd` closes itself at exec), the signal mask emptied, then
// exec. Returns only when the program cannot be run, with errno saying why.
void becomeChild(const SpawnPlan& plan, int reportFd, int limit, const sigset_t& emptyMask,
                 bool ownSession) noexcept;

// writeErrno: writes errno's value to `fd` whole (writes this small are
// atomic). Async-signal-safe.
void writeErrno(int fd, int code) noexcept;

}  // namespace vexel::process_internal
