// Feeds arbitrary entry lists to the tree build and checks what must hold for
// any input: the counters match the nodes that can be reached, folder totals
// equal the sum over their files, and every node's name is its path's tail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/archive_tree.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  // Each line is one entry: a flag byte (bit 0 folder, bit 1 encrypted, bits
  // 2-7 a size), then the path.
  std::vector<vexel::RawEntry> entries;
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    if (end > start) {
      const std::uint8_t flags = data[start];
      entries.push_back(vexel::RawEntry{
          .path = std::string(reinterpret_cast<const char*>(data + start + 1), end - start - 1),
          .isDir = (flags & 1) != 0,
          .size = flags >> 2,
          .crc = "",
          .encrypted = (flags & 2) != 0,
          .method = ""});
    }
    start = end + 1;
  }

  const vexel::ArchiveTree tree({}, std::move(entries));
  std::int64_t files = 0;
  std::int64_t folders = 0;
  std::int64_t fileBytes = 0;
  for (const vexel::ArchiveNode* node : tree.root().descendants()) {
    check(node->parent() != nullptr);
    check(node->path().ends_with(node->name()) || node->path().find('/') != std::string::npos);
    if (node->isDir()) {
      ++folders;
    } else {
      ++files;
      fileBytes += node->size();
    }
  }
  check(files == tree.fileCount());
  check(folders == tree.dirCount());
  check(fileBytes == tree.totalSize());
  check(tree.root().fileCount() == tree.fileCount());
  return 0;
}
