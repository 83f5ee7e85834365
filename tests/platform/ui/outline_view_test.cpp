#include "ui/outline_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/view_controller.h"
#include "workspace/workspace.h"

namespace vexel::platform {
namespace {

struct Node {
  std::string name;
  std::vector<std::unique_ptr<Node>> children;
  Node* add(std::string childName) {
    children.push_back(std::make_unique<Node>(Node{std::move(childName), {}}));
    return children.back().get();
  }
};

// A data source over Node, and a delegate making labelled cells.
class Source : public OutlineViewDataSource, public OutlineViewDelegate {
 public:
  explicit Source(Node& root) : mRoot(root) {}
  int cellsMade = 0;

  std::int64_t numberOfChildrenOfItem(OutlineView&, OutlineItem item) override {
    return static_cast<std::int64_t>(node(item).children.size());
  }
  OutlineItem childOfItem(OutlineView&, std::int64_t index, OutlineItem item) override {
    return OutlineItem::of<Node>(node(item).children[static_cast<size_t>(index)].get());
  }
  bool isItemExpandable(OutlineView&, OutlineItem item) override {
    return item.as<Node>() != nullptr && !item.as<Node>()->children.empty();
  }
  std::shared_ptr<View> viewForTableColumn(OutlineView& outline, const TableColumn* column,
                                           OutlineItem item) override {
    auto cell = std::dynamic_pointer_cast<TableCellView>(
        outline.makeViewWithIdentifier("cell-" + column->identifier(), nullptr));
    if (!cell) {
      ++cellsMade;
      cell = std::make_shared<TableCellView>();
      cell->setIdentifier("cell-" + column->identifier());
      auto field = TextField::labelWithString("");
      cell->addSubview(field);
      cell->setTextField(field);
    }
    cell->textField()->setStringValue(item.as<Node>()->name);
    return cell;
  }

