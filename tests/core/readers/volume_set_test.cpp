#include "readers/internal/volume_set.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "readers/archive_error.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

// describe: the set as "name:size" words in order (a missing volume marked
// "!"), then "=" and the name it goes by, and what it is.
std::string describe(const VolumeSet& set) {
  std::ostringstream out;
  for (const Volume& volume : set.volumes()) {
    out << (volume.isPresent ? "" : "!") << volume.path.filename().string() << ':' << volume.size
        << ' ';
  }
  out << "= " << set.namePath().filename().string();
  if (!set.isSplit()) out << " (no set)";
  if (set.seemsIncomplete()) out << " (incomplete)";
  return out.str();
}

// One row per folder: its files ("name:size", a size of -1 makes a
// folder), the one chosen, and the set found from it, or "needs" and the
// first volume it lacks. A file that is no volume is not looked at (size 0).
TEST(VolumeSet, FindsTheWholeSetFromAnyVolume) {
  struct Row {
    const char* files;
    const char* chosen;
    const char* found;
  };
  const Row rows[] = {
      {"a.7z.001:10 a.7z.002:10 a.7z.003:4", "a.7z.002",
       "a.7z.001:10 a.7z.002:10 a.7z.003:4 = a.7z"},
      // A missing volume keeps its place, so what follows stays at its offset.
      {"a.001:10 a.003:10 a.004:3", "a.001",
       "a.001:10 !a.002:10 a.003:10 a.004:3 = a (incomplete)"},
      {"a.001:10 a.002:-1 a.003:3", "a.003", "a.001:10 !a.002:10 a.003:3 = a (incomplete)"},
      // Of volumes that differ in size, the set ends at the gap.
      {"a.001:10 a.002:7 a.004:3", "a.001", "a.001:10 a.002:7 !a.003:0 = a (incomplete)"},
      // A last volume as large as the first: the set may go on.
      {"a.001:10 a.002:10", "a.002", "a.001:10 a.002:10 = a (incomplete)"},
      {"a.001:10 a.011:10", "a.001", "a.001:10 = a"},  // a gap the search does not look past
      {"r.rar:10 r.r00:10 r.r01:2", "r.r00", "r.rar:10 r.r00:10 r.r01:2 = r.rar"},
      {"R.RAR:10 R.R00:10 R.R01:2", "R.R01", "R.RAR:10 R.R00:10 R.R01:2 = R.RAR"},
      {"m.part01.rar:10 m.part02.rar:10 m.part03.rar:1", "m.part03.rar",
       "m.part01.rar:10 m.part02.rar:10 m.part03.rar:1 = m.rar"},
      {"m.Part02.RAR:10", "m.Part02.RAR", "needs m.Part01.RAR"},
      {"a.7z.002:10", "a.7z.002", "needs a.7z.001"},
      {"s.z02:10 s.zip:10", "s.z02", "needs s.z01"},
      {"s.z01:10 s.z02:10 s.zip:3", "s.zip", "s.z01:10 s.z02:10 s.zip:3 = s.zip"},
      {"s.z01:10 s.z02:10", "s.z02", "s.z01:10 s.z02:10 !s.zip:0 = s.zip (incomplete)"},
      {"r.rar:10 r.r01:10", "r.rar", "r.rar:0 = r.rar (no set)"},
      {"s.zip:10 s.z02:10", "s.zip", "s.zip:0 = s.zip (no set)"},
      {"a.000:10 a.001:10", "a.000", "a.000:0 = a.000 (no set)"},
      {"a.z00:10 a.z01:10", "a.z00", "a.z00:0 = a.z00 (no set)"},
  };
  EXPECT_EQ(ArchiveError::firstVolumeNeeded("a.7z.001").message(),
            "无法读取压缩包：这是分卷压缩包的一部分，需要同一文件夹中的第一个分卷 a.7z.001。");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.files);
    test::TempDir dir;
    std::istringstream files(row.files);
    for (std::string word; files >> word;) {
      const std::string name = word.substr(0, word.find(':'));
      const int size = std::stoi(word.substr(word.find(':') + 1));
      if (size < 0) {
        std::filesystem::create_directory(dir / name);
      } else {
        dir.write(name, std::string(static_cast<std::size_t>(size), 'x'));
      }
    }
    try {
      EXPECT_EQ(describe(VolumeSet::find(dir / row.chosen)), row.found);
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error, ArchiveError::firstVolumeNeeded(std::string(row.found).substr(6)));
    }
  }
}

}  // namespace
}  // namespace vexel::readers_internal
