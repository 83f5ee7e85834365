#include "spotlight/archive_text.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/archive_tree.h"
#include "model/raw_entry.h"
#include "readers/archive_error.h"
#include "support/archive_maker.h"
#include "support/temp_dir.h"

namespace {

vexel::ArchiveTree treeOf(const std::vector<std::string>& paths) {
  std::vector<vexel::RawEntry> entries;
  for (const std::string& path : paths) entries.push_back({.path = path});
  return vexel::ArchiveTree({}, std::move(entries));
}

// A listing whose time ran out before its first entry is a failure for the
// indexer, never an empty text kept as the archive's; an archive that is
// empty lists as empty.
TEST(ArchiveText, NothingListedInTimeIsAFailure) {
  const vexel::test::TempDir dir;
  vexel::test::writeFile(dir.path() / "a.zip", vexel::test::zipBytes({{.name = "a.txt"}}));
  vexel::test::writeFile(dir.path() / "empty.zip", vexel::test::zipBytes({}));
  const struct {
    const char* file;
    double limit;
    bool isFailure;
  } rows[] = {
      {"a.zip", 0.0, true},
      {"a.zip", 10.0, false},
      {"empty.zip", 10.0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " in " + std::to_string(row.limit) + " s");
    try {
      const auto listing = vexel::listForIndexing(dir.path() / row.file, row.limit);
      EXPECT_FALSE(row.isFailure);
      EXPECT_TRUE(listing.complete);
    } catch (const vexel::ArchiveError& error) {
      EXPECT_TRUE(row.isFailure) << error.message();
      EXPECT_EQ(error, vexel::ArchiveError::failed(std::string(vexel::kNothingListedInTime)));
    }
  }
}

// Every indexer cuts the text the same way: whole lines, in depth-first
// order, joined by line feeds, as many as fit.
TEST(ArchiveText, WholeLinesDepthFirstWithinTheLimit) {
  // x, x/1.txt, x/sub, x/sub/2.txt, y.txt: 1 + 1 + 7 + 1 + 5 + 1 + 11 + 1 + 5 = 33 bytes.
  const vexel::ArchiveTree tree = treeOf({"x/1.txt", "y.txt", "x/sub/2.txt"});
  struct Row {
    const char* name;
    std::size_t maxBytes;
    std::string text;
  };
  const Row rows[] = {
      {"no limit to speak of", vexel::kMaxTextContentBytes,
       "x\nx/1.txt\nx/sub\nx/sub/2.txt\ny.txt"},
      {"exactly the text", 33, "x\nx/1.txt\nx/sub\nx/sub/2.txt\ny.txt"},
      {"one byte short: the last line goes whole", 32, "x\nx/1.txt\nx/sub\nx/sub/2.txt"},
      {"a line that does not fit ends the text, shorter ones after it included", 20,
       "x\nx/1.txt\nx/sub"},
      {"the first line exactly", 1, "x"},
      {"no room at all", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(vexel::archiveText(tree.root(), row.maxBytes), row.text);
    std::vector<std::string_view> lines;
    const std::size_t size = vexel::forEachTextLine(
        tree.root(), row.maxBytes, [&](std::string_view line) { lines.push_back(line); });
    EXPECT_EQ(size, row.text.size());
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i)
      joined.append(i == 0 ? "" : "\n").append(lines[i]);
    EXPECT_EQ(joined, row.text);
  }
}

// Paths thousands of folders deep walk without recursion.
TEST(ArchiveText, DeepPathsWalkWithoutRecursion) {
  std::string path;
  for (int depth = 0; depth < 100'000; ++depth) path += depth == 0 ? "d" : "/d";
  const vexel::ArchiveTree tree = treeOf({path});
  std::size_t lines = 0;
  vexel::forEachTextLine(tree.root(), std::size_t{1} << 40, [&](std::string_view) { ++lines; });
  EXPECT_EQ(lines, 100'000U);
}

}  // namespace
