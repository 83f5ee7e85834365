// child_keeper.h: starting a program through a keeper process, which starts
// it as its own child, waits for it and passes its status on through a pipe.
//
// Two callers need one. A caller that ignores SIGCHLD (or asked for
// SA_NOCLDWAIT) has its children reaped by the kernel as they exit, so no
// exit status could be collected: the keeper, a forked copy of the caller
// with SIGCHLD at its default, collects it instead. It leads the session and
// process group (so cancelling still reaches the program and its helpers,
// and no terminal but the plan's is reached), keeps its signals blocked so
// that such a cancel does not end it, and stays alive until the caller
// releases it, so that the group's id cannot be reused while the caller may
// still signal it. And a program that may outlive the caller (a browser) is
// started by a detached keeper, whose parent exits at once: neither is the
// caller's child then, and the keeper reports the status only if someone
// still listens.
#pragma once

#include <sys/types.h>

#include "internal/spawn.h"
#include "process/unique_fd.h"

namespace vexel::process_internal {

// childrenAreReapedForUs: whether the process ignores SIGCHLD or asked for
// SA_NOCLDWAIT, so that no exit status of a child can be collected. Any thread.
[[nodiscard]] bool childrenAreReapedForUs() noexcept;

// KeeperMessage: what the keeper writes on its status pipe, each whole.
struct KeeperMessage {
  enum Kind : int { started = 1, cannotStart = 2, exited = 3 };
  int kind = 0;
  int value = 0;  ///< cannotStart: the errno value; exited: the raw wait status
};

// spawnKeptChild: starts the keeper, which starts `plan.program` as
// spawnChild would (in the keeper's process group). Returns 0 once the
// program runs, with `keeperPid`, the read end of the status pipe (the
// `exited` message follows) and the write end of the release pipe (closing
// it ends the keeper); or the errno value that kept the program from running.
[[nodiscard]] int spawnKeptChild(const SpawnPlan& plan, pid_t& keeperPid, UniqueFd& statusRead,
                                 UniqueFd& releaseWrite) noexcept;

// spawnDetached: starts a detached keeper (see above) for `plan.program`.
// Returns 0 once the program runs, with the read end of the status pipe
// (the `exited` message follows when it ends); or the errno value that kept
// the program from running. Nothing is left for the caller to wait for.
[[nodiscard]] int spawnDetached(const SpawnPlan& plan, UniqueFd& statusRead) noexcept;

// readKeeperMessage: the next message; nothing (kind 0) at end-of-file or
// on an error, as when the keeper was killed.
[[nodiscard]] KeeperMessage readKeeperMessage(int statusFd) noexcept;

}  // namespace vexel::process_internal
