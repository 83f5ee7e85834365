#include "handoff/archiver.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

#include "archiver/listing_parser.h"
#include "internal/handoff_texts.h"
#include "process/child_process.h"
#include "process/pseudo_terminal.h"
#include "readers/extension_archive.h"

namespace vexel {
namespace {

// The file type letter of a Unix mode string such as "lrwxrwxrwx", which
// 7-Zip lists under "Mode" (tar) or as the last word of "Attributes" (zip,
// 7z: "A -rw-r--r--", " lrwxrwxrwx").
char modeType(std::string_view mode) {
  const size_t space = mode.find_last_of(' ');
  if (space != std::string_view::npos) mode.remove_prefix(space + 1);
  return mode.size() == 10 ? mode.front() : '\0';
}

ArchiveExtractor::ListedEntry listedEntryOf(std::span<const ListingParser::KeyValue> block) {
  using Kind = ArchiveExtractor::ListedEntry::Kind;
  ArchiveExtractor::ListedEntry entry;
  bool hasPath = false;
  std::string_view attributes, mode, folder, size, encrypted, hardLink;
  for (const auto& [key, value] : block) {
    // The first line of each key counts, as for the parser.
    if (key == "Path" && !hasPath) {
      entry.path = value;
      hasPath = true;
    } else if (key == "Folder" && folder.empty()) {
      folder = value;
    } else if (key == "Attributes" && attributes.empty()) {
      attributes = value;
    } else if (key == "Mode" && mode.empty()) {
      mode = value;
    } else if (key == "Size" && size.empty()) {
      size = value;
    } else if (key == "Encrypted" && encrypted.empty()) {
      encrypted = value;
    } else if (key == "Symbolic Link" && entry.target.empty()) {
      entry.target = value;
    } else if (key == "Hard Link" && hardLink.empty()) {
      hardLink = value;
    }
  }
  const char type = modeType(mode) != '\0' ? modeType(mode) : modeType(attributes);
  if (folder == "+" || attributes.starts_with('D') || type == 'd') {
    entry.kind = Kind::folder;
  } else if (!hardLink.empty()) {
    entry.kind = Kind::hardLink;
    entry.target = hardLink;
  } else if (!entry.target.empty() || type == 'l') {
    entry.kind = Kind::symlink;
  } else if (type == 'c' || type == 'b' || type == 'p' || type == 's') {
    entry.kind = Kind::special;
  }
  std::int64_t bytes = 0;
  for (const char c : size) {
    if (c < '0' || c > '9' || bytes > (INT64_MAX - 9) / 10) break;
    bytes = bytes * 10 + (c - '0');
  }
  entry.size = bytes;
  entry.encrypted = encrypted == "+";
  return entry;
}

}  // namespace

std::vector<std::string> specialFilesIn(const std::vector<std::filesystem::path>& items) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  for (const fs::path& item : items) {
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(item, error))) continue;
    const std::string stored = item.filename().string();
    // The iterator keeps a stack of open folders, never the call stack.
    for (fs::recursive_directory_iterator
             at(item, fs::directory_options::skip_permission_denied, error),
         end;
         !error && at != end; at.increment(error)) {
      const fs::file_type type = at->symlink_status(error).type();
      if (error) break;
      if (type == fs::file_type::fifo || type == fs::file_type::socket ||
          type == fs::file_type::block || type == fs::file_type::character) {
        found.push_back(stored + "/" + at->path().lexically_relative(item).generic_string());
      }
    }
  }
  return found;
}

namespace {

// 7-Zip is `7zz` on Debian 12 and `7z` on Debian 13.
std::optional<std::filesystem::path> findSevenZip() {
  for (const char* name : {"7zz", "7z"}) {
    if (auto path = findProgram(name)) return path;
  }
  return std::nullopt;
}

}  // namespace

std::vector<ArchiverTool> findArchivers() {
  std::vector<ArchiverTool> tools;
  if (auto path = findSevenZip()) tools.push_back({ArchiverTool::Kind::sevenZip, std::move(*path)});
  if (auto path = findProgram("bsdtar"))
    tools.push_back({ArchiverTool::Kind::bsdtar, std::move(*path)});
  return tools;
}

