// task_handle.h: a cancellable handle on the external archiver's child.
//
// The code that runs a child and any code that may stop it share one
// `TaskHandle` through a std::shared_ptr. `ProcessRunner::run`
// (process_runner.h) attaches its child before starting it and detaches it at
// the end; `cancel()` asks the attached child's whole process group to
// terminate and marks the handle cancelled for good.
//
//   auto task = std::make_shared<vexel::TaskHandle>();
//   std::thread worker([task] { vexel::ProcessRunner::run(tool, args, {}, task); });
//   task->cancel();  // from any thread; run() then throws ArchiveError::cancelled()
//
// Every member may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace vexel {

class ProcessRunner;
class ChildProcess;  // process/child_process.h

// TaskHandle: the cancelled mark and the child currently attached. A handle
// may serve several runs one after another; once cancelled, every later run
// with it fails at once. Neither copyable nor movable: it is shared by pointer.
class TaskHandle {
 public:
  TaskHandle() = default;
  TaskHandle(const TaskHandle&) = delete;
  TaskHandle& operator=(const TaskHandle&) = delete;
  TaskHandle(TaskHandle&&) = delete;
  TaskHandle& operator=(TaskHandle&&) = delete;
  ~TaskHandle() = default;

  // isCancelled: whether cancel() has been called.
  [[nodiscard]] bool isCancelled() const;

  // cancelledFlag: raised by cancel(), for work in this process that
  // checks it while it runs (an extraction's reads and writes). It lives as
  // long as the handle.
  [[nodiscard]] const std::atomic<bool>& cancelledFlag() const noexcept { return mCancelledFlag; }

  // cancel: marks the handle cancelled and asks the attached child, if it is
  // running, to terminate (SIGTERM to its process group). A child attached
  // but not yet started is left to run; its run then throws cancelled.
  // Calling it again is harmless.
  void cancel();

 private:
  // Only the runner attaches and detaches its children.
  friend class ProcessRunner;

  // attach: makes `process` the attached child, replacing any earlier one.
  // @throws ArchiveError (cancelled) when the handle is already cancelled.
  void attach(std::shared_ptr<ChildProcess> process);

  // detach: drops the attached child, if any.
  void detach();

  mutable std::mutex mLock;
  std::shared_ptr<ChildProcess> mProcess;    ///< guarded by mLock
  bool mCancelled = false;                   ///< guarded by mLock; never cleared
  std::atomic<bool> mCancelledFlag = false;  ///< mCancelled, for lock-free readers
};

}  // namespace vexel
