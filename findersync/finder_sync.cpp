#include "findersync/finder_sync.h"

#include <string>
#include <vector>

#include "foundation/url_components.h"
#include "model/archive_format.h"
#include "workspace/workspace.h"

namespace vexel {

using platform::FIMenuKind;
using platform::FinderSyncController;
using platform::Menu;
using platform::MenuItem;
using platform::OpenConfiguration;
using platform::URL;
using platform::URLComponents;
using platform::URLQueryItem;
using platform::Workspace;

namespace {

constexpr std::string_view kScheme = "vexel";

// An all-archive selection: every item is named like an archive and is not a
// folder (a folder called "photos.zip" is still a folder). Stops at the first
// item that fails.
bool isAllArchiveSelection(const std::vector<URL>& urls) {
  for (const URL& url : urls) {
    if (url.hasDirectoryPath() || !isArchive(url.path())) return false;
  }
  return true;
}

std::optional<std::vector<URL>> currentSelection() {
  std::optional<std::vector<URL>> urls =
      FinderSyncController::defaultController().selectedItemURLs();
  if (!urls || urls->empty()) return std::nullopt;
  return urls;
}

}  // namespace

const std::array<FinderSyncCommand, 5>& FinderSync::commands() {
  static const std::array<FinderSyncCommand, 5> table = {{
      {"extractHere:", "用 Vexel 解压到这里", "extract", std::nullopt, true},
      {"openInVexel:", "用 Vexel 打开", "open", std::nullopt, true},
      {"compressZip:", "用 Vexel 压缩成 ZIP", "compress", "zip", false},
      {"compress7z:", "用 Vexel 压缩成 7z", "compress", "7z", false},
      {"compressWithOptions:", "用 Vexel 压缩…", "compress", std::nullopt, false},
  }};
  return table;
}

const FinderSyncCommand* FinderSync::command(std::string_view selector) {
  for (const FinderSyncCommand& row : commands()) {
    if (row.selector == selector) return &row;
  }
  return nullptr;
}

FinderSync::FinderSync() {
  FinderSyncController::defaultController().setDirectoryURLs({URL::fileURL("/", true)});
  if (const std::optional<URL> url = URL::fromString(startupURL)) {
    // Only tells the archive manager that the extension is up: it must not
    // come to the front or show up among the recent items.
    Workspace::shared().openURL(*url, {.activates = false, .addsToRecentItems = false}, nullptr);
  }
}

std::optional<Menu> FinderSync::menu(FIMenuKind kind) {
  if (kind != FIMenuKind::contextualMenuForItems) return std::nullopt;
  const std::optional<std::vector<URL>> urls = currentSelection();
  if (!urls) return std::nullopt;

  Menu menu("");
  const bool allArchives = isAllArchiveSelection(*urls);
  for (const FinderSyncCommand& row : commands()) {
    if (row.needsAllArchives && !allArchives) continue;
    MenuItem item(std::string(row.title), std::string(row.selector), "");
    item.setTarget(this);
    menu.addItem(std::move(item));
  }
  return menu;
}

void FinderSync::extractHere(const MenuItem*) { send(*command("extractHere:")); }
void FinderSync::openInVexel(const MenuItem*) { send(*command("openInVexel:")); }
void FinderSync::compressZip(const MenuItem*) { send(*command("compressZip:")); }
void FinderSync::compress7z(const MenuItem*) { send(*command("compress7z:")); }
void FinderSync::compressWithOptions(const MenuItem*) { send(*command("compressWithOptions:")); }

bool FinderSync::performAction(std::string_view selector, const MenuItem* /*sender*/) {
  const FinderSyncCommand* row = command(selector);
  if (row == nullptr) return false;
  send(*row);
  return true;
}

void FinderSync::send(const FinderSyncCommand& row) { send(row.actionWord, row.format); }

void FinderSync::send(std::string_view actionWord, std::optional<std::string_view> format) {
  // The selection is read afresh: a command sends what is selected when it
  // runs, not when the menu was built.
  const std::optional<std::vector<URL>> urls = currentSelection();
  if (!urls) return;

  URLComponents components;
  components.scheme = std::string(kScheme);
  components.host = std::string(actionWord);
  std::vector<URLQueryItem> items;
  items.reserve(urls->size() + 1);
  if (format) items.push_back({"format", std::string(*format)});
  for (const URL& url : *urls) items.push_back({"path", url.path()});
  components.queryItems = std::move(items);

  if (const std::optional<URL> url = components.url()) Workspace::shared().openURL(*url);
}

}  // namespace vexel
