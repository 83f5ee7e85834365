// outline_view.h: an outline of expandable rows over a data source.
//
// `OutlineView` knows no data of its own. It asks its data source for the
// children of each item and whether an item can open, and its delegate for
// the cell view of each row and column; it keeps the flat list of rows that
// are showing (depth, item, expanded, expandable), which hosts render.
// Cells are reused by identifier: cells of rows that scroll out of sight, or
// of a reload, wait in a pool that `makeViewWithIdentifier` draws from.
//
//   outline->setDataSource(controller); outline->setDelegate(controller);
//   outline->reloadData();
//   outline->expandItem(OutlineItem(), /*expandChildren=*/true);
//   for (size_t row = 0; row < outline->numberOfRows(); ++row) draw(outline->rows()[row]);
//
// Main thread only. Expansion is iterative: archive depth never becomes
// call-stack depth.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ui/view.h"

namespace vexel::platform {

// OutlineItem: an item of the outline: a typed, non-owning pointer, or none
// (the top level). The data source owns the objects.
class OutlineItem {
 public:
  OutlineItem() = default;

  template <class T>
  [[nodiscard]] static OutlineItem of(const T* object) {
    return object == nullptr ? OutlineItem() : OutlineItem(object, &typeid(T));
  }

  // as: the object if it is a T, else null (a checked downcast).
  template <class T>
  [[nodiscard]] const T* as() const noexcept {
    return mType != nullptr && *mType == typeid(T) ? static_cast<const T*>(mObject) : nullptr;
  }

  [[nodiscard]] bool isNone() const noexcept { return mObject == nullptr; }
  [[nodiscard]] const void* object() const noexcept { return mObject; }
  bool operator==(const OutlineItem& other) const noexcept { return mObject == other.mObject; }

 private:
  OutlineItem(const void* object, const std::type_info* type) : mObject(object), mType(type) {}
  const void* mObject = nullptr;
  const std::type_info* mType = nullptr;
};

// TableColumn: one column of a table or outline.
class TableColumn {
 public:
  explicit TableColumn(std::string identifier) : mIdentifier(std::move(identifier)) {}

  [[nodiscard]] const std::string& identifier() const noexcept { return mIdentifier; }
  [[nodiscard]] const std::string& title() const noexcept { return mTitle; }
  void setTitle(std::string title) { mTitle = std::move(title); }
  [[nodiscard]] double width() const noexcept { return mWidth; }
  void setWidth(double width) { mWidth = width; }
  [[nodiscard]] double minWidth() const noexcept { return mMinWidth; }
  void setMinWidth(double width) { mMinWidth = width; }
  // headerAlignment: the alignment of the header cell's title.
  [[nodiscard]] TextAlignment headerAlignment() const noexcept { return mHeaderAlignment; }
  void setHeaderAlignment(TextAlignment alignment) { mHeaderAlignment = alignment; }

 private:
  std::string mIdentifier;
  std::string mTitle;
  double mWidth = 100;
  double mMinWidth = 10;
  TextAlignment mHeaderAlignment = TextAlignment::natural;
};

class OutlineView;

// OutlineViewDataSource: the outline's source of items. A none item stands
// for the top level.
class OutlineViewDataSource {
 public:
  virtual ~OutlineViewDataSource() = default;
  // numberOfChildrenOfItem: how many children the item has.
  [[nodiscard]] virtual std::int64_t numberOfChildrenOfItem(OutlineView& outline,
                                                            OutlineItem item) = 0;
  // childOfItem: the child at `index`, which is below the count given.
  [[nodiscard]] virtual OutlineItem childOfItem(OutlineView& outline, std::int64_t index,
                                                OutlineItem item) = 0;
  // isItemExpandable: whether the item shows a disclosure mark and can open.
  [[nodiscard]] virtual bool isItemExpandable(OutlineView& outline, OutlineItem item) = 0;
};

// OutlineViewDelegate: makes the cells.
class OutlineViewDelegate {
 public:
  virtual ~OutlineViewDelegate() = default;
  // viewForTableColumn: the cell for the item in the column, or null.
  [[nodiscard]] virtual std::shared_ptr<View> viewForTableColumn(OutlineView& outline,
                                                                 const TableColumn* column,
                                                                 OutlineItem item) = 0;
};

enum class TableViewStyle { automatic, fullWidth, inset, sourceList, plain };
enum class TableViewRowSizeStyle { defaultSize, custom, small, medium, large };
enum class TableViewColumnAutoresizingStyle {
  noColumnAutoresizing,
  uniformColumnAutoresizing,
  sequentialColumnAutoresizing,
  reverseSequentialColumnAutoresizing,
  lastColumnOnlyAutoresizing,
  firstColumnOnlyAutoresizing,
};

// OutlineRow: one showing row.
struct OutlineRow {
  OutlineItem item;
  std::int64_t depth = 0;  ///< 0 for top-level items
  bool isExpandable = false;
  bool isExpanded = false;
};

// OutlineView: rows of items with disclosure, over a data source.
class OutlineView : public View {
 public:
  // Data source and delegate are non-owning; their owner outlives the outline's use of them.
  void setDataSource(OutlineViewDataSource* dataSource) { mDataSource = dataSource; }
  [[nodiscard]] OutlineViewDataSource* dataSource() const noexcept { return mDataSource; }
  void setDelegate(OutlineViewDelegate* delegate) { mDelegate = delegate; }
  [[nodiscard]] OutlineViewDelegate* delegate() const noexcept { return mDelegate; }

