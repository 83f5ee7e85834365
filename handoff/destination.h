// destination.h: where the receiving side puts what it makes, never over
// anything that exists.
//
// Holds the name rules (an archive's name without its extensions, " (2)"
// numbering) and `TemporaryFolder`, a private folder beside the destination
// that a result is made in and then moved into place with a rename, so that
// nothing half-made or unchecked is ever seen under its final name and a
// cancelled or failed run leaves nothing behind.
//
//   vexel::TemporaryFolder work("/home/u/Downloads");        // .vexel-XXXXXXXX
//   ... extract into work.path() ...
//   const auto folder = work.moveTo("/home/u/Downloads", vexel::archiveStem("a.zip"));  // "a", "a
//   (2)", ...
//
// Failures throw ArchiveError::failed with the system's description. Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vexel {

// archiveStem: the name of an archive without its archive extensions:
// "a.zip" -> "a", "a.tar.gz" -> "a", "b.part1.rar" -> "b", "c.7z.001" -> "c".
// A name that would come out empty is kept whole.
[[nodiscard]] std::string archiveStem(std::string_view fileName);

// numberedName: `name` + `extension` for number 1, else
// `name` + " (number)" + `extension`.
[[nodiscard]] std::string numberedName(std::string_view name, int number,
                                       std::string_view extension = {});

// placeFolder: renames the folder `source` to the first of `parent`/name,
// name (2), ... that does not exist (each taken by creating it first, so a
// folder that appears meanwhile is not replaced); with `numbered` false, only
// `name` is tried. Returns the folder's new path, or nothing when `name` is
// taken and numbering was not asked for.
// @throws ArchiveError (failed)
std::optional<std::filesystem::path> placeFolder(const std::filesystem::path& source,
                                                 const std::filesystem::path& parent,
                                                 std::string_view name, bool numbered = true);

// placeFile: renames the file `source` to the first free of
// `parent`/stem+extension, stem (2)+extension, ...; returns the new path.
// @throws ArchiveError (failed)
std::filesystem::path placeFile(const std::filesystem::path& source,
                                const std::filesystem::path& parent, std::string_view stem,
                                std::string_view extension);

// removeTree: removes `path` and everything under it, making folders
// writable first (archives can hold read-only folders). Never throws.
void removeTree(const std::filesystem::path& path) noexcept;

// TemporaryFolder: a new hidden folder in `parent`, with the mode a new
// folder gets there, removed with its contents on destruction unless it
// was moved into place. Neither copyable nor movable.
class TemporaryFolder {
 public:
  // @throws ArchiveError (failed) when `parent` cannot hold a new folder.
  explicit TemporaryFolder(const std::filesystem::path& parent);
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }
  // clear: removes everything in the folder, keeping the folder.
  void clear() noexcept;
  // moveTo: the folder itself becomes `parent`/name (numbered as placeFolder does).
  // @throws ArchiveError (failed)
  std::filesystem::path moveTo(const std::filesystem::path& parent, std::string_view name);

 private:
  std::filesystem::path mPath;
  bool mMoved = false;
};

}  // namespace vexel
