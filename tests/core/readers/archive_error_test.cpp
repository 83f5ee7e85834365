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
  EXPECT_EQ(ArchiveError::toolMissing("a").payload(), "a");
  EXPECT_EQ(ArchiveError::notArchive().payload(), "");
}

RunResult output(std::string err, std::string out, int status = 2) {
  return RunResult{.status = status, .stdout = std::move(out), .stderr = std::move(err)};
}

TEST(ArchiveError, FromClassifiesByPhrase) {
  const struct {
    const char* name;
    RunResult result;
    ArchiveError expected;
  } rows[] = {
      {"password on stderr", output("ERROR: Wrong password : notes.txt\n", ""),
       ArchiveError::passwordRequired()},
      {"password in capitals", output("", "WRONG PASSWORD"), ArchiveError::passwordRequired()},
      {"status 0 still classified", output("Wrong password", "", 0),
       ArchiveError::passwordRequired()},
      {"Cannot open encrypted", output("Cannot open encrypted archive. Wrong password?", ""),
       ArchiveError::passwordRequired()},
      {"Can not open encrypted", output("", "can not open ENCRYPTED archive"),
       ArchiveError::passwordRequired()},
      {"Enter password", output("", "Enter password (will not be echoed):"),
       ArchiveError::passwordRequired()},
      {"incorrect password", output("Incorrect Password", ""), ArchiveError::passwordRequired()},
      {"password is incorrect", output("the password is incorrect", ""),
       ArchiveError::passwordRequired()},
      {"corrupt or wrong", output("Corrupt file or wrong password.", ""),
       ArchiveError::passwordRequired()},
      {"password beats not-archive", output("Cannot open the file as archive", "Wrong password"),
       ArchiveError::passwordRequired()},
      {"not archive", output("Open ERROR: Cannot open the file as [7z] archive", ""),
       ArchiveError::notArchive()},
      {"can not open", output("", "Can not open the file as archive"), ArchiveError::notArchive()},
      {"is not archive", output("", "ERRORS:\nIs not archive\n"), ArchiveError::notArchive()},
      {"not RAR", output("x.rar is not RAR archive", ""), ArchiveError::notArchive()},
      {"not-archive phrase in lower case", output("cannot open the file as archive", ""),
       ArchiveError::failed("cannot open the file as archive")},
      {"phrase split by the join", output("Wrong", "password"),
       ArchiveError::failed("Wrong\npassword")},
      {"empty output", output("", "", 2), ArchiveError::failed("packer 运行失败（退出码 2）。")},
      {"blank output", output(" \t\n\n", "\t \n", 0),
       ArchiveError::failed("packer 运行失败（退出码 0）。")},
      {"negative status", output("", "", -9),
       ArchiveError::failed("packer 运行失败（退出码 -9）。")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ArchiveError::from(row.result, "packer"), row.expected);
  }
}

TEST(ArchiveError, FromKeepsTheFirstSixLines) {
  std::string out;
  for (int i = 1; i <= 12; ++i) out += "\t line " + std::to_string(i) + "  \n\n   \n";
  EXPECT_EQ(ArchiveError::from(output("  first error\t\n\t\n", out), "packer"),
            ArchiveError::failed("first error\nline 1\nline 2\nline 3\nline 4\nline 5"));
  // Unicode spaces are trimmed as well; a carriage return is not.
  EXPECT_EQ(ArchiveError::from(output("\u3000wide\u00A0\n x\r ", ""), "packer"),
            ArchiveError::failed("wide\nx\r"));
}

}  // namespace
}  // namespace vexel
