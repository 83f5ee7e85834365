// view.h: views as plain objects that hold what the components set.
//
// Nothing is drawn: `View` keeps its frame, subviews, hidden flag and the
// constraints activated on it; `TextField`, `ImageView`, `StackView`,
// `ScrollView` and `TableCellView` add the properties our components set
// (text, font, colour role, line-break mode, alignment, image, ...), so that
// hosts can render them and tests can read them back. Constraints are
// layout_constraint.h; the outline is outline_view.h.
//
//   auto label = TextField::labelWithString("");
//   label->setFont(Font::boldSystemFontOfSize(15));
//   label->setStringValue("a.zip");
//
// Main thread only, like the views they stand for.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/image.h"
#include "ui/layout_constraint.h"

namespace vexel::platform {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};
struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};
struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

// Font: the system font, regular or bold, at a point size.
struct Font {
  double pointSize = 13;
  bool isBold = false;
  [[nodiscard]] static Font systemFontOfSize(double size) { return {size, false}; }
  [[nodiscard]] static Font boldSystemFontOfSize(double size) { return {size, true}; }
  bool operator==(const Font&) const = default;
};

// Color: the semantic text colours our components use.
enum class Color { labelColor, secondaryLabelColor };

enum class LineBreakMode {
  byWordWrapping,
  byCharWrapping,
  byClipping,
  byTruncatingHead,
  byTruncatingTail,
  byTruncatingMiddle,
};

enum class TextAlignment { natural, left, center, right, justified };

enum class ImageScaling { proportionallyDown, axesIndependently, none, proportionallyUpOrDown };

// View: a rectangle in a hierarchy. Views are shared; a superview owns its
// subviews, a subview's link back is non-owning.
class View {
 public:
  View() = default;
  explicit View(Rect frame) : mFrame(frame) {}
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  [[nodiscard]] const Rect& frame() const noexcept { return mFrame; }
  [[nodiscard]] bool isHidden() const noexcept { return mHidden; }
  void setHidden(bool hidden) { mHidden = hidden; }
  [[nodiscard]] bool translatesAutoresizingMaskIntoConstraints() const noexcept {
    return mTranslatesAutoresizingMask;
  }
  void setTranslatesAutoresizingMaskIntoConstraints(bool on) { mTranslatesAutoresizingMask = on; }
  // identifier: a name for reuse and lookup; "" when unset.
  [[nodiscard]] const std::string& identifier() const noexcept { return mIdentifier; }
  void setIdentifier(std::string identifier) { mIdentifier = std::move(identifier); }

  // addSubview: appends `view` on top of the other subviews, removing it from
  // any earlier superview first.
  void addSubview(std::shared_ptr<View> view);
  [[nodiscard]] const std::vector<std::shared_ptr<View>>& subviews() const noexcept {
    return mSubviews;
  }
  // superview: non-owning; null for a view outside any hierarchy.
  [[nodiscard]] View* superview() const noexcept { return mSuperview; }
  // isDescendantOf: this view is `other` or lies inside it.
  [[nodiscard]] bool isDescendantOf(const View& other) const noexcept;

  // constraints: the constraints activated with this view as their nearest
  // common ancestor, in order of activation.
  [[nodiscard]] const std::vector<LayoutConstraint>& constraints() const noexcept {
    return mConstraints;
  }

  // Anchors for building constraints.
  [[nodiscard]] LayoutAnchor leadingAnchor() { return {this, LayoutAttribute::leading}; }
  [[nodiscard]] LayoutAnchor trailingAnchor() { return {this, LayoutAttribute::trailing}; }
  [[nodiscard]] LayoutAnchor topAnchor() { return {this, LayoutAttribute::top}; }
  [[nodiscard]] LayoutAnchor bottomAnchor() { return {this, LayoutAttribute::bottom}; }
  [[nodiscard]] LayoutAnchor widthAnchor() { return {this, LayoutAttribute::width}; }
  [[nodiscard]] LayoutAnchor heightAnchor() { return {this, LayoutAttribute::height}; }
  [[nodiscard]] LayoutAnchor centerXAnchor() { return {this, LayoutAttribute::centerX}; }
  [[nodiscard]] LayoutAnchor centerYAnchor() { return {this, LayoutAttribute::centerY}; }

 private:
  friend class LayoutConstraint;

  Rect mFrame;
  bool mHidden = false;
  bool mTranslatesAutoresizingMask = true;
  std::string mIdentifier;
  std::vector<std::shared_ptr<View>> mSubviews;
  View* mSuperview = nullptr;  // non-owning; null outside a hierarchy
  std::vector<LayoutConstraint> mConstraints;
};

// TextField: a label. Made by one of the two factories.
class TextField : public View {
 public:
  // labelWithString: a one-line label: clipped, not wrapping.
  [[nodiscard]] static std::shared_ptr<TextField> labelWithString(std::string_view text);
  // wrappingLabelWithString: a label that wraps at word boundaries.
  [[nodiscard]] static std::shared_ptr<TextField> wrappingLabelWithString(std::string_view text);

