#include "model/archive_tree.h"

#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "internal/path_components.h"
#include "internal/tree_growth.h"
#include "model/archive_format.h"
#include "text/unicode_case.h"

namespace vexel {
namespace {

using model_internal::PathComponent;
using model_internal::PathComponents;
using model_internal::TreeGrowth;

// Sums saturate: sizes come from archive headers and may be crafted.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
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
  // The blocks are freed as bytes: nodes own nothing (their details belong
  // to the tree), and a node's address maps to its slot by its size.
  static_assert(std::is_trivially_destructible_v<ArchiveNode>);
  static_assert(sizeof(NodeSlot) == sizeof(ArchiveNode));
  const std::uint32_t index = mNodeSlots;
  if ((index >> kNodeBlockShift) == mNodeBlocks.size()) {
    // Left uninitialised: each slot is made into a node as it is handed out.
    mNodeBlocks.push_back(std::unique_ptr<NodeSlot[]>(new NodeSlot[kNodeBlockSize]));
  }
  ++mNodeSlots;
  // A node taken back by a build that stopped is never handed out again:
  // nothing is placed after a stop.
  return ::new (mNodeBlocks[index >> kNodeBlockShift][index & (kNodeBlockSize - 1)].bytes)
      ArchiveNode();
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
  for (const PathComponent piece : PathComponents(path)) {
    const ArchiveNode* next = nullptr;
    for (const ArchiveNode* child : current->children()) {
      if (child->name() == piece.name) {
        next = child;
        break;
      }
    }
    if (next == nullptr) return nullptr;
    current = next;
  }
  return current;
}

}  // namespace vexel
