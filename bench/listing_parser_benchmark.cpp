// Parsing the technical listing of a 1,000,000-entry archive, in the shape
// `7zz l -slt` prints for a solid 7z archive. Reports bytes per second.
//
//   build/bench/listing_parser_benchmark
#include "archiver/listing_parser.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

constexpr int kEntries = 1'000'000;
constexpr int kFilesPerBlock = 100;
constexpr int kFilesPerFolder = 50;

std::string makeListing() {
  std::string text =
      "\n7-Zip (z) 26.02 (x64) : Copyright (c) 1999-2026 Igor Pavlov : 2026-06-25\n"
      " 64-bit locale=en_US.UTF-8 Threads:2 OPEN_MAX:20000\n\nScanning the drive for archives:\n"
      "1 file, 123456789 bytes (118 MiB)\n\nListing archive: big.7z\n\n--\nPath = big.7z\nType = "
      "7z\n"
      "Physical Size = 123456789\nHeaders Size = 9876543\nMethod = LZMA2:24\nSolid = +\nBlocks = "
      "19608\n\n"
      "----------\n";
  text.reserve(static_cast<size_t>(kEntries) * 260);
  std::mt19937_64 random(1);
  char entry[512];
  int block = 0;
  int inBlock = 0;
  for (int i = 0; i < kEntries; ++i) {
    const int folder = i / kFilesPerFolder;
    // Dates spread over 2000-2025, local wall-clock time as the tool prints it.
    const unsigned year = 2000 + static_cast<unsigned>(random() % 26);
    const unsigned month = 1 + static_cast<unsigned>(random() % 12);
    const unsigned day = 1 + static_cast<unsigned>(random() % 28);
    const unsigned seconds = static_cast<unsigned>(random() % 86400);
    if (i % kFilesPerFolder == 0) {
      std::snprintf(
          entry, sizeof entry,
          "Path = project/module%04d/src%05d\nSize = 0\nPacked Size = 0\n"
          "Modified = %04u-%02u-%02u %02u:%02u:%02u.1234567\nAttributes = D drwxr-xr-x\nCRC = \n"
          "Encrypted = -\nMethod = \nBlock = \n\n",
          folder / 100, folder, year, month, day, seconds / 3600, seconds / 60 % 60, seconds % 60);
      text += entry;
      continue;
    }
    const unsigned long long size = random() % 200000;
    char packed[32] = "";
    if (inBlock == 0) std::snprintf(packed, sizeof packed, "%llu", size * kFilesPerBlock / 3);
    std::snprintf(
        entry, sizeof entry,
        "Path = project/module%04d/src%05d/file_%07d.cpp\nSize = %llu\nPacked Size = %s\n"
        "Modified = %04u-%02u-%02u %02u:%02u:%02u.%07u\nAttributes = A -rw-r--r--\nCRC = %08X\n"
        "Encrypted = -\nMethod = LZMA2:24\nBlock = %d\n\n",
        folder / 100, folder, i, size, packed, year, month, day, seconds / 3600, seconds / 60 % 60,
        seconds % 60, static_cast<unsigned>(random() % 10000000), static_cast<unsigned>(random()),
        block);
    text += entry;
    if (++inBlock == kFilesPerBlock) {
      inBlock = 0;
      ++block;
    }
  }
  return text;
}

const std::string& listing() {
  static const std::string text = makeListing();
  return text;
}

void BM_ParseMillionEntryListing(benchmark::State& state) {
  const std::string& text = listing();
  (void)vexel::ListingParser::readDate("2024-01-01 00:00:00");  // the one-time zone capture
  for (auto _ : state) {
    auto result = vexel::ListingParser::parse(text);
    benchmark::DoNotOptimize(result.entries.data());
    if (result.entries.size() != static_cast<size_t>(kEntries))
      state.SkipWithError("wrong entry count");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ParseMillionEntryListing)->Unit(benchmark::kMillisecond)->MinTime(5.0);

void BM_FillPackedSizes(benchmark::State& state) {
  const auto parsed = vexel::ListingParser::parse(listing());
  for (auto _ : state) {
    state.PauseTiming();
    auto entries = parsed.entries;
    for (auto& entry : entries) entry.packed.reset();
    state.ResumeTiming();
    vexel::ListingParser::fillPackedSizes(entries, parsed.properties.physicalSize);
    benchmark::DoNotOptimize(entries.data());
  }
}
BENCHMARK(BM_FillPackedSizes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
