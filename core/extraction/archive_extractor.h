// archive_extractor.h: extracting an archive, safe by construction.
//
// Extraction is two passes with libarchive, beside the lister:
//   1. `check` reads every header (never the data) under the importer's
//      bounds (10 s, 1,500,000 entries, 128 MiB of names), decides the
//      names as the lister does (the archive-wide decision for names that
//      are not UTF-8, so files get the names the preview shows), and
//      judges the entries as a whole (internal/extraction_plan.h): an
//      archive with entries that would land outside the destination is
//      refused before a byte is written; devices, named pipes and sockets,
//      and links that lead out, are left out.
//   2. `extract` reads the archive again and writes each entry under a
//      `WorkFolder` (work_folder.h) through open descriptors only: regular
//      files, folders and the checked links, with the user's umask and no
//      set-id or sticky bits; links are made last. It reports progress and
//      stops when its task is cancelled.
// What another archiver extracted (7-Zip, for what libarchive cannot
// decrypt) goes through the same judgement and writer with `adopt`.
//
//   auto task = std::make_shared<vexel::TaskHandle>();
//   const auto check = vexel::ArchiveExtractor::check("/tmp/a.zip");
//   vexel::WorkFolder work("/tmp");
//   vexel::ArchiveExtractor::extract("/tmp/a.zip", check, work, std::nullopt, task, showPercent);
//   const auto placed = work.place("a");
//
// Any thread; each call works on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extraction/work_folder.h"
#include "tasks/task_handle.h"

namespace vexel {

namespace extraction_internal {
class ExtractionPlan;
}  // namespace extraction_internal

class ArchiveExtractor {
 public:
  ArchiveExtractor() = delete;

  // kCheckTimeLimit: the check's time limit in seconds, the importer's.
  static constexpr double kCheckTimeLimit = 10.0;

  // ListedEntry: an entry as another archiver lists it, for `judge`.
  struct ListedEntry {
    enum class Kind { file, folder, symlink, hardLink, special };
    std::string path;  ///< as listed, "/"-separated
    Kind kind = Kind::file;
    std::string target;     ///< a link's target; "" when not listed
    std::int64_t size = 0;  ///< 0 when unknown
    bool encrypted = false;
  };

  // Check: an archive judged before extraction.
  class Check {
   public:
    // fileBytes: the data its files hold, as listed.
    [[nodiscard]] std::int64_t fileBytes() const noexcept;
    // linksLeftOut, specialsLeftOut: what extraction will leave out (see
    // the banner).
    [[nodiscard]] std::int64_t linksLeftOut() const noexcept;
    [[nodiscard]] std::int64_t specialsLeftOut() const noexcept;
    // entryCount: the entries listed; writtenCount: those extraction makes.
    [[nodiscard]] std::int64_t entryCount() const noexcept;
    [[nodiscard]] std::int64_t writtenCount() const noexcept;
    // isSingleFile: a compressed file that is no archive (notes.txt.gz):
    // extraction makes one file, named `singleFileName`.
    [[nodiscard]] bool isSingleFile() const noexcept { return mIsSingleFile; }
    [[nodiscard]] const std::string& singleFileName() const noexcept { return mSingleFileName; }
    // isDebianPackage: the files a Debian package installs (its data
    // member's), whose top folders are system folders (usr, etc).
    [[nodiscard]] bool isDebianPackage() const noexcept { return mIsDebianPackage; }
    // hasEncryptedData: some entry's data needs a password.
    [[nodiscard]] bool hasEncryptedData() const noexcept { return mHasEncryptedData; }
    // needsOtherArchiver: encrypted data libarchive cannot decrypt (7z,
    // RAR): another archiver must extract it.
    [[nodiscard]] bool needsOtherArchiver() const noexcept { return mNeedsOtherArchiver; }

   private:
    friend class ArchiveExtractor;
    std::shared_ptr<const extraction_internal::ExtractionPlan> mPlan;
    bool mIsSingleFile = false;
    bool mIsDebianPackage = false;
    std::string mSingleFileName;
    bool mHasEncryptedData = false;
    bool mNeedsOtherArchiver = false;
    bool mReadsRaw = false;  // read as the one file a compressed file holds
  };

