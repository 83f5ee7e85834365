// child_process.h: starting programs, the one way for the whole project.
//
// Holds `ProcessOptions` (what a program is started with), `ChildProcess`
// (one started program: its pipes, terminating its process group, waiting
// for it), `readUntilClosed` (draining several pipes at once), and the
// conveniences built on them: `findProgram` (a PATH lookup),
// `environmentWith` (the caller's environment with some variables
// replaced), `ChildProcess::run` (start, collect, wait) and
// `ChildProcess::launch` (a program that may outlive the caller, such as a
// browser). Pseudo-terminals live in pseudo_terminal.h, descriptors in
// unique_fd.h.
//
// Every child starts in a session (and so a process group) of its own, with
// an empty signal mask, SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGHUP and
// SIGCHLD at their default actions, and no descriptor of the caller's but
// the three it is given. Every descriptor this layer makes is close-on-exec,
// so no other program started meanwhile inherits one. A child started here
// is always waited for: by `wait()`, or by the destructor, which kills what
// is still running first.
//
//   vexel::ChildProcess child;
//   const std::error_code error = child.start({.program = "/usr/bin/7zz",
//                                              .arguments = {"t", "a.7z"}});
//   if (error) fail(error.message());
//   vexel::UniqueFd out = child.takeOutput(), err = child.takeError();
//   const int fds[] = {out.get(), err.get()};
//   vexel::readUntilClosed(fds, [&](size_t k, std::string_view bytes) { ... });
//   const int status = child.wait();
//
// `start`, `take*`, `waitForExit`, `reap` and `wait` belong to the thread
// that started the child; `terminate` may be called from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "process/unique_fd.h"

namespace vexel {

// StreamSetup: what one standard stream of a child is connected to.
struct StreamSetup {
  enum class Kind {
    nullDevice,  ///< /dev/null: end-of-file at once, or output thrown away
    inherited,   ///< the caller's own descriptor of that number
    pipe,        ///< a new pipe; the caller takes its end with take*()
    descriptor,  ///< a copy of `fd` (a file, a terminal); the caller keeps `fd`
  };
  Kind kind = Kind::nullDevice;
  int fd = -1;  ///< for `descriptor` only

  [[nodiscard]] static StreamSetup nullDevice() noexcept { return {Kind::nullDevice, -1}; }
  [[nodiscard]] static StreamSetup inherited() noexcept { return {Kind::inherited, -1}; }
  [[nodiscard]] static StreamSetup pipe() noexcept { return {Kind::pipe, -1}; }
  [[nodiscard]] static StreamSetup descriptor(int fd) noexcept { return {Kind::descriptor, fd}; }
};

// ProcessOptions: what a program is started with.
struct ProcessOptions {
  /// The file executed. A relative path is taken from the caller's working
  /// directory (not the child's); it is never looked up in PATH (findProgram
  /// does that).
  std::filesystem::path program;
  /// argv[1] on; argv[0] is `program` as given. Passed as they are, no shell.
  std::vector<std::string> arguments;
  /// NAME=VALUE entries; absent: the caller's environment.
  std::optional<std::vector<std::string>> environment;
  /// The child's working directory; absent: the caller's.
  std::optional<std::filesystem::path> workingDirectory;
  StreamSetup input = StreamSetup::nullDevice();
  StreamSetup output = StreamSetup::pipe();
  StreamSetup error = StreamSetup::pipe();
  /// A terminal device (PseudoTerminal::name) that becomes the child's
  /// controlling terminal and its standard input (replacing `input`), for a
  /// program that asks its user on the terminal (7-Zip's password prompt).
  /// Absent: the child has no controlling terminal, so a program that opens
  /// /dev/tty fails at once instead of stopping for input nobody gives.
  std::optional<std::filesystem::path> controllingTerminal;
};

// ProcessOutcome: how a program run by ChildProcess::run ended.
struct ProcessOutcome {
  std::error_code startError;  ///< set when the program could not be started
  int status = -1;             ///< as ChildProcess::reap() gives it; -1 when not started
  std::string output;          ///< its standard output, when that was a pipe
  std::string error;           ///< its standard error, when that was a pipe
};

// LaunchOutcome: what ChildProcess::launch learnt about a program that may
// outlive the caller.
struct LaunchOutcome {
  std::error_code startError;  ///< set when the program could not be started
  std::optional<int> status;   ///< its status, when it ended within the time given
};

// ChildProcess: one child, started once, waited for once. Neither copyable
// nor movable: a cancel handle may share it (std::shared_ptr) with the
// thread that runs it.
//
// The child is waited for in two steps: waitForExit() leaves it a zombie, so
// that its process id, which is also its group's id, cannot be reused while
// its output is still being drained, and reap() collects it under the lock
// that terminate() takes. terminate() can therefore never signal a
// recycled id. When the caller ignores SIGCHLD (so the kernel would reap
// the child and lose its status), the program is started through a small
// keeper process that collects the status and passes it on.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&&) = delete;
  ChildProcess& operator=(ChildProcess&&) = delete;
  // ~ChildProcess: a child started and not yet reaped is killed (SIGKILL to
  // its group) and reaped: an error path never leaves one running or a zombie.
  ~ChildProcess();

  // start: starts the program. Returns an empty error code once it runs, or
  // the reason it could not run (a missing program, a bad working directory,
  // an unusable terminal), with nothing left behind. Once per object.
  [[nodiscard]] std::error_code start(const ProcessOptions& options);

