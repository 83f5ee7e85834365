// archive_tree.h: the tree of an archive's entries and its summary totals.
//
// `ArchiveTree` turns a flat list of `RawEntry` (raw_entry.h) into folders and
// files under one unnamed root: missing folders are created, folder entries
// merge into folders already made, a file that other entries lie beneath (a
// link "path" beside "path/file.txt") becomes a folder keeping its date, and
// duplicate paths and the "__MACOSX" side folder are dropped. Its constructor ends with the summary
// pass that fills folder sizes, dates and file counts. `ArchiveTreeBuilder` makes the same tree
// from entries handed over one at a time. Listers live in core/readers/.
//
//   auto tree = std::make_shared<const vexel::ArchiveTree>(properties, std::move(entries));
//   for (const vexel::ArchiveNode* node : tree->root().descendants()) print(node->path());
//
// A tree never changes after construction and is then safe to read from any
// thread. Depth that an archive controls never becomes call-stack depth here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/archive_properties.h"
#include "model/raw_entry.h"

namespace vexel {

class ArchiveTree;
class ArchiveTreeBuilder;
namespace model_internal {
class TreeGrowth;
}

// ArchiveNode: one file or folder of an archive, or the root. Nodes have
// identity only; caches key them by address. Only `ArchiveTree` makes and
// changes them: they live in blocks the tree owns, with their text in one
// arena, so a node costs a few dozen bytes besides its path.
class ArchiveNode {
 public:
  // Children: a folder's contents, in order of creation; one block per folder.
  using Children = std::span<const ArchiveNode* const>;

  ArchiveNode(const ArchiveNode&) = delete;
  ArchiveNode& operator=(const ArchiveNode&) = delete;

  // name: the last path component; "" for the root.
  [[nodiscard]] std::string_view name() const noexcept;
  // path: the full path inside the archive; "" for the root.
  [[nodiscard]] std::string_view path() const noexcept { return {mText, mPathLength}; }
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
  // children: contents in order of creation, owned by the tree.
  [[nodiscard]] Children children() const noexcept { return {mChildBlock, mChildCount}; }

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
  friend class ArchiveTreeBuilder;
  friend class model_internal::TreeGrowth;

  // Rarely set texts, kept out of line: the in-process lister never sets crc
  // or method, and a name is normally a slice of the path.
  struct Details {
    std::string name;
    std::string crc;
    std::string method;
    bool hasOwnName = false;
  };

  ArchiveNode() noexcept
      : mLastChild(nullptr),
        mNextSibling(nullptr),
        mIsDir(false),
        mEncrypted(false),
        mHasModified(false),
        mIsListed(false) {}

  // The path text lives in the tree's arena; folders made for a deeper entry
  // borrow a prefix of that entry's text, so a deep path is stored once.
  const char* mText = "";
  ArchiveNode* mParent = nullptr;  // non-owning; null only at the root
  // While the tree grows, a folder's children form a ring through
  // `mNextSibling` and the folder points at the newest; once built, each
  // folder points at one block of them and the links make way for counts.
  // The ring's links share their words with the block and the count, so
  // growing costs a node no bytes; only the growth (internal/tree_growth.h)
  // uses the links.
  union {
    ArchiveNode* mLastChild;
    const ArchiveNode** mChildBlock;
  };
  union {
    ArchiveNode* mNextSibling;
    std::int64_t mFileCount;
  };
  std::int64_t mSize = 0;
  std::int64_t mPacked = 0;
  std::int64_t mModifiedSeconds = 0;  // meaningful with mHasModified
  Details* mDetails = nullptr;        // owned by the tree; null for most nodes
  std::uint32_t mPathLength = 0;
  std::uint32_t mNameOffset = 0;
  std::uint32_t mChildCount = 0;
  std::uint32_t mNameLength : 28 = 0;
  bool mIsDir : 1;
  bool mEncrypted : 1;
  bool mHasModified : 1;
  bool mIsListed : 1;  // made or dated by an entry of its own, not only implied
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
  [[nodiscard]] const ArchiveNode& root() const noexcept { return mRoot; }
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
  [[nodiscard]] std::int64_t totalSize() const noexcept { return mRoot.mSize; }
  [[nodiscard]] std::int64_t totalPacked() const noexcept { return mRoot.mPacked; }

