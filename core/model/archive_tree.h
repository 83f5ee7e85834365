// archive_tree.h: the tree of an archive's entries and its summary totals.
//
// `ArchiveTree` turns a flat list of `RawEntry` (raw_entry.h) into folders and
// files under one unnamed root: missing folders are created, folder entries
// merge into folders already made, duplicate paths and the "__MACOSX" side
// folder are dropped. Its constructor ends with the summary pass that fills
// folder sizes, dates and file counts. Listers live in core/readers/.
//
//   auto tree = std::make_shared<const vexel::ArchiveTree>(properties, std::move(entries));
//   for (const vexel::ArchiveNode* node : tree->root().descendants()) print(node->path());
//
// A tree never changes after construction and is then safe to read from any
// thread. Depth that an archive controls never becomes call-stack depth here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/archive_properties.h"
#include "model/raw_entry.h"

namespace vexel {

class ArchiveTree;

// ArchiveNode: one file or folder of an archive, or the root. Nodes have
// identity only; caches key them by address. Only `ArchiveTree` changes them.
class ArchiveNode {
 public:
  // ArchiveNode: a node with the given name, path and kind and every other
  // field at its initial value (sizes 0, no date, no children, no parent).
  ArchiveNode(std::string_view name, std::string path, bool isDir);
  ~ArchiveNode();

  ArchiveNode(const ArchiveNode&) = delete;
  ArchiveNode& operator=(const ArchiveNode&) = delete;

  // name: the last path component; "" for the root.
  [[nodiscard]] std::string_view name() const noexcept;
  // path: the full path inside the archive; "" for the root.
  [[nodiscard]] std::string_view path() const noexcept { return mPath; }
  [[nodiscard]] bool isDir() const noexcept { return mIsDir; }
  // size: a file's uncompressed size; a folder's total over its files.
  [[nodiscard]] std::int64_t size() const noexcept { return mSize; }
  // packed: a file's compressed size (its size when unknown); a folder's total.
  [[nodiscard]] std::int64_t packed() const noexcept { return mPacked; }
  // modified: a file's date; a folder's own date or the latest its children report.
  [[nodiscard]] std::optional<std::chrono::sys_seconds> modified() const noexcept;
  [[nodiscard]] std::string_view crc() const noexcept;
  [[nodiscard]] bool encrypted() const noexcept { return mEncrypted; }
  [[nodiscard]] std::string_view method() const noexcept;
  // fileCount: for a folder, the number of files in its subtree; 0 for files.
  [[nodiscard]] std::int64_t fileCount() const noexcept { return mFileCount; }
  // parent: the folder holding this node; non-owning, null only at the root.
  [[nodiscard]] const ArchiveNode* parent() const noexcept { return mParent; }
  // children: contents in order of creation, owned by this node.
  [[nodiscard]] const std::vector<std::unique_ptr<ArchiveNode>>& children() const noexcept {
    return mChildren;
  }

  // ext: the lower-cased text after the last "." of the name; "" when there is
  // none. A name whose only dot is its first character (".profile") has none.
  [[nodiscard]] std::string ext() const;
  // isArchive: a file whose `ext` is one of the archive extensions.
  [[nodiscard]] bool isArchive() const;
  [[nodiscard]] bool isRoot() const noexcept { return mParent == nullptr; }
  // descendants: every node below this one, depth-first pre-order, children
  // in order; file nodes are not descended into.
  [[nodiscard]] std::vector<const ArchiveNode*> descendants() const;

 private:
  friend class ArchiveTree;

  // A folder the build creates for a deeper entry: its path is a prefix of
  // that entry's path, which a node of the same tree owns and keeps alive.
  ArchiveNode(std::string_view borrowedPath, size_t nameOffset, bool isDir);
  // A node made from an entry: it owns its path; the name is the slice at
  // [nameOffset, nameOffset + nameLength).
  ArchiveNode(std::string ownedPath, size_t nameOffset, size_t nameLength, bool isDir);
  void setName(std::string_view name, size_t offset);

  // Rarely used texts kept out of line: the in-process lister never sets crc
  // or method, and a name is normally a slice of the path.
  struct Details {
    std::string name;
    std::string crc;
    std::string method;
    bool hasOwnName = false;
  };
  Details& details();

