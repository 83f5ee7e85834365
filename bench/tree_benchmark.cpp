// Builds an archive tree from 1,000,000 entries laid out as 1,000 folders of
// 1,000 files, and reports the time per entry (build plus summary) and the
// heap bytes each node costs besides its path text (its object, its place in
// its folder's block of children, and what the arena wastes), and the size
// of the node object itself.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "model/archive_tree.h"

namespace {

std::vector<vexel::RawEntry> makeEntries(int folders, int filesPerFolder) {
  std::vector<vexel::RawEntry> entries;
  entries.reserve(static_cast<size_t>(folders) * static_cast<size_t>(filesPerFolder + 1));
  const auto date = std::chrono::sys_seconds(std::chrono::seconds(1'700'000'000));
  for (int f = 0; f < folders; ++f) {
    const std::string folder = "project/module-" + std::to_string(f);
    entries.push_back(vexel::RawEntry{.path = folder,
                                      .isDir = true,
                                      .size = 0,
                                      .modified = date,
                                      .crc = "",
                                      .encrypted = false,
                                      .method = ""});
    for (int i = 0; i < filesPerFolder; ++i) {
      entries.push_back(
          vexel::RawEntry{.path = folder + "/source-file-" + std::to_string(i) + ".txt",
                          .isDir = false,
                          .size = 1000 + i,
                          .modified = date,
                          .crc = "",
                          .encrypted = false,
                          .method = ""});
    }
  }
  return entries;
}

// heapInUse: bytes the heap has handed out, blocks mapped on their own (the
// tree's blocks of nodes, until glibc raises its mapping threshold) included.
size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The path text itself: what any tree must keep of its entries.
size_t pathTextBytes(const std::vector<vexel::RawEntry>& entries) {
  size_t bytes = 0;
  for (const auto& entry : entries) bytes += entry.path.size();
  return bytes;
}

void BM_BuildTree(benchmark::State& state) {
  const int folders = static_cast<int>(state.range(0));
  const int files = static_cast<int>(state.range(1));
  size_t nodes = 0;
  double bytesPerNode = 0;
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    const size_t before = heapInUse();
    std::vector<vexel::RawEntry> entries = makeEntries(folders, files);
    const size_t pathBytes = pathTextBytes(entries);
    state.ResumeTiming();

    auto tree =
        std::make_unique<vexel::ArchiveTree>(vexel::ArchiveProperties{}, std::move(entries));

    state.PauseTiming();
    benchmark::DoNotOptimize(tree->totalSize());
    // The entry list went with the constructor: what is left is the tree.
    const size_t after = heapInUse();
    nodes = static_cast<size_t>(tree->fileCount() + tree->dirCount() + 1);
    bytesPerNode = (static_cast<double>(after - before) - static_cast<double>(pathBytes)) /
                   static_cast<double>(nodes);
    tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * folders * (files + 1));
  // Seconds per entry (printed with an SI prefix: "400n" is 0.4 us).
  state.counters["time_per_entry"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * folders * (files + 1),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bytes_per_node"] = bytesPerNode;
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["node_object_bytes"] = static_cast<double>(sizeof(vexel::ArchiveNode));
}
BENCHMARK(BM_BuildTree)
    ->Args({1000, 1000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
