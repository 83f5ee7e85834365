// run_result.h: what a finished child process left behind.
//
// `ProcessRunner::run` (process_runner.h) returns it; `classifyRun` says
// which `ArchiveError` (readers/archive_error.h) an archiver's failed run
// stands for, by the phrases 7-Zip and its kin print.
//
//   vexel::RunResult result{.status = 2, .stdout = "", .stderr = "ERROR: ..."};
//   if (result.status != 0) throw vexel::classifyRun(result, "7zz");
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "readers/archive_error.h"

namespace vexel {

// RunResult: exit status and both output streams, decoded as UTF-8 with
// ill-formed sequences replaced by U+FFFD.
struct RunResult {
  std::int32_t status = 0;  ///< the exit code, or the platform's status for a signal
  std::string stdout;
  std::string stderr;
};

// classifyRun: the error that an external archiver's finished run stands
// for, judged by the phrases it printed (password phrases first, in any
// letter case; then not-archive phrases, exactly); else its first six
// non-blank output lines; else "<tool> 运行失败（退出码 N）。". Never throws;
// any thread.
[[nodiscard]] ArchiveError classifyRun(const RunResult& result, std::string_view tool);

}  // namespace vexel
