#include "quicklook/preview_view_controller.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <string_view>

#include "dispatch/dispatch_queue.h"
#include "foundation/byte_count_formatter.h"
#include "internal/child_order.h"
#include "internal/preview_texts.h"
#include "readers/archive_error.h"
#include "workspace/workspace.h"

namespace vexel {

using platform::LayoutAttribute;
using platform::LayoutConstraint;
using platform::OutlineItem;

namespace {

// Nodes below `root`, counted only as far as the expansion rule needs to
// know: past `limit` the exact number does not matter, and a large archive
// would otherwise be walked in full on the main thread.
std::int64_t countNodesBelow(const ArchiveNode& root, std::int64_t limit) {
  std::int64_t count = 0;
  std::vector<const ArchiveNode*> pending{&root};
  while (!pending.empty() && count <= limit) {
    const ArchiveNode* folder = pending.back();
    pending.pop_back();
    for (const auto& child : folder->children()) {
      if (++count > limit) break;
      if (child->isDir()) pending.push_back(child);
    }
  }
  return count;
}

// The background step's share of the time: the listing's limit and this
// much more, counted from the request, for making the first rows' order.
constexpr std::chrono::milliseconds kPreparationGrace{200};

std::chrono::steady_clock::time_point preparationDeadline(
    std::chrono::steady_clock::time_point requested, double timeLimit) {
  using std::chrono::steady_clock;
  const double seconds = timeLimit + std::chrono::duration<double>(kPreparationGrace).count();
  // Beyond a day there is no deadline to speak of (and no overflow).
  if (!(seconds < 86400.0)) return steady_clock::time_point::max();
  return requested +
         std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(seconds));
}

std::string sizeText(std::int64_t bytes) {
  return platform::ByteCountFormatter::stringFromByteCount(
      bytes, platform::ByteCountFormatter::CountStyle::file);
}

}  // namespace

std::shared_ptr<PreviewViewController> PreviewViewController::create() {
  return std::make_shared<PreviewViewController>(Passkey{});
}

PreviewViewController::PreviewViewController(Passkey)
    : mOutline(std::make_shared<platform::OutlineView>()),
      mIconView(std::make_shared<platform::ImageView>()),
      mTitleLabel(platform::TextField::labelWithString("")),
      mSubtitleLabel(platform::TextField::labelWithString("")),
      mFooterLabel(platform::TextField::labelWithString("")),
      mMessageLabel(platform::TextField::wrappingLabelWithString("")),
      mScroll(std::make_shared<platform::ScrollView>()) {
  // Hidden from the start, so a host that renders before the view is loaded
  // shows no message either.
  mMessageLabel->setHidden(true);
}

PreviewViewController::~PreviewViewController() {
  // The outline may outlive us inside a host's hierarchy; it must not call back.
  mOutline->setDataSource(nullptr);
  mOutline->setDelegate(nullptr);
}

const platform::DateFormatter& PreviewViewController::dateFormatter() {
  static const platform::DateFormatter formatter = [] {
    platform::DateFormatter made;
    made.setDateFormat("yyyy-MM-dd HH:mm");
    return made;
  }();
  return formatter;
}

// ---------------------------------------------------------------------------
// Request, listing and display

