// The workspace on Linux: every URL handed over is recorded in order; when the
// host asks, it is also handed to xdg-open, the desktop's URL opener.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "internal/platform_workspace.h"

extern char** environ;

namespace vexel::platform::workspace_internal {
namespace {

struct State {
  std::mutex mutex;
  std::vector<OpenedURL> opened;
  bool handsToSystem = false;
};

State& state() {
  static State shared;
  return shared;
}

// Runs `xdg-open URL` and waits for it; the opener returns once it has handed
// the URL on. The URL is one argv element, never shell text, and cannot be
// taken for an option: it starts with its scheme's letter.
bool runXdgOpen(const std::string& url) {
  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool platformOpenURL(const URL& url, const std::optional<OpenConfiguration>& configuration) {
  bool handsToSystem = false;
  {
    std::lock_guard lock(state().mutex);
    handsToSystem = state().handsToSystem;
  }
  // Outside the lock: the opener may take a while.
  const bool opened = handsToSystem ? runXdgOpen(url.string()) : true;
  std::lock_guard lock(state().mutex);
  state().opened.push_back({url, configuration, opened});
  return opened;
}

std::vector<OpenedURL> platformOpenedURLs() {
  std::lock_guard lock(state().mutex);
  return state().opened;
}

void platformClearOpenedURLs() {
  std::lock_guard lock(state().mutex);
  state().opened.clear();
}

void platformSetHandsURLsToSystem(bool hands) {
  std::lock_guard lock(state().mutex);
  state().handsToSystem = hands;
}

}  // namespace vexel::platform::workspace_internal
