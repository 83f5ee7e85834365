// finder_sync_controller.h: the file manager's side of a context-menu
// extension.
//
// Holds `FinderSyncController` (the monitored folders and the current
// selection of the extension's process), `FIFinderSync` (the base class of
// an extension) and `FIMenuKind` (which menu the file manager asks for). On a
// real desktop the file manager supplies the selection; here the host does.
//
//   auto& controller = vexel::platform::FinderSyncController::defaultController();
//   controller.setSelectedItemURLs(std::vector{vexel::platform::URL::fileURL("/tmp/a.zip")});
//   auto menu = extension.menu(vexel::platform::FIMenuKind::contextualMenuForItems);
//
// Threading: the controller may be used from any thread; an extension runs
// on whichever thread its host calls it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "finder/menu.h"
#include "foundation/url_components.h"

namespace vexel::platform {

// FIMenuKind: the menu being asked for. The host may pass any value, so the
// type holds other numbers as well.
enum class FIMenuKind : std::uint64_t {
  contextualMenuForItems = 0,      ///< the context menu of selected items
  contextualMenuForContainer = 1,  ///< the window background
  contextualMenuForSidebar = 2,    ///< the sidebar
  toolbarItemMenu = 3,             ///< the extension's toolbar button
};

// FinderSyncController: the controller of this process's extension.
class FinderSyncController {
 public:
  // defaultController: the one controller of the process, created on first use.
  [[nodiscard]] static FinderSyncController& defaultController();

  FinderSyncController(const FinderSyncController&) = delete;
  FinderSyncController& operator=(const FinderSyncController&) = delete;

  // setDirectoryURLs: the folders whose items the extension serves.
  void setDirectoryURLs(std::set<URL> urls);
  [[nodiscard]] std::set<URL> directoryURLs() const;

  // selectedItemURLs: the current selection as file URLs, in selection order;
  // nothing when the file manager cannot supply one.
  [[nodiscard]] std::optional<std::vector<URL>> selectedItemURLs() const;
  // setSelectedItemURLs: the host's way of playing the file manager.
  void setSelectedItemURLs(std::optional<std::vector<URL>> urls);

 private:
  FinderSyncController() = default;

  mutable std::mutex mMutex;
  std::set<URL> mDirectoryURLs;
  std::optional<std::vector<URL>> mSelectedItemURLs;
};

// FIFinderSync: the base class of a context-menu extension. The host creates
// one, asks it for menus and sends it the chosen items' actions.
class FIFinderSync : public ActionTarget {
 public:
  FIFinderSync() = default;
  ~FIFinderSync() override = default;
  // Menu items point at the extension, so it stays where it was made.
  FIFinderSync(const FIFinderSync&) = delete;
  FIFinderSync& operator=(const FIFinderSync&) = delete;

  // menu: the menu for `kind`, or nothing. The base offers none.
  [[nodiscard]] virtual std::optional<Menu> menu(FIMenuKind kind);

  // performAction: the base answers no selector.
  bool performAction(std::string_view selector, const MenuItem* sender) override;
};

}  // namespace vexel::platform
