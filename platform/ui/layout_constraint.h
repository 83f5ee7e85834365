// layout_constraint.h: layout constraints recorded as data.
//
// A `LayoutConstraint` says "item.attribute relation otherItem.attribute ×
// multiplier + constant". Nothing is solved: activating a constraint stores
// it on the nearest common ancestor of its items (the item itself when there
// is no other), where tests and renderers read it. Anchors (view.h) build them.
//
//   LayoutConstraint::activateConstraints({
//       icon->widthAnchor().constraintEqualToConstant(40),
//       header->topAnchor().constraintEqualToAnchor(root->topAnchor(), 14)});
//
// Main thread only.
#pragma once

#include <string_view>
#include <vector>

namespace vexel::platform {

class View;

enum class LayoutAttribute {
  notAnAttribute,
  leading,
  trailing,
  top,
  bottom,
  width,
  height,
  centerX,
  centerY,
};

enum class LayoutRelation { lessThanOrEqual = -1, equal = 0, greaterThanOrEqual = 1 };

// LayoutConstraint: one relation between two view attributes, or between an
// attribute and a constant. Items are non-owning: the views are kept alive
// by the hierarchy that stores the constraint.
class LayoutConstraint {
 public:
  View* firstItem = nullptr;
  LayoutAttribute firstAttribute = LayoutAttribute::notAnAttribute;
  LayoutRelation relation = LayoutRelation::equal;
  View* secondItem = nullptr;  ///< null for a constant constraint
  LayoutAttribute secondAttribute = LayoutAttribute::notAnAttribute;
  double multiplier = 1;
  double constant = 0;
  bool isActive = false;

  // activateConstraints: marks each constraint active and stores it on the
  // nearest common ancestor of its items, in the given order.
  static void activateConstraints(std::vector<LayoutConstraint> constraints);

  bool operator==(const LayoutConstraint&) const = default;
};

// LayoutAnchor: one attribute of one view; makes constraints.
struct LayoutAnchor {
  View* item;
  LayoutAttribute attribute;

  [[nodiscard]] LayoutConstraint constraintEqualToAnchor(LayoutAnchor other,
                                                         double constant = 0) const;
  [[nodiscard]] LayoutConstraint constraintLessThanOrEqualToAnchor(LayoutAnchor other,
                                                                   double constant = 0) const;
  // constraintEqualToConstant: for width and height anchors.
  [[nodiscard]] LayoutConstraint constraintEqualToConstant(double constant) const;
};

// attributeName: "leading", "centerY", ... for printing.
[[nodiscard]] std::string_view attributeName(LayoutAttribute attribute) noexcept;

}  // namespace vexel::platform