void PreviewViewController::preparePreviewOfFile(const std::filesystem::path& url,
                                                 CompletionHandler handler) {
  // A controller may serve several requests: nothing of an earlier one stays.
  const std::uint64_t generation = ++mRequestGeneration;
  if (mTree) {
    mTree.reset();
    mOutline->reloadData();
  }
  mSortedCache.clear();
  mSubtitleLabel->setStringValue("");
  mFooterLabel->setStringValue("");
  mMessageLabel->setStringValue("");
  mMessageLabel->setHidden(true);

  mIconView->setImage(platform::Workspace::shared().iconForFile(url));
  // The last path component, as a URL names it: "/a/b/" ends in "b".
  const std::filesystem::path name =
      url.has_filename() ? url.filename() : url.parent_path().filename();
  mTitleLabel->setStringValue(name.string());

  // The listing step holds the controller and the handler strongly and hands
  // both on to the display step, so the last reference is dropped on the
  // main queue, never on a worker.
  // The order of the rows shown first is made in the background too, under
  // the same deadline, so the main thread's share stays small however large
  // a folder is.
  platform::DispatchQueue::global(platform::QualityOfService::userInitiated)
      .async([url, self = shared_from_this(), handler = std::move(handler), timeLimit = mTimeLimit,
              generation, requested = std::chrono::steady_clock::now()]() mutable {
        LoadResult result;
        SortedChildren orders;
        try {
          result = ExtensionArchive::list(url, timeLimit);
          const auto deadline = preparationDeadline(requested, timeLimit);
          orders = prepareOrders(*std::get<ExtensionArchive::Listing>(result).tree, [deadline] {
            return std::chrono::steady_clock::now() > deadline;
          });
        } catch (...) {
          result = std::current_exception();
        }
        platform::DispatchQueue::main().async([self = std::move(self), result = std::move(result),
                                               orders = std::move(orders),
                                               handler = std::move(handler), generation]() mutable {
          if (generation == self->mRequestGeneration) {
            self->displayLoadResult(std::move(result), std::move(orders));
          }
          // Failures are shown inside the preview; the host never gets one.
          if (handler) handler(nullptr);
        });
      });
}

PreviewViewController::SortedChildren PreviewViewController::prepareOrders(
    const ArchiveTree& tree, const std::function<bool()>& isLate) {
  SortedChildren orders;
  const ArchiveNode& root = tree.root();
  const auto add = [&](const ArchiveNode& folder) {
    orders.emplace(&folder, packageType(folder) ? std::vector<const ArchiveNode*>()
                                                : quicklook_internal::displayOrder(folder, isLate));
  };
  add(root);
  if (countNodesBelow(root, kFullExpansionLimit) <= kFullExpansionLimit) {
    for (const ArchiveNode* node : root.descendants()) {
      if (node->isDir() && !node->children().empty()) add(*node);
    }
  } else if (root.children().size() == 1 && root.children().front()->isDir()) {
    add(*root.children().front());
  }
  return orders;
}

void PreviewViewController::displayLoadResult(LoadResult result) {
  displayLoadResult(std::move(result), {});
}

void PreviewViewController::displayLoadResult(LoadResult result, SortedChildren orders) {
  if (auto* listing = std::get_if<ExtensionArchive::Listing>(&result); listing && listing->tree) {
    displayListing(*listing, std::move(orders));
  } else if (auto* error = std::get_if<std::exception_ptr>(&result)) {
    displayError(*error);
  } else {
    displayError(nullptr);
  }
}

void PreviewViewController::displayListing(const ExtensionArchive::Listing& listing,
                                           SortedChildren orders) {
  mTree = listing.tree;
  // Keyed by nodes of the tree just replaced: what the background step made
  // for this tree, or nothing.
  mSortedCache = std::move(orders);
  mSubtitleLabel->setStringValue(quicklook_internal::subtitleText(listing.typeName, *mTree));
  mFooterLabel->setStringValue(
      quicklook_internal::footerText(listing.fileSize, *mTree, listing.cutoff));
  mOutline->reloadData();
  expandAutomatically();
  // A listing cut short before its first entry says so in the footer; only
  // one that saw the whole archive may call it empty.
  if (listing.complete && mTree->root().children().empty()) {
    mMessageLabel->setStringValue(quicklook_internal::kEmptyArchiveText);
    mMessageLabel->setHidden(false);
  }
}

void PreviewViewController::expandAutomatically() {
  const ArchiveNode& root = mTree->root();
  if (countNodesBelow(root, kFullExpansionLimit) <= kFullExpansionLimit) {
    mOutline->expandItem(OutlineItem(), /*expandChildren=*/true);
  } else if (root.children().size() == 1) {
    // A lone top-level folder is what most archives wrap their content in.
    mOutline->expandItem(OutlineItem::of(root.children().front()));
  }
}

