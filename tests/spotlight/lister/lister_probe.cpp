// lister_probe: plays the lister's misbehaving sides for the tests.
//
//   lister_probe filter CALL   enters the lister's sandbox, then makes CALL:
//                              socket, execve, open-write, kill-parent, ptrace
//                              (forbidden: the filter kills it with SIGSYS),
//                              open-read, thread (allowed: exits 0)
//   lister_probe               (as the client starts a lister) reads the
//                              request, then with $VEXEL_PROBE_MODE "hang"
//                              never replies, with anything else faults
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include "lister/lister_sandbox.h"

namespace {

int tryCall(std::string_view call) {
  if (!vexel::enterListerSandbox()) return 3;
  if (call == "socket") return ::socket(AF_INET, SOCK_STREAM, 0) >= 0 ? 0 : 1;
  if (call == "execve") {
    const char* const argv[] = {"/bin/true", nullptr};
    return static_cast<int>(::syscall(SYS_execve, argv[0], argv, environ));
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
  const char* mode = std::getenv("VEXEL_PROBE_MODE");
  char request[64];
  if (::read(STDIN_FILENO, request, sizeof(request)) <= 0) return 1;
  if (mode == nullptr || std::string_view(mode) != "hang") {
    vexel::boundLister();  // no core dump
    ::raise(SIGSEGV);
  }
  for (;;) ::pause();
}
