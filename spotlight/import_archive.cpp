#include "spotlight/import_archive.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
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

// forEachBelow: calls `visit` for every node below `root`, depth-first in
// pre-order, until it returns false; with an explicit stack, not a list of
// every node.
template <typename Visit>
void forEachBelow(const ArchiveNode& root, Visit visit) {
  std::vector<std::pair<const ArchiveNode*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto& [folder, next] = stack.back();
    const ArchiveNode::Children children = folder->children();
    if (next == children.size()) {
      stack.pop_back();
      continue;
    }
    const ArchiveNode* node = children[next++];
    if (!visit(*node)) return;
    if (node->isDir()) stack.emplace_back(node, 0);
  }
}

struct FreeBytes {
  void operator()(char* bytes) const noexcept { std::free(bytes); }
};
using MallocText = std::unique_ptr<char, FreeBytes>;

// textContent: the paths of the nodes below `root`, depth-first, joined by
// line feeds, as far as whole lines fit in `cap` bytes; NUL-terminated, in
// memory from malloc, so that the string made of it can take it over.
// Null when no line fits.
MallocText textContent(const ArchiveNode& root, std::size_t cap, std::size_t& size) {
  size = 0;
  std::size_t lines = 0;
  forEachBelow(root, [&](const ArchiveNode& node) {
    const std::size_t line = node.path().size() + (lines > 0 ? 1 : 0);
    if (line > cap - size) return false;
    size += line;
    ++lines;
    return true;
  });
  if (lines == 0) return nullptr;
  MallocText text(static_cast<char*>(std::malloc(size + 1)));
  if (!text) throw std::bad_alloc();
  char* out = text.get();
  std::size_t written = 0;
  forEachBelow(root, [&](const ArchiveNode& node) {
    if (written == lines) return false;
    if (written++ > 0) *out++ = '\n';
    const std::string_view path = node.path();
    std::memcpy(out, path.data(), path.size());
    out += path.size();
    return true;
  });
  *out = '\0';
  return text;
}

}  // namespace

Boolean importArchive(CFMutableDictionaryRef attributes, CFStringRef /*contentTypeUTI*/,
                      CFStringRef pathToFile) noexcept {
  if (attributes == nullptr || pathToFile == nullptr) return false;
  try {
    const std::optional<std::string> path = fileSystemPathOf(pathToFile);
    if (!path) return false;
    MallocText text;
    std::size_t size = 0;
    {
      // The listing and its tree go before the string is made.
      const ExtensionArchive::Listing listing =
          ExtensionArchive::list(std::filesystem::path(*path), kImportTimeLimit);
      text = textContent(listing.tree->root(), kMaxTextContentBytes, size);
      if (!text) return false;
    }
    // The text is made once at its final size and the string takes it over.
    spotlight_internal::CFRef<CFStringRef> value(CFStringCreateWithCStringNoCopy(
        kCFAllocatorDefault, text.get(), kCFStringEncodingUTF8, kCFAllocatorMalloc));
    if (value) {
      (void)text.release();
    } else {
      // Names reach the tree as UTF-8; should one not, index the readable rest.
      const std::string readable = text::decodeUtf8Lenient(std::string_view(text.get(), size));
      text.reset();
      value.reset(
          CFStringCreateWithCString(kCFAllocatorDefault, readable.c_str(), kCFStringEncodingUTF8));
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
