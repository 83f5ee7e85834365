// command.h: running programs from tests, the one way: an exact argument
// list (no shell, so any bytes can be passed) with the exit status and both
// outputs collected, and a shell form for making fixtures.
//
//   if (!vexel::test::hasTool("7zz")) GTEST_SKIP() << "7zz is not installed";
//   ASSERT_EQ(vexel::test::run("cd " + shellQuoted(dir) + " && bsdtar -cf a.tar x"), 0);
//   const ProcessOutput listed = vexel::test::runProcess({"bsdtar", "-tf", path});
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "process/child_process.h"

namespace vexel::test {

// ProcessOutput: how a program ended and what it printed.
struct ProcessOutput {
  /// Its exit code, or the number of the signal that ended it; -1 when it
  /// could not be started.
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// runProcess: runs argv[0] (searched in PATH) with `argv` and `environment`
// (the current one when empty), standard input closed to reads, through
// vexel::process like every program the project starts: both outputs are
// drained together, so neither can fill up while the other is read.
inline ProcessOutput runProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment = {}) {
  ProcessOutput result;
  if (argv.empty()) return result;
  const std::optional<std::filesystem::path> program = findProgram(argv.front());
  if (!program) return result;
  ProcessOptions options{.program = *program,
                         .arguments = std::vector<std::string>(argv.begin() + 1, argv.end())};
  if (!environment.empty()) options.environment = environment;
  ProcessOutcome outcome = ChildProcess::run(options);
  if (outcome.startError) return result;
  result.exitStatus = outcome.status;
  result.out = std::move(outcome.output);
  result.err = std::move(outcome.error);
  return result;
}

// shellQuoted: `text` as one single-quoted shell word.
inline std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

inline std::string shellQuoted(const std::string& text) {
  return shellQuoted(std::string_view(text));
}
inline std::string shellQuoted(const char* text) { return shellQuoted(std::string_view(text)); }

inline std::string shellQuoted(const std::filesystem::path& path) {
  return shellQuoted(std::string_view(path.native()));
}

// runShell: runs `command` with /bin/sh and collects what it printed.
inline ProcessOutput runShell(const std::string& command) {
  return runProcess({"/bin/sh", "-c", command});
}

// run: the exit status of `command` run by /bin/sh, or -1 when it did not
// exit; what it prints is passed on to the test's own output.
inline int run(const std::string& command) {
  const ProcessOutput output = runShell(command);
  std::fwrite(output.out.data(), 1, output.out.size(), stdout);
  std::fwrite(output.err.data(), 1, output.err.size(), stderr);
  return output.exitStatus;
}

// hasTool: whether `name` is a program on PATH.
inline bool hasTool(std::string_view name) {
  return run("command -v " + shellQuoted(name) + " >/dev/null 2>&1") == 0;
}

}  // namespace vexel::test
