// entry_writer.h: creating extracted entries beneath one open folder, so
// that no name lookup outside that folder is ever made again.
//
// Paths are walked one component at a time from the folder's descriptor
// (`openat` with O_NOFOLLOW | O_DIRECTORY, `mkdirat`), files are created
// with O_EXCL | O_NOFOLLOW, and links are made last, once every file and
// folder exists: renaming or replacing any folder by name, even the one
// written in, cannot send a byte elsewhere, and no entry is ever written
// through a link. Only regular files, folders and links are made; modes
// keep the permission bits alone, less the user's umask; folders stay open
// to their owner (rwx), so whatever was extracted can be removed again.
//
//   EntryWriter writer(folderFd);                     // borrowed; must outlive the writer
//   writer.folder("docs", 0755, mtime);
//   UniqueFd file = writer.createFile("docs/a.txt", 0644);
//   ... write(file.get(), ...) ...;  writer.closeFile(std::move(file), mtime);
//   writer.symlink("latest", "docs/a.txt");           // made by finish()
//   writer.finish();                                  // links, folder modes and times
//
// Failures throw ArchiveError (cannotWrite). One thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/unique_fd.h"

namespace vexel::extraction_internal {

// userUmask: the process's umask, read without changing it.
[[nodiscard]] mode_t userUmask() noexcept;

class EntryWriter {
 public:
  explicit EntryWriter(int folderFd);
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;

  // folder: makes the folder `path` (a clean relative path) and the folders
  // above it; its mode and time are set by finish().
  // @throws ArchiveError
  void folder(std::string_view path, unsigned permissions,
              std::optional<std::chrono::sys_seconds> modified);
  // createFile: a new, empty file at `path`, open for writing, with the
  // permission bits of `permissions` less the umask (never setuid, setgid
  // or sticky). A file an earlier entry made at `path` is replaced.
  // @throws ArchiveError
  [[nodiscard]] UniqueFd createFile(std::string_view path, unsigned permissions);
  // closeFile: sets the file's time, then closes it.
  // @throws ArchiveError
  void closeFile(UniqueFd file, std::string_view path,
                 std::optional<std::chrono::sys_seconds> modified);
  // symlink, hardLink: links made by finish(), in the order given. A hard
  // link's target is the clean path of a file made before.
  void symlink(std::string_view path, std::string_view target);
  void hardLink(std::string_view path, std::string_view target);
  // hardLinkNow: the hard link made at once, to the file `target` made
  // before, as tar makes it: a later file of that name replaces the name
  // and leaves the link its data. A file an earlier entry made at `path`
  // is replaced.
  // @throws ArchiveError
  void hardLinkNow(std::string_view path, std::string_view target);
  // removeFile: removes the file `path` made by createFile (its data could
  // not be read whole).
  // @throws ArchiveError
  void removeFile(std::string_view path);
  // dropHardLinksTo: the hard links still to be made to these files are not.
  void dropHardLinksTo(const std::vector<std::string>& files);
  // finish: makes the links, then gives the folders their modes and times.
  // @throws ArchiveError
  void finish();

  // parentOf: the open folder that holds `path`, made if need be, with the
  // last component in `leaf`. Valid until the next call on this writer.
  // @throws ArchiveError
  [[nodiscard]] int parentOf(std::string_view path, std::string_view& leaf);

 private:
  struct Level {
    std::string name;
    UniqueFd fd;
  };
  struct FolderAttributes {
    std::string path;
    unsigned permissions = 0;
    std::optional<std::chrono::sys_seconds> modified;
  };
  struct Link {
    std::string path;
    std::string target;
    bool isHard = false;
  };

  // makeHardLink: links `path` to the file `target` made before.
  void makeHardLink(std::string_view path, std::string_view target, bool replaces);
  // openFolder: the folder `path` ("" is the root), made if need be.
  int openFolder(std::string_view path);

  int mRoot;
  mode_t mUmask;
  // The folders of the last path walked, one level each, for the next
  // entry in the same folder; levels past kCachedLevels are not kept.
  std::vector<Level> mLevels;
  UniqueFd mDeep;         // the last folder walked, when deeper than the kept levels
  std::string mDeepPath;  // its path
  std::vector<FolderAttributes> mFolders;
  std::vector<Link> mLinks;
};

// removeContents: removes everything inside the open folder `folderFd`
// without following links, making folders writable first. The walk holds
// one descriptor at a time, whatever the depth. Returns false when
// something could not be removed. Never throws but std::bad_alloc.
bool removeContents(int folderFd);

// kCopyBuffer: the bytes copied at a time.
inline constexpr std::size_t kCopyBuffer = 1 << 16;

// writeAllAt: `size` bytes at `offset` of `fd`, whatever pieces the system
// takes. @throws ArchiveError (cannotWrite `path`)
void writeAllAt(int fd, const char* bytes, std::size_t size, off_t offset, std::string_view path);

}  // namespace vexel::extraction_internal
