#include "entry_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "readers/archive_error.h"

namespace vexel::extraction_internal {
namespace {

// Folders kept open between entries: enough for any real archive's depth,
// few enough that a hostile depth never exhausts the descriptors.
constexpr std::size_t kCachedLevels = 64;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirectoryClose {
  void operator()(DIR* directory) const noexcept { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryClose>;

std::string_view leafOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view folderOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The permission bits a file gets: none stored means the usual 0666.
mode_t fileMode(unsigned permissions) {
  const mode_t bits = static_cast<mode_t>(permissions) & 0777;
  return bits == 0 ? 0666 : bits;
}

void setTime(int fd, std::string_view path, std::optional<std::chrono::sys_seconds> modified) {
  if (!modified) return;
  const auto seconds = static_cast<time_t>(modified->time_since_epoch().count());
  const timespec times[2] = {{.tv_sec = seconds, .tv_nsec = 0}, {.tv_sec = seconds, .tv_nsec = 0}};
  // A file system that keeps no times (some FUSE mounts) is no reason to fail.
  if (futimens(fd, times) != 0 && errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
    throw ArchiveError::cannotWrite(path, errno);
  }
}

std::vector<std::string> componentsOf(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

mode_t userUmask() noexcept {
  // /proc/self/status says it without the set-and-restore that umask(2)
  // needs, which would race with other threads creating files.
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned value = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &value) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(value & 0777);
  }
  return 022;
}

EntryWriter::EntryWriter(int folderFd) : mRoot(folderFd), mUmask(userUmask()) {}

int EntryWriter::openFolder(std::string_view path) {
  if (path.empty()) return mRoot;
  if (mDeep && path == mDeepPath) return mDeep.get();
  const std::vector<std::string> parts = componentsOf(path);
  std::size_t common = 0;
  while (common < mLevels.size() && common < parts.size() && mLevels[common].name == parts[common])
    ++common;
  mLevels.resize(common);
  mDeep.reset();
  int at = common == 0 ? mRoot : mLevels.back().fd.get();
  UniqueFd transient;
  std::size_t walked = 0;  // bytes of `path` up to the component being opened
  for (std::size_t k = 0; k < parts.size(); ++k) {
    walked += (k == 0 ? 0 : 1) + parts[k].size();
    if (k < common) continue;
    if (mkdirat(at, parts[k].c_str(), 0777) != 0 && errno != EEXIST) {
      throw ArchiveError::cannotWrite(path.substr(0, walked), errno);
    }
    // O_NOFOLLOW: a link in the folder's place is refused, never entered.
    UniqueFd next(openat(at, parts[k].c_str(), kFolderFlags));
    if (!next) throw ArchiveError::cannotWrite(path.substr(0, walked), errno);
    if (k == mLevels.size() && mLevels.size() < kCachedLevels) {
      mLevels.push_back(Level{.name = parts[k], .fd = std::move(next)});
      at = mLevels.back().fd.get();
    } else {
      transient = std::move(next);
      at = transient.get();
    }
  }
  if (!transient) return at;
  mDeep = std::move(transient);
  mDeepPath = path;
  return mDeep.get();
}

int EntryWriter::parentOf(std::string_view path, std::string_view& leaf) {
  leaf = leafOf(path);
  return openFolder(folderOf(path));
}

void EntryWriter::folder(std::string_view path, unsigned permissions,
                         std::optional<std::chrono::sys_seconds> modified) {
  (void)openFolder(path);
  mFolders.push_back(FolderAttributes{
      .path = std::string(path), .permissions = permissions, .modified = modified});
}

UniqueFd EntryWriter::createFile(std::string_view path, unsigned permissions) {
  std::string_view leaf;
  const int folder = parentOf(path, leaf);
  const std::string name(leaf);
  for (int attempt = 0;; ++attempt) {
    // The kernel takes the umask off; set-id and sticky bits never pass.
    UniqueFd file(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         fileMode(permissions)));
    if (file) return file;
    const int code = errno;
    struct stat info {};
    // The same name again: the later entry replaces the file of the earlier.
    if (code == EEXIST && attempt == 0 &&
        fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        unlinkat(folder, name.c_str(), 0) == 0) {
      continue;
    }
    throw ArchiveError::cannotWrite(path, code);
  }
}

void EntryWriter::closeFile(UniqueFd file, std::string_view path,
                            std::optional<std::chrono::sys_seconds> modified) {
  setTime(file.get(), path, modified);
  // Some file systems report a full disk only when the file is closed.
  if (close(file.release()) != 0 && errno != EINTR) throw ArchiveError::cannotWrite(path, errno);
}

void EntryWriter::symlink(std::string_view path, std::string_view target) {
  mLinks.push_back(Link{.path = std::string(path), .target = std::string(target), .isHard = false});
}

void EntryWriter::hardLink(std::string_view path, std::string_view target) {
  mLinks.push_back(Link{.path = std::string(path), .target = std::string(target), .isHard = true});
}

void EntryWriter::removeFile(std::string_view path) {
  std::string_view leaf;
  const int folder = parentOf(path, leaf);
  const std::string name(leaf);
  if (unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
    throw ArchiveError::cannotWrite(path, errno);
}

void EntryWriter::dropHardLinksTo(const std::vector<std::string>& files) {
  if (files.empty()) return;
  std::erase_if(mLinks, [&](const Link& link) {
    return link.isHard && std::find(files.begin(), files.end(), link.target) != files.end();
  });
}

void EntryWriter::hardLinkNow(std::string_view path, std::string_view target) {
  makeHardLink(path, target, true);
}

void EntryWriter::makeHardLink(std::string_view path, std::string_view target, bool replaces) {
  // The file's folder through the kept levels, then the link's own
  // folder opened apart (both must be open at once).
  const std::string file(leafOf(target));
  UniqueFd fileFolder(fcntl(openFolder(folderOf(target)), F_DUPFD_CLOEXEC, 3));
  if (!fileFolder) throw ArchiveError::cannotWrite(target, errno);
  std::string_view leaf;
  const int folder = parentOf(path, leaf);
  const std::string name(leaf);
  for (int attempt = 0;; ++attempt) {
    // No AT_SYMLINK_FOLLOW: the plan made sure the target is a file.
    if (linkat(fileFolder.get(), file.c_str(), folder, name.c_str(), 0) == 0) return;
    const int code = errno;
    struct stat info {};
    if (code == EEXIST && replaces && attempt == 0 &&
        fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        unlinkat(folder, name.c_str(), 0) == 0) {
      continue;
    }
    throw ArchiveError::cannotWrite(path, code);
  }
}

void EntryWriter::finish() {
  for (const Link& link : mLinks) {
    std::string_view leaf;
    if (!link.isHard) {
      const int folder = parentOf(link.path, leaf);
      const std::string name(leaf);
      if (symlinkat(link.target.c_str(), folder, name.c_str()) != 0) {
        throw ArchiveError::cannotWrite(link.path, errno);
      }
      continue;
    }
    makeHardLink(link.path, link.target, false);
  }
  mLinks.clear();
  for (const FolderAttributes& attributes : mFolders) {
    const int folder = openFolder(attributes.path);
    // Always open to their owner, so what was extracted can be removed.
    const mode_t mode = ((static_cast<mode_t>(attributes.permissions) & 0777) | S_IRWXU) & ~mUmask;
    if (attributes.permissions != 0 && fchmod(folder, mode) != 0 && errno != EPERM) {
      throw ArchiveError::cannotWrite(attributes.path, errno);
    }
    setTime(folder, attributes.path, attributes.modified);
  }
  mFolders.clear();
  mLevels.clear();
  mDeep.reset();
}

bool removeContents(int folderFd) {
  // Each level: the folders inside still to be emptied, the one being
  // emptied now, and the identity of the level's own folder, to make sure
  // the way back up ("..") returns where it came from.
  struct Level {
    std::vector<std::string> folders;
    std::string inside;
    dev_t device = 0;
    ino_t inode = 0;
  };
  bool removedAll = true;
  // scan: removes what is not a folder, and the folders already empty;
  // returns the level with the others.
  const auto scan = [&removedAll](int fd) {
    Level level;
    struct stat self {};
    if (fstat(fd, &self) == 0) {
      level.device = self.st_dev;
      level.inode = self.st_ino;
      if ((self.st_mode & S_IRWXU) != S_IRWXU) (void)fchmod(fd, self.st_mode | S_IRWXU);
    }
    UniqueFd copy(openat(fd, ".", kFolderFlags));
    Directory directory(copy ? fdopendir(copy.get()) : nullptr);
    if (!directory) {
      removedAll = false;
      return level;
    }
    (void)copy.release();  // the stream owns it now
    while (const dirent* item = readdir(directory.get())) {
      const std::string_view name = item->d_name;
      if (name == "." || name == "..") continue;
      bool isFolder = item->d_type == DT_DIR;
      if (item->d_type == DT_UNKNOWN) {
        struct stat info {};
        isFolder =
            fstatat(fd, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
      }
      if (!isFolder) {
        if (unlinkat(fd, item->d_name, 0) != 0 && errno != ENOENT) removedAll = false;
      } else if (unlinkat(fd, item->d_name, AT_REMOVEDIR) != 0) {
        level.folders.emplace_back(name);
      }
    }
    return level;
  };

  UniqueFd current(openat(folderFd, ".", kFolderFlags));
  if (!current) return false;
  std::vector<Level> levels;
  levels.push_back(scan(current.get()));
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.folders.empty()) {
      level.inside = std::move(level.folders.back());
      level.folders.pop_back();
      UniqueFd inner(openat(current.get(), level.inside.c_str(), kFolderFlags));
      if (!inner) {
        removedAll = false;
        continue;
      }
      current = std::move(inner);
      levels.push_back(scan(current.get()));
      continue;
    }
    levels.pop_back();
    if (levels.empty()) break;
    UniqueFd up(openat(current.get(), "..", kFolderFlags));
    struct stat info {};
    if (!up || fstat(up.get(), &info) != 0 || info.st_dev != levels.back().device ||
        info.st_ino != levels.back().inode) {
      return false;  // moved meanwhile: stop rather than remove elsewhere
    }
    current = std::move(up);
    if (unlinkat(current.get(), levels.back().inside.c_str(), AT_REMOVEDIR) != 0)
      removedAll = false;
  }
  return removedAll;
}

void writeAllAt(int fd, const char* bytes, std::size_t size, off_t offset, std::string_view path) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, bytes, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw ArchiveError::cannotWrite(path, errno);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
    offset += written;
  }
}

}  // namespace vexel::extraction_internal
