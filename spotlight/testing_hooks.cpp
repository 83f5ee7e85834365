// testing_hooks.cpp: what the test build of the plug-in exports besides the
// factory. Never part of the shipped library.
#include "internal/record_allocator.h"

extern "C" {

// VexelSpotlightSetRecordAllocator: replaces the allocator of instance
// records (null restores malloc).
__attribute__((visibility("default"))) void VexelSpotlightSetRecordAllocator(
    void* (*allocator)(std::size_t size)) noexcept;

void VexelSpotlightSetRecordAllocator(void* (*allocator)(std::size_t size)) noexcept {
  vexel::spotlight_internal::setRecordAllocator(allocator);
}

}  // extern "C"
