#include "handoff/desktop.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "internal/handoff_texts.h"
#include "process/child_process.h"

namespace vexel {
namespace {

namespace texts = handoff_internal;
using namespace std::chrono_literals;

// How long the URL opener may take to say how it went: on GNOME and KDE it
// ends once the browser has the page; the generic xdg-open runs a browser
// that is not running yet in the foreground, until it is closed.
constexpr auto kBrowserPatience = 3s;

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
  const std::string out = "vexel-handoff: " + texts::forTerminalLine(text) + "\n";
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
    // The summary is plain text to the server, the body markup; notify-send
    // refuses either when it is not UTF-8.
    argv.insert(argv.end(), {"--", texts::forNotificationTitle(note.title),
                             texts::forNotificationBody(note.body)});
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
  const ProgramResult result =
      runProgram({"zenity", "--password", "--title=" + texts::forNotificationTitle(title)});
  if (result.status == 1) return Answer::declined;
  if (result.status != 0) return Answer::unavailable;
  password = withoutFinalNewline(result.out);
  return Answer::given;
}

Desktop::Answer Desktop::askCompressOptions(const std::string& title,
                                            CompressOptions& options) const {
  if (!mHasDisplay || !findProgram("zenity")) return Answer::unavailable;
  // One row a choice, the first chosen, in a list every zenity shows: the
  // drop-downs of --forms come up empty in zenity 3 (Debian 12). A hidden
  // column says the choice as "FORMAT:LEVEL".
  std::vector<std::string> argv{"zenity",
                                "--list",
                                "--radiolist",
                                "--title=" + texts::forNotificationTitle(title),
                                "--text=" + texts::forNotificationBody(title),
                                "--column=" + std::string(texts::kChoiceField),
                                "--column=",
                                "--column=" + std::string(texts::kFormatField),
                                "--column=" + std::string(texts::kLevelField),
                                "--hide-column=2",
                                "--print-column=2",
                                "--height=360"};
  bool isFirst = true;
  for (const std::string_view format : {"zip", "7z"}) {
    for (const auto& [text, level] : texts::kCompressionLevels) {
      argv.insert(argv.end(), {std::exchange(isFirst, false) ? "TRUE" : "FALSE",
                               std::string(format) + ":" + std::to_string(level),
                               format == "zip" ? "ZIP" : "7z", std::string(text)});
    }
  }
  // OK with no row chosen picks nothing: the question comes again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ProgramResult result = runProgram(argv);
    if (result.status == 1) return Answer::declined;
    if (result.status != 0) return Answer::unavailable;
    const std::string answer = withoutFinalNewline(result.out);
    const size_t colon = answer.find(':');
    if (colon == std::string::npos) continue;
    const std::string format = answer.substr(0, colon);
    const std::string level = answer.substr(colon + 1);
    if (format != "zip" && format != "7z") continue;
    options.format = format;
    options.level.reset();
    for (const auto& [text, value] : texts::kCompressionLevels) {
      if (level == std::to_string(value)) options.level = value;
    }
    if (!options.level) continue;
    return Answer::given;
  }
  return Answer::declined;
}

std::vector<bool> Desktop::openInBrowser(const std::vector<std::filesystem::path>& pages) const {
  std::vector<bool> opened(pages.size(), false);
  const std::optional<std::filesystem::path> opener = findProgram("xdg-open");
  if (!opener) return opened;
  // Each page goes to its own opener, all at once. None is this process's
  // child, and none gets a descriptor of it: a browser that inherited a
  // pipe would keep whoever reads it waiting until the browser is closed.
  std::vector<ProcessOptions> launches;
  for (const std::filesystem::path& page : pages) {
    launches.push_back({.program = *opener,
                        .arguments = {page.string()},
                        .output = StreamSetup::nullDevice(),
                        .error = StreamSetup::nullDevice()});
  }
  const std::vector<LaunchOutcome> outcomes = ChildProcess::launchAll(launches, kBrowserPatience);
  for (size_t k = 0; k < outcomes.size(); ++k) {
    // Still running: a browser run in the foreground has the page.
    opened[k] = !outcomes[k].startError && outcomes[k].status.value_or(0) == 0;
  }
  return opened;
}

}  // namespace vexel
