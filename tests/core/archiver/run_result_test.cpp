#include "archiver/run_result.h"
#include "support/print.h"

#include <gtest/gtest.h>

namespace vexel {
namespace {

RunResult output(std::string err, std::string out, int status = 2) {
  return RunResult{.status = status, .stdout = std::move(out), .stderr = std::move(err)};
}

TEST(ClassifyRun, ByPhrase) {
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
    EXPECT_EQ(classifyRun(row.result, "packer"), row.expected);
  }
}

TEST(ClassifyRun, KeepsTheFirstSixLines) {
  std::string out;
  for (int i = 1; i <= 12; ++i) out += "\t line " + std::to_string(i) + "  \n\n   \n";
  EXPECT_EQ(classifyRun(output("  first error\t\n\t\n", out), "packer"),
            ArchiveError::failed("first error\nline 1\nline 2\nline 3\nline 4\nline 5"));
  // Unicode spaces are trimmed as well; a carriage return is not.
  EXPECT_EQ(classifyRun(output("\u3000wide\u00A0\n x\r ", ""), "packer"),
            ArchiveError::failed("wide\nx\r"));
}

}  // namespace
}  // namespace vexel
