// list_benchmark: `ExtensionArchive::list` against a bare libarchive header
// loop on the same files, in the same run.
//
//   VEXEL_BENCH_ZIP=big.zip VEXEL_BENCH_TAR=big.tar build/bench/list_benchmark
//   bench/list_compare.sh build     # makes 1,000,000-entry files and prints the ratios
//
// Without the variables it makes 100,000-entry files of its own. The bare
// loop opens the same formats with the same 65536-byte blocks and reads
// each header's name, size, type and date; it builds no tree. "tree/" times
// the tree build alone from the same paths, to show the split.
//
// "pair/" runs a listing and a bare loop back to back in each repetition,
// in alternating order, and reports their ratio: on a shared machine whose
// speed drifts by a quarter from one second to the next, only runs that
// close together compare.
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "process/child_process.h"
#include "readers/extension_archive.h"

namespace {

struct ArchiveReadFree {
  void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};

std::int64_t bareHeaderLoop(const std::string& file) {
  std::unique_ptr<archive, ArchiveReadFree> owner(archive_read_new());
  archive* reader = owner.get();
  archive_read_support_filter_all(reader);
  archive_read_support_format_zip(reader);
  archive_read_support_format_7zip(reader);
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_format_cpio(reader);
  archive_read_support_format_iso9660(reader);
  archive_read_support_format_xar(reader);
  archive_read_support_format_lha(reader);
  archive_read_support_format_cab(reader);
  archive_read_support_format_raw(reader);
  if (archive_read_open_filename(reader, file.c_str(), 65536) != ARCHIVE_OK) {
    throw std::runtime_error(archive_error_string(reader));
  }
  std::int64_t count = 0;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
    benchmark::DoNotOptimize(archive_entry_pathname(entry));
    benchmark::DoNotOptimize(archive_entry_size(entry));
    benchmark::DoNotOptimize(archive_entry_filetype(entry));
    benchmark::DoNotOptimize(archive_entry_mtime(entry));
    ++count;
  }
  return count;
}

void listWithTree(benchmark::State& state, const std::string& file) {
  std::int64_t files = 0;
  for (auto _ : state) {
    const auto listing = vexel::ExtensionArchive::list(file, 1e9);
    files = listing.tree->fileCount();
    if (!listing.complete) state.SkipWithError("listing incomplete");
  }
  state.counters["entries"] = static_cast<double>(files);
}

void bareLoop(benchmark::State& state, const std::string& file) {
  std::int64_t entries = 0;
  for (auto _ : state) entries = bareHeaderLoop(file);
  state.counters["entries"] = static_cast<double>(entries);
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Timing: the wall time and the CPU time of the process (all its threads)
// that one call of `run` took.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

template <typename Run>
Timing timed(Run&& run) {
  const double cpu = processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  run();
  return Timing{
      .wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
      .cpu = processCpuSeconds() - cpu};
}

// One listing and one bare loop, the order alternating between repetitions.
// The listing's time ends when `list` returns: freeing the tree is the
// caller's business (a host keeps it until it has shown it). Counters:
// "ratio" (wall), "cpu_ratio" (CPU time of the process, both threads).
void listAgainstBare(benchmark::State& state, const std::string& file) {
  static int round = 0;
  const bool listFirst = round++ % 2 == 0;
  Timing list, bare;
  for (auto _ : state) {
    // The listing, freed outside its timing.
    std::optional<vexel::ExtensionArchive::Listing> listing;
    const auto timeList = [&] {
      list = timed([&] { listing = vexel::ExtensionArchive::list(file, 1e9); });
    };
    const auto timeBare = [&] {
      bare = timed([&] { benchmark::DoNotOptimize(bareHeaderLoop(file)); });
    };
    if (listFirst) {
      timeList();
      timeBare();
    } else {
      timeBare();
      timeList();
    }
    if (!listing->complete) state.SkipWithError("listing incomplete");
    state.SetIterationTime(list.wall);
  }
  state.counters["list_s"] = list.wall;
  state.counters["bare_s"] = bare.wall;
  state.counters["ratio"] = list.wall / bare.wall;
  state.counters["cpu_ratio"] = list.cpu / bare.cpu;
}

// The bare loop alone and beside a thread that only spins, back to back:
// "slowdown" above 1 says the machine's second core is not a core of its
// own (shared by hyperthreading or by the host), so a listing's two threads
// slow each other and its wall time tends to its CPU time.
void bareBesideBusyThread(benchmark::State& state, const std::string& file) {
  const auto timeBare = [&] {
    return timed([&] { benchmark::DoNotOptimize(bareHeaderLoop(file)); });
  };
  double alone = 0, beside = 0;
  for (auto _ : state) {
    alone = timeBare().wall;
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] {
      std::uint64_t x = 1;
      while (!stop.load(std::memory_order_relaxed)) x = x * 6364136223846793005ull + 1;
      benchmark::DoNotOptimize(x);
    });
    beside = timeBare().wall;
    stop.store(true);
    spinner.join();
    state.SetIterationTime(beside);
  }
  state.counters["slowdown"] = beside / alone;
}

