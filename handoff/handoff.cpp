#include "handoff/handoff.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <utility>

#include "extraction/archive_extractor.h"
#include "extraction/work_folder.h"
#include "handoff/destination.h"
#include "handoff/extractor.h"
#include "internal/handoff_texts.h"
#include "model/archive_format.h"
#include "process/child_process.h"
#include "process/unique_fd.h"
#include "readers/archive_error.h"
#include "text/utf8.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
namespace texts = handoff_internal;

std::vector<ArchiverTool> archivers() {
  std::vector<ArchiverTool> tools = findArchivers();
  if (tools.empty()) throw ArchiveError::toolMissing(std::string(texts::kArchiverNames));
  return tools;
}

// An item as given, without a trailing "/" ("/tmp/dir/" names "/tmp/dir").
fs::path itemPath(const fs::path& path) {
  fs::path item = path.lexically_normal();
  if (!item.has_filename() && item.has_relative_path()) item = item.parent_path();
  return item;
}

// vexel-quicklook of this installation, else the one on PATH.
std::optional<fs::path> previewHost() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path beside = self.parent_path() / "vexel-quicklook";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  return findProgram("vexel-quicklook");
}

// The longest file name the file systems in use take, in bytes.
constexpr size_t kLongestName = 255;

// The preview page's file name: the archive's name and ".html", the name
// cut short (at a character, with "…") where that would be too long.
std::string pageName(const fs::path& archive) {
  constexpr std::string_view kExtension = ".html";
  constexpr std::string_view kEllipsis = "…";
  const std::string name = archive.filename().string();
  if (name.size() + kExtension.size() <= kLongestName) return name + std::string(kExtension);
  const size_t room = kLongestName - kExtension.size() - kEllipsis.size();
  size_t cut = 0;
  for (const text::CodePoint cp : text::codePoints(name)) {
    if (cp.end() > room) break;
    cut = cp.end();
  }
  return name.substr(0, cut) + std::string(kEllipsis) + std::string(kExtension);
}

// A folder of preview pages, removed with its page unless kept.
class PreviewFolder {
 public:
  explicit PreviewFolder(fs::path path) : mPath(std::move(path)) {}
  PreviewFolder(const PreviewFolder&) = delete;
  PreviewFolder& operator=(const PreviewFolder&) = delete;
  ~PreviewFolder() {
    if (mKept) return;
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
  }
  [[nodiscard]] const fs::path& path() const noexcept { return mPath; }
  // keep: the page stays, for the browser that reads it after this program has ended.
  void keep() noexcept { mKept = true; }

 private:
  fs::path mPath;
  bool mKept = false;
};

// The folder preview folders are made in: $TMPDIR when it is absolute, else /tmp.
fs::path temporaryFolder() {
  const char* temporary = getenv("TMPDIR");
  return temporary != nullptr && *temporary == '/' ? fs::path(temporary) : fs::path("/tmp");
}

// kMostPreviews: the archives one URL shows in the browser, each in a
// browser of its own start: a URL from any web page must not start fifty.
constexpr std::size_t kMostPreviews = 10;
// Preview pages stay for the browser that reads them after this program has
// ended, and for its reloads, this long; the next open removes them.
constexpr auto kPagesKeptFor = std::chrono::hours(1);
constexpr std::string_view kPreviewPrefix = "vexel-preview-";

// distinct: each item once, in the order first given: the same file by
// another spelling ("/a//b", "/a/./b", or through a link when `follows`)
// is the same item, acted on once.
std::vector<fs::path> distinct(const std::vector<fs::path>& paths, bool follows) {
  std::vector<fs::path> kept;
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const fs::path& path : paths) {
    struct stat info {};
    const int found = follows ? stat(path.c_str(), &info) : lstat(path.c_str(), &info);
    if (found == 0 && !seen.insert({info.st_dev, info.st_ino}).second) continue;
    kept.push_back(path);
  }
  return kept;
}

// clearOldPages: removes this user's preview folders in `folder` that are
// older than kPagesKeptFor. Never follows a link.
void clearOldPages(const fs::path& folder) noexcept {
  std::error_code error;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator at(folder, error), end; !error && at != end; at.increment(error)) {
    const std::string name = at->path().filename().string();
    if (!name.starts_with(kPreviewPrefix) || name.size() != kPreviewPrefix.size() + 6) continue;
    struct stat info {};
    if (lstat(at->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid()) {
      continue;
    }
    std::error_code ignored;
    const auto modified = fs::last_write_time(at->path(), ignored);
    if (ignored || now - modified < kPagesKeptFor) continue;
    fs::remove_all(at->path(), ignored);
  }
}

}  // namespace

