// process_output.h: runs a program with an exact argv (no shell, so any
// bytes can be passed) and collects its exit status and output.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace vexel::test {

struct ProcessOutput {
  int exitStatus = -1;  ///< -1 when the program could not be started or was killed
  std::string out;
  std::string err;
};

namespace process_internal {

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

}  // namespace process_internal

// runProcess: runs argv[0] (searched in PATH) with `argv` and `environment`
// (the current one when empty). Stderr goes to a file so that neither pipe
// can fill up while the other is read.
inline ProcessOutput runProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment = {}) {
  ProcessOutput result;
  int outPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
  char errName[] = "/tmp/vexel-process-err-XXXXXX";
  const int errFd = ::mkostemp(errName, O_CLOEXEC);
  if (errFd < 0) return result;
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
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argPointers[0], &actions, nullptr, argPointers.data(),
                                   environment.empty() ? environ : envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  if (spawned == 0) {
    result.out = process_internal::readAll(outPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    ::lseek(errFd, 0, SEEK_SET);
    result.err = process_internal::readAll(errFd);
  }
  ::close(outPipe[0]);
  ::close(errFd);
  return result;
}

}  // namespace vexel::test
