// finder_sync.h: the context-menu extension that hands archive commands to
// the Vexel archive manager.
//
// Holds `FinderSync`, the extension object, and `FinderSyncCommand`, the table
// of its five commands. The extension builds the context menu for the current
// selection (extract and open only when every item is an archive file by
// name) and sends the chosen command with the selected paths to the archive
// manager as a "vexel" URL:
//
//   vexel://compress?format=zip&path=/tmp/a.txt&path=/tmp/b.txt
//
// Each path is one "path" item, percent-encoded so that "&", "=", "+", "#",
// "%", spaces, line breaks and bytes that are not UTF-8 arrive intact. The
// only archive knowledge here is the catalogue's name test; nothing reads an
// archive.
//
//   vexel::FinderSync extension;   // opens vexel://sync
//   if (auto menu = extension.menu(vexel::platform::FIMenuKind::contextualMenuForItems)) ...
//   extension.performAction("compressZip:", nullptr);
//
// Threading: no threads or locks of its own; every member runs on the thread
// its host calls it on. It keeps no state: each call reads the controller's
// current selection.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "finder/finder_sync_controller.h"
#include "finder/menu.h"

namespace vexel {

class FinderSync;

// FinderSyncCommand: one row of the command table, in menu order.
struct FinderSyncCommand {
  std::string_view selector;               ///< "compressZip:"
  std::string_view title;                  ///< the menu title shown to the user
  std::string_view actionWord;             ///< the hand-off URL's host
  std::optional<std::string_view> format;  ///< the "format" item, when any
  bool needsAllArchives;                   ///< offered only for all-archive selections
};

// FinderSync: the extension object (runtime class name "VexelFinderSync").
class FinderSync final : public platform::FIFinderSync {
 public:
  // runtimeClassName: the name the file manager's extension host knows it by.
  static constexpr std::string_view runtimeClassName = "VexelFinderSync";
  // startupURL: opened once when the extension is created.
  static constexpr std::string_view startupURL = "vexel://sync";

  // commands: the five commands in menu order.
  [[nodiscard]] static const std::array<FinderSyncCommand, 5>& commands();

  // FinderSync: monitors the whole file system ("/") and opens the start-up
  // URL without activating the archive manager or adding to recent items.
  // Nothing waits for or checks the outcome.
  FinderSync();

  // menu: for the context menu of selected items (kind 0) and a non-empty
  // selection, the extract and open items when every selected item is an
  // archive file (not a folder), then the three compress items; nothing for
  // any other kind or no selection.
  [[nodiscard]] std::optional<platform::Menu> menu(platform::FIMenuKind kind) override;

  // extractHere, openInVexel, compressZip, compress7z, compressWithOptions:
  // send the command with the current selection; `sender` is ignored. Do
  // nothing when there is no selection.
  void extractHere(const platform::MenuItem* sender);
  void openInVexel(const platform::MenuItem* sender);
  void compressZip(const platform::MenuItem* sender);
  void compress7z(const platform::MenuItem* sender);
  void compressWithOptions(const platform::MenuItem* sender);

  // performAction: sends the command whose selector is `selector`, as its
  // method above would; false for any other selector.
  bool performAction(std::string_view selector, const platform::MenuItem* sender) override;

 private:
  // send: opens the hand-off URL for `actionWord` and `format` with the
  // current selection, if there is one and the URL can be formed.
  void send(std::string_view actionWord, std::optional<std::string_view> format);
  void send(const FinderSyncCommand& command);
  [[nodiscard]] static const FinderSyncCommand* command(std::string_view selector);
};

}  // namespace vexel
