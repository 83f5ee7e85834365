// process_census.h: what runs in and beside this test process, to check
// that a listing left nothing of ours behind after its call returned.
//
//   vexel::test::ProcessCensus::mark();   // before the first listing
//   const auto before = vexel::test::ProcessCensus::take();
//   extract(hostile);
//   EXPECT_TRUE(vexel::test::ProcessCensus::settlesTo(before)) << ...;
//
// Linux only (/proc); one object per test thread.
#pragma once

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace vexel::test {

// ProcessCensus: this process's threads and CPU time, and the processes
// forked from it (which carry its mark) besides itself.
struct ProcessCensus {
  int threads = 0;
  int forks = 0;
  double cpuSeconds = 0;

  // mark: puts this process's id into its environment, which every fork
  // made from now on inherits. Call before anything forks.
  static void mark() { setenv("VEXEL_TEST_CENSUS", std::to_string(getpid()).c_str(), 1); }

  [[nodiscard]] static ProcessCensus take() {
    ProcessCensus census;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      (void)task;
      ++census.threads;
    }
    const std::string ownId = std::to_string(getpid());
    const std::string markEntry = "VEXEL_TEST_CENSUS=" + ownId;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
      const std::string name = process.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos || name == ownId) continue;
      std::ifstream environment(process.path() / "environ", std::ios::binary);
      for (std::string entry; std::getline(environment, entry, '\0');) {
        if (entry == markEntry) {
          ++census.forks;
          break;
        }
      }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    census.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return census;
  }

  // settlesTo: true once, within `patience`, this process has no more
  // threads and forks than `before` and uses (almost) no CPU for a second.
  [[nodiscard]] static bool settlesTo(const ProcessCensus& before,
                                      std::chrono::seconds patience = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + patience;
    do {
      const ProcessCensus start = take();
      std::this_thread::sleep_for(std::chrono::seconds(1));
      const ProcessCensus now = take();
      if (now.threads <= before.threads && now.forks <= before.forks &&
          now.cpuSeconds - start.cpuSeconds < 0.05)
        return true;
    } while (std::chrono::steady_clock::now() < end);
    return false;
  }
};

}  // namespace vexel::test