ArchiveError Archiver::classify(const RunResult& result) const {
  if (mTool.kind == ArchiverTool::Kind::bsdtar) {
    // libarchive's words for it, which the tool phrases do not include.
    const std::string joined = result.stderr + "\n" + result.stdout;
    for (const char* phrase : {"Enter passphrase", "Incorrect passphrase", "Passphrase required"}) {
      if (joined.find(phrase) != std::string::npos) return ArchiveError::passwordRequired();
    }
  }
  const ArchiveError error = classifyRun(result, name());
  if (error.kind() != ArchiveError::Kind::failed) return error;
  // The tool's own words, without its banner, progress and backspaces.
  std::string text = handoff_internal::toolFailureText(result);
  return text.empty() ? error : ArchiveError::failed(std::move(text));
}

RunResult Archiver::run(const std::vector<std::string>& arguments,
                        const std::shared_ptr<TaskHandle>& task,
                        const ProcessRunner::Progress& progress) const {
  RunResult result = ProcessRunner::run(mTool.path, arguments, std::nullopt, task, progress);
  if (result.status != 0) throw classify(result);
  return result;
}

void Archiver::compress(const std::vector<std::filesystem::path>& items,
                        const std::filesystem::path& target, const std::string& format,
                        std::optional<int> level, const std::string& exclude,
                        const std::shared_ptr<TaskHandle>& task,
                        const ProcessRunner::Progress& progress,
                        const std::vector<std::string>& leftOut) const {
  if (mTool.kind == ArchiverTool::Kind::sevenZip) {
    // -spd: "*" and "?" in a name are that name's characters, never
    // wildcards (a file "notes*" must not bring "notes-private.txt" along);
    // -snl: links are stored as links, never as what they point to.
    std::vector<std::string> arguments{"a", "-t" + format, "-bsp1", "-spd", "-snl"};
    if (level) arguments.push_back("-mx=" + std::to_string(*level));
    if (!exclude.empty()) arguments.push_back("-xr!" + exclude);
    // -spd makes these exact stored names, from the archive's top.
    for (const std::string& name : leftOut) arguments.push_back("-x!" + name);
    arguments.insert(arguments.end(), {"--", target.string()});
    // Absolute paths: each item is stored under its own name, and none can
    // be taken for an option or a list file ("@name").
    for (const auto& item : items) arguments.push_back(item.string());
    (void)run(arguments, task, progress);
    return;
  }
  const std::string writer = format == "7z" ? "7zip" : "zip";
  // bsdtar stores links as links. A name starting with "@" would be read as
  // an archive to copy entries from, one starting with "-" as an option:
  // every name is given as "./name", and the "./" taken off the stored
  // name again (not off link targets).
  std::vector<std::string> arguments{"-c",   "-f", target.string(), "--format",
                                     writer, "-s", ",^\\./,,HS"};
  if (level) {
    arguments.insert(arguments.end(),
                     {"--options", *level == 0 && writer == "zip"
                                       ? std::string("zip:compression=store")
                                       : writer + ":compression-level=" + std::to_string(*level)});
  }
  if (!exclude.empty()) arguments.insert(arguments.end(), {"--exclude", exclude});
  for (const auto& item : items) {
    arguments.insert(arguments.end(),
                     {"-C", item.parent_path().string(), "./" + item.filename().string()});
  }
  (void)run(arguments, task, progress);
}

}  // namespace vexel

