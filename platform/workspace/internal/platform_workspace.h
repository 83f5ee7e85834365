// platform_workspace.h: the contract between the portable `Workspace` front
// and each platform's side (workspace/linux/, workspace/dummy/). CMake picks
// the side by folder; shared code has no platform conditionals.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "workspace/workspace.h"

namespace vexel::platform::workspace_internal {

// platformOpenURL: hands a URL that the front has checked to the system.
// Returns whether the system accepted it. Any thread.
[[nodiscard]] bool platformOpenURL(const URL& url,
                                   const std::optional<OpenConfiguration>& configuration);

// platformApplicationForScheme: the application registered for URLs of
// `scheme`, or nothing. Any thread.
[[nodiscard]] std::optional<std::string> platformApplicationForScheme(const std::string& scheme);

// platformStoreHandover: keeps `url` for a hand-over (workspace.h) and
// returns its token; nothing when it cannot. Any thread.
[[nodiscard]] std::optional<std::string> platformStoreHandover(const std::string& url);

// platformTakeHandover: the URL kept under `token`, removed as it is taken;
// nothing for a token that names no fresh hand-over of this user's.
[[nodiscard]] std::optional<std::string> platformTakeHandover(std::string_view token);

// platformOpenedURLs / platformClearOpenedURLs / platformSetHandsURLsToSystem:
// the record and switch behind the matching `Workspace` members.
[[nodiscard]] std::vector<OpenedURL> platformOpenedURLs();
void platformClearOpenedURLs();
void platformSetHandsURLsToSystem(bool hands);

}  // namespace vexel::platform::workspace_internal
