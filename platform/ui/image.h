// image.h: an image as the components see it.
//
// Icons here are not pixels: an `Image` carries the type identifier it was
// made for ("public.folder", "com.apple.application-bundle"), which is what
// a renderer prints and a test compares. Icons come from workspace.h.
//
//   auto icon = std::make_shared<const Image>("public.jpeg");
//
// Immutable; shared between views through shared_ptr<const Image>.
#pragma once

#include <memory>
#include <string>

namespace vexel::platform {

// Image: an icon for one type identifier.
class Image {
 public:
  explicit Image(std::string typeIdentifier) : mTypeIdentifier(std::move(typeIdentifier)) {}

  // typeIdentifier: the type the icon stands for.
  [[nodiscard]] const std::string& typeIdentifier() const noexcept { return mTypeIdentifier; }

 private:
  std::string mTypeIdentifier;
};

using ImagePtr = std::shared_ptr<const Image>;

}  // namespace vexel::platform