namespace vexel {
namespace {

constexpr std::string_view kPasswordPrompt = "Enter password";
// What is kept of 7-Zip's own words to classify a failure.
constexpr std::size_t kKeptOutput = 64 * 1024;

// Watcher: ends a run of 7-Zip when its task is cancelled or its deadline
// passes, from a thread of its own (7-Zip may be silent, waiting): SIGTERM,
// then SIGKILL when it is still there two seconds later.
class Watcher {
 public:
  Watcher(ChildProcess& child, const std::shared_ptr<TaskHandle>& task,
          std::optional<std::chrono::steady_clock::time_point> deadline)
      : mThread([this, &child, task, deadline] {
          std::unique_lock lock(mLock);
          while (!mDone) {
            if (task && task->isCancelled()) break;
            if (deadline && std::chrono::steady_clock::now() > *deadline) {
              mIsLate = true;
              break;
            }
            mWake.wait_for(lock, std::chrono::milliseconds(20));
          }
          if (mDone) return;
          child.terminate();
          // 7-Zip waiting at its prompt only marks SIGTERM as a break.
          if (!mWake.wait_for(lock, std::chrono::seconds(2), [this] { return mDone; })) {
            child.kill();
          }
        }) {}
  ~Watcher() {
    {
      const std::lock_guard lock(mLock);
      mDone = true;
    }
    mWake.notify_one();
    mThread.join();
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  [[nodiscard]] bool isLate() {
    const std::lock_guard lock(mLock);
    return mIsLate;
  }

 private:
  std::mutex mLock;
  std::condition_variable mWake;
  bool mDone = false;
  bool mIsLate = false;
  std::thread mThread;
};

// withoutPrompt: 7-Zip's output without its password prompt, which a run
// that got its answer fails for other reasons ("Dangerous link path was
// ignored", a damaged block): the words left say which.
std::string withoutPrompt(std::string_view output) {
  std::string kept;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    end = end == std::string_view::npos ? output.size() : end + 1;
    const std::string_view line = output.substr(start, end - start);
    const std::size_t prompt = line.find(kPasswordPrompt);
    // The prompt may share its line with what follows the answer.
    if (prompt == std::string_view::npos) {
      kept.append(line);
    } else {
      const std::size_t colon = line.find(':', prompt);
      if (colon != std::string_view::npos) kept.append(line.substr(colon + 1));
    }
    start = end;
  }
  return kept;
}

// BlockReader: 7-Zip's technical listing as it streams in, one entry block
// at a time, within the check's bounds; nothing of it is kept but the
// entries.
class BlockReader {
 public:
  explicit BlockReader(std::vector<ArchiveExtractor::ListedEntry>& entries) : mEntries(entries) {}

  // take: the next piece of the listing.
  // @throws ArchiveError (failed) once a bound is passed.
  void take(std::string_view bytes) {
    mPending.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = mPending.find('\n', start)) != std::string::npos;
         start = end + 1) {
      line(std::string_view(mPending).substr(start, end - start));
    }
    mPending.erase(0, start);
    if (mPending.size() > static_cast<std::size_t>(ExtensionArchive::kMaxNameBytes)) {
      throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::names);
    }
  }

  // finish: the block the listing ended with.
  void finish() {
    if (!mPending.empty()) line(mPending);
    endBlock();
  }

 private:
  void line(std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (!mInEntries) {
      mInEntries = text == "----------";
      return;
    }
    if (!text.empty()) {
      mBlock.append(text).push_back('\n');
      return;
    }
    endBlock();
  }

  void endBlock() {
    if (mBlock.empty()) return;
    ListingParser::forEachEntryBlock("----------\n" + mBlock,
                                     [&](std::span<const ListingParser::KeyValue> block) {
                                       ArchiveExtractor::ListedEntry entry = listedEntryOf(block);
                                       if (entry.path.empty()) return;
                                       mNameBytes += entry.path.size() + entry.target.size();
                                       mEntries.push_back(std::move(entry));
                                     });
    mBlock.clear();
    if (mEntries.size() > static_cast<std::size_t>(ExtensionArchive::kMaxNodes)) {
      throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::entries);
    }
    if (mNameBytes > static_cast<std::size_t>(ExtensionArchive::kMaxNameBytes)) {
      throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::names);
    }
  }

  std::vector<ArchiveExtractor::ListedEntry>& mEntries;
  std::string mPending;
  std::string mBlock;
  bool mInEntries = false;
  std::size_t mNameBytes = 0;
};

}  // namespace

std::optional<SevenZip> SevenZip::find() {
  if (auto path = findSevenZip()) return SevenZip(std::move(*path));
  return std::nullopt;
}

