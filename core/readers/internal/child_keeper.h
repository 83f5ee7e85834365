// child_keeper.h: starting a child for a caller that ignores SIGCHLD.
//
// When SIGCHLD is ignored (or has SA_NOCLDWAIT), the kernel reaps children
// as they exit and their exit status is lost: every run would end with no
// status at all. The runner then starts a keeper instead, a forked copy of
// itself with SIGCHLD at its default, which starts the program as its own
// child, waits for it and passes the status on through a pipe. The keeper
// leads the session and process group (so cancelling still reaches the
// program and its helpers, and no terminal is reached), keeps its signals blocked so that such a
// cancel does not end it, and stays alive until the runner releases it, so that the group's id
// cannot be reused while the runner may still signal it.
#pragma once

#include <sys/types.h>

#include "internal/child_process.h"
#include "internal/process_spawn.h"

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

// spawnKeptChild: starts the keeper, which starts `start.program` as
// spawnChild would (in the keeper's process group). Returns 0 once the
// program runs, with `keeperPid`, the read end of the status pipe (the
// `exited` message follows) and the write end of the release pipe (closing
// it ends the keeper); or the errno value that kept the program from running.
[[nodiscard]] int spawnKeptChild(const ChildStart& start, pid_t& keeperPid, UniqueFd& statusRead,
                                 UniqueFd& releaseWrite) noexcept;

// readKeeperMessage: the next message; nothing (kind 0) at end-of-file or
// on an error, as when the keeper was killed.
[[nodiscard]] KeeperMessage readKeeperMessage(int statusFd) noexcept;

}  // namespace vexel::process_internal
