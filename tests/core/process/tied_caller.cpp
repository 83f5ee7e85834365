// tied_caller: a caller of the process layer for tests to kill.
//
//   vexel_tied_caller tied|keeper|untied|launch PROGRAM [ARGUMENT...]
//
// Starts PROGRAM with the caller's standard output and error: as its child
// tied to it (tied), likewise while SIGCHLD is ignored, so through a keeper
// (keeper), as a child not tied (untied), or launched with children tied
// otherwise (launch). Then writes "started" on standard output and waits to
// be killed. Exit status 1 when PROGRAM cannot start, 2 for a usage error.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string_view>

#include "process/child_process.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string_view how = argv[1];
  if (how != "tied" && how != "keeper" && how != "untied" && how != "launch") return 2;
  if (how != "untied") vexel::ChildProcess::endChildrenWithCaller();
  if (how == "keeper") signal(SIGCHLD, SIG_IGN);
  const vexel::ProcessOptions options{.program = argv[2],
                                      .arguments = {argv + 3, argv + argc},
                                      .output = vexel::StreamSetup::inherited(),
                                      .error = vexel::StreamSetup::inherited()};
  static vexel::ChildProcess child;  // never destroyed: the caller is killed
  if (how == "launch") {
    if (vexel::ChildProcess::launch(options, std::chrono::milliseconds(0)).startError) return 1;
  } else if (child.start(options)) {
    return 1;
  }
  std::fputs("started\n", stdout);
  std::fflush(stdout);
  for (;;) pause();
}
