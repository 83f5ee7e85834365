// dispatch_queue.h: queues of work blocks, submitted asynchronously.
//
// The main queue is a run loop that its host drains: blocks submitted to it
// run, in order, on the thread that calls `drain` or `runUntil` (the host's
// main thread). Global queues run blocks concurrently on worker threads, by
// quality of service. A `DispatchQueue` made with a label is a serial queue
// that runs only when drained by hand, for tests.
//
//   DispatchQueue::global(QualityOfService::userInitiated).async([=] {
//     auto result = work();
//     DispatchQueue::main().async([=] { show(result); });
//   });
//   DispatchQueue::main().runUntil([&] { return done; });
//
// Threading: `async` may be called from any thread. `drain` and `runUntil`
// of the main queue belong to the host's main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexel::platform {

// QualityOfService: the priority classes of global queues.
enum class QualityOfService { userInteractive, userInitiated, utility, background };

// DispatchQueue: a queue of blocks. Main and hand-drained queues are serial;
// global queues are concurrent.
class DispatchQueue {
 public:
  using Block = std::function<void()>;

  // DispatchQueue: a serial queue that runs only when drained by hand.
  explicit DispatchQueue(std::string label);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // main: the process's main queue, drained by the host.
  [[nodiscard]] static DispatchQueue& main();
  // global: the concurrent queue of that quality of service, backed by
  // worker threads that start on first use.
  [[nodiscard]] static DispatchQueue& global(
      QualityOfService qos = QualityOfService::userInitiated);

  // async: schedules the block and returns at once. Any thread.
  void async(Block block);

  // drain: runs the blocks pending now and those they submit, on the calling
  // thread, until the queue is empty; returns how many ran. Serial queues only.
  std::size_t drain();

  // runUntil: runs blocks as they arrive, on the calling thread, until `done`
  // holds (checked before waiting and after each block) or the timeout
  // passes; returns whether `done` held. Serial queues only.
  bool runUntil(const std::function<bool()>& done,
                std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  // label: the name given at creation ("main", "global.userInitiated", ...).
  [[nodiscard]] const std::string& label() const noexcept { return mLabel; }
  // isRunningBlock: the calling thread is inside a block of this serial queue.
  [[nodiscard]] bool isRunningBlock() const noexcept;

 private:
  struct Workers;
  DispatchQueue(std::string label, std::size_t workerCount);
  [[nodiscard]] std::optional<Block> popBlock();
  void runBlock(Block& block);

  std::string mLabel;
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::deque<Block> mPending;
  std::unique_ptr<Workers> mWorkers;  ///< only global queues have workers
  std::size_t mWorkerCount = 0;
};

}  // namespace vexel::platform
