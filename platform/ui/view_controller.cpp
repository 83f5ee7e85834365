#include "ui/view_controller.h"

namespace vexel::platform {

ViewController::~ViewController() = default;

const std::shared_ptr<View>& ViewController::view() {
  if (!mView) {
    loadView();
    // A loadView that sets nothing still leaves a view, as the platform does.
    if (!mView) mView = std::make_shared<View>();
  }
  return mView;
}

void ViewController::loadView() { setView(std::make_shared<View>()); }

}  // namespace vexel::platform