  // Only nodes made from an entry own their path text; folders created on the
  // way borrow a prefix of it, so a deep path is stored once, not per level.
  std::string mOwnedPath;
  std::string_view mPath;
  ArchiveNode* mParent = nullptr;  // non-owning; null only at the root
  std::vector<std::unique_ptr<ArchiveNode>> mChildren;
  std::int64_t mSize = 0;
  std::int64_t mPacked = 0;
  std::int64_t mFileCount = 0;
  std::int64_t mModifiedSeconds = 0;
  std::unique_ptr<Details> mDetails;
  std::uint32_t mNameOffset = 0;
  std::uint32_t mNameLength = 0;
  bool mIsDir;
  bool mEncrypted = false;
  bool mHasModified = false;
};

// TreeLimits: bounds on building one tree; by default there are none. A
// build that reaches one stops there: the tree holds the entries placed
// until then (in their order) with their summary, and is not complete.
struct TreeLimits {
  // maxNodes: nodes below the root, folders made for deeper entries included.
  std::int64_t maxNodes = std::numeric_limits<std::int64_t>::max();
  // shouldStop: asked now and then during the build (every few thousand
  // entries or path components); true ends it. Must not throw.
  std::function<bool()> shouldStop;
};

// ArchiveTree: the entries of one listing as a tree, built once and then
// only read. Not copyable or movable: nodes point back into it.
class ArchiveTree {
 public:
  // ArchiveTree: builds the tree from the entries (consumed) and runs the
  // summary pass. Never fails; malformed or duplicate entries are dropped or
  // merged by fixed rules.
  ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries);
  // ArchiveTree: the same within `limits`. Depth and width that an archive
  // controls can make far more folders than entries; the limits bound them.
  ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries,
              const TreeLimits& limits);
  ~ArchiveTree();

  ArchiveTree(const ArchiveTree&) = delete;
  ArchiveTree& operator=(const ArchiveTree&) = delete;
  ArchiveTree(ArchiveTree&&) = delete;
  ArchiveTree& operator=(ArchiveTree&&) = delete;

  // root: the unnamed root folder, owned by the tree.
  [[nodiscard]] const ArchiveNode& root() const noexcept { return *mRoot; }
  // properties: exactly as passed in.
  [[nodiscard]] const ArchiveProperties& properties() const noexcept { return mProperties; }
  // fileCount / dirCount: file nodes, and folder nodes other than the root.
  [[nodiscard]] std::int64_t fileCount() const noexcept { return mFileCount; }
  [[nodiscard]] std::int64_t dirCount() const noexcept { return mDirCount; }
  // hasEncryptedFiles: some file entry placed in the tree is encrypted.
  [[nodiscard]] bool hasEncryptedFiles() const noexcept { return mHasEncryptedFiles; }
  // isComplete: every entry was placed; false when the limits ended the build.
  [[nodiscard]] bool isComplete() const noexcept { return mIsComplete; }
  // nodeCount: nodes below the root (files and folders).
  [[nodiscard]] std::int64_t nodeCount() const noexcept { return mFileCount + mDirCount; }
  // hasMacMetadata: some entry was "__MACOSX" or under "__MACOSX/" (left out).
  [[nodiscard]] bool hasMacMetadata() const noexcept { return mHasMacMetadata; }
  // totalSize / totalPacked: the root's totals over all files (saturating).
  [[nodiscard]] std::int64_t totalSize() const noexcept { return mRoot->mSize; }
  [[nodiscard]] std::int64_t totalPacked() const noexcept { return mRoot->mPacked; }

  // node: the node at a "/"-separated path, walking children by exact name;
  // empty pieces are skipped, so "" and "/" give the root. Null when absent.
  [[nodiscard]] const ArchiveNode* node(std::string_view path) const;

 private:
  class Builder;
  void summarize();

  std::unique_ptr<ArchiveNode> mRoot;
  ArchiveProperties mProperties;
  std::int64_t mFileCount = 0;
  std::int64_t mDirCount = 0;
  bool mHasEncryptedFiles = false;
  bool mHasMacMetadata = false;
  bool mIsComplete = true;
};

}  // namespace vexel
