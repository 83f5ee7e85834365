// extractor.h: extracting one archive beside itself, for the receiver.
//
// Holds `Extractor`, which picks the way: libarchive in process (the core's
// `ArchiveExtractor`) for everything it reads, and 7-Zip (archiver.h) only
// for what libarchive cannot decrypt (7z and RAR with encrypted data or
// names), whose output then goes through the same judgement before anything
// is placed. Either way the result is made in a `WorkFolder` beside the
// archive and placed there without replacing anything; stale work folders
// of earlier runs that were killed are cleared first, and a failure, a
// refusal or a cancel leaves nothing behind.
//
//   vexel::Extractor extractor(task, askPassword, showProgress);
//   const vexel::Extractor::Outcome outcome = extractor.extract("/home/u/a.zip");
//   outcome.placed;   // "/home/u/a", "/home/u/a (2)", or the archive's one top folder
//
// One extraction at a time on one thread; `task` may be cancelled from any.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extraction/archive_extractor.h"
#include "tasks/task_handle.h"

namespace vexel {

class Extractor {
 public:
  // AskPassword: asks the user for the archive's password (`wasWrong`: the
  // one given before was wrong, and the question says so); nothing when no
  // one can be asked. A user who declines cancels (it throws cancelled).
  using AskPassword = std::function<std::optional<std::string>(bool wasWrong)>;
  // kMostAttempts: passwords asked for one archive before a wrong one ends it.
  static constexpr int kMostAttempts = 3;
  using Progress = std::function<void(double)>;

  // Outcome: where the result went and what was left out of it.
  struct Outcome {
    std::filesystem::path placed;
    std::int64_t linksLeftOut = 0;     ///< links that led out of the destination
    std::int64_t specialsLeftOut = 0;  ///< devices, named pipes and sockets
    std::int64_t files = 0;            ///< files extracted, when some were damaged
    std::vector<std::string> damaged;  ///< files whose data could not be read, left out
  };

  Extractor(std::shared_ptr<TaskHandle> task, AskPassword askPassword, Progress progress)
      : mTask(std::move(task)),
        mAskPassword(std::move(askPassword)),
        mProgress(std::move(progress)) {}

  // extract: extracts `archive` beside itself. The password is asked for
  // only when the archive needs one, and again after a wrong one, at most
  // kMostAttempts times in all.
  // @throws ArchiveError: the refusal, the reader's or the system's error,
  //   passwordRequired, cancelled, toolMissing (7-Zip, where it is needed).
  [[nodiscard]] Outcome extract(const std::filesystem::path& archive);

 private:
  // password: the password given, asked for the first time it is needed.
  [[nodiscard]] std::optional<std::string> password();
  // askAgain: after a wrong password, whether another may be asked for (the
  // next password() asks).
  [[nodiscard]] bool askAgain();
  [[nodiscard]] Outcome withLibarchive(const std::filesystem::path& archive,
                                       const ArchiveExtractor::Check& check);
  [[nodiscard]] Outcome withSevenZip(const std::filesystem::path& archive);

  std::shared_ptr<TaskHandle> mTask;
  AskPassword mAskPassword;
  Progress mProgress;
  bool mAsked = false;
  int mAttempts = 0;
  std::optional<std::string> mPassword;
};

// requireSpace: throws when `bytes` do not fit in what the file system of
// `folder` has free (`freeBytes`, when it says).
// @throws ArchiveError (failed) in the user's language.
void requireSpace(std::int64_t bytes, std::optional<std::int64_t> freeBytes,
                  const std::filesystem::path& folder);

}  // namespace vexel
