// The tool listing parser and the in-process lister must agree on what an
// archive holds: paths, folder flags, sizes and dates.
#include "archiver/listing_parser.h"
#include "archiver/process_runner.h"
#include "readers/extension_archive.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <map>

namespace vexel {
namespace {

struct Seen {
  bool isDir = false;
  std::int64_t size = 0;
  std::optional<std::chrono::sys_seconds> modified;
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* out) {
  *out << (seen.isDir ? "dir " : "file ") << seen.size << " @"
       << (seen.modified ? seen.modified->time_since_epoch().count() : -1);
}

TEST(ListingParserVsLister, AgreeOnRealArchives) {
  const auto tool = test::sevenZip();
  if (!tool) VEXEL_SKIP_UNLESS_CI() << "neither 7zz nor 7z is installed";
  test::TempDir dir;
  dir.write("in/readme.txt", "hello\n");
  dir.write("in/docs/a.txt", std::string(5000, 'a'));
  dir.write("in/docs/deep/b.bin", std::string(777, '\x01'));
  dir.write("in/名字.txt", "unicode name");
  std::filesystem::create_directories(dir / "in/empty");
  // Even seconds, which every format here can store.
  std::int64_t stamp = 1623752430;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "in")) {
    stamp += 3600 * 24 * 17 + 2;
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0);
  }

  const struct {
    const char* archive;
    std::vector<std::string> options;
  } rows[] = {
      {"a.7z", {"-ms=on"}},
      {"a.zip", {"-tzip"}},
      {"a.tar", {"-ttar"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive);
    std::vector<std::string> create{"a"};
    create.insert(create.end(), row.options.begin(), row.options.end());
    create.insert(create.end(), {row.archive, "in"});
    ASSERT_EQ(ProcessRunner::run(*tool, create, dir.path()).status, 0);
    const RunResult listing = ProcessRunner::run(*tool, {"l", "-slt", row.archive}, dir.path());
    ASSERT_EQ(listing.status, 0);

    std::map<std::string, Seen> fromParser;
    for (const RawEntry& entry : ListingParser::parse(listing.stdout).entries) {
      fromParser[entry.path] = {entry.isDir, entry.isDir ? 0 : entry.size, entry.modified};
    }
    const ExtensionArchive::Listing listed = ExtensionArchive::list(dir / row.archive, 10.0);
    ASSERT_TRUE(listed.complete);
    std::map<std::string, Seen> fromLister;
    for (const ArchiveNode* node : listed.tree->root().descendants()) {
      // Folder sizes and dates are the tree's totals; compare their own data
      // through the files and the flag only.
      fromLister[std::string(node->path())] = {
          node->isDir(), node->isDir() ? 0 : node->size(),
          node->isDir() ? fromParser[std::string(node->path())].modified : node->modified()};
    }
    EXPECT_EQ(fromParser, fromLister);
  }
}

}  // namespace
}  // namespace vexel
