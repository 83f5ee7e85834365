// record_allocator.h: where the importer's instance records come from.
//
// Records come from `malloc` and go back with `free`. Tests replace the
// allocator to see what the factory does when there is no memory.
// Not thread-safe: set it before any factory call.
#pragma once

#include <cstddef>

namespace vexel::spotlight_internal {

// RecordAllocator: returns `size` bytes that `free` accepts, or null.
using RecordAllocator = void* (*)(std::size_t size);

// allocateRecord: `size` bytes from the current allocator, or null.
[[nodiscard]] void* allocateRecord(std::size_t size) noexcept;

// setRecordAllocator: replaces the allocator; null restores `malloc`.
void setRecordAllocator(RecordAllocator allocator) noexcept;

}  // namespace vexel::spotlight_internal
