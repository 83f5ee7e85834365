#include "ui/view.h"

#include <algorithm>

namespace vexel::platform {

View::~View() {
  for (const auto& subview : mSubviews) subview->mSuperview = nullptr;
}

void View::addSubview(std::shared_ptr<View> view) {
  if (!view || view.get() == this) return;
  if (View* old = view->mSuperview) {
    auto& siblings = old->mSubviews;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), view), siblings.end());
  }
  view->mSuperview = this;
  mSubviews.push_back(std::move(view));
}

bool View::isDescendantOf(const View& other) const noexcept {
  for (const View* view = this; view != nullptr; view = view->mSuperview) {
    if (view == &other) return true;
  }
  return false;
}

std::shared_ptr<TextField> TextField::labelWithString(std::string_view text) {
  auto field = std::make_shared<TextField>();
  field->mStringValue = text;
  field->mLineBreakMode = LineBreakMode::byClipping;
  return field;
}

std::shared_ptr<TextField> TextField::wrappingLabelWithString(std::string_view text) {
  auto field = std::make_shared<TextField>();
  field->mStringValue = text;
  field->mLineBreakMode = LineBreakMode::byWordWrapping;
  return field;
}

std::shared_ptr<StackView> StackView::stackViewWithViews(
    const std::vector<std::shared_ptr<View>>& views) {
  auto stack = std::make_shared<StackView>();
  for (const auto& view : views) {
    // Arranged views lay themselves out through the stack's constraints.
    view->setTranslatesAutoresizingMaskIntoConstraints(false);
    stack->addSubview(view);
    stack->mArrangedSubviews.push_back(view);
  }
  return stack;
}

void ScrollView::setDocumentView(std::shared_ptr<View> view) {
  mDocumentView = view;
  if (view) addSubview(std::move(view));
}

}  // namespace vexel::platform
