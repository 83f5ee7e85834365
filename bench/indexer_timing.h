// indexer_timing.h: what the two indexer plug-in timers share: timing one
// extraction in process against `unzip -l` on the same file, in pairs, in
// the same run.
//
//   return vexel::bench::compareWithUnzip(argc, argv, [](const char* file) { extract(file); });
//
// Usage of both timers: PROGRAM REPEAT FILE...; prints for each file the
// median time of an extraction, of `unzip -l` (started as a program) with
// TZ unset, as the indexers' environment has it, and with
// TZ=:/etc/localtime (glibc then reads the zone file once, not per entry),
// and the medians of the paired ratios to each.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "process/child_process.h"

extern char** environ;

namespace vexel::bench {

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double secondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// compareWithUnzip: the timers' main. The environment for unzip is taken
// before the first extraction, since a plug-in may set TZ in its process.
inline int compareWithUnzip(int argc, char** argv,
                            const std::function<void(const char* file)>& extract) {
  if (argc < 3 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: %s REPEAT FILE...\n", argv[0]);
    return 2;
  }
  const int repeat = std::atoi(argv[1]);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "TZ=", 3) != 0) environment.emplace_back(*entry);
  std::vector<std::string> environmentWithTz = environment;
  environmentWithTz.emplace_back("TZ=:/etc/localtime");
  const std::optional<std::filesystem::path> unzipPath = findProgram("unzip");
  if (!unzipPath) {
    std::fprintf(stderr, "unzip: not found\n");
    return 2;
  }

  const auto unzip = [&](const char* file, const std::vector<std::string>& env) {
    return secondsOf([&] {
      ChildProcess child;
      if (const std::error_code error = child.start({.program = *unzipPath,
                                                     .arguments = {"-l", file},
                                                     .environment = env,
                                                     .output = StreamSetup::nullDevice(),
                                                     .error = StreamSetup::inherited()})) {
        std::fprintf(stderr, "unzip: %s\n", error.message().c_str());
        std::exit(2);
      }
      (void)child.wait();
    });
  };
  std::printf("%-24s %10s %12s %12s %8s %8s\n", "file", "plug-in s", "unzip no TZ", "unzip TZ",
              "ratio", "ratio TZ");
  for (int index = 2; index < argc; ++index) {
    const char* file = argv[index];
    extract(file);  // warm the file cache and load what the plug-in loads
    std::vector<double> ours, bare, zoned, ratios, zonedRatios;
    for (int run = 0; run < repeat; ++run) {
      const double own = secondsOf([&] { extract(file); });
      const double withoutTz = unzip(file, environment);
      const double withTz = unzip(file, environmentWithTz);
      ours.push_back(own);
      bare.push_back(withoutTz);
      zoned.push_back(withTz);
      ratios.push_back(own / withoutTz);
      zonedRatios.push_back(own / withTz);
    }
    const char* slash = std::strrchr(file, '/');
    std::printf("%-24s %10.4f %12.4f %12.4f %8.2f %8.2f\n", slash != nullptr ? slash + 1 : file,
                median(ours), median(bare), median(zoned), median(ratios), median(zonedRatios));
  }
  return 0;
}

}  // namespace vexel::bench
