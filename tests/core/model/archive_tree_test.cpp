#include "model/archive_tree.h"

#include <gtest/gtest.h>

#include <limits>

namespace vexel {
namespace {

using std::chrono::sys_days;
using std::chrono::sys_seconds;
using namespace std::chrono_literals;

sys_seconds day(int d) { return sys_seconds(sys_days(std::chrono::year(2024) / 1 / d)); }

RawEntry file(std::string path, std::int64_t size = 0, std::optional<sys_seconds> date = {},
              bool encrypted = false) {
  return RawEntry{.path = std::move(path),
                  .isDir = false,
                  .size = size,
                  .modified = date,
                  .crc = "",
                  .encrypted = encrypted,
                  .method = ""};
}

RawEntry folder(std::string path, std::optional<sys_seconds> date = {}, bool encrypted = false) {
  return RawEntry{.path = std::move(path),
                  .isDir = true,
                  .size = 999,
                  .modified = date,
                  .crc = "ABCD",
                  .encrypted = encrypted,
                  .method = "Copy"};
}

std::vector<std::string> names(const ArchiveNode& node) {
  std::vector<std::string> out;
  for (const auto& child : node.children()) out.emplace_back(child->name());
  return out;
}

std::vector<std::string> descendantPaths(const ArchiveNode& node) {
  std::vector<std::string> out;
  for (const ArchiveNode* d : node.descendants()) out.emplace_back(d->path());
  return out;
}

ArchiveTree build(std::vector<RawEntry> entries) { return ArchiveTree({}, std::move(entries)); }

TEST(RawEntry, DefaultsAndValueSemantics) {
  RawEntry entry = file("a.txt", 5);
  EXPECT_FALSE(entry.packed);
  EXPECT_FALSE(entry.modified);
  EXPECT_FALSE(entry.block);
  RawEntry copy = entry;
  copy.path = "b.txt";
  EXPECT_EQ(entry.path, "a.txt");

  ArchiveProperties properties;
  EXPECT_EQ(properties.volumes, 1);
  EXPECT_TRUE(properties.raw.empty());
  EXPECT_EQ(properties.type, "");
  EXPECT_EQ(properties.physicalSize, 0);
}

TEST(ArchiveTree, EmptyListGivesRootAlone) {
  ArchiveProperties properties;
  properties.type = "zip";
  properties.raw = {{"k", "v"}};
  ArchiveTree tree(properties, {});
  EXPECT_TRUE(tree.root().children().empty());
  EXPECT_TRUE(tree.root().isRoot());
  EXPECT_TRUE(tree.root().isDir());
  EXPECT_EQ(tree.root().name(), "");
  EXPECT_EQ(tree.fileCount(), 0);
  EXPECT_EQ(tree.dirCount(), 0);
  EXPECT_EQ(tree.totalSize(), 0);
  EXPECT_EQ(tree.totalPacked(), 0);
  EXPECT_FALSE(tree.hasEncryptedFiles());
  EXPECT_FALSE(tree.hasMacMetadata());
  EXPECT_FALSE(tree.root().modified());
  EXPECT_EQ(tree.properties().type, "zip");
  EXPECT_EQ(tree.properties().raw.size(), 1u);
}

TEST(ArchiveTree, CreatesMissingFoldersAndMergesLaterFolderEntries) {
  auto tree = build({file("a/b/c.txt"), file("a/d.txt"), folder("a/b", day(2), true)});
  EXPECT_EQ(names(tree.root()), std::vector<std::string>{"a"});
  const ArchiveNode* a = tree.node("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(names(*a), (std::vector<std::string>{"b", "d.txt"}));
  const ArchiveNode* b = tree.node("a/b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(names(*b), std::vector<std::string>{"c.txt"});
  EXPECT_EQ(b->path(), "a/b");
  EXPECT_EQ(b->parent(), a);
  EXPECT_EQ(b->modified(), day(2));
  EXPECT_TRUE(b->encrypted());
  EXPECT_EQ(b->size(), 0);  // a folder entry's own size is never stored
  EXPECT_EQ(b->crc(), "");
  EXPECT_FALSE(tree.hasEncryptedFiles());  // folder entries never set it
  EXPECT_EQ(tree.dirCount(), 2);
  EXPECT_EQ(tree.fileCount(), 2);
}

TEST(ArchiveTree, DuplicatesAndConflictingKinds) {
  auto tree = build({
      file("x.txt", 1, day(1)),
      file("x.txt", 2, day(2), true),           // same path again: ignored entirely
      folder("dir"), file("dir", 7),            // a file where a folder stands: dropped
      file("f", 3), folder("f", day(5), true),  // a folder entry for a file: updates the file
  });
  const ArchiveNode* x = tree.node("x.txt");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->size(), 1);
  EXPECT_EQ(x->modified(), day(1));
  EXPECT_FALSE(tree.hasEncryptedFiles());
  ASSERT_NE(tree.node("dir"), nullptr);
  EXPECT_TRUE(tree.node("dir")->isDir());
  const ArchiveNode* f = tree.node("f");
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->isDir());
  EXPECT_EQ(f->modified(), day(5));
  EXPECT_TRUE(f->encrypted());
  EXPECT_EQ(names(tree.root()), (std::vector<std::string>{"x.txt", "dir", "f"}));
  EXPECT_EQ(tree.fileCount(), 2);
  EXPECT_EQ(tree.dirCount(), 1);
}

// A file that other entries lie beneath (a link "path" beside
// "path/file.txt", as in rubyzip's path-traversal archives) becomes a folder
// keeping its own date: nothing beneath it may be lost to the outline, the
// counts or the index. A later file entry of its path changes nothing.
TEST(ArchiveTree, FileWithEntriesBeneathBecomesAFolder) {
  auto tree = build(
      {file("a", 1, day(3)), file("a/b", 2), file("a", 5), file("c/d", 4), file("c/d/e/f", 8)});
  const ArchiveNode* a = tree.node("a");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->isDir());
  EXPECT_EQ(a->modified(), day(3));
  EXPECT_EQ(a->size(), 2);
  EXPECT_EQ(names(*a), std::vector<std::string>{"b"});
  EXPECT_EQ(descendantPaths(tree.root()),
            (std::vector<std::string>{"a", "a/b", "c", "c/d", "c/d/e", "c/d/e/f"}));
  EXPECT_TRUE(tree.node("c/d")->isDir());
  EXPECT_EQ(tree.node("c/d")->fileCount(), 1);
  EXPECT_EQ(tree.fileCount(), 2);
  EXPECT_EQ(tree.dirCount(), 4);
  EXPECT_EQ(tree.totalSize(), 10);
}

TEST(ArchiveTree, BigFoldersKeepOneNodePerName) {
  // Past a few children a folder looks names up in a table of its own:
  // names seen before and after that point, and after other folders were
  // filled, must all be found again, also under a file.
  std::vector<RawEntry> entries;
  for (int i = 0; i < 20; ++i) entries.push_back(file("f/n" + std::to_string(i), i));
  for (int i = 0; i < 30; ++i) entries.push_back(file("g/m" + std::to_string(i)));
  for (int i = 19; i >= 0; --i) entries.push_back(file("f/n" + std::to_string(i), 100 + i));
  entries.push_back(file("x", 7));
  for (int i = 0; i < 12; ++i) entries.push_back(file("x/c" + std::to_string(i)));
  entries.push_back(folder("x/c5", day(2)));
  entries.push_back(file("f/n3/deeper"));

  ArchiveTreeBuilder builder;
  for (const RawEntry& entry : entries) ASSERT_TRUE(builder.add(RawEntry(entry)));
  for (const char* path : {"f/n0", "f/n8", "f/n9", "f/n19", "g/m29", "x/c11", "f/n3/deeper"}) {
    EXPECT_TRUE(builder.hasEntry(path)) << path;
  }
  EXPECT_FALSE(builder.hasEntry("f/n20"));
  const std::shared_ptr<ArchiveTree> tree = builder.finish({});
  EXPECT_EQ(tree->node("f")->children().size(), 20u);
  EXPECT_EQ(tree->node("g")->children().size(), 30u);
  EXPECT_EQ(tree->node("x")->children().size(), 12u);
  for (int i = 0; i < 20; ++i) {
    if (i == 3) continue;  // a folder now: "f/n3/deeper" lies beneath it
    EXPECT_EQ(tree->node("f/n" + std::to_string(i))->size(), i);
  }
  EXPECT_TRUE(tree->node("f/n3")->isDir());
  EXPECT_EQ(tree->node("x/c5")->modified(), day(2));
  EXPECT_EQ(names(*tree->node("f/n3")), std::vector<std::string>{"deeper"});
}

TEST(ArchiveTree, LeavesOutMacMetadata) {
  auto tree = build({file("__MACOSX/x/._y"), folder("__MACOSX"), file("x/__MACOSX/y"),
                     file("__MACOSXdata"), file("__macosx/z")});
  EXPECT_TRUE(tree.hasMacMetadata());
  EXPECT_EQ(descendantPaths(tree.root()),
            (std::vector<std::string>{"x", "x/__MACOSX", "x/__MACOSX/y", "__MACOSXdata", "__macosx",
                                      "__macosx/z"}));
  EXPECT_FALSE(build({file("a")}).hasMacMetadata());
}

TEST(ArchiveTree, PackedFallsBackToSize) {
  RawEntry withPacked = file("p", 100);
  withPacked.packed = 40;
  withPacked.crc = "1234ABCD";
  withPacked.method = "LZMA2:24";
  auto tree = build({withPacked, file("q", 50)});
  EXPECT_EQ(tree.node("p")->packed(), 40);
  EXPECT_EQ(tree.node("p")->crc(), "1234ABCD");
  EXPECT_EQ(tree.node("p")->method(), "LZMA2:24");
  EXPECT_EQ(tree.node("q")->packed(), 50);
  EXPECT_EQ(tree.totalPacked(), 90);
  EXPECT_EQ(tree.totalSize(), 150);
}

TEST(ArchiveTree, LookupIgnoresEmptyPieces) {
  auto tree = build({file("a/b/c")});
  EXPECT_EQ(tree.node("a//b/"), tree.node("a/b"));
  EXPECT_NE(tree.node("a/b"), nullptr);
  EXPECT_EQ(tree.node("/"), &tree.root());
  EXPECT_EQ(tree.node(""), &tree.root());
  EXPECT_EQ(tree.node("a/B"), nullptr);
  EXPECT_EQ(tree.node("a/b/c/d"), nullptr);
}

TEST(ArchiveTree, NamesSplitAtTheLastSlashWhereverItFalls) {
  // The last "/" is looked for a word at a time: it falls at every offset of
  // a word here, after doubled slashes, before "." (one bit from "/"), next
  // to "¯" (C2 AF: a "/" with the high bit set) and further from the end
  // than one word.
  std::vector<RawEntry> entries;
  for (std::size_t f = 1; f <= 17; ++f) {
    for (std::size_t n = 1; n <= 17; ++n) {
      const std::string folder = "p¯/" + std::string(f, 'd');
      entries.push_back(file(folder + (n % 4 == 0 ? "//" : "/") + "." + std::string(n, 'n') + "¯"));
    }
  }
  auto tree = build(entries);
  for (std::size_t f = 1; f <= 17; ++f) {
    for (std::size_t n = 1; n <= 17; ++n) {
      const std::string folder = "p¯/" + std::string(f, 'd');
      const std::string name = "." + std::string(n, 'n') + "¯";
      const ArchiveNode* node = tree.node(folder + "/" + name);
      ASSERT_NE(node, nullptr) << folder << "/" << name;
      EXPECT_EQ(node->name(), name);
      EXPECT_EQ(node->parent()->path(), folder);
    }
  }
  EXPECT_EQ(tree.fileCount(), 17 * 17);
}

TEST(ArchiveTree, LeadingSlashesAndRootPathsEndAtTheRoot) {
  auto tree = build({file("/abs/x"), folder("/", day(3)), file("/"), file(""), folder("")});
  EXPECT_EQ(names(tree.root()), std::vector<std::string>{"abs"});
  ASSERT_NE(tree.node("abs/x"), nullptr);
  EXPECT_EQ(tree.node("abs/x")->name(), "x");
  EXPECT_EQ(tree.fileCount(), 1);
}

TEST(ArchiveNode, ExtAndIsArchive) {
  auto tree = build({file("Archive.TAR.GZ"), file(".profile"), file("noext"), file("a."),
                     folder("Photos.app"), folder("box.zip"), file("x.7Z")});
  EXPECT_EQ(tree.node("Archive.TAR.GZ")->ext(), "gz");
  EXPECT_TRUE(tree.node("Archive.TAR.GZ")->isArchive());
  EXPECT_EQ(tree.node(".profile")->ext(), "");
  EXPECT_EQ(tree.node("noext")->ext(), "");
  EXPECT_EQ(tree.node("a.")->ext(), "");
  EXPECT_EQ(tree.node("Photos.app")->ext(), "app");
  EXPECT_FALSE(tree.node("box.zip")->isArchive());  // folders never are
  EXPECT_TRUE(tree.node("x.7Z")->isArchive());
  auto nested = build({file("dir/ÉTÉ.ZIP")});
  const ArchiveNode* loose = nested.node("dir/ÉTÉ.ZIP");
  ASSERT_NE(loose, nullptr);
  EXPECT_EQ(loose->ext(), "zip");
  EXPECT_EQ(loose->name(), "ÉTÉ.ZIP");
  EXPECT_EQ(loose->path(), "dir/ÉTÉ.ZIP");
  EXPECT_FALSE(loose->isRoot());
}

TEST(ArchiveTree, DescendantsArePreOrder) {
  auto tree = build({file("one/a"), file("two/b"), file("one/sub/c"), file("top")});
  EXPECT_EQ(
      descendantPaths(tree.root()),
      (std::vector<std::string>{"one", "one/a", "one/sub", "one/sub/c", "two", "two/b", "top"}));
  EXPECT_EQ(descendantPaths(*tree.node("one")),
            (std::vector<std::string>{"one/a", "one/sub", "one/sub/c"}));
  EXPECT_TRUE(tree.node("top")->descendants().empty());
}

TEST(ArchiveTreeSummary, SizesCountsAndDates) {
  auto tree = build({file("a/x", 100, day(1)), file("a/y", 250, day(3)), file("z", 50)});
  const ArchiveNode* a = tree.node("a");
  EXPECT_EQ(a->size(), 350);
  EXPECT_EQ(a->packed(), 350);
  EXPECT_EQ(a->fileCount(), 2);
  EXPECT_EQ(a->modified(), day(3));
  EXPECT_EQ(tree.totalSize(), 400);
  EXPECT_EQ(tree.root().fileCount(), 3);
  EXPECT_EQ(tree.fileCount(), 3);
  EXPECT_EQ(tree.dirCount(), 1);
  EXPECT_EQ(tree.root().modified(), day(3));
  EXPECT_EQ(tree.node("z")->fileCount(), 0);
}

TEST(ArchiveTreeSummary, OwnFolderDateWinsAndShadowsDeeperDates) {
  auto tree = build({file("f/x", 1, day(1)), file("f/y", 1, day(3)), folder("f", day(2))});
  EXPECT_EQ(tree.node("f")->modified(), day(2));
  EXPECT_EQ(tree.root().modified(), day(2));

  auto undated = build({file("g/x"), file("g/y")});
  EXPECT_FALSE(undated.node("g")->modified());
  EXPECT_FALSE(undated.root().modified());

  // Dates below a dated subfolder do not reach the folders above it.
  auto nested = build({file("p/q/r", 1, day(9)), folder("p/q", day(4)), file("p/s", 1, day(5))});
  EXPECT_EQ(nested.node("p")->modified(), day(5));
  auto nested2 = build({file("p/q/r", 1, day(9)), folder("p/q", day(6)), file("p/s", 1, day(5))});
  EXPECT_EQ(nested2.node("p")->modified(), day(6));
}

TEST(ArchiveTreeSummary, ImplicitFoldersCountLikeListedOnes) {
  auto tree = build({file("a/b/c/d.txt"), folder("e")});
  EXPECT_EQ(tree.dirCount(), 4);
  EXPECT_EQ(tree.fileCount(), 1);
  EXPECT_EQ(tree.node("a")->fileCount(), 1);
  EXPECT_EQ(tree.node("e")->fileCount(), 0);
}

TEST(ArchiveTreeSummary, SumsSaturateInsteadOfOverflowing) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  auto tree = build({file("d/a", kMax), file("d/b", kMax), file("c", 5)});
  EXPECT_EQ(tree.node("d")->size(), kMax);
  EXPECT_EQ(tree.totalSize(), kMax);
  EXPECT_EQ(tree.totalPacked(), kMax);
  auto negative = build({file("a", kMin), file("b", -1)});
  EXPECT_EQ(negative.totalSize(), kMin);
}

