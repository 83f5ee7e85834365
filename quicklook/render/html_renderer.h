// html_renderer.h: drawing a loaded preview as one self-contained HTML page.
//
// The page shows what the controller's views hold, placed in the root view
// by the figures the controller lays them out by
// (PreviewViewController::kLayout): the header (type icon, title,
// subtitle), the outline with its column titles, widths and minimum widths,
// disclosure triangles and alternating row backgrounds, the footer, and the
// message centred over the outline. Rows come from the outline's data
// source and cells from its delegate, in display order, with every row
// reachable from the top level (those inside closed folders are hidden
// until the reader opens the folder in the page). Everything is inline:
// styles, icons (SVG symbols) and the script that opens and closes folders,
// from the files of quicklook/render/page/ compiled into the host; a content
// security policy forbids loading anything else. Light and dark colours
// follow the reader's system setting unless the options choose; a previewer
// that embeds the page can have it fill its window. Every text is escaped;
// names with control characters show U+FFFD.
//
//   std::cout << vexel::quicklook_render::renderHtml(*controller);
//
// Main thread only (it asks the outline's data source and delegate).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quicklook/preview_view_controller.h"

namespace vexel::quicklook_render {

// PageColorScheme: the colours of the page.
enum class PageColorScheme {
  followSystem,  ///< light or dark as the reader's system says (prefers-color-scheme)
  light,         ///< light whatever the system says
  dark,          ///< dark whatever the system says
};

// HtmlOptions: limits and presentation of one page.
struct HtmlOptions {
  // maxRows: rows written into the page; a larger tree ends in a note that
  // says how many rows were left out, so a page stays loadable.
  std::size_t maxRows = 50000;
  // fillsWindow: the preview takes the whole window the page is shown in
  // (the name column absorbing the width, the outline the height) instead
  // of the controller's box: for previewers that embed the page in a window
  // of their own size, which a preview window's user may also resize.
  bool fillsWindow = false;
  // colorScheme: for hosts that know the desktop's setting where the page's
  // viewer does not report it (a previewer that forces its own dark style).
  PageColorScheme colorScheme = PageColorScheme::followSystem;
};

// renderHtml: the whole page, UTF-8, starting with "<!DOCTYPE html>".
[[nodiscard]] std::string renderHtml(PreviewViewController& controller,
                                     const HtmlOptions& options = {});

// htmlEscaped: the text for an HTML text node or a quoted attribute value:
// & < > " ' as character references, control characters (line feeds
// included) and bytes that are not UTF-8 as U+FFFD.
[[nodiscard]] std::string htmlEscaped(std::string_view utf8);

}  // namespace vexel::quicklook_render
