// The "Vexel" submenu of Dolphin's context menu (and of every other program
// that builds its file menus with KIO's KFileItemActions), as a file-item
// action plug-in of KDE Frameworks 5 or 6. The context-menu extension itself
// decides the items, their order and titles for the selection; each item
// starts `vexel-menu-run SELECTOR PATH...`, which hands the command over and
// shows its failure.
//
// A plug-in, not service menus: Frameworks 6 sorts a service submenu by
// label and joins service-menu files in the order their folder lists them,
// so "用 Vexel 解压到这里" could end up below the compress commands. A
// plug-in's actions stay in the order it gives them.
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QString>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "findersync/finder_sync.h"
#include "menu_icons.h"
#include "process/child_process.h"
#include "workspace/workspace.h"

namespace vexel::kio {
namespace {

QString qString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QIcon themeIcon(std::string_view name) { return QIcon::fromTheme(qString(name)); }

// The extension, made once per process. Making it opens its start-up URL,
// which the workspace only records (nothing is handed to the system inside
// the file manager): that record is dropped so that nothing accumulates.
FinderSync& extension() {
  static FinderSync instance;
  static const bool forgotten = (platform::Workspace::shared().clearOpenedURLs(), true);
  (void)forgotten;
  return instance;
}

// Starts `vexel-menu-run SELECTOR PATH...` from PATH, as the desktop's menus
// do. The program is spawned (nothing of ours runs in a forked copy of the
// file manager) and waited for on a thread of its own, so the file manager
// neither stops while the command is handed over nor keeps a zombie. False
// when the program is not on PATH or cannot be started.
bool startMenuCommand(std::string selector, const std::vector<std::string>& paths) {
  const std::optional<std::filesystem::path> program = findProgram("vexel-menu-run");
  if (!program) return false;
  ProcessOptions options;
  options.program = *program;
  options.arguments.reserve(paths.size() + 1);
  options.arguments.push_back(std::move(selector));
  options.arguments.insert(options.arguments.end(), paths.begin(), paths.end());
  options.output = StreamSetup::nullDevice();
  options.error = StreamSetup::inherited();
  try {
    std::thread([options = std::move(options)] {
      const ProcessOutcome outcome = ChildProcess::run(options);
      if (outcome.startError) {
        std::fprintf(stderr, "vexel: vexel-menu-run could not be started: %s\n",
                     outcome.startError.message().c_str());
      }
    }).detach();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vexel: vexel-menu-run could not be started: %s\n", error.what());
    return false;
  }
  return true;
}

}  // namespace

class FileItemAction final : public KAbstractFileItemActionPlugin {
  Q_OBJECT

 public:
  FileItemAction(QObject* parent, const QVariantList& /*arguments*/)
      : KAbstractFileItemActionPlugin(parent) {}

  QList<QAction*> actions(const KFileItemListProperties& selection,
                          QWidget* parentWidget) override {
    // The commands work on local files only: items without a local path
    // (remote folders, the trash) get no submenu.
    std::vector<platform::URL> urls;
    std::vector<std::string> paths;
    for (const KFileItem& item : selection.items()) {
      const QString path = item.localPath();
      if (path.isEmpty()) return {};
      paths.push_back(QFile::encodeName(path).toStdString());
      urls.push_back(platform::URL::fileURL(paths.back(), item.isDir()));
    }
    if (urls.empty()) return {};

    FinderSync& finder = extension();
    platform::FinderSyncController::defaultController().setSelectedItemURLs(std::move(urls));
    const std::optional<platform::Menu> menu =
        finder.menu(platform::FIMenuKind::contextualMenuForItems);
    platform::FinderSyncController::defaultController().setSelectedItemURLs(std::nullopt);
    if (!menu || menu->items().empty()) return {};

    auto* submenu = new QMenu(parentWidget);
    submenu->setTitle(QStringLiteral("Vexel"));
    submenu->setIcon(themeIcon(kSubmenuIcon));
    // The submenu lives as long as this plug-in object, which the menu's
    // owner keeps while the menu is shown.
    connect(this, &QObject::destroyed, submenu, &QObject::deleteLater);
    for (const platform::MenuItem& item : menu->items()) {
      QAction* action =
          submenu->addAction(themeIcon(menuIcon(item.action())), qString(item.title()));
      connect(action, &QAction::triggered, this, [this, selector = item.action(), paths] {
        if (!startMenuCommand(selector, paths)) {
          Q_EMIT error(QStringLiteral("找不到 vexel-menu-run：Vexel 的 bin 文件夹不在 PATH 里。"));
        }
      });
    }
    return {submenu->menuAction()};
  }
};

K_PLUGIN_CLASS_WITH_JSON(FileItemAction, "vexel_file_item_action.json")

}  // namespace vexel::kio

#include "vexel_file_item_action.moc"
