// run_result.h: what a finished child process left behind.
//
// `ProcessRunner::run` (process_runner.h) returns it; `ArchiveError::from`
// (archive_error.h) classifies it.
//
//   vexel::RunResult result{.status = 2, .stdout = "", .stderr = "ERROR: ..."};
#pragma once

#include <cstdint>
#include <string>

namespace vexel {

// RunResult: exit status and both output streams, decoded as UTF-8 with
// ill-formed sequences replaced by U+FFFD.
struct RunResult {
  std::int32_t status = 0;  ///< the exit code, or the platform's status for a signal
  std::string stdout;
  std::string stderr;
};

}  // namespace vexel
