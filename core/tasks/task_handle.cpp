#include "tasks/task_handle.h"

#include "process/child_process.h"
#include "readers/archive_error.h"

#include <utility>

namespace vexel {

bool TaskHandle::isCancelled() const {
  const std::lock_guard lock(mLock);
  return mCancelled;
}

void TaskHandle::cancel() {
  std::shared_ptr<ChildProcess> process;
  {
    const std::lock_guard lock(mLock);
    mCancelled = true;
    mCancelledFlag.store(true);
    process = std::move(mProcess);
  }
  // Signalled outside the handle's lock: the child has a lock of its own
  // that keeps its process group from being reaped while it is signalled.
  if (process) process->terminate();
}

void TaskHandle::attach(std::shared_ptr<ChildProcess> process) {
  const std::lock_guard lock(mLock);
  if (mCancelled) throw ArchiveError::cancelled();
  mProcess = std::move(process);
}

void TaskHandle::detach() {
  const std::lock_guard lock(mLock);
  mProcess.reset();
}

}  // namespace vexel
