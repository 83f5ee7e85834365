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

// xdg-open's exit status when the program it ran for the URL failed.
constexpr int kXdgOpenActionFailed = 4;

// Runs `xdg-open URL` and waits for it: its exit status, or nothing when it
// could not be started. The opener returns once it has handed the URL on
// (the generic one, without a desktop, once the application it ran has
// ended). The URL is one argv element, never shell text, and cannot be
// taken for an option: it starts with its scheme's letter.
std::optional<int> runXdgOpen(const std::string& url) {
  const std::optional<std::filesystem::path> opener = findProgram("xdg-open");
  if (!opener) return std::nullopt;
  const ProcessOutcome outcome = ChildProcess::run({.program = *opener,
                                                    .arguments = {url},
                                                    .output = StreamSetup::inherited(),
                                                    .error = StreamSetup::inherited()});
  if (outcome.startError) return std::nullopt;
  return outcome.status;
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

// Hands `url` to xdg-open, through a hand-over when it is too long for one
// argument (see url_handover_linux.cpp); whether it was opened.
bool handToSystem(const URL& url) {
  std::string text = url.string();
  if (text.size() > Workspace::kLongestHandedURL) {
    const size_t question = text.find('?');
    const std::optional<std::string> token = platformStoreHandover(text);
    if (question == std::string::npos || !token) return false;
    text = text.substr(0, question) + "?handover=" + *token;
  }
  const std::optional<int> status = runXdgOpen(text);
  if (!status) return false;
  // Run without a desktop, the opener passes on the application's own
  // failure, which that application has shown its user already: the URL
  // did reach it. Elsewhere the opener never waits for the application.
  return *status == 0 || (*status == kXdgOpenActionFailed && !url.isFileURL() &&
                          queryDefaultApplication(url.scheme()).has_value());
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
  const bool opened = handsToSystem ? handToSystem(url) : true;
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
