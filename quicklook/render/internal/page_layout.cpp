#include "internal/page_layout.h"

#include <algorithm>
#include <cstdio>

#include "ui/outline_view.h"
#include "ui/view.h"

namespace vexel::quicklook_render_internal {
namespace {

// A column that absorbs width changes (the first, with first-column-only
// autoresizing) takes what the others leave, down to its minimum; the
// others keep their widths.
std::string columnTracks(const platform::OutlineView& outline) {
  std::string tracks;
  const bool firstAbsorbs = outline.columnAutoresizingStyle() ==
                            platform::TableViewColumnAutoresizingStyle::firstColumnOnlyAutoresizing;
  for (std::size_t i = 0; i < outline.tableColumns().size(); ++i) {
    const auto& column = *outline.tableColumns()[i];
    if (!tracks.empty()) tracks += ' ';
    const double width = std::max(column.width(), column.minWidth());
    if (i == 0 && firstAbsorbs) {
      tracks += "minmax(" + cssNumber(column.minWidth()) + "px,1fr)";
    } else {
      tracks += cssNumber(width) + "px";
    }
  }
  return tracks;
}

}  // namespace

std::string cssNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

PageLayout pageLayout(PreviewViewController& controller) {
  const PreviewLayout& figures = PreviewViewController::kLayout;
  PageLayout layout;
  layout.size = controller.view()->frame().size;
  layout.iconSize = figures.iconSize;
  layout.headerTop = figures.headerTop;
  layout.headerLeading = figures.sideMargin;
  layout.headerTrailing = figures.sideMargin;
  layout.headerSpacing = figures.headerSpacing;
  layout.textSpacing = figures.textSpacing;
  // The scroll view spans the root's width.
  layout.scrollTop = figures.outlineTop;
  layout.footerTop = figures.footerTop;
  layout.footerLeading = figures.sideMargin;
  layout.footerTrailing = figures.sideMargin;
  layout.footerBottom = figures.footerBottom;
  layout.messageInset = figures.messageInset;
  layout.cellIconSize = figures.cellIconSize;
  layout.cellInset = figures.cellInset;
  layout.cellIconSpacing = figures.cellIconSpacing;
  layout.columnTracks = columnTracks(controller.outline());
  return layout;
}

}  // namespace vexel::quicklook_render_internal
