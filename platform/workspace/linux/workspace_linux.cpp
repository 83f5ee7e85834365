// The workspace on Linux: every URL handed over is recorded in order; when the
// host asks, it is also handed to xdg-open, the desktop's URL opener.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs `xdg-mime query default x-scheme-handler/SCHEME`, which prints the
// desktop entry that xdg-open would use, or nothing.
std::optional<std::string> queryDefaultApplication(const std::string& scheme) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::nullopt;
  fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
  fcntl(pipeEnds[1], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-mime", query = "query", which = "default";
  std::string type = "x-scheme-handler/" + scheme;
  char* argv[] = {program.data(), query.data(), which.data(), type.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "xdg-mime", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  std::string text;
  if (spawned == 0) {
    char buffer[512];
    for (;;) {
      const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
  }
  close(pipeEnds[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::string> platformApplicationForScheme(const std::string& scheme) {
  return queryDefaultApplication(scheme);
}

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
