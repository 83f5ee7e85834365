#include "extraction/internal/extraction_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/archive_error.h"

namespace vexel::extraction_internal {
namespace {

using Action = Step::Action;

PlannedEntry file(std::string path) { return {.path = std::move(path), .kind = EntryKind::file}; }
PlannedEntry folder(std::string path) {
  return {.path = std::move(path), .kind = EntryKind::folder};
}
PlannedEntry link(std::string path, std::string target) {
  return {.path = std::move(path), .kind = EntryKind::symlink, .target = std::move(target)};
}
PlannedEntry hard(std::string path, std::string target) {
  return {.path = std::move(path), .kind = EntryKind::hardLink, .target = std::move(target)};
}
PlannedEntry special(std::string path) {
  return {.path = std::move(path), .kind = EntryKind::special};
}

// `depth` folders x0/x1/.../x<depth-1>.
std::string deepFolder(int depth) {
  std::string path;
  for (int k = 0; k < depth; ++k)
    path += (k == 0 ? "" : "/") + std::string("x") + std::to_string(k);
  return path;
}

std::string climbs(int levels) {
  std::string path;
  for (int k = 0; k < levels; ++k) path += "../";
  return path;
}

TEST(ExtractionPlan, RefusesOrLeavesOutWhatWouldLandOutside) {
  const struct {
    const char* name;
    std::vector<PlannedEntry> entries;
    std::string refusal;               // "" when the archive is extracted
    std::vector<Action> actions = {};  // per entry, when extracted
  } rows[] = {
      {"plain",
       {folder("./"), file("./a/b.txt"), folder("a/")},
       "",
       {Action::skip, Action::file, Action::folder}},
      {"absolute", {file("/etc/passwd")}, "条目“/etc/passwd”是绝对路径"},
      {"parent", {file("ok/../../up.txt")}, "条目“ok/../../up.txt”指向解压位置之外"},
      {"parent at the end", {folder("a/..")}, "指向解压位置之外"},
      {"empty file name", {file("")}, "没有名字的文件或链接"},
      {"a ./ link", {link("./", "/home/user")}, "没有名字的文件或链接（“./”）"},
      {"file beneath a link", {link("l", "."), file("l/f")}, "条目“l/f”位于链接“l”之下"},
      {"beneath a later link", {file("l/f"), link("l", "sub")}, "位于链接“l”之下"},
      {"file beneath a file", {file("a"), file("a/b")}, "条目“a/b”位于文件“a”之下"},
      {"file and folder", {folder("a"), file("a")}, "既是文件又是文件夹"},
      {"link inside",
       {file("d/a.txt"), link("d/l", "../d/./a.txt")},
       "",
       {Action::file, Action::symlink}},
      {"link out", {link("l", "../x")}, "", {Action::skip}},
      {"absolute link", {link("l", "/etc")}, "", {Action::skip}},
      {"empty target", {link("l", "")}, "", {Action::skip}},
      // x0/.../x11/r leads to y0; q climbs three levels from there: out.
      {"out through another link",
       {folder(deepFolder(12)), folder("y0"), link(deepFolder(12) + "/r", climbs(12) + "y0"),
        link("q", deepFolder(12) + "/r/../../../victim/.ssh")},
       "",
       {Action::folder, Action::folder, Action::symlink, Action::skip}},
      {"chain out",
       {link("a", "b"), link("b", "c/.."), link("c", "../..")},
       "",
       {Action::skip, Action::skip, Action::skip}},
      {"chain inside",
       {link("a", "b"), link("b", "c"), file("c")},
       "",
       {Action::symlink, Action::symlink, Action::file}},
      {"loop", {link("a", "b"), link("b", "a")}, "", {Action::skip, Action::skip}},
      {"itself", {link("a", "./a")}, "", {Action::skip}},
      {"up from a link's place",
       {folder("d/e"), link("d/e/up", ".."), link("z", "d/e/up/../..")},
       "",
       {Action::folder, Action::symlink, Action::skip}},
      {"hard link to a file", {file("a"), hard("b", "./a")}, "", {Action::file, Action::hardLink}},
      {"hard link to nothing", {hard("b", "a")}, "", {Action::skip}},
      {"hard link out", {hard("b", "../a")}, "", {Action::skip}},
      {"hard link to a folder", {folder("d"), hard("b", "d")}, "", {Action::folder, Action::skip}},
      {"hard link chain",
       {file("a"), hard("b", "a"), hard("c", "b")},
       "",
       {Action::file, Action::hardLink, Action::hardLink}},
      {"devices left out", {special("dev/sda"), file("dev/x")}, "", {Action::skip, Action::file}},
      {"the later file of a name", {file("a"), file("a")}, "", {Action::skip, Action::file}},
      {"up from the top folder, which becomes the result",
       {folder("top"), file("top/r"), link("top/up", ".."), link("top/sib", "../victim")},
       "",
       {Action::folder, Action::file, Action::skip, Action::skip}},
      {"up from a link's own folder, the only top one", {link("top/up", "..")}, "", {Action::skip}},
      {"up from the top folder and into it again",
       {folder("top"), file("top/r"), link("top/again", "../top/r"), link("top/other", "../topx")},
       "",
       {Action::folder, Action::file, Action::symlink, Action::skip}},
      {"the top folder itself is inside",
       {folder("top"), link("top/d/self", "..")},
       "",
       {Action::folder, Action::symlink}},
      {"up to the destination beside other top entries",
       {file("a"), folder("b"), link("b/up", "..")},
       "",
       {Action::file, Action::folder, Action::symlink}},
      {"out through a link of another letter case",
       {folder("d/e"), link("d/e/y", ".."), link("d/e/l", "Y/../../.."), file("z")},
       "",
       {Action::folder, Action::symlink, Action::skip, Action::file}},
      {"out through a link in another Unicode form",
       {folder("d/e"), link("d/e/\u00e9", ".."), link("d/e/l", "e\u0301/../../.."), file("z")},
       "",
       {Action::folder, Action::symlink, Action::skip, Action::file}},
      {"two links of one caseless name",
       {link("a", "x"), link("A", "x"), file("x")},
       "",
       {Action::skip, Action::skip, Action::file}},
      {"a hard link keeps the file a later one replaces",
       {file("a"), hard("h", "a"), file("a")},
       "",
       {Action::file, Action::hardLink, Action::file}},
      {"a hard link after the replacement",
       {file("a"), file("a"), hard("h", "a")},
       "",
       {Action::skip, Action::file, Action::hardLink}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ExtractionPlan plan;
    for (const PlannedEntry& entry : row.entries) plan.add(entry);
    if (!row.refusal.empty()) {
      try {
        plan.decide();
        ADD_FAILURE() << "not refused";
      } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ArchiveError::Kind::failed);
        EXPECT_NE(error.message().find(row.refusal), std::string::npos) << error.message();
        EXPECT_TRUE(error.message().starts_with("为了安全，没有解压：")) << error.message();
      }
      continue;
    }
    plan.decide();
    std::vector<Action> actions;
    for (const Step& step : plan.steps()) actions.push_back(step.action);
    EXPECT_EQ(actions, row.actions);
  }
}

TEST(ExtractionPlan, CountsWhatIsLeftOutAndCleansPaths) {
  ExtractionPlan plan;
  plan.add({.path = "./docs//a.txt", .kind = EntryKind::file, .size = 10});
  plan.add({.path = "b.bin", .kind = EntryKind::file, .size = 5});
  plan.add(link("out", "/etc/passwd"));
  plan.add(hard("h", "missing"));
  plan.add(special("fifo"));
  plan.add(hard("h2", "docs/a.txt"));
  plan.decide();
  EXPECT_EQ(plan.fileBytes(), 15);
  EXPECT_EQ(plan.linksLeftOut(), 2);
  EXPECT_EQ(plan.specialsLeftOut(), 1);
  EXPECT_EQ(plan.steps()[0].path, "docs/a.txt");
  EXPECT_EQ(plan.steps()[5].target, "docs/a.txt");
  // A hard link to a file before it is made at its place; to one after, last.
  ExtractionPlan links;
  for (const PlannedEntry& entry : {file("a"), hard("h", "a"), hard("k", "b"), file("b")})
    links.add(entry);
  links.decide();
  EXPECT_TRUE(links.steps()[1].linksNow);
  EXPECT_FALSE(links.steps()[2].linksNow);

  EXPECT_EQ(cleanPath("./a//b/"), "a/b");
  EXPECT_EQ(cleanPath("."), "");
  EXPECT_EQ(cleanPath("a/../b"), std::nullopt);
  EXPECT_EQ(cleanPath("/a"), std::nullopt);
  EXPECT_EQ(cleanPath("a\\..\\b"), "a\\..\\b");  // one name here: "\" separates nothing
}

TEST(ExtractionPlan, StopsWhenLate) {
  ExtractionPlan plan;
  for (int k = 0; k < 70000; ++k) plan.add(link("l" + std::to_string(k), "a/b/c"));
  try {
    plan.decide([] { return true; });
    ADD_FAILURE() << "not stopped";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::time));
  }
}

}  // namespace
}  // namespace vexel::extraction_internal
