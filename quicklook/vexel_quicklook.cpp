// vexel-quicklook: plays the preview service for one archive file.
//
//   vexel-quicklook [--json | --html] [--color[=WHEN]] [--time-limit SECONDS]
//                   [--width COLUMNS] [--max-rows N] [--fill-window]
//                   [--color-scheme=SCHEME] FILE
//
// Creates the preview controller, has it load its view, asks it to prepare
// a preview of FILE, runs the main queue until the completion handler has
// been called, and prints what the views show: text fitted to the terminal
// (in colour with pictographs where the terminal takes them), one JSON
// object, or one self-contained HTML page. Exit status: 0 once the handler
// ran (failures are shown inside the preview) and for --help, 2 for a usage
// error.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "dispatch/dispatch_queue.h"
#include "host/host_usage.h"
#include "host/terminal.h"
#include "quicklook/preview_view_controller.h"
#include "quicklook/render/html_renderer.h"
#include "quicklook/render/preview_renderer.h"

namespace {

constexpr std::size_t kDefaultColumns = 100;
// The widest text the host lays out; a line is made in memory at this width,
// so an absurd width must be refused, not attempted.
constexpr std::size_t kMaxColumns = 10000;

enum class Format { text, json, html };
enum class ColorChoice { automatic, always, never };

struct Options {
  Format format = Format::text;
  ColorChoice color = ColorChoice::automatic;
  std::optional<double> timeLimit;
  std::optional<std::size_t> width;
  vexel::quicklook_render::HtmlOptions page;
  std::string file;
};

constexpr vexel::platform::HostUsage kUsage{
    "vexel-quicklook",
    "usage: vexel-quicklook [--json | --html] [--color[=auto|always|never]]\n"
    "                       [--time-limit SECONDS] [--width COLUMNS] [--max-rows N]\n"
    "                       [--fill-window] [--color-scheme=auto|light|dark] FILE\n"};

int usage(std::string_view problem) { return kUsage.error(problem); }

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::size_t> parsePositiveCount(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

// The width to fit: --width, else the terminal's (standard output's, else
// standard error's: a preview pane that pipes the text into a pager leaves
// standard error on the pane; else the controlling terminal's, for viewers
// that read both through pipes), else $COLUMNS, else 100; nothing when
// $COLUMNS asks for more than kMaxColumns (a usage error, like such a
// --width).
std::optional<std::size_t> outputColumns(const Options& options) {
  if (options.width) return *options.width;
  std::optional<std::size_t> terminal = vexel::platform::terminalColumns(STDOUT_FILENO);
  if (!terminal) terminal = vexel::platform::terminalColumns(STDERR_FILENO);
  if (!terminal) terminal = vexel::platform::controllingTerminalColumns();
  if (terminal) return std::min(*terminal, kMaxColumns);
  if (const char* env = std::getenv("COLUMNS")) {
    if (const auto columns = parsePositiveCount(env)) {
      if (*columns > kMaxColumns) return std::nullopt;
      return *columns;
    }
  }
  return kDefaultColumns;
}

// Colour for text output: asked for, or (auto) when standard output is a
// terminal that is not "dumb" and NO_COLOR is unset or empty.
bool wantsColor(ColorChoice choice) {
  switch (choice) {
    case ColorChoice::always:
      return true;
    case ColorChoice::never:
      return false;
    case ColorChoice::automatic:
      break;
  }
  if (const char* noColor = std::getenv("NO_COLOR"); noColor != nullptr && *noColor != '\0') {
    return false;
  }
  if (const char* term = std::getenv("TERM"); term != nullptr && std::string_view(term) == "dumb") {
    return false;
  }
  return ::isatty(STDOUT_FILENO) == 1;
}

std::optional<ColorChoice> parseColorChoice(std::string_view text) {
  if (text == "auto") return ColorChoice::automatic;
  if (text == "always") return ColorChoice::always;
  if (text == "never") return ColorChoice::never;
  return std::nullopt;
}

std::optional<vexel::quicklook_render::PageColorScheme> parseColorScheme(std::string_view text) {
  using vexel::quicklook_render::PageColorScheme;
  if (text == "auto") return PageColorScheme::followSystem;
  if (text == "light") return PageColorScheme::light;
  if (text == "dark") return PageColorScheme::dark;
  return std::nullopt;
}

// parseArguments: the options the command line gives, or the exit status
// of the usage text it calls for.
std::variant<Options, int> parseArguments(int argc, char** argv) {
  Options options;
  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!filesOnly && arg == "--") {
      filesOnly = true;
    } else if (!filesOnly && (arg == "--json" || arg == "--html")) {
      const Format format = arg == "--json" ? Format::json : Format::html;
      if (options.format != Format::text && options.format != format) {
        return usage("--json and --html exclude each other");
      }
      options.format = format;
    } else if (!filesOnly && (arg == "--color" || arg.starts_with("--color="))) {
      const auto choice =
          arg == "--color" ? std::optional(ColorChoice::always) : parseColorChoice(arg.substr(8));
      if (!choice) return usage("--color takes auto, always or never");
      options.color = *choice;
    } else if (!filesOnly && arg.starts_with("--color-scheme=")) {
      const auto scheme = parseColorScheme(arg.substr(15));
      if (!scheme) return usage("--color-scheme takes auto, light or dark");
      options.page.colorScheme = *scheme;
    } else if (!filesOnly && arg == "--fill-window") {
      options.page.fillsWindow = true;
    } else if (!filesOnly && arg == "--max-rows") {
      if (i + 1 >= argc) return usage(arg + " needs a value");
      const std::optional<std::size_t> rows = parsePositiveCount(argv[++i]);
      if (!rows || *rows > vexel::quicklook_render::kMaxRenderedRows) {
        return usage("--max-rows takes a positive number, at most " +
                     std::to_string(vexel::quicklook_render::kMaxRenderedRows));
      }
      options.page.maxRows = *rows;
    } else if (!filesOnly && (arg == "--time-limit" || arg == "--width")) {
      if (i + 1 >= argc) return usage(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--time-limit") {
        options.timeLimit = parseSeconds(value);
        if (!options.timeLimit) return usage("--time-limit takes a number of seconds");
      } else if (value.empty()) {
        // Preview panes that do not know their width yet pass an empty one
        // (nnn's first call): the same as no --width.
        options.width.reset();
      } else {
        options.width = parsePositiveCount(value);
        if (!options.width || *options.width > kMaxColumns) {
          return usage("--width takes a positive number of columns, at most " +
                       std::to_string(kMaxColumns));
        }
      }
    } else if (!filesOnly && vexel::platform::HostUsage::isHelpOption(arg)) {
      return kUsage.help();
    } else if (!filesOnly && arg.size() > 1 && arg.front() == '-') {
      return usage("unknown option " + arg);
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      return usage("one FILE only");
    }
  }
  if (options.file.empty()) return usage("no FILE given");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  vexel::platform::prepareHostProcess();

