// vexel-handoff: receives the context menu's hand-off URLs on Linux, where
// no archive manager application does, and carries out their commands.
//
//   vexel-handoff URL
//
// Registered as the handler of x-scheme-handler/vexel (vexel-handoff.desktop),
// it is started by xdg-open with one URL. "vexel://sync" does nothing; the
// extract, compress and open commands run the external archiver and show
// their progress and outcome (see handoff/handoff.h). A selection too large
// for one argument arrives as a hand-over (workspace/workspace.h). SIGINT,
// SIGTERM and SIGHUP cancel the running command, which leaves nothing
// half-made behind; after a SIGKILL its programs end with it, and the next
// run in that folder removes the work folder it left.
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "handoff/desktop.h"
#include "handoff/handoff.h"
#include "handoff/handoff_request.h"
#include "host/host_usage.h"
#include "internal/handoff_texts.h"
#include "process/child_process.h"
#include "tasks/task_handle.h"
#include "workspace/workspace.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vexel-handoff [--] URL\n"
    "\n"
    "Carries out a command of the Vexel context menus, handed over as a URL:\n"
    "  vexel://extract?path=FILE...           extract each archive beside itself\n"
    "  vexel://open?path=FILE...              show each archive's contents in the browser\n"
    "  vexel://compress?format=zip|7z&path=ITEM...   compress the items beside the first\n"
    "  vexel://compress?path=ITEM...          the same, asking for format and level\n"
    "  vexel://sync                           nothing\n"
    "A selection too large for one argument comes as ACTION?handover=TOKEN, kept\n"
    "by vexel-findersync for this user only, and is taken back once.\n"
    "Progress and outcomes show as desktop notifications (notify-send), or as\n"
    "lines on standard error without a display. Exit status: 0 done, 1 failed\n"
    "or cancelled, 2 a usage error or a URL that is not one of these.\n";

// Signals that cancel the command: waited for on a thread of their own.
sigset_t cancellingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

}  // namespace

int main(int argc, char** argv) {
  vexel::platform::prepareHostProcess();
  // 7-Zip writing into a work folder, a dialog, a notification: each works
  // for this run only, and a SIGKILL, which nothing here can catch, must not
  // leave it running. Each child is waited for by the thread that started it.
  vexel::ChildProcess::endChildrenWithCaller();
  // The system's own texts (strerror) in the user's language.
  std::setlocale(LC_ALL, "");
  const vexel::platform::HostUsage usage{"vexel-handoff", kUsage};

  int first = 1;
  if (argc > 1 && vexel::platform::HostUsage::isHelpOption(argv[1])) return usage.help();
  if (argc > 1 && std::string_view(argv[1]) == "--") first = 2;
  if (argc - first != 1) return usage.error(argc - first < 1 ? "missing URL" : "one URL only");

  // Blocked before any thread starts, so that every thread inherits it.
  const sigset_t signals = cancellingSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  namespace texts = vexel::handoff_internal;
  vexel::Desktop desktop;
  // A selection too large for one argument arrives as a hand-over.
  const std::optional<std::string> received =
      vexel::platform::Workspace::shared().receivedURL(argv[first]);
  if (!received) {
    desktop.message(std::string(texts::kCannotHandleLinkTitle), std::string(texts::kHandoverGone),
                    true);
    return vexel::platform::HostUsage::kExitUsage;
  }
  const auto parsed = vexel::HandoffRequest::parse(*received);
  if (!parsed.request) {
    desktop.message(std::string(texts::kCannotHandleLinkTitle), parsed.problem, true);
    return vexel::platform::HostUsage::kExitUsage;
  }
  if (parsed.request->action == vexel::HandoffRequest::Action::sync) return EXIT_SUCCESS;

  auto task = std::make_shared<vexel::TaskHandle>();
  std::thread([task, signals] {
    int signal = 0;
    while (sigwait(&signals, &signal) == 0) task->cancel();
  }).detach();

  vexel::Handoff handoff(desktop, task);
  return handoff.perform(*parsed.request) ? EXIT_SUCCESS : EXIT_FAILURE;
}
