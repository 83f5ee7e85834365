#include "child_keeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "fork_exec.h"

namespace vexel::process_internal {
namespace {

void send(int fd, KeeperMessage::Kind kind, int value) noexcept {
  const KeeperMessage message{kind, value};
  while (write(fd, &message, sizeof message) < 0 && errno == EINTR) {
  }
}

// The keeper, from its fork to its _exit; async-signal-safe calls only.
// Every signal stays blocked here (SIGKILL aside), the program's helpers'
// SIGTERM included, and SIGPIPE: a caller that stopped listening only makes
// a write fail. With `releaseFd` -1 (detached) it exits as soon as it has
// reported the program's end. With `caller` not 0, the keeper ends with the
// thread that forked it, and the program with the keeper.
[[noreturn]] void runKeeper(const SpawnPlan& plan, int statusFd, int releaseFd, int limit,
                            const sigset_t& emptyMask, pid_t caller) noexcept {
  if (caller != 0 && !endWithParent(caller)) {
    send(statusFd, KeeperMessage::cannotStart, errno);
    _exit(127);
  }
  dropCaughtHandlers();
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(SIGCHLD, &defaultAction, nullptr);  // the program's status stays ours to collect
  if (setsid() < 0) {
    send(statusFd, KeeperMessage::cannotStart, errno);
    _exit(127);
  }
  // Only a session leader takes a controlling terminal; the program, in the
  // keeper's session, then has it too.
  if (plan.terminal != nullptr && !takeTerminal(plan.terminal)) {
    send(statusFd, KeeperMessage::cannotStart, errno);
    _exit(127);
  }
  int report[2];
  if (pipe(report) != 0) {
    send(statusFd, KeeperMessage::cannotStart, errno);
    _exit(127);
  }
  fcntl(report[0], F_SETFD, FD_CLOEXEC);
  fcntl(report[1], F_SETFD, FD_CLOEXEC);
  const pid_t keeper = caller != 0 ? getpid() : 0;
  const pid_t child = fork();
  if (child == 0) {
    becomeChild(plan, report[1], limit, emptyMask, false, keeper);
    writeErrno(report[1], errno);
    _exit(127);
  }
  const int forkError = errno;
  close(report[1]);
  if (child < 0) {
    send(statusFd, KeeperMessage::cannotStart, forkError);
    _exit(127);
  }
  int code = 0;
  ssize_t got = 0;
  do {
    got = read(report[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  int status = 0;
  if (got == static_cast<ssize_t>(sizeof code)) {
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    send(statusFd, KeeperMessage::cannotStart, code);
    _exit(127);
  }
  send(statusFd, KeeperMessage::started, 0);

  // Nothing of the caller's stays open here, the output pipes and the
  // terminal least of all: the caller reads them to their end.
  const int keep[] = {statusFd, releaseFd};
  closeInherited(keep, limit);
  const int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) dup2(null, fd);
    if (null > STDERR_FILENO) close(null);
  }

  pid_t reaped = 0;
  do {
    reaped = waitpid(child, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  send(statusFd, KeeperMessage::exited, reaped == child ? status : -1);
  if (releaseFd < 0) _exit(0);
  char byte = 0;
  for (;;) {
    const ssize_t n = read(releaseFd, &byte, 1);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  _exit(0);
}

// Waits for the first message of a keeper just started: 0 once the program
// runs, else the errno value that kept it from running.
int firstMessage(int statusFd) noexcept {
  const KeeperMessage first = readKeeperMessage(statusFd);
  if (first.kind == KeeperMessage::started) return 0;
  return first.kind == KeeperMessage::cannotStart ? first.value : EIO;
}

void reapUnlessReapedForUs(pid_t pid) noexcept {
  // Reaped by the kernel while SIGCHLD is ignored; collected here otherwise.
  if (childrenAreReapedForUs()) return;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool childrenAreReapedForUs() noexcept {
  struct sigaction current {};
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

KeeperMessage readKeeperMessage(int statusFd) noexcept {
  KeeperMessage message;
  ssize_t got = 0;
  do {
    got = read(statusFd, &message, sizeof message);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof message)) return KeeperMessage{};
  return message;
}

int spawnKeptChild(const SpawnPlan& plan, pid_t& keeperPid, UniqueFd& statusRead,
                   UniqueFd& releaseWrite) noexcept {
  UniqueFd statusIn, statusOut, releaseIn, releaseOut;
  if (!makePipe(statusIn, statusOut) || !makePipe(releaseIn, releaseOut)) return errno;
  const int limit = descriptorLimit();
  const pid_t caller = plan.endsWithCaller ? getpid() : 0;
  sigset_t all, previous, empty;
  sigfillset(&all);
  sigemptyset(&empty);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t keeper = fork();
  if (keeper == 0) {
    // The caller's ends: with the release pipe's write end open here, the
    // keeper would never see its end-of-file.
    statusIn.reset();
    releaseOut.reset();
    runKeeper(plan, statusOut.get(), releaseIn.get(), limit, empty, caller);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (keeper < 0) return forkError;
  statusOut.reset();
  releaseIn.reset();

  const int error = firstMessage(statusIn.get());
  if (error != 0) {
    releaseOut.reset();
    reapUnlessReapedForUs(keeper);
    return error;
  }
  keeperPid = keeper;
  statusRead = std::move(statusIn);
  releaseWrite = std::move(releaseOut);
  return 0;
}

int spawnDetached(const SpawnPlan& plan, UniqueFd& statusRead) noexcept {
  UniqueFd statusIn, statusOut;
  if (!makePipe(statusIn, statusOut)) return errno;
  const int limit = descriptorLimit();
  sigset_t all, previous, empty;
  sigfillset(&all);
  sigemptyset(&empty);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = fork();
  if (parent == 0) {
    statusIn.reset();
    const pid_t keeper = fork();
    // Detached: it outlives the caller by design.
    if (keeper == 0) runKeeper(plan, statusOut.get(), -1, limit, empty, 0);
    if (keeper < 0) send(statusOut.get(), KeeperMessage::cannotStart, errno);
    // The keeper, orphaned now, is adopted by init (or a subreaper).
    _exit(0);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (parent < 0) return forkError;
  statusOut.reset();
  reapUnlessReapedForUs(parent);
  const int error = firstMessage(statusIn.get());
  if (error == 0) statusRead = std::move(statusIn);
  return error;
}

}  // namespace vexel::process_internal
