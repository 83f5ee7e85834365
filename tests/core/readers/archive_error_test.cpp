#include "archive_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel {
namespace {

struct ErrorRow {
  const char* label;
  ArchiveError error;
  ArchiveError::Kind kind;
  std::string payload;
  std::string text;
};

std::vector<ErrorRow> errorRows() {
  return {
      {"toolMissing packer", ArchiveError::toolMissing("packer"), ArchiveError::Kind::toolMissing,
       "packer", "找不到 packer，无法继续。"},
      {"toolMissing 7zz", ArchiveError::toolMissing("7zz"), ArchiveError::Kind::toolMissing, "7zz",
       "找不到 7zz，无法继续。"},
      {"readOnly a", ArchiveError::readOnly("a"), ArchiveError::Kind::readOnly, "a", "a"},
      {"failed a", ArchiveError::failed("a"), ArchiveError::Kind::failed, "a", "a"},
      {"failed b", ArchiveError::failed("b"), ArchiveError::Kind::failed, "b", "b"},
      {"failed empty", ArchiveError::failed(""), ArchiveError::Kind::failed, "", ""},
      {"passwordRequired", ArchiveError::passwordRequired(), ArchiveError::Kind::passwordRequired,
       "", "密码不正确，或者需要输入密码。"},
      {"cancelled", ArchiveError::cancelled(), ArchiveError::Kind::cancelled, "", "已取消。"},
      {"notArchive", ArchiveError::notArchive(), ArchiveError::Kind::notArchive, "",
       "无法打开：这不是压缩包，或者文件已经损坏。"},
  };
}

TEST(ArchiveError, CasesCarryTheirPayloadAndText) {
  for (const ErrorRow& row : errorRows()) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.error.kind(), row.kind);
    EXPECT_EQ(row.error.payload(), row.payload);
    EXPECT_EQ(row.error.message(), row.text);
    EXPECT_STREQ(row.error.what(), row.text.c_str());
  }
}

TEST(ArchiveError, EqualExactlyWhenCaseAndPayloadAgree) {
  const std::vector<ErrorRow> rows = errorRows();
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t j = 0; j < rows.size(); ++j) {
      SCOPED_TRACE(std::string(rows[i].label) + " vs " + rows[j].label);
      EXPECT_EQ(rows[i].error == rows[j].error, i == j);
    }
  }
  // A value made again from the same case and payload is equal.
  EXPECT_EQ(ArchiveError::failed("a"), ArchiveError::failed("a"));
  EXPECT_NE(ArchiveError::failed("a"), ArchiveError::readOnly("a"));
  EXPECT_EQ(ArchiveError::toolMissing("packer"), ArchiveError::toolMissing("packer"));
}

TEST(ArchiveError, ReaderAndStartFailuresAreFailedWithFixedShapes) {
  EXPECT_EQ(ArchiveError::cannotRead(""), ArchiveError::failed("无法读取压缩包。"));
  EXPECT_EQ(ArchiveError::cannotRead("Damaged 7-Zip archive"),
            ArchiveError::failed("无法读取压缩包：Damaged 7-Zip archive"));
  EXPECT_EQ(ArchiveError::cannotStart("7zz", "No such file or directory"),
            ArchiveError::failed("无法启动 7zz：No such file or directory"));
}

}  // namespace
}  // namespace vexel
