#include "model/archive_tree.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "model/archive_format.h"
#include "text/unicode_case.h"

namespace vexel {
namespace {

constexpr std::string_view kMacMetadata = "__MACOSX";

// Sums saturate: sizes come from archive headers and may be crafted.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

bool isMacMetadata(std::string_view path) {
  return path == kMacMetadata ||
         (path.size() > kMacMetadata.size() && path.starts_with(kMacMetadata) &&
          path[kMacMetadata.size()] == '/');
}

// True for "" and for paths made of "/" alone: both stand for the root.
bool isRootPath(std::string_view path) { return path.find_first_not_of('/') == std::string_view::npos; }

// Offset of the last component of a path that is not a root path: the text
// after the last "/" that is not a trailing one.
size_t lastComponentOffset(std::string_view path) {
  const size_t end = path.find_last_not_of('/');
  const size_t slash = path.rfind('/', end);
  return slash == std::string_view::npos ? 0 : slash + 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// ArchiveNode

ArchiveNode::ArchiveNode(std::string_view name, std::string path, bool isDir)
    : mOwnedPath(std::move(path)), mPath(mOwnedPath), mIsDir(isDir) {
  setName(name, mPath.ends_with(name) ? mPath.size() - name.size() : std::string_view::npos);
}

ArchiveNode::ArchiveNode(std::string ownedPath, size_t nameOffset, size_t nameLength, bool isDir)
    : mOwnedPath(std::move(ownedPath)), mPath(mOwnedPath), mIsDir(isDir) {
  setName(mPath.substr(nameOffset, nameLength), nameOffset);
}

ArchiveNode::ArchiveNode(std::string_view borrowedPath, size_t nameOffset, bool isDir)
    : mPath(borrowedPath), mIsDir(isDir) {
  setName(borrowedPath.substr(nameOffset), nameOffset);
}

// Keeps the name as a slice of the path when it is one (the usual case), else
// as text of its own.
void ArchiveNode::setName(std::string_view name, size_t offset) {
  constexpr size_t kMaxSlice = std::numeric_limits<std::uint32_t>::max();
  if (offset != std::string_view::npos && offset <= kMaxSlice && name.size() <= kMaxSlice) {
    mNameOffset = static_cast<std::uint32_t>(offset);
    mNameLength = static_cast<std::uint32_t>(name.size());
  } else {
    details().name = std::string(name);
    details().hasOwnName = true;
  }
}

ArchiveNode::~ArchiveNode() {
  // Tear the subtree down level by level: destroying children through their
  // owners would recurse once per folder level.
  std::vector<std::unique_ptr<ArchiveNode>> pending = std::move(mChildren);
  while (!pending.empty()) {
    std::unique_ptr<ArchiveNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->mChildren) pending.push_back(std::move(child));
    node->mChildren.clear();
  }
}

ArchiveNode::Details& ArchiveNode::details() {
  if (!mDetails) mDetails = std::make_unique<Details>();
  return *mDetails;
}

std::string_view ArchiveNode::name() const noexcept {
  if (mDetails && mDetails->hasOwnName) return mDetails->name;
  return mPath.substr(mNameOffset, mNameLength);
}

std::optional<std::chrono::sys_seconds> ArchiveNode::modified() const noexcept {
  if (!mHasModified) return std::nullopt;
  return std::chrono::sys_seconds(std::chrono::seconds(mModifiedSeconds));
}

std::string_view ArchiveNode::crc() const noexcept {
  return mDetails ? std::string_view(mDetails->crc) : std::string_view();
}

std::string_view ArchiveNode::method() const noexcept {
  return mDetails ? std::string_view(mDetails->method) : std::string_view();
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
    if (next == folder->mChildren.size()) {
      stack.pop_back();
      continue;
    }
    const ArchiveNode* child = folder->mChildren[next++].get();
    result.push_back(child);
    if (child->mIsDir) stack.emplace_back(child, 0);
  }
  return result;
}

// ---------------------------------------------------------------------------
// ArchiveTree::Builder

// The path index of the build, keyed by (parent node, name) rather than by
// the whole path: placing an entry then hashes only short names, however deep
// the entry lies, and a path maps to exactly the node its text leads to.
class ArchiveTree::Builder {
 public:
  Builder(ArchiveTree& tree, size_t expectedNodes, const TreeLimits& limits)
      : mTree(tree), mLimits(limits) {
    reserve(expectedNodes);
  }

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
      if (entry.isDir) applyFolderEntry(*mTree.mRoot, entry);
      return true;
    }
    // The node takes the entry's path text first, so that folders created on
    // the way can borrow prefixes of text that stays where it is.
    const size_t nameOffset = lastComponentOffset(entry.path);
    const size_t nameLength = componentAt(entry.path, nameOffset).size();
    auto node = std::unique_ptr<ArchiveNode>(
        new ArchiveNode(std::move(entry.path), nameOffset, nameLength, entry.isDir));
    const std::string_view parentPath = node->mPath.substr(0, nameOffset);
    ArchiveNode* parentNode = isRootPath(parentPath) ? mTree.mRoot.get() : ensureDir(parentPath);
    if (parentNode == nullptr) return false;
    ArchiveNode& parent = *parentNode;
    const Probe where = probe(&parent, node->name());
    if (ArchiveNode* found = where.found()) {
      // A path seen before: a folder entry dates whatever node is there, file
      // or folder; a file entry keeps the first one and changes nothing.
      if (entry.isDir) applyFolderEntry(*found, entry);
      return true;
    }
    if (!makeRoom()) return false;
    if (entry.isDir) {
      applyFolderEntry(*node, entry);
    } else {
      node->mSize = entry.size;
      node->mPacked = entry.packed.value_or(entry.size);
      setDate(*node, entry.modified);
      if (!entry.crc.empty()) node->details().crc = std::move(entry.crc);
      if (!entry.method.empty()) node->details().method = std::move(entry.method);
      node->mEncrypted = entry.encrypted;
      if (entry.encrypted) mTree.mHasEncryptedFiles = true;
    }
    attach(parent, std::move(node), where);
    return true;
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
    if (mNodes >= mLimits.maxNodes) mIsStopped = true;
    if (mIsStopped) return false;
    ++mNodes;
    return true;
  }
  // An open-addressing table of (hash, node): the key of a slot is the node's
  // own (parent, name), so the table stores no text and probes stay in one
  // array.
  struct Slot {
    std::uint64_t hash = 0;
    ArchiveNode* node = nullptr;
  };

  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 32;
    return x;
  }

  static std::uint64_t hashOf(const ArchiveNode* parent, std::string_view name) {
    std::uint64_t h = mix(reinterpret_cast<std::uintptr_t>(parent) ^ (name.size() * 0x9E3779B97F4A7C15ull));
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, name.data() + i, 8);
      h = mix(h ^ word) * 0x9E3779B97F4A7C15ull;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, name.data() + i, name.size() - i);
    return mix(h ^ tail);
  }

  // Probe: where a (parent, name) key stands, or the empty slot it would
  // take. One probe serves both the lookup and the insertion that follows.
  struct Probe {
    Slot* slot;
    std::uint64_t hash;
    [[nodiscard]] ArchiveNode* found() const noexcept { return slot->node; }
  };

  Probe probe(const ArchiveNode* parent, std::string_view name) {
    // Room for the insertion that may follow, so the slot stays valid.
    if ((mUsed + 1) * 2 > mSlots.size()) grow();
    const std::uint64_t hash = hashOf(parent, name);
    for (size_t i = hash & mMask;; i = (i + 1) & mMask) {
      Slot& slot = mSlots[i];
      if (slot.node == nullptr ||
          (slot.hash == hash && slot.node->mParent == parent && slot.node->name() == name)) {
        return Probe{&slot, hash};
      }
    }
  }

  // fill: places a node made for (parent, name) in the empty slot its probe found.
  void fill(const Probe& where, ArchiveNode* node) {
    *where.slot = Slot{where.hash, node};
    ++mUsed;
  }

  void reserve(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    mSlots.assign(capacity, Slot{});
    mMask = capacity - 1;
  }

  void grow() {
    std::vector<Slot> old = std::move(mSlots);
    mSlots.assign(old.size() * 2, Slot{});
    mMask = mSlots.size() - 1;
    for (const Slot& slot : old) {
      if (slot.node == nullptr) continue;
      size_t i = slot.hash & mMask;
      while (mSlots[i].node != nullptr) i = (i + 1) & mMask;
      mSlots[i] = slot;
    }
  }

  static std::string_view componentAt(std::string_view path, size_t offset) {
    std::string_view name = path.substr(offset);
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    return name;
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

  ArchiveNode& attach(ArchiveNode& parent, std::unique_ptr<ArchiveNode> node, const Probe& where) {
    ArchiveNode& placed = *node;
    node->mParent = &parent;
    parent.mChildren.push_back(std::move(node));
    fill(where, &placed);
    return placed;
  }

  // Finds or creates every folder of `path` from the top down. Whatever kind
  // of node a path already names is returned, files included; null when the
  // limits end the build on the way. Folders made here borrow their path
  // text from `path`, which must be owned by a node that the tree keeps.
  ArchiveNode* ensureDir(std::string_view path) {
    if (path == mLastDirPath && mLastDir != nullptr) return mLastDir;
    ArchiveNode* current = mTree.mRoot.get();
    ArchiveNode* firstMade = nullptr;
    // A build that ends on the way takes back the folders made here: they
    // borrow their text from an entry that is not placed.
    const auto stopHere = [&]() -> ArchiveNode* {
      if (firstMade != nullptr) firstMade->mParent->mChildren.pop_back();
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
        if (ArchiveNode* found = where.found()) {
          current = found;
        } else {
          if (!makeRoom()) return stopHere();
          current = &attach(*current,
                            std::unique_ptr<ArchiveNode>(new ArchiveNode(path.substr(0, end), start, true)),
                            where);
          if (firstMade == nullptr) firstMade = current;
        }
      }
      start = end + 1;
    }
    // Cache under the node's own text: `path` may belong to a node that is
    // about to be dropped as a duplicate.
    mLastDirPath = current->mPath;
    mLastDir = current;
    return current;
  }

  static constexpr size_t kCheckEvery = 4096;

  ArchiveTree& mTree;
  const TreeLimits& mLimits;
  std::int64_t mNodes = 0;
  size_t mWork = 0;
  size_t mNextCheck = 0;
  bool mIsStopped = false;
  std::vector<Slot> mSlots;
  size_t mMask = 0;
  size_t mUsed = 0;
  // The parent of consecutive entries is usually the same folder.
  std::string_view mLastDirPath;
  ArchiveNode* mLastDir = nullptr;
};