  // Progress: the done fraction, 0 to 1.
  using Progress = std::function<void(double)>;
  // Clock: the time source of the check's deadline. Tests pass their own.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // kCheckMemoryBudget: what the check may take beyond what the process had
  // (the receiver stays under 256 MiB: a 358-byte 7z can declare millions
  // of files, and libarchive makes a table of them all before the first).
  static constexpr std::int64_t kCheckMemoryBudget = std::int64_t{192} << 20;
  // CheckBounds: the check's limits; tests pass smaller ones.
  struct CheckBounds {
    double timeLimit = kCheckTimeLimit;   ///< seconds, from the moment the file is open
    std::int64_t maxEntries = 1'500'000;  ///< ExtensionArchive::kMaxNodes
    std::int64_t maxNameBytes = std::int64_t{128} << 20;  ///< ExtensionArchive::kMaxNameBytes
    /// Resident bytes the process may grow by while the headers are read
    /// (libarchive's tables for what a header declares); 0 for none. A host
    /// that must hold to it whatever libarchive asks for also limits its
    /// address space meanwhile (platform/host's `AddressSpaceBound`).
    std::int64_t memoryBudget = kCheckMemoryBudget;
  };

  // check: reads and judges the headers of `archive` (a split archive's
  // volumes together, as the lister reads them).
  // @throws ArchiveError: passwordRequired (names encrypted: another
  //   archiver must list it), notArchive, failed (unreadable, refused as
  //   unsafe, or too large to check within the bounds).
  [[nodiscard]] static Check check(const std::filesystem::path& archive,
                                   const std::optional<std::string>& password = std::nullopt);
  // check: the same, ended early (ArchiveError::cancelled) once `task` is
  // cancelled.
  [[nodiscard]] static Check check(const std::filesystem::path& archive,
                                   const std::optional<std::string>& password,
                                   const std::shared_ptr<TaskHandle>& task);
  [[nodiscard]] static Check check(const std::filesystem::path& archive,
                                   const std::optional<std::string>& password, const Clock& clock);
  [[nodiscard]] static Check check(const std::filesystem::path& archive,
                                   const std::optional<std::string>& password, const Clock& clock,
                                   const CheckBounds& bounds);

  // judge: the same judgement for the entries another archiver listed.
  // @throws ArchiveError (failed) when refused.
  [[nodiscard]] static Check judge(std::vector<ListedEntry> entries);

  // Extracted: what extraction wrote, and the files whose data could not
  // be read (left out, nothing of them written), by path.
  struct Extracted {
    std::int64_t files = 0;
    std::vector<std::string> damaged;
  };

  // extract: writes the entries `check` judged into `work`'s result folder,
  // with `password` for encrypted data. `progress` is called on this
  // thread. Once `task` is cancelled, the next read or write stops it. A
  // file whose data cannot be read is left out, and the others extracted.
  // @throws ArchiveError: cancelled, passwordRequired (none or a wrong one),
  //   failed (unreadable, no file readable, or the system refused a write; a
  //   full disk says so).
  static Extracted extract(const std::filesystem::path& archive, const Check& check,
                           WorkFolder& work, const std::optional<std::string>& password,
                           const std::shared_ptr<TaskHandle>& task,
                           const Progress& progress = nullptr);

  // adopt: moves what another archiver extracted into the folder `output`
  // into `work`'s result folder, judged anew from what is there: files
  // are moved (copied when `output` lies on another file system or a file
  // has other names), folders made, links made last when they stay inside,
  // anything else left out. `output` must be a folder no one else can
  // change (see WorkFolder). Returns what was left out, as a Check.
  // @throws ArchiveError: cancelled, failed.
  static Check adopt(const std::filesystem::path& output, WorkFolder& work,
                     const std::shared_ptr<TaskHandle>& task);
};

}  // namespace vexel
