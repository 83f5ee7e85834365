// preview_view_controller.h: the archive preview.
//
// `PreviewViewController` answers a preview request for one archive file: it
// shows the file's icon and name at once, lists the archive's headers on a
// background queue under a time limit, and then fills in the subtitle (type,
// counts, encryption), the footer (sizes, ratio, truncation notice) and an
// outline of the entries (folders first, names in natural order, icon, size,
// date), or a message when the archive is empty or cannot be read. The
// lister is core/readers/extension_archive.h; views are platform/ui/.
//
//   auto controller = vexel::PreviewViewController::create();
//   (void)controller->view();                       // builds the hierarchy
//   bool done = false;
//   controller->preparePreviewOfFile("/tmp/a.zip", [&](std::exception_ptr) { done = true; });
//   vexel::platform::DispatchQueue::main().runUntil([&] { return done; });
//
// Threading: every member function is main thread only (the thread that
// drains the main queue). The listing runs on the global userInitiated
// queue and touches only the file path and its own result (the listed tree,
// whose first rows it also puts in order there, under the same deadline).
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "foundation/date_formatter.h"
#include "foundation/ut_type.h"
#include "model/archive_tree.h"
#include "readers/extension_archive.h"
#include "ui/outline_view.h"
#include "ui/view.h"
#include "ui/view_controller.h"

