#include "quicklook/internal/child_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel::quicklook_internal {
namespace {

std::vector<std::string> namesOf(const std::vector<const ArchiveNode*>& nodes) {
  std::vector<std::string> names;
  for (const ArchiveNode* node : nodes) names.emplace_back(node->name());
  return names;
}

// In time: folders first, then natural order. Late: folders first in
// archive order, whether time ran out while keys were made or while they
// were sorted.
TEST(ChildOrder, NaturalOrderOrFoldersFirstWhenLate) {
  // f1 ... f10000 in a scrambled archive order.
  const auto nameAt = [](int k) { return "f" + std::to_string((k * 7919 + 17) % 10000 + 1); };
  std::vector<RawEntry> entries;
  for (int k = 0; k < 10000; ++k) entries.push_back(RawEntry{.path = nameAt(k)});
  entries.push_back(RawEntry{.path = "dir", .isDir = true});
  const ArchiveTree tree({}, std::move(entries));

  const auto sorted = namesOf(displayOrder(tree.root()));
  ASSERT_EQ(sorted.size(), 10001U);
  EXPECT_EQ(sorted[0], "dir");
  EXPECT_EQ(sorted[1], "f1");
  EXPECT_EQ(sorted[2], "f2");
  EXPECT_EQ(sorted[10], "f10");

  int asked = 0;
  for (const int lateAt : {1, 10}) {  // while making keys (9 checks), then while sorting
    SCOPED_TRACE(lateAt);
    asked = 0;
    const auto late = namesOf(displayOrder(tree.root(), [&] { return ++asked >= lateAt; }));
    ASSERT_EQ(late.size(), 10001U);
    EXPECT_EQ(late[0], "dir");
    EXPECT_EQ(late[1], nameAt(0));
    EXPECT_EQ(late.back(), nameAt(9999));
  }
  asked = 0;
  EXPECT_EQ(namesOf(displayOrder(tree.root(), [&] { return ++asked > 1000; })), sorted);
  EXPECT_GT(asked, 9);
}

}  // namespace
}  // namespace vexel::quicklook_internal
