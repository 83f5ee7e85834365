// list_once [--libarchive-xz] FILE SECONDS: one `ExtensionArchive::list`
// call, timed.
//
//   build/bench/list_once big.tar.bz2 3.0
//   -> entries=1 complete=false type="TAR + BZip2" seconds=3.004 peak_rss_kb=...
//
// For a multi-block .xz file it adds what the block reader decoded.
// --libarchive-xz lists as the lister did before it read .xz files by
// blocks: libarchive's own xz filter decompresses everything.
// For the time-limit measurements in bench/; exit 1 when the listing throws.
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "readers/internal/input_file.h"
#include "readers/internal/listing_seams.h"

int main(int argc, char** argv) {
  const bool isLibarchiveXz = argc == 4 && std::string_view(argv[1]) == "--libarchive-xz";
  if (argc != 3 && !isLibarchiveXz) {
    std::fprintf(stderr, "usage: list_once [--libarchive-xz] FILE SECONDS\n");
    return 2;
  }
  const char* file = argv[argc - 2];
  setenv("TZ", ":/etc/localtime", 0);
  const double limit = std::stod(argv[argc - 1]);
  const auto start = std::chrono::steady_clock::now();
  namespace internal = vexel::readers_internal;
  auto stats = std::make_shared<internal::XzStreamStats>();
  try {
    const auto listing = internal::listWithSource(
        file, limit, nullptr,
        [&](const std::filesystem::path& path, std::unique_ptr<internal::InputFile> input) {
          return internal::makeLibarchiveSource(
              path, std::move(input), {.readsXzBlocks = !isLibarchiveXz, .xz = {.stats = stats}});
        });
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("entries=%lld complete=%s type=\"%s\" seconds=%.3f peak_rss_kb=%ld",
                static_cast<long long>(listing.tree->fileCount() + listing.tree->dirCount()),
                listing.complete ? "true" : "false", listing.typeName.c_str(), elapsed.count(),
                usage.ru_maxrss);
    // What the .xz block reader did, when it read the file.
    if (stats->blocksDecoded > 0) {
      std::printf(" xz_blocks_decoded=%lld xz_bytes_decoded=%lld xz_skips=%lld",
                  static_cast<long long>(stats->blocksDecoded.load()),
                  static_cast<long long>(stats->bytesDecoded.load()),
                  static_cast<long long>(stats->skips.load()));
    }
    std::printf("\n");
    return 0;
  } catch (const vexel::ArchiveError& error) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("error=\"%s\" seconds=%.3f\n", error.message().c_str(), elapsed.count());
    return 1;
  }
}
