#include "workspace/workspace.h"

#include <filesystem>
#include <system_error>

#include "internal/platform_workspace.h"

namespace vexel::platform {

Workspace& Workspace::shared() {
  // A function-local static: one thread-safe initialisation.
  static Workspace workspace;
  return workspace;
}

bool Workspace::open(const URL& url, const std::optional<OpenConfiguration>& configuration) {
  // A file URL that names nothing has no application to open it; refuse it
  // here rather than leave it to each platform.
  if (url.isFileURL()) {
    std::error_code error;
    if (!std::filesystem::exists(url.path(), error)) return false;
  }
  return workspace_internal::platformOpenURL(url, configuration);
}

bool Workspace::openURL(const URL& url) { return open(url, std::nullopt); }

void Workspace::openURL(const URL& url, const OpenConfiguration& configuration,
                        const std::function<void(bool opened)>& completionHandler) {
  const bool opened = open(url, configuration);
  if (completionHandler) completionHandler(opened);
}

std::optional<std::string> Workspace::URLForApplicationToOpenURL(const URL& url) const {
  if (url.isFileURL() || url.scheme().empty()) return std::nullopt;
  return workspace_internal::platformApplicationForScheme(url.scheme());
}

std::vector<OpenedURL> Workspace::openedURLs() const {
  return workspace_internal::platformOpenedURLs();
}

void Workspace::clearOpenedURLs() { workspace_internal::platformClearOpenedURLs(); }

std::optional<std::string> Workspace::receivedURL(std::string_view text) {
  constexpr std::string_view kHandover = "?handover=";
  const size_t question = text.find('?');
  if (question == std::string_view::npos || text.substr(question, kHandover.size()) != kHandover) {
    return std::string(text);
  }
  std::optional<std::string> full =
      workspace_internal::platformTakeHandover(text.substr(question + kHandover.size()));
  // The URL named must be the one handed over: same scheme and host, and no
  // hand-over itself.
  if (!full || full->size() <= question ||
      full->compare(0, question + 1, text, 0, question + 1) != 0 ||
      full->find(kHandover) != std::string::npos) {
    return std::nullopt;
  }
  return full;
}

void Workspace::setHandsURLsToSystem(bool hands) {
  workspace_internal::platformSetHandsURLsToSystem(hands);
}

}  // namespace vexel::platform