TEST(ArchiveTree, VeryDeepPathNeedsNoDeepStack) {
  // 100,000 levels: building, summing, enumerating and tearing down must all
  // work without recursion per level.
  constexpr size_t kDepth = 100'000;
  std::string path;
  path.reserve(kDepth * 2);
  for (size_t i = 0; i < kDepth; ++i) path += i == 0 ? "d" : "/d";
  std::string deepFile = path + "/leaf.txt";
  std::vector<RawEntry> entries;
  entries.push_back(file(deepFile, 7, day(4)));
  entries.push_back(folder(path.substr(0, 2 * 50'000 - 1), day(2)));
  entries.push_back(file("top.txt", 3));
  auto tree = std::make_unique<ArchiveTree>(ArchiveProperties{}, std::move(entries));
  EXPECT_EQ(tree->dirCount(), static_cast<std::int64_t>(kDepth));
  EXPECT_EQ(tree->fileCount(), 2);
  EXPECT_EQ(tree->totalSize(), 10);
  const ArchiveNode* leaf = tree->node(deepFile);
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->path(), deepFile);
  EXPECT_EQ(leaf->name(), "leaf.txt");
  const ArchiveNode* d1 = tree->node("d");
  EXPECT_EQ(d1->size(), 7);
  EXPECT_EQ(d1->fileCount(), 1);
  // The dated folder at level 50,000 shadows the leaf's later date above it.
  EXPECT_EQ(d1->modified(), day(2));
  EXPECT_EQ(tree->node(path)->modified(), day(4));
  const auto all = tree->root().descendants();
  ASSERT_EQ(all.size(), kDepth + 2);
  EXPECT_EQ(all[kDepth]->path(), deepFile);
  EXPECT_EQ(all.back()->path(), "top.txt");
  tree.reset();
}

// Limits end a build between or inside entries: folders made on the way
// count as nodes, the tree keeps the entries before the stop, and its
// summary holds for what it keeps.
TEST(ArchiveTree, LimitsEndTheBuild) {
  const auto entries = [] {
    return std::vector<RawEntry>{file("a/b/c/one.txt", 1), file("a/b/two.txt", 2),
                                 file("x/y/z/three.txt", 3), file("four.txt", 4)};
  };
  int asked = 0;
  constexpr auto kNoBudget = std::numeric_limits<std::int64_t>::max();
  // Limits are made in the loop: a table of std::function members trips
  // GCC 12's -Wmaybe-uninitialized at -O3.
  struct Row {
    const char* name;
    std::int64_t maxNodes;
    bool stopsAtOnce;
    std::vector<std::string> paths;
    bool isComplete;
  };
  const Row rows[] = {
      {"no limits",
       kNoBudget,
       false,
       {"a", "a/b", "a/b/c", "a/b/c/one.txt", "a/b/two.txt", "x", "x/y", "x/y/z", "x/y/z/three.txt",
        "four.txt"},
       true},
      {"budget fits exactly",
       10,
       false,
       {"a", "a/b", "a/b/c", "a/b/c/one.txt", "a/b/two.txt", "x", "x/y", "x/y/z", "x/y/z/three.txt",
        "four.txt"},
       true},
      {"budget ends between entries",
       5,
       false,
       {"a", "a/b", "a/b/c", "a/b/c/one.txt", "a/b/two.txt"},
       false},
      {"budget ends among made folders",
       7,
       false,
       {"a", "a/b", "a/b/c", "a/b/c/one.txt", "a/b/two.txt"},
       false},
      {"budget ends at the entry its folders were made for",
       8,
       false,
       {"a", "a/b", "a/b/c", "a/b/c/one.txt", "a/b/two.txt"},
       false},
      {"no nodes at all", 0, false, {}, false},
      {"asked to stop at once", kNoBudget, true, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TreeLimits limits{.maxNodes = row.maxNodes};
    if (row.stopsAtOnce) limits.shouldStop = [&] { return ++asked > 0; };
    const ArchiveTree tree({}, entries(), std::move(limits));
    EXPECT_EQ(descendantPaths(tree.root()), row.paths);
    EXPECT_EQ(tree.isComplete(), row.isComplete);
    EXPECT_EQ(tree.nodeCount(), static_cast<std::int64_t>(row.paths.size()));
  }
  EXPECT_EQ(asked, 1);

  // Deep paths that share nothing: the budget bounds the folders (those made
  // for the entry it stopped in are taken back), and the stop is asked for
  // again and again while one path is walked.
  std::vector<RawEntry> deep;
  for (int top = 0; top < 3; ++top) {
    std::string path = "t" + std::to_string(top);
    for (int level = 0; level < 20'000; ++level) path += "/d";
    deep.push_back(file(path + "/f"));
  }
  int walked = 0;
  const ArchiveTree bounded({}, std::move(deep), {.maxNodes = 50'000, .shouldStop = [&] {
                                                    ++walked;
                                                    return false;
                                                  }});
  EXPECT_EQ(bounded.nodeCount(), 2 * 20'002);
  EXPECT_EQ(bounded.fileCount(), 2);
  EXPECT_FALSE(bounded.isComplete());
  EXPECT_GE(walked, 10);
}

// Everything a tree shows, node by node, in pre-order.
std::vector<std::string> dump(const ArchiveTree& tree) {
  std::vector<std::string> out{
      "files " + std::to_string(tree.fileCount()) + " dirs " + std::to_string(tree.dirCount()) +
      (tree.isComplete() ? " complete" : " partial") + (tree.hasMacMetadata() ? " mac" : "") +
      (tree.hasEncryptedFiles() ? " encrypted" : "")};
  std::vector<const ArchiveNode*> nodes = tree.root().descendants();
  nodes.insert(nodes.begin(), &tree.root());
  for (const ArchiveNode* n : nodes) {
    const auto date = n->modified();
    out.push_back(std::string(n->path()) + "|" + std::string(n->name()) + (n->isDir() ? "/" : "") +
                  "|" + std::to_string(n->size()) + "|" + std::to_string(n->packed()) + "|" +
                  std::to_string(n->fileCount()) + "|" +
                  (date ? std::to_string(date->time_since_epoch().count()) : "-") + "|" +
                  std::string(n->crc()) + "|" + std::string(n->method()) +
                  (n->encrypted() ? "|enc" : ""));
  }
  return out;
}

TEST(ArchiveTreeBuilder, GivesTheConstructorsTree) {
  RawEntry withDetails = file("d/sum.bin", 7, day(2));
  withDetails.packed = 3;
  withDetails.crc = "1234ABCD";
  withDetails.method = "LZMA2";
  struct Row {
    const char* name;
    std::vector<RawEntry> entries;
    std::int64_t maxNodes = std::numeric_limits<std::int64_t>::max();
  };
  const std::vector<Row> rows = {
      {"empty", {}},
      {"implied and later folder entries",
       {file("a/b/c.txt", 5, day(1)), folder("a/b", day(4)), folder("a"), file("a/d", 2)}},
      {"duplicates and conflicting kinds",
       {file("x", 1), file("x", 2), folder("x", day(3)), folder("y"), file("y", 9), file("x/z")}},
      {"mac metadata and root paths",
       {file("__MACOSX/._a"), folder("__MACOSX"), folder("/", day(5)), file("/"), file("a")}},
      {"slashes and details",
       {file("/abs//x"), folder("t/", day(6)), file("t//u", 4, {}, true), withDetails}},
      {"budget ends among made folders",
       {file("a/b/c/one.txt"), file("a/two.txt"), file("x/y/z/three.txt"), file("four.txt")},
       5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<RawEntry> copy = row.entries;
    const ArchiveTree built({}, std::move(copy), TreeLimits{.maxNodes = row.maxNodes});
    ArchiveTreeBuilder builder(TreeLimits{.maxNodes = row.maxNodes});
    for (std::size_t i = 0; i < row.entries.size(); ++i) {
      // Hints, also for paths never added, change nothing.
      builder.expect(i + 2 < row.entries.size() ? row.entries[i + 2].path : "a//");
      if (!builder.add(RawEntry(row.entries[i]))) break;
    }
    builder.expect("x");
    ArchiveProperties properties;
    properties.type = "zip";
    const std::shared_ptr<ArchiveTree> grown = builder.finish(properties);
    EXPECT_EQ(dump(*grown), dump(built));
    EXPECT_EQ(grown->properties().type, "zip");
  }
}

TEST(ArchiveTreeBuilder, KnowsWhichPathsEntriesNamed) {
  ArchiveTreeBuilder builder;
  for (RawEntry entry : {file("a/b/c.txt"), folder("a"), file("d"), file("d")}) {
    ASSERT_TRUE(builder.add(std::move(entry)));
  }
  const std::vector<std::pair<std::string, bool>> rows = {
      {"a/b/c.txt", true}, {"a", true}, {"d", true},  {"a/b", false},
      {"a/b/c", false},    {"", false}, {"e", false}, {"a//b/c.txt", true}};
  for (const auto& [path, isNamed] : rows) {
    SCOPED_TRACE(path);
    EXPECT_EQ(builder.hasEntry(path), isNamed);
  }
}

}  // namespace
}  // namespace vexel
