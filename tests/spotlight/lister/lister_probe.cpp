// lister_probe: plays the lister's misbehaving sides for the tests.
//
//   lister_probe filter CALL   enters the lister's sandbox, then makes CALL:
//                              socket, execve, open-write, kill-parent, ptrace
//                              (forbidden: the filter kills it with SIGSYS),
//                              open-read, thread (allowed: exits 0)
//   lister_probe               (as the client starts a lister) reads the mode
//                              in $VEXEL_PROBE_MODE_FILE: "hang" reads the
//                              request and never replies, "crash" reads it and
//                              faults, anything else becomes $VEXEL_PROBE_LISTER
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "lister/lister_sandbox.h"

namespace {

int tryCall(std::string_view call) {
  if (!vexel::enterListerSandbox()) return 3;
  if (call == "socket") return ::socket(AF_INET, SOCK_STREAM, 0) >= 0 ? 0 : 1;
  if (call == "execve") {
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve("/bin/true", argv, environ);
    return 1;
  }
  if (call == "open-write") return ::open("/dev/null", O_WRONLY | O_CLOEXEC) >= 0 ? 0 : 1;
  if (call == "kill-parent") return ::kill(::getppid(), 0) == 0 ? 0 : 1;
  if (call == "ptrace") return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1;
  if (call == "open-read") {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    char byte = 0;
    return fd >= 0 && ::read(fd, &byte, 1) == 1 && ::close(fd) == 0 ? 0 : 1;
  }
  if (call == "thread") {
    int value = 0;
    std::thread([&] { value = 1; }).join();
    return value == 1 ? 0 : 1;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "filter") return tryCall(argv[2]);
  const char* modeFile = std::getenv("VEXEL_PROBE_MODE_FILE");
  std::string mode;
  if (modeFile != nullptr) std::getline(std::ifstream(modeFile), mode);
  if (mode == "hang" || mode == "crash") {
    char request[64];
    if (::read(STDIN_FILENO, request, sizeof(request)) <= 0) return 1;
    if (mode == "crash") ::raise(SIGSEGV);
    for (;;) ::pause();
  }
  const char* lister = std::getenv("VEXEL_PROBE_LISTER");
  if (lister == nullptr) return 1;
  ::execl(lister, lister, static_cast<char*>(nullptr));
  return 1;
}