namespace vexel {

// PreviewColumn: one column of the preview's outline as `loadView` makes it.
struct PreviewColumn {
  std::string_view identifier;  ///< the column's and its cells' identifier
  std::string_view title;
  double width;
  double minWidth;
  bool isRightAligned;  ///< the title (and the cells' texts) keep to the right edge
};

// PreviewLayout: the figures `loadView` (and the cells it makes) lay the
// preview out by, in points. A host that draws the preview in its own way
// places the parts by these.
struct PreviewLayout {
  platform::Size contentSize;  ///< the root view and preferred content size
  double iconSize;             ///< the header icon, square
  double headerTop;            ///< root top to header
  double sideMargin;           ///< root sides to header and footer (at least)
  double headerSpacing;        ///< header icon to texts
  double textSpacing;          ///< title to subtitle
  double outlineTop;           ///< header bottom to the outline's scroll view
  double footerTop;            ///< scroll view bottom to footer
  double footerBottom;         ///< footer to root bottom
  double messageInset;         ///< the message is at most this narrower than the scroll view
  double cellIconSize;         ///< the name cell's image, square
  double cellInset;            ///< cell edges to the image or text inside
  double cellIconSpacing;      ///< name cell's image to its text
};

// PreviewViewController: header, outline, footer and message for one archive.
// Always owned by a shared_ptr (see `create`): a pending listing keeps it alive.
class PreviewViewController final : public platform::ViewController,
                                    public platform::OutlineViewDataSource,
                                    public platform::OutlineViewDelegate,
                                    public std::enable_shared_from_this<PreviewViewController> {
  struct Passkey {};

 public:
  // CompletionHandler: told that the preview is ready; the error is always null.
  using CompletionHandler = std::function<void(std::exception_ptr error)>;
  // LoadResult: what the listing step hands to the display step.
  using LoadResult = std::variant<ExtensionArchive::Listing, std::exception_ptr>;

  // kTimeLimit: seconds the listing may take before it stops with what it has.
  static constexpr double kTimeLimit = 3.0;
  // kFullExpansionLimit: trees with at most this many nodes below the root open fully.
  static constexpr std::int64_t kFullExpansionLimit = 300;

  // Column identifiers; hosts find the outline's columns and cells by them.
  static constexpr std::string_view kNameColumn = "name";
  static constexpr std::string_view kSizeColumn = "size";
  static constexpr std::string_view kDateColumn = "date";
  // kColumns: the outline's columns, left to right; the first holds the tree
  // and alone absorbs width changes.
  static constexpr std::array<PreviewColumn, 3> kColumns = {{
      {kNameColumn, "名称", 440, 160, false},
      {kSizeColumn, "大小", 90, 60, true},
      {kDateColumn, "修改日期", 140, 100, false},
  }};
  // kLayout: the geometry of the hierarchy `loadView` builds.
  static constexpr PreviewLayout kLayout = {
      .contentSize = {760, 520},
      .iconSize = 40,
      .headerTop = 14,
      .sideMargin = 16,
      .headerSpacing = 10,
      .textSpacing = 2,
      .outlineTop = 10,
      .footerTop = 6,
      .footerBottom = 8,
      .messageInset = 40,
      .cellIconSize = 16,
      .cellInset = 2,
      .cellIconSpacing = 5,
  };

  // create: a controller with all controls made, no view loaded, no tree.
  [[nodiscard]] static std::shared_ptr<PreviewViewController> create();
  explicit PreviewViewController(Passkey);
  ~PreviewViewController() override;

  // preparePreviewOfFile: shows the file's icon and name, starts listing the
  // file in the background and returns. `handler` is called later, exactly
  // once, on the main queue, with no error, after the result is shown.
  // Main thread only.
  void preparePreviewOfFile(const std::filesystem::path& url, CompletionHandler handler);

  // setListingTimeLimit: the time limit of later requests, in seconds
  // (kTimeLimit unless set; hosts and tests pass others). Main thread only.
  void setListingTimeLimit(double seconds) { mTimeLimit = seconds; }
  [[nodiscard]] double listingTimeLimit() const noexcept { return mTimeLimit; }

  // displayLoadResult: the display step: stores the tree and fills texts,
  // outline and message, or shows the failure. Requests call it on the main
  // queue; tests may hand it a listing of their own. Main thread only.
  void displayLoadResult(LoadResult result);

  // loadView: builds the header, the outline in its scroll view, the footer
  // and the centred message, with their constraints. Main thread only.
  void loadView() override;

  // Outline data source and delegate. Main thread only.
  [[nodiscard]] std::int64_t numberOfChildrenOfItem(platform::OutlineView& outline,
                                                    platform::OutlineItem item) override;
  [[nodiscard]] platform::OutlineItem childOfItem(platform::OutlineView& outline,
                                                  std::int64_t index,
                                                  platform::OutlineItem item) override;
  // isItemExpandable: true only for a folder node with children and no package type.
  [[nodiscard]] bool isItemExpandable(platform::OutlineView& outline,
                                      platform::OutlineItem item) override;
  // viewForTableColumn: the cell for a node in a column; null for anything
  // that is not a node, or without a column. Reuses cells by identifier.
  [[nodiscard]] std::shared_ptr<platform::View> viewForTableColumn(
      platform::OutlineView& outline, const platform::TableColumn* column,
      platform::OutlineItem item) override;

  // sortedChildren: the children of the item's node (the root for a none
  // item) in display order: folders first, then natural name order, stable.
  // A package has none. Cached per node. Main thread only.
  [[nodiscard]] const std::vector<const ArchiveNode*>& sortedChildren(platform::OutlineItem item);
  // packageType: the declared package type a folder's extension names, or none.
  [[nodiscard]] static std::optional<platform::UTType> packageType(const ArchiveNode& node);
  // icon: the icon of the node's type, cached per type identifier. Main thread only.
  [[nodiscard]] platform::ImagePtr icon(const ArchiveNode& node);

  // dateFormatter: the "yyyy-MM-dd HH:mm" formatter shared by all controllers,
  // made on first use.
  [[nodiscard]] static const platform::DateFormatter& dateFormatter();

  // The controller's state, for hosts and tests. Main thread only.
  [[nodiscard]] const std::shared_ptr<const ArchiveTree>& tree() const noexcept { return mTree; }
  [[nodiscard]] platform::OutlineView& outline() const noexcept { return *mOutline; }
  [[nodiscard]] const platform::ImageView& iconView() const noexcept { return *mIconView; }
  [[nodiscard]] const platform::TextField& titleLabel() const noexcept { return *mTitleLabel; }
  [[nodiscard]] const platform::TextField& subtitleLabel() const noexcept {
    return *mSubtitleLabel;
  }
  [[nodiscard]] const platform::TextField& footerLabel() const noexcept { return *mFooterLabel; }
  [[nodiscard]] const platform::TextField& messageLabel() const noexcept { return *mMessageLabel; }
  [[nodiscard]] const platform::ScrollView& scroll() const noexcept { return *mScroll; }
  [[nodiscard]] std::size_t sortedCacheSize() const noexcept { return mSortedCache.size(); }
  [[nodiscard]] std::size_t iconCacheSize() const noexcept { return mIconCache.size(); }

 private:
  using SortedChildren = std::unordered_map<const ArchiveNode*, std::vector<const ArchiveNode*>>;

  // prepareOrders: the children's order of each folder the display step
  // shows first (the root, a lone top folder, or every folder of a small
  // tree), made off the main thread; `isLate` ends the sorting of large
  // folders (see internal/child_order.h). Any thread.
  [[nodiscard]] static SortedChildren prepareOrders(const ArchiveTree& tree,
                                                    const std::function<bool()>& isLate);
  void displayLoadResult(LoadResult result, SortedChildren orders);
  void displayListing(const ExtensionArchive::Listing& listing, SortedChildren orders);
  void displayError(const std::exception_ptr& error);
  void expandAutomatically();
  // setUpOutline: the outline's columns and style, for loadView. Main thread only.
  void setUpOutline();
  [[nodiscard]] std::shared_ptr<platform::TableCellView> makeCell(const std::string& identifier,
                                                                  bool isNameColumn);

  std::shared_ptr<const ArchiveTree> mTree;
  std::shared_ptr<platform::OutlineView> mOutline;
  std::shared_ptr<platform::ImageView> mIconView;
  std::shared_ptr<platform::TextField> mTitleLabel;
  std::shared_ptr<platform::TextField> mSubtitleLabel;
  std::shared_ptr<platform::TextField> mFooterLabel;
  std::shared_ptr<platform::TextField> mMessageLabel;
  std::shared_ptr<platform::ScrollView> mScroll;
  // Keyed by node identity; belongs to `mTree` and is replaced with it.
  SortedChildren mSortedCache;
  std::unordered_map<std::string, platform::ImagePtr> mIconCache;

  double mTimeLimit = kTimeLimit;
  // Counts requests, so that the result of a request overtaken by a later
  // one on the same controller is not shown over the later one's.
  std::uint64_t mRequestGeneration = 0;
};

}  // namespace vexel
