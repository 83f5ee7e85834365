#include "model/archive_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "model/archive_format.h"
#include "text/unicode_case.h"

namespace vexel {
namespace {

constexpr std::string_view kMacMetadata = "__MACOSX";

// Sums saturate: sizes come from archive headers and may be crafted.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

bool isMacMetadata(std::string_view path) {
  return path == kMacMetadata ||
         (path.size() > kMacMetadata.size() && path.starts_with(kMacMetadata) &&
          path[kMacMetadata.size()] == '/');
}

// True for "" and for paths made of "/" alone: both stand for the root.
bool isRootPath(std::string_view path) {
  return path.find_first_not_of('/') == std::string_view::npos;
}

// lastSlashBefore: the offset of the last "/" in path[0, end), or npos.
// Eight bytes at a time: it runs twice for every entry of a listing, on
// paths of dozens of bytes.
size_t lastSlashBefore(std::string_view path, size_t end) {
  end = std::min(end, path.size());
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kSlashes = 0x2F2F2F2F2F2F2F2Full;
    while (end >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, path.data() + end - 8, 8);
      const std::uint64_t x = word ^ kSlashes;  // a zero byte where a "/" is
      // The high bit of each byte that is zero; no carry crosses bytes.
      const std::uint64_t zeros = ~(((x & kLow7) + kLow7) | x | kLow7);
      if (zeros != 0) return end - 8 + static_cast<size_t>(63 - std::countl_zero(zeros)) / 8;
      end -= 8;
    }
  }
  while (end > 0) {
    if (path[--end] == '/') return end;
  }
  return std::string_view::npos;
}

