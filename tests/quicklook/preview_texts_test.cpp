#include "quicklook/internal/preview_texts.h"

#include <gtest/gtest.h>

#include <limits>

namespace vexel::quicklook_internal {
namespace {

TEST(PreviewTexts, RatioRoundsHalvesAwayFromZero) {
  struct Row {
    std::int64_t fileSize, totalSize, percent;
  };
  const Row rows[] = {
      {125, 1000, 13},
      {124, 1000, 12},
      {1, 8, 13},
      {3, 8, 38},
      {1, 3, 33},
      {2, 3, 67},
      {999, 1000, 100},
      {0, 1000, 0},
      {5, 1000, 1},
      {4, 1000, 0},
      {std::numeric_limits<std::int64_t>::max() / 2, std::numeric_limits<std::int64_t>::max(), 50}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.fileSize) + "/" + std::to_string(row.totalSize));
    EXPECT_EQ(compressionRatioPercent(row.fileSize, row.totalSize), row.percent);
  }
}

TEST(PreviewTexts, SubtitleAndFooterOfATree) {
  using Cutoff = ExtensionArchive::Cutoff;
  const ArchiveTree tree({}, {RawEntry{.path = "a/b.txt", .size = 2'000'000},
                              RawEntry{.path = "c.txt", .size = 500'000, .encrypted = true}});
  EXPECT_EQ(subtitleText("TAR + GZip", tree), "TAR + GZip 压缩包 · 2 个文件 · 1 个文件夹 · 已加密");
  EXPECT_EQ(subtitleText("Debian 软件包", tree), "Debian 软件包 · 2 个文件 · 1 个文件夹 · 已加密");
  const ArchiveTree empty({}, {});
  EXPECT_EQ(subtitleText("ZIP", empty), "ZIP 压缩包 · 0 个文件");
  // Each reason a listing ends early has its own notice.
  struct Row {
    std::int64_t fileSize;
    const ArchiveTree& tree;
    Cutoff cutoff;
    std::string footer;
  };
  const Row rows[] = {
      {1'000'000, tree, Cutoff::none, "原始大小 2.5 MB → 压缩包 1.0 MB · 压缩率 40%"},
      {3'000'000, tree, Cutoff::limits,
       "压缩包太大，只列出了前 2 个文件 · 原始大小 2.5 MB → 压缩包 3.0 MB"},
      {0, empty, Cutoff::limits, "压缩包太大，只列出了前 0 个文件 · 压缩包 0 字节"},
      {1'000'000, tree, Cutoff::damage,
       "压缩包已损坏，只列出了前 2 个文件 · 原始大小 2.5 MB → 压缩包 1.0 MB · 压缩率 40%"},
      {3'000'000, tree, Cutoff::missingVolume,
       "缺少分卷，只列出了前 2 个文件 · 原始大小 2.5 MB → 压缩包 3.0 MB"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.footer);
    EXPECT_EQ(footerText(row.fileSize, row.tree, row.cutoff), row.footer);
  }
}

}  // namespace
}  // namespace vexel::quicklook_internal
