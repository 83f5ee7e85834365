// view_controller.h: the base of controllers that own a view.
//
// A `ViewController` makes its view on first request through `loadView`,
// which subclasses override to build their hierarchy and call `setView`.
//
//   class MyController : public ViewController { void loadView() override; };
//   controller.view();   // builds the view once
//
// Main thread only.
#pragma once

#include <memory>

#include "ui/view.h"

namespace vexel::platform {

// ViewController: owns one root view, made lazily.
class ViewController {
 public:
  ViewController() = default;
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // view: the root view, loading it first if needed (calls `loadView` once).
  [[nodiscard]] const std::shared_ptr<View>& view();
  [[nodiscard]] bool isViewLoaded() const noexcept { return mView != nullptr; }
  void setView(std::shared_ptr<View> view) { mView = std::move(view); }

  // loadView: builds the root view and calls `setView`. The base makes an
  // empty view.
  virtual void loadView();

  [[nodiscard]] Size preferredContentSize() const noexcept { return mPreferredContentSize; }
  void setPreferredContentSize(Size size) { mPreferredContentSize = size; }

 private:
  std::shared_ptr<View> mView;
  Size mPreferredContentSize;
};

}  // namespace vexel::platform