// Offset of the last component of a path that is not a root path: the text
// after the last "/" that is not a trailing one.
size_t lastComponentOffset(std::string_view path) {
  const size_t end = path.find_last_not_of('/');
  const size_t slash = lastSlashBefore(path, end);
  return slash == std::string_view::npos ? 0 : slash + 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// ArchiveNode

std::string_view ArchiveNode::name() const noexcept {
  if (mDetails != nullptr && mDetails->hasOwnName) return mDetails->name;
  return {mText + mNameOffset, mNameLength};
}

std::optional<std::chrono::sys_seconds> ArchiveNode::modified() const noexcept {
  if (!mHasModified) return std::nullopt;
  return std::chrono::sys_seconds(std::chrono::seconds(mModifiedSeconds));
}

std::string_view ArchiveNode::crc() const noexcept {
  return mDetails != nullptr ? std::string_view(mDetails->crc) : std::string_view();
}

std::string_view ArchiveNode::method() const noexcept {
  return mDetails != nullptr ? std::string_view(mDetails->method) : std::string_view();
}

std::string ArchiveNode::ext() const {
  const std::string_view nodeName = name();
  const size_t dot = nodeName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return text::toLower(nodeName.substr(dot + 1));
}

bool ArchiveNode::isArchive() const { return !mIsDir && archiveExtensions().contains(ext()); }

std::vector<const ArchiveNode*> ArchiveNode::descendants() const {
  std::vector<const ArchiveNode*> result;
  // Explicit stack of (folder, next child index): depth costs heap, not stack.
  std::vector<std::pair<const ArchiveNode*, size_t>> stack;
  stack.emplace_back(this, 0);
  while (!stack.empty()) {
    auto& [folder, next] = stack.back();
    if (next == folder->mChildCount) {
      stack.pop_back();
      continue;
    }
    const ArchiveNode* child = folder->mChildBlock[next++];
    result.push_back(child);
    if (child->mIsDir) stack.emplace_back(child, 0);
  }
  return result;
}

// ---------------------------------------------------------------------------
// TreeGrowth

// TreeGrowth: places entries in a tree one at a time. Nodes are found by
// (parent node, name) rather than by the whole path: placing an entry then
// hashes only short names, however deep the entry lies, and a path maps to
// exactly the node its text leads to. A folder with more than a few
// children finds them through a table of its own, which stays in the
// caches while that folder's entries arrive (they mostly come one folder
// after another); smaller folders walk their children.
class TreeGrowth {
 public:
  TreeGrowth(ArchiveTree& tree, const TreeLimits& limits) : mTree(tree), mLimits(limits) {}

  // add: places one entry; false once the limits have ended the build (the
  // entry is then not placed).
  bool add(RawEntry&& entry) {
    if (!spend(1)) return false;
    if (isMacMetadata(entry.path)) {
      mTree.mHasMacMetadata = true;
      return true;
    }
    // The root is always in the index: a folder entry for it dates the root,
    // a file entry for it is a duplicate.
    if (isRootPath(entry.path)) {
      if (entry.isDir) applyFolderEntry(mTree.mRoot, entry);
      return true;
    }
    // A path the node could not measure is not worth a node (no lister
    // hands over 4 GiB of name).
    if (entry.path.size() > std::numeric_limits<std::uint32_t>::max()) return true;
    // The entry's text goes to the arena first, so that folders created on
    // the way can borrow prefixes of it.
    const std::string_view path(mTree.storeText(entry.path), entry.path.size());
    const size_t nameOffset = lastComponentOffset(path);
    const std::string_view name = componentAt(path, nameOffset);
    // Without its trailing "/", so that consecutive entries of one folder
    // find it in ensureDir's cache.
    std::string_view parentPath = path.substr(0, nameOffset);
    while (!parentPath.empty() && parentPath.back() == '/') parentPath.remove_suffix(1);
    ArchiveNode* parent = isRootPath(parentPath) ? &mTree.mRoot : ensureDir(parentPath);
    if (parent == nullptr) return false;
    const Probe where = probe(parent, name);
    if (ArchiveNode* found = where.found) {
      // A path seen before: a folder entry dates whatever node is there, file
      // or folder; a file entry keeps the first one and changes nothing.
      // No folder was made from this text (the parent had the name), so the
      // arena takes it back.
      if (entry.isDir) applyFolderEntry(*found, entry);
      found->mIsListed = true;
      mTree.releaseText(path.data(), path.size());
      return true;
    }
    if (!makeRoom()) return false;
    ArchiveNode& node = makeNode(*parent, path, nameOffset, name.size(), entry.isDir, where);
    node.mIsListed = true;
    if (entry.isDir) {
      applyFolderEntry(node, entry);
    } else {
      node.mSize = entry.size;
      node.mPacked = entry.packed.value_or(entry.size);
      setDate(node, entry.modified);
      if (!entry.crc.empty()) mTree.details(node).crc = std::move(entry.crc);
      if (!entry.method.empty()) mTree.details(node).method = std::move(entry.method);
      node.mEncrypted = entry.encrypted;
      if (entry.encrypted) mTree.mHasEncryptedFiles = true;
    }
    return true;
  }

  // prefetch: starts loading the table slot that an entry at `path` will
  // probe, when its folder is the one of the entry before (the usual case)
  // and that folder's table outgrows the caches. A hint: the slot is probed
  // again when the entry is added.
  void prefetch(std::string_view path) const {
    if (mTable == nullptr || mTable->slots.size() < kPrefetchFrom) return;
    if (mTableOwner != mLastDir || path.empty() || path.back() == '/') return;
    const size_t slash = lastSlashBefore(path, path.size());
    if (slash == std::string_view::npos || path.substr(0, slash) != mLastDirPath) return;
    const std::uint32_t hash = hashOf(mLastDir, path.substr(slash + 1));
    __builtin_prefetch(&mTable->slots[hash & (mTable->slots.size() - 1)]);
  }

  // hasEntry: some entry placed so far, or merged into a node, reads `path`.
  [[nodiscard]] bool hasEntry(std::string_view path) const {
    const ArchiveNode* current = &mTree.mRoot;
    size_t start = 0;
    while (start < path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string_view::npos) end = path.size();
      if (end > start) {
        current = find(current, path.substr(start, end - start));
        if (current == nullptr) return false;
      }
      start = end + 1;
    }
    return current != &mTree.mRoot && current->mIsListed;
  }

  // finish: turns each folder's ring of children into its block, once no
  // entry is to come. The rings' links give way to the file counts.
  void finish() {
    const std::uint32_t count = mTree.mNodeSlots;
    mTree.mChildBlocks = std::unique_ptr<const ArchiveNode*[]>(new const ArchiveNode*[count]);
    const ArchiveNode** next = mTree.mChildBlocks.get();
    // Every node below the root is in exactly one ring: its link is read
    // once, there, and its count set in the same pass.
    const auto cut = [&next](ArchiveNode& folder) {
      ArchiveNode* last = folder.mLastChild;
      const ArchiveNode** block = next;
      if (last != nullptr) {
        ArchiveNode* child = last->mNextSibling;
        for (std::uint32_t i = 0; i < folder.mChildCount; ++i) {
          ArchiveNode* const following = child->mNextSibling;
          block[i] = child;
          child->mFileCount = 0;
          child = following;
        }
      }
      next += folder.mChildCount;
      folder.mChildBlock = block;
    };
    cut(mTree.mRoot);
    for (std::uint32_t i = 0; i < count; ++i) cut(mTree.nodeAt(i));
    mTree.mRoot.mFileCount = 0;
  }

 private:
  // spend: counts `work` steps (entries, path components) and asks the
  // limits every few thousand; false once the build has to end.
  bool spend(size_t work) {
    if (mIsStopped) return false;
    mWork += work;
    if (mWork >= mNextCheck) {
      mNextCheck = mWork + kCheckEvery;
      if (mLimits.shouldStop && mLimits.shouldStop()) mIsStopped = true;
    }
    return !mIsStopped;
  }

  // makeRoom: whether one more node fits in the budget; it ends the build
  // when not.
  bool makeRoom() {
    if (static_cast<std::int64_t>(mTree.mNodeSlots) >= mLimits.maxNodes) mIsStopped = true;
    return !mIsStopped;
  }

  // A folder's table: open addressing over (hash, node number) slots, the
  // key being the node's own (parent, name), so a slot stores no text and
  // takes 8 bytes. Number 0 marks an empty slot. At most half full.
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t number = 0;  // the node's number plus one
  };
  struct Table {
    std::vector<Slot> slots;
    size_t used = 0;
  };

  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    return x;
  }

  // The parent's address seeds the hash: names an archive chose to collide
  // do not collide from one run to the next.
  static std::uint32_t hashOf(const ArchiveNode* parent, std::string_view name) {
    std::uint64_t h =
        mix(reinterpret_cast<std::uintptr_t>(parent) ^ (name.size() * 0x9E3779B97F4A7C15ull));
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, name.data() + i, 8);
      h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, name.data() + i, name.size() - i);
    return static_cast<std::uint32_t>(mix(h ^ tail));
  }

  // Probe: the child of a folder with a name, or where it would go. One
  // probe serves both the lookup and the insertion that follows: `slot` is
  // the empty slot of the folder's table (null for a folder without one).
  struct Probe {
    ArchiveNode* found = nullptr;
    Table* table = nullptr;
    Slot* slot = nullptr;
    std::uint32_t hash = 0;
  };

  // tableOf: the folder's table; null for a folder small enough to walk.
  [[nodiscard]] const Table* tableOf(const ArchiveNode* folder) const {
    if (folder == mTableOwner) return mTable;
    if (folder->mChildCount <= kWalkedChildren) return nullptr;
    const auto it = mTables.find(folder);
    return it == mTables.end() ? nullptr : &it->second;
  }

  // The same, remembered for the next entries of that folder.
  [[nodiscard]] Table* tableOf(const ArchiveNode* folder) {
    // The tables are this object's own: only the lookup is shared.
    auto* table = const_cast<Table*>(std::as_const(*this).tableOf(folder));
    if (table != nullptr) {
      mTableOwner = folder;
      mTable = table;
    }
    return table;
  }

  // locate: in a folder's table, the slot of its child named `name` (whose
  // hash is `hash`), or the empty slot where that child would go.
  template <typename TableType>
  auto locate(TableType& table, std::string_view name, std::uint32_t hash) const
      -> decltype(&table.slots[0]) {
    const size_t mask = table.slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      auto& slot = table.slots[i];
      if (slot.number == 0) return &slot;
      if (slot.hash == hash && mTree.nodeAt(slot.number - 1).name() == name) return &slot;
    }
  }

  // walk: the child of a small folder with that name, through its ring.
  static ArchiveNode* walk(const ArchiveNode* folder, std::string_view name) {
    ArchiveNode* child = folder->mLastChild;
    for (std::uint32_t i = 0; i < folder->mChildCount; ++i) {
      child = child->mNextSibling;
      if (child->name() == name) return child;
    }
    return nullptr;
  }

  Probe probe(ArchiveNode* parent, std::string_view name) {
    Table* table = tableOf(parent);
    if (table == nullptr) return Probe{.found = walk(parent, name)};
    // Room for the insertion that may follow, so the slot stays valid.
    if ((table->used + 1) * 2 > table->slots.size()) grow(*table);
    const std::uint32_t hash = hashOf(parent, name);
    Slot* slot = locate(*table, name, hash);
    if (slot->number != 0) return Probe{.found = &mTree.nodeAt(slot->number - 1)};
    return Probe{.table = table, .slot = slot, .hash = hash};
  }

  [[nodiscard]] const ArchiveNode* find(const ArchiveNode* parent, std::string_view name) const {
    const Table* table = tableOf(parent);
    if (table == nullptr) return walk(parent, name);
    const Slot* slot = locate(*table, name, hashOf(parent, name));
    return slot->number == 0 ? nullptr : &mTree.nodeAt(slot->number - 1);
  }

  static void place(Table& table, Slot slot) {
    const size_t mask = table.slots.size() - 1;
    size_t i = slot.hash & mask;
    while (table.slots[i].number != 0) i = (i + 1) & mask;
    table.slots[i] = slot;
    ++table.used;
  }

  static void grow(Table& table) {
    std::vector<Slot> old = std::move(table.slots);
    table.slots.assign(old.size() * 2, Slot{});
    table.used = 0;
    for (const Slot& slot : old) {
      if (slot.number != 0) place(table, slot);
    }
  }

  // indexChildren: gives a folder that has just outgrown walking a table of
  // its children.
  void indexChildren(const ArchiveNode& folder) {
    Table& table = mTables[&folder];
    size_t size = 16;
    while (size < (folder.mChildCount + 1) * 2) size *= 2;
    table.slots.assign(size, Slot{});
    table.used = 0;
    const ArchiveNode* child = folder.mLastChild;
    for (std::uint32_t i = 0; i < folder.mChildCount; ++i) {
      child = child->mNextSibling;
      place(table, Slot{hashOf(&folder, child->name()), numberOf(*child) + 1});
    }
    mTableOwner = &folder;
    mTable = &table;
  }

  // numberOf: the number of a node made so far, from the block it lies in.
  [[nodiscard]] std::uint32_t numberOf(const ArchiveNode& node) const {
    const auto address = reinterpret_cast<std::uintptr_t>(&node);
    const auto block = std::upper_bound(
        mBlockStarts.begin(), mBlockStarts.end(), address,
        [](std::uintptr_t value, const BlockStart& start) { return value < start.address; });
    const BlockStart& start = *(block - 1);
    return (start.number << ArchiveTree::kNodeBlockShift) +
           static_cast<std::uint32_t>((address - start.address) / sizeof(ArchiveNode));
  }

  // newNode: a node from the tree, noting where a new block starts.
  ArchiveNode& newNode() {
    const size_t blocks = mTree.mNodeBlocks.size();
    ArchiveNode& node = *mTree.newNode();
    if (mTree.mNodeBlocks.size() != blocks) {
      const BlockStart start{reinterpret_cast<std::uintptr_t>(mTree.mNodeBlocks.back().get()),
                             static_cast<std::uint32_t>(blocks)};
      mBlockStarts.insert(std::upper_bound(mBlockStarts.begin(), mBlockStarts.end(), start,
                                           [](const BlockStart& a, const BlockStart& b) {
                                             return a.address < b.address;
                                           }),
                          start);
    }
    return node;
  }

  static std::string_view componentAt(std::string_view path, size_t offset) {
    std::string_view name = path.substr(offset);
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    return name;
  }

  // becomeFolder: turns a file node into a folder; its size becomes the
  // total of what lies beneath, as for any folder.
  void becomeFolder(ArchiveNode& node) {
    node.mIsDir = true;
    node.mSize = 0;
    node.mPacked = 0;
    if (node.mDetails != nullptr) {
      node.mDetails->crc.clear();
      node.mDetails->method.clear();
    }
  }

  // A folder entry sets the date (an absent one replaces a present one) and
  // the encryption flag; its sizes, crc and method are ignored.
  static void applyFolderEntry(ArchiveNode& node, const RawEntry& entry) {
    setDate(node, entry.modified);
    node.mEncrypted = entry.encrypted;
  }

  static void setDate(ArchiveNode& node, std::optional<std::chrono::sys_seconds> date) {
    node.mHasModified = date.has_value();
    node.mModifiedSeconds = date ? date->time_since_epoch().count() : 0;
  }

  // makeNode: a new last child of `parent` named by the slice of `text` at
  // [nameOffset, nameOffset + nameLength), indexed at the probe's slot.
  ArchiveNode& makeNode(ArchiveNode& parent, std::string_view text, size_t nameOffset,
                        size_t nameLength, bool isDir, const Probe& where) {
    ArchiveNode& node = newNode();
    node.mText = text.data();
    node.mPathLength = static_cast<std::uint32_t>(text.size());
    node.mNameOffset = static_cast<std::uint32_t>(nameOffset);
    if (nameLength < kMaxSliceName) {
      node.mNameLength = static_cast<std::uint32_t>(nameLength & (kMaxSliceName - 1));
    } else {
      ArchiveNode::Details& details = mTree.details(node);
      details.name = std::string(text.substr(nameOffset, nameLength));
      details.hasOwnName = true;
    }
    node.mIsDir = isDir;
    node.mParent = &parent;
    // Children form a ring: the newest points at the oldest.
    if (parent.mLastChild == nullptr) {
      node.mNextSibling = &node;
    } else {
      node.mNextSibling = parent.mLastChild->mNextSibling;
      parent.mLastChild->mNextSibling = &node;
    }
    parent.mLastChild = &node;
    ++parent.mChildCount;
    if (where.slot != nullptr) {
      *where.slot = Slot{where.hash, mTree.mNodeSlots};  // the node's number plus one
      ++where.table->used;
    } else if (parent.mChildCount > kWalkedChildren) {
      indexChildren(parent);
    }
    return node;
  }

  // takeBack: removes the newest child of `parent` and every node made after
  // it, which are its own descendants (folders made for one entry).
  void takeBack(ArchiveNode& parent, const ArchiveNode& first) {
    ArchiveNode* last = parent.mLastChild;
    if (last->mNextSibling == last) {
      parent.mLastChild = nullptr;
    } else {
      ArchiveNode* before = last->mNextSibling;
      while (before->mNextSibling != last) before = before->mNextSibling;
      before->mNextSibling = last->mNextSibling;
      parent.mLastChild = before;
    }
    --parent.mChildCount;
    // Their slots stay but lead nowhere once the build has ended: nothing
    // is placed after a stop, and hasEntry asks for entries, not folders made.
    while (mTree.mNodeSlots > 0 && &mTree.nodeAt(mTree.mNodeSlots - 1) != &first)
      --mTree.mNodeSlots;
    --mTree.mNodeSlots;
  }

  // Finds or creates every folder of `path` from the top down; a file on the
  // way becomes a folder. Null when the limits end the build on the way. Folders made here borrow
  // their path text from `path`, which the arena keeps.
  ArchiveNode* ensureDir(std::string_view path) {
    if (path == mLastDirPath && mLastDir != nullptr) return mLastDir;
    ArchiveNode* current = &mTree.mRoot;
    ArchiveNode* firstMade = nullptr;
    // A build that ends on the way takes back the folders made here: the
    // entry they were made for is not placed.
    const auto stopHere = [&]() -> ArchiveNode* {
      if (firstMade != nullptr) takeBack(*firstMade->mParent, *firstMade);
      return nullptr;
    };
    size_t start = 0;
    while (start < path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string_view::npos) end = path.size();
      if (end > start) {
        const std::string_view name = path.substr(start, end - start);
        if (!spend(1)) return stopHere();
        const Probe where = probe(current, name);
        if (ArchiveNode* found = where.found) {
          // A file, a link say, that entries lie beneath ("path" and
          // "path/file.txt") becomes a folder with its own date, so that
          // nothing beneath it is lost.
          if (!found->mIsDir) becomeFolder(*found);
          current = found;
        } else {
          if (!makeRoom()) return stopHere();
          current = &makeNode(*current, path.substr(0, end), start, end - start, true, where);
          if (firstMade == nullptr) firstMade = current;
        }
      }
      start = end + 1;
    }
    mLastDirPath = current->path();
    mLastDir = current;
    return current;
  }

  static constexpr size_t kCheckEvery = 4096;
  static constexpr size_t kMaxSliceName = size_t{1} << 28;
  // Folders with more children than this get a table.
  static constexpr std::uint32_t kWalkedChildren = 8;
  // Tables of this many slots (512 KiB) and more outgrow the caches.
  static constexpr size_t kPrefetchFrom = size_t{1} << 16;

  struct BlockStart {
    std::uintptr_t address;
    std::uint32_t number;
  };

  ArchiveTree& mTree;
  const TreeLimits& mLimits;
  size_t mWork = 0;
  size_t mNextCheck = 0;
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

