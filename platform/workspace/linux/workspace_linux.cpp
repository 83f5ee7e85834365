// The workspace on Linux: every URL handed over is recorded in order; when the
// host asks, it is also handed to xdg-open, the desktop's URL opener.
#include <mutex>
#include <string>

#include "internal/platform_workspace.h"
#include "process/child_process.h"

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
  const std::optional<std::filesystem::path> opener = findProgram("xdg-open");
  if (!opener) return false;
  const ProcessOutcome outcome = ChildProcess::run({.program = *opener,
                                                    .arguments = {url},
                                                    .output = StreamSetup::inherited(),
                                                    .error = StreamSetup::inherited()});
  return !outcome.startError && outcome.status == 0;
}

// Runs `xdg-mime query default x-scheme-handler/SCHEME`, which prints the
// desktop entry that xdg-open would use, or nothing.
std::optional<std::string> queryDefaultApplication(const std::string& scheme) {
  const std::optional<std::filesystem::path> query = findProgram("xdg-mime");
  if (!query) return std::nullopt;
  ProcessOutcome outcome =
      ChildProcess::run({.program = *query,
                         .arguments = {"query", "default", "x-scheme-handler/" + scheme},
                         .error = StreamSetup::nullDevice()});
  std::string& text = outcome.output;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (outcome.startError || outcome.status != 0 || text.empty()) return std::nullopt;
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