std::optional<std::string> Handoff::refusedPath(const HandoffRequest& request) const {
  for (const fs::path& path : request.paths) {
    struct stat info {};
    if (request.action == HandoffRequest::Action::compress) {
      if (itemPath(path) == itemPath(path).root_path())
        return std::string(texts::kCannotCompressRoot);
      if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? texts::notFound(path)
                               : texts::cannotRead(path, std::strerror(errno));
      }
      // A named pipe, socket or device holds nothing to store (7-Zip would
      // wait on a pipe for a writer).
      if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode))
        return texts::notRegularFile(path);
      continue;
    }
    if (stat(path.c_str(), &info) != 0) {
      return errno == ENOENT ? texts::notFound(path)
                             : texts::cannotRead(path, std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) return texts::folderNotArchive(path);
    if (!S_ISREG(info.st_mode)) return texts::notRegularFile(path);
    if (!isArchive(path)) return texts::notArchive(path);
  }
  return std::nullopt;
}

bool Handoff::perform(const HandoffRequest& request) {
  if (const std::optional<std::string> problem = refusedPath(request)) {
    mDesktop.message(std::string(texts::kCannotHandleRequestTitle), *problem, true);
    return false;
  }
  bool succeeded = true;
  switch (request.action) {
    case HandoffRequest::Action::sync:
      return true;
    case HandoffRequest::Action::compress:
      return compress(distinct(request.paths, false), request.format);
    case HandoffRequest::Action::extract:
      for (const fs::path& path : distinct(request.paths, true)) {
        // A cancel ends the whole request, not only the archive at hand.
        if (mTask->isCancelled()) return false;
        succeeded = extract(path) && succeeded;
      }
      return succeeded;
    case HandoffRequest::Action::open:
      return open(distinct(request.paths, true));
  }
  return false;
}

bool Handoff::extract(const fs::path& archive) {
  Desktop::Notice notice = mDesktop.begin(texts::extractingTitle(archive), "folder");
  // Asked once per archive, only when it needs one; cancelling the dialog
  // cancels the run.
  const Extractor::AskPassword askPassword = [&](bool wasWrong) -> std::optional<std::string> {
    std::string password;
    switch (mDesktop.askPassword(
        wasWrong ? texts::wrongPasswordQuestion(archive) : texts::passwordQuestion(archive),
        password)) {
      case Desktop::Answer::given:
        return password;
      case Desktop::Answer::declined:
        mTask->cancel();
        throw ArchiveError::cancelled();
      case Desktop::Answer::unavailable:
        break;
    }
    return std::nullopt;
  };
  try {
    Extractor extractor(mTask, askPassword,
                        [&notice](double fraction) { notice.progress(fraction); });
    const Extractor::Outcome outcome = extractor.extract(archive);
    const std::string body =
        texts::extractedBody(outcome.placed, outcome.linksLeftOut, outcome.specialsLeftOut);
    if (!outcome.damaged.empty()) {
      // What could be read is there; what could not is named.
      notice.finish(texts::extractedTitle(archive),
                    texts::someDamaged(outcome.files, outcome.damaged) + "\n" + body, true);
      return false;
    }
    notice.finish(texts::extractedTitle(archive), body, false);
    return true;
  } catch (const ArchiveError& error) {
    notice.finish(texts::cannotExtractTitle(archive), texts::explainedFailure(error.message()),
                  true);
    return false;
  }
}

