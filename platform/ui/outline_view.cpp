#include "ui/outline_view.h"

namespace vexel::platform {

void OutlineView::addTableColumn(std::shared_ptr<TableColumn> column) {
  if (column) mColumns.push_back(std::move(column));
}

void OutlineView::reloadData() {
  recycleAllCells();
  mRows = childRows(OutlineItem(), 0, false);
}

std::vector<OutlineRow> OutlineView::childRows(OutlineItem parent, std::int64_t depth,
                                               bool expandChildren) {
  std::vector<OutlineRow> out;
  if (mDataSource == nullptr) return out;
  // Depth-first with an explicit stack of (parent, depth, count, next index).
  struct Frame {
    OutlineItem parent;
    std::int64_t depth;
    std::int64_t count;
    std::int64_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({parent, depth, mDataSource->numberOfChildrenOfItem(*this, parent), 0});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next >= frame.count) {
      stack.pop_back();
      continue;
    }
    const OutlineItem child = mDataSource->childOfItem(*this, frame.next++, frame.parent);
    const std::int64_t childDepth = frame.depth;
    OutlineRow row{child, childDepth, mDataSource->isItemExpandable(*this, child), false};
    if (expandChildren && row.isExpandable) {
      row.isExpanded = true;
      out.push_back(row);
      stack.push_back(
          {child, childDepth + 1, mDataSource->numberOfChildrenOfItem(*this, child), 0});
    } else {
      out.push_back(row);
    }
  }
  return out;
}

void OutlineView::expandItem(OutlineItem item, bool expandChildren) {
  if (item.isNone()) {
    if (!expandChildren) return;
    recycleAllCells();
    mRows = childRows(OutlineItem(), 0, true);
    return;
  }
  const std::int64_t found = rowForItem(item);
  if (found < 0) return;
  const auto index = static_cast<std::size_t>(found);
  if (!mRows[index].isExpandable) return;
  if (mRows[index].isExpanded && !expandChildren) return;
  recycleAllCells();
  // Replace whatever shows below the item with its freshly asked children.
  const std::int64_t depth = mRows[index].depth;
  std::size_t end = index + 1;
  while (end < mRows.size() && mRows[end].depth > depth) ++end;
  std::vector<OutlineRow> children = childRows(item, depth + 1, expandChildren);
  mRows[index].isExpanded = true;
  mRows.erase(mRows.begin() + static_cast<std::ptrdiff_t>(index + 1),
              mRows.begin() + static_cast<std::ptrdiff_t>(end));
  mRows.insert(mRows.begin() + static_cast<std::ptrdiff_t>(index + 1), children.begin(),
               children.end());
}

void OutlineView::collapseItem(OutlineItem item) {
  const std::int64_t found = rowForItem(item);
  if (found < 0) return;
  const auto index = static_cast<std::size_t>(found);
  if (!mRows[index].isExpanded) return;
  recycleAllCells();
  const std::int64_t depth = mRows[index].depth;
  std::size_t end = index + 1;
  while (end < mRows.size() && mRows[end].depth > depth) ++end;
  mRows.erase(mRows.begin() + static_cast<std::ptrdiff_t>(index + 1),
              mRows.begin() + static_cast<std::ptrdiff_t>(end));
  mRows[index].isExpanded = false;
}

bool OutlineView::isItemExpanded(OutlineItem item) const {
  const std::int64_t row = rowForItem(item);
  return row >= 0 && mRows[static_cast<std::size_t>(row)].isExpanded;
}

std::int64_t OutlineView::rowForItem(OutlineItem item) const {
  if (item.isNone()) return -1;
  for (std::size_t i = 0; i < mRows.size(); ++i) {
    if (mRows[i].item == item) return static_cast<std::int64_t>(i);
  }
  return -1;
}

std::shared_ptr<View> OutlineView::viewAtColumn(std::size_t column, std::size_t row,
                                                bool makeIfNecessary) {
  if (column >= mColumns.size() || row >= mRows.size()) return nullptr;
  const auto key = std::make_pair(row, column);
  if (const auto found = mCellsOnShow.find(key); found != mCellsOnShow.end()) return found->second;
  if (!makeIfNecessary || mDelegate == nullptr) return nullptr;
  std::shared_ptr<View> cell =
      mDelegate->viewForTableColumn(*this, mColumns[column].get(), mRows[row].item);
  if (cell) mCellsOnShow.emplace(key, cell);
  return cell;
}

void OutlineView::setVisibleRowRange(std::size_t first, std::size_t count) {
  for (auto it = mCellsOnShow.begin(); it != mCellsOnShow.end();) {
    const std::size_t row = it->first.first;
    if (row < first || row - first >= count) {
      recycleView(std::move(it->second));
      it = mCellsOnShow.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<View> OutlineView::makeViewWithIdentifier(std::string_view identifier,
                                                          const void* /*owner*/) {
  const auto found = mReusePool.find(std::string(identifier));
  if (found == mReusePool.end() || found->second.empty()) return nullptr;
  std::shared_ptr<View> view = std::move(found->second.back());
  found->second.pop_back();
  return view;
}

void OutlineView::recycleView(std::shared_ptr<View> view) {
  if (!view || view->identifier().empty()) return;
  mReusePool[view->identifier()].push_back(std::move(view));
}

std::size_t OutlineView::reusableViewCount(std::string_view identifier) const {
  const auto found = mReusePool.find(std::string(identifier));
  return found == mReusePool.end() ? 0 : found->second.size();
}

void OutlineView::recycleAllCells() {
  for (auto& [key, cell] : mCellsOnShow) recycleView(std::move(cell));
  mCellsOnShow.clear();
}

}  // namespace vexel::platform
