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

#include "corefoundation/md_importer.h"
#include "internal/cf_ref.h"
#include "model/archive_tree.h"
#include "text/utf8.h"

namespace vexel {

namespace {

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

struct FreeBytes {
  void operator()(char* bytes) const noexcept { std::free(bytes); }
};
using MallocText = std::unique_ptr<char, FreeBytes>;

// textContent: archiveText(root, cap) in memory from malloc,
// NUL-terminated, so that the string made of it can take it over. Null when
// no line fits.
MallocText textContent(const ArchiveNode& root, std::size_t cap, std::size_t& size) {
  size = forEachTextLine(root, cap, [](std::string_view) {});
  if (size == 0) return nullptr;
  MallocText text(static_cast<char*>(std::malloc(size + 1)));
  if (!text) throw std::bad_alloc();
  // The tree does not change, so this pass visits the lines the first one counted.
  char* out = text.get();
  bool isFirst = true;
  forEachTextLine(root, cap, [&](std::string_view path) {
    if (!isFirst) *out++ = '\n';
    isFirst = false;
    std::memcpy(out, path.data(), path.size());
    out += path.size();
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
      const ExtensionArchive::Listing listing = listForIndexing(std::filesystem::path(*path));
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
