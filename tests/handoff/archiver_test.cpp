// Listing through the real 7-Zip: the password asked only when 7-Zip needs
// it, and the kinds of entries its technical listing tells.
#include "handoff/archiver.h"

#include <gtest/gtest.h>

#include <map>

#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using Kind = ArchiveExtractor::ListedEntry::Kind;

TEST(SevenZip, AsksForThePasswordOnlyWhenItNeedsOne) {
  const auto sevenZip = SevenZip::find();
  if (!sevenZip) VEXEL_SKIP_UNLESS_CI() << "7-Zip is not installed";
  test::TempDir dir;
  const std::string tool = test::shellQuoted(sevenZip->path());
  ASSERT_EQ(test::run("cd " + test::shellQuoted(dir.path()) + " && echo s > s.txt && " + tool +
                      " a -bso0 -mhe=on -pRIGHT names.7z s.txt && " + tool +
                      " a -bso0 -pRIGHT data.7z s.txt"),
            0);
  const struct {
    const char* archive;
    std::optional<std::string> answer;
    int asked;
    std::optional<ArchiveError> error;
  } rows[] = {
      {"names.7z", "RIGHT", 1, std::nullopt},
      {"data.7z", "RIGHT", 0, std::nullopt},
      {"names.7z", "WRONG", 1, ArchiveError::passwordRequired()},
      {"names.7z", std::nullopt, 1, ArchiveError::passwordRequired()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive + std::string(" ") + row.answer.value_or("(none)"));
    int asked = 0;
    const auto ask = [&] {
      ++asked;
      return row.answer;
    };
    try {
      const auto entries = sevenZip->list(dir / row.archive, ask, nullptr);
      EXPECT_FALSE(row.error);
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].path, "s.txt");
      EXPECT_TRUE(entries[0].encrypted);
    } catch (const ArchiveError& error) {
      EXPECT_EQ(std::optional<ArchiveError>(error), row.error);
    }
    EXPECT_EQ(asked, row.asked);
  }
}

TEST(SevenZip, ListsEachKindOfEntry) {
  const auto sevenZip = SevenZip::find();
  if (!sevenZip) VEXEL_SKIP_UNLESS_CI() << "7-Zip is not installed";
  test::TempDir dir;
  constexpr const char* kWriter = R"(
import io, tarfile
with tarfile.open('kinds.tar', 'w') as t:
  for name, kind, link in [('d', tarfile.DIRTYPE, ''), ('d/f', tarfile.REGTYPE, ''),
                           ('l', tarfile.SYMTYPE, 'd/f'), ('h', tarfile.LNKTYPE, 'd/f'),
                           ('fifo', tarfile.FIFOTYPE, '')]:
    i = tarfile.TarInfo(name); i.type = kind; i.linkname = link
    if kind == tarfile.REGTYPE: i.size = 3; t.addfile(i, io.BytesIO(b'abc'))
    else: t.addfile(i)
)";
  ASSERT_EQ(test::run("cd " + test::shellQuoted(dir.path()) + " && python3 -c " +
                      test::shellQuoted(std::string(kWriter))),
            0);
  std::map<std::string, std::pair<Kind, std::string>> kinds;
  for (const auto& entry : sevenZip->list(dir / "kinds.tar", nullptr, nullptr)) {
    kinds[entry.path] = {entry.kind, entry.target};
  }
  EXPECT_EQ(kinds["d"].first, Kind::folder);
  EXPECT_EQ(kinds["d/f"].first, Kind::file);
  EXPECT_EQ(kinds["l"], std::make_pair(Kind::symlink, std::string("d/f")));
  EXPECT_EQ(kinds["h"], std::make_pair(Kind::hardLink, std::string("d/f")));
  EXPECT_EQ(kinds["fifo"].first, Kind::special);
}

}  // namespace
}  // namespace vexel
