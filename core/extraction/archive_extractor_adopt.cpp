#include "extraction/archive_extractor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "internal/entry_writer.h"
#include "internal/extraction_plan.h"
#include "internal/stopper.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"

// Adoption: what another archiver wrote to a folder of its own, judged and
// placed as an extraction's result is.
namespace vexel {

namespace fs = std::filesystem;
using extraction_internal::EntryKind;
using extraction_internal::EntryWriter;
using extraction_internal::ExtractionPlan;
using extraction_internal::kCopyBuffer;
using extraction_internal::PlannedEntry;
using extraction_internal::Step;
using extraction_internal::Stopper;

namespace {

// Found: one thing another archiver left in its output folder.
struct Found {
  std::string path;
  mode_t mode = 0;
  nlink_t links = 1;
  dev_t device = 0;
};

// openBeneath: the folder `path` (clean, relative) beneath `root`, walked
// one component at a time without following links.
UniqueFd openBeneath(int root, std::string_view path) {
  UniqueFd at(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::size_t start = 0;
  while (at && start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string part(path.substr(start, end - start));
    at = UniqueFd(openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = end + 1;
  }
  return at;
}

std::string joinedPath(std::string_view folder, std::string_view name) {
  return folder.empty() ? std::string(name) : std::string(folder) + "/" + std::string(name);
}

// copyFile: the data of `source` into the new file `target`.
void copyFile(int source, int target, std::string_view path, const Stopper& stopper) {
  std::vector<char> buffer(kCopyBuffer);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = read(source, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ArchiveError::cannotWrite(path, errno);
    if (got == 0) return;
    extraction_internal::writeAllAt(target, buffer.data(), static_cast<std::size_t>(got), offset,
                                    path);
    offset += got;
    stopper.throwIfCancelled();
  }
}

// findOutput: what is in the folder `root` (named `output`), breadth
// first, read from the folders themselves; each entry added to `plan`.
std::vector<Found> findOutput(int root, const std::string& output, const Stopper& stopper,
                              ExtractionPlan& plan) {
  std::vector<Found> found;
  std::deque<std::string> folders{""};
  while (!folders.empty()) {
    stopper.throwIfCancelled();
    const std::string folder = std::move(folders.front());
    folders.pop_front();
    UniqueFd fd = openBeneath(root, folder);
    DIR* directory = fd ? fdopendir(fd.get()) : nullptr;
    if (directory == nullptr) throw ArchiveError::cannotWrite(joinedPath(output, folder), errno);
    (void)fd.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> owner(directory, &closedir);
    while (const dirent* item = readdir(directory)) {
      const std::string_view name = item->d_name;
      if (name == "." || name == "..") continue;
      struct stat info {};
      if (fstatat(dirfd(directory), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (found.size() >= static_cast<std::size_t>(ExtensionArchive::kMaxNodes)) {
        throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::entries);
      }
      PlannedEntry entry{.path = joinedPath(folder, name),
                         .size = static_cast<std::int64_t>(info.st_size),
                         .permissions = static_cast<unsigned>(info.st_mode) & 07777,
                         .modified = std::chrono::sys_seconds(std::chrono::seconds(info.st_mtime))};
      if (S_ISDIR(info.st_mode)) {
        entry.kind = EntryKind::folder;
        folders.push_back(entry.path);
      } else if (S_ISREG(info.st_mode)) {
        entry.kind = EntryKind::file;
      } else if (S_ISLNK(info.st_mode)) {
        entry.kind = EntryKind::symlink;
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length =
            readlinkat(dirfd(directory), item->d_name, target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) continue;
        target.resize(static_cast<std::size_t>(length));
        entry.target = std::move(target);
      } else {
        entry.kind = EntryKind::special;
      }
      found.push_back(Found{
          .path = entry.path, .mode = info.st_mode, .links = info.st_nlink, .device = info.st_dev});
      plan.add(std::move(entry));
    }
  }
  return found;
}

// placeOutput: the steps of `plan` over what `found` lists of the folder
// `root` (on the device `rootDevice`), into `writer`'s result folder.
void placeOutput(const ExtractionPlan& plan, const std::vector<Found>& found, int root,
                 dev_t rootDevice, EntryWriter& writer, const Stopper& stopper) {
  EntryWriter source(root);
  const std::vector<Step>& steps = plan.steps();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    stopper.throwIfCancelled();
    const Step& step = steps[i];
    switch (step.action) {
      case Step::Action::skip:
        break;
      case Step::Action::folder:
        writer.folder(step.path, step.permissions, step.modified);
        break;
      case Step::Action::symlink:
        writer.symlink(step.path, step.target);
        break;
      case Step::Action::hardLink:
        break;  // a folder holds no hard link entries
      case Step::Action::file: {
        std::string_view fromLeaf;
        const int fromFolder = source.parentOf(step.path, fromLeaf);
        const std::string from(fromLeaf);
        // A file with other names, or on another file system, is copied.
        bool moved = false;
        if (found[i].links == 1 && found[i].device == rootDevice) {
          std::string_view toLeaf;
          const int toFolder = writer.parentOf(step.path, toLeaf);
          const std::string to(toLeaf);
          moved = renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0;
          if (moved) {
            const UniqueFd file(openat(toFolder, to.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            // The archiver's mode, as files made here get it: no set-id
            // or sticky bits, the umask taken off.
            if (!file ||
                fchmod(file.get(), found[i].mode & 0777 & ~extraction_internal::userUmask()) != 0) {
              throw ArchiveError::cannotWrite(step.path, errno);
            }
          } else if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) {
            throw ArchiveError::cannotWrite(step.path, errno);
          }
        }
        if (!moved) {
          const UniqueFd data(openat(fromFolder, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
          if (!data) throw ArchiveError::cannotWrite(step.path, errno);
          UniqueFd copy = writer.createFile(step.path, step.permissions);
          copyFile(data.get(), copy.get(), step.path, stopper);
          writer.closeFile(std::move(copy), step.path, step.modified);
        }
        break;
      }
    }
  }
}

}  // namespace

ArchiveExtractor::Check ArchiveExtractor::adopt(const fs::path& output, WorkFolder& work,
                                                const std::shared_ptr<TaskHandle>& task) {
  const Stopper stopper(task);
  try {
    const UniqueFd root(open(output.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root) throw ArchiveError::cannotWrite(output.string(), errno);
    struct stat rootInfo {};
    if (fstat(root.get(), &rootInfo) != 0) throw ArchiveError::cannotWrite(output.string(), errno);

    auto plan = std::make_shared<ExtractionPlan>();
    const std::vector<Found> found = findOutput(root.get(), output.string(), stopper, *plan);
    plan->decide();

    // Files move by name when they can; the judgement holds because no one
    // else can change the output folder.
    EntryWriter writer(work.resultFd());
    placeOutput(*plan, found, root.get(), rootInfo.st_dev, writer, stopper);
    writer.finish();
    Check check;
    check.mPlan = std::move(plan);
    return check;
  } catch (const std::bad_alloc&) {
    throw ArchiveError::outOfMemory();
  }
}

}  // namespace vexel
