// extension_menu.h: the context-menu extension's menu for a selection, as
// its host prints it (`vexel-findersync menu -- PATH...`: selector, a tab,
// title, one item a line), in its order: what every file manager's menu is
// checked against.
//
//   for (const auto& [selector, title] : test::extensionMenu(host, {"/tmp/a.zip"})) ...
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel::test {

struct ExtensionMenuItem {
  std::string selector;
  std::string title;
};

inline std::vector<ExtensionMenuItem> extensionMenu(std::string_view host,
                                                    const std::vector<std::string>& paths) {
  TempDir dir;
  std::string command = shellQuoted(host) + " menu --";
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
  // a literal joined to a temporary string.
  for (const std::string& path : paths) command.append(" ").append(shellQuoted(path));
  EXPECT_EQ(run(command + " >" + shellQuoted(dir.path() / "menu.txt")), 0);
  std::vector<ExtensionMenuItem> items;
  std::istringstream in(readFile(dir.path() / "menu.txt"));
  std::string line;
  while (std::getline(in, line)) {
    if (const auto tab = line.find('\t'); tab != std::string::npos)
      items.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return items;
}

}  // namespace vexel::test
