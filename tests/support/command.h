// command.h: running programs from tests, the one way: an exact argument
// list (no shell, so any bytes can be passed) with the exit status and both
// outputs collected, and a shell form for making fixtures.
//
//   if (!vexel::test::hasTool("7zz")) GTEST_SKIP() << "7zz is not installed";
//   ASSERT_EQ(vexel::test::run("cd " + shellQuoted(dir) + " && bsdtar -cf a.tar x"), 0);
//   const ProcessOutput listed = vexel::test::runProcess({"bsdtar", "-tf", path});
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace vexel::test {

// ProcessOutput: how a program ended and what it printed.
struct ProcessOutput {
  int exitStatus = -1;  ///< -1 when the program could not be started or did not exit
  std::string out;
  std::string err;
};

namespace command_internal {

inline std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

inline void closeOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

}  // namespace command_internal

// runProcess: runs argv[0] (searched in PATH) with `argv` and `environment`
// (the current one when empty), standard input closed to reads. Standard
// error goes to an unlinked file, so neither output can fill up while the
// other is read.
inline ProcessOutput runProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment = {}) {
  using command_internal::closeOnExec;
  ProcessOutput result;
  if (argv.empty()) return result;
  int outPipe[2];
  if (::pipe(outPipe) != 0) return result;
  closeOnExec(outPipe[0]);
  closeOnExec(outPipe[1]);
  char errName[] = "/tmp/vexel-test-err-XXXXXX";
  const int errFd = ::mkstemp(errName);
  if (errFd < 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  closeOnExec(errFd);
  ::unlink(errName);

  std::vector<std::string> args = argv;
  std::vector<char*> argPointers;
  for (std::string& arg : args) argPointers.push_back(arg.data());
  argPointers.push_back(nullptr);
  std::vector<std::string> env = environment;
  std::vector<char*> envPointers;
  for (std::string& entry : env) envPointers.push_back(entry.data());
  envPointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argPointers[0], &actions, nullptr, argPointers.data(),
                                   environment.empty() ? environ : envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  if (spawned == 0) {
    result.out = command_internal::readAll(outPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    ::lseek(errFd, 0, SEEK_SET);
    result.err = command_internal::readAll(errFd);
  }
  ::close(outPipe[0]);
  ::close(errFd);
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
