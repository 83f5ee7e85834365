#include "handoff/handoff.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "handoff/destination.h"
#include "handoff/extractor.h"
#include "handoff/handoff_texts.h"
#include "model/archive_format.h"
#include "process/child_process.h"
#include "readers/archive_error.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "“" + path.string() + "”"; }
std::string quotedName(const fs::path& path) { return "“" + path.filename().string() + "”"; }

std::vector<ArchiverTool> archivers() {
  std::vector<ArchiverTool> tools = findArchivers();
  if (tools.empty()) throw ArchiveError::toolMissing("7z 或 bsdtar");
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

}  // namespace

std::optional<std::string> Handoff::refusedPath(const HandoffRequest& request) const {
  for (const fs::path& path : request.paths) {
    struct stat info {};
    if (request.action == HandoffRequest::Action::compress) {
      if (itemPath(path) == itemPath(path).root_path()) return "不能压缩整个根文件夹。";
      if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "找不到" + quoted(path) + "。"
                               : "无法读取" + quoted(path) + "：" + std::strerror(errno);
      }
      continue;
    }
    if (stat(path.c_str(), &info) != 0) {
      return errno == ENOENT ? "找不到" + quoted(path) + "。"
                             : "无法读取" + quoted(path) + "：" + std::strerror(errno);
    }
    if (S_ISDIR(info.st_mode)) return quoted(path) + "是文件夹，不是压缩包。";
    if (!S_ISREG(info.st_mode)) return quoted(path) + "不是普通文件。";
    if (!isArchive(path)) return quoted(path) + "不是压缩包。";
  }
  return std::nullopt;
}

bool Handoff::perform(const HandoffRequest& request) {
  if (const std::optional<std::string> problem = refusedPath(request)) {
    mDesktop.message("无法处理这个请求", *problem, true);
    return false;
  }
  bool succeeded = true;
  switch (request.action) {
    case HandoffRequest::Action::sync:
      return true;
    case HandoffRequest::Action::compress:
      return compress(request.paths, request.format);
    case HandoffRequest::Action::extract:
    case HandoffRequest::Action::open:
      for (const fs::path& path : request.paths) {
        // A cancel ends the whole request, not only the archive at hand.
        if (mTask->isCancelled()) return false;
        const bool done =
            request.action == HandoffRequest::Action::extract ? extract(path) : open(path);
        succeeded = done && succeeded;
      }
      return succeeded;
  }
  return false;
}

bool Handoff::extract(const fs::path& archive) {
  Desktop::Notice notice = mDesktop.begin("正在解压" + quotedName(archive), "archive-extract");
  // Asked once per archive, only when it needs one; cancelling the dialog
  // cancels the run.
  const Extractor::AskPassword askPassword = [&]() -> std::optional<std::string> {
    std::string password;
    switch (mDesktop.askPassword(quotedName(archive) + "需要密码", password)) {
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
    notice.finish(
        "已解压" + quotedName(archive),
        handoff_texts::extractedTo(outcome.placed, outcome.linksLeftOut, outcome.specialsLeftOut),
        false);
    return true;
  } catch (const ArchiveError& error) {
    notice.finish("无法解压" + quotedName(archive), error.message(), true);
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
  if (name.empty()) name = "归档";
  const std::string what = items.size() == 1 ? quotedName(items.front())
                                             : " " + std::to_string(items.size()) + " 个项目";

  Desktop::CompressOptions options;
  if (format) {
    options.format = *format;
  } else {
    switch (mDesktop.askCompressOptions("用 Vexel 压缩" + what, options)) {
      case Desktop::Answer::given:
        break;
      case Desktop::Answer::declined:
        // Cancelled before anything ran: the task is cancelled all the same.
        mTask->cancel();
        mDesktop.message("没有压缩" + what, ArchiveError::cancelled().message(), false);
        return false;
      case Desktop::Answer::unavailable:
        options = {};  // ZIP at the tool's own level
        break;
    }
  }

  Desktop::Notice notice = mDesktop.begin("正在压缩" + what, "archive-insert");
  try {
    const Archiver archiver(archivers().front());
    TemporaryFolder work(parent);
    const fs::path made = work.path() / (name + "." + options.format);
    archiver.compress(items, made, options.format, options.level, work.path().filename().string(),
                      mTask, [&notice](double fraction) { notice.progress(fraction); });
    const fs::path placed = placeFile(made, parent, name, "." + options.format);
    notice.finish("已压缩成" + quotedName(placed), "在" + quoted(parent), false);
    return true;
  } catch (const ArchiveError& error) {
    notice.finish("无法压缩" + what, error.message(), true);
    return false;
  }
}

bool Handoff::open(const fs::path& archive) {
  const std::string failedTitle = "无法显示" + quotedName(archive) + "的内容";
  const std::optional<fs::path> host = previewHost();
  if (!host) {
    mDesktop.message(failedTitle, ArchiveError::toolMissing("vexel-quicklook").message(), true);
    return false;
  }
  const char* temporary = getenv("TMPDIR");
  std::string pattern = (fs::path(temporary != nullptr && *temporary == '/' ? temporary : "/tmp") /
                         "vexel-preview-XXXXXX")
                            .string();
  if (mkdtemp(pattern.data()) == nullptr) {
    mDesktop.message(failedTitle, std::string("无法创建临时文件夹：") + std::strerror(errno), true);
    return false;
  }
  const fs::path page = fs::path(pattern) / (archive.filename().string() + ".html");
  const int fd = ::open(page.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    mDesktop.message(failedTitle, std::string("无法写入预览页：") + std::strerror(errno), true);
    return false;
  }
  // The page draws failures (damaged, encrypted names) itself, as the preview does.
  const ProcessOutcome made = ChildProcess::run({.program = *host,
                                                 .arguments = {"--html", "--", archive.string()},
                                                 .output = StreamSetup::descriptor(fd),
                                                 .error = StreamSetup::inherited()});
  close(fd);
  if (made.startError || made.status != 0) {
    mDesktop.message(
        failedTitle,
        ArchiveError::from(RunResult{.status = made.status}, host->filename().string()).message(),
        true);
    return false;
  }
  // The page stays: the browser reads it after this program has ended.
  if (!mDesktop.hasDisplay()) {
    mDesktop.message(quotedName(archive) + "的内容", "预览页在" + quoted(page), false);
    return true;
  }
  if (!mDesktop.openInBrowser(page)) {
    mDesktop.message(failedTitle, "xdg-open 无法用浏览器打开" + quoted(page) + "。", true);
    return false;
  }
  return true;
}

}  // namespace vexel
