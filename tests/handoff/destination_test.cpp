#include "handoff/destination.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "readers/archive_error.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

TEST(Destination, ArchiveStem) {
  const std::pair<const char*, const char*> rows[] = {
      {"a.zip", "a"},        {"A.B.ZIP", "A.B"},
      {"a.tar.gz", "a"},     {"a.TAR.XZ", "a"},
      {"a.tgz", "a"},        {"b.part1.rar", "b"},
      {"b.part12.RAR", "b"}, {"c.7z.001", "c"},
      {"c.001", "c"},        {"项目 计划.7z", "项目 计划"},
      {".zip", ".zip"},      {"noext", "noext"},
      {"x.gz", "x"},         {"part1.rar", "part1"},
  };
  for (const auto& [name, stem] : rows) EXPECT_EQ(archiveStem(name), stem) << name;
  EXPECT_EQ(numberedName("a", 1, ".zip"), "a.zip");
  EXPECT_EQ(numberedName("a", 3, ".zip"), "a (3).zip");
}

TEST(Destination, NeverReplacesWhatExistsAndLeavesNothing) {
  test::TempDir dir;
  test::writeFile(dir / "n.zip", "old");
  test::writeFile(dir / "made.zip", "new");
  EXPECT_EQ(placeFile(dir / "made.zip", dir.path(), "n", ".zip"), dir / "n (2).zip");
  EXPECT_EQ(test::readFile(dir / "n.zip"), "old");

  std::filesystem::path kept;
  {
    TemporaryFolder work(dir.path());
    kept = work.path();
    EXPECT_TRUE(kept.filename().string().starts_with(".vexel-"));
    // Archives can hold folders that even their owner cannot write to.
    std::filesystem::create_directories(work.path() / "ro/inner");
    test::writeFile(work.path() / "ro/inner/f", "f");
    chmod((work.path() / "ro/inner").c_str(), 0500);
    chmod((work.path() / "ro").c_str(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
  if (geteuid() == 0) return;  // permissions do not stop root
  chmod(dir.path().c_str(), 0500);
  EXPECT_THROW(TemporaryFolder{dir.path()}, ArchiveError);
  chmod(dir.path().c_str(), 0700);
}

}  // namespace
}  // namespace vexel
