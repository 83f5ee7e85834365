#include "dispatch/dispatch_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vexel::platform {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, SerialQueueRunsInOrderOnlyWhenDrained) {
  DispatchQueue queue("test");
  std::vector<int> ran;
  queue.async([&] {
    ran.push_back(1);
    queue.async([&] { ran.push_back(3); });  // submitted while draining: same drain
  });
  queue.async([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(queue.drain(), 3U);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue.drain(), 0U);
}

TEST(DispatchQueue, GlobalWorkHandsBackToTheMainQueue) {
  const auto mainThread = std::this_thread::get_id();
  constexpr int kBlocks = 16;
  std::atomic<int> offMain{0};
  int handedBack = 0;
  for (int i = 0; i < kBlocks; ++i) {
    DispatchQueue::global(QualityOfService::userInitiated).async([&] {
      if (std::this_thread::get_id() != mainThread) ++offMain;
      DispatchQueue::main().async([&] {
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        EXPECT_TRUE(DispatchQueue::main().isRunningBlock());
        ++handedBack;
      });
    });
  }
  ASSERT_TRUE(DispatchQueue::main().runUntil([&] { return handedBack == kBlocks; }, 60s));
  EXPECT_EQ(offMain.load(), kBlocks);
  EXPECT_FALSE(DispatchQueue::main().isRunningBlock());
}

TEST(DispatchQueue, RunUntilGivesUpAfterTheTimeout) {
  DispatchQueue queue("idle");
  EXPECT_FALSE(queue.runUntil([] { return false; }, 1ms));
  EXPECT_TRUE(queue.runUntil([] { return true; }, 0ms));
}

}  // namespace
}  // namespace vexel::platform
