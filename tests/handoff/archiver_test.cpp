// Listing through the real 7-Zip: what only the need for a password tells.
#include "handoff/archiver.h"

#include <gtest/gtest.h>

#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

std::optional<ArchiverTool> tool(ArchiverTool::Kind kind) {
  for (const ArchiverTool& found : findArchivers()) {
    if (found.kind == kind) return found;
  }
  return std::nullopt;
}

TEST(Archiver, EncryptedNamesShowInTheNeedForAPassword) {
  const auto sevenZip = tool(ArchiverTool::Kind::sevenZip);
  if (!sevenZip) GTEST_SKIP() << "7-Zip is not installed";
  test::TempDir dir;
  ASSERT_EQ(
      test::run("cd " + test::shellQuoted(dir.path()) + " && echo s > s.txt && " +
                test::shellQuoted(sevenZip->path) + " a -bso0 -mhe=on -pRIGHT names.7z s.txt && " +
                test::shellQuoted(sevenZip->path) + " a -bso0 -pRIGHT data.7z s.txt"),
      0);
  const Archiver archiver(*sevenZip);
  const struct {
    const char* archive;
    std::optional<std::string> answer;
    int asked;
    std::optional<ArchiveError> error;
    bool namesEncrypted;
  } rows[] = {
      {"names.7z", "RIGHT", 1, std::nullopt, true},
      {"data.7z", "RIGHT", 0, std::nullopt, false},
      {"names.7z", "WRONG", 1, ArchiveError::passwordRequired(), false},
      {"names.7z", std::nullopt, 1, ArchiveError::passwordRequired(), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive + std::string(" ") + row.answer.value_or("(none)"));
    int asked = 0;
    const auto ask = [&] {
      ++asked;
      return row.answer;
    };
    try {
      const ArchiveListing listing = archiver.list(dir / row.archive, ask, nullptr);
      EXPECT_FALSE(row.error);
      EXPECT_EQ(listing.properties.headersEncrypted, row.namesEncrypted);
      EXPECT_EQ(listing.password, asked ? row.answer : std::nullopt);
      ASSERT_EQ(listing.entries.size(), 1u);
      EXPECT_TRUE(listing.entries[0].path == "s.txt");
    } catch (const ArchiveError& error) {
      EXPECT_EQ(std::optional<ArchiveError>(error), row.error);
    }
    EXPECT_EQ(asked, row.asked);
  }
}

}  // namespace
}  // namespace vexel
