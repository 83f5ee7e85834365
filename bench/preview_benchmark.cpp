// preview_benchmark: the preview of a 1,000,000-entry ZIP, end to end.
//
//   build/bench/preview_benchmark [ZIP]
//
// ZIP defaults to $VEXEL_BENCH_DIR/entries-1000000.zip (made by
// make_many_entries.py when missing: 1,000 top-level folders of 1,000 files).
// Reports, as medians of REPS runs (default 3):
//   bare loop     a bare libarchive header loop over the file (the listing's floor)
//   list          ExtensionArchive::list, the tree included
//   tree          ArchiveTree alone on the same 1,000,000 paths
//   display       the display step alone (texts, sort, reload, expansion)
//   request       preview request to completion handler, through the main queue
//   host          the vexel-quicklook process, --json, output discarded
// and "after listing" = tree + display against the listing's own time
// (list - tree). Then the sort of 100,000 sibling names (sortedChildren of
// one folder, uncached). Timings are wall-clock on a shared machine.
#include <archive.h>
#include <archive_entry.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dispatch/dispatch_queue.h"
#include "process/child_process.h"
#include "quicklook/preview_view_controller.h"
#include "readers/extension_archive.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double medianOf(int reps, const std::function<double()>& run) {
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) times.push_back(run());
  return median(times);
}

double bareLoop(const fs::path& file) {
  const auto start = Clock::now();
  std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_zip(reader.get());
  if (archive_read_open_filename(reader.get(), file.c_str(), 65536) != ARCHIVE_OK) return -1;
  archive_entry* entry = nullptr;
  long count = 0;
  while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) ++count;
  const double seconds = secondsSince(start);
  if (count == 0) return -1;
  return seconds;
}

std::vector<vexel::RawEntry> millionEntries() {
  std::vector<vexel::RawEntry> entries;
  entries.reserve(1'000'000);
  char name[64];
  for (int i = 0; i < 1'000'000; ++i) {
    std::snprintf(name, sizeof name, "folder%04d/file%07d.txt", i / 1000, i);
    entries.push_back(
        vexel::RawEntry{.path = name,
                        .size = 1,
                        .modified = std::chrono::sys_seconds(std::chrono::seconds(1'715'949'000))});
  }
  return entries;
}

double requestToHandler(const fs::path& file) {
  auto controller = vexel::PreviewViewController::create();
  (void)controller->view();
  controller->setListingTimeLimit(1e9);
  bool done = false;
  const auto start = Clock::now();
  controller->preparePreviewOfFile(file, [&](std::exception_ptr) { done = true; });
  vexel::platform::DispatchQueue::main().runUntil([&] { return done; });
  const double seconds = secondsSince(start);
  if (controller->outline().numberOfRows() != 1000) std::cerr << "unexpected rows\n";
  return seconds;
}

double sortHundredThousand() {
  std::mt19937 random(42);
  std::vector<vexel::RawEntry> entries;
  const char* stems[] = {"IMG_", "img_", "Photo ", "photo-", "Scan", "report v", "Übung ", "文件"};
  for (int i = 0; i < 100'000; ++i) {
    entries.push_back(vexel::RawEntry{
        .path = "big/" + std::string(stems[random() % 8]) + std::to_string(random() % 1'000'000) +
                (i % 3 == 0 ? ".JPG" : ".jpg") + "-" + std::to_string(i)});
  }
  entries.push_back(vexel::RawEntry{.path = "other.txt"});
  auto tree =
      std::make_shared<const vexel::ArchiveTree>(vexel::ArchiveProperties{}, std::move(entries));
  auto controller = vexel::PreviewViewController::create();
  (void)controller->view();
  // Two top-level entries and more than 300 nodes: nothing opens by itself.
  controller->displayLoadResult(vexel::ExtensionArchive::Listing{tree, "ZIP", 1, true});
  const vexel::ArchiveNode* big = tree->node("big");
  const auto start = Clock::now();
  const auto& sorted = controller->sortedChildren(vexel::platform::OutlineItem::of(big));
  const double seconds = secondsSince(start);
  if (sorted.size() != 100'000) std::cerr << "unexpected sort size\n";
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 1);
  const char* repsText = std::getenv("REPS");
  const int reps = repsText != nullptr ? std::max(1, std::atoi(repsText)) : 3;
  const fs::path here = fs::path(VEXEL_BENCH_SOURCE_DIR);
  const char* dirText = std::getenv("VEXEL_BENCH_DIR");
  const fs::path dir = dirText != nullptr ? dirText : "/tmp/vexel-preview-bench";
  const fs::path file = argc > 1 ? fs::path(argv[1]) : dir / "entries-1000000.zip";
  if (!fs::exists(file)) {
    fs::create_directories(file.parent_path());
    std::cerr << "making " << file << "\n";
    const std::optional<std::filesystem::path> python = vexel::findProgram("python3");
    if (!python) return 1;
    const vexel::ProcessOutcome made = vexel::ChildProcess::run(
        {.program = *python,
         .arguments = {(here / "make_many_entries.py").string(), "zip", "1000000", file.string()},
         .output = vexel::StreamSetup::inherited(),
         .error = vexel::StreamSetup::inherited()});
    if (made.startError || made.status != 0) return 1;
  }

  const double bare = medianOf(reps, [&] { return bareLoop(file); });
  vexel::ExtensionArchive::Listing listing;
  const double list = medianOf(reps, [&] {
    const auto start = Clock::now();
    listing = vexel::ExtensionArchive::list(file, 1e9);
    return secondsSince(start);
  });
  const double tree = medianOf(reps, [] {
    auto entries = millionEntries();
    const auto start = Clock::now();
    const vexel::ArchiveTree built({}, std::move(entries));
    return secondsSince(start);
  });
  const double display = medianOf(reps, [&] {
    auto controller = vexel::PreviewViewController::create();
    (void)controller->view();
    const auto start = Clock::now();
    controller->displayLoadResult(listing);
    return secondsSince(start);
  });
  const double request = medianOf(reps, [&] { return requestToHandler(file); });
  const double host = medianOf(reps, [&] {
    const vexel::ProcessOptions options{
        .program = VEXEL_QUICKLOOK_HOST,
        .arguments = {"--json", "--time-limit", "1000", file.string()},
        .output = vexel::StreamSetup::nullDevice(),
        .error = vexel::StreamSetup::inherited()};
    const auto start = Clock::now();
    const vexel::ProcessOutcome shown = vexel::ChildProcess::run(options);
    if (shown.startError || shown.status != 0) return -1.0;
    return secondsSince(start);
  });
  const double sort = medianOf(reps, sortHundredThousand);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double listingOwn = list - tree;
  const double after = tree + display;
  std::printf("file: %s (%lld files, complete %s)\n", file.c_str(),
              static_cast<long long>(listing.tree->fileCount()), listing.complete ? "yes" : "no");
  std::printf("bare libarchive loop      %7.3f s\n", bare);
  std::printf("ExtensionArchive::list    %7.3f s  (%.2f x bare loop)\n", list, list / bare);
  std::printf("  of which tree build     %7.3f s\n", tree);
  std::printf("display step              %7.3f s\n", display);
  std::printf("request -> handler        %7.3f s\n", request);
  std::printf("host process (--json)     %7.3f s\n", host);
  std::printf(
      "after listing (tree + display) %.3f s = %.1f%% of the listing's own %.3f s (target < "
      "25%%)\n",
      after, 100.0 * after / listingOwn, listingOwn);
  std::printf("sort of 100,000 siblings  %7.3f s (target < 0.3 s)\n", sort);
  std::printf("peak memory               %7.1f MB\n",
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
