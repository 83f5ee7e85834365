#include "spotlight/import_archive.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corefoundation/md_importer.h"
#include "internal/cf_ref.h"
#include "model/archive_tree.h"
#include "readers/extension_archive.h"
#include "text/utf8.h"

namespace vexel {

namespace {

// The indexer calls once per file; this bounds the time spent on one.
constexpr double kImportTimeLimit = 10.0;

// fileSystemPathOf: the path the string names, as the file system spells
// it (a name need not be UTF-8).
std::optional<std::string> fileSystemPathOf(CFStringRef path) {
  const CFIndex size = CFStringGetMaximumSizeOfFileSystemRepresentation(path);
  if (size <= 0) return std::nullopt;
  std::string buffer(static_cast<std::size_t>(size), '\0');
  if (!CFStringGetFileSystemRepresentation(path, buffer.data(), size)) return std::nullopt;
  buffer.resize(buffer.find('\0'));
  return buffer;
}

// textContent: the paths of the nodes below `root`, depth-first, joined by
// line feeds, as far as whole lines fit in `cap` bytes.
std::string textContent(const ArchiveNode& root, std::size_t cap) {
  const std::vector<const ArchiveNode*> nodes = root.descendants();
  std::size_t size = 0;
  std::size_t lines = 0;
  for (const ArchiveNode* node : nodes) {
    const std::size_t line = node->path().size() + (lines > 0 ? 1 : 0);
    if (line > cap - size) break;
    size += line;
    ++lines;
  }
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < lines; ++i) {
    if (i > 0) text += '\n';
    text += nodes[i]->path();
  }
  return text;
}

}  // namespace

Boolean importArchive(CFMutableDictionaryRef attributes, CFStringRef /*contentTypeUTI*/,
                      CFStringRef pathToFile) noexcept {
  if (attributes == nullptr || pathToFile == nullptr) return false;
  try {
    const std::optional<std::string> path = fileSystemPathOf(pathToFile);
    if (!path) return false;
    std::string text;
    {
      // The listing and its tree go before the string is made, so the text
      // is never held three times over.
      const ExtensionArchive::Listing listing =
          ExtensionArchive::list(std::filesystem::path(*path), kImportTimeLimit);
      text = textContent(listing.tree->root(), kMaxTextContentBytes);
      if (text.empty()) return false;
    }
    spotlight_internal::CFRef<CFStringRef> value(
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
    if (!value) {
      // Names reach the tree as UTF-8; should one not, index the readable rest.
      value.reset(CFStringCreateWithCString(
          kCFAllocatorDefault, text::decodeUtf8Lenient(text).c_str(), kCFStringEncodingUTF8));
      if (!value) return false;
    }
    CFDictionarySetValue(attributes, kMDItemTextContent, value.get());
    return true;
  } catch (...) {
    // Whatever went wrong (an ArchiveError, no memory), the indexer only
    // needs to know that nothing was stored.
    return false;
  }
}

}  // namespace vexel

extern "C" Boolean VexelImportArchive(CFMutableDictionaryRef attributes, CFStringRef contentTypeUTI,
                                      CFStringRef pathToFile) noexcept {
  return vexel::importArchive(attributes, contentTypeUTI, pathToFile);
}
