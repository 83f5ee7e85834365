// vexel-findersync: plays the file manager's extension host for the
// context-menu extension.
//
//   vexel-findersync menu [--kind N] PATH...
//       prints the menu for that selection: selector, a tab, title, per line
//   vexel-findersync run SELECTOR PATH... [--open]
//       chooses the command and prints every URL the extension opened;
//       --open hands them to xdg-open, once a vexel:// handler is registered
//       (exit status 3 without one)
//
// A PATH that names an existing folder or ends in "/" is selected as a folder,
// as the file manager hands folders. "--" ends the options.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "findersync/finder_sync.h"
#include "host/host_usage.h"
#include "workspace/workspace.h"

namespace {

using vexel::FinderSync;

// kExitNoHandler: --open without an application for vexel:// URLs.
constexpr int kExitNoHandler = 3;

// The usage text ends in the list of selectors, taken from the extension.
std::string usageText() {
  std::string text =
      "usage: vexel-findersync menu [--kind N] [--] PATH...\n"
      "       vexel-findersync run SELECTOR [--open] [--] PATH...\n"
      "\n"
      "menu  prints the context menu for the selected PATHs, one item a line:\n"
      "      selector, a tab, title. N is the menu kind (0 = selected items,\n"
      "      the default; 1 window background; 2 sidebar; 3 toolbar).\n"
      "run   creates the extension, chooses the command SELECTOR for the\n"
      "      selection and prints every URL the extension opened, in order.\n"
      "      --open also hands each URL to xdg-open; it needs an application\n"
      "      registered for x-scheme-handler/vexel and exits 3 without one,\n"
      "      1 when xdg-open could not hand a URL on. A URL too long for one\n"
      "      argument (thousands of files) goes through a private hand-over.\n"
      "\n"
      "A PATH naming an existing folder, or ending in \"/\", is selected as a folder.\n"
      "SELECTOR is one of:";
  for (const vexel::FinderSyncCommand& command : FinderSync::commands()) {
    text += ' ';
    text += command.selector;
  }
  text += '\n';
  return text;
}

const vexel::platform::HostUsage& usage() {
  static const std::string text = usageText();
  static const vexel::platform::HostUsage usage{"vexel-findersync", text};
  return usage;
}

// Whole decimal number without sign or other characters.
std::optional<std::uint64_t> parseKind(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

struct Arguments {
  std::string command;
  std::string selector;
  std::uint64_t kind = 0;
  bool open = false;
  bool help = false;
  std::vector<std::string> paths;
};

// Parses argv into `arguments`; returns an error message on a usage error.
std::optional<std::string> parse(int argc, char** argv, Arguments& arguments) {
  if (argc < 2) return "missing command";
  arguments.command = argv[1];
  if (vexel::platform::HostUsage::isHelpOption(arguments.command)) {
    arguments.help = true;
    return std::nullopt;
  }
  if (arguments.command != "menu" && arguments.command != "run") {
    return "unknown command \"" + arguments.command + "\"";
  }
  bool optionsEnded = false;
  bool needsSelector = arguments.command == "run";
  for (int i = 2; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && vexel::platform::HostUsage::isHelpOption(argument)) {
      arguments.help = true;
      return std::nullopt;
    } else if (!optionsEnded && arguments.command == "menu" && argument == "--kind") {
      if (i + 1 >= argc) return "--kind needs a number";
      const std::optional<std::uint64_t> kind = parseKind(argv[++i]);
      if (!kind) return "--kind needs a whole number, not \"" + std::string(argv[i]) + "\"";
      arguments.kind = *kind;
    } else if (!optionsEnded && arguments.command == "run" && argument == "--open") {
      arguments.open = true;
    } else if (!optionsEnded && argument.starts_with("--")) {
      return "unknown option \"" + std::string(argument) + "\"";
    } else if (needsSelector) {
      arguments.selector = argument;
      needsSelector = false;
    } else if (argument.empty()) {
      return "an empty PATH names nothing";
    } else {
      arguments.paths.emplace_back(argument);
    }
  }
  if (needsSelector) return "missing SELECTOR";
  if (arguments.command == "run") {
    bool known = false;
    for (const vexel::FinderSyncCommand& command : FinderSync::commands()) {
      known = known || command.selector == arguments.selector;
    }
    if (!known) return "unknown selector \"" + arguments.selector + "\"";
  }
  return std::nullopt;
}

void selectPaths(const std::vector<std::string>& paths) {
  std::vector<vexel::platform::URL> urls;
  urls.reserve(paths.size());
  for (const std::string& path : paths) urls.push_back(vexel::platform::URL::fileURL(path));
  // The file manager asks nothing of an extension without a selection.
  std::optional<std::vector<vexel::platform::URL>> selection;
  if (!urls.empty()) selection = std::move(urls);
  vexel::platform::FinderSyncController::defaultController().setSelectedItemURLs(
      std::move(selection));
}

void printLine(std::string_view first, std::string_view second = {}) {
  std::fwrite(first.data(), 1, first.size(), stdout);
  if (!second.empty()) {
    std::fputc('\t', stdout);
    std::fwrite(second.data(), 1, second.size(), stdout);
  }
  std::fputc('\n', stdout);
}

int runMenu(const Arguments& arguments) {
  selectPaths(arguments.paths);
  FinderSync extension;
  const std::optional<vexel::platform::Menu> menu =
      extension.menu(static_cast<vexel::platform::FIMenuKind>(arguments.kind));
  if (menu) {
    for (const vexel::platform::MenuItem& item : menu->items())
      printLine(item.action(), item.title());
  }
  return EXIT_SUCCESS;
}

int runCommand(const Arguments& arguments) {
  vexel::platform::Workspace& workspace = vexel::platform::Workspace::shared();
  // Without a handler, xdg-open fails silently on GNOME and KDE, opens a
  // blank browser tab elsewhere, and over ssh falls back to a text browser
  // that exits 0: refuse before anything is handed over.
  if (arguments.open && !workspace.URLForApplicationToOpenURL(
                            *vexel::platform::URL::fromString(FinderSync::startupURL))) {
    std::fputs(
        "vexel-findersync: no application is registered for vexel:// URLs "
        "(x-scheme-handler/vexel), so the command cannot reach the Vexel archive manager\n",
        stderr);
    return kExitNoHandler;
  }
  workspace.setHandsURLsToSystem(arguments.open);
  selectPaths(arguments.paths);
  FinderSync extension;
  // The command is run as choosing its menu item would; a command that the
  // menu would not offer for this selection still runs, as its selector can
  // be sent directly.
  (void)extension.performAction(arguments.selector, nullptr);

  int status = EXIT_SUCCESS;
  for (const vexel::platform::OpenedURL& opened : workspace.openedURLs()) {
    printLine(opened.url.string());
    if (!opened.opened) {
      const std::string text = opened.url.string();
      std::fprintf(stderr, "vexel-findersync: xdg-open could not open %s\n", text.c_str());
      status = EXIT_FAILURE;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  vexel::platform::prepareHostProcess();
  Arguments arguments;
  if (const std::optional<std::string> error = parse(argc, argv, arguments)) {
    return usage().error(*error);
  }
  if (arguments.help) return usage().help();
  const int status = arguments.command == "menu" ? runMenu(arguments) : runCommand(arguments);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("vexel-findersync: could not write the output\n", stderr);
    return EXIT_FAILURE;
  }
  return status;
}