  // addTableColumn: appends a column.
  void addTableColumn(std::shared_ptr<TableColumn> column);
  [[nodiscard]] const std::vector<std::shared_ptr<TableColumn>>& tableColumns() const noexcept {
    return mColumns;
  }
  // outlineTableColumn: the column that carries the disclosure marks.
  [[nodiscard]] const std::shared_ptr<TableColumn>& outlineTableColumn() const noexcept {
    return mOutlineColumn;
  }
  void setOutlineTableColumn(std::shared_ptr<TableColumn> column) {
    mOutlineColumn = std::move(column);
  }

  [[nodiscard]] TableViewStyle style() const noexcept { return mStyle; }
  void setStyle(TableViewStyle style) { mStyle = style; }
  [[nodiscard]] bool usesAlternatingRowBackgroundColors() const noexcept { return mAlternating; }
  void setUsesAlternatingRowBackgroundColors(bool on) { mAlternating = on; }
  [[nodiscard]] TableViewRowSizeStyle rowSizeStyle() const noexcept { return mRowSizeStyle; }
  void setRowSizeStyle(TableViewRowSizeStyle style) { mRowSizeStyle = style; }
  [[nodiscard]] TableViewColumnAutoresizingStyle columnAutoresizingStyle() const noexcept {
    return mAutoresizing;
  }
  void setColumnAutoresizingStyle(TableViewColumnAutoresizingStyle style) { mAutoresizing = style; }

  // reloadData: forgets every row and expansion, asks the data source for the
  // top level again, and puts all cells on show back in the reuse pool.
  void reloadData();
  // expandItem: opens a showing, expandable item one level; with
  // `expandChildren`, also every expandable item below it. A none item with
  // `expandChildren` opens the whole outline.
  void expandItem(OutlineItem item, bool expandChildren = false);
  // collapseItem: closes a showing item; its rows go away.
  void collapseItem(OutlineItem item);
  [[nodiscard]] bool isItemExpanded(OutlineItem item) const;

  // rows: the showing rows, top to bottom.
  [[nodiscard]] const std::vector<OutlineRow>& rows() const noexcept { return mRows; }
  [[nodiscard]] std::size_t numberOfRows() const noexcept { return mRows.size(); }
  // rowForItem: the row showing the item, or -1.
  [[nodiscard]] std::int64_t rowForItem(OutlineItem item) const;

  // viewAtColumn: the cell on show at (column, row); with `makeIfNecessary`,
  // asks the delegate for one when none is on show. Null when the delegate
  // gives none or the position is out of range.
  std::shared_ptr<View> viewAtColumn(std::size_t column, std::size_t row, bool makeIfNecessary);
  // setVisibleRowRange: scrolls so rows [first, first + count) are on show;
  // cells of other rows go back to the reuse pool.
  void setVisibleRowRange(std::size_t first, std::size_t count);
  // makeViewWithIdentifier: a cell from the reuse pool with that identifier,
  // or null. `owner` is accepted for the platform's signature and unused.
  [[nodiscard]] std::shared_ptr<View> makeViewWithIdentifier(std::string_view identifier,
                                                             const void* owner);
  // recycleView: puts a view that is no longer on show into the reuse pool
  // under its identifier (what scrolling does with cells).
  void recycleView(std::shared_ptr<View> view);
  // reusableViewCount: views waiting in the pool under an identifier.
  [[nodiscard]] std::size_t reusableViewCount(std::string_view identifier) const;

 private:
  [[nodiscard]] std::vector<OutlineRow> childRows(OutlineItem parent, std::int64_t depth,
                                                  bool expandChildren);
  void recycleAllCells();

  OutlineViewDataSource* mDataSource = nullptr;  // non-owning
  OutlineViewDelegate* mDelegate = nullptr;      // non-owning
  std::vector<std::shared_ptr<TableColumn>> mColumns;
  std::shared_ptr<TableColumn> mOutlineColumn;
  TableViewStyle mStyle = TableViewStyle::automatic;
  bool mAlternating = false;
  TableViewRowSizeStyle mRowSizeStyle = TableViewRowSizeStyle::custom;
  TableViewColumnAutoresizingStyle mAutoresizing =
      TableViewColumnAutoresizingStyle::uniformColumnAutoresizing;
  std::vector<OutlineRow> mRows;
  std::map<std::pair<std::size_t, std::size_t>, std::shared_ptr<View>> mCellsOnShow;
  std::unordered_map<std::string, std::vector<std::shared_ptr<View>>> mReusePool;
};

}  // namespace vexel::platform
