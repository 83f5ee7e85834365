// list_small [FILE] [PAIRS]: what a listing as the hosts run it
// (`ExtensionArchive::list`: a worker thread, with the process's memory
// watched) costs on a small archive, against the same listing through the
// test clock (a worker thread without the watch), in one run.
//
//   build/bench/list_small                 # a 40-entry ZIP of its own, 2,000 pairs
//   build/bench/list_small some.zip 500
//
// Each pair times one listing each way back to back, the order alternating;
// printed are the medians of each and the median of the paired ratios with
// its quartiles, for wall time and for the CPU time of the process. The
// first listing is shown apart and not counted. Exit 1 when a listing is
// incomplete.
#include <archive.h>
#include <archive_entry.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "readers/extension_archive.h"

namespace {

struct ArchiveWriteFree {
  void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};

// writeSmallZip: 40 deflated text files in four folders, as a small
// download looks.
void writeSmallZip(const std::string& file) {
  std::unique_ptr<archive, ArchiveWriteFree> writer(archive_write_new());
  archive_write_set_format_zip(writer.get());
  archive_write_open_filename(writer.get(), file.c_str());
  const std::string text(600, 'x');
  for (int i = 0; i < 40; ++i) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                        &archive_entry_free);
    const std::string name =
        "docs/part" + std::to_string(i / 10) + "/file" + std::to_string(i) + ".txt";
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(text.size()));
    archive_entry_set_mtime(entry.get(), 1'700'000'000, 0);
    archive_write_header(writer.get(), entry.get());
    archive_write_data(writer.get(), text.data(), text.size());
  }
  archive_write_close(writer.get());
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double quartile(std::vector<double> values, int which) {
  std::sort(values.begin(), values.end());
  return values[values.size() * static_cast<std::size_t>(which) / 4];
}

}  // namespace

int main(int argc, char** argv) {
  setenv("TZ", ":/etc/localtime", 0);
  std::string file = argc > 1 ? argv[1] : "";
  const int pairs = argc > 2 ? std::stoi(argv[2]) : 2000;
  std::filesystem::path made;
  if (file.empty()) {
    made = std::filesystem::temp_directory_path() /
           ("vexel-list-small-" + std::to_string(::getpid()) + ".zip");
    file = made.string();
    writeSmallZip(file);
  }
  const vexel::ExtensionArchive::Clock steady = [] { return std::chrono::steady_clock::now(); };
  bool isComplete = true;
  const auto inLister = [&] { isComplete &= vexel::ExtensionArchive::list(file, 60.0).complete; };
  const auto onThread = [&] {
    isComplete &= vexel::ExtensionArchive::list(file, 60.0, steady).complete;
  };

  const Timing first = timed(inLister);
  (void)timed(onThread);
  std::vector<double> lister, thread, ratio, listerCpu, threadCpu, cpuRatio;
  for (int i = 0; i < pairs; ++i) {
    Timing a, b;
    if (i % 2 == 0) {
      a = timed(inLister);
      b = timed(onThread);
    } else {
      b = timed(onThread);
      a = timed(inLister);
    }
    lister.push_back(a.wall);
    thread.push_back(b.wall);
    ratio.push_back(a.wall / b.wall);
    listerCpu.push_back(a.cpu);
    threadCpu.push_back(b.cpu);
    cpuRatio.push_back(a.cpu / b.cpu);
  }
  if (!made.empty()) std::filesystem::remove(made);

  std::printf("first listing: %.0f us\n", first.wall * 1e6);
  std::printf(
      "wall: host listing %.0f us, test-clock listing %.0f us, paired ratio %.2fx (quartiles "
      "%.2f-%.2f)\n",
      median(lister) * 1e6, median(thread) * 1e6, median(ratio), quartile(ratio, 1),
      quartile(ratio, 3));
  std::printf(
      "CPU: host listing %.0f us, test-clock listing %.0f us, paired ratio %.2fx (quartiles "
      "%.2f-%.2f)\n",
      median(listerCpu) * 1e6, median(threadCpu) * 1e6, median(cpuRatio), quartile(cpuRatio, 1),
      quartile(cpuRatio, 3));
  std::printf("%d pairs\n", pairs);
  return isComplete ? 0 : 1;
}
