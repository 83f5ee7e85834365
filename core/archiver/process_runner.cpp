#include "archiver/process_runner.h"

#include "process/child_process.h"
#include "readers/archive_error.h"
#include "text/utf8.h"

#include <locale.h>
#include <unicode/uchar.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vexel {
namespace {

using text::CodePoint;
using text::codePointAt;

// A child that outlasts a cancel's SIGTERM by this long is killed.
constexpr auto kTerminateGrace = std::chrono::seconds(2);
constexpr auto kCancelLook = std::chrono::milliseconds(50);

// Escalation: ends a cancelled run whose program does not end on SIGTERM
// (7-Zip blocked opening a named pipe only marks it as a break): SIGKILL
// to its group once the grace has passed. Watches from a thread of its own.
class Escalation {
 public:
  Escalation(std::shared_ptr<ChildProcess> child, std::shared_ptr<TaskHandle> task)
      : mThread([this, child = std::move(child), task = std::move(task)] {
          std::unique_lock lock(mLock);
          while (!mDone && !task->isCancelled()) mWake.wait_for(lock, kCancelLook);
          if (mDone) return;
          child->terminate();
          if (!mWake.wait_for(lock, kTerminateGrace, [this] { return mDone; })) child->kill();
        }) {}
  Escalation(const Escalation&) = delete;
  Escalation& operator=(const Escalation&) = delete;
  // ~Escalation: once the child has exited.
  ~Escalation() {
    {
      const std::lock_guard lock(mLock);
      mDone = true;
    }
    mWake.notify_one();
    mThread.join();
  }

 private:
  std::mutex mLock;
  std::condition_variable mWake;
  bool mDone = false;
  std::thread mThread;  // last: starts once the members it uses exist
};

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
  return c >= 0x80 && u_getIntPropertyValue(static_cast<UChar32>(c),
                                            UCHAR_GRAPHEME_CLUSTER_BREAK) == U_GCB_PREPEND;
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
  const std::pair<std::string, std::string> locale[] = {{"LANG", childLocale()},
                                                        {"LC_ALL", childLocale()}};
  return environmentWith(locale);
}

// Per-run output state, owned by the reader thread until `run` has joined
// it, so it needs no lock: `run` reads it only afterwards.
struct Output {
  std::string out;
  std::string err;
  int lastPercent = -1;
  std::exception_ptr failure;  ///< the first exception met on the reader thread
};

// Drains both pipes to end-of-file; this process only ever reads from
// them, so SIGPIPE cannot arise on its side.
void readOutputs(int outRead, int errRead, const ProcessRunner::Progress& progress,
                 Output& output) {
  const int fds[] = {outRead, errRead};
  try {
    readUntilClosed(fds, [&](size_t index, std::string_view data) {
      (index == 0 ? output.out : output.err).append(data);
      if (index != 0 || !progress) return;
      const std::optional<int> percent = ProcessRunner::lastPercent(text::decodeUtf8Lenient(data));
      if (percent && *percent != output.lastPercent) {
        output.lastPercent = *percent;
        progress(*percent / 100.0);
      }
    });
  } catch (...) {
    output.failure = std::current_exception();
  }
}

}  // namespace

RunResult ProcessRunner::run(const std::filesystem::path& executable,
                             const std::vector<std::string>& arguments,
                             const std::optional<std::filesystem::path>& cwd,
                             const std::shared_ptr<TaskHandle>& task, const Progress& progress) {
  if (task && task->isCancelled()) throw ArchiveError::cancelled();
  auto child = std::make_shared<ChildProcess>();
  // Detaches the handle on every path out of run(), before the child's last
  // owner (which would kill and reap a child still running) lets it go.
  struct DetachOnExit {
    const std::shared_ptr<TaskHandle>& task;
    ~DetachOnExit() {
      if (task) task->detach();
    }
  };
  const DetachOnExit detachOnExit{task};
  if (task) task->attach(child);
  const std::error_code startError = child->start({.program = executable,
                                                   .arguments = arguments,
                                                   .environment = childEnvironment(),
                                                   .workingDirectory = cwd});
  if (startError) {
    throw ArchiveError::cannotStart(executable.filename().string(), startError.message());
  }

  Output output;
  const UniqueFd outRead = child->takeOutput();
  const UniqueFd errRead = child->takeError();
  std::thread reader(readOutputs, outRead.get(), errRead.get(), std::cref(progress),
                     std::ref(output));
  {
    std::optional<Escalation> escalation;
    if (task) escalation.emplace(child, task);
    // The child stays a zombie until both streams are closed, so that a
    // cancel() meanwhile still reaches the helpers that hold them.
    child->waitForExit();
    reader.join();
  }
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