  [[nodiscard]] const std::string& stringValue() const noexcept { return mStringValue; }
  void setStringValue(std::string_view text) { mStringValue = text; }
  [[nodiscard]] const Font& font() const noexcept { return mFont; }
  void setFont(Font font) { mFont = font; }
  [[nodiscard]] Color textColor() const noexcept { return mTextColor; }
  void setTextColor(Color color) { mTextColor = color; }
  [[nodiscard]] LineBreakMode lineBreakMode() const noexcept { return mLineBreakMode; }
  void setLineBreakMode(LineBreakMode mode) { mLineBreakMode = mode; }
  [[nodiscard]] TextAlignment alignment() const noexcept { return mAlignment; }
  void setAlignment(TextAlignment alignment) { mAlignment = alignment; }
  [[nodiscard]] bool isWrapping() const noexcept {
    return mLineBreakMode == LineBreakMode::byWordWrapping;
  }

 private:
  std::string mStringValue;
  Font mFont;
  Color mTextColor = Color::labelColor;
  LineBreakMode mLineBreakMode = LineBreakMode::byClipping;
  TextAlignment mAlignment = TextAlignment::natural;
};

// ImageView: shows one image.
class ImageView : public View {
 public:
  [[nodiscard]] const ImagePtr& image() const noexcept { return mImage; }
  void setImage(ImagePtr image) { mImage = std::move(image); }
  [[nodiscard]] ImageScaling imageScaling() const noexcept { return mImageScaling; }
  void setImageScaling(ImageScaling scaling) { mImageScaling = scaling; }

 private:
  ImagePtr mImage;
  ImageScaling mImageScaling = ImageScaling::proportionallyDown;
};

enum class UserInterfaceLayoutOrientation { horizontal, vertical };

// StackView: lays out its arranged views in a row or a column.
class StackView : public View {
 public:
  // stackViewWithViews: a horizontal stack of `views`, each also a subview.
  [[nodiscard]] static std::shared_ptr<StackView> stackViewWithViews(
      const std::vector<std::shared_ptr<View>>& views);

  [[nodiscard]] const std::vector<std::shared_ptr<View>>& arrangedSubviews() const noexcept {
    return mArrangedSubviews;
  }
  [[nodiscard]] UserInterfaceLayoutOrientation orientation() const noexcept { return mOrientation; }
  void setOrientation(UserInterfaceLayoutOrientation orientation) { mOrientation = orientation; }
  // alignment: the attribute the arranged views line up on (centerY for a row).
  [[nodiscard]] LayoutAttribute alignment() const noexcept { return mAlignment; }
  void setAlignment(LayoutAttribute alignment) { mAlignment = alignment; }
  [[nodiscard]] double spacing() const noexcept { return mSpacing; }
  void setSpacing(double spacing) { mSpacing = spacing; }

 private:
  std::vector<std::shared_ptr<View>> mArrangedSubviews;
  UserInterfaceLayoutOrientation mOrientation = UserInterfaceLayoutOrientation::horizontal;
  LayoutAttribute mAlignment = LayoutAttribute::centerY;
  double mSpacing = 8;
};

enum class BorderType { noBorder, lineBorder, bezelBorder, grooveBorder };

// ScrollView: encloses one document view.
class ScrollView : public View {
 public:
  [[nodiscard]] const std::shared_ptr<View>& documentView() const noexcept { return mDocumentView; }
  void setDocumentView(std::shared_ptr<View> view);
  [[nodiscard]] bool hasVerticalScroller() const noexcept { return mHasVerticalScroller; }
  void setHasVerticalScroller(bool on) { mHasVerticalScroller = on; }
  [[nodiscard]] bool autohidesScrollers() const noexcept { return mAutohidesScrollers; }
  void setAutohidesScrollers(bool on) { mAutohidesScrollers = on; }
  [[nodiscard]] BorderType borderType() const noexcept { return mBorderType; }
  void setBorderType(BorderType type) { mBorderType = type; }
  [[nodiscard]] bool drawsBackground() const noexcept { return mDrawsBackground; }
  void setDrawsBackground(bool on) { mDrawsBackground = on; }

 private:
  std::shared_ptr<View> mDocumentView;
  bool mHasVerticalScroller = false;
  bool mAutohidesScrollers = false;
  BorderType mBorderType = BorderType::bezelBorder;
  bool mDrawsBackground = true;
};

// TableCellView: one cell of a table or outline row.
class TableCellView : public View {
 public:
  [[nodiscard]] const std::shared_ptr<TextField>& textField() const noexcept { return mTextField; }
  void setTextField(std::shared_ptr<TextField> field) { mTextField = std::move(field); }
  [[nodiscard]] const std::shared_ptr<ImageView>& imageView() const noexcept { return mImageView; }
  void setImageView(std::shared_ptr<ImageView> view) { mImageView = std::move(view); }

 private:
  // Outlets only: the cell's subviews own these.
  std::shared_ptr<TextField> mTextField;
  std::shared_ptr<ImageView> mImageView;
};

}  // namespace vexel::platform
