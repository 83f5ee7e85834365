#include "finder/finder_sync_controller.h"

namespace vexel::platform {

FinderSyncController& FinderSyncController::defaultController() {
  static FinderSyncController controller;
  return controller;
}

void FinderSyncController::setDirectoryURLs(std::set<URL> urls) {
  std::lock_guard lock(mMutex);
  mDirectoryURLs = std::move(urls);
}

std::set<URL> FinderSyncController::directoryURLs() const {
  std::lock_guard lock(mMutex);
  return mDirectoryURLs;
}

std::optional<std::vector<URL>> FinderSyncController::selectedItemURLs() const {
  std::lock_guard lock(mMutex);
  return mSelectedItemURLs;
}

void FinderSyncController::setSelectedItemURLs(std::optional<std::vector<URL>> urls) {
  std::lock_guard lock(mMutex);
  mSelectedItemURLs = std::move(urls);
}

std::optional<Menu> FIFinderSync::menu(FIMenuKind) { return std::nullopt; }

bool FIFinderSync::performAction(std::string_view, const MenuItem*) { return false; }

}  // namespace vexel::platform
