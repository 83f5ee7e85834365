// stopper.h: the cancel flag that extraction and adoption look at between
// blocks, from a task handle or, without one, a flag never raised.
//
//   const Stopper stopper(task);
//   stopper.throwIfCancelled();  // ArchiveError::cancelled() once the task is cancelled
#pragma once

#include <atomic>
#include <memory>

#include "readers/archive_error.h"
#include "tasks/task_handle.h"

namespace vexel::extraction_internal {

// Stopper: the cancel flag of the task, or one that is never raised.
class Stopper {
 public:
  explicit Stopper(const std::shared_ptr<TaskHandle>& task)
      : mFlag(task ? &task->cancelledFlag() : &mNever) {}
  [[nodiscard]] const std::atomic<bool>& flag() const noexcept { return *mFlag; }
  void throwIfCancelled() const {
    if (mFlag->load(std::memory_order_relaxed)) throw ArchiveError::cancelled();
  }

 private:
  std::atomic<bool> mNever{false};
  const std::atomic<bool>* mFlag;
};

}  // namespace vexel::extraction_internal
