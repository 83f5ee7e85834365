// desktop.h: what the user sees and answers while the receiving side works.
//
// Holds `Desktop`: progress and outcomes as desktop notifications
// (notify-send, one notification per task updated in place where the
// notification server allows) or, without a display or without notify-send,
// as lines on standard error; the password and compression dialogs (zenity);
// and opening a file in the desktop's browser (xdg-open). The programs are
// found on PATH and run (through vexel::process) with the user's own
// environment and locale.
//
//   vexel::Desktop desktop;
//   auto task = desktop.begin("正在解压“a.zip”", "folder");
//   task.progress(0.45);                         // from any thread
//   task.finish("已解压“a.zip”", "/tmp/a", false);
//
// Texts are given plain, names as they are; each is made safe where it is
// shown (internal/handoff_texts.h): a notification's body is markup to the
// server, so "<" and "&" in a name are escaped there.
//
// Every member may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vexel {

class Desktop {
 public:
  // Answer: how a question to the user ended.
  enum class Answer {
    given,       ///< the user answered
    declined,    ///< the user cancelled the dialog
    unavailable  ///< no dialog can be shown (no display, or no zenity)
  };

  // CompressOptions: the choices of the compression dialog.
  struct CompressOptions {
    std::string format = "zip";  ///< "zip" or "7z"
    std::optional<int> level;    ///< 0 to 9; the tool's default when absent
  };

  // Notice: one task's notification. Updates go out in order on a thread of
  // the desktop's own, so a slow notification server never holds up the
  // caller (progress comes from the archiver's output reader).
  class Notice {
   public:
    // progress: the task's done fraction (0 to 1).
    void progress(double fraction);
    // finish: the outcome; `failed` marks it as an error.
    void finish(const std::string& title, const std::string& body, bool failed);

   private:
    friend class Desktop;
    Notice(Desktop& desktop, std::string title, std::string icon);
    Desktop* mDesktop;
    std::string mTitle;
    std::string mIcon;
    std::shared_ptr<long> mId;  ///< the notification's id, once the server gave one; 0 while none
    int mLastPercent = -1;
  };

  // Desktop: reads the environment: a display means DISPLAY or
  // WAYLAND_DISPLAY is set and not empty.
  Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;
  // ~Desktop: sends what is still waiting, then stops its thread.
  ~Desktop();

  [[nodiscard]] bool hasDisplay() const noexcept { return mHasDisplay; }

  // begin: a task's notification, shown at once with `title`.
  [[nodiscard]] Notice begin(const std::string& title, const std::string& icon);
  // message: a single notification (refusals, errors before any task).
  void message(const std::string& title, const std::string& body, bool failed);

  // askPassword: `zenity --password`; the answer in `password`.
  [[nodiscard]] Answer askPassword(const std::string& title, std::string& password) const;
  // askCompressOptions: `zenity --forms` with the format and the level.
  [[nodiscard]] Answer askCompressOptions(const std::string& title, CompressOptions& options) const;
  // openInBrowser: hands each page to `xdg-open` at once; for each, whether
  // it was opened (an opener still running after a few seconds runs the
  // browser in the foreground: opened). Returns within those seconds, and
  // leaves nothing that keeps this process or its caller waiting.
  [[nodiscard]] std::vector<bool> openInBrowser(
      const std::vector<std::filesystem::path>& pages) const;

 private:
  struct Note {
    std::shared_ptr<long> id;
    std::string title;
    std::string body;
    std::string icon;
    std::optional<int> percent;
    bool final = false;
    bool failed = false;
  };

  void post(Note note);
  void send(const Note& note);
  void line(const std::string& text);
  void serve();

  bool mHasDisplay = false;
  /// notify-send is there, with a display to show it on and a server that
  /// takes its notifications; read by any thread, cleared by the sender.
  std::atomic<bool> mNotifies = false;
  bool mReplaces = true;  ///< notify-send takes --print-id and --replace-id
  std::mutex mLock;
  std::condition_variable mWake;
  std::deque<Note> mQueue;  ///< guarded by mLock
  bool mStopping = false;   ///< guarded by mLock
  std::thread mThread;
};

}  // namespace vexel