  // takeInput / takeOutput / takeError: the caller's end of a stream set up
  // as a pipe (the write end for input); an empty UniqueFd otherwise or when
  // taken before. Closing the input end gives the child end-of-file.
  [[nodiscard]] UniqueFd takeInput() noexcept { return std::move(mInput); }
  [[nodiscard]] UniqueFd takeOutput() noexcept { return std::move(mOutput); }
  [[nodiscard]] UniqueFd takeError() noexcept { return std::move(mError); }

  // pid: the child's process id, which is also its process group's (its
  // keeper's, when the caller ignores SIGCHLD); 0 before it started. Only
  // meaningful until it is reaped.
  [[nodiscard]] pid_t pid() noexcept {
    const std::lock_guard lock(mLock);
    return mPid;
  }

  // terminate: SIGTERM to the child's process group (helpers it started
  // included) when it has been started and not yet reaped; one that comes
  // while start() runs is delivered as soon as the child exists. Before
  // start() it does nothing: such a child runs to its end. Any thread.
  void terminate() noexcept;

  // kill: SIGKILL to the child's process group, under the same rules as
  // terminate(), for a child that outlasts a terminate (7-Zip blocked at its
  // password prompt catches SIGTERM and keeps reading). Any thread.
  void kill() noexcept;

  // waitForExit: blocks until the child has exited; does not reap it.
  void waitForExit() noexcept;

  // reap: collects the child once it has exited: its exit code, or the
  // number of the signal that ended it; -1 when it was never started, when
  // something else in the process reaped it first, or when its keeper was
  // killed before it could tell.
  [[nodiscard]] int reap() noexcept;

  // wait: waitForExit() then reap().
  [[nodiscard]] int wait() noexcept {
    waitForExit();
    return reap();
  }

  // run: starts the program, reads every stream set up as a pipe to its end
  // (an input pipe is closed at once), and waits for it. Blocks.
  [[nodiscard]] static ProcessOutcome run(const ProcessOptions& options);

  // launch: starts a program that is not this process's child and may
  // outlive it (a browser, or the URL opener that runs one in the
  // foreground): started through a helper that exits at once (and is
  // reaped), so nothing of it waits for this process or keeps it waiting.
  // Waits up to `patience` for the program's status. Pipe streams are not
  // allowed (nobody would read them): invalid_argument.
  [[nodiscard]] static LaunchOutcome launch(const ProcessOptions& options,
                                            std::chrono::milliseconds patience);

  // endChildrenWithCaller: from now on, every child that start() (and so
  // run()) starts is killed (SIGKILL) when the thread that started it ends,
  // and so, as that thread waits for it, when this process ends in any way,
  // SIGKILL included, which nothing in the process can catch: an archiver
  // writing into a work folder for a killed program does not go on as an
  // orphan. Children started through a keeper end with the keeper. Programs
  // from launch() are not touched: they outlive the caller by design. A
  // setting for a program of ours to make in main(): on Linux each start then
  // forks (the request is made between fork and exec), which a library in
  // another program's process must not do. Where the system has no such
  // request, children are not tied. Any thread.
  static void endChildrenWithCaller() noexcept;

  // launchAll: launch() for several programs, all started before any is
  // waited for, with one `patience` for them all. One outcome per program,
  // in order.
  [[nodiscard]] static std::vector<LaunchOutcome> launchAll(
      std::span<const ProcessOptions> programs, std::chrono::milliseconds patience);

 private:
  void requestSignal(int signal) noexcept;
  void signalGroup(int signal) noexcept;  // with mLock held and the child not reaped

  UniqueFd mInput;
  UniqueFd mOutput;
  UniqueFd mError;

  std::mutex mLock;
  pid_t mPid = 0;            ///< guarded by mLock; 0 until started
  bool mStarting = false;    ///< guarded by mLock
  int mRequestedSignal = 0;  ///< guarded by mLock; a signal asked for while starting
  bool mReaped = false;      ///< guarded by mLock
  // A keeper's pipes and the status it passed on; used by the starting
  // thread only (waitForExit and reap).
  UniqueFd mKeeperStatus;
  UniqueFd mKeeperRelease;
  int mKeptStatus = -1;  ///< raw wait status, or -1 while unknown
};

// readUntilClosed: reads each descriptor of `fds` until it reaches
// end-of-file (or fails, as a pseudo-terminal does once its other side is
// closed), in one poll() loop, so that none can fill up and stall its writer
// while another is read. `onChunk(k, bytes)` gets every chunk read from
// fds[k], in order, on the calling thread. When `onChunk` throws, it is not
// called again, the descriptors are still read to their end (so the writer
// can finish), and the first exception is rethrown then.
void readUntilClosed(std::span<const int> fds,
                     const std::function<void(size_t index, std::string_view bytes)>& onChunk);

// findProgram: the first executable file `name` in a folder of PATH (the
// caller's; absolute folders only, as a relative entry would name the
// current folder); a name holding a "/" is taken as it is when executable.
[[nodiscard]] std::optional<std::filesystem::path> findProgram(std::string_view name);

// environmentWith: the caller's environment with each NAME=VALUE of
// `replacements` replacing any variable of that name (or added).
[[nodiscard]] std::vector<std::string> environmentWith(
    std::span<const std::pair<std::string, std::string>> replacements);

}  // namespace vexel
