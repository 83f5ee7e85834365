// preview_renderer.h: drawing a loaded preview as terminal text or JSON.
//
// The host of the preview renders what the controller's views hold: the
// header labels, the outline's showing rows (through the cells its delegate
// makes, scrolled page by page so cells are reused as on screen), the footer
// and the message. Text goes to a terminal of a given width; names are
// shortened in the middle with "…", counting East Asian wide characters as
// two columns. JSON is one object for scripts and tests.
//
//   std::cout << vexel::quicklook_render::renderText(*controller, 100);
//   std::cout << vexel::quicklook_render::renderJson(*controller) << '\n';
//
// Main thread only (it asks the outline for cells).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quicklook/preview_view_controller.h"

namespace vexel::quicklook_render {

// RenderedRow: one showing row of the outline as its cells hold it.
struct RenderedRow {
  std::int64_t depth = 0;
  std::string name;
  std::string size;
  std::string date;
  std::string icon;  ///< the type identifier of the name cell's image; "" without one
  bool isExpandable = false;
  bool isExpanded = false;
};

// kMaxRenderedRows: the most rows text and JSON show, as the page does; an
// outline with more rows ends with a note of how many were left out.
inline constexpr std::size_t kMaxRenderedRows = 50000;

// renderedRows: the showing rows, read from the outline's cells, at most
// `maxRows` of them (the first ones).
[[nodiscard]] std::vector<RenderedRow> renderedRows(PreviewViewController& controller,
                                                    std::size_t maxRows = kMaxRenderedRows);

// TextDecoration: what a terminal that understands it gets beyond plain text.
struct TextDecoration {
  bool color = false;  ///< ANSI colours: bold title, dim secondary texts, names by kind
  bool icons = false;  ///< a two-column pictograph of the row's kind before each name
};

// renderText: header, column titles, rows (and "…另有 N 项未列出" past
// kMaxRenderedRows), footer and message, each line at most `width` columns
// wide (escape sequences take no columns).
[[nodiscard]] std::string renderText(PreviewViewController& controller, std::size_t width,
                                     const TextDecoration& decoration = {});

// renderJson: {"title", "subtitle", "footer", "message" (null while hidden),
// "icon", "rows": [{"depth", "name", "size", "date", "icon", "expandable",
// "expanded"}], "omittedRows"} on one line; "rows" holds at most `maxRows`
// rows and "omittedRows" counts the ones it leaves out.
[[nodiscard]] std::string renderJson(PreviewViewController& controller,
                                     std::size_t maxRows = kMaxRenderedRows);

// iconKind: the kind of icon drawn for a type identifier: "folder", "app",
// "package", "archive", "image", "audio", "movie", "pdf", "code", "text",
// "executable", or "document" for anything else (unknown identifiers too).
[[nodiscard]] std::string_view iconKind(std::string_view typeIdentifier);

// displayWidth: terminal columns of UTF-8 text: wide and full-width
// characters count 2, combining marks 0, everything else 1.
[[nodiscard]] std::size_t displayWidth(std::string_view utf8);
// truncateMiddle: the text if it fits in `width` columns, else its start and
// end around "…", together at most `width` columns.
[[nodiscard]] std::string truncateMiddle(std::string_view utf8, std::size_t width);
// truncateTail: the text if it fits, else its start followed by "…".
[[nodiscard]] std::string truncateTail(std::string_view utf8, std::size_t width);
// printable: the text with control characters (and bidirectional overrides)
// replaced by U+FFFD, so that names from an archive cannot drive the terminal.
[[nodiscard]] std::string printable(std::string_view utf8);
// jsonString: the text as a quoted JSON string.
[[nodiscard]] std::string jsonString(std::string_view utf8);

}  // namespace vexel::quicklook_render
