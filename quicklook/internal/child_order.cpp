#include "internal/child_order.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string>
#include <string_view>

#include "foundation/standard_collator.h"

namespace vexel::quicklook_internal {

namespace {

constexpr std::size_t kNamesBetweenChecks = 1024;
constexpr std::size_t kComparisonsBetweenChecks = 1 << 16;

// Late: thrown out of the sort's comparison when time is up; the sort then
// leaves its range in some order, which is thrown away.
struct Late {};

// Folders first, each group in archive order: the order without keys.
std::vector<const ArchiveNode*> foldersFirst(const ArchiveNode& folder) {
  std::vector<const ArchiveNode*> order;
  order.reserve(folder.children().size());
  for (const auto& child : folder.children()) {
    if (child->isDir()) order.push_back(child);
  }
  for (const auto& child : folder.children()) {
    if (!child->isDir()) order.push_back(child);
  }
  return order;
}

}  // namespace

std::vector<const ArchiveNode*> displayOrder(const ArchiveNode& folder,
                                             const std::function<bool()>& isLate) {
  const auto& children = folder.children();
  // One sort key per name, compared bytewise: the collator runs once per
  // child instead of once per comparison.
  const platform::StandardCollator& collator = platform::StandardCollator::current();
  std::string keys;
  std::vector<std::size_t> offsets;
  offsets.reserve(children.size() + 1);
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (isLate && i % kNamesBetweenChecks == kNamesBetweenChecks - 1 && isLate()) {
      return foldersFirst(folder);
    }
    offsets.push_back(keys.size());
    collator.appendSortKey(children[i]->name(), keys);
  }
  offsets.push_back(keys.size());
  const auto key = [&](std::size_t i) {
    return std::string_view(keys).substr(offsets[i], offsets[i + 1] - offsets[i]);
  };
  std::vector<std::size_t> order(children.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::size_t comparisons = 0;
  try {
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      if (isLate && ++comparisons % kComparisonsBetweenChecks == 0 && isLate()) throw Late{};
      const bool aDir = children[a]->isDir();
      const bool bDir = children[b]->isDir();
      if (aDir != bDir) return aDir;
      return key(a) < key(b);
    });
  } catch (const Late&) {
    return foldersFirst(folder);
  }
  std::vector<const ArchiveNode*> sorted;
  sorted.reserve(order.size());
  for (const std::size_t i : order) sorted.push_back(children[i]);
  return sorted;
}

}  // namespace vexel::quicklook_internal
