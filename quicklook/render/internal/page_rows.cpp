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

// Outline: the outline being paged, what it has open now (the
// controller's initial expansion), and its children as its source gives them.
struct Outline {
  OutlineView& view;
  platform::OutlineViewDataSource& source;
  std::unordered_set<const void*> expanded;

  [[nodiscard]] std::vector<OutlineItem> childrenOf(const OutlineItem& parent) const {
    std::vector<OutlineItem> children;
    const std::int64_t count = source.numberOfChildrenOfItem(view, parent);
    children.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    for (std::int64_t i = 0; i < count; ++i) {
      const OutlineItem child = source.childOfItem(view, i, parent);
      if (!child.isNone()) children.push_back(child);
    }
    return children;
  }
  [[nodiscard]] bool isExpandable(const OutlineItem& item) const {
    return source.isItemExpandable(view, item);
  }
};

// Included: the page's children of each folder (the root's under nullptr).
using Included = std::unordered_map<const void*, std::vector<OutlineItem>>;

// includeShown: the rows on show, in display order, up to `budget`, which
// it spends; returns the folders on show whose contents are hidden.
std::vector<OutlineItem> includeShown(const Outline& outline, Included& included,
                                      std::size_t& budget) {
  std::vector<OutlineItem> closed;
  std::vector<std::pair<OutlineItem, std::size_t>> pending{{OutlineItem(), 0}};
  std::vector<std::vector<OutlineItem>> childLists{outline.childrenOf(OutlineItem())};
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
    if (!outline.isExpandable(item)) continue;
    if (outline.expanded.contains(item.object())) {
      included[item.object()];  // open: its rows follow, on show
      childLists.push_back(outline.childrenOf(item));
      pending.emplace_back(item, 0);
    } else {
      closed.push_back(item);
    }
  }
  return closed;
}

// includeClosed: while `budget` allows, the contents of `closed` folders, a
// whole folder at a time, nearest the top level first, so that one large
// folder cannot take the places of everything after it. What is left goes
// to the first that did not fit: it opens on its first rows (the page's
// note counts the rest).
void includeClosed(const Outline& outline, Included& included, std::vector<OutlineItem> closed,
                   std::size_t budget) {
  std::optional<OutlineItem> tooLarge;  // the first folder whose contents did not fit
  for (std::size_t i = 0; i < closed.size() && budget > 0; ++i) {
    std::vector<OutlineItem> children = outline.childrenOf(closed[i]);
    if (children.size() > budget) {
      if (!tooLarge) tooLarge = closed[i];
      continue;
    }
    budget -= children.size();
    for (const OutlineItem& child : children) {
      if (outline.isExpandable(child)) closed.push_back(child);
    }
    included[closed[i].object()] = std::move(children);
  }
  if (tooLarge && budget > 0) {
    std::vector<OutlineItem> children = outline.childrenOf(*tooLarge);
    children.resize(budget);
    included[tooLarge->object()] = std::move(children);
  }
}

// rowsOf: the rows in display order, each folder followed by its page
// children, with the cells the delegate's views show.
std::vector<PageRow> rowsOf(const Outline& outline, Included& included,
                            platform::OutlineViewDelegate* delegate) {
  std::vector<PageRow> rows;
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
    row.isExpandable = inPage != included.end() && outline.isExpandable(item);
    row.isExpanded = row.isExpandable && at.isShown && outline.expanded.contains(item.object());
    row.isShown = at.isShown;
    for (const auto& column : outline.view.tableColumns()) {
      std::shared_ptr<platform::View> view =
          delegate != nullptr ? delegate->viewForTableColumn(outline.view, column.get(), item)
                              : nullptr;
      row.cells.push_back(cellOf(view));
      // Read and done with: the next row reuses it, as scrolling would.
      outline.view.recycleView(std::move(view));
    }
    const std::size_t id = row.id;
    const bool childrenShown = row.isShown && row.isExpanded;
    const bool opensBelow = row.isExpandable;
    rows.push_back(std::move(row));
    if (opensBelow) levels.push_back({&inPage->second, 0, id, at.depth + 1, childrenShown});
  }
  return rows;
}

}  // namespace

std::vector<PageRow> collectRows(OutlineView& outline, std::size_t limit) {
  platform::OutlineViewDataSource* source = outline.dataSource();
  if (source == nullptr || limit == 0) return {};
  Outline paged{.view = outline, .source = *source, .expanded = {}};
  for (const platform::OutlineRow& row : outline.rows()) {
    if (row.isExpanded) paged.expanded.insert(row.item.object());
  }
  // First the rows on show, up to the limit; then, while it allows, the
  // contents of closed folders.
  Included included;
  std::size_t budget = limit;
  std::vector<OutlineItem> closed = includeShown(paged, included, budget);
  includeClosed(paged, included, std::move(closed), budget);
  return rowsOf(paged, included, outline.delegate());
}

}  // namespace vexel::quicklook_render_internal
