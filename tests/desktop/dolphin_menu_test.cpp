// Dolphin's context menu as KDE's own KFileItemActions builds it (KDE
// Frameworks 5 on Debian 12, 6 on Debian 13) from our service menus: the
// "Vexel" submenu holds the extension's commands in the extension's order,
// whichever way the Frameworks sort a submenu. (Frameworks 6 takes the two
// files in the order their folder lists them: there, archives get the
// extension's order where the folder lists vexel-archive.desktop first.)
#include <gtest/gtest.h>
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <QApplication>
#include <QMenu>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::readFile;
using test::run;
using test::shellQuoted;
using test::TempDir;

// The labels of the "Vexel" submenu Dolphin shows for PATHS, separators left
// out; empty when there is no such submenu.
std::vector<std::string> dolphinMenu(const std::vector<std::filesystem::path>& paths) {
  KFileItemList items;
  for (const auto& path : paths)
    items.append(KFileItem(QUrl::fromLocalFile(QString::fromStdString(path.string()))));
  KFileItemActions actions;
  actions.setItemListProperties(KFileItemListProperties(items));
  QMenu menu;
  actions.addActionsTo(&menu, KFileItemActions::MenuActionSource::Services);
  std::vector<std::string> labels;
  for (const QMenu* submenu : menu.findChildren<QMenu*>()) {
    if (submenu->title() != QStringLiteral("Vexel")) continue;
    for (const QAction* action : submenu->actions()) {
      if (!action->isSeparator()) labels.push_back(action->text().toStdString());
    }
  }
  return labels;
}

// The extension's menu for PATHS, in its order: the titles.
std::vector<std::string> hostMenu(const std::vector<std::filesystem::path>& paths) {
  TempDir dir;
  std::string command = shellQuoted(std::string_view(VEXEL_FINDERSYNC_HOST)) + " menu --";
  for (const auto& path : paths) command.append(" ").append(shellQuoted(path.string()));
  EXPECT_EQ(run(command + " >" + shellQuoted(dir.path() / "menu.txt")), 0);
  std::vector<std::string> titles;
  std::istringstream in(readFile(dir.path() / "menu.txt"));
  std::string line;
  while (std::getline(in, line)) {
    if (const auto tab = line.find('\t'); tab != std::string::npos)
      titles.push_back(line.substr(tab + 1));
  }
  return titles;
}

TEST(DolphinMenu, ListsTheCommandsInTheExtensionsOrder) {
  TempDir home;
  // Our service menus and the system's types; no user's menus or settings
  // (kservicemenurc hides actions).
  const std::string dataDirs = std::string(VEXEL_SHARE_SOURCE_DIR) + ":/usr/local/share:/usr/share";
  ::setenv("XDG_DATA_DIRS", dataDirs.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "vexel_dolphin_menu_tests";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);

  // An empty ZIP file (its end record alone): the type comes from the
  // name and the content alike.
  const auto zip = home.path() / "a.zip";
  std::ofstream(zip, std::ios::binary) << std::string("PK\x05\x06", 4) << std::string(18, '\0');
  const auto tar = home.path() / "b.tar.gz";
  ASSERT_EQ(run("tar -czf " + shellQuoted(tar.string()) + " -C " +
                shellQuoted(home.path().string()) + " a.zip"),
            0);
  const auto folder = home.path() / "folder";
  std::filesystem::create_directory(folder);
  const auto text = home.path() / "notes.txt";
  std::ofstream(text) << "notes\n";

  const std::vector<std::vector<std::filesystem::path>> kSelections = {
      {zip}, {tar}, {zip, tar}, {folder}, {text}, {zip, folder},
  };
  for (const auto& selection : kSelections) {
    std::string trace;
    for (const auto& path : selection) trace += path.filename().string() + " ";
    SCOPED_TRACE(trace);
    const std::vector<std::string> expected = hostMenu(selection);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(dolphinMenu(selection), expected);
  }
}

}  // namespace
}  // namespace vexel