// ---------------------------------------------------------------------------
// ArchiveTree

ArchiveTree::ArchiveTree() { mRoot.mIsDir = true; }

ArchiveTree::ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries)
    : ArchiveTree(std::move(properties), std::move(entries), TreeLimits{}) {}

ArchiveTree::ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries,
                         const TreeLimits& limits)
    : mProperties(std::move(properties)) {
  mRoot.mIsDir = true;
  TreeGrowth growth(*this, limits);
  // A folder's table may be far larger than the caches: ask for the slot of
  // an entry a few places ahead while this one is placed.
  constexpr size_t kLookAhead = 8;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i + kLookAhead < entries.size()) growth.prefetch(entries[i + kLookAhead].path);
    if (!growth.add(std::move(entries[i]))) {
      mIsComplete = false;
      break;
    }
  }
  growth.finish();
  summarize();
}

ArchiveTree::~ArchiveTree() = default;

ArchiveNode* ArchiveTree::newNode() {
  const std::uint32_t index = mNodeSlots;
  if ((index >> kNodeBlockShift) == mNodeBlocks.size()) {
    mNodeBlocks.push_back(std::unique_ptr<ArchiveNode[]>(new ArchiveNode[kNodeBlockSize]));
  }
  ++mNodeSlots;
  // A node taken back by a build that stopped is never handed out again:
  // nothing is placed after a stop.
  return &nodeAt(index);
}

