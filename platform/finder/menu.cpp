#include "finder/menu.h"

namespace vexel::platform {

MenuItem::MenuItem(std::string title, std::string action, std::string keyEquivalent)
    : mTitle(std::move(title)),
      mAction(std::move(action)),
      mKeyEquivalent(std::move(keyEquivalent)) {}

bool MenuItem::performAction() const {
  if (mTarget == nullptr || mAction.empty()) return false;
  return mTarget->performAction(mAction, this);
}

}  // namespace vexel::platform