bool Handoff::compress(const std::vector<fs::path>& paths,
                       const std::optional<std::string>& format) {
  std::vector<fs::path> items;
  for (const fs::path& path : paths) items.push_back(itemPath(path));
  const fs::path parent = items.front().parent_path();
  std::string name =
      items.size() == 1 ? items.front().filename().string() : parent.filename().string();
  if (name.empty()) name = texts::kDefaultArchiveName;
  const std::string what = texts::whatIsCompressed(items.front(), items.size());

  Desktop::CompressOptions options;
  if (format) {
    options.format = *format;
  } else {
    switch (mDesktop.askCompressOptions(texts::compressDialogTitle(what), options)) {
      case Desktop::Answer::given:
        break;
      case Desktop::Answer::declined:
        // Cancelled before anything ran: the task is cancelled all the same.
        mTask->cancel();
        mDesktop.message(texts::notCompressedTitle(what), ArchiveError::cancelled().message(),
                         false);
        return false;
      case Desktop::Answer::unavailable:
        options = {};  // ZIP at the tool's own level
        break;
    }
  }

  Desktop::Notice notice = mDesktop.begin(texts::compressingTitle(what), "package-x-generic");
  try {
    const Archiver archiver(archivers().front());
    // A run that was killed left its work folder here: ours to remove now.
    WorkFolder::clearStale(parent);
    WorkFolder work(parent);
    // The archiver writes by path, so only where no one else can redirect
    // it; the archive then reaches the destination through descriptors.
    const ArchiverOutput output(work);
    const std::string fileName = name + "." + options.format;
    // bsdtar stores such files as they are; 7-Zip would wait on a pipe.
    const std::vector<std::string> leftOut = archiver.tool().kind == ArchiverTool::Kind::sevenZip
                                                 ? specialFilesIn(items)
                                                 : std::vector<std::string>{};
    archiver.compress(
        items, output.path() / fileName, options.format, options.level,
        work.path().filename().string(), mTask,
        [&notice](double fraction) { notice.progress(fraction); }, leftOut);
    (void)ArchiveExtractor::adopt(output.path(), work, mTask);
    const fs::path placed = work.placeFile(fileName, name, "." + options.format);
    notice.finish(texts::compressedTitle(placed), texts::compressedBody(parent), false);
    return true;
  } catch (const ArchiveError& error) {
    notice.finish(texts::cannotCompressTitle(what), texts::explainedFailure(error.message()), true);
    return false;
  }
}

std::optional<fs::path> Handoff::previewPage(const fs::path& archive) {
  const std::optional<fs::path> host = previewHost();
  if (!host) {
    mDesktop.message(texts::cannotShowTitle(archive),
                     ArchiveError::toolMissing("vexel-quicklook").message(), true);
    return std::nullopt;
  }
  std::string pattern = (temporaryFolder() / (std::string(kPreviewPrefix) + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    mDesktop.message(texts::cannotShowTitle(archive),
                     texts::cannotMakeTemporaryFolder(std::strerror(errno)), true);
    return std::nullopt;
  }
  PreviewFolder folder{fs::path(pattern)};
  const fs::path page = folder.path() / pageName(archive);
  const UniqueFd file(
      ::open(page.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) {
    mDesktop.message(texts::cannotShowTitle(archive),
                     texts::cannotWritePreviewPage(std::strerror(errno)), true);
    return std::nullopt;
  }
  // The page draws failures (damaged, encrypted names) itself, as the preview does.
  const ProcessOutcome made = ChildProcess::run({.program = *host,
                                                 .arguments = {"--html", "--", archive.string()},
                                                 .output = StreamSetup::descriptor(file.get()),
                                                 .error = StreamSetup::inherited()});
  if (made.startError || made.status != 0) {
    mDesktop.message(texts::cannotShowTitle(archive),
                     ArchiveError::toolFailed(host->filename().string(), made.status).message(),
                     true);
    return std::nullopt;
  }
  folder.keep();
  return page;
}

bool Handoff::open(const std::vector<fs::path>& given) {
  bool succeeded = true;
  clearOldPages(temporaryFolder());
  std::vector<fs::path> archives = given;
  if (archives.size() > kMostPreviews) {
    mDesktop.message(std::string(texts::kTooManyPreviewsTitle),
                     texts::tooManyPreviews(kMostPreviews, archives.size() - kMostPreviews), true);
    archives.resize(kMostPreviews);
    succeeded = false;
  }
  std::vector<fs::path> shown;
  std::vector<fs::path> pages;
  for (const fs::path& archive : archives) {
    if (mTask->isCancelled()) return false;
    std::optional<fs::path> page = previewPage(archive);
    if (!page) {
      succeeded = false;
      continue;
    }
    shown.push_back(archive);
    pages.push_back(std::move(*page));
  }
  if (!mDesktop.hasDisplay()) {
    for (size_t k = 0; k < pages.size(); ++k) {
      mDesktop.message(texts::contentsTitle(shown[k]), texts::previewPageBody(pages[k]), false);
    }
    return succeeded;
  }
  // Every page at once: the second archive's must not wait for the first
  // one's browser.
  const std::vector<bool> opened = mDesktop.openInBrowser(pages);
  for (size_t k = 0; k < pages.size(); ++k) {
    if (opened[k]) continue;
    mDesktop.message(texts::cannotShowTitle(shown[k]), texts::browserCannotOpen(pages[k]), true);
    succeeded = false;
  }
  return succeeded;
}

}  // namespace vexel