// ---------------------------------------------------------------------------
// ArchiveTree

ArchiveTree::ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries)
    : ArchiveTree(std::move(properties), std::move(entries), TreeLimits{}) {}

ArchiveTree::ArchiveTree(ArchiveProperties properties, std::vector<RawEntry> entries,
                         const TreeLimits& limits)
    : mRoot(std::make_unique<ArchiveNode>("", std::string(), true)),
      mProperties(std::move(properties)) {
  {
    const size_t expected = entries.size() + entries.size() / 8 + 1;
    const auto budget = static_cast<std::uint64_t>(std::max<std::int64_t>(limits.maxNodes, 0));
    Builder builder(*this, static_cast<size_t>(std::min<std::uint64_t>(expected, budget + 1)),
                    limits);
    for (RawEntry& entry : entries) {
      if (!builder.add(std::move(entry))) {
        mIsComplete = false;
        break;
      }
    }
  }
  summarize();
}

ArchiveTree::~ArchiveTree() = default;

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
  stack.push_back(Frame{mRoot.get(), 0, 0, 0, 0, ownDate(*mRoot)});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.folder->mChildren.size()) {
      ArchiveNode& child = *top.folder->mChildren[top.next++];
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
  const ArchiveNode* current = mRoot.get();
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      const std::string_view piece = path.substr(start, end - start);
      const ArchiveNode* next = nullptr;
      for (const auto& child : current->mChildren) {
        if (child->name() == piece) {
          next = child.get();
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
