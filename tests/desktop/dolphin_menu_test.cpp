// Dolphin's context menu as KDE's own KFileItemActions builds it (KDE
// Frameworks 5 on Debian 12, 6 on Debian 13), with our file-item action
// plug-in found through QT_PLUGIN_PATH in the build folder and no user
// settings: the "Vexel" submenu holds exactly what the context-menu
// extension offers for the selection, in its order, and choosing an item
// starts vexel-menu-run with the item's command and the selected paths.
#include <gtest/gtest.h>
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <QApplication>
#include <QMenu>
#include <QMimeDatabase>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "extension_menu.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::readFile;
using test::run;
using test::shellQuoted;
using test::TempDir;

// One selected item: its path, and the MIME type the file manager gives it
// (empty: the type KIO finds itself).
struct Selected {
  std::filesystem::path path;
  std::string mimeType;
};

using MenuItem = test::ExtensionMenuItem;

// The extension's menu for SELECTION, in its order.
std::vector<MenuItem> hostMenu(const std::vector<Selected>& selection) {
  std::vector<std::string> paths;
  for (const Selected& item : selection) paths.push_back(item.path.string());
  return test::extensionMenu(VEXEL_FINDERSYNC_HOST, paths);
}

// Dolphin's menu for one selection: KFileItemActions with every source
// (service menus and plug-ins), kept alive while its actions are chosen.
class DolphinMenu {
 public:
  explicit DolphinMenu(const std::vector<Selected>& selection) {
    KFileItemList items;
    for (const Selected& item : selection) {
      const QUrl url = QUrl::fromLocalFile(QString::fromStdString(item.path.string()));
      items.append(item.mimeType.empty() ? KFileItem(url)
                                         : KFileItem(url, QString::fromStdString(item.mimeType)));
    }
    mActions.setItemListProperties(KFileItemListProperties(items));
    mActions.addActionsTo(&mMenu, KFileItemActions::MenuActionSource::All);
    for (QMenu* submenu : mMenu.findChildren<QMenu*>()) {
      if (submenu->title() == QStringLiteral("Vexel")) mSubmenus.push_back(submenu);
    }
    // A plug-in's submenu has its own parent widget (none here): found
    // through the main menu's actions.
    for (QAction* action : mMenu.actions()) {
      QMenu* submenu = action->menu();
      if (submenu != nullptr && submenu->title() == QStringLiteral("Vexel") &&
          std::find(mSubmenus.begin(), mSubmenus.end(), submenu) == mSubmenus.end())
        mSubmenus.push_back(submenu);
    }
  }

  // submenuCount: how many "Vexel" submenus the menu has (one mechanism: one).
  [[nodiscard]] std::size_t submenuCount() const { return mSubmenus.size(); }

  // actions: the first "Vexel" submenu's items, separators left out.
  [[nodiscard]] std::vector<QAction*> actions() const {
    std::vector<QAction*> found;
    if (mSubmenus.empty()) return found;
    for (QAction* action : mSubmenus.front()->actions()) {
      if (!action->isSeparator()) found.push_back(action);
    }
    return found;
  }

 private:
  QMenu mMenu;
  KFileItemActions mActions;
  std::vector<QMenu*> mSubmenus;
};

