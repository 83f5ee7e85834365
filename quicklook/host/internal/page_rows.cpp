#include "internal/page_rows.h"

#include <memory>
#include <unordered_set>
#include <utility>

#include "ui/view.h"

namespace vexel::quicklook_host::internal {
namespace {

using platform::OutlineItem;
using platform::OutlineView;

PageCell cellOf(const std::shared_ptr<platform::View>& view) {
  PageCell cell;
  const auto cellView = std::dynamic_pointer_cast<platform::TableCellView>(view);
  if (!cellView) return cell;
  if (const auto& field = cellView->textField()) {
    cell.text = field->stringValue();
    cell.alignment = field->alignment();
    cell.color = field->textColor();
    cell.truncatesMiddle = field->lineBreakMode() == platform::LineBreakMode::byTruncatingMiddle;
  }
  if (const auto& image = cellView->imageView(); image && image->image()) {
    cell.icon = image->image()->typeIdentifier();
  }
  return cell;
}

}  // namespace

std::vector<PageRow> collectRows(OutlineView& outline, std::size_t limit) {
  std::vector<PageRow> rows;
  platform::OutlineViewDataSource* source = outline.dataSource();
  platform::OutlineViewDelegate* delegate = outline.delegate();
  if (source == nullptr) return rows;

  // What the outline has open now: the controller's initial expansion.
  std::unordered_set<const void*> expanded;
  for (const platform::OutlineRow& row : outline.rows()) {
    if (row.isExpanded) expanded.insert(row.item.object());
  }

  struct Level {
    OutlineItem parent;
    std::int64_t count;
    std::int64_t next;
    std::size_t parentId;
    std::int64_t depth;
    bool isShown;
  };
  std::vector<Level> levels;
  levels.push_back(
      {OutlineItem(), source->numberOfChildrenOfItem(outline, OutlineItem()), 0, 0, 0, true});
  std::size_t nextId = 1;
  while (!levels.empty() && rows.size() < limit) {
    if (levels.back().next >= levels.back().count) {
      levels.pop_back();
      continue;
    }
    const Level level = levels.back();
    ++levels.back().next;
    const OutlineItem item = source->childOfItem(outline, level.next, level.parent);
    if (item.isNone()) continue;

    PageRow row;
    row.id = nextId++;
    row.parent = level.parentId;
    row.depth = level.depth;
    row.isExpandable = source->isItemExpandable(outline, item);
    row.isExpanded = row.isExpandable && level.isShown && expanded.contains(item.object());
    row.isShown = level.isShown;
    const std::size_t id = row.id;
    const bool opensBelow = row.isExpandable;
    const bool childrenShown = row.isShown && row.isExpanded;
    for (const auto& column : outline.tableColumns()) {
      std::shared_ptr<platform::View> view =
          delegate != nullptr ? delegate->viewForTableColumn(outline, column.get(), item) : nullptr;
      row.cells.push_back(cellOf(view));
      // Read and done with: the next row reuses it, as scrolling would.
      outline.recycleView(std::move(view));
    }
    rows.push_back(std::move(row));
    if (opensBelow) {
      levels.push_back({item, source->numberOfChildrenOfItem(outline, item), 0, id, level.depth + 1,
                        childrenShown});
    }
  }
  return rows;
}

}  // namespace vexel::quicklook_host::internal
