// tree_growth.h: placing entries in an `ArchiveTree` one at a time.
//
// `TreeGrowth` is the machinery behind both the tree's constructor and
// `ArchiveTreeBuilder` (archive_tree.h): it finds each entry's folder,
// makes the folders missing on the way, merges entries met before, and
// bounds the build by `TreeLimits`. Nodes are found by (parent node, name)
// rather than by the whole path: placing an entry then hashes only short
// names, however deep the entry lies, and a path maps to exactly the node
// its text leads to. A folder with more than a few children finds them
// through an open-addressing table of its own, which stays in the caches
// while that folder's entries arrive (they mostly come one folder after
// another); smaller folders walk their children. The summary pass and the
// reading side stay in archive_tree.cpp; path text is split by
// path_components.h.
//
//   TreeGrowth growth(tree, limits);
//   for (RawEntry& entry : entries) if (!growth.add(std::move(entry))) break;
//   growth.finish();  // then the tree's summary pass
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/archive_tree.h"

namespace vexel::model_internal {

// TreeGrowth: grows one tree; use from one thread. The tree and the limits
// must outlive it.
class TreeGrowth {
 public:
  TreeGrowth(ArchiveTree& tree, const TreeLimits& limits) : mTree(tree), mLimits(limits) {}

  TreeGrowth(const TreeGrowth&) = delete;
  TreeGrowth& operator=(const TreeGrowth&) = delete;

  // add: places one entry; false once the limits have ended the build (the
  // entry is then not placed, nor is any later one).
  [[nodiscard]] bool add(RawEntry&& entry);
  // prefetch: starts loading the table slot that an entry at `path` will
  // probe, when its folder is the one of the entry before (the usual case)
  // and that folder's table outgrows the caches. A hint: the slot is probed
  // again when the entry is added.
  void prefetch(std::string_view path) const;
  // hasEntry: some entry placed so far, or merged into a node, reads `path`.
  [[nodiscard]] bool hasEntry(std::string_view path) const;
  // finish: turns each folder's ring of children into its block, once no
  // entry is to come. The rings' links give way to the file counts.
  void finish();

 private:
  // A folder's table: open addressing over (hash, node number) slots, the
  // key being the node's own (parent, name), so a slot stores no text and
  // takes 8 bytes. Number 0 marks an empty slot. At most half full.
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t number = 0;  // the node's number plus one
  };
  struct Table {
    std::vector<Slot> slots;
    std::size_t used = 0;
  };

  // Probe: the child of a folder with a name, or where it would go. One
  // probe serves both the lookup and the insertion that follows: `slot` is
  // the empty slot of the folder's table (null for a folder without one).
  struct Probe {
    ArchiveNode* found = nullptr;
    Table* table = nullptr;
    Slot* slot = nullptr;
    std::uint32_t hash = 0;
  };

  // BlockStart: where a block of the tree's nodes lies, to number a node
  // from its address.
  struct BlockStart {
    std::uintptr_t address;
    std::uint32_t number;
  };

  bool spend(std::size_t work);
  bool makeRoom();

  static std::uint32_t hashOf(const ArchiveNode* parent, std::string_view name);
  [[nodiscard]] const Table* tableOf(const ArchiveNode* folder) const;
  [[nodiscard]] Table* tableOf(const ArchiveNode* folder);
  template <typename TableType>
  auto locate(TableType& table, std::string_view name, std::uint32_t hash) const
      -> decltype(&table.slots[0]);
  static ArchiveNode* walk(const ArchiveNode* folder, std::string_view name);
  Probe probe(ArchiveNode* parent, std::string_view name);
  [[nodiscard]] const ArchiveNode* find(const ArchiveNode* parent, std::string_view name) const;
  static void place(Table& table, Slot slot);
  static void grow(Table& table);
  void indexChildren(const ArchiveNode& folder);
  [[nodiscard]] std::uint32_t numberOf(const ArchiveNode& node) const;

  ArchiveNode& newNode();
  ArchiveNode& makeNode(ArchiveNode& parent, std::string_view text, std::size_t nameOffset,
                        std::size_t nameLength, bool isDir, const Probe& where);
  void takeBack(ArchiveNode& parent, const ArchiveNode& first);
  ArchiveNode* ensureDir(std::string_view path, ArchiveNode*& firstMade);
  static void becomeFolder(ArchiveNode& node);
  static void applyFolderEntry(ArchiveNode& node, const RawEntry& entry);
  static void setDate(ArchiveNode& node, std::optional<std::chrono::sys_seconds> date);

  static constexpr std::size_t kCheckEvery = 4096;
  static constexpr std::size_t kMaxSliceName = std::size_t{1} << 28;
  // Folders with more children than this get a table.
  static constexpr std::uint32_t kWalkedChildren = 8;
  // Tables of this many slots (512 KiB) and more outgrow the caches.
  static constexpr std::size_t kPrefetchFrom = std::size_t{1} << 16;

  ArchiveTree& mTree;
  const TreeLimits& mLimits;
  std::size_t mWork = 0;
  std::size_t mNextCheck = 0;
  bool mIsStopped = false;
  std::unordered_map<const ArchiveNode*, Table> mTables;
  // The folder whose table was looked up last, and that table.
  const ArchiveNode* mTableOwner = nullptr;
  Table* mTable = nullptr;
  std::vector<BlockStart> mBlockStarts;  // node blocks by address
  // The parent of consecutive entries is usually the same folder.
  std::string_view mLastDirPath;
  ArchiveNode* mLastDir = nullptr;
};

}  // namespace vexel::model_internal
