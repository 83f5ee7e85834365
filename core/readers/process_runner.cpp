#include "readers/process_runner.h"

#include "internal/child_keeper.h"
#include "internal/child_process.h"
#include "internal/process_spawn.h"
#include "readers/archive_error.h"
#include "text/utf8.h"

#include <locale.h>
#include <poll.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace vexel {
namespace {

using process_internal::ChildProcess;
using process_internal::UniqueFd;
using text::CodePoint;
using text::codePointAt;

constexpr size_t kChunkSize = 64 * 1024;

// ---- Percentages -------------------------------------------------------

// Whether `c` belongs to the user-perceived character before it (combining
// marks, joiners, spacing marks); ASCII never does.
bool extendsPrevious(char32_t c) noexcept {
  if (c < 0x80) return false;
  const auto kind = u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_GRAPHEME_CLUSTER_BREAK);
  return kind == U_GCB_EXTEND || kind == U_GCB_ZWJ || kind == U_GCB_SPACING_MARK;
}

// Whether `c` joins the character after it (prepended concatenation marks).
bool joinsNext(char32_t c) noexcept {
  return c >= 0x80 &&
         u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_GRAPHEME_CLUSTER_BREAK) == U_GCB_PREPEND;
}

bool isControl(char32_t c) noexcept { return c < 0x20 || c == 0x7F; }

// ---- Child start ---------------------------------------------------------

// The locale the archiver runs under: en_US.UTF-8, so that it prints UTF-8
// and its English phrases whatever the caller's locale is; C.UTF-8 (also
// English, also UTF-8) where en_US.UTF-8 is not installed, as on many
// minimal systems: a locale that does not exist leaves the program in the
// "C" locale, where bsdtar prints every non-ASCII name as octal escapes.
// The child finds locales where this process does (same LOCPATH).
const std::string& childLocale() {
  static const std::string chosen = [] {
    for (const char* name : {"en_US.UTF-8", "C.UTF-8"}) {
      if (const locale_t probe = newlocale(LC_ALL_MASK, name, locale_t{})) {
        freelocale(probe);
        return std::string(name);
      }
    }
    return std::string("en_US.UTF-8");
  }();
  return chosen;
}

// The caller's environment with LANG and LC_ALL replaced.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (variable.starts_with("LANG=") || variable.starts_with("LC_ALL=")) continue;
    variables.emplace_back(variable);
  }
  variables.push_back("LANG=" + childLocale());
  variables.push_back("LC_ALL=" + childLocale());
  return variables;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string describeErrno(int code) { return std::generic_category().message(code); }

// Starts the child; returns 0 with `pid` set, or an errno value.
int startChild(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               const std::optional<std::filesystem::path>& cwd, int outWrite, int errWrite,
               ChildProcess& child, pid_t& pid) {
  // With a working directory given, a relative program path would otherwise
  // be looked up from there.
  std::error_code ignored;
  const std::filesystem::path program = std::filesystem::absolute(executable, ignored);
  std::vector<std::string> argv;
  argv.reserve(arguments.size() + 1);
  argv.push_back(executable.string());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environment = childEnvironment();
  std::vector<char*> argvPointers = pointersTo(argv);
  std::vector<char*> environmentPointers = pointersTo(environment);
  const process_internal::ChildStart start{
      .program = program.empty() ? executable.c_str() : program.c_str(),
      .argv = argvPointers.data(),
      .environment = environmentPointers.data(),
      .cwd = cwd ? cwd->c_str() : nullptr,
      .outWrite = outWrite,
      .errWrite = errWrite};
  child.markStarting();
  if (process_internal::childrenAreReapedForUs()) {
    UniqueFd status, release;
    const int error = process_internal::spawnKeptChild(start, pid, status, release);
    if (error == 0) child.markKept(std::move(status), std::move(release));
    return error;
  }
  return process_internal::spawnChild(start, pid);
}

// ---- Output readers ------------------------------------------------------

// Per-run output state. One reader thread owns both buffers until `run`
// has joined it, so they need no lock: `run` reads them only afterwards.
struct Output {
  std::string out;
  std::string err;
  int lastPercent = -1;
  std::exception_ptr failure;  ///< the first exception met on the reader thread
};

