// The receiver's extraction: which way each archive goes, the password
// asked only when needed, the free-space check, and where 7-Zip may write.
#include "handoff/extractor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "handoff/destination.h"
#include "readers/archive_error.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using test::shellQuoted;

TEST(Extractor, RefusesWhatDoesNotFit) {
  EXPECT_NO_THROW(requireSpace(10, 10, "/tmp"));
  EXPECT_NO_THROW(requireSpace(1'000'000'000'000, std::nullopt, "/tmp"));
  try {
    requireSpace(200'000'000, 1'500'000, "/home/u/下载");
    ADD_FAILURE() << "not refused";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(
        error.message(),
        "磁盘空间不足，没有解压：解压出的文件共 200.0 MB，而“/home/u/下载”所在的磁盘只剩 1.5 MB。");
  }
}

TEST(Extractor, TellsPrivateFoldersFromSharedOnes) {
  test::TempDir dir;  // 0700, the user's own, under /tmp (sticky)
  fs::create_directories(dir / "shared/inner");
  chmod((dir / "shared").c_str(), 0777);
  fs::create_directories(dir / "sticky/inner");
  chmod((dir / "sticky").c_str(), 01777);
  fs::create_directory_symlink(dir / "shared/inner", dir / "link");
  const struct {
    fs::path folder;
    bool isPrivate;
  } rows[] = {
      {dir.path(), true},           {"/tmp", true},
      {dir / "shared", false},      {dir / "shared/inner", false},
      {dir / "sticky/inner", true}, {dir / "link", false},  // judged where it leads
      {dir / "missing", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.folder.string());
    EXPECT_EQ(isPrivateFolder(row.folder), row.isPrivate);
  }
}

// Each way through: libarchive (with a ZIP password), 7-Zip for 7z data and
// names libarchive cannot decrypt. A wrong password is asked for again, at
// most three times in all; the questions after the first say it was wrong.
TEST(Extractor, AsksOnlyWhenNeededAndAgainAfterAWrongOne) {
  const std::string seven = test::sevenZipTool();
  if (!test::hasTool(seven)) VEXEL_SKIP_UNLESS_CI() << "7-Zip makes the encrypted archives";
  test::TempDir dir;
  ASSERT_EQ(
      test::run(
          "cd " + shellQuoted(dir.path()) +
          " && mkdir -p src/子目录 && echo secret > src/子目录/s.txt && echo p > src/plain.txt"
          " && cd src && " +
          seven + " a -bso0 -tzip -pRIGHT ../enc.zip . && " + seven +
          " a -bso0 -pRIGHT ../data.7z . && " + seven +
          " a -bso0 -mhe=on -pRIGHT ../names.7z . && " + seven +
          " a -bso0 ../plain.7z . && cd .. && rm -r src"),
      0);
  const struct {
    std::string archive;
    std::optional<std::string> answer;
    int asked;
    std::optional<ArchiveError> error;
    int wrongFirst = 0;  // answers "WRONG" before `answer`
  } rows[] = {
      {"plain.7z", std::nullopt, 0, std::nullopt},
      {"enc.zip", "RIGHT", 1, std::nullopt},
      {"data.7z", "RIGHT", 1, std::nullopt},
      {"names.7z", "RIGHT", 1, std::nullopt},
      {"enc.zip", "WRONG", 3, ArchiveError::passwordRequired()},
      {"data.7z", "WRONG", 3, ArchiveError::passwordRequired()},
      {"names.7z", "WRONG", 3, ArchiveError::passwordRequired()},
      {"names.7z", std::nullopt, 1, ArchiveError::passwordRequired()},
      {"enc.zip", "RIGHT", 3, std::nullopt, 2},
      {"data.7z", "RIGHT", 2, std::nullopt, 1},
      {"names.7z", "RIGHT", 3, std::nullopt, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive + " " + row.answer.value_or("(none)"));
    int asked = 0;
    Extractor extractor(
        std::make_shared<TaskHandle>(),
        [&](bool wasWrong) -> std::optional<std::string> {
          EXPECT_EQ(wasWrong, asked > 0);
          return ++asked <= row.wrongFirst ? std::optional<std::string>("WRONG") : row.answer;
        },
        nullptr);
    const auto before = test::runShell("ls -A " + shellQuoted(dir.path())).out;
    try {
      const Extractor::Outcome outcome = extractor.extract(dir / row.archive);
      EXPECT_FALSE(row.error);
      EXPECT_EQ(outcome.placed, dir.path() / fs::path(row.archive).stem());
      EXPECT_EQ(test::readFile(outcome.placed / "子目录/s.txt"), "secret\n");
      EXPECT_EQ(test::readFile(outcome.placed / "plain.txt"), "p\n");
      fs::remove_all(outcome.placed);
    } catch (const ArchiveError& error) {
      EXPECT_EQ(std::optional<ArchiveError>(error), row.error) << error.message();
    }
    EXPECT_EQ(asked, row.asked);
    EXPECT_EQ(test::runShell("ls -A " + shellQuoted(dir.path())).out, before);
  }
}

}  // namespace
}  // namespace vexel
