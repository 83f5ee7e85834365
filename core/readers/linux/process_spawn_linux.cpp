// Starting a child on Linux: posix_spawn with glibc's extensions, which set
// the working directory, close inherited descriptors and start a session in
// the child, and pipe2, which makes both ends close-on-exec at once.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "internal/process_spawn.h"

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

int spawnChild(const ChildStart& start, pid_t& pid) noexcept {
  FileActions files;
  int rc = 0;
  const auto step = [&rc](int result) {
    if (rc == 0) rc = result;
  };
  step(posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
  step(posix_spawn_file_actions_adddup2(&files.actions, start.outWrite, STDOUT_FILENO));
  step(posix_spawn_file_actions_adddup2(&files.actions, start.errWrite, STDERR_FILENO));
  if (start.cwd != nullptr) step(posix_spawn_file_actions_addchdir_np(&files.actions, start.cwd));
  // Descriptors that other code of the caller left inheritable stay out too.
  step(posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1));

  SpawnAttributes attributes;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : kDefaultSignals) sigaddset(&defaults, signal);
  // A session of its own: no controlling terminal (see process_spawn.h).
  step(posix_spawnattr_setflags(
      &attributes.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  step(posix_spawnattr_setsigmask(&attributes.attributes, &empty));
  step(posix_spawnattr_setsigdefault(&attributes.attributes, &defaults));
  if (rc != 0) return rc;
  return posix_spawn(&pid, start.program, &files.actions, &attributes.attributes, start.argv,
                     start.environment);
}

}  // namespace vexel::process_internal
