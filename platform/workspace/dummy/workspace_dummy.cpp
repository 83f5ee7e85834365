// The workspace on platforms without a port: nothing can be opened.
#include "internal/platform_workspace.h"

namespace vexel::platform::workspace_internal {

bool platformOpenURL(const URL&, const std::optional<OpenConfiguration>&) { return false; }
std::optional<std::string> platformApplicationForScheme(const std::string&) { return std::nullopt; }
std::optional<std::string> platformStoreHandover(const std::string&) { return std::nullopt; }
std::optional<std::string> platformTakeHandover(std::string_view) { return std::nullopt; }
std::vector<OpenedURL> platformOpenedURLs() { return {}; }
void platformClearOpenedURLs() {}
void platformSetHandsURLsToSystem(bool) {}

}  // namespace vexel::platform::workspace_internal
