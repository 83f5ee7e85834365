// cf_ref.h: ownership of CoreFoundation objects in C++.
//
//   vexel::spotlight_internal::CFRef<CFStringRef> text(CFStringCreateWithCString(...));
//   CFDictionarySetValue(attributes, kMDItemTextContent, text.get());
//
// One owner per object; hand it between threads like any unique_ptr.
#pragma once

#include <memory>
#include <type_traits>

#include "corefoundation/core_foundation.h"

namespace vexel::spotlight_internal {

struct CFReleaser {
  void operator()(const void* object) const noexcept { CFRelease(object); }
};

// CFRef: owns one retain of a CF object (from a Create call) and releases it.
template <typename Ref>
using CFRef = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

}  // namespace vexel::spotlight_internal
