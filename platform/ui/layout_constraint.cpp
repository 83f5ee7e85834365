#include "ui/layout_constraint.h"

#include "ui/view.h"

namespace vexel::platform {
namespace {

// The nearest view that both items lie in; the first item when there is no
// second one or no shared ancestor.
View* commonAncestor(View* first, View* second) {
  if (second == nullptr) return first;
  for (View* view = first; view != nullptr; view = view->superview()) {
    if (second->isDescendantOf(*view)) return view;
  }
  return first;
}

LayoutConstraint make(const LayoutAnchor& first, LayoutRelation relation,
                      const LayoutAnchor* second, double constant) {
  LayoutConstraint constraint;
  constraint.firstItem = first.item;
  constraint.firstAttribute = first.attribute;
  constraint.relation = relation;
  if (second != nullptr) {
    constraint.secondItem = second->item;
    constraint.secondAttribute = second->attribute;
  }
  constraint.constant = constant;
  return constraint;
}

}  // namespace

void LayoutConstraint::activateConstraints(std::vector<LayoutConstraint> constraints) {
  for (LayoutConstraint& constraint : constraints) {
    if (constraint.firstItem == nullptr) continue;
    constraint.isActive = true;
    View* owner = commonAncestor(constraint.firstItem, constraint.secondItem);
    owner->mConstraints.push_back(constraint);
  }
}

LayoutConstraint LayoutAnchor::constraintEqualToAnchor(LayoutAnchor other, double constant) const {
  return make(*this, LayoutRelation::equal, &other, constant);
}

LayoutConstraint LayoutAnchor::constraintLessThanOrEqualToAnchor(LayoutAnchor other,
                                                                 double constant) const {
  return make(*this, LayoutRelation::lessThanOrEqual, &other, constant);
}

LayoutConstraint LayoutAnchor::constraintEqualToConstant(double constant) const {
  return make(*this, LayoutRelation::equal, nullptr, constant);
}

std::string_view attributeName(LayoutAttribute attribute) noexcept {
  switch (attribute) {
    case LayoutAttribute::notAnAttribute:
      return "notAnAttribute";
    case LayoutAttribute::leading:
      return "leading";
    case LayoutAttribute::trailing:
      return "trailing";
    case LayoutAttribute::top:
      return "top";
    case LayoutAttribute::bottom:
      return "bottom";
    case LayoutAttribute::width:
      return "width";
    case LayoutAttribute::height:
      return "height";
    case LayoutAttribute::centerX:
      return "centerX";
    case LayoutAttribute::centerY:
      return "centerY";
  }
  return "";
}

}  // namespace vexel::platform