  // node: the node at a "/"-separated path, walking children by exact name;
  // empty pieces are skipped, so "" and "/" give the root. Null when absent.
  [[nodiscard]] const ArchiveNode* node(std::string_view path) const;

 private:
  friend class ArchiveTreeBuilder;
  friend class model_internal::TreeGrowth;

  ArchiveTree();
  void summarize();

  // Storage: nodes in fixed blocks (addresses never move), path text in
  // chunks of one arena, children in one array cut into a block per folder.
  ArchiveNode* newNode();
  ArchiveNode& nodeAt(std::uint32_t index) noexcept {
    return *std::launder(reinterpret_cast<ArchiveNode*>(
        mNodeBlocks[index >> kNodeBlockShift][index & (kNodeBlockSize - 1)].bytes));
  }
  const char* storeText(std::string_view text);
  void releaseText(const char* text, std::size_t size) noexcept;
  ArchiveNode::Details& details(ArchiveNode& node);

  static constexpr std::uint32_t kNodeBlockShift = 12;
  static constexpr std::uint32_t kNodeBlockSize = 1u << kNodeBlockShift;
  // Room for one node, made when handed out: a small archive's tree then
  // touches a page of its first block, not all of it (a few hundred KiB).
  struct NodeSlot {
    alignas(ArchiveNode) std::byte bytes[sizeof(ArchiveNode)];
  };

  ArchiveNode mRoot;
  std::vector<std::unique_ptr<NodeSlot[]>> mNodeBlocks;  // nodes need no destructor
  std::uint32_t mNodeSlots = 0;                          // nodes made below the root, in the blocks
  std::vector<std::unique_ptr<char[]>> mTextChunks;
  char* mTextNext = nullptr;
  std::size_t mTextLeft = 0;
  std::unique_ptr<const ArchiveNode*[]> mChildBlocks;
  std::deque<ArchiveNode::Details> mDetails;
  ArchiveProperties mProperties;
  std::int64_t mFileCount = 0;
  std::int64_t mDirCount = 0;
  bool mHasEncryptedFiles = false;
  bool mHasMacMetadata = false;
  bool mIsComplete = true;
};

// ArchiveTreeBuilder: grows a tree one entry at a time, so that a lister
// never holds all its entries beside the tree. Adding the entries of a list
// in order gives exactly the tree the constructor makes from that list.
// Use from one thread.
//
//   ArchiveTreeBuilder builder(limits);
//   while (auto entry = next()) if (!builder.add(std::move(*entry))) break;
//   std::shared_ptr<ArchiveTree> tree = builder.finish(properties);
class ArchiveTreeBuilder {
 public:
  explicit ArchiveTreeBuilder(TreeLimits limits = {});
  ~ArchiveTreeBuilder();

  ArchiveTreeBuilder(const ArchiveTreeBuilder&) = delete;
  ArchiveTreeBuilder& operator=(const ArchiveTreeBuilder&) = delete;

  // add: places one entry. False once the limits have ended the build: the
  // entry is not placed, nor is any later one, and the tree is not complete.
  [[nodiscard]] bool add(RawEntry&& entry);
  // hasEntry: an entry placed so far, or merged into a node, reads `path`.
  [[nodiscard]] bool hasEntry(std::string_view path) const;
  // expect: a hint that an entry at `path` comes a few entries from now;
  // placing it then waits less for memory when its folder has so many
  // children (tens of thousands) that their table outgrows the caches.
  // Any path may be given, also after a stop.
  void expect(std::string_view path) const;
  // finish: runs the summary pass and hands the tree over with
  // `properties`. Call once; the builder is spent afterwards.
  [[nodiscard]] std::shared_ptr<ArchiveTree> finish(ArchiveProperties properties);

 private:
  TreeLimits mLimits;
  std::unique_ptr<ArchiveTree> mTree;
  std::unique_ptr<model_internal::TreeGrowth> mGrowth;
};

}  // namespace vexel
