// Feeds arbitrary entry lists to the tree build and checks what must hold for
// any input: every node's path leads through its parent's components to its
// own name and back to the node, the counters match the nodes that can be
// reached, folder totals equal the sum over their files, and the builder,
// fed the same entries one at a time, grows exactly the constructor's tree,
// with and without a node budget.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/archive_tree.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The non-empty "/"-separated pieces of a path: written out here rather
// than taken from the model, so the fuzzer does not share its faults.
std::vector<std::string_view> componentsOf(std::string_view path) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) pieces.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

bool isMacMetadata(std::string_view path) {
  return path == "__MACOSX" || path.starts_with("__MACOSX/");
}

// Everything a tree shows, node by node, in pre-order.
std::string dump(const vexel::ArchiveTree& tree) {
  std::string out = std::to_string(tree.fileCount()) + " " + std::to_string(tree.dirCount()) +
                    (tree.isComplete() ? " complete" : " partial") +
                    (tree.hasMacMetadata() ? " mac" : "") +
                    (tree.hasEncryptedFiles() ? " encrypted" : "") + "\n";
  std::vector<const vexel::ArchiveNode*> nodes = tree.root().descendants();
  nodes.insert(nodes.begin(), &tree.root());
  for (const vexel::ArchiveNode* node : nodes) {
    const auto date = node->modified();
    out.append(node->path()).append("|").append(node->name());
    out += (node->isDir() ? "/|" : "|") + std::to_string(node->size()) + "|" +
           std::to_string(node->packed()) + "|" + std::to_string(node->fileCount()) + "|" +
           (date ? std::to_string(date->time_since_epoch().count()) : "-") +
           (node->encrypted() ? "|enc\n" : "\n");
  }
  return out;
}

void checkTree(const vexel::ArchiveTree& tree) {
  std::int64_t files = 0;
  std::int64_t folders = 0;
  std::int64_t fileBytes = 0;
  for (const vexel::ArchiveNode* node : tree.root().descendants()) {
    const vexel::ArchiveNode* parent = node->parent();
    check(parent != nullptr);
    // The path's components are the parent's followed by the name, so the
    // name is the path's last component; looking the path up finds the node.
    std::vector<std::string_view> expected = componentsOf(parent->path());
    expected.push_back(node->name());
    check(componentsOf(node->path()) == expected);
    check(tree.node(node->path()) == node);
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
}

// grow: the builder's tree from the same entries, checking on the way that
// it knows every entry it placed.
std::shared_ptr<vexel::ArchiveTree> grow(const std::vector<vexel::RawEntry>& entries,
                                         std::int64_t maxNodes) {
  vexel::ArchiveTreeBuilder builder({.maxNodes = maxNodes});
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size()) builder.expect(entries[i + 1].path);
    if (!builder.add(vexel::RawEntry(entries[i]))) break;
    // The root is no entry's; "__MACOSX" entries are left out, though a
    // node may read the same ("/__MACOSX").
    const std::string_view path = entries[i].path;
    if (componentsOf(path).empty()) {
      check(!builder.hasEntry(path));
    } else if (!isMacMetadata(path)) {
      check(builder.hasEntry(path));
    }
  }
  return builder.finish({});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  // Each line is one entry: a flag byte (bit 0 folder, bit 1 encrypted, bits
  // 2-7 a size, which also dates the entry unless it is a multiple of 3),
  // then the path. The first byte also picks a node budget short of the
  // whole tree for a second, bounded build.
  std::vector<vexel::RawEntry> entries;
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    if (end > start) {
      const std::uint8_t flags = data[start];
      const int value = flags >> 2;
      entries.push_back(vexel::RawEntry{
          .path = std::string(reinterpret_cast<const char*>(data + start + 1), end - start - 1),
          .isDir = (flags & 1) != 0,
          .size = value,
          .modified = value % 3 == 0 ? std::nullopt
                                     : std::optional(std::chrono::sys_seconds(
                                           std::chrono::seconds(1'700'000'000 + value))),
          .crc = "",
          .encrypted = (flags & 2) != 0,
          .method = ""});
    }
    start = end + 1;
  }
  const vexel::ArchiveTree tree({}, std::vector<vexel::RawEntry>(entries));
  checkTree(tree);
  check(tree.isComplete());
  check(dump(*grow(entries, std::numeric_limits<std::int64_t>::max())) == dump(tree));
  if (tree.nodeCount() == 0) return 0;

  const std::int64_t budget = data[0] % tree.nodeCount();
  const vexel::ArchiveTree bounded({}, std::vector<vexel::RawEntry>(entries), {.maxNodes = budget});
  checkTree(bounded);
  check(!bounded.isComplete());
  check(bounded.nodeCount() <= budget);
  // What a stop keeps is part of the whole tree.
  for (const vexel::ArchiveNode* node : bounded.root().descendants()) {
    check(tree.node(node->path()) != nullptr);
  }
  check(dump(*grow(entries, budget)) == dump(bounded));
  return 0;
}