void PreviewViewController::displayError(const std::exception_ptr& error) {
  mSubtitleLabel->setStringValue(quicklook_internal::kUnreadableSubtitle);
  std::string message;
  try {
    if (error) std::rethrow_exception(error);
    message = ArchiveError::cannotRead("").message();
  } catch (const ArchiveError& archiveError) {
    // The generic password text would not tell the user that even the names
    // are locked, nor where to enter the password.
    message = archiveError.kind() == ArchiveError::Kind::passwordRequired
                  ? std::string(quicklook_internal::kNamesEncryptedText)
                  : archiveError.message();
  } catch (const std::bad_alloc&) {
    message = ArchiveError::outOfMemory().message();
  } catch (const std::exception& other) {
    message = ArchiveError::cannotRead(other.what()).message();
  } catch (...) {
    message = ArchiveError::cannotRead("").message();
  }
  mMessageLabel->setStringValue(message);
  mMessageLabel->setHidden(false);
}

// ---------------------------------------------------------------------------
// View hierarchy

// setUpOutline: the outline's columns and style, in its scroll view; the
// controller is its data source and delegate.
void PreviewViewController::setUpOutline() {
  for (const PreviewColumn& column : kColumns) {
    auto tableColumn = std::make_shared<platform::TableColumn>(std::string(column.identifier));
    tableColumn->setTitle(std::string(column.title));
    tableColumn->setWidth(column.width);
    tableColumn->setMinWidth(column.minWidth);
    if (column.isRightAligned) tableColumn->setHeaderAlignment(platform::TextAlignment::right);
    mOutline->addTableColumn(std::move(tableColumn));
  }
  mOutline->setOutlineTableColumn(mOutline->tableColumns().front());
  mOutline->setStyle(platform::TableViewStyle::inset);
  mOutline->setUsesAlternatingRowBackgroundColors(true);
  mOutline->setRowSizeStyle(platform::TableViewRowSizeStyle::defaultSize);
  mOutline->setColumnAutoresizingStyle(
      platform::TableViewColumnAutoresizingStyle::firstColumnOnlyAutoresizing);
  mOutline->setDataSource(this);
  mOutline->setDelegate(this);

  mScroll->setDocumentView(mOutline);
  mScroll->setHasVerticalScroller(true);
  mScroll->setAutohidesScrollers(true);
  mScroll->setBorderType(platform::BorderType::noBorder);
  mScroll->setDrawsBackground(false);
}