  std::variant<Options, int> parsed = parseArguments(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const Options& options = std::get<Options>(parsed);
  const std::optional<std::size_t> columns = outputColumns(options);
  if (options.format == Format::text && !columns) {
    return usage("COLUMNS asks for more than " + std::to_string(kMaxColumns) + " columns");
  }

  vexel::platform::boundListingHost();
  auto controller = vexel::PreviewViewController::create();
  (void)controller->view();
  if (options.timeLimit) controller->setListingTimeLimit(*options.timeLimit);
  bool handlerCalled = false;
  controller->preparePreviewOfFile(options.file,
                                   [&handlerCalled](std::exception_ptr) { handlerCalled = true; });
  vexel::platform::DispatchQueue::main().runUntil([&] { return handlerCalled; });

  switch (options.format) {
    case Format::json:
      std::cout << vexel::quicklook_render::renderJson(*controller, options.page.maxRows) << "\n";
      break;
    case Format::html:
      std::cout << vexel::quicklook_render::renderHtml(*controller, options.page);
      break;
    case Format::text: {
      const bool color = wantsColor(options.color);
      std::cout << vexel::quicklook_render::renderText(
          *controller, columns.value_or(kDefaultColumns), {.color = color, .icons = color});
      break;
    }
  }
  vexel::platform::endListingHost(0);
}
