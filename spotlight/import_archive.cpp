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

std::optional<std::string> utf8Of(CFStringRef string) {
  if (const char* bytes = CFStringGetCStringPtr(string, kCFStringEncodingUTF8)) return bytes;
  const CFIndex size =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  if (size <= 0) return std::nullopt;
  std::string buffer(static_cast<std::size_t>(size), '\0');
  if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
  buffer.resize(buffer.find('\0'));
  return buffer;
}

// The paths of every node below the root, depth-first, joined by line feeds.
std::string joinedPaths(const std::vector<const ArchiveNode*>& nodes) {
  std::size_t size = nodes.size() - 1;
  for (const ArchiveNode* node : nodes) size += node->path().size();
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
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
    const std::optional<std::string> path = utf8Of(pathToFile);
    if (!path) return false;
    std::string text;
    {
      // The listing and its tree go before the string is made, so the text
      // is never held three times over.
      const ExtensionArchive::Listing listing =
          ExtensionArchive::list(std::filesystem::path(*path), kImportTimeLimit);
      const std::vector<const ArchiveNode*> nodes = listing.tree->root().descendants();
      if (nodes.empty()) return false;
      text = joinedPaths(nodes);
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
