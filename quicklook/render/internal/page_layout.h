// page_layout.h: where the preview page puts the controller's parts.
//
// The platform stand-in records constraints without solving them, so the
// page is placed by the figures `loadView` builds its constraints from
// (PreviewViewController::kLayout), by the root view's frame and the
// outline's columns as the views hold them, and by the geometry that the
// platform's outline draws without being told.
#pragma once

#include <string>

#include "quicklook/preview_view_controller.h"

namespace vexel::quicklook_render_internal {

// The outline's own geometry: row height of the default row size, height of
// the column titles, indentation per level, the disclosure triangle's place,
// the inset style's margin on both sides and the space between cells.
constexpr int kRowHeight = 24;
constexpr int kHeaderRowHeight = 28;
constexpr int kIndentPerLevel = 16;
constexpr int kDisclosureWidth = 16;
constexpr int kInsetMargin = 10;
constexpr int kIntercellSpacing = 3;

// PageLayout: the page's figures, in CSS pixels (one per point).
struct PageLayout {
  platform::Size size;
  double iconSize = 0;
  double headerTop = 0;
  double headerLeading = 0;
  double headerTrailing = 0;
  double headerSpacing = 0;
  double textSpacing = 0;
  double scrollTop = 0;
  double scrollLeading = 0;
  double scrollTrailing = 0;
  double footerTop = 0;
  double footerLeading = 0;
  double footerTrailing = 0;
  double footerBottom = 0;
  double messageInset = 0;
  double cellIconSize = 0;
  double cellInset = 0;
  double cellIconSpacing = 0;
  // columnTracks: the CSS grid tracks of the outline's columns, in order.
  std::string columnTracks;
};

// pageLayout: the layout of the controller's page; loads its view if needed.
// Main thread only.
[[nodiscard]] PageLayout pageLayout(PreviewViewController& controller);

// cssNumber: a figure as CSS writes it ("760", "0.5").
[[nodiscard]] std::string cssNumber(double value);

}  // namespace vexel::quicklook_render_internal