const char* ArchiveTree::storeText(std::string_view text) {
  constexpr size_t kChunk = size_t{64} << 10;
  if (text.size() > mTextLeft) {
    // A long text gets a chunk of its own; the current chunk stays open.
    if (text.size() > kChunk / 4) {
      mTextChunks.push_back(std::unique_ptr<char[]>(new char[text.size()]));
      std::memcpy(mTextChunks.back().get(), text.data(), text.size());
      return mTextChunks.back().get();
    }
    mTextChunks.push_back(std::unique_ptr<char[]>(new char[kChunk]));
    mTextNext = mTextChunks.back().get();
    mTextLeft = kChunk;
  }
  char* stored = mTextNext;
  if (!text.empty()) std::memcpy(stored, text.data(), text.size());
  mTextNext += text.size();
  mTextLeft -= text.size();
  return stored;
}

void ArchiveTree::releaseText(const char* text, std::size_t size) noexcept {
  if (mTextNext != nullptr && text + size == mTextNext) {
    mTextNext -= size;
    mTextLeft += size;
  }
}

ArchiveNode::Details& ArchiveTree::details(ArchiveNode& node) {
  if (node.mDetails == nullptr) node.mDetails = &mDetails.emplace_back();
  return *node.mDetails;
}

// ---------------------------------------------------------------------------
// ArchiveTreeBuilder

