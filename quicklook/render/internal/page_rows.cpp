#include "internal/page_rows.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "ui/view.h"

namespace vexel::quicklook_render_internal {
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
  if (source == nullptr || limit == 0) return rows;
  // What the outline has open now: the controller's initial expansion.
  std::unordered_set<const void*> expanded;
  for (const platform::OutlineRow& row : outline.rows()) {
    if (row.isExpanded) expanded.insert(row.item.object());
  }
  const auto childrenOf = [&](const OutlineItem& parent) {
    std::vector<OutlineItem> children;
    const std::int64_t count = source->numberOfChildrenOfItem(outline, parent);
    children.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    for (std::int64_t i = 0; i < count; ++i) {
      const OutlineItem child = source->childOfItem(outline, i, parent);
      if (!child.isNone()) children.push_back(child);
    }
    return children;
  };

  // The page's children of each folder (the root's under nullptr): first
  // the rows on show, in display order, up to the limit.
  std::unordered_map<const void*, std::vector<OutlineItem>> included;
  std::size_t budget = limit;
  std::vector<OutlineItem> closed;  // folders on show whose contents are hidden
  {
    std::vector<std::pair<OutlineItem, std::size_t>> pending{{OutlineItem(), 0}};
    std::vector<std::vector<OutlineItem>> childLists{childrenOf(OutlineItem())};
    while (!pending.empty() && budget > 0) {
      auto& [parent, next] = pending.back();
      std::vector<OutlineItem>& children = childLists.back();
      if (next >= children.size()) {
        pending.pop_back();
        childLists.pop_back();
        continue;
      }
      const OutlineItem item = children[next++];
      included[parent.object()].push_back(item);
      --budget;
      if (!source->isItemExpandable(outline, item)) continue;
      if (expanded.contains(item.object())) {
        included[item.object()];  // open: its rows follow, on show
        childLists.push_back(childrenOf(item));
        pending.emplace_back(item, 0);
      } else {
        closed.push_back(item);
      }
    }
  }
  // Then, while the limit allows, the contents of closed folders, a whole
  // folder at a time, nearest the top level first, so that one large folder
  // cannot take the places of everything after it.
  std::optional<OutlineItem> tooLarge;  // the first folder whose contents did not fit
  for (std::size_t i = 0; i < closed.size() && budget > 0; ++i) {
    std::vector<OutlineItem> children = childrenOf(closed[i]);
    if (children.size() > budget) {
      if (!tooLarge) tooLarge = closed[i];
      continue;
    }
    budget -= children.size();
    for (const OutlineItem& child : children) {
      if (source->isItemExpandable(outline, child)) closed.push_back(child);
    }
    included[closed[i].object()] = std::move(children);
  }
  // What is left of the limit goes to the first of those: it opens on its
  // first rows (the page's note counts the rest).
  if (tooLarge && budget > 0) {
    std::vector<OutlineItem> children = childrenOf(*tooLarge);
    children.resize(budget);
    included[tooLarge->object()] = std::move(children);
  }

  // The rows in display order: each folder followed by its page children.
  struct Level {
    const std::vector<OutlineItem>* children;
    std::size_t next;
    std::size_t parentId;
    std::int64_t depth;
    bool isShown;
  };
  std::vector<Level> levels{{&included[nullptr], 0, 0, 0, true}};
  std::size_t nextId = 1;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next >= level.children->size()) {
      levels.pop_back();
      continue;
    }
    const OutlineItem item = (*level.children)[level.next++];
    const Level at = level;
    PageRow row;
    row.id = nextId++;
    row.parent = at.parentId;
    row.depth = at.depth;
    const auto inPage = included.find(item.object());
    // A folder opens in the page only when its contents are in it.
    row.isExpandable = inPage != included.end() && source->isItemExpandable(outline, item);
    row.isExpanded = row.isExpandable && at.isShown && expanded.contains(item.object());
    row.isShown = at.isShown;
    for (const auto& column : outline.tableColumns()) {
      std::shared_ptr<platform::View> view =
          delegate != nullptr ? delegate->viewForTableColumn(outline, column.get(), item) : nullptr;
      row.cells.push_back(cellOf(view));
      // Read and done with: the next row reuses it, as scrolling would.
      outline.recycleView(std::move(view));
    }
    const std::size_t id = row.id;
    const bool childrenShown = row.isShown && row.isExpanded;
    const bool opensBelow = row.isExpandable;
    rows.push_back(std::move(row));
    if (opensBelow) levels.push_back({&inPage->second, 0, id, at.depth + 1, childrenShown});
  }
  return rows;
}

}  // namespace vexel::quicklook_render_internal
