// A host of the readers lists while its other threads do ordinary C library
// work that takes the library's own locks (the time zone, the converters,
// malloc): every listing completes, whatever those threads hold meanwhile,
// and none runs in a fork of the host (where such a lock would stay held).
#include <gtest/gtest.h>
#include <iconv.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/process_census.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

void timeWork() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  (void)std::mktime(&local);
}

void converterWork() {
  const iconv_t converter = ::iconv_open("UTF-8", "GB18030");
  if (converter != reinterpret_cast<iconv_t>(-1)) ::iconv_close(converter);
}

void mallocWork() {
  std::vector<void*> blocks;
  for (std::size_t size = 16; size < (std::size_t{1} << 20); size *= 3)
    blocks.push_back(std::malloc(size));
  for (void* block : blocks) std::free(block);
}

TEST(ListingIsolation, EveryListingCompletesWhileOtherThreadsHoldLibraryLocks) {
  test::ProcessCensus::mark();
  const test::TempDir dir;
  std::vector<test::ZipEntry> entries;
  for (int i = 0; i < 30; ++i)
    entries.push_back({.name = "f" + std::to_string(i) + ".txt", .data = "x"});
  const auto zip = dir.path() / "probe.zip";
  test::writeFile(zip, test::zipBytes(entries));

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
    int complete = 0;
    for (int run = 0; run < 15; ++run) {
      const ExtensionArchive::Listing listing = ExtensionArchive::list(zip, 10.0);
      if (listing.complete && listing.tree->root().fileCount() == 30) ++complete;
    }
    // Nothing was forked to list: no copy of this process holds its locks.
    const int forks = test::ProcessCensus::take().forks;
    stop.store(true);
    for (std::thread& thread : busy) thread.join();
    EXPECT_EQ(complete, 15);
    EXPECT_EQ(forks, 0);
  }
}

}  // namespace
}  // namespace vexel
