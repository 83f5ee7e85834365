#include "handoff/archiver.h"

#include <cstdint>
#include <string_view>

#include "handoff/desktop.h"
#include "readers/listing_parser.h"

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

std::vector<ArchiverTool> findArchivers() {
  std::vector<ArchiverTool> tools;
  for (const char* name : {"7zz", "7z"}) {
    if (auto path = findOnPath(name)) {
      tools.push_back({ArchiverTool::Kind::sevenZip, std::move(*path)});
      break;
    }
  }
  if (auto path = findOnPath("bsdtar"))
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
  return ArchiveError::from(result, name());
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
                        const ProcessRunner::Progress& progress) const {
  if (mTool.kind == ArchiverTool::Kind::sevenZip) {
    std::vector<std::string> arguments{"a", "-t" + format, "-bsp1"};
    if (level) arguments.push_back("-mx=" + std::to_string(*level));
    if (!exclude.empty()) arguments.push_back("-xr!" + exclude);
    arguments.insert(arguments.end(), {"--", target.string()});
    // Absolute paths: each item is stored under its own name.
    for (const auto& item : items) arguments.push_back(item.string());
    (void)run(arguments, task, progress);
    return;
  }
  const std::string writer = format == "7z" ? "7zip" : "zip";
  std::vector<std::string> arguments{"-c", "-f", target.string(), "--format", writer};
  if (level) {
    arguments.insert(arguments.end(),
                     {"--options", *level == 0 && writer == "zip"
                                       ? std::string("zip:compression=store")
                                       : writer + ":compression-level=" + std::to_string(*level)});
  }
  if (!exclude.empty()) arguments.insert(arguments.end(), {"--exclude", exclude});
  for (const auto& item : items) {
    const std::string name = item.filename().string();
    // A name that starts with "-" would be read as an option.
    arguments.insert(arguments.end(), {"-C", item.parent_path().string(),
                                       name.starts_with('-') ? "./" + name : name});
  }
  (void)run(arguments, task, progress);
}

}  // namespace vexel

namespace vexel {

std::optional<SevenZip> SevenZip::find() {
  for (const char* name : {"7zz", "7z"}) {
    if (auto path = findOnPath(name)) return SevenZip(std::move(*path));
  }
  return std::nullopt;
}

std::vector<ArchiveExtractor::ListedEntry> SevenZip::list(
    const std::filesystem::path& archive, const AskPassword& askPassword,
    const std::shared_ptr<TaskHandle>& task) const {
  const Archiver runner(ArchiverTool{.kind = ArchiverTool::Kind::sevenZip, .path = mPath});
  std::vector<std::string> arguments{"l", "-slt", "-spd", "--", archive.string()};
  RunResult result = ProcessRunner::run(mPath, arguments, std::nullopt, task);
  if (result.status != 0) {
    const ArchiveError error = runner.classify(result);
    if (error.kind() != ArchiveError::Kind::passwordRequired) throw error;
    const std::optional<std::string> password = askPassword ? askPassword() : std::nullopt;
    if (!password) throw error;
    arguments.insert(arguments.begin() + 3, "-p" + *password);
    result = ProcessRunner::run(mPath, arguments, std::nullopt, task);
    if (result.status != 0) throw runner.classify(result);
  }
  std::vector<ArchiveExtractor::ListedEntry> entries;
  ListingParser::forEachEntryBlock(result.stdout,
                                   [&](std::span<const ListingParser::KeyValue> block) {
                                     ArchiveExtractor::ListedEntry entry = listedEntryOf(block);
                                     if (!entry.path.empty()) entries.push_back(std::move(entry));
                                   });
  return entries;
}

void SevenZip::extract(const std::filesystem::path& archive, const std::filesystem::path& output,
                       const AskPassword& askPassword, const std::shared_ptr<TaskHandle>& task,
                       const ProcessRunner::Progress& progress) const {
  const Archiver runner(ArchiverTool{.kind = ArchiverTool::Kind::sevenZip, .path = mPath});
  std::vector<std::string> arguments{"x", "-y", "-spd", "-bsp1", "-o" + output.string()};
  if (const std::optional<std::string> password = askPassword ? askPassword() : std::nullopt) {
    arguments.push_back("-p" + *password);
  }
  arguments.insert(arguments.end(), {"--", archive.string()});
  const RunResult result = ProcessRunner::run(mPath, arguments, std::nullopt, task, progress);
  if (result.status != 0) throw runner.classify(result);
}

}  // namespace vexel
