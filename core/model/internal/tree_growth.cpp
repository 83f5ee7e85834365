#include "internal/tree_growth.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "internal/path_components.h"

namespace vexel::model_internal {
namespace {

constexpr std::string_view kMacMetadata = "__MACOSX";

bool isMacMetadata(std::string_view path) {
  return path == kMacMetadata ||
         (path.size() > kMacMetadata.size() && path.starts_with(kMacMetadata) &&
          path[kMacMetadata.size()] == '/');
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

}  // namespace

// ---------------------------------------------------------------------------
// Placing entries

bool TreeGrowth::add(RawEntry&& entry) {
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
  const std::size_t nameOffset = lastComponentOffset(path);
  const std::string_view name = componentAt(path, nameOffset);
  // Without its trailing "/", so that consecutive entries of one folder
  // find it in ensureDir's cache.
  std::string_view parentPath = path.substr(0, nameOffset);
  while (!parentPath.empty() && parentPath.back() == '/') parentPath.remove_suffix(1);
  ArchiveNode* firstMade = nullptr;
  ArchiveNode* parent = isRootPath(parentPath) ? &mTree.mRoot : ensureDir(parentPath, firstMade);
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
  if (!makeRoom()) {
    // The folders made for this entry go with it, as when the limits end
    // the build on the way to its folder.
    if (firstMade != nullptr) takeBack(*firstMade->mParent, *firstMade);
    return false;
  }
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

void TreeGrowth::prefetch(std::string_view path) const {
  if (mTable == nullptr || mTable->slots.size() < kPrefetchFrom) return;
  if (mTableOwner != mLastDir || path.empty() || path.back() == '/') return;
  const std::size_t slash = lastSlashBefore(path, path.size());
  if (slash == std::string_view::npos || path.substr(0, slash) != mLastDirPath) return;
  const std::uint32_t hash = hashOf(mLastDir, path.substr(slash + 1));
  __builtin_prefetch(&mTable->slots[hash & (mTable->slots.size() - 1)]);
}

bool TreeGrowth::hasEntry(std::string_view path) const {
  const ArchiveNode* current = &mTree.mRoot;
  for (const PathComponent piece : PathComponents(path)) {
    current = find(current, piece.name);
    if (current == nullptr) return false;
  }
  return current != &mTree.mRoot && current->mIsListed;
}

void TreeGrowth::finish() {
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

// spend: counts `work` steps (entries, path components) and asks the limits
// every few thousand; false once the build has to end.
bool TreeGrowth::spend(std::size_t work) {
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
bool TreeGrowth::makeRoom() {
  if (static_cast<std::int64_t>(mTree.mNodeSlots) >= mLimits.maxNodes) mIsStopped = true;
  return !mIsStopped;
}

// ---------------------------------------------------------------------------
// Finding children

// The parent's address seeds the hash: names an archive chose to collide do
// not collide from one run to the next.
std::uint32_t TreeGrowth::hashOf(const ArchiveNode* parent, std::string_view name) {
  std::uint64_t h =
      mix(reinterpret_cast<std::uintptr_t>(parent) ^ (name.size() * 0x9E3779B97F4A7C15ull));
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, name.data() + i, name.size() - i);
  return static_cast<std::uint32_t>(mix(h ^ tail));
}

// tableOf: the folder's table; null for a folder small enough to walk.
const TreeGrowth::Table* TreeGrowth::tableOf(const ArchiveNode* folder) const {
  if (folder == mTableOwner) return mTable;
  if (folder->mChildCount <= kWalkedChildren) return nullptr;
  const auto it = mTables.find(folder);
  return it == mTables.end() ? nullptr : &it->second;
}

// The same, remembered for the next entries of that folder.
TreeGrowth::Table* TreeGrowth::tableOf(const ArchiveNode* folder) {
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
auto TreeGrowth::locate(TableType& table, std::string_view name, std::uint32_t hash) const
    -> decltype(&table.slots[0]) {
  const std::size_t mask = table.slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    auto& slot = table.slots[i];
    if (slot.number == 0) return &slot;
    if (slot.hash == hash && mTree.nodeAt(slot.number - 1).name() == name) return &slot;
  }
}

// walk: the child of a small folder with that name, through its ring.
ArchiveNode* TreeGrowth::walk(const ArchiveNode* folder, std::string_view name) {
  ArchiveNode* child = folder->mLastChild;
  for (std::uint32_t i = 0; i < folder->mChildCount; ++i) {
    child = child->mNextSibling;
    if (child->name() == name) return child;
  }
  return nullptr;
}

TreeGrowth::Probe TreeGrowth::probe(ArchiveNode* parent, std::string_view name) {
  Table* table = tableOf(parent);
  if (table == nullptr) return Probe{.found = walk(parent, name)};
  // Room for the insertion that may follow, so the slot stays valid.
  if ((table->used + 1) * 2 > table->slots.size()) grow(*table);
  const std::uint32_t hash = hashOf(parent, name);
  Slot* slot = locate(*table, name, hash);
  if (slot->number != 0) return Probe{.found = &mTree.nodeAt(slot->number - 1)};
  return Probe{.table = table, .slot = slot, .hash = hash};
}

const ArchiveNode* TreeGrowth::find(const ArchiveNode* parent, std::string_view name) const {
  const Table* table = tableOf(parent);
  if (table == nullptr) return walk(parent, name);
  const Slot* slot = locate(*table, name, hashOf(parent, name));
  return slot->number == 0 ? nullptr : &mTree.nodeAt(slot->number - 1);
}

void TreeGrowth::place(Table& table, Slot slot) {
  const std::size_t mask = table.slots.size() - 1;
  std::size_t i = slot.hash & mask;
  while (table.slots[i].number != 0) i = (i + 1) & mask;
  table.slots[i] = slot;
  ++table.used;
}

void TreeGrowth::grow(Table& table) {
  std::vector<Slot> old = std::move(table.slots);
  table.slots.assign(old.size() * 2, Slot{});
  table.used = 0;
  for (const Slot& slot : old) {
    if (slot.number != 0) place(table, slot);
  }
}

// indexChildren: gives a folder that has just outgrown walking a table of
// its children.
void TreeGrowth::indexChildren(const ArchiveNode& folder) {
  Table& table = mTables[&folder];
  std::size_t size = 16;
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
std::uint32_t TreeGrowth::numberOf(const ArchiveNode& node) const {
  const auto address = reinterpret_cast<std::uintptr_t>(&node);
  const auto block = std::upper_bound(
      mBlockStarts.begin(), mBlockStarts.end(), address,
      [](std::uintptr_t value, const BlockStart& start) { return value < start.address; });
  const BlockStart& start = *(block - 1);
  return (start.number << ArchiveTree::kNodeBlockShift) +
         static_cast<std::uint32_t>((address - start.address) / sizeof(ArchiveNode));
}

// ---------------------------------------------------------------------------
// Making nodes

// newNode: a node from the tree, noting where a new block starts.
ArchiveNode& TreeGrowth::newNode() {
  const std::size_t blocks = mTree.mNodeBlocks.size();
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

// becomeFolder: turns a file node into a folder; its size becomes the total
// of what lies beneath, as for any folder.
void TreeGrowth::becomeFolder(ArchiveNode& node) {
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
void TreeGrowth::applyFolderEntry(ArchiveNode& node, const RawEntry& entry) {
  setDate(node, entry.modified);
  node.mEncrypted = entry.encrypted;
}

void TreeGrowth::setDate(ArchiveNode& node, std::optional<std::chrono::sys_seconds> date) {
  node.mHasModified = date.has_value();
  node.mModifiedSeconds = date ? date->time_since_epoch().count() : 0;
}

// makeNode: a new last child of `parent` named by the slice of `text` at
// [nameOffset, nameOffset + nameLength), indexed at the probe's slot.
ArchiveNode& TreeGrowth::makeNode(ArchiveNode& parent, std::string_view text,
                                  std::size_t nameOffset, std::size_t nameLength, bool isDir,
                                  const Probe& where) {
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
void TreeGrowth::takeBack(ArchiveNode& parent, const ArchiveNode& first) {
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
  // Their slots stay but lead nowhere once the build has ended: nothing is
  // placed after a stop, and hasEntry asks for entries, not folders made.
  while (mTree.mNodeSlots > 0 && &mTree.nodeAt(mTree.mNodeSlots - 1) != &first) --mTree.mNodeSlots;
  --mTree.mNodeSlots;
}

// ensureDir: finds or creates every folder of `path` from the top down; a
// file on the way becomes a folder. `firstMade` is the first folder made
// here, if any. Null when the limits end the build on the way. Folders made
// here borrow their path text from `path`, which the arena keeps.
ArchiveNode* TreeGrowth::ensureDir(std::string_view path, ArchiveNode*& firstMade) {
  if (path == mLastDirPath && mLastDir != nullptr) return mLastDir;
  ArchiveNode* current = &mTree.mRoot;
  // A build that ends on the way takes back the folders made here: the
  // entry they were made for is not placed.
  const auto stopHere = [&]() -> ArchiveNode* {
    if (firstMade != nullptr) takeBack(*firstMade->mParent, *firstMade);
    return nullptr;
  };
  for (const PathComponent piece : PathComponents(path)) {
    if (!spend(1)) return stopHere();
    const Probe where = probe(current, piece.name);
    if (ArchiveNode* found = where.found) {
      // A file, a link say, that entries lie beneath ("path" and
      // "path/file.txt") becomes a folder with its own date, so that
      // nothing beneath it is lost.
      if (!found->mIsDir) becomeFolder(*found);
      current = found;
    } else {
      if (!makeRoom()) return stopHere();
      current = &makeNode(*current, path.substr(0, piece.end), piece.start, piece.name.size(), true,
                          where);
      if (firstMade == nullptr) firstMade = current;
    }
  }
  mLastDirPath = current->path();
  mLastDir = current;
  return current;
}

}  // namespace vexel::model_internal