// The arguments the stand-in vexel-menu-run recorded, NUL-separated; empty
// when it did not run within ten seconds.
std::vector<std::string> waitForRecord(const std::filesystem::path& record) {
  for (int tries = 0; tries < 1000 && !std::filesystem::exists(record); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<std::string> arguments;
  if (!std::filesystem::exists(record)) return arguments;
  const std::string bytes = readFile(record);
  std::string::size_type start = 0;
  for (auto end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', start)) {
    arguments.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

TEST(DolphinMenu, OffersTheExtensionsCommandsInItsOrderAndRunsThem) {
  TempDir home;
  // The system's types and the plug-in in the build folder; no user's menus
  // or settings (kservicemenurc's [Show] group hides plug-ins): the plug-in
  // must show without any step of the user's.
  ::setenv("XDG_DATA_DIRS", "/usr/local/share:/usr/share", 1);
  ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
  ::setenv("QT_PLUGIN_PATH", VEXEL_PLUGIN_DIR, 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The stand-in vexel-menu-run records its arguments, as the desktop's
  // menus would start the real one from PATH.
  const auto bin = home.path() / "bin";
  const auto record = home.path() / "record";
  std::filesystem::create_directory(bin);
  test::writeFile(bin / "vexel-menu-run", "#!/bin/sh\nprintf '%s\\0' \"$@\" >" +
                                              shellQuoted(record.string() + ".new") + " && mv " +
                                              shellQuoted(record.string() + ".new") + " " +
                                              shellQuoted(record) + "\n");
  std::filesystem::permissions(bin / "vexel-menu-run", std::filesystem::perms::owner_all);
  const std::string path = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  ::setenv("PATH", path.c_str(), 1);
  int argc = 1;
  char name[] = "vexel_dolphin_menu_tests";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);

  // An empty ZIP file (its end record alone): the type comes from the
  // name and the content alike.
  const auto zip = home.path() / "a.zip";
  test::writeFile(zip, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  // A ZIP of a GBK-named entry, in a folder with spaces and Chinese.
  const auto cjkFolder = home.path() / "旧 资料";
  std::filesystem::create_directory(cjkFolder);
  const auto gbk = cjkFolder / "项目 计划书.zip";
  test::writeFile(gbk, test::zipBytes({{.name = "\xb1\xa8\xb8\xe6.txt", .data = "x"}}));
  const auto tar = home.path() / "b.tar.gz";
  ASSERT_EQ(run("tar -czf " + shellQuoted(tar.string()) + " -C " +
                shellQuoted(home.path().string()) + " a.zip"),
            0);
  const auto tbz = home.path() / "c.tbz";
  ASSERT_EQ(run("tar -cjf " + shellQuoted(tbz.string()) + " -C " +
                shellQuoted(home.path().string()) + " a.zip"),
            0);
  const auto folder = home.path() / "folder";
  std::filesystem::create_directory(folder);
  const auto text = home.path() / "notes.txt";
  test::writeFile(text, "notes\n");

  // .tbz is application/x-bzip-compressed-tar in shared-mime-info 2.2
  // (Debian 12) and application/x-bzip1-compressed-tar in 2.4 (Debian 13):
  // each name where this system's types know it.
  std::vector<std::vector<Selected>> selections = {
      {{zip}},  {{gbk}},         {{tar}},           {{zip}, {gbk}, {tar}}, {{folder}},
      {{text}}, {{zip}, {text}}, {{zip}, {folder}}, {{folder}, {text}},
  };
  const QMimeDatabase types;
  for (const char* tbzType :
       {"application/x-bzip-compressed-tar", "application/x-bzip1-compressed-tar"}) {
    if (types.mimeTypeForName(QString::fromLatin1(tbzType)).isValid())
      selections.push_back({{tbz, tbzType}});
  }

  for (const auto& selection : selections) {
    std::string trace;
    for (const Selected& item : selection)
      trace += item.path.filename().string() + " " + item.mimeType + " ";
    SCOPED_TRACE(trace);
    const std::vector<MenuItem> expected = hostMenu(selection);
    ASSERT_FALSE(expected.empty());

    const DolphinMenu menu(selection);
    ASSERT_EQ(menu.submenuCount(), 1u);
    std::vector<std::string> shown, expectedTitles;
    for (const QAction* action : menu.actions()) shown.push_back(action->text().toStdString());
    for (const MenuItem& item : expected) expectedTitles.push_back(item.title);
    ASSERT_EQ(shown, expectedTitles);

    // Each item starts vexel-menu-run with its command and every path.
    const std::vector<QAction*> actions = menu.actions();
    for (std::size_t k = 0; k < actions.size(); ++k) {
      SCOPED_TRACE(expected[k].title);
      std::filesystem::remove(record);
      actions[k]->trigger();
      std::vector<std::string> arguments = {expected[k].selector};
      for (const Selected& item : selection) arguments.push_back(item.path.string());
      EXPECT_EQ(waitForRecord(record), arguments);
    }
  }
}

}  // namespace
}  // namespace vexel
