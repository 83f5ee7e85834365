// archiver.h: the external archivers as the receiving side runs them.
//
// Holds `ArchiverTool` (7-Zip's 7zz or 7z, else bsdtar, found on PATH),
// `Archiver`, which compresses with one of them through the core's
// `ProcessRunner` and turns a failed run into an `ArchiveError` with
// `classifyRun`, and `SevenZip`, which lists and extracts what
// libarchive cannot decrypt (extraction itself is extractor.h's).
//
//   const auto tools = vexel::findArchivers();
//   vexel::Archiver(tools.front()).compress(items, "/tmp/.vexel-x1/a.zip", "zip", {}, "", task,
//   showPercent); const auto sevenZip = vexel::SevenZip::find(); const auto entries =
//   sevenZip->list("/tmp/names.7z", askPassword, task);
//
// Every member may be called from any thread; runs block their caller.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archiver/process_runner.h"
#include "archiver/run_result.h"
#include "extraction/archive_extractor.h"
#include "readers/archive_error.h"
#include "tasks/task_handle.h"

namespace vexel {

// ArchiverTool: one archiver program.
struct ArchiverTool {
  enum class Kind { sevenZip, bsdtar };
  Kind kind = Kind::sevenZip;
  std::filesystem::path path;  ///< absolute
};

// findArchivers: the archivers on PATH in the order they are tried: the
// first of 7zz and 7z, then bsdtar. Empty when there is none.
[[nodiscard]] std::vector<ArchiverTool> findArchivers();

// specialFilesIn: the named pipes, sockets and devices inside the folders
// `items` (links not followed), each as the archive would name it: the
// item's own name, then the path beneath it. 7-Zip opening a named pipe
// waits for a writer that never comes. Walked without recursion.
[[nodiscard]] std::vector<std::string> specialFilesIn(
    const std::vector<std::filesystem::path>& items);

// Archiver: runs one tool. Cancelled runs throw ArchiveError::cancelled().
class Archiver {
 public:
  explicit Archiver(ArchiverTool tool) : mTool(std::move(tool)) {}

  [[nodiscard]] const ArchiverTool& tool() const noexcept { return mTool; }
  // name: the program's file name, as messages show it ("7zz").
  [[nodiscard]] std::string name() const { return mTool.path.filename().string(); }

  // compress: writes `target` (which must not exist) in `format` ("zip" or
  // "7z") holding `items`, each under its own name, at compression `level`
  // (0 to 9; the tool's default when absent), leaving out anything named
  // `exclude` (the temporary folder the target is written in) and the
  // stored names `leftOut` (specialFilesIn's), which 7-Zip would open.
  // @throws ArchiveError
  void compress(const std::vector<std::filesystem::path>& items,
                const std::filesystem::path& target, const std::string& format,
                std::optional<int> level, const std::string& exclude,
                const std::shared_ptr<TaskHandle>& task, const ProcessRunner::Progress& progress,
                const std::vector<std::string>& leftOut = {}) const;

  // classify: the error a failed run of this tool stands for. bsdtar's
  // passphrase messages count as a password error.
  [[nodiscard]] ArchiveError classify(const RunResult& result) const;

 private:
  // run: runs the tool; a non-zero status throws classify(result).
  RunResult run(const std::vector<std::string>& arguments, const std::shared_ptr<TaskHandle>& task,
                const ProcessRunner::Progress& progress = nullptr) const;

  ArchiverTool mTool;
};

// SevenZip: 7-Zip (7zz, else 7z, on PATH) for the archives libarchive
// cannot decrypt: 7z and RAR with encrypted data or names. Wildcards are
// off (-spd): "*" and "?" in a path are characters. The password never
// reaches the command line: 7-Zip asks for it, and `askPassword` answers.
class SevenZip {
 public:
  // AskPassword: the archive's password; nothing when there is none to give.
  using AskPassword = std::function<std::optional<std::string>()>;

  // find: 7zz, else 7z, on PATH.
  [[nodiscard]] static std::optional<SevenZip> find();

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }

  // list: the archive's entries as 7-Zip's technical listing gives them,
  // within the check's bounds (ArchiveExtractor::kCheckTimeLimit,
  // ExtensionArchive::kMaxNodes entries, kMaxNameBytes of names).
  // @throws ArchiveError: passwordRequired (none given, or a wrong one),
  //   notArchive, failed (the bounds, or 7-Zip's own words), cancelled.
  [[nodiscard]] std::vector<ArchiveExtractor::ListedEntry> list(
      const std::filesystem::path& archive, const AskPassword& askPassword,
      const std::shared_ptr<TaskHandle>& task) const;

  // extract: extracts everything into the empty folder `output`, which no
  // one else can change (the caller judges what lands there).
  // @throws ArchiveError
  void extract(const std::filesystem::path& archive, const std::filesystem::path& output,
               const AskPassword& askPassword, const std::shared_ptr<TaskHandle>& task,
               const ProcessRunner::Progress& progress) const;

 private:
  explicit SevenZip(std::filesystem::path path) : mPath(std::move(path)) {}

  // run: runs 7-Zip with `arguments` on a terminal of its own, answering its
  // password prompt with `askPassword`, handing each piece of its standard
  // output to `onOutput`, ended when `task` is cancelled or `deadline`
  // passes. A failed run throws what its words say.
  void run(const std::vector<std::string>& arguments, const AskPassword& askPassword,
           const std::shared_ptr<TaskHandle>& task,
           std::optional<std::chrono::steady_clock::time_point> deadline,
           const std::function<void(std::string_view)>& onOutput) const;

  std::filesystem::path mPath;
};

}  // namespace vexel
