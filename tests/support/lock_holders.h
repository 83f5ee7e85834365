// forEachLockMode: runs `body` once per way a host's other threads may hold
// the C library's own locks while ours work: idle, in the time zone
// (localtime_r + mktime), in the converters (iconv_open/iconv_close), and
// in all of those plus malloc. Two threads per kind of work spin until
// `body` returns; the mode's name is a SCOPED_TRACE.
//
//   test::forEachLockMode([&] { EXPECT_EQ(completeListings(15), 15); });
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

namespace vexel::test {

inline void forEachLockMode(const std::function<void()>& body) {
  const auto timeWork = [] {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    (void)std::mktime(&local);
  };
  const auto converterWork = [] {
    const iconv_t converter = ::iconv_open("UTF-8", "GB18030");
    if (converter != reinterpret_cast<iconv_t>(-1)) ::iconv_close(converter);
  };
  const auto mallocWork = [] {
    std::vector<void*> blocks;
    for (std::size_t size = 16; size < (std::size_t{1} << 20); size *= 3)
      blocks.push_back(std::malloc(size));
    for (void* block : blocks) std::free(block);
  };
  struct Mode {
    const char* name;
    std::vector<std::function<void()>> work;
  };
  const Mode modes[] = {
      {"idle", {}},
      {"localtime_r+mktime", {timeWork}},
      {"iconv_open/iconv_close", {converterWork}},
      {"all with malloc", {timeWork, converterWork, mallocWork}},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.name);
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (const auto& work : mode.work) {
      for (int copy = 0; copy < 2; ++copy) {
        busy.emplace_back([&stop, &work] {
          while (!stop.load(std::memory_order_relaxed)) work();
        });
      }
    }
    body();
    stop.store(true);
    for (std::thread& thread : busy) thread.join();
  }
}

}  // namespace vexel::test
