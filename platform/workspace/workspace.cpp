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

void Workspace::setHandsURLsToSystem(bool hands) {
  workspace_internal::platformSetHandsURLsToSystem(hands);
}

}  // namespace vexel::platform
