// Many runs in a row, and cancel() racing the start and end of runs.
#include "archiver/process_runner.h"
#include "readers/archive_error.h"
#include "support/print.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <random>
#include <thread>

namespace vexel {
namespace {

const std::filesystem::path kFake = VEXEL_FAKE_ARCHIVER;

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// No child of this process is left unreaped.
void expectNoZombie() {
  int status = 0;
  const pid_t pid = waitpid(-1, &status, WNOHANG);
  EXPECT_TRUE(pid == 0 || (pid < 0 && errno == ECHILD)) << "reaped a leftover child " << pid;
}

TEST(ProcessRunnerStress, SequentialRunsLeakNothing) {
  // One run first, so lazily opened descriptors of the process are in place.
  (void)ProcessRunner::run(kFake, {"out:warm"});
  const size_t before = openDescriptors();
  auto task = std::make_shared<TaskHandle>();
  for (int i = 0; i < 1000; ++i) {
    const bool withTask = i % 2 == 0;
    const RunResult result = ProcessRunner::run(
        kFake, {"out:" + std::to_string(i) + "%", "err:e", "exit:" + std::to_string(i % 3)},
        std::nullopt, withTask ? task : nullptr, [](double) {});
    ASSERT_EQ(result.stdout, std::to_string(i) + "%");
    ASSERT_EQ(result.stderr, "e");
    ASSERT_EQ(result.status, i % 3);
    if (i % 100 == 0) {
      try {
        (void)ProcessRunner::run("/nonexistent/tool", {});
      } catch (const ArchiveError&) {
      }
    }
  }
  EXPECT_EQ(openDescriptors(), before);
  expectNoZombie();
}

TEST(ProcessRunnerStress, CancelRacesEndCleanly) {
  const size_t before = openDescriptors();
  std::mt19937 random(7);
  int cancelled = 0, finished = 0;
  for (int i = 0; i < 200; ++i) {
    auto task = std::make_shared<TaskHandle>();
    const int delayMicros = static_cast<int>(random() % 3000);
    // Short runs, some with a helper holding the pipes for a while.
    std::vector<std::string> actions{"out:1%", "sleep:" + std::to_string(random() % 3), "out:50%"};
    if (i % 4 == 0) actions.insert(actions.begin(), "holder:20");
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(delayMicros));
      task->cancel();
    });
    try {
      const RunResult result =
          ProcessRunner::run(kFake, actions, std::nullopt, task, [](double) {});
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.stdout, "1%50%");
      ++finished;
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error, ArchiveError::cancelled());
      ++cancelled;
    }
    canceller.join();
  }
  EXPECT_EQ(cancelled + finished, 200);
  EXPECT_EQ(openDescriptors(), before);
  expectNoZombie();
}

// A child may print, and be cancelled for it, before the runner has noted
// its process id; that cancel must still end it.
TEST(ProcessRunnerStress, CancelOnTheFirstOutputAlwaysEndsTheChild) {
  for (int i = 0; i < 300; ++i) {
    auto task = std::make_shared<TaskHandle>();
    const auto started = std::chrono::steady_clock::now();
    try {
      (void)ProcessRunner::run(kFake, {"out:1%", "sleep:60000"}, std::nullopt, task,
                               [&](double) { task->cancel(); });
      ADD_FAILURE() << "run " << i << " was not cancelled";
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error, ArchiveError::cancelled());
    }
    // Not a timing test: a lost cancel would only end after a minute.
    ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "run " << i;
  }
  expectNoZombie();
}

}  // namespace
}  // namespace vexel
