#include "handoff/extraction_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace vexel {
namespace {

ListedEntry file(std::string path) { return {.path = std::move(path)}; }
ListedEntry symlink(std::string path, std::string target) {
  return {.path = std::move(path), .isSymlink = true, .linkTarget = std::move(target)};
}

TEST(ExtractionCheck, ListedEntries) {
  const struct {
    const char* name;
    std::vector<ListedEntry> entries;
    bool safe;
  } rows[] = {
      {"plain", {file("a/b.txt"), file("./c"), file("a//d"), file("项目/..名字..")}, true},
      {"parent", {file("a/../../b")}, false},
      {"parent first", {file("../b")}, false},
      {"backslash parent", {file("a\\..\\..\\b")}, false},
      {"absolute", {file("/etc/x")}, false},
      {"absolute backslash", {file("\\x")}, false},
      {"link inside", {symlink("a/l", "../b"), symlink("m", "./a/./c")}, true},
      {"link climbing", {symlink("a/l", "../../b")}, false},
      {"link absolute", {symlink("l", "/etc/passwd")}, false},
      {"link to the top", {symlink("l", ".")}, true},
      {"hard link outside", {{.path = "h", .hardLinkTarget = "/etc/passwd"}}, false},
      {"hard link inside", {file("a"), {.path = "h", .hardLinkTarget = "a"}}, true},
      // A link whose target is unknown (ZIP) with an entry written through it.
      {"beneath a link", {{.path = "l", .isSymlink = true}, file("l/passwd")}, false},
      {"beside a link", {{.path = "l", .isSymlink = true}, file("lx/passwd")}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<std::string> reason = unsafeEntry(row.entries);
    EXPECT_EQ(!reason.has_value(), row.safe) << reason.value_or("");
  }
}

TEST(ExtractionCheck, ExtractedTree) {
  test::TempDir outside;
  const auto secret = outside.write("secret", "s");
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    bool safe;
  } rows[] = {
      {"files and inner links",
       [](const auto& root) {
         test::writeFile(root / "a.txt", "a");
         std::filesystem::create_directories(root / "d");
         std::filesystem::create_symlink("../a.txt", root / "d/l");
         std::filesystem::create_hard_link(root / "a.txt", root / "d/h");
       },
       true},
      {"link out", [](const auto& root) { std::filesystem::create_symlink("../../x", root / "l"); },
       false},
      {"absolute link",
       [&](const auto& root) { std::filesystem::create_symlink(secret, root / "l"); }, false},
      {"hard link out",
       [&](const auto& root) { std::filesystem::create_hard_link(secret, root / "h"); }, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir root;
    row.make(root.path());
    const std::optional<std::string> reason = unsafeExtractedTree(root.path());
    EXPECT_EQ(!reason.has_value(), row.safe) << reason.value_or("");
  }
}

}  // namespace
}  // namespace vexel
