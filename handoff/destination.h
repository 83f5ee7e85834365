// destination.h: where the receiving side puts what it makes, never over
// anything that exists.
//
// Holds the name rules (an archive's name without its extensions; " (2)"
// numbering is `numberedName` in readers/work_folder.h) and
// `TemporaryFolder`, a private folder beside the destination that a result
// is made in and then moved into place with a rename, so that nothing
// half-made is ever seen under its final name and a cancelled or failed run
// leaves nothing behind. Extraction uses the core's `WorkFolder` directly.
//
//   vexel::TemporaryFolder work("/home/u/Downloads");        // .vexel-XXXXXXXX
//   ... write work.path() / "a.zip" ...
//   vexel::placeFile(work.path() / "a.zip", "/home/u/Downloads", "a", ".zip");  // "a (2).zip" ...
//
// Failures throw ArchiveError::failed with the system's description. Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "readers/work_folder.h"

namespace vexel {

// archiveStem: the name of an archive without its archive extensions:
// "a.zip" -> "a", "a.tar.gz" -> "a", "b.part1.rar" -> "b", "c.7z.001" -> "c".
// A name that would come out empty is kept whole.
[[nodiscard]] std::string archiveStem(std::string_view fileName);

// placeFile: renames the file `source` to the first free of
// `parent`/stem+extension, stem (2)+extension, ...; returns the new path.
// @throws ArchiveError (failed)
std::filesystem::path placeFile(const std::filesystem::path& source,
                                const std::filesystem::path& parent, std::string_view stem,
                                std::string_view extension);

// TemporaryFolder: a new hidden folder in `parent` (a WorkFolder: mode
// 0700, locked while it lives so that no other run clears it), removed with
// its contents on destruction. Neither copyable nor movable.
class TemporaryFolder {
 public:
  // @throws ArchiveError (failed) when `parent` cannot hold a new folder.
  explicit TemporaryFolder(const std::filesystem::path& parent) : mWork(parent) {}

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mWork.path(); }

 private:
  WorkFolder mWork;
};

}  // namespace vexel
