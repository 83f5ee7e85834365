#include "handoff/extraction_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace vexel {
namespace {

std::string refusal(std::string_view what) {
  return "为了安全，没有解压：" + std::string(what) + "。";
}

bool isSeparator(char c) noexcept { return c == '/' || c == '\\'; }

// The components of `path`, "" and "." left out.
std::vector<std::string_view> componentsOf(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

bool hasParentComponent(std::string_view path) {
  for (const std::string_view part : componentsOf(path)) {
    if (part == "..") return true;
  }
  return false;
}

std::string joined(const std::vector<std::string_view>& parts, size_t count) {
  std::string out;
  for (size_t k = 0; k < count; ++k) {
    if (k > 0) out += '/';
    out.append(parts[k]);
  }
  return out;
}

// Whether a link at `linkPath` (components inside the destination) whose
// target is `target` stays inside the destination, resolved by the names
// alone: a link inside the archive is checked before anything exists.
bool staysInside(const std::vector<std::string_view>& linkPath, std::string_view target) {
  if (target.empty() || isSeparator(target.front())) return false;
  size_t depth = linkPath.empty() ? 0 : linkPath.size() - 1;  // the folder holding the link
  for (const std::string_view part : componentsOf(target)) {
    if (part == "..") {
      if (depth == 0) return false;
      --depth;
    } else {
      ++depth;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> unsafeEntry(const std::vector<ListedEntry>& entries) {
  std::set<std::string> links;
  for (const ListedEntry& entry : entries) {
    if (!entry.path.empty() && isSeparator(entry.path.front())) {
      return refusal("条目“" + entry.path + "”是绝对路径");
    }
    if (hasParentComponent(entry.path)) return refusal("条目“" + entry.path + "”指向解压位置之外");
    const std::vector<std::string_view> parts = componentsOf(entry.path);
    if (entry.isSymlink) {
      if (!entry.linkTarget.empty() && !staysInside(parts, entry.linkTarget)) {
        return refusal("链接“" + entry.path + "”指向解压位置之外（" + entry.linkTarget + "）");
      }
      links.insert(joined(parts, parts.size()));
    }
    if (!entry.hardLinkTarget.empty() &&
        (isSeparator(entry.hardLinkTarget.front()) || hasParentComponent(entry.hardLinkTarget))) {
      return refusal("链接“" + entry.path + "”指向解压位置之外（" + entry.hardLinkTarget + "）");
    }
  }
  if (links.empty()) return std::nullopt;
  for (const ListedEntry& entry : entries) {
    const std::vector<std::string_view> parts = componentsOf(entry.path);
    for (size_t count = 1; count < parts.size(); ++count) {
      const std::string above = joined(parts, count);
      if (links.contains(above))
        return refusal("条目“" + entry.path + "”位于链接“" + above + "”之下");
    }
  }
  return std::nullopt;
}

std::optional<std::string> unsafeExtractedTree(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::error_code error;
  // Files with more than one link, by (device, inode): links counted here.
  std::map<std::pair<dev_t, ino_t>, std::pair<nlink_t, nlink_t>> linked;
  std::map<std::pair<dev_t, ino_t>, fs::path> firstSeen;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
       !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    const fs::path relative = path.lexically_relative(root);
    if (S_ISLNK(info.st_mode)) {
      const fs::path target = fs::read_symlink(path, error);
      if (error) return refusal("无法读取链接“" + relative.string() + "”");
      const std::string relativeText = relative.string();
      if (!staysInside(componentsOf(relativeText), target.string())) {
        return refusal("链接“" + relative.string() + "”指向解压位置之外（" + target.string() +
                       "）");
      }
    } else if (S_ISREG(info.st_mode) && info.st_nlink > 1) {
      auto& [seen, total] = linked[{info.st_dev, info.st_ino}];
      ++seen;
      total = info.st_nlink;
      firstSeen.try_emplace({info.st_dev, info.st_ino}, relative);
    }
  }
  if (error) return refusal("无法检查解压出的文件：" + error.message());
  for (const auto& [file, counts] : linked) {
    if (counts.first < counts.second) {
      return refusal("“" + firstSeen[file].string() + "”和解压位置之外的文件是同一个文件");
    }
  }
  return std::nullopt;
}

}  // namespace vexel
