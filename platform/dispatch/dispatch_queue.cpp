#include "dispatch/dispatch_queue.h"

#include <algorithm>
#include <array>
#include <cassert>

namespace vexel::platform {
namespace {

// The serial queue whose block the calling thread is running, if any.
thread_local const DispatchQueue* tRunningQueue = nullptr;

std::size_t workerCountForHost() {
  const unsigned hardware = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(hardware, 2, 8);
}

}  // namespace

struct DispatchQueue::Workers {
  std::vector<std::thread> threads;
  bool stopping = false;
};

DispatchQueue::DispatchQueue(std::string label) : mLabel(std::move(label)) {}

DispatchQueue::DispatchQueue(std::string label, std::size_t workerCount)
    : mLabel(std::move(label)), mWorkerCount(workerCount) {}

DispatchQueue::~DispatchQueue() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mMutex);
    if (!mWorkers) return;
    mWorkers->stopping = true;
    threads = std::move(mWorkers->threads);
  }
  mChanged.notify_all();
  // Workers finish the block they run; blocks still pending are dropped.
  for (std::thread& thread : threads) thread.join();
}

DispatchQueue& DispatchQueue::main() {
  static DispatchQueue queue("main");
  return queue;
}

DispatchQueue& DispatchQueue::global(QualityOfService qos) {
  // The main queue is made first so that it outlives the workers at exit:
  // a worker's last block may still hand its result to the main queue.
  static DispatchQueue& mainQueue = main();
  (void)mainQueue;
  static std::array<DispatchQueue, 4> queues = {
      DispatchQueue("global.userInteractive", workerCountForHost()),
      DispatchQueue("global.userInitiated", workerCountForHost()),
      DispatchQueue("global.utility", workerCountForHost()),
      DispatchQueue("global.background", workerCountForHost())};
  return queues[static_cast<std::size_t>(qos)];
}

void DispatchQueue::async(Block block) {
  {
    std::lock_guard lock(mMutex);
    mPending.push_back(std::move(block));
    if (mWorkerCount > 0 && !mWorkers) {
      mWorkers = std::make_unique<Workers>();
      for (std::size_t i = 0; i < mWorkerCount; ++i) {
        mWorkers->threads.emplace_back([this] {
          std::unique_lock workerLock(mMutex);
          for (;;) {
            mChanged.wait(workerLock, [this] { return mWorkers->stopping || !mPending.empty(); });
            if (mWorkers->stopping) return;
            Block next = std::move(mPending.front());
            mPending.pop_front();
            workerLock.unlock();
            next();
            // The block's captures are released here, off the lock.
            next = nullptr;
            workerLock.lock();
          }
        });
      }
    }
  }
  mChanged.notify_one();
}

std::optional<DispatchQueue::Block> DispatchQueue::popBlock() {
  std::lock_guard lock(mMutex);
  if (mPending.empty()) return std::nullopt;
  Block block = std::move(mPending.front());
  mPending.pop_front();
  return block;
}

void DispatchQueue::runBlock(Block& block) {
  const DispatchQueue* outer = tRunningQueue;
  tRunningQueue = this;
  block();
  block = nullptr;  // release captures while still marked as this queue's block
  tRunningQueue = outer;
}

std::size_t DispatchQueue::drain() {
  assert(mWorkerCount == 0 && "only serial queues are drained by hand");
  std::size_t ran = 0;
  while (auto block = popBlock()) {
    runBlock(*block);
    ++ran;
  }
  return ran;
}

bool DispatchQueue::runUntil(const std::function<bool()>& done,
                             std::optional<std::chrono::milliseconds> timeout) {
  assert(mWorkerCount == 0 && "only serial queues are drained by hand");
  const auto deadline =
      std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
  for (;;) {
    if (done()) return true;
    std::optional<Block> block;
    {
      std::unique_lock lock(mMutex);
      const auto ready = [this] { return !mPending.empty(); };
      if (timeout) {
        if (!mChanged.wait_until(lock, deadline, ready)) return done();
      } else {
        mChanged.wait(lock, ready);
      }
      block = std::move(mPending.front());
      mPending.pop_front();
    }
    runBlock(*block);
  }
}

bool DispatchQueue::isRunningBlock() const noexcept { return tRunningQueue == this; }

}  // namespace vexel::platform
