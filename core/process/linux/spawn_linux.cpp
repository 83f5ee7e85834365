// Starting a child on Linux: posix_spawn with glibc's extensions, which set
// the working directory, close inherited descriptors and start a session in
// the child, and pipe2 and posix_openpt with O_CLOEXEC, which make
// descriptors close-on-exec at once. A child that must end with its caller
// is forked instead: posix_spawn runs nothing of ours before its exec.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include "internal/fork_exec.h"
#include "internal/spawn.h"

namespace vexel::process_internal {
namespace {

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

}  // namespace

bool openPipe(int fds[2]) noexcept { return pipe2(fds, O_CLOEXEC) == 0; }

int openTerminalController() noexcept { return posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC); }

int spawnChild(const SpawnPlan& plan, pid_t& pid) noexcept {
  if (plan.endsWithCaller) return forkChild(plan, pid);
  FileActions files;
  int rc = 0;
  const auto step = [&rc](int result) {
    if (rc == 0) rc = result;
  };
  for (int k = 0; k < 3; ++k) {
    if (plan.streams[k] >= 0)
      step(posix_spawn_file_actions_adddup2(&files.actions, plan.streams[k], k));
  }
  // glibc starts the session before the file actions, and Linux makes the
  // first terminal a session leader opens (without O_NOCTTY) its
  // controlling terminal.
  if (plan.terminal != nullptr) {
    step(posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, plan.terminal, O_RDWR, 0));
  }
  if (plan.cwd != nullptr) step(posix_spawn_file_actions_addchdir_np(&files.actions, plan.cwd));
  // Descriptors that other code of the caller left inheritable stay out too.
  step(posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1));

  SpawnAttributes attributes;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : kDefaultSignals) sigaddset(&defaults, signal);
  // A session of its own: no controlling terminal but the plan's (see spawn.h).
  step(posix_spawnattr_setflags(
      &attributes.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  step(posix_spawnattr_setsigmask(&attributes.attributes, &empty));
  step(posix_spawnattr_setsigdefault(&attributes.attributes, &defaults));
  if (rc != 0) return rc;
  return posix_spawn(&pid, plan.program, &files.actions, &attributes.attributes, plan.argv,
                     plan.environment);
}

}  // namespace vexel::process_internal
