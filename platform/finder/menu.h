// menu.h: menus, menu items and the objects their actions go to.
//
// Holds `Menu` (a title and items in order), `MenuItem` (title, action
// selector, key equivalent, target) and `ActionTarget`, the base of any
// object that answers action selectors such as "compressZip:". Choosing an
// item sends its action to its target with the item as the sender.
//
//   vexel::platform::Menu menu("");
//   vexel::platform::MenuItem item("用 Vexel 打开", "openInVexel:", "");
//   item.setTarget(&extension);
//   menu.addItem(std::move(item));
//   menu.items().front().performAction();
//
// Threading: values; a menu is used on the thread that built it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexel::platform {

class MenuItem;

// ActionTarget: an object that answers action selectors.
class ActionTarget {
 public:
  virtual ~ActionTarget() = default;

  // performAction: runs the action named `selector` ("extractHere:") with
  // `sender` (the chosen menu item, or null). Returns false, doing nothing,
  // when this object has no such action.
  virtual bool performAction(std::string_view selector, const MenuItem* sender) = 0;

 protected:
  ActionTarget() = default;
  ActionTarget(const ActionTarget&) = default;
  ActionTarget& operator=(const ActionTarget&) = default;
};

// MenuItem: one command of a menu.
class MenuItem {
 public:
  // MenuItem: an item with `title`, the action selector `action` (empty for
  // none) and the key equivalent `keyEquivalent` (empty for none); no target.
  MenuItem(std::string title, std::string action, std::string keyEquivalent);

  [[nodiscard]] const std::string& title() const noexcept { return mTitle; }
  [[nodiscard]] const std::string& action() const noexcept { return mAction; }
  [[nodiscard]] const std::string& keyEquivalent() const noexcept { return mKeyEquivalent; }
  // target: the object the action goes to; non-owning, null when unset. The
  // target must outlive the item's use.
  [[nodiscard]] ActionTarget* target() const noexcept { return mTarget; }
  void setTarget(ActionTarget* target) noexcept { mTarget = target; }

  // performAction: sends the action to the target with this item as the
  // sender, as choosing the item does. Returns false when there is no target
  // or action, or the target has no such action.
  bool performAction() const;

 private:
  std::string mTitle;
  std::string mAction;
  std::string mKeyEquivalent;
  ActionTarget* mTarget = nullptr;
};

// Menu: a titled list of items in the order they were added.
class Menu {
 public:
  explicit Menu(std::string title) : mTitle(std::move(title)) {}

  [[nodiscard]] const std::string& title() const noexcept { return mTitle; }
  // addItem: appends `item` after the items already there.
  void addItem(MenuItem item) { mItems.push_back(std::move(item)); }
  [[nodiscard]] const std::vector<MenuItem>& items() const noexcept { return mItems; }

 private:
  std::string mTitle;
  std::vector<MenuItem> mItems;
};

}  // namespace vexel::platform
