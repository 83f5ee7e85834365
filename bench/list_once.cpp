// list_once FILE SECONDS: one `ExtensionArchive::list` call, timed.
//
//   build/bench/list_once big.tar.bz2 3.0
//   -> entries=1 complete=false type="TAR + BZip2" seconds=3.004 peak_rss_kb=...
//
// For the time-limit measurements in bench/; exit 1 when the listing throws.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: list_once FILE SECONDS\n");
    return 2;
  }
  setenv("TZ", ":/etc/localtime", 0);
  const double limit = std::stod(argv[2]);
  const auto start = std::chrono::steady_clock::now();
  try {
    const auto listing = vexel::ExtensionArchive::list(argv[1], limit);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("entries=%lld complete=%s type=\"%s\" seconds=%.3f peak_rss_kb=%ld\n",
                static_cast<long long>(listing.tree->fileCount() + listing.tree->dirCount()),
                listing.complete ? "true" : "false", listing.typeName.c_str(), elapsed.count(),
                usage.ru_maxrss);
    return 0;
  } catch (const vexel::ArchiveError& error) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("error=\"%s\" seconds=%.3f\n", error.message().c_str(), elapsed.count());
    return 1;
  }
}
