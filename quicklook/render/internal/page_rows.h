// page_rows.h: the rows of the preview page, as the outline's data source
// and delegate give them.
//
// The page holds every row reachable from the top level, also those inside
// closed folders (hidden until the reader opens the folder in the page), so
// it walks the data source itself instead of the outline's rows on show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/outline_view.h"

namespace vexel::quicklook_render_internal {

// PageCell: what one cell view held.
struct PageCell {
  std::string text;
  std::string icon;  ///< type identifier of the cell's image; "" without one
  platform::TextAlignment alignment = platform::TextAlignment::left;
  platform::Color color = platform::Color::labelColor;
  bool truncatesMiddle = false;
};

// PageRow: one row with a cell per column of the outline, in column order.
struct PageRow {
  std::size_t id = 0;      ///< 1-based, in display order
  std::size_t parent = 0;  ///< the id of the folder's row; 0 at the top level
  std::int64_t depth = 0;
  bool isExpandable = false;
  bool isExpanded = false;
  bool isShown = false;  ///< every folder above it is open
  std::vector<PageCell> cells;
};

// collectRows: the rows reachable from the top level, in display order,
// open as the outline has them open now, at most `limit` of them: first the
// rows on show, then the contents of closed folders, a whole folder at a
// time, nearest the top level first, and what is left of the limit to the
// first folder whose contents did not fit (it opens on its first rows). A
// folder with none of its contents in the page does not open in it (not
// expandable there). Only what the page takes
// is read, so a huge tree costs little more than the page shows. Cells are
// handed back to the outline for reuse once read. Main thread only.
[[nodiscard]] std::vector<PageRow> collectRows(platform::OutlineView& outline, std::size_t limit);

}  // namespace vexel::quicklook_render_internal