ArchiveTreeBuilder::ArchiveTreeBuilder(TreeLimits limits)
    : mLimits(std::move(limits)),
      mTree(new ArchiveTree()),
      mGrowth(std::make_unique<TreeGrowth>(*mTree, mLimits)) {}

ArchiveTreeBuilder::~ArchiveTreeBuilder() = default;

bool ArchiveTreeBuilder::add(RawEntry&& entry) {
  if (!mTree->mIsComplete) return false;
  if (mGrowth->add(std::move(entry))) return true;
  mTree->mIsComplete = false;
  return false;
}

bool ArchiveTreeBuilder::hasEntry(std::string_view path) const { return mGrowth->hasEntry(path); }

void ArchiveTreeBuilder::expect(std::string_view path) const {
  if (mGrowth && mTree->mIsComplete) mGrowth->prefetch(path);
}

std::shared_ptr<ArchiveTree> ArchiveTreeBuilder::finish(ArchiveProperties properties) {
  mGrowth->finish();
  mGrowth.reset();
  mTree->mProperties = std::move(properties);
  mTree->summarize();
  return std::shared_ptr<ArchiveTree>(std::move(mTree));
}

void ArchiveTree::summarize() {
  // Post-order walk with an explicit stack; each frame gathers one folder's
  // totals. A folder reports its own date when it has one, else the latest
  // date its children reported.
  struct Frame {
    ArchiveNode* folder;
    size_t next = 0;
    std::int64_t size = 0;
    std::int64_t packed = 0;
    std::int64_t files = 0;
    std::optional<std::int64_t> latest;
  };
  auto gather = [](Frame& frame, std::int64_t size, std::int64_t packed, std::int64_t files,
                   std::optional<std::int64_t> date) {
    frame.size = saturatingAdd(frame.size, size);
    frame.packed = saturatingAdd(frame.packed, packed);
    frame.files = saturatingAdd(frame.files, files);
    if (date && (!frame.latest || *date > *frame.latest)) frame.latest = date;
  };
  auto ownDate = [](const ArchiveNode& node) -> std::optional<std::int64_t> {
    if (!node.mHasModified) return std::nullopt;
    return node.mModifiedSeconds;
  };

  std::vector<Frame> stack;
  stack.push_back(Frame{&mRoot, 0, 0, 0, 0, ownDate(mRoot)});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.folder->mChildCount) {
      // The tree owns its nodes; the blocks hand them out read-only.
      auto& child = const_cast<ArchiveNode&>(*top.folder->mChildBlock[top.next++]);
      if (!child.mIsDir) {
        mFileCount = saturatingAdd(mFileCount, 1);
        gather(top, child.mSize, child.mPacked, 1, ownDate(child));
      } else {
        mDirCount = saturatingAdd(mDirCount, 1);
        stack.push_back(Frame{&child, 0, 0, 0, 0, ownDate(child)});
      }
      continue;
    }
    ArchiveNode& folder = *top.folder;
    folder.mSize = top.size;
    folder.mPacked = top.packed;
    folder.mFileCount = top.files;
    if (!folder.mHasModified && top.latest) {
      folder.mHasModified = true;
      folder.mModifiedSeconds = *top.latest;
    }
    const Frame done = top;
    stack.pop_back();
    if (!stack.empty()) gather(stack.back(), done.size, done.packed, done.files, ownDate(folder));
  }
}

const ArchiveNode* ArchiveTree::node(std::string_view path) const {
  const ArchiveNode* current = &mRoot;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      const std::string_view piece = path.substr(start, end - start);
      const ArchiveNode* next = nullptr;
      for (const ArchiveNode* child : current->children()) {
        if (child->name() == piece) {
          next = child;
          break;
        }
      }
      if (next == nullptr) return nullptr;
      current = next;
    }
    start = end + 1;
  }
  return current;
}

}  // namespace vexel
