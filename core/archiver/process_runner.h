// process_runner.h: runs an external command-line archiver and collects its output.
//
// `ProcessRunner::run` starts a program without a shell, in a session (and
// so a process group) of its own without a controlling terminal, with an
// empty standard input and the caller's environment
// (LANG and LC_ALL forced to en_US.UTF-8, or to C.UTF-8 where en_US.UTF-8
// is not installed). It collects standard output and standard error in
// full, reports the percentages the program prints on standard output, and
// returns a `RunResult` (run_result.h). A caller that ignores SIGCHLD gets
// the real exit status too (the child is then started through a keeper
// process that collects it). A non-zero exit
// status is not an error here: `classifyRun` (run_result.h) judges
// the result, and `ListingParser` (listing_parser.h) reads a technical listing.
// Cancellation goes through a `TaskHandle` (task_handle.h).
//
//   auto task = std::make_shared<vexel::TaskHandle>();
//   const vexel::RunResult result = vexel::ProcessRunner::run(
//       "/usr/bin/7zz", {"t", "a.7z"}, std::nullopt, task,
//       [](double fraction) { showProgress(fraction); });
//   if (result.status != 0) throw vexel::classifyRun(result, "7zz");
//
// `run` blocks its calling thread; any number of runs may go on at once.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archiver/run_result.h"
#include "tasks/task_handle.h"

namespace vexel {

// ProcessRunner: the external-tool runner (static operations only).
class ProcessRunner {
 public:
  ProcessRunner() = delete;

  // Progress: receives fractions from 0.0 to 1.0.
  using Progress = std::function<void(double)>;

  // run: runs `executable` with `arguments` (passed as they are, argv[0] is
  // the executable's path) in `cwd`, or the caller's working directory when
  // absent, and returns once the child has exited and both of its output
  // streams are closed. `progress` is called on a reader thread, never on
  // the calling thread, one call at a time, each time the last percentage
  // in a chunk of standard output differs from the one reported before. An
  // exception thrown by `progress` stops further calls; `run` rethrows it
  // after the child has finished.
  // @throws ArchiveError (cancelled) when `task` is cancelled before the
  //   start or during the run (the child is then terminated and waited for).
  // @throws ArchiveError (failed) "无法启动 <name>：<reason>" when the program
  //   cannot be started.
  [[nodiscard]] static RunResult run(const std::filesystem::path& executable,
                                     const std::vector<std::string>& arguments,
                                     const std::optional<std::filesystem::path>& cwd = std::nullopt,
                                     const std::shared_ptr<TaskHandle>& task = nullptr,
                                     const Progress& progress = nullptr);

  // lastPercent: the last percentage from 0 to 100 written as 1 to 3 ASCII
  // digits directly followed by "%" in `text`; nullopt when there is none.
  // Works on user-perceived characters: a digit or "%" carrying a combining
  // mark is not a plain digit or percent sign. Never throws.
  [[nodiscard]] static std::optional<int> lastPercent(std::string_view text) noexcept;
};

}  // namespace vexel