// Drains both pipes to end-of-file with one poll() loop, so neither can fill
// up and stall the child while the other is being read. This process only
// ever reads from pipes, so SIGPIPE cannot arise on its side.
void readOutputs(int outRead, int errRead, const ProcessRunner::Progress& progress, Output& output) {
  std::array<pollfd, 2> fds{pollfd{outRead, POLLIN, 0}, pollfd{errRead, POLLIN, 0}};
  std::string chunk(kChunkSize, '\0');
  bool reporting = static_cast<bool>(progress);
  int open = 2;
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      // Only EINVAL and EFAULT remain, which valid descriptors rule out;
      // giving up on ENOMEM could leave the child blocked on a full pipe.
      if (errno == EINTR || errno == EAGAIN || errno == ENOMEM) continue;
      return;
    }
    for (size_t k = 0; k < fds.size(); ++k) {
      pollfd& fd = fds[k];
      if (fd.fd < 0 || fd.revents == 0) continue;
      const ssize_t got = ::read(fd.fd, chunk.data(), chunk.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {  // end-of-file, or an error that ends the stream alike
        fd.fd = -1;
        --open;
        continue;
      }
      const std::string_view data(chunk.data(), static_cast<size_t>(got));
      try {
        if (output.failure) continue;  // keep draining so the child can finish
        (k == 0 ? output.out : output.err).append(data);
        if (k != 0 || !reporting) continue;
        const std::optional<int> percent =
            ProcessRunner::lastPercent(text::decodeUtf8Lenient(data));
        if (percent && *percent != output.lastPercent) {
          output.lastPercent = *percent;
          progress(*percent / 100.0);
        }
      } catch (...) {
        output.failure = std::current_exception();
        reporting = false;
      }
    }
  }
}

}  // namespace

RunResult ProcessRunner::run(const std::filesystem::path& executable,
                             const std::vector<std::string>& arguments,
                             const std::optional<std::filesystem::path>& cwd,
                             const std::shared_ptr<TaskHandle>& task, const Progress& progress) {
  const auto cannotStart = [&](int code) {
    return ArchiveError::cannotStart(executable.filename().string(), describeErrno(code));
  };
  if (task && task->isCancelled()) throw ArchiveError::cancelled();

  UniqueFd outRead, outWrite, errRead, errWrite;
  if (!process_internal::makePipe(outRead, outWrite) || !process_internal::makePipe(errRead, errWrite)) {
    throw cannotStart(errno);
  }
  auto child = std::make_shared<ChildProcess>();
  Output output;

  // The reader starts before the child; it ends once every write end is
  // closed: ours below, the child's (and its helpers') when they exit.
  std::thread reader(readOutputs, outRead.get(), errRead.get(), std::cref(progress), std::ref(output));
  // Detaches the handle on every path out of run().
  struct DetachOnExit {
    const std::shared_ptr<TaskHandle>& task;
    ~DetachOnExit() {
      if (task) task->detach();
    }
  };
  const DetachOnExit detachOnExit{task};
  pid_t pid = 0;
  int startError = 0;
  try {
    if (task) task->attach(child);
    startError = startChild(executable, arguments, cwd, outWrite.get(), errWrite.get(), *child, pid);
  } catch (...) {
    outWrite.reset();
    errWrite.reset();
    reader.join();
    throw;
  }
  if (startError == 0) child->markStarted(pid);
  outWrite.reset();
  errWrite.reset();
  if (startError != 0) {
    reader.join();
    throw cannotStart(startError);
  }

  // The child stays a zombie until both streams are closed, so that a
  // cancel() meanwhile still reaches the helpers that hold them.
  child->waitForExit();
  reader.join();
  const int status = child->reap();

  if (task && task->isCancelled()) throw ArchiveError::cancelled();
  if (output.failure) std::rethrow_exception(output.failure);
  // Each raw buffer goes as soon as its text exists: output has no size limit.
  RunResult result{.status = status, .stdout = text::decodeUtf8Lenient(output.out), .stderr = {}};
  std::string().swap(output.out);
  result.stderr = text::decodeUtf8Lenient(output.err);
  return result;
}

std::optional<int> ProcessRunner::lastPercent(std::string_view text) noexcept {
  std::optional<int> last;
  int digits = 0;  // length of the current run of digits
  int value = 0;   // its value while it has at most three digits
  size_t i = 0;
  while (i < text.size()) {
    // One user-perceived character: a code point with what extends it.
    const CodePoint first = codePointAt(text, i);
    i += first.length;
    bool plain = true;
    if (joinsNext(first.value)) {
      plain = false;
      if (i < text.size()) {
        const CodePoint next = codePointAt(text, i);
        if (!isControl(next.value)) i += next.length;
      }
    }
    while (i < text.size()) {
      const CodePoint next = codePointAt(text, i);
      if (!extendsPrevious(next.value) || isControl(first.value)) break;
      plain = false;
      i += next.length;
    }

    const char32_t c = first.value;
    if (plain && c >= U'0' && c <= U'9') {
      if (digits < 3) value = value * 10 + static_cast<int>(c - U'0');
      if (digits < 4) ++digits;
    } else if (plain && c == U'%') {
      if (digits >= 1 && digits <= 3 && value <= 100) last = value;
      digits = 0;
      value = 0;
    } else {
      digits = 0;
      value = 0;
    }
  }
  return last;
}

}  // namespace vexel
