// Listing through the real 7-Zip and bsdtar: names as stored, links, and
// what only the need for a password tells.
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

TEST(Archiver, ListsNamesAsStoredWithLinks) {
  test::TempDir dir;
  ASSERT_EQ(
      test::run(
          "cd " + test::shellQuoted(dir.path()) + " && python3 -c " +
          test::shellQuoted(
              "import tarfile,io\nwith tarfile.open('t.tar','w') as t:\n"
              " for n in ['../up','项目/a b\\\\c','n\\nl']:\n"
              "  i=tarfile.TarInfo(n); i.size=1; t.addfile(i, io.BytesIO(b'x'))\n"
              " i=tarfile.TarInfo('l'); i.type=tarfile.SYMTYPE; i.linkname='/etc'; t.addfile(i)\n"
              " i=tarfile.TarInfo('h'); i.type=tarfile.LNKTYPE; i.linkname='../x'; t.addfile(i)")),
      0);
  const struct {
    ArchiverTool::Kind kind;
    std::vector<std::string> paths;
  } rows[] = {
      // 7-Zip prints a line feed in a name as "_".
      {ArchiverTool::Kind::sevenZip, {"../up", "项目/a b\\c", "n_l", "l", "h"}},
      {ArchiverTool::Kind::bsdtar, {"../up", "项目/a b\\c", "n\nl", "l", "h"}},
  };
  for (const auto& row : rows) {
    const auto found = tool(row.kind);
    if (!found) continue;
    SCOPED_TRACE(found->path);
    const ArchiveListing listing = Archiver(*found).list(dir / "t.tar", nullptr, nullptr);
    std::vector<std::string> paths;
    for (const ListedEntry& entry : listing.entries) paths.push_back(entry.path);
    EXPECT_EQ(paths, row.paths);
    if (row.kind != ArchiverTool::Kind::sevenZip) continue;
    EXPECT_TRUE(listing.entries[3].isSymlink);
    EXPECT_EQ(listing.entries[3].linkTarget, "/etc");
    EXPECT_EQ(listing.entries[4].hardLinkTarget, "../x");
  }
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
