#include "spotlight/archive_text.h"

#include "readers/archive_error.h"

#include <string>
#include <utility>
#include <vector>

namespace vexel {

ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file) {
  return listForIndexing(file, kIndexTimeLimit);
}

namespace {

ExtensionArchive::Listing somethingListed(ExtensionArchive::Listing listing) {
  // Stored as an empty text, a listing the bounds ended before its first
  // entry would hide the archive from search until the file changes.
  if (listing.cutoff == ExtensionArchive::Cutoff::limits &&
      listing.tree->root().children().empty()) {
    throw ArchiveError::failed(std::string(kNothingListedInTime));
  }
  return listing;
}

}  // namespace

ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file, double timeLimit) {
  return somethingListed(ExtensionArchive::list(file, timeLimit));
}

ExtensionArchive::Listing listForIndexing(const std::filesystem::path& file, int fd,
                                          double timeLimit) {
  return somethingListed(ExtensionArchive::list(file, fd, timeLimit));
}

std::size_t forEachTextLine(const ArchiveNode& root, std::size_t maxBytes,
                            const std::function<void(std::string_view path)>& line) {
  std::size_t size = 0;
  bool isFirst = true;
  // Folders being walked, each with the index of its next child.
  std::vector<std::pair<const ArchiveNode*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto& [folder, next] = stack.back();
    const ArchiveNode::Children children = folder->children();
    if (next == children.size()) {
      stack.pop_back();
      continue;
    }
    const ArchiveNode* node = children[next++];
    const std::string_view path = node->path();
    const std::size_t bytes = path.size() + (isFirst ? 0 : 1);
    if (bytes > maxBytes - size) break;
    size += bytes;
    isFirst = false;
    line(path);
    if (node->isDir()) stack.emplace_back(node, 0);
  }
  return size;
}

std::string archiveText(const ArchiveNode& root, std::size_t maxBytes) {
  std::string text;
  text.reserve(forEachTextLine(root, maxBytes, [](std::string_view) {}));
  bool isFirst = true;
  forEachTextLine(root, maxBytes, [&](std::string_view path) {
    if (!isFirst) text += '\n';
    isFirst = false;
    text += path;
  });
  return text;
}

}  // namespace vexel
