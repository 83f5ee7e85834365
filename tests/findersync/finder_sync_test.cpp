#include "findersync/finder_sync.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "workspace/workspace.h"

namespace vexel {
namespace {

using namespace vexel::platform;  // the stand-ins the extension talks to

constexpr auto kItems = FIMenuKind::contextualMenuForItems;

// A selected item: a file, or a folder (its URL has a directory path).
struct Item {
  std::string path;
  bool isFolder = false;
};

class FinderSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Workspace::shared().setHandsURLsToSystem(false);
    select(std::nullopt);
    FinderSyncController::defaultController().setDirectoryURLs({});
    Workspace::shared().clearOpenedURLs();
  }
  void TearDown() override { Workspace::shared().clearOpenedURLs(); }

  static void select(std::optional<std::vector<Item>> items) {
    std::optional<std::vector<URL>> urls;
    if (items) {
      urls.emplace();
      for (const Item& item : *items) urls->push_back(URL::fileURL(item.path, item.isFolder));
    }
    FinderSyncController::defaultController().setSelectedItemURLs(std::move(urls));
  }

  // The URLs opened after the start-up URL, as text.
  static std::vector<std::string> handOffs() {
    std::vector<std::string> urls;
    for (const OpenedURL& opened : Workspace::shared().openedURLs()) {
      if (opened.url.string() != FinderSync::startupURL) urls.push_back(opened.url.string());
    }
    return urls;
  }

  static std::vector<std::string> selectors(const std::optional<Menu>& menu) {
    std::vector<std::string> result;
    if (menu) {
      for (const MenuItem& item : menu->items()) result.push_back(item.action());
    }
    return result;
  }
};

const std::vector<std::string> kAllFive = {
    "extractHere:", "openInVexel:", "compressZip:", "compress7z:", "compressWithOptions:"};
const std::vector<std::string> kCompressOnly = {
    "compressZip:", "compress7z:", "compressWithOptions:"};

TEST_F(FinderSyncTest, CreationMonitorsRootAndOpensStartupURLQuietly) {
  FinderSync extension;
  const std::set<URL> expectedFolders = {URL::fileURL("/", true)};
  EXPECT_EQ(FinderSyncController::defaultController().directoryURLs(), expectedFolders);

  const std::vector<OpenedURL> expected = {
      {*URL::fromString("vexel://sync"),
       OpenConfiguration{.activates = false, .addsToRecentItems = false}, true}};
  EXPECT_EQ(Workspace::shared().openedURLs(), expected);
  EXPECT_EQ(FinderSync::runtimeClassName, "VexelFinderSync");
}

TEST_F(FinderSyncTest, MenuOffersExtractAndOpenOnlyForAllArchiveSelections) {
  struct Row {
    const char* name;
    std::vector<Item> selection;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"two zips", {{"/tmp/a.zip"}, {"/tmp/b.zip"}}, kAllFive},
      {"zip and txt", {{"/tmp/a.zip"}, {"/tmp/b.txt"}}, kCompressOnly},
      {"txt before zip", {{"/tmp/b.txt"}, {"/tmp/a.zip"}}, kCompressOnly},
      {"folder named like an archive", {{"/tmp/x.zip", true}}, kCompressOnly},
      {"zip with an archive-named folder", {{"/tmp/a.zip"}, {"/tmp/x.7z", true}}, kCompressOnly},
      {"volume parts", {{"/tmp/name.part2.rar"}, {"/tmp/name.z01"}}, kAllFive},
      {"upper case and double extension", {{"/tmp/A.ZIP"}, {"/tmp/b.tar.gz"}}, kAllFive},
      {"a plain folder", {{"/tmp/photos", true}}, kCompressOnly},
      {"no extension", {{"/tmp/README"}}, kCompressOnly},
  };
  FinderSync extension;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    select(row.selection);
    const std::optional<Menu> menu = extension.menu(kItems);
    ASSERT_TRUE(menu);
    EXPECT_EQ(selectors(menu), row.expected);
  }
}