 private:
  Node& node(OutlineItem item) {
    const Node* found = item.as<Node>();
    return found != nullptr ? const_cast<Node&>(*found) : mRoot;
  }
  Node& mRoot;
};

std::vector<std::string> rowText(const OutlineView& outline) {
  std::vector<std::string> out;
  for (const OutlineRow& row : outline.rows()) {
    out.push_back(std::string(static_cast<size_t>(row.depth), '.') + row.item.as<Node>()->name +
                  (row.isExpandable ? (row.isExpanded ? "-" : "+") : ""));
  }
  return out;
}

struct Fixture {
  Node root{"", {}};
  Source source{root};
  OutlineView outline;
  Fixture() {
    Node* a = root.add("a");
    a->add("a1")->add("a1x");
    a->add("a2");
    root.add("b");
    outline.addTableColumn(std::make_shared<TableColumn>("name"));
    outline.setDataSource(&source);
    outline.setDelegate(&source);
  }
};

TEST(OutlineView, ReloadAndExpand) {
  Fixture f;
  EXPECT_EQ(f.outline.numberOfRows(), 0U);
  f.outline.reloadData();
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a+", "b"}));
  const OutlineItem a = f.outline.rows()[0].item;
  f.outline.expandItem(a);
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a-", ".a1+", ".a2", "b"}));
  f.outline.expandItem(f.outline.rows()[3].item);  // not expandable: nothing
  f.outline.collapseItem(a);
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a+", "b"}));
  f.outline.expandItem(a, /*expandChildren=*/true);
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a-", ".a1-", "..a1x", ".a2", "b"}));
  f.outline.reloadData();
  f.outline.expandItem(OutlineItem(), /*expandChildren=*/false);  // no item, no children: nothing
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a+", "b"}));
  f.outline.expandItem(OutlineItem(), /*expandChildren=*/true);
  EXPECT_EQ(rowText(f.outline), (std::vector<std::string>{"a-", ".a1-", "..a1x", ".a2", "b"}));
  EXPECT_TRUE(f.outline.isItemExpanded(a));
  EXPECT_EQ(f.outline.rowForItem(a), 0);
}

TEST(OutlineView, DeepChainExpandsWithoutRecursion) {
  Fixture f;
  Node* deep = f.root.add("deep");
  constexpr int kDepth = 100'000;
  for (int i = 0; i < kDepth; ++i) deep = deep->add("d");
  f.outline.reloadData();
  f.outline.expandItem(OutlineItem(), true);
  ASSERT_EQ(f.outline.numberOfRows(), 5U + 1U + kDepth);
  EXPECT_EQ(f.outline.rows().back().depth, kDepth);
  // Tearing the chain down is the test's business; keep it iterative too.
  std::vector<std::unique_ptr<Node>> pending;
  pending.push_back(std::move(f.root.children.back()));
  f.root.children.pop_back();
  while (!pending.empty()) {
    auto node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
  }
}

TEST(OutlineView, CellsOfRowsOutOfSightAreReused) {
  Fixture f;
  f.outline.reloadData();
  f.outline.expandItem(OutlineItem(), true);
  f.outline.setVisibleRowRange(0, 2);
  const auto first = f.outline.viewAtColumn(0, 0, true);
  const auto second = f.outline.viewAtColumn(0, 1, true);
  EXPECT_EQ(f.outline.viewAtColumn(0, 0, true), first);  // on show: same cell, delegate not asked
  EXPECT_EQ(f.source.cellsMade, 2);
  f.outline.setVisibleRowRange(2, 2);
  EXPECT_EQ(f.outline.reusableViewCount("cell-name"), 2U);
  const auto third = f.outline.viewAtColumn(0, 2, true);
  EXPECT_TRUE(third == first || third == second);
  EXPECT_EQ(f.source.cellsMade, 2);
  EXPECT_EQ(std::dynamic_pointer_cast<TableCellView>(third)->textField()->stringValue(), "a1x");
  EXPECT_EQ(f.outline.viewAtColumn(5, 0, true), nullptr);
  EXPECT_EQ(f.outline.viewAtColumn(0, 99, true), nullptr);
  f.outline.reloadData();  // cells on show go back to the pool
  EXPECT_EQ(f.outline.reusableViewCount("cell-name"), 2U);
}

TEST(View, HierarchyAndConstraintsStoredOnCommonAncestor) {
  auto root = std::make_shared<View>(Rect{{0, 0}, {10, 10}});
  auto label = TextField::labelWithString("x");
  auto stack = StackView::stackViewWithViews({label});
  root->addSubview(stack);
  EXPECT_FALSE(label->translatesAutoresizingMaskIntoConstraints());
  EXPECT_EQ(label->superview(), stack.get());
  EXPECT_TRUE(label->isDescendantOf(*root));
  LayoutConstraint::activateConstraints({
      label->widthAnchor().constraintEqualToConstant(5),
      label->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 3),
  });
  ASSERT_EQ(label->constraints().size(), 1U);
  EXPECT_EQ(label->constraints()[0].constant, 5);
  ASSERT_EQ(root->constraints().size(), 1U);
  EXPECT_EQ(root->constraints()[0].secondItem, root.get());
  EXPECT_TRUE(root->constraints()[0].isActive);
  auto other = std::make_shared<View>();
  other->addSubview(label);  // moves it
  EXPECT_TRUE(stack->subviews().empty());
  EXPECT_EQ(TextField::wrappingLabelWithString("")->lineBreakMode(), LineBreakMode::byWordWrapping);
}

TEST(Workspace, FileIconsFollowTheKindOfFile) {
  const auto here = std::filesystem::temp_directory_path();
  EXPECT_EQ(Workspace::shared().iconForFile(here)->typeIdentifier(), "public.folder");
  EXPECT_EQ(Workspace::shared().iconForFile(here / "missing.ZIP")->typeIdentifier(),
            "public.zip-archive");
  EXPECT_EQ(Workspace::shared().iconForFile(here / "noext")->typeIdentifier(), "public.data");
  EXPECT_EQ(Workspace::shared().iconForContentType(UTType::package())->typeIdentifier(),
            "com.apple.package");
}

TEST(ViewController, LoadsItsViewOnce) {
  struct Counting : ViewController {
    int loads = 0;
    void loadView() override {
      ++loads;
      ViewController::loadView();
    }
  } controller;
  EXPECT_FALSE(controller.isViewLoaded());
  const auto* first = controller.view().get();
  EXPECT_EQ(controller.view().get(), first);
  EXPECT_EQ(controller.loads, 1);
}

}  // namespace
}  // namespace vexel::platform
