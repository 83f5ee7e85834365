// menu_icons.h: the icons of Dolphin's "Vexel" submenu.
//
// Holds `kSubmenuIcon` and `menuIcon`, the icon-theme names the file-item
// action plug-in gives the submenu and each command (by the extension's
// selector). Breeze names, as Dolphin draws them: the desktop tests look
// each one up in the Breeze theme, reading the pairs below.
//
//   QIcon::fromTheme(QString::fromUtf8(vexel::kio::menuIcon("extractHere:").data()));
//
// Threading: constants only.
#pragma once

#include <array>
#include <string_view>
#include <utility>

namespace vexel::kio {

// kSubmenuIcon: the icon of the "Vexel" submenu itself.
inline constexpr std::string_view kSubmenuIcon = "package-x-generic";

// kMenuIcons: selector and icon, one pair a command.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kMenuIcons = {{
    {"extractHere:", "archive-extract"},
    {"openInVexel:", "package-x-generic"},
    {"compressZip:", "archive-insert"},
    {"compress7z:", "archive-insert"},
    {"compressWithOptions:", "archive-insert"},
}};

// menuIcon: the icon of the command `selector`; the submenu's for a selector
// this table does not know, so that a command added to the extension still
// shows an icon.
[[nodiscard]] constexpr std::string_view menuIcon(std::string_view selector) {
  for (const auto& [known, icon] : kMenuIcons) {
    if (known == selector) return icon;
  }
  return kSubmenuIcon;
}

}  // namespace vexel::kio
