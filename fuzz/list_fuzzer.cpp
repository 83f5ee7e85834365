// list_fuzzer: arbitrary bytes as an archive file for the in-process lister.
//
//   cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
//   -DVEXEL_FUZZ=ON cmake --build build-fuzz --target list_fuzzer list_fuzzer_seeds
//   build-fuzz/fuzz/list_fuzzer -max_total_time=60 build-fuzz/fuzz/list_corpus
//
// The lister only takes file paths, so each input is written to one private
// temporary file. Only `ArchiveError` may leave the lister; anything else
// (a crash, a sanitizer report, another exception) is a finding. The
// listing runs on a worker thread of this process (the overload with a
// clock, which leaves out the memory watch), so the fuzzer sees
// libarchive's coverage and its crashes.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"

namespace {

// inputFile: the descriptor and path of this process's scratch file.
const std::string& inputPath(int& fd) {
  static int scratch = -1;
  static const std::string path = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vexel-fuzz-XXXXXX.bin").string();
    scratch = mkstemps(pattern.data(), 4);
    if (scratch < 0) {
      std::perror("mkstemps");
      std::abort();
    }
    std::atexit([] { std::remove(path.c_str()); });
    return pattern;
  }();
  fd = scratch;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = -1;
  const std::string& path = inputPath(fd);
  if (ftruncate(fd, 0) != 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }
  try {
    const auto listing =
        vexel::ExtensionArchive::list(path, 5.0, [] { return std::chrono::steady_clock::now(); });
    // Touch the result so the tree is walked as a caller would.
    std::size_t nodes = listing.tree->root().descendants().size();
    if (listing.tree->fileCount() + listing.tree->dirCount() != static_cast<std::int64_t>(nodes)) {
      std::abort();
    }
  } catch (const vexel::ArchiveError&) {
  }
  return 0;
}
