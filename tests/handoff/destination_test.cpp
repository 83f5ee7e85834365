#include "handoff/destination.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extraction/archive_extractor.h"
#include "extraction/work_folder.h"
#include "readers/archive_error.h"
#include "support/temp_dir.h"
#include "tasks/task_handle.h"

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
  std::filesystem::path kept;
  {
    WorkFolder work(dir.path());
    kept = work.path();
    EXPECT_TRUE(kept.filename().string().starts_with(".vexel-"));
    const ArchiverOutput output(work);
    test::writeFile(output.path() / "made.zip", "new");
    (void)ArchiveExtractor::adopt(output.path(), work, std::make_shared<TaskHandle>());
    EXPECT_EQ(work.placeFile("made.zip", "n", ".zip"), dir / "n (2).zip");
    EXPECT_EQ(test::readFile(dir / "n.zip"), "old");
    EXPECT_EQ(test::readFile(dir / "n (2).zip"), "new");
    // Archives can hold folders that even their owner cannot write to.
    std::filesystem::create_directories(work.path() / "ro/inner");
    test::writeFile(work.path() / "ro/inner/f", "f");
    chmod((work.path() / "ro/inner").c_str(), 0500);
    chmod((work.path() / "ro").c_str(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
  if (geteuid() == 0) return;  // permissions do not stop root
  chmod(dir.path().c_str(), 0500);
  EXPECT_THROW(WorkFolder{dir.path()}, ArchiveError);
  chmod(dir.path().c_str(), 0700);
}

// Another archiver writes by path: inside the work folder only where no
// one else can rename the way there, else in a private folder of its own.
TEST(Destination, ArchiverOutputIsOnlyWhereNoOneElseCanRedirectIt) {
  test::TempDir dir;
  test::TempDir runtime;
  std::filesystem::create_directories(dir / "mine");
  std::filesystem::create_directories(dir / "shared");
  chmod((dir / "shared").c_str(), 0777);
  const char* saved = getenv("XDG_RUNTIME_DIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  {
    WorkFolder work(dir / "mine");
    const ArchiverOutput output(work);
    EXPECT_EQ(output.path().parent_path(), work.path());
  }
  std::filesystem::path elsewhere;
  {
    WorkFolder work(dir / "shared");
    const ArchiverOutput output(work);
    elsewhere = output.path();
    EXPECT_TRUE(isPrivateFolder(elsewhere));
    EXPECT_EQ(elsewhere.parent_path().parent_path(), runtime.path());
  }
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace vexel
