#include "workspace/workspace.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

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

// Sets an environment variable for one test and puts it back after.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : mName(name) {
    if (const char* old = getenv(name)) mOld = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (mOld) {
      setenv(mName, mOld->c_str(), 1);
    } else {
      unsetenv(mName);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* mName;
  std::optional<std::string> mOld;
};

// A URL too long for one argument goes to the opener as a hand-over, which
// the receiver takes back once; shorter ones go as they are. The hand-over
// folder must be the user's own and closed to others, the file a plain one
// of the user's: anything else is refused, whoever made it.
TEST_F(WorkspaceTest, HandsLongURLsOverThroughAPrivateFile) {
  test::TempDir dir;
  const std::filesystem::path log = dir / "opened";
  const std::filesystem::path opener =
      dir.write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log.string() + "'\n");
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  std::filesystem::create_directories(dir / "run");
  std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
  const ScopedVariable path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
  const ScopedVariable runtime("XDG_RUNTIME_DIR", (dir / "run").string());
  Workspace& workspace = Workspace::shared();
  workspace.setHandsURLsToSystem(true);
  const auto lastOpened = [&] {
    std::ifstream in(log);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last;
  };

  const std::string small = "vexel://compress?format=zip&path=/tmp/a.txt";
  const std::string large =
      "vexel://compress?format=zip&path=/tmp/" + std::string(Workspace::kLongestHandedURL, 'x');
  EXPECT_TRUE(workspace.openURL(*URL::fromString(small)));
  EXPECT_EQ(lastOpened(), small);
  EXPECT_EQ(workspace.receivedURL(small), small);

  EXPECT_TRUE(workspace.openURL(*URL::fromString(large)));
  const std::string handed = lastOpened();
  EXPECT_TRUE(handed.starts_with("vexel://compress?handover=")) << handed.substr(0, 100);
  EXPECT_LT(handed.size(), 100U);
  EXPECT_EQ(workspace.openedURLs().back().url.string(), large);  // recorded as opened
  const std::string token = handed.substr(handed.find('=') + 1);
  EXPECT_EQ(workspace.receivedURL("vexel://extract?handover=" + token), std::nullopt);
  // That attempt used it up, as any taking does.
  EXPECT_EQ(workspace.receivedURL(handed), std::nullopt);

  const std::filesystem::path folder = dir / "run/vexel-handover";
  const struct {
    const char* name;
    std::function<void(const std::string& token)> spoil;
  } rows[] = {
      {"as handed over", [](const std::string&) {}},
      {"a folder others can enter", [&](const std::string&) { ::chmod(folder.c_str(), 0755); }},
      {"a file others can read",
       [&](const std::string& name) { ::chmod((folder / name).c_str(), 0644); }},
      {"a link in its place",
       [&](const std::string& name) {
         std::filesystem::rename(folder / name, dir / "elsewhere");
         std::filesystem::create_symlink(dir / "elsewhere", folder / name);
       }},
      {"a named pipe in its place, which no one writes",
       [&](const std::string& name) {
         std::filesystem::remove(folder / name);
         ASSERT_EQ(::mkfifo((folder / name).c_str(), 0600), 0);
       }},
      {"another user's folder",
       [&](const std::string&) {
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
         }
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ::chmod(folder.c_str(), 0700);
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    }
    ASSERT_TRUE(workspace.openURL(*URL::fromString(large)));
    const std::string url = lastOpened();
    row.spoil(url.substr(url.find('=') + 1));
    const bool kept = std::string_view(row.name) == "as handed over" ||
                      (std::string_view(row.name) == "another user's folder" && ::geteuid() != 0);
    EXPECT_EQ(workspace.receivedURL(url), kept ? std::optional<std::string>(large) : std::nullopt);
  }
  workspace.setHandsURLsToSystem(false);
}

}  // namespace
}  // namespace vexel::platform
