#include "handoff/desktop.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "process/child_process.h"

namespace vexel {
namespace {

// ProgramResult: how a helper program ended and what it printed.
struct ProgramResult {
  int status = -1;  ///< the exit code; -1 when it could not start or did not exit
  std::string out;
};

std::string withoutFinalNewline(std::string text) {
  if (text.ends_with('\n')) text.pop_back();
  return text;
}

bool environmentSet(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0';
}

// Runs `argv` (argv[0] looked up in PATH) with standard input on the null
// device, standard output collected and standard error passed on. Blocks
// until it exits.
ProgramResult runProgram(const std::vector<std::string>& argv) {
  ProgramResult result;
  if (argv.empty()) return result;
  const std::optional<std::filesystem::path> program = findProgram(argv.front());
  if (!program) return result;
  const ProcessOutcome outcome =
      ChildProcess::run({.program = *program,
                         .arguments = std::vector<std::string>(argv.begin() + 1, argv.end()),
                         .error = StreamSetup::inherited()});
  if (outcome.startError) return result;
  result.status = outcome.status;
  result.out = outcome.output;
  return result;
}

}  // namespace

// ---- Desktop ---------------------------------------------------------------

Desktop::Desktop()
    : mHasDisplay(environmentSet("DISPLAY") || environmentSet("WAYLAND_DISPLAY")),
      mNotifies(mHasDisplay && findProgram("notify-send").has_value()) {
  if (mNotifies) mThread = std::thread(&Desktop::serve, this);
}

Desktop::~Desktop() {
  {
    const std::lock_guard lock(mLock);
    mStopping = true;
  }
  mWake.notify_all();
  if (mThread.joinable()) mThread.join();
}

Desktop::Notice::Notice(Desktop& desktop, std::string title, std::string icon)
    : mDesktop(&desktop),
      mTitle(std::move(title)),
      mIcon(std::move(icon)),
      mId(std::make_shared<long>(0)) {}

Desktop::Notice Desktop::begin(const std::string& title, const std::string& icon) {
  Notice notice(*this, title, icon);
  if (mNotifies) {
    post({notice.mId, title, "", icon, 0, false, false});
  } else {
    line(title + "…");
  }
  return notice;
}

void Desktop::Notice::progress(double fraction) {
  const int percent = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 100.0));
  if (mDesktop->mNotifies) {
    if (percent == mLastPercent) return;
    mLastPercent = percent;
    mDesktop->post({mId, mTitle, std::to_string(percent) + "%", mIcon, percent, false, false});
    return;
  }
  // On a terminal or in a log, a line per tenth is enough.
  if (mLastPercent >= 0 && percent < mLastPercent + 10 && !(percent == 100 && mLastPercent < 100))
    return;
  mLastPercent = percent;
  mDesktop->line(mTitle + "：" + std::to_string(percent) + "%");
}

void Desktop::Notice::finish(const std::string& title, const std::string& body, bool failed) {
  mDesktop->line(title + "：" + body);
  if (mDesktop->mNotifies) {
    mDesktop->post({mId, title, body, failed ? "dialog-error" : mIcon, std::nullopt, true, failed});
  }
}

void Desktop::message(const std::string& title, const std::string& body, bool failed) {
  line(title + "：" + body);
  if (mNotifies)
    post({std::make_shared<long>(0), title, body, failed ? "dialog-error" : "dialog-information",
          std::nullopt, true, failed});
}

void Desktop::line(const std::string& text) {
  const std::lock_guard lock(mLock);
  const std::string out = "vexel-handoff: " + text + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

void Desktop::post(Note note) {
  {
    const std::lock_guard lock(mLock);
    // A progress update replaces one that has not gone out yet.
    if (!note.final && !mQueue.empty() && !mQueue.back().final && mQueue.back().id == note.id) {
      mQueue.back() = std::move(note);
    } else {
      mQueue.push_back(std::move(note));
    }
  }
  mWake.notify_one();
}

void Desktop::serve() {
  std::unique_lock lock(mLock);
  for (;;) {
    mWake.wait(lock, [this] { return mStopping || !mQueue.empty(); });
    if (mQueue.empty()) return;
    const Note note = std::move(mQueue.front());
    mQueue.pop_front();
    lock.unlock();
    send(note);
    lock.lock();
  }
}

void Desktop::send(const Note& note) {
  // Notes queued before notify-send was found not to work go nowhere.
  if (!mNotifies) return;
  const auto command = [&](bool replacing) {
    std::vector<std::string> argv{"notify-send", "--app-name=Vexel", "--icon=" + note.icon};
    if (replacing) {
      argv.emplace_back("--print-id");
      if (*note.id != 0) argv.push_back("--replace-id=" + std::to_string(*note.id));
    }
    if (note.percent) argv.push_back("--hint=int:value:" + std::to_string(*note.percent));
    if (note.failed) argv.emplace_back("--urgency=critical");
    argv.insert(argv.end(), {"--", note.title, note.body});
    return argv;
  };
  if (mReplaces) {
    const ProgramResult result = runProgram(command(true));
    if (result.status == 0) {
      const long id = std::strtol(result.out.c_str(), nullptr, 10);
      if (id > 0) *note.id = id;
      return;
    }
    // Before libnotify 0.7.9 there is no --print-id: no updates in place.
    mReplaces = false;
  }
  // Without updates in place, only the start and the outcome are shown.
  if (note.percent && *note.percent != 0) return;
  // Without a notification server, progress goes to standard error from
  // now on, as it does without a display (outcomes always go there too).
  if (runProgram(command(false)).status != 0) mNotifies = false;
}

Desktop::Answer Desktop::askPassword(const std::string& title, std::string& password) const {
  if (!mHasDisplay || !findProgram("zenity")) return Answer::unavailable;
  const ProgramResult result = runProgram({"zenity", "--password", "--title=" + title});
  if (result.status == 1) return Answer::declined;
  if (result.status != 0) return Answer::unavailable;
  password = withoutFinalNewline(result.out);
  return Answer::given;
}

Desktop::Answer Desktop::askCompressOptions(const std::string& title,
                                            CompressOptions& options) const {
  if (!mHasDisplay || !findProgram("zenity")) return Answer::unavailable;
  // The choices' texts, and the levels they stand for.
  static constexpr std::pair<const char*, int> kLevels[] = {
      {"标准", 5}, {"最快", 1}, {"最小", 9}, {"仅存储", 0}};
  std::string levels;
  for (const auto& [text, level] : kLevels) levels += std::string(levels.empty() ? "" : "|") + text;
  const ProgramResult result =
      runProgram({"zenity", "--forms", "--title=" + title, "--text=" + title, "--separator=|",
                  "--add-combo=格式", "--combo-values=zip|7z", "--add-combo=压缩级别",
                  "--combo-values=" + levels});
  if (result.status == 1) return Answer::declined;
  if (result.status != 0) return Answer::unavailable;
  const std::string answer = withoutFinalNewline(result.out);
  const size_t bar = answer.find('|');
  const std::string format = answer.substr(0, bar);
  const std::string level = bar == std::string::npos ? "" : answer.substr(bar + 1);
  options.format = format == "7z" ? "7z" : "zip";
  options.level.reset();
  for (const auto& [text, value] : kLevels) {
    if (level == text) options.level = value;
  }
  return Answer::given;
}

bool Desktop::openInBrowser(const std::filesystem::path& file) const {
  return runProgram({"xdg-open", file.string()}).status == 0;
}

}  // namespace vexel