// The bare loop under the UTF-8 thread locale that the lister reads names
// in: libarchive's own per-name conversions (it turns every tar and ZIP name
// into wide characters) cost more under a UTF-8 locale than under "C".
void bareLoopUtf8(benchmark::State& state, const std::string& file) {
  const locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (utf8 == static_cast<locale_t>(nullptr)) {
    state.SkipWithError("no C.UTF-8 locale");
    return;
  }
  const locale_t previous = uselocale(utf8);
  std::int64_t entries = 0;
  for (auto _ : state) entries = bareHeaderLoop(file);
  uselocale(previous);
  freelocale(utf8);
  state.counters["entries"] = static_cast<double>(entries);
}

// The tree's share of a listing: the same paths built into an ArchiveTree
// (and freed), without libarchive.
void treeOnly(benchmark::State& state, const std::string& file) {
  std::vector<vexel::RawEntry> entries;
  {
    const auto listing = vexel::ExtensionArchive::list(file, 1e9);
    for (const vexel::ArchiveNode* node : listing.tree->root().descendants()) {
      if (!node->isDir())
        entries.push_back(vexel::RawEntry{.path = std::string(node->path()), .size = node->size()});
    }
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<vexel::RawEntry> copy = entries;
    state.ResumeTiming();
    const auto tree =
        std::make_shared<const vexel::ArchiveTree>(vexel::ArchiveProperties{}, std::move(copy));
    benchmark::DoNotOptimize(tree->fileCount());
  }
  state.counters["entries"] = static_cast<double>(entries.size());
}

std::string makeFile(const std::filesystem::path& dir, const char* kind) {
  const std::filesystem::path file = dir / (std::string("entries.") + kind);
  if (!std::filesystem::exists(file)) {
    const std::optional<std::filesystem::path> python = vexel::findProgram("python3");
    const vexel::ProcessOutcome made =
        python ? vexel::ChildProcess::run(
                     {.program = *python,
                      .arguments = {VEXEL_BENCH_MAKER, kind, "100000", file.string()},
                      .output = vexel::StreamSetup::inherited(),
                      .error = vexel::StreamSetup::inherited()})
               : vexel::ProcessOutcome{};
    if (made.startError || made.status != 0)
      throw std::runtime_error(std::string("cannot make ") + file.string());
  }
  return file.string();
}

}  // namespace

int main(int argc, char** argv) {
  // glibc re-reads the zone file on every mktime (one per ZIP entry in
  // libarchive) unless TZ is set; the hosts set it the same way.
  setenv("TZ", ":/etc/localtime", 0);

  const std::filesystem::path scratch = std::filesystem::temp_directory_path() / "vexel-list-bench";
  std::filesystem::create_directories(scratch);
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& [label, variable] :
       {std::pair{"zip", "VEXEL_BENCH_ZIP"}, std::pair{"tar", "VEXEL_BENCH_TAR"}}) {
    const char* given = std::getenv(variable);
    files.emplace_back(label,
                       given != nullptr && *given != '\0' ? given : makeFile(scratch, label));
  }
  for (const auto& [label, file] : files) {
    benchmark::RegisterBenchmark(("list/" + label).c_str(), listWithTree, file)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("bare/" + label).c_str(), bareLoop, file)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("bare-utf8/" + label).c_str(), bareLoopUtf8, file)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("tree/" + label).c_str(), treeOnly, file)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("pair/" + label).c_str(), listAgainstBare, file)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseManualTime();
  }
  // A property of the machine: the first file will do.
  benchmark::RegisterBenchmark(("busy/" + files.front().first).c_str(), bareBesideBusyThread,
                               files.front().second)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->UseManualTime();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