void PreviewViewController::loadView() {
  using platform::Color;
  using platform::Font;
  using platform::LineBreakMode;
  const PreviewLayout& layout = kLayout;
  auto root = std::make_shared<platform::View>(platform::Rect{{0, 0}, layout.contentSize});

  mIconView->setImageScaling(platform::ImageScaling::proportionallyUpOrDown);
  mTitleLabel->setFont(Font::boldSystemFontOfSize(15));
  mTitleLabel->setLineBreakMode(LineBreakMode::byTruncatingMiddle);
  mSubtitleLabel->setFont(Font::systemFontOfSize(12));
  mSubtitleLabel->setTextColor(Color::secondaryLabelColor);
  mFooterLabel->setFont(Font::systemFontOfSize(11));
  mFooterLabel->setTextColor(Color::secondaryLabelColor);
  mFooterLabel->setLineBreakMode(LineBreakMode::byTruncatingTail);
  mMessageLabel->setAlignment(platform::TextAlignment::center);
  mMessageLabel->setTextColor(Color::secondaryLabelColor);
  mMessageLabel->setHidden(true);

  auto textStack = platform::StackView::stackViewWithViews({mTitleLabel, mSubtitleLabel});
  textStack->setOrientation(platform::UserInterfaceLayoutOrientation::vertical);
  textStack->setAlignment(LayoutAttribute::leading);
  textStack->setSpacing(layout.textSpacing);
  auto header = platform::StackView::stackViewWithViews({mIconView, textStack});
  header->setOrientation(platform::UserInterfaceLayoutOrientation::horizontal);
  header->setSpacing(layout.headerSpacing);
  header->setAlignment(LayoutAttribute::centerY);

  setUpOutline();

  // Added in this order so the message lies above the outline.
  for (const std::shared_ptr<platform::View>& view :
       std::initializer_list<std::shared_ptr<platform::View>>{header, mScroll, mFooterLabel,
                                                              mMessageLabel}) {
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(view);
  }

  LayoutConstraint::activateConstraints({
      mIconView->widthAnchor().constraintEqualToConstant(layout.iconSize),
      mIconView->heightAnchor().constraintEqualToConstant(layout.iconSize),
      header->topAnchor().constraintEqualToAnchor(root->topAnchor(), layout.headerTop),
      header->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), layout.sideMargin),
      header->trailingAnchor().constraintLessThanOrEqualToAnchor(root->trailingAnchor(),
                                                                 -layout.sideMargin),
      mScroll->topAnchor().constraintEqualToAnchor(header->bottomAnchor(), layout.outlineTop),
      mScroll->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor()),
      mScroll->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor()),
      mFooterLabel->topAnchor().constraintEqualToAnchor(mScroll->bottomAnchor(), layout.footerTop),
      mFooterLabel->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(),
                                                            layout.sideMargin),
      mFooterLabel->trailingAnchor().constraintLessThanOrEqualToAnchor(root->trailingAnchor(),
                                                                       -layout.sideMargin),
      mFooterLabel->bottomAnchor().constraintEqualToAnchor(root->bottomAnchor(),
                                                           -layout.footerBottom),
      mMessageLabel->centerXAnchor().constraintEqualToAnchor(mScroll->centerXAnchor()),
      mMessageLabel->centerYAnchor().constraintEqualToAnchor(mScroll->centerYAnchor()),
      mMessageLabel->widthAnchor().constraintLessThanOrEqualToAnchor(mScroll->widthAnchor(),
                                                                     -layout.messageInset),
  });

  setPreferredContentSize(root->frame().size);
  setView(std::move(root));
}

// ---------------------------------------------------------------------------
// Data source

const std::vector<const ArchiveNode*>& PreviewViewController::sortedChildren(OutlineItem item) {
  static const std::vector<const ArchiveNode*> kNone;
  const ArchiveNode* node = item.as<ArchiveNode>();
  if (node == nullptr) {
    // Before a listing there is nothing to show, and nothing is cached, so
    // the rows appear as soon as a tree arrives.
    if (!mTree) return kNone;
    node = &mTree->root();
  }
  if (const auto found = mSortedCache.find(node); found != mSortedCache.end()) return found->second;

  std::vector<const ArchiveNode*> sorted;
  if (!packageType(*node)) sorted = quicklook_internal::displayOrder(*node);
  return mSortedCache.emplace(node, std::move(sorted)).first->second;
}

std::int64_t PreviewViewController::numberOfChildrenOfItem(platform::OutlineView& /*outline*/,
                                                           OutlineItem item) {
  return static_cast<std::int64_t>(sortedChildren(item).size());
}

OutlineItem PreviewViewController::childOfItem(platform::OutlineView& /*outline*/,
                                               std::int64_t index, OutlineItem item) {
  const auto& children = sortedChildren(item);
  if (index < 0 || static_cast<std::size_t>(index) >= children.size()) return {};
  return OutlineItem::of(children[static_cast<std::size_t>(index)]);
}

bool PreviewViewController::isItemExpandable(platform::OutlineView& /*outline*/, OutlineItem item) {
  const ArchiveNode* node = item.as<ArchiveNode>();
  return node != nullptr && node->isDir() && !node->children().empty() && !packageType(*node);
}

std::optional<platform::UTType> PreviewViewController::packageType(const ArchiveNode& node) {
  using platform::UTType;
  if (!node.isDir()) return std::nullopt;
  const std::string ext = node.ext();
  if (ext.empty()) return std::nullopt;
  auto type = UTType::typeWithFilenameExtension(ext, UTType::package());
  // Undeclared types are made up for any extension asked about; only a type
  // the system declares makes a folder a package.
  if (!type || !type->conformsTo(UTType::package()) || !type->isDeclared()) return std::nullopt;
  return type;
}

