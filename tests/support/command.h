// command.h: running the archiving tools that tests make fixtures with.
//
//   if (!vexel::testing::hasTool("7zz")) GTEST_SKIP() << "7zz is not installed";
//   ASSERT_EQ(vexel::testing::run("cd " + shellQuoted(dir) + " && bsdtar -cf a.tar x"), 0);
//
// Runs through /bin/sh; output goes to the test's own streams.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace vexel::testing {

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

inline std::string shellQuoted(const std::filesystem::path& path) { return shellQuoted(std::string_view(path.native())); }

// run: the exit status of `command` run by /bin/sh, or -1 when it did not exit.
inline int run(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// hasTool: whether `name` is a program on PATH.
inline bool hasTool(std::string_view name) {
  return run("command -v " + shellQuoted(name) + " >/dev/null 2>&1") == 0;
}

}  // namespace vexel::testing
