#include "readers/archive_error.h"
#include "support/print.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vexel {
namespace {

TEST(ArchiveError, CasesTextsAndEquality) {
  const struct {
    ArchiveError error;
    ArchiveError::Kind kind;
    std::string text;
  } rows[] = {
      {ArchiveError::toolMissing("packer"), ArchiveError::Kind::toolMissing,
       "找不到 packer，无法继续。"},
      {ArchiveError::readOnly("a"), ArchiveError::Kind::readOnly, "a"},
      {ArchiveError::failed("a"), ArchiveError::Kind::failed, "a"},
      {ArchiveError::failed("b"), ArchiveError::Kind::failed, "b"},
      {ArchiveError::passwordRequired(), ArchiveError::Kind::passwordRequired,
       "密码不正确，或者需要输入密码。"},
      {ArchiveError::cancelled(), ArchiveError::Kind::cancelled, "已取消。"},
      {ArchiveError::notArchive(), ArchiveError::Kind::notArchive,
       "无法打开：这不是压缩包，或者文件已经损坏。"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].text);
    EXPECT_EQ(rows[i].error.kind(), rows[i].kind);
    EXPECT_EQ(rows[i].error.message(), rows[i].text);
    EXPECT_STREQ(rows[i].error.what(), rows[i].text.c_str());
    for (size_t j = 0; j < std::size(rows); ++j)
      EXPECT_EQ(rows[i].error == rows[j].error, i == j) << j;
  }
  EXPECT_EQ(ArchiveError::cannotStart("7zz", "Permission denied"),
            ArchiveError::failed("无法启动 7zz：Permission denied"));
  EXPECT_EQ(ArchiveError::cannotRead(""), ArchiveError::failed("无法读取压缩包。"));
  EXPECT_EQ(ArchiveError::cannotRead("Damaged 7-Zip archive"),
            ArchiveError::failed("无法读取压缩包：Damaged 7-Zip archive"));
  EXPECT_EQ(ArchiveError::volumeMissing("a.7z.002"),
            ArchiveError::failed("无法读取压缩包：缺少分卷 a.7z.002。"));
  EXPECT_EQ(ArchiveError::unsafeEntry(ArchiveError::UnsafeEntry::beneathLink, "l/f", "l"),
            ArchiveError::failed("为了安全，没有解压：条目“l/f”位于链接“l”之下。"));
  EXPECT_EQ(ArchiveError::unsafeEntry(ArchiveError::UnsafeEntry::noName, "./"),
            ArchiveError::failed("为了安全，没有解压：压缩包里有没有名字的文件或链接（“./”）。"));
  EXPECT_EQ(ArchiveError::unsafeEntry(ArchiveError::UnsafeEntry::noName, ""),
            ArchiveError::failed("为了安全，没有解压：压缩包里有没有名字的文件或链接。"));
  EXPECT_EQ(ArchiveError::cannotWrite("a/b", ENOSPC),
            ArchiveError::failed("磁盘空间不足，没有解压。"));
  EXPECT_EQ(ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::entries),
            ArchiveError::failed("没有解压：压缩包里的条目超过 1,500,000 个。"));
  EXPECT_EQ(ArchiveError::toolFailed("packer", -9),
            ArchiveError::failed("packer 运行失败（退出码 -9）。"));
  EXPECT_EQ(ArchiveError::toolMissing("a").payload(), "a");
  EXPECT_EQ(ArchiveError::notArchive().payload(), "");
}

}  // namespace
}  // namespace vexel