platform::ImagePtr PreviewViewController::icon(const ArchiveNode& node) {
  using platform::UTType;
  std::optional<UTType> type = packageType(node);
  if (!type) {
    if (node.isDir()) {
      type = UTType::folder();
    } else {
      type = UTType::typeWithFilenameExtension(node.ext(), UTType::data());
      if (!type) type = UTType::data();
    }
  }
  if (const auto found = mIconCache.find(type->identifier()); found != mIconCache.end()) {
    return found->second;
  }
  platform::ImagePtr image = platform::Workspace::shared().iconForContentType(*type);
  mIconCache.emplace(type->identifier(), image);
  return image;
}

// ---------------------------------------------------------------------------
// Cells

std::shared_ptr<platform::TableCellView> PreviewViewController::makeCell(
    const std::string& identifier, bool isNameColumn) {
  auto cell = std::make_shared<platform::TableCellView>();
  cell->setIdentifier(identifier);
  auto text = platform::TextField::labelWithString("");
  text->setLineBreakMode(platform::LineBreakMode::byTruncatingMiddle);
  text->setTranslatesAutoresizingMaskIntoConstraints(false);
  cell->addSubview(text);
  cell->setTextField(text);
  const PreviewLayout& layout = kLayout;
  if (isNameColumn) {
    auto image = std::make_shared<platform::ImageView>();
    image->setTranslatesAutoresizingMaskIntoConstraints(false);
    cell->addSubview(image);
    cell->setImageView(image);
    LayoutConstraint::activateConstraints({
        image->leadingAnchor().constraintEqualToAnchor(cell->leadingAnchor(), layout.cellInset),
        image->centerYAnchor().constraintEqualToAnchor(cell->centerYAnchor()),
        image->widthAnchor().constraintEqualToConstant(layout.cellIconSize),
        image->heightAnchor().constraintEqualToConstant(layout.cellIconSize),
        text->leadingAnchor().constraintEqualToAnchor(image->trailingAnchor(),
                                                      layout.cellIconSpacing),
    });
  } else {
    LayoutConstraint::activateConstraints(
        {text->leadingAnchor().constraintEqualToAnchor(cell->leadingAnchor(), layout.cellInset)});
  }
  LayoutConstraint::activateConstraints({
      text->trailingAnchor().constraintEqualToAnchor(cell->trailingAnchor(), -layout.cellInset),
      text->centerYAnchor().constraintEqualToAnchor(cell->centerYAnchor()),
  });
  return cell;
}

std::shared_ptr<platform::View> PreviewViewController::viewForTableColumn(
    platform::OutlineView& outline, const platform::TableColumn* column, OutlineItem item) {
  const ArchiveNode* node = item.as<ArchiveNode>();
  if (node == nullptr || column == nullptr) return nullptr;
  const std::string& columnId = column->identifier();
  const std::string reuseIdentifier = "cell-" + columnId;

  // A reused cell already has its subviews and constraints: only its
  // contents are set below.
  auto cell = std::dynamic_pointer_cast<platform::TableCellView>(
      outline.makeViewWithIdentifier(reuseIdentifier, nullptr));
  if (!cell) cell = makeCell(reuseIdentifier, columnId == kNameColumn);

  std::string text;
  if (columnId == kNameColumn) {
    text = node->name();
    if (cell->imageView()) cell->imageView()->setImage(icon(*node));
  } else if (columnId == kSizeColumn) {
    text = !node->isDir() || packageType(*node) ? sizeText(node->size()) : "--";
  } else if (const auto date = node->modified()) {
    text = dateFormatter().stringFromDate(*date);
  }
  if (const auto& field = cell->textField()) {
    field->setStringValue(text);
    field->setAlignment(columnId == kSizeColumn ? platform::TextAlignment::right
                                                : platform::TextAlignment::left);
    field->setTextColor(columnId == kNameColumn ? platform::Color::labelColor
                                                : platform::Color::secondaryLabelColor);
  }
  return cell;
}

}  // namespace vexel
