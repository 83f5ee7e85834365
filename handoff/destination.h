// destination.h: where the receiving side puts what it makes, never over
// anything that exists.
//
// Holds the name rules (an archive's name without its extensions; " (2)"
// numbering is `numberedName` in extraction/work_folder.h) and
// `ArchiverOutput`, the folder another archiver writes into by path. What
// is made goes into the core's `WorkFolder` beside the destination and is
// placed from there through descriptors, so that nothing half-made is ever
// seen under its final name, nothing existing is replaced, and a cancelled
// or failed run leaves nothing behind.
//
//   vexel::WorkFolder::clearStale("/home/u/Downloads");
//   vexel::WorkFolder work("/home/u/Downloads");              // .vexel-XXXXXXXX
//   const vexel::ArchiverOutput output(work);
//   ... the archiver writes output.path() / "a.zip" ...
//   vexel::ArchiveExtractor::adopt(output.path(), work, task);
//   work.placeFile("a.zip", "a", ".zip");                     // "a (2).zip" ...
//
// Failures throw ArchiveError::failed with the system's description.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "extraction/work_folder.h"

namespace vexel {

// archiveStem: the name of an archive without its archive extensions:
// "a.zip" -> "a", "a.tar.gz" -> "a", "b.part1.rar" -> "b", "c.7z.001" -> "c".
// A name that would come out empty is kept whole.
[[nodiscard]] std::string archiveStem(std::string_view fileName);

// isPrivateFolder: whether no other user can rename, replace or enter
// anything on the way to `folder`: every folder from the root down is the
// user's or root's, and none lets others write in it unless it is sticky
// (/tmp). Paths through such folders cannot be redirected.
[[nodiscard]] bool isPrivateFolder(const std::filesystem::path& folder);

// ArchiverOutput: a folder another archiver can write into by path without
// anyone else redirecting it: inside `work` when the way there is private,
// else a work folder of its own in the user's runtime or temporary folder
// (removed with this object). What is written there is moved into `work`
// with ArchiveExtractor::adopt.
class ArchiverOutput {
 public:
  // @throws ArchiveError (failed) when no private folder can be made.
  explicit ArchiverOutput(const WorkFolder& work);

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }

 private:
  bool use(const std::filesystem::path& base);

  std::optional<WorkFolder> mOwn;
  std::filesystem::path mPath;
};

}  // namespace vexel