void SevenZip::run(const std::vector<std::string>& arguments, const AskPassword& askPassword,
                   const std::shared_ptr<TaskHandle>& task,
                   std::optional<std::chrono::steady_clock::time_point> deadline,
                   const std::function<void(std::string_view)>& onOutput) const {
  const std::string name = mPath.filename().string();
  if (task && task->isCancelled()) throw ArchiveError::cancelled();
  std::error_code error;
  std::optional<PseudoTerminal> terminal = PseudoTerminal::open(error);
  if (!terminal) throw ArchiveError::cannotStart(name, error.message());
  // 7-Zip asks for the password on its terminal when none is on its
  // command line: that is how it is handed over, unseen by other users.
  ChildProcess child;
  static const std::pair<std::string, std::string> kLocale[] = {{"LC_ALL", "C.UTF-8"},
                                                                {"LANG", "C.UTF-8"}};
  error = child.start({.program = mPath,
                       .arguments = arguments,
                       .environment = environmentWith(kLocale),
                       .controllingTerminal = terminal->name()});
  if (error) throw ArchiveError::cannotStart(name, error.message());
  terminal->closeTerminalSide();

  std::exception_ptr failure;
  RunResult said;
  bool asked = false;
  bool answered = false;
  {
    Watcher watcher(child, task, deadline);
    const UniqueFd output = child.takeOutput();
    const UniqueFd errors = child.takeError();
    const int fds[] = {output.get(), errors.get(), terminal->controller()};
    std::string recent;  // the end of the output, where a prompt may be cut in two
    // 7-Zip waiting at its prompt lets SIGTERM only mark a break: an empty
    // answer (a wrong password) is what ends it.
    const auto stopAtPrompt = [&] {
      (void)terminal->typeSecret("\n");
      child.terminate();
    };
    readUntilClosed(fds, [&](std::size_t index, std::string_view bytes) {
      if (index == 2 || failure) return;  // the terminal's echo, or a run being ended
      std::string& kept = index == 0 ? said.stdout : said.stderr;
      kept.append(bytes.substr(0, kKeptOutput > kept.size() ? kKeptOutput - kept.size() : 0));
      try {
        if (index == 0 && !asked) {
          recent.append(bytes);
          if (recent.find(kPasswordPrompt) != std::string::npos) {
            asked = true;
            const std::optional<std::string> password = askPassword ? askPassword() : std::nullopt;
            answered = password && terminal->typeSecret(*password + "\n");
            if (!answered) stopAtPrompt();
          }
          if (recent.size() > kPasswordPrompt.size())
            recent.erase(0, recent.size() - kPasswordPrompt.size());
        }
        if (index == 0 && onOutput) onOutput(bytes);
      } catch (...) {
        failure = std::current_exception();
        if (asked && !answered) stopAtPrompt();
        child.terminate();
      }
    });
    said.status = child.wait();
    if (watcher.isLate()) throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::time);
  }
  if (failure) std::rethrow_exception(failure);
  if (task && task->isCancelled()) throw ArchiveError::cancelled();
  if (asked && !answered) throw ArchiveError::passwordRequired();
  if (said.status != 0) {
    if (answered) said.stdout = withoutPrompt(said.stdout);
    throw Archiver(ArchiverTool{.kind = ArchiverTool::Kind::sevenZip, .path = mPath})
        .classify(said);
  }
}

std::vector<ArchiveExtractor::ListedEntry> SevenZip::list(
    const std::filesystem::path& archive, const AskPassword& askPassword,
    const std::shared_ptr<TaskHandle>& task) const {
  std::vector<ArchiveExtractor::ListedEntry> entries;
  BlockReader blocks(entries);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(ArchiveExtractor::kCheckTimeLimit));
  run({"l", "-slt", "-spd", "--", archive.string()}, askPassword, task, deadline,
      [&](std::string_view bytes) { blocks.take(bytes); });
  blocks.finish();
  return entries;
}

void SevenZip::extract(const std::filesystem::path& archive, const std::filesystem::path& output,
                       const AskPassword& askPassword, const std::shared_ptr<TaskHandle>& task,
                       const ProcessRunner::Progress& progress) const {
  std::optional<int> last;
  run({"x", "-y", "-spd", "-bsp1", "-o" + output.string(), "--", archive.string()}, askPassword,
      task, std::nullopt, [&](std::string_view bytes) {
        const std::optional<int> percent = ProcessRunner::lastPercent(bytes);
        if (!progress || !percent || percent == last) return;
        last = percent;
        progress(*percent / 100.0);
      });
}

}  // namespace vexel
