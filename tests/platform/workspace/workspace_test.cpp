#include "workspace/workspace.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexel::platform {
namespace {

class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Workspace::shared().setHandsURLsToSystem(false);
    Workspace::shared().clearOpenedURLs();
  }
  void TearDown() override { Workspace::shared().clearOpenedURLs(); }
};

TEST_F(WorkspaceTest, RecordsOpenedURLsInOrderWithTheirConfiguration) {
  Workspace& workspace = Workspace::shared();
  const URL first = *URL::fromString("vexel://sync");
  const URL second = *URL::fromString("vexel://open?path=/tmp/a.zip");
  std::vector<bool> outcomes;
  workspace.openURL(first, {.activates = false, .addsToRecentItems = false},
                    [&](bool opened) { outcomes.push_back(opened); });
  EXPECT_TRUE(workspace.openURL(second));
  workspace.openURL(second, {}, nullptr);

  EXPECT_EQ(outcomes, std::vector<bool>{true});
  const std::vector<OpenedURL> expected = {
      {first, OpenConfiguration{.activates = false, .addsToRecentItems = false}, true},
      {second, std::nullopt, true},
      {second, OpenConfiguration{.activates = true, .addsToRecentItems = true}, true},
  };
  EXPECT_EQ(workspace.openedURLs(), expected);

  workspace.clearOpenedURLs();
  EXPECT_TRUE(workspace.openedURLs().empty());
}

TEST_F(WorkspaceTest, RefusesFileURLsNamingNothing) {
  Workspace& workspace = Workspace::shared();
  std::vector<bool> outcomes;
  workspace.openURL(URL::fileURL("/nonexistent/vexel/a.zip", false), {},
                    [&](bool opened) { outcomes.push_back(opened); });
  EXPECT_EQ(outcomes, std::vector<bool>{false});
  EXPECT_FALSE(workspace.openURL(URL::fileURL("/nonexistent/vexel/b.zip", false)));
  EXPECT_TRUE(workspace.openedURLs().empty());

  EXPECT_TRUE(workspace.openURL(URL::fileURL("/", true)));
  EXPECT_EQ(workspace.openedURLs().size(), 1U);
}

}  // namespace
}  // namespace vexel::platform