TEST_F(FinderSyncTest, MenuItemsCarryTheirTitlesAndPointAtTheExtension) {
  FinderSync extension;
  select(std::vector<Item>{{"/tmp/a.zip"}});
  const std::optional<Menu> menu = extension.menu(kItems);
  ASSERT_TRUE(menu);
  EXPECT_EQ(menu->title(), "");
  const std::vector<std::string> titles = {"用 Vexel 解压到这里", "用 Vexel 打开",
                                           "用 Vexel 压缩成 ZIP", "用 Vexel 压缩成 7z",
                                           "用 Vexel 压缩…"};
  ASSERT_EQ(menu->items().size(), titles.size());
  for (size_t i = 0; i < titles.size(); ++i) {
    const MenuItem& item = menu->items()[i];
    SCOPED_TRACE(item.action());
    EXPECT_EQ(item.title(), titles[i]);
    EXPECT_EQ(item.keyEquivalent(), "");
    EXPECT_EQ(item.target(), &extension);
  }
}

TEST_F(FinderSyncTest, NoMenuForOtherKindsOrWithoutSelection) {
  FinderSync extension;
  select(std::vector<Item>{{"/tmp/a.zip"}});
  for (const std::uint64_t kind : {1U, 2U, 3U, 4U, 42U}) {
    SCOPED_TRACE(kind);
    EXPECT_FALSE(extension.menu(static_cast<FIMenuKind>(kind)));
  }

  for (const auto& selection : {std::optional<std::vector<Item>>(),
                                std::optional<std::vector<Item>>(std::vector<Item>{})}) {
    SCOPED_TRACE(selection ? "empty selection" : "absent selection");
    select(selection);
    EXPECT_FALSE(extension.menu(kItems));
    for (const FinderSyncCommand& command : FinderSync::commands()) {
      EXPECT_TRUE(extension.performAction(command.selector, nullptr));
    }
    EXPECT_TRUE(handOffs().empty());
  }
}

TEST_F(FinderSyncTest, CommandsSendTheirActionFormatAndPathsInOrder) {
  struct Row {
    std::string selector;
    std::string expected;
  };
  const Row rows[] = {
      {"extractHere:", "vexel://extract?path=/tmp/a.zip&path=/tmp/b.zip&path=/tmp/dir"},
      {"openInVexel:", "vexel://open?path=/tmp/a.zip&path=/tmp/b.zip&path=/tmp/dir"},
      {"compressZip:", "vexel://compress?format=zip&path=/tmp/a.zip&path=/tmp/b.zip&path=/tmp/dir"},
      {"compress7z:", "vexel://compress?format=7z&path=/tmp/a.zip&path=/tmp/b.zip&path=/tmp/dir"},
      {"compressWithOptions:", "vexel://compress?path=/tmp/a.zip&path=/tmp/b.zip&path=/tmp/dir"},
  };
  FinderSync extension;
  // A folder's path goes without its trailing "/".
  select(std::vector<Item>{{"/tmp/a.zip"}, {"/tmp/b.zip"}, {"/tmp/dir", true}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.selector);
    Workspace::shared().clearOpenedURLs();
    EXPECT_TRUE(extension.performAction(row.selector, nullptr));
    const std::vector<OpenedURL> opened = Workspace::shared().openedURLs();
    ASSERT_EQ(opened.size(), 1U);
    EXPECT_EQ(opened[0].url.string(), row.expected);
    EXPECT_FALSE(opened[0].configuration);  // a plain open, no configuration
  }
  EXPECT_FALSE(extension.performAction("compressRar:", nullptr));
  EXPECT_FALSE(extension.performAction("compressZip", nullptr));
}

TEST_F(FinderSyncTest, ChosenItemSendsTheSelectionCurrentWhenItRuns) {
  FinderSync extension;
  select(std::vector<Item>{{"/tmp/a.zip"}, {"/tmp/b.zip"}});
  const std::optional<Menu> menu = extension.menu(kItems);
  ASSERT_TRUE(menu);
  ASSERT_EQ(menu->items().at(1).action(), "openInVexel:");

  select(std::vector<Item>{{"/tmp/c.txt"}});
  EXPECT_TRUE(menu->items().at(1).performAction());
  EXPECT_EQ(handOffs(), std::vector<std::string>{"vexel://open?path=/tmp/c.txt"});
}

TEST_F(FinderSyncTest, PathsWithQuerySyntaxStayOnePathItem) {
  FinderSync extension;
  select(std::vector<Item>{{"/tmp/a&path=/etc/passwd"}, {"/tmp/c++ notes.zip"}});
  EXPECT_TRUE(extension.performAction("openInVexel:", nullptr));
  EXPECT_EQ(handOffs(), std::vector<std::string>{"vexel://open?path=/tmp/a%26path%3D/etc/passwd"
                                                 "&path=/tmp/c%2B%2B%20notes.zip"});
}

}  // namespace
}  // namespace vexel
