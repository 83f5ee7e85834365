// work_folder.h: the private folder a result is made in, beside where it
// will be placed.
//
// `WorkFolder` makes a hidden folder ".vexel-XXXXXXXX" (mode 0700) in the
// destination's folder and from then on reaches it, and everything in it,
// through open descriptors only: renaming the folder or putting a link in
// its place, as another user who may write to the destination's folder
// could, changes nothing about where a byte is written or what is placed.
// The result is made in its inner folder (`resultFd`, mode of any new
// folder there) and placed with renameat2(RENAME_NOREPLACE), so nothing
// half-made is ever seen under a final name and nothing existing is
// replaced. Whatever is left is removed when the object goes away.
//
// A work folder is locked (flock) while its object lives. A run that was
// killed leaves its folder behind unlocked; `clearStale` removes such
// folders of the same user.
//
//   vexel::WorkFolder::clearStale("/home/u/Downloads");
//   vexel::WorkFolder work("/home/u/Downloads");
//   ... write beneath work.resultFd() ...
//   const auto placed = work.place("a");   // "a", "a (2)", ... or its one top folder
//
// Failures throw ArchiveError. One thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vexel {

class WorkFolder {
 public:
  // kPrefix: the start of every work folder's name.
  static constexpr std::string_view kPrefix = ".vexel-";

  // WorkFolder: makes the folder in `parent`.
  // @throws ArchiveError (failed) when `parent` cannot hold a new folder.
  explicit WorkFolder(const std::filesystem::path& parent);
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  // ~WorkFolder: removes the folder and what is left in it.
  ~WorkFolder();

  // parent: the folder given, as given.
  [[nodiscard]] const std::filesystem::path& parent() const noexcept { return mParent; }
  // path: the work folder's path when it was made; for programs that take
  // paths only. Renaming can redirect a path: prefer the descriptors.
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }
  // resultPath: the inner folder's path, likewise.
  [[nodiscard]] std::filesystem::path resultPath() const { return mPath / kResultName; }
  // folderFd, resultFd: the work folder and the inner folder, open.
  [[nodiscard]] int folderFd() const noexcept { return mFolder; }
  [[nodiscard]] int resultFd() const noexcept { return mResult; }
  // parentFd: the destination's folder, open.
  [[nodiscard]] int parentFd() const noexcept { return mParentFd; }

  // freeBytes: the bytes the file system holding the folder has free for
  // this user; nothing when it does not say.
  [[nodiscard]] std::optional<std::int64_t> freeBytes() const noexcept;

  // clearResult: empties the inner folder.
  void clearResult() noexcept;

  // place: moves the result into the destination's folder. When it holds
  // exactly one folder, whose name does not start with "." and is free,
  // that folder is placed as it is (unless `keepsOneFolder` is false);
  // otherwise the inner folder becomes `name`, or "name (2)", "name (3)",
  // ... when taken (shortened so the name fits the file system). Returns
  // the placed path.
  // @throws ArchiveError (failed)
  std::filesystem::path place(std::string_view name, bool keepsOneFolder = true);
  // placeFile: moves the result's one entry `entryName` into the
  // destination's folder as `stem` + `extension`, numbered likewise.
  // @throws ArchiveError (failed)
  std::filesystem::path placeFile(std::string_view entryName, std::string_view stem,
                                  std::string_view extension);

  // clearStale: removes the work folders in `parent` that belong to this
  // user and that no live WorkFolder holds (left by a run that was killed).
  // Never throws.
  static void clearStale(const std::filesystem::path& parent) noexcept;

 private:
  static constexpr const char* kResultName = "result";

  std::filesystem::path mParent;
  std::filesystem::path mPath;
  std::string mName;  // the work folder's name in the parent
  int mParentFd = -1;
  int mFolder = -1;
  int mResult = -1;
};

// numberedName: `name` + `extension` for number 1, else `name` + " (N)" +
// `extension`, with `name` shortened (at a character boundary) so that the
// whole fits in 255 bytes.
[[nodiscard]] std::string numberedName(std::string_view name, int number,
                                       std::string_view extension = {});

}  // namespace vexel
