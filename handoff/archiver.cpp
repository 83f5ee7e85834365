#include "handoff/archiver.h"

#include <string_view>

#include "internal/handoff_texts.h"
#include "process/child_process.h"
#include "readers/listing_parser.h"

namespace vexel {
namespace {

// bsdtar -t writes control characters and "\" as C escapes: \n, \\, \ooo.
std::string unescapeBsdtar(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    const auto octal = [](char d) { return d >= '0' && d <= '7'; };
    if (octal(c) && i + 2 < text.size() && octal(text[i + 1]) && octal(text[i + 2])) {
      out += static_cast<char>(((c - '0') << 6) | ((text[i + 1] - '0') << 3) | (text[i + 2] - '0'));
      i += 2;
      continue;
    }
    constexpr std::string_view kLetters = "abfnrtv";
    constexpr std::string_view kControls = "\a\b\f\n\r\t\v";
    const size_t letter = kLetters.find(c);
    out += letter == std::string_view::npos ? c : kControls[letter];
  }
  return out;
}

// The file type letter of a Unix mode string such as "lrwxrwxrwx", which
// 7-Zip lists under "Mode" (tar) or as the last word of "Attributes" (zip,
// 7z: "A -rw-r--r--", " lrwxrwxrwx").
char modeType(std::string_view mode) {
  const size_t space = mode.find_last_of(' ');
  if (space != std::string_view::npos) mode.remove_prefix(space + 1);
  return mode.size() == 10 ? mode.front() : '\0';
}

ListedEntry listedEntryOf(std::span<const ListingParser::KeyValue> block) {
  ListedEntry entry;
  bool hasPath = false;
  std::string_view attributes, mode, folder;
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
    } else if (key == "Symbolic Link" && entry.linkTarget.empty()) {
      entry.linkTarget = value;
    } else if (key == "Hard Link" && entry.hardLinkTarget.empty()) {
      entry.hardLinkTarget = value;
    }
  }
  entry.isDir = folder == "+" || attributes.starts_with('D') || modeType(mode) == 'd';
  entry.isSymlink =
      !entry.linkTarget.empty() || modeType(attributes) == 'l' || modeType(mode) == 'l';
  return entry;
}

}  // namespace

std::vector<ArchiverTool> findArchivers() {
  std::vector<ArchiverTool> tools;
  for (const char* name : {"7zz", "7z"}) {
    if (auto path = findProgram(name)) {
      tools.push_back({ArchiverTool::Kind::sevenZip, std::move(*path)});
      break;
    }
  }
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
  const ArchiveError error = ArchiveError::from(result, name());
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

ArchiveListing Archiver::listOnce(const std::filesystem::path& archive,
                                  const std::optional<std::string>& password,
                                  const std::shared_ptr<TaskHandle>& task) const {
  ArchiveListing listing;
  listing.password = password;
  if (mTool.kind == ArchiverTool::Kind::sevenZip) {
    std::vector<std::string> arguments{"l", "-slt"};
    if (password) arguments.push_back("-p" + *password);
    arguments.insert(arguments.end(), {"--", archive.string()});
    const RunResult result = run(arguments, task);
    listing.properties = ListingParser::parse(result.stdout).properties;
    ListingParser::forEachEntryBlock(result.stdout,
                                     [&](std::span<const ListingParser::KeyValue> block) {
                                       ListedEntry entry = listedEntryOf(block);
                                       if (!entry.path.empty())
                                         listing.entries.push_back(std::move(entry));
                                     });
    return listing;
  }
  std::vector<std::string> arguments{"-t", "-f", archive.string()};
  if (password) arguments.insert(arguments.begin(), {"--passphrase", *password});
  const RunResult result = run(arguments, task);
  size_t start = 0;
  while (start < result.stdout.size()) {
    size_t end = result.stdout.find('\n', start);
    if (end == std::string::npos) end = result.stdout.size();
    ListedEntry entry;
    entry.path = unescapeBsdtar(std::string_view(result.stdout).substr(start, end - start));
    entry.isDir = entry.path.ends_with('/');
    if (!entry.path.empty()) listing.entries.push_back(std::move(entry));
    start = end + 1;
  }
  return listing;
}

ArchiveListing Archiver::list(const std::filesystem::path& archive, const AskPassword& askPassword,
                              const std::shared_ptr<TaskHandle>& task) const {
  try {
    return listOnce(archive, std::nullopt, task);
  } catch (const ArchiveError& error) {
    if (error.kind() != ArchiveError::Kind::passwordRequired || !askPassword) throw;
  }
  const std::optional<std::string> password = askPassword();
  if (!password) throw ArchiveError::passwordRequired();
  ArchiveListing listing = listOnce(archive, password, task);
  // Only encrypted names keep an archive from being listed without it.
  listing.properties.headersEncrypted = true;
  return listing;
}

void Archiver::extract(const std::filesystem::path& archive,
                       const std::filesystem::path& destination,
                       const std::optional<std::string>& password,
                       const std::shared_ptr<TaskHandle>& task,
                       const ProcessRunner::Progress& progress, bool linksChecked) const {
  if (mTool.kind == ArchiverTool::Kind::sevenZip) {
    // -aou: an entry that repeats a name is renamed, never written over.
    std::vector<std::string> arguments{"x", "-aou", "-bsp1", "-o" + destination.string()};
    if (linksChecked) arguments.emplace_back("-snld");
    if (password) arguments.push_back("-p" + *password);
    arguments.insert(arguments.end(), {"--", archive.string()});
    (void)run(arguments, task, progress);
    return;
  }
  // -k: an entry that repeats a name does not replace the one before.
  std::vector<std::string> arguments{
      "-x", "-k", "-f", archive.string(), "-C", destination.string()};
  if (password) arguments.insert(arguments.begin(), {"--passphrase", *password});
  (void)run(arguments, task, progress);
}

void Archiver::compress(const std::vector<std::filesystem::path>& items,
                        const std::filesystem::path& target, const std::string& format,
                        std::optional<int> level, const std::string& exclude,
                        const std::shared_ptr<TaskHandle>& task,
                        const ProcessRunner::Progress& progress) const {
  if (mTool.kind == ArchiverTool::Kind::sevenZip) {
    // -spd: "*" and "?" in a name are that name's characters, never
    // wildcards (a file "notes*" must not bring "notes-private.txt" along);
    // -snl: links are stored as links, never as what they point to.
    std::vector<std::string> arguments{"a", "-t" + format, "-bsp1", "-spd", "-snl"};
    if (level) arguments.push_back("-mx=" + std::to_string(*level));
    if (!exclude.empty()) arguments.push_back("-xr!" + exclude);
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
