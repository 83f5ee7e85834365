// A host of the readers lists while its other threads do ordinary C library
// work that takes the library's own locks (the time zone, the converters,
// malloc): every listing completes, whatever those threads hold meanwhile,
// and none runs in a fork of the host (where such a lock would stay held).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/lock_holders.h"
#include "support/process_census.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

TEST(ListingIsolation, EveryListingCompletesWhileOtherThreadsHoldLibraryLocks) {
  test::ProcessCensus::mark();
  const test::TempDir dir;
  std::vector<test::ZipEntry> entries;
  for (int i = 0; i < 30; ++i)
    entries.push_back({.name = "f" + std::to_string(i) + ".txt", .data = "x"});
  const auto zip = dir.path() / "probe.zip";
  test::writeFile(zip, test::zipBytes(entries));

  test::forEachLockMode([&] {
    int complete = 0;
    for (int run = 0; run < 15; ++run) {
      const ExtensionArchive::Listing listing = ExtensionArchive::list(zip, 10.0);
      if (listing.complete && listing.tree->root().fileCount() == 30) ++complete;
    }
    EXPECT_EQ(complete, 15);
    // Nothing was forked to list: no copy of this process holds its locks.
    EXPECT_EQ(test::ProcessCensus::take().forks, 0);
  });
}

}  // namespace
}  // namespace vexel
