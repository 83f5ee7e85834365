// The growth machinery through its one front, ArchiveTreeBuilder: folders
// that outgrow walking their children, tables that grow, children spread
// over several blocks of nodes, and a stop that takes back folders across
// a block boundary.
#include "model/internal/tree_growth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel {
namespace {

RawEntry sizedFile(std::string path, std::int64_t size = 0) {
  return RawEntry{.path = std::move(path), .isDir = false, .size = size};
}

// Names of every length up to two words, differing only in their last byte
// or only after the first word, so that the hash reads every tail.
std::string nameOf(std::size_t i) {
  std::string name(1 + i % 17, 'n');
  name.back() = static_cast<char>('A' + i % 26);
  return name + std::to_string(i);
}

TEST(TreeGrowth, FoldersKeepOneNodePerNameAtEveryWidth) {
  // Folder widths around where a folder gets a table (more than 8
  // children) and where it grows (half full), and one past the size whose
  // slots are fetched ahead. `interleaved`: another folder's entries come
  // between, so the folder's children lie in several blocks of 4096 nodes
  // and its table is not the one last used.
  const struct {
    std::size_t width;
    bool interleaved;
  } rows[] = {{1, false}, {8, false}, {9, false},   {16, false},    {17, false},
              {9, true},  {40, true}, {5000, true}, {40'000, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.width << (row.interleaved ? " interleaved" : ""));
    ArchiveTreeBuilder builder;
    std::size_t others = 0;
    const auto addOthers = [&](std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(builder.add(sizedFile("other/" + std::to_string(others++))));
      }
    };
    for (std::size_t i = 0; i < row.width; ++i) {
      builder.expect("w/" + nameOf(i + 1));
      ASSERT_TRUE(builder.add(sizedFile("w/" + nameOf(i), static_cast<std::int64_t>(i))));
      if (row.interleaved && i % 4 == 3) addOthers(i < 8 ? 4100 : 3);
    }
    // The same names again, newest first, from a deeper path and as files:
    // each finds its node and changes nothing.
    for (std::size_t i = row.width; i-- > 0;) {
      ASSERT_TRUE(builder.add(sizedFile("w/" + nameOf(i), 1'000'000)));
      ASSERT_TRUE(builder.hasEntry("w//" + nameOf(i)));
      ASSERT_FALSE(builder.hasEntry("w/" + nameOf(i) + "x"));
    }
    ASSERT_TRUE(builder.add(sizedFile("w/" + nameOf(0) + "/beneath", 5)));
    const std::shared_ptr<ArchiveTree> tree = builder.finish({});
    const ArchiveNode* folder = tree->node("w");
    ASSERT_NE(folder, nullptr);
    ASSERT_EQ(folder->children().size(), row.width);
    for (std::size_t i = 0; i < row.width; ++i) {
      const ArchiveNode* child = folder->children()[i];
      ASSERT_EQ(child->name(), nameOf(i));
      ASSERT_EQ(child->parent(), folder);
      if (i > 0) {
        ASSERT_EQ(child->size(), static_cast<std::int64_t>(i));
      }
    }
    EXPECT_TRUE(folder->children()[0]->isDir());  // "beneath" lies under it
    EXPECT_EQ(tree->fileCount(), static_cast<std::int64_t>(row.width + others));
  }
}

TEST(TreeGrowth, StopTakesBackFoldersAcrossABlockBoundary) {
  // 4090 files fill most of the first block of nodes; the folders made for
  // the deep entry run into the second when the budget ends the build.
  std::vector<RawEntry> entries;
  for (int i = 0; i < 4090; ++i) entries.push_back(sizedFile("f" + std::to_string(i)));
  std::string deep = "d";
  for (int level = 0; level < 20; ++level) deep += "/d";
  entries.push_back(sizedFile(deep + "/leaf"));
  entries.push_back(sizedFile("after"));
  for (const std::int64_t maxNodes : {4090, 4100, 4111, 4112}) {
    SCOPED_TRACE(maxNodes);
    ArchiveTreeBuilder builder({.maxNodes = maxNodes});
    bool isPlaced = true;
    for (const RawEntry& entry : entries) {
      isPlaced = builder.add(RawEntry(entry));
      if (!isPlaced) break;
    }
    const bool fitsDeep = maxNodes >= 4090 + 22;
    EXPECT_EQ(builder.hasEntry(deep + "/leaf"), fitsDeep);
    EXPECT_EQ(builder.hasEntry("d"), false);  // made for the entry, never listed
    const std::shared_ptr<ArchiveTree> tree = builder.finish({});
    EXPECT_EQ(tree->nodeCount(), fitsDeep ? 4090 + 22 : 4090);
    EXPECT_EQ(tree->node("d") != nullptr, fitsDeep);
    EXPECT_FALSE(tree->isComplete());
    EXPECT_FALSE(isPlaced);
  }
}

}  // namespace
}  // namespace vexel
