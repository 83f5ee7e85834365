#include "process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <exception>

#include "internal/child_keeper.h"
#include "internal/spawn.h"

extern char** environ;

namespace vexel {
namespace {

namespace fs = std::filesystem;
using process_internal::KeeperMessage;

constexpr size_t kChunkSize = 64 * 1024;

// Set once by a program's main(), read by every start after.
std::atomic<bool> gChildrenEndWithCaller{false};

std::error_code errnoCode(int code) { return {code, std::generic_category()}; }

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The exit code, or the number of the signal that ended the child.
int decodeStatus(int status) noexcept {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
}

// One standard stream as the parent prepares it: the descriptor the child
// gets (3 or above, close-on-exec here; none to keep the caller's own) and
// the caller's end of a pipe.
struct PreparedStream {
  UniqueFd childSide;
  UniqueFd callerSide;
};

// Returns 0, or the errno value that kept the stream from being made.
int prepare(const StreamSetup& setup, bool isInput, PreparedStream& stream) {
  switch (setup.kind) {
    case StreamSetup::Kind::inherited:
      return 0;
    case StreamSetup::Kind::nullDevice: {
      stream.childSide = UniqueFd(::open("/dev/null", (isInput ? O_RDONLY : O_WRONLY) | O_CLOEXEC));
      if (!stream.childSide || !liftAboveStandard(stream.childSide)) return errno;
      return 0;
    }
    case StreamSetup::Kind::pipe: {
      UniqueFd readEnd, writeEnd;
      if (!makePipe(readEnd, writeEnd)) return errno;
      stream.childSide = std::move(isInput ? readEnd : writeEnd);
      stream.callerSide = std::move(isInput ? writeEnd : readEnd);
      return 0;
    }
    case StreamSetup::Kind::descriptor: {
      // A copy 3 or above: the caller's own 0-2 (or two streams sharing one
      // descriptor) cannot be overwritten while the child sets up its streams.
      if (setup.fd < 0) return EBADF;
      stream.childSide = UniqueFd(fcntl(setup.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      return stream.childSide ? 0 : errno;
    }
  }
  return EINVAL;
}

// Everything a start needs, made before it: the argument and environment
// arrays and the child's streams.
struct Preparation {
  std::string program;
  std::vector<std::string> argv;
  std::vector<std::string> environment;
  std::vector<char*> argvPointers;
  std::vector<char*> environmentPointers;
  std::string cwd;
  std::string terminal;
  std::array<PreparedStream, 3> streams;
  process_internal::SpawnPlan plan{};

  // Returns 0, or the errno value that kept a stream from being made.
  int make(const ProcessOptions& options) {
    // With a working directory given, a relative program path would
    // otherwise be looked up from there.
    std::error_code ignored;
    const fs::path absolute = fs::absolute(options.program, ignored);
    program = absolute.empty() ? options.program.string() : absolute.string();
    argv.reserve(options.arguments.size() + 1);
    argv.push_back(options.program.string());
    argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
    argvPointers = pointersTo(argv);
    char* const* environmentArray = environ;
    if (options.environment) {
      environment = *options.environment;
      environmentPointers = pointersTo(environment);
      environmentArray = environmentPointers.data();
    }
    if (options.workingDirectory) cwd = options.workingDirectory->string();
    if (options.controllingTerminal) terminal = options.controllingTerminal->string();

    const StreamSetup setups[3] = {options.input, options.output, options.error};
    for (int k = 0; k < 3; ++k) {
      if (k == STDIN_FILENO && options.controllingTerminal) continue;  // the terminal instead
      if (const int error = prepare(setups[k], k == STDIN_FILENO, streams[static_cast<size_t>(k)]))
        return error;
    }
    plan = {.program = program.c_str(),
            .argv = argvPointers.data(),
            .environment = environmentArray,
            .cwd = options.workingDirectory ? cwd.c_str() : nullptr,
            .streams = {streams[0].childSide.get(), streams[1].childSide.get(),
                        streams[2].childSide.get()},
            .terminal = options.controllingTerminal ? terminal.c_str() : nullptr,
            .endsWithCaller = false};
    return 0;
  }
};

}  // namespace

ChildProcess::~ChildProcess() {
  mInput.reset();
  mOutput.reset();
  mError.reset();
  bool running = false;
  {
    const std::lock_guard lock(mLock);
    running = mPid > 0 && !mReaped;
    if (running) signalGroup(SIGKILL);
  }
  if (running) (void)wait();
}

std::error_code ChildProcess::start(const ProcessOptions& options) {
  {
    const std::lock_guard lock(mLock);
    if (mStarting || mPid > 0) return std::make_error_code(std::errc::operation_in_progress);
  }
  Preparation preparation;
  if (const int error = preparation.make(options)) return errnoCode(error);
  preparation.plan.endsWithCaller = gChildrenEndWithCaller.load(std::memory_order_relaxed);

  {
    // From now on a terminate() counts: it is held over until the child exists.
    const std::lock_guard lock(mLock);
    mStarting = true;
  }
  pid_t pid = 0;
  int error = 0;
  if (process_internal::childrenAreReapedForUs()) {
    error = process_internal::spawnKeptChild(preparation.plan, pid, mKeeperStatus, mKeeperRelease);
  } else {
    error = process_internal::spawnChild(preparation.plan, pid);
  }
  const std::lock_guard lock(mLock);
  mStarting = false;
  if (error != 0) {
    mRequestedSignal = 0;
    return errnoCode(error);
  }
  mPid = pid;
  // The child may have run and printed before its id was known here; a
  // cancel prompted by that output must not be lost.
  if (mRequestedSignal != 0) signalGroup(mRequestedSignal);
  mInput = std::move(preparation.streams[0].callerSide);
  mOutput = std::move(preparation.streams[1].callerSide);
  mError = std::move(preparation.streams[2].callerSide);
  return {};
}

void ChildProcess::endChildrenWithCaller() noexcept {
  gChildrenEndWithCaller.store(true, std::memory_order_relaxed);
}

void ChildProcess::terminate() noexcept { requestSignal(SIGTERM); }

void ChildProcess::kill() noexcept { requestSignal(SIGKILL); }

void ChildProcess::requestSignal(int signal) noexcept {
  const std::lock_guard lock(mLock);
  if (mReaped) return;
  if (mPid > 0) {
    signalGroup(signal);
  } else if (mStarting && mRequestedSignal != SIGKILL) {
    mRequestedSignal = signal;
  }
}

void ChildProcess::signalGroup(int signal) noexcept {
  // The group first, for helpers that hold the output pipes; the child
  // itself too, in case it moved to another group.
  ::kill(-mPid, signal);
  ::kill(mPid, signal);
}

void ChildProcess::waitForExit() noexcept {
  pid_t pid = 0;
  {
    const std::lock_guard lock(mLock);
    pid = mPid;
  }
  if (pid <= 0) return;
  if (mKeeperStatus) {
    const KeeperMessage message = process_internal::readKeeperMessage(mKeeperStatus.get());
    if (message.kind == KeeperMessage::exited) mKeptStatus = message.value;
    mKeeperStatus.reset();
    return;
  }
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return;  // ECHILD: already reaped elsewhere; reap() copes
  }
}

int ChildProcess::reap() noexcept {
  const std::lock_guard lock(mLock);
  if (mPid <= 0 || mReaped) return -1;
  mReaped = true;
  if (mKeeperRelease) {
    // The keeper exits once released; the kernel reaps it while SIGCHLD is
    // ignored, and it is collected here should the caller have restored it.
    mKeeperRelease.reset();
    if (!process_internal::childrenAreReapedForUs()) {
      while (waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    return decodeStatus(mKeptStatus);
  }
  int status = 0;
  pid_t got = 0;
  do {
    got = waitpid(mPid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != mPid) return -1;
  return decodeStatus(status);
}

ProcessOutcome ChildProcess::run(const ProcessOptions& options) {
  ProcessOutcome outcome;
  ChildProcess child;
  outcome.startError = child.start(options);
  if (outcome.startError) return outcome;
  child.takeInput().reset();
  const UniqueFd output = child.takeOutput();
  const UniqueFd error = child.takeError();
  const int fds[] = {output.get(), error.get()};
  readUntilClosed(fds, [&outcome](size_t index, std::string_view bytes) {
    (index == 0 ? outcome.output : outcome.error).append(bytes);
  });
  outcome.status = child.wait();
  return outcome;
}

LaunchOutcome ChildProcess::launch(const ProcessOptions& options,
                                   std::chrono::milliseconds patience) {
  return launchAll(std::span(&options, 1), patience).front();
}

std::vector<LaunchOutcome> ChildProcess::launchAll(std::span<const ProcessOptions> programs,
                                                   std::chrono::milliseconds patience) {
  std::vector<LaunchOutcome> outcomes(programs.size());
  std::vector<pollfd> waiting;  // the status pipes of those started, by outcome index
  std::vector<size_t> owners;
  std::vector<UniqueFd> statusPipes;
  for (size_t k = 0; k < programs.size(); ++k) {
    const ProcessOptions& options = programs[k];
    const bool hasPipe = options.input.kind == StreamSetup::Kind::pipe ||
                         options.output.kind == StreamSetup::Kind::pipe ||
                         options.error.kind == StreamSetup::Kind::pipe;
    if (hasPipe) {
      outcomes[k].startError = std::make_error_code(std::errc::invalid_argument);
      continue;
    }
    Preparation preparation;
    if (const int error = preparation.make(options)) {
      outcomes[k].startError = errnoCode(error);
      continue;
    }
    UniqueFd status;
    if (const int error = process_internal::spawnDetached(preparation.plan, status)) {
      outcomes[k].startError = errnoCode(error);
      continue;
    }
    waiting.push_back(pollfd{status.get(), POLLIN, 0});
    owners.push_back(k);
    statusPipes.push_back(std::move(status));
  }
  const auto deadline = std::chrono::steady_clock::now() + patience;
  size_t open = waiting.size();
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(waiting.data(), waiting.size(),
                           static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (size_t w = 0; w < waiting.size(); ++w) {
      if (waiting[w].fd < 0 || waiting[w].revents == 0) continue;
      const KeeperMessage message = process_internal::readKeeperMessage(waiting[w].fd);
      if (message.kind == KeeperMessage::exited)
        outcomes[owners[w]].status = decodeStatus(message.value);
      waiting[w].fd = -1;
      --open;
    }
  }
  // Closing the pipes leaves the keepers still waiting to report to nobody and exit.
  return outcomes;
}

void readUntilClosed(std::span<const int> fds,
                     const std::function<void(size_t index, std::string_view bytes)>& onChunk) {
  std::vector<pollfd> polled;
  polled.reserve(fds.size());
  size_t open = 0;
  for (const int fd : fds) {
    polled.push_back(pollfd{fd, POLLIN, 0});
    if (fd >= 0) ++open;
  }
  std::string chunk(kChunkSize, '\0');
  std::exception_ptr failure;
  while (open > 0) {
    if (poll(polled.data(), polled.size(), -1) < 0) {
      // Only EINVAL and EFAULT remain, which valid descriptors rule out;
      // giving up on ENOMEM could leave the writer blocked on a full pipe.
      if (errno == EINTR || errno == EAGAIN || errno == ENOMEM) continue;
      break;
    }
    for (size_t k = 0; k < polled.size(); ++k) {
      pollfd& fd = polled[k];
      if (fd.fd < 0 || fd.revents == 0) continue;
      const ssize_t got = ::read(fd.fd, chunk.data(), chunk.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {  // end-of-file, or an error that ends the stream alike
        fd.fd = -1;
        --open;
        continue;
      }
      if (failure) continue;  // keep draining so that the writer can finish
      try {
        onChunk(k, std::string_view(chunk.data(), static_cast<size_t>(got)));
      } catch (...) {
        failure = std::current_exception();
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
}

std::optional<fs::path> findProgram(std::string_view name) {
  const auto executableFile = [](const fs::path& candidate) {
    struct stat info {};
    return ::access(candidate.c_str(), X_OK) == 0 && ::stat(candidate.c_str(), &info) == 0 &&
           !S_ISDIR(info.st_mode);
  };
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    const fs::path given(name);
    return executableFile(given) ? std::optional<fs::path>(given) : std::nullopt;
  }
  const char* path = getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    if (!folder.empty() && folder.front() == '/') {
      const fs::path candidate = fs::path(folder) / name;
      if (executableFile(candidate)) return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    folders.remove_prefix(colon + 1);
  }
}

std::vector<std::string> environmentWith(
    std::span<const std::pair<std::string, std::string>> replacements) {
  std::vector<std::string> variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    bool replaced = false;
    for (const auto& [name, value] : replacements) {
      replaced = replaced || (variable.starts_with(name) && variable.size() > name.size() &&
                              variable[name.size()] == '=');
    }
    if (!replaced) variables.emplace_back(variable);
  }
  for (const auto& [name, value] : replacements) variables.push_back(name + "=" + value);
  return variables;
}

}  // namespace vexel
