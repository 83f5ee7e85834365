#include "record_allocator.h"

#include <cstdlib>

namespace vexel::spotlight_internal {

namespace {
RecordAllocator currentAllocator = &std::malloc;
}  // namespace

void* allocateRecord(std::size_t size) noexcept { return currentAllocator(size); }

void setRecordAllocator(RecordAllocator allocator) noexcept {
  currentAllocator = allocator != nullptr ? allocator : &std::malloc;
}

}  // namespace vexel::spotlight_internal
