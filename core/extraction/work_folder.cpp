#include "extraction/work_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <random>

#include "internal/entry_writer.h"
#include "readers/archive_error.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using extraction_internal::removeContents;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The destination's folder is the user's, links on its way included (a
// Downloads folder that is a link to another disk): only what is made here
// is opened without following links.
constexpr int kUserFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kRandomLetters = 8;
constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";

using FolderStep = ArchiveError::FolderStep;

// isWorkFolderName: ".vexel-" and eight letters or digits, as made here.
bool isWorkFolderName(std::string_view name) {
  if (!name.starts_with(WorkFolder::kPrefix)) return false;
  name.remove_prefix(WorkFolder::kPrefix.size());
  if (name.size() != kRandomLetters) return false;
  for (const char c : name) {
    if (kLetters.find(c) == std::string_view::npos) return false;
  }
  return true;
}

// sameFolder: whether `name` in `parentFd` is still the folder open as `fd`.
bool sameFolder(int parentFd, const std::string& name, int fd) {
  struct stat named {};
  struct stat open {};
  return fstatat(parentFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// removeFolder: empties the folder open as `fd` and removes it from
// `parentFd`, unless `name` there is no longer that folder.
void removeFolder(int parentFd, const std::string& name, int fd) noexcept {
  try {
    (void)removeContents(fd);
  } catch (const std::bad_alloc&) {
    return;  // left for the next run's clearStale
  }
  if (sameFolder(parentFd, name, fd)) (void)unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

// renameWithoutReplacing: renameat2 with RENAME_NOREPLACE; where the file
// system cannot do that, the name is taken first by making it (an empty
// folder of ours, or an empty file, which the rename may then replace).
int renameWithoutReplacing(int fromFd, const char* from, int toFd, const char* to, bool isFolder) {
  if (renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (isFolder) {
    if (mkdirat(toFd, to, 0700) != 0) return errno;
  } else {
    const UniqueFd taken(
        openat(toFd, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!taken) return errno;
  }
  if (renameat(fromFd, from, toFd, to) == 0) return 0;
  const int code = errno;
  (void)unlinkat(toFd, to, isFolder ? AT_REMOVEDIR : 0);
  return code;
}

// placeNumbered: renames `from` (in `fromFd`) to the first free of
// stem + extension, stem (2) + extension, ... in `toFd`.
std::string placeNumbered(int fromFd, const char* from, int toFd, std::string_view stem,
                          std::string_view extension, bool isFolder, const fs::path& parent) {
  for (int number = 1;; ++number) {
    const std::string candidate = numberedName(stem, number, extension);
    const int code = renameWithoutReplacing(fromFd, from, toFd, candidate.c_str(), isFolder);
    if (code == 0) return candidate;
    if (code != EEXIST && code != ENOTEMPTY) {
      throw ArchiveError::folderFailure(FolderStep::placeAt, (parent / candidate).string(), code);
    }
  }
}

}  // namespace

std::string numberedName(std::string_view name, int number, std::string_view extension) {
  const std::string suffix = number > 1 ? " (" + std::to_string(number) + ")" : std::string();
  const std::size_t room =
      kNameMax > suffix.size() + extension.size() ? kNameMax - suffix.size() - extension.size() : 0;
  std::string_view kept = name;
  if (kept.size() > room) {
    // Cut where a character starts, so no UTF-8 sequence is split.
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    kept = name.substr(0, cut);
  }
  return std::string(kept) + suffix + std::string(extension);
}

WorkFolder::WorkFolder(const fs::path& parent) : mParent(parent) {
  UniqueFd parentFd(open(parent.c_str(), kUserFolderFlags));
  if (!parentFd) throw ArchiveError::folderFailure(FolderStep::open, parent.string(), errno);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name(kPrefix);
    for (std::size_t k = 0; k < kRandomLetters; ++k) name += kLetters[random() % kLetters.size()];
    if (mkdirat(parentFd.get(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      throw ArchiveError::folderFailure(FolderStep::makeIn, parent.string(), errno);
    }
    UniqueFd folder(openat(parentFd.get(), name.c_str(), kFolderFlags));
    // Locked before anything goes in. A clearStale of another run may have
    // taken it between mkdirat and here: then it is gone, or another
    // folder holds the name, and a new name is tried.
    if (!folder || flock(folder.get(), LOCK_EX | LOCK_NB) != 0 ||
        !sameFolder(parentFd.get(), name, folder.get())) {
      continue;
    }
    // The result's own mode is that of any new folder here: it is what
    // the placed folder keeps.
    if (mkdirat(folder.get(), kResultName, 0777) != 0) {
      const int code = errno;
      removeFolder(parentFd.get(), name, folder.get());
      throw ArchiveError::folderFailure(FolderStep::makeIn, parent.string(), code);
    }
    UniqueFd result(openat(folder.get(), kResultName, kFolderFlags));
    if (!result) {
      const int code = errno;
      removeFolder(parentFd.get(), name, folder.get());
      throw ArchiveError::folderFailure(FolderStep::makeIn, parent.string(), code);
    }
    mName = std::move(name);
    mPath = parent / mName;
    mParentFd = parentFd.release();
    mFolder = folder.release();
    mResult = result.release();
    return;
  }
  throw ArchiveError::folderFailure(FolderStep::makeIn, parent.string(), EEXIST);
}

WorkFolder::~WorkFolder() {
  close(mResult);
  removeFolder(mParentFd, mName, mFolder);
  close(mFolder);  // drops the lock
  close(mParentFd);
}

std::optional<std::int64_t> WorkFolder::freeBytes() const noexcept {
  struct statvfs info {};
  if (fstatvfs(mFolder, &info) != 0 || info.f_frsize == 0) return std::nullopt;
  const auto limit = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
  const unsigned long long blocks = info.f_bavail;
  if (blocks > limit / info.f_frsize) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(blocks * info.f_frsize);
}

void WorkFolder::clearResult() noexcept {
  try {
    (void)removeContents(mResult);
  } catch (const std::bad_alloc&) {
  }
}

fs::path WorkFolder::place(std::string_view name, bool keepsOneFolder) {
  // The inner folder's entries, up to two: one folder alone may be placed as it is.
  std::string only;
  bool onlyIsFolder = false;
  int count = 0;
  {
    UniqueFd copy(openat(mResult, ".", kFolderFlags));
    DIR* directory = copy ? fdopendir(copy.get()) : nullptr;
    if (directory == nullptr)
      throw ArchiveError::folderFailure(FolderStep::read, mPath.string(), errno);
    (void)copy.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> owner(directory, &closedir);
    while (const dirent* item = readdir(directory)) {
      const std::string_view entry = item->d_name;
      if (entry == "." || entry == "..") continue;
      if (++count > 1) break;
      only = entry;
      struct stat info {};
      onlyIsFolder =
          fstatat(mResult, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }
  }
  // A hidden folder (".ssh") never becomes the result: placed as it is in
  // a home folder, it would take the place of the user's own.
  if (keepsOneFolder && count == 1 && onlyIsFolder && !only.starts_with('.')) {
    const int code = renameWithoutReplacing(mResult, only.c_str(), mParentFd, only.c_str(), true);
    if (code == 0) return mParent / only;
    if (code != EEXIST && code != ENOTEMPTY) {
      throw ArchiveError::folderFailure(FolderStep::placeAt, (mParent / only).string(), code);
    }
  }
  return mParent / placeNumbered(mFolder, kResultName, mParentFd, name, {}, true, mParent);
}

fs::path WorkFolder::placeFile(std::string_view entryName, std::string_view stem,
                               std::string_view extension) {
  const std::string from(entryName);
  return mParent / placeNumbered(mResult, from.c_str(), mParentFd, stem, extension, false, mParent);
}

void WorkFolder::clearStale(const fs::path& parent) noexcept {
  const UniqueFd parentFd(open(parent.c_str(), kUserFolderFlags));
  if (!parentFd) return;
  std::vector<std::string> names;
  try {
    UniqueFd copy(openat(parentFd.get(), ".", kFolderFlags));
    DIR* directory = copy ? fdopendir(copy.get()) : nullptr;
    if (directory == nullptr) return;
    (void)copy.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> owner(directory, &closedir);
    while (const dirent* item = readdir(directory)) {
      if (isWorkFolderName(item->d_name)) names.emplace_back(item->d_name);
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  for (const std::string& name : names) {
    const UniqueFd folder(openat(parentFd.get(), name.c_str(), kFolderFlags));
    struct stat info {};
    if (!folder || fstat(folder.get(), &info) != 0 || info.st_uid != geteuid()) continue;
    // Held by a live run: its lock. A killed run's lock went with it.
    if (flock(folder.get(), LOCK_EX | LOCK_NB) != 0) continue;
    removeFolder(parentFd.get(), name, folder.get());
  }
}

}  // namespace vexel
