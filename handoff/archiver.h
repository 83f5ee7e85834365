// archiver.h: the external archiver as the receiving side runs it.
//
// Holds `ArchiverTool` (7-Zip's 7zz or 7z, else bsdtar, found on PATH) and
// `Archiver`, which lists, extracts and compresses with it through the
// core's `ProcessRunner`, reads 7-Zip's technical listing with
// `ListingParser`, and turns a failed run into an `ArchiveError` with
// `ArchiveError::from`. Where to extract to, and whether an archive is safe
// to extract, is decided elsewhere (extraction_check.h, handoff.h).
//
//   const auto tools = vexel::findArchivers();
//   vexel::Archiver archiver(tools.front());
//   const auto listing = archiver.list("/tmp/a.zip", std::nullopt, task);
//   archiver.extract("/tmp/a.zip", "/tmp/.vexel-x1", std::nullopt, task, showPercent);
//
// Every member may be called from any thread; runs block their caller.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/archive_properties.h"
#include "readers/archive_error.h"
#include "readers/process_runner.h"
#include "readers/run_result.h"
#include "readers/task_handle.h"

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

// ListedEntry: an entry as the archiver lists it, before any cleaning: the
// path as stored ("../x" and "/etc/x" stay as they are).
struct ListedEntry {
  std::string path;
  bool isDir = false;
  bool isSymlink = false;      ///< known to be a symbolic link
  std::string linkTarget;      ///< a symbolic link's target when listed; "" when not
  std::string hardLinkTarget;  ///< a hard link's target; "" for other entries
};

// ArchiveListing: what listing an archive gave.
struct ArchiveListing {
  ArchiveProperties properties;  ///< from 7-Zip's listing; type only from bsdtar
  std::vector<ListedEntry> entries;
  std::optional<std::string> password;  ///< the password the listing needed, if any
};

// Archiver: runs one tool. Cancelled runs throw ArchiveError::cancelled().
class Archiver {
 public:
  // AskPassword: asks the user once; nothing when they decline.
  using AskPassword = std::function<std::optional<std::string>()>;

  explicit Archiver(ArchiverTool tool) : mTool(std::move(tool)) {}

  [[nodiscard]] const ArchiverTool& tool() const noexcept { return mTool; }
  // name: the program's file name, as messages show it ("7zz").
  [[nodiscard]] std::string name() const { return mTool.path.filename().string(); }

  // list: the archive's entries. Without `password` a listing that needs
  // one (7z with encrypted names) asks through `askPassword` once and
  // lists again with the answer; such an archive is reported with
  // `headersEncrypted`, which 7-Zip's listing never states for 7z.
  // @throws ArchiveError: the run's error (passwordRequired when the user
  //   declines or the answer is wrong, notArchive, failed, cancelled).
  [[nodiscard]] ArchiveListing list(const std::filesystem::path& archive,
                                    const AskPassword& askPassword,
                                    const std::shared_ptr<TaskHandle>& task) const;

  // extract: extracts everything into the existing folder `destination`,
  // renaming (never overwriting) entries that repeat a name. 7-Zip leaves
  // out links whose targets climb with "..", even those that stay inside;
  // `linksChecked` (every link's target was listed and checked) lets them
  // through.
  // @throws ArchiveError
  void extract(const std::filesystem::path& archive, const std::filesystem::path& destination,
               const std::optional<std::string>& password, const std::shared_ptr<TaskHandle>& task,
               const ProcessRunner::Progress& progress, bool linksChecked = false) const;

  // compress: writes `target` (which must not exist) in `format` ("zip" or
  // "7z") holding `items`, each under its own name, at compression `level`
  // (0 to 9; the tool's default when absent), leaving out anything named
  // `exclude` (the temporary folder the target is written in).
  // @throws ArchiveError
  void compress(const std::vector<std::filesystem::path>& items,
                const std::filesystem::path& target, const std::string& format,
                std::optional<int> level, const std::string& exclude,
                const std::shared_ptr<TaskHandle>& task,
                const ProcessRunner::Progress& progress) const;

  // classify: the error a failed run of this tool stands for. bsdtar's
  // passphrase messages count as a password error.
  [[nodiscard]] ArchiveError classify(const RunResult& result) const;

 private:
  // run: runs the tool; a non-zero status throws classify(result).
  RunResult run(const std::vector<std::string>& arguments, const std::shared_ptr<TaskHandle>& task,
                const ProcessRunner::Progress& progress = nullptr) const;
  ArchiveListing listOnce(const std::filesystem::path& archive,
                          const std::optional<std::string>& password,
                          const std::shared_ptr<TaskHandle>& task) const;

  ArchiverTool mTool;
};

}  // namespace vexel
