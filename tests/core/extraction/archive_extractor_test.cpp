// Extraction in process: what lands on disk for archives built here and for
// libarchive's own test archives (compared with bsdtar -x), what is refused
// or left out, and that a cancel, a swapped work folder or a killed run
// leave nothing outside and nothing behind.
#include "extraction/archive_extractor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "extraction/work_folder.h"
#include "readers/archive_error.h"
#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/archive_writer.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using test::shellQuoted;

// Everything under `root`, without following links: "d 755", "f 644 DATA",
// "l TARGET", or "? MODE" for anything else.
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    struct stat info {};
    if (lstat(it->path().c_str(), &info) != 0) continue;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", info.st_mode & 07777);
    const std::string path = it->path().lexically_relative(root).string();
    if (S_ISDIR(info.st_mode)) {
      tree[path] = "d " + std::string(mode);
    } else if (S_ISREG(info.st_mode)) {
      tree[path] = "f " + std::string(mode) + " " + test::readFile(it->path());
    } else if (S_ISLNK(info.st_mode)) {
      tree[path] = "l " + fs::read_symlink(it->path()).string();
    } else {
      tree[path] = "? " + std::string(mode);
    }
  }
  return tree;
}

// The same, modes left out (bsdtar and this writer treat modes differently).
std::map<std::string, std::string> shapeOf(const fs::path& root) {
  std::map<std::string, std::string> shape = treeOf(root);
  for (auto& [path, description] : shape) {
    if (description[0] == 'f') {
      description = "f " + description.substr(description.find(' ', 2) + 1);
    } else if (description[0] == 'd') {
      description = "d";
    }
  }
  return shape;
}

// The umask for the test's expectations: the files' and folders' modes
// below assume 022.
class UmaskGuard {
 public:
  UmaskGuard() : mPrevious(umask(022)) {}
  ~UmaskGuard() { umask(mPrevious); }

 private:
  mode_t mPrevious;
};

class ArchiveExtractorTest : public ::testing::Test {
 protected:
  // extractHere: checks, extracts and places `archive` beside itself.
  fs::path extractHere(const fs::path& archive,
                       const std::optional<std::string>& password = std::nullopt,
                       ArchiveExtractor::Check* checked = nullptr) {
    const ArchiveExtractor::Check check = ArchiveExtractor::check(archive, password);
    WorkFolder work(archive.parent_path());
    ArchiveExtractor::extract(archive, check, work, password, std::make_shared<TaskHandle>());
    if (checked != nullptr) *checked = check;
    if (check.isSingleFile())
      return work.placeFile(check.singleFileName(), check.singleFileName(), "");
    return work.place(archive.stem().stem().string());
  }

  // leftovers: names in `folder` that start with ".vexel-".
  static int leftovers(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename().string().starts_with(".vexel-")) ++count;
    }
    return count;
  }

  UmaskGuard mUmask;
  test::TempDir mDir;
};

TEST_F(ArchiveExtractorTest, WritesOnlyWhatStaysInside) {
  std::string deep;
  for (int k = 0; k < 12; ++k) deep += (k == 0 ? "x" : "/x") + std::to_string(k);
  const std::string climb = [] {
    std::string up;
    for (int k = 0; k < 12; ++k) up += "../";
    return up;
  }();
  const struct {
    const char* name;
    std::string archive;
    std::vector<std::string> members;
    std::map<std::string, std::string> tree;  // of the placed result
    std::int64_t linksLeftOut = 0;
    std::int64_t specialsLeftOut = 0;
  } rows[] = {
      {"a link out through the archive's own link (lz4, named .tar)",
       "evil.tar.lz4",
       {"d:" + deep, "d:y0", "l:" + deep + "/r:" + climb + "y0",
        "l:q:" + deep + "/r/../../../victim/.ssh", "f:y0/note:n"},
       {},
       1},
      {"devices, pipes, set-id bits and open modes",
       "modes.tar",
       {"b:blk-sda", "c:chr-mem", "p:fifo", "f:suid:s:4755", "f:sgid:g:2775", "f:open:o:666",
        "d:sticky::1777", "f:ro:r:444"},
       {{"suid", "f 755 s"},
        {"sgid", "f 755 g"},
        {"open", "f 644 o"},
        {"sticky", "d 755"},
        {"ro", "f 444 r"}},
       0,
       3},
      {"tar.gz to its files",
       "a.tar.gz",
       {"f:a.txt:1", "f:b/c.txt:2"},
       {{"a.txt", "f 644 1"}, {"b", "d 755"}, {"b/c.txt", "f 644 2"}}},
      {"tgz", "c.tgz", {"f:c.txt:3", "f:d.txt:4"}, {{"c.txt", "f 644 3"}, {"d.txt", "f 644 4"}}},
      {"tar.xz",
       "x.tar.xz",
       {"f:x.txt:5", "f:y.txt:6"},
       {{"x.txt", "f 644 5"}, {"y.txt", "f 644 6"}}},
      {"tar.zst",
       "z.tar.zst",
       {"f:z.txt:7", "f:w.txt:8"},
       {{"z.txt", "f 644 7"}, {"w.txt", "f 644 8"}}},
      {"links inside, hard and symbolic",
       "links.tar",
       {"f:d/a.txt:A", "h:d/hard:d/a.txt", "l:up:d/../d/a.txt", "l:dir:d"},
       {{"d", "d 755"},
        {"d/a.txt", "f 644 A"},
        {"d/hard", "f 644 A"},
        {"up", "l d/../d/a.txt"},
        {"dir", "l d"}}},
      {"zip link out, stored as data",
       "z.zip",
       {"l:zl:/etc/passwd", "f:keep:k"},
       {{"keep", "f 644 k"}},
       1},
      {"a later entry of a name replaces the earlier",
       "twice.tar",
       {"f:t:old", "f:t:new", "f:u:u"},
       {{"t", "f 644 new"}, {"u", "f 644 u"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.archive.ends_with(".lz4") && test::missingTool("lz4")) continue;
    if (row.archive.ends_with(".zst") && test::missingTool("zstd")) continue;
    const fs::path archive = mDir / row.archive;
    ASSERT_EQ(test::run(test::archiveCommand(archive, row.members)), 0);
    ArchiveExtractor::Check check;
    const fs::path placed = extractHere(archive, std::nullopt, &check);
    std::map<std::string, std::string> tree = treeOf(placed);
    if (row.tree.empty()) {
      // The first row: everything but q.
      EXPECT_FALSE(tree.contains("q"));
      EXPECT_EQ(tree[deep + "/r"], "l " + climb + "y0");
      EXPECT_EQ(tree["y0/note"], "f 644 n");
    } else {
      EXPECT_EQ(tree, row.tree);
    }
    EXPECT_EQ(check.linksLeftOut(), row.linksLeftOut);
    EXPECT_EQ(check.specialsLeftOut(), row.specialsLeftOut);
    EXPECT_EQ(leftovers(mDir.path()), 0);
    fs::remove_all(placed);
  }
  struct stat first {
  }, second{};
  ASSERT_EQ(test::run(test::archiveCommand(mDir / "h.tar", {"f:a:x", "h:b:a"})), 0);
  const fs::path placed = extractHere(mDir / "h.tar");
  ASSERT_EQ(lstat((placed / "a").c_str(), &first), 0);
  ASSERT_EQ(lstat((placed / "b").c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);
}

TEST_F(ArchiveExtractorTest, RefusesBeforeWritingAnything) {
  const struct {
    const char* name;
    std::string archive;
    std::vector<std::string> members;
    std::string message;
  } rows[] = {
      {"parent", "p.tar", {"f:ok:1", "f:ok/../../up.txt:x"}, "指向解压位置之外"},
      {"absolute", "a.tar", {"f:/tmp/vexel-extractor-abs.txt:x"}, "是绝对路径"},
      {"through a link", "l.tar", {"l:l:.", "f:l/f:x"}, "位于链接“l”之下"},
      {"a ./ link", "dot.tar", {"l:./:/tmp", "f:x:x"}, "没有名字的文件或链接（“./”）"},
      {"an empty name", "e.zip", {"f::x"}, "没有名字的文件或链接"},
      {"zip parent", "z.zip", {"f:a:1", "f:../zup:x"}, "指向解压位置之外"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path archive = mDir / row.archive;
    ASSERT_EQ(test::run(test::archiveCommand(archive, row.members)), 0);
    const auto before = treeOf(mDir.path());
    try {
      (void)ArchiveExtractor::check(archive);
      ADD_FAILURE() << "not refused";
    } catch (const ArchiveError& error) {
      EXPECT_NE(error.message().find(row.message), std::string::npos) << error.message();
    }
    EXPECT_EQ(treeOf(mDir.path()), before);
  }
  EXPECT_FALSE(fs::exists("/tmp/vexel-extractor-abs.txt"));
}

// Names that are not UTF-8 get the archive-wide decision the preview shows.
TEST_F(ArchiveExtractorTest, NamesFilesAsThePreviewDoes) {
  const fs::path archive = mDir / "gbk.zip";
  // 报告/项目计划书.txt and 图片.txt in GBK, without the UTF-8 flag; 图片's
  // bytes also read as valid UTF-8.
  test::writeFile(
      archive,
      test::zipBytes({{.name = "\xb1\xa8\xb8\xe6/", .data = ""},
                      {.name = "\xb1\xa8\xb8\xe6/\xcf\xee\xc4\xbf\xbc\xc6\xbb\xae\xca\xe9.txt",
                       .data = "plan"},
                      {.name = "\xcd\xbc\xc6\xac.txt", .data = "pic"}}));
  const auto listing = ExtensionArchive::list(archive, 10.0);
  std::vector<std::string> shown;
  for (const ArchiveNode* node : listing.tree->root().descendants())
    shown.emplace_back(node->path());
  const fs::path placed = extractHere(archive);
  std::vector<std::string> written;
  for (const auto& [path, description] : treeOf(placed)) written.push_back(path);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(written, shown);
  EXPECT_EQ(test::readFile(placed / "报告" / "项目计划书.txt"), "plan");

  // A GBK tar: the link's target is decided with the names.
  constexpr const char* kWriter = R"(
import io, tarfile
with tarfile.open('gbk.tar', 'w', format=tarfile.GNU_FORMAT, encoding='latin-1') as t:
  def name(b): return b.decode('latin-1')
  f = tarfile.TarInfo(name(b'\xb1\xa8\xb8\xe6/\xcf\xee\xc4\xbf.txt')); f.size = 4
  t.addfile(f, io.BytesIO(b'plan'))
  l = tarfile.TarInfo(name(b'\xd7\xee\xd0\xc2')); l.type = tarfile.SYMTYPE
  l.linkname = name(b'\xb1\xa8\xb8\xe6/\xcf\xee\xc4\xbf.txt'); t.addfile(l)
)";
  ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) + " && python3 -c " +
                      shellQuoted(std::string(kWriter))),
            0);
  const fs::path tar = extractHere(mDir / "gbk.tar");
  EXPECT_EQ(fs::read_symlink(tar / "最新"), "报告/项目.txt");
  EXPECT_EQ(test::readFile(tar / "最新"), "plan");
}

// libarchive's own archives of every format it reads, extracted here and by
// bsdtar -x: the same files, folders and links.
TEST_F(ArchiveExtractorTest, ExtractsWhatBsdtarExtracts) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) VEXEL_SKIP_UNLESS_CI() << "libarchive's test archives are not here";
  if (!test::hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  for (const char* name :
       {"test_read_format_rar.rar", "test_read_format_rar5_win32.rar", "test_read_format_cab_1.cab",
        "test_read_format_lha_header2.lzh", "test_read_format_xar_archive1.xar",
        "test_read_format_iso_joliet_rockridge.iso", "test_compat_cpio_1.cpio",
        "test_compat_gtar_1.tar", "test_compat_lzma_2.tlz", "test_compat_perl_archive_tar.tar",
        "test_pax_filename_encoding.tar", "test_read_format_zip_filename_cp866.zip"}) {
    SCOPED_TRACE(name);
    const fs::path archive = mDir / name;
    fs::copy_file(*fixtures / name, archive);
    const fs::path placed = extractHere(archive);
    const fs::path theirs = mDir / "bsdtar";
    fs::create_directories(theirs);
    // Names that are not UTF-8: bsdtar writes their bytes (or gives up on
    // them); this extractor decides them. There only the count is compared.
    const bool legacyNames = std::string_view(name).find("filename") != std::string_view::npos;
    const int status =
        test::run("bsdtar -xf " + shellQuoted(archive) + " -C " + shellQuoted(theirs));
    const auto ours = shapeOf(placed);
    const auto expected = shapeOf(theirs);
    if (!legacyNames) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(ours, expected);
    } else {
      EXPECT_GE(ours.size(), expected.size());
    }
    fs::remove_all(placed);
    fs::remove_all(theirs);
    fs::remove(archive);
  }
}

// A Debian package gives the files it installs, as dpkg-deb -x does: data
// members of each compression, links and all.
TEST_F(ArchiveExtractorTest, ExtractsWhatDpkgDebGives) {
  if (!test::hasTool("dpkg-deb")) VEXEL_SKIP_UNLESS_CI() << "dpkg-deb is not installed";
  const std::string package =
      "mkdir -p pkg/DEBIAN pkg/usr/bin pkg/usr/share/doc/demo pkg/etc && printf 'Package: demo\\n"
      "Version: 1.0\\nArchitecture: all\\nMaintainer: t <t@example.org>\\nDescription: d\\n' > "
      "pkg/DEBIAN/control && printf '#!/bin/sh\\n' > pkg/usr/bin/demo && chmod 755 "
      "pkg/usr/bin/demo "
      "&& echo doc > pkg/usr/share/doc/demo/README && ln -s demo pkg/usr/bin/demo-link && echo c > "
      "pkg/etc/demo.conf";
  ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) + " && " + package), 0);
  for (const char* compression : {"xz", "gzip", "zstd", "none"}) {
    SCOPED_TRACE(compression);
    const fs::path deb = mDir / (std::string("demo_") + compression + ".deb");
    ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) + " && dpkg-deb -Z" + compression +
                        " --root-owner-group -b pkg " + shellQuoted(deb) + " >/dev/null"),
              0);
    const fs::path theirs = mDir / "dpkg";
    ASSERT_EQ(test::run("dpkg-deb -x " + shellQuoted(deb) + " " + shellQuoted(theirs)), 0);
    const fs::path placed = extractHere(deb);
    EXPECT_EQ(treeOf(placed), treeOf(theirs));
    EXPECT_EQ(test::readFile(placed / "usr/share/doc/demo/README"), "doc\n");
    fs::remove_all(placed);
    fs::remove_all(theirs);
  }
}

TEST_F(ArchiveExtractorTest, TakesZipPasswords) {
  const auto fixtures = test::fixturesDir();
  if (!fixtures) VEXEL_SKIP_UNLESS_CI() << "libarchive's test archives are not here";
  const struct {
    const char* name;
    std::optional<std::string> password;
    bool succeeds;
  } rows[] = {
      {"test_read_format_zip_traditional_encryption_data.zip", "12345678", true},
      {"test_read_format_zip_traditional_encryption_data.zip", "wrong", false},
      {"test_read_format_zip_traditional_encryption_data.zip", std::nullopt, false},
      {"test_read_format_zip_winzip_aes256.zip", "password", true},
      {"test_read_format_zip_winzip_aes256.zip", "wrong", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.password.value_or("(none)"));
    const fs::path archive = mDir / row.name;
    fs::copy_file(*fixtures / row.name, archive, fs::copy_options::overwrite_existing);
    const ArchiveExtractor::Check check = ArchiveExtractor::check(archive);
    EXPECT_TRUE(check.hasEncryptedData());
    EXPECT_FALSE(check.needsOtherArchiver());
    try {
      const fs::path placed = extractHere(archive, row.password);
      EXPECT_TRUE(row.succeeds);
      EXPECT_FALSE(fs::is_empty(placed));
      fs::remove_all(placed);
    } catch (const ArchiveError& error) {
      EXPECT_FALSE(row.succeeds) << error.message();
      EXPECT_EQ(error.kind(), ArchiveError::Kind::passwordRequired) << error.message();
    }
    EXPECT_EQ(leftovers(mDir.path()), 0);
  }
  // 7z and RAR data libarchive cannot decrypt; encrypted names it cannot list.
  EXPECT_TRUE(ArchiveExtractor::check(*fixtures / "test_read_format_7zip_encryption.7z")
                  .needsOtherArchiver());
  EXPECT_TRUE(ArchiveExtractor::check(*fixtures / "test_read_format_rar4_encrypted.rar")
                  .needsOtherArchiver());
  for (const char* name : {"test_read_format_7zip_encryption_header.7z",
                           "test_read_format_rar5_encrypted_filenames.rar"}) {
    SCOPED_TRACE(name);
    try {
      (void)ArchiveExtractor::check(*fixtures / name);
      ADD_FAILURE() << "listed";
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error.kind(), ArchiveError::Kind::passwordRequired) << error.message();
    }
  }
}

// A compressed file that is no archive extracts to the one file.
TEST_F(ArchiveExtractorTest, PlacesASingleCompressedFile) {
  test::writeFile(mDir / "notes.txt", "hello\n");
  ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) + " && gzip notes.txt"), 0);
  ArchiveExtractor::Check check;
  const fs::path placed = extractHere(mDir / "notes.txt.gz", std::nullopt, &check);
  EXPECT_TRUE(check.isSingleFile());
  EXPECT_EQ(placed, mDir / "notes.txt");
  EXPECT_EQ(test::readFile(placed), "hello\n");
  EXPECT_EQ(extractHere(mDir / "notes.txt.gz"), mDir / "notes.txt (2)");
}

// The check's bounds, made small: each ends it with its own message.
TEST_F(ArchiveExtractorTest, CheckStopsAtItsBounds) {
  std::vector<std::string> members;
  for (int k = 0; k < 20; ++k) members.push_back("f:file-" + std::to_string(k) + ":x");
  members.push_back("l:link:" + std::string(300, 't'));
  ASSERT_EQ(test::run(test::archiveCommand(mDir / "t.tar", members)), 0);
  auto now = std::chrono::steady_clock::now();
  // Every look at the clock finds eleven seconds gone.
  const ArchiveExtractor::Clock late = [&now] { return now += std::chrono::seconds(11); };
  const ArchiveExtractor::Clock steady = [] { return std::chrono::steady_clock::now(); };
  const struct {
    const char* name;
    ArchiveExtractor::Clock clock;
    ArchiveExtractor::CheckBounds bounds;
    std::optional<ArchiveError::CheckBound> stop;
  } rows[] = {
      {"time", late, {}, ArchiveError::CheckBound::time},
      {"entries", steady, {.maxEntries = 10}, ArchiveError::CheckBound::entries},
      {"names", steady, {.maxNameBytes = 100}, ArchiveError::CheckBound::names},
      {"link targets", steady, {.maxNameBytes = 250}, ArchiveError::CheckBound::names},
      {"within", steady, {.maxEntries = 21, .maxNameBytes = 400}, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      const ArchiveExtractor::Check check =
          ArchiveExtractor::check(mDir / "t.tar", std::nullopt, row.clock, row.bounds);
      EXPECT_FALSE(row.stop);
      EXPECT_EQ(check.entryCount(), 21);
    } catch (const ArchiveError& error) {
      ASSERT_TRUE(row.stop) << error.message();
      EXPECT_EQ(error, ArchiveError::tooLargeToCheck(*row.stop));
    }
  }
}

// libarchive's table of what a 7z header declares counts against the
// check's memory: past the budget the check ends with its own message.
TEST_F(ArchiveExtractorTest, CheckStopsAtItsMemoryBudget) {
  test::writeFile(mDir / "empty-files.7z", test::sevenZipOfEmptyFiles(1'000'000));
  test::writeFile(mDir / "small.zip", test::zipBytes({{.name = "a.txt", .data = "x"}}));
  const ArchiveExtractor::Clock steady = [] { return std::chrono::steady_clock::now(); };
  const struct {
    const char* file;
    std::int64_t budget;
    bool isOver;
  } rows[] = {
      {"empty-files.7z", std::int64_t{16} << 20, true},
      {"small.zip", std::int64_t{16} << 20, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    try {
      const ArchiveExtractor::Check check = ArchiveExtractor::check(
          mDir / row.file, std::nullopt, steady, {.memoryBudget = row.budget});
      EXPECT_FALSE(row.isOver);
      EXPECT_EQ(check.entryCount(), 1);
    } catch (const ArchiveError& error) {
      ASSERT_TRUE(row.isOver) << error.message();
      EXPECT_EQ(error, ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::memory));
    }
  }
}

// A big member, cancelled from another thread once writing has begun.
TEST_F(ArchiveExtractorTest, CancelLeavesNothingBehind) {
  ASSERT_EQ(
      test::run(
          "cd " + shellQuoted(mDir.path()) +
          " && mkdir big && head -c 64000000 /dev/zero > big/zeros && printf x > big/z-late.txt"
          " && tar -czf big.tar.gz big && rm -r big"),
      0);
  const auto before = treeOf(mDir.path());
  auto task = std::make_shared<TaskHandle>();
  const ArchiveExtractor::Check check = ArchiveExtractor::check(mDir / "big.tar.gz");
  try {
    WorkFolder work(mDir.path());
    ArchiveExtractor::extract(mDir / "big.tar.gz", check, work, std::nullopt, task,
                              [&](double done) {
                                if (done > 0) task->cancel();
                              });
    ADD_FAILURE() << "not cancelled";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::cancelled());
  }
  EXPECT_EQ(treeOf(mDir.path()), before);

  // Cancelled while the check reads the headers: the check ends at once.
  ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) +
                      " && mkdir huge && head -c 1000000000 /dev/zero > huge/zeros && printf x > "
                      "huge/z && tar -czf huge.tar.gz huge && rm -r huge"),
            0);
  auto checking = std::make_shared<TaskHandle>();
  std::thread canceller([checking] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    checking->cancel();
  });
  const auto started = std::chrono::steady_clock::now();
  try {
    (void)ArchiveExtractor::check(mDir / "huge.tar.gz", std::nullopt, checking);
    ADD_FAILURE() << "not cancelled";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::cancelled());
  }
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// A ZIP whose headers understate what its data inflates to (a bomb past
// the free-space check): writing stops at the listed size, nothing stays.
TEST_F(ArchiveExtractorTest, DataPastItsListedSizeIsNotWritten) {
  ASSERT_EQ(test::run("cd " + shellQuoted(mDir.path()) +
                      " && head -c 64000000 /dev/zero > big.bin && zip -q lie.zip big.bin"
                      " && rm big.bin"),
            0);
  std::string bytes = test::readFile(mDir / "lie.zip");
  // The uncompressed size, little-endian: 1000.
  const auto putSize = [&bytes](std::size_t at) {
    bytes.replace(at, 4, std::string("\xe8\x03\0\0", 4));
  };
  putSize(22);  // in the local header
  const std::size_t central = bytes.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  putSize(central + 24);  // in the central directory
  test::writeFile(mDir / "lie.zip", bytes);
  const auto before = treeOf(mDir.path());
  const ArchiveExtractor::Check check = ArchiveExtractor::check(mDir / "lie.zip");
  std::uintmax_t largest = 0;
  try {
    WorkFolder work(mDir.path());
    ArchiveExtractor::extract(mDir / "lie.zip", check, work, std::nullopt,
                              std::make_shared<TaskHandle>(), [&](double) {
                                std::error_code error;
                                const auto size = fs::file_size(work.path() / "big.bin", error);
                                if (!error) largest = std::max(largest, size);
                              });
    ADD_FAILURE() << "extracted";
  } catch (const ArchiveError& error) {
    EXPECT_NE(error.message().find("“big.bin”的数据比压缩包记录的大小多"), std::string::npos)
        << error.message();
  }
  EXPECT_LE(largest, 1000U);
  EXPECT_EQ(treeOf(mDir.path()), before);
}

// Another user who may write in the destination's folder renames the work
// folder and puts a link to elsewhere in its place while extraction runs:
// every write still lands in the work folder itself, and the link is never
// followed or placed.
TEST_F(ArchiveExtractorTest, SwappedWorkFolderSendsNothingElsewhere) {
  ASSERT_EQ(
      test::run("cd " + shellQuoted(mDir.path()) +
                " && mkdir -p src/d && head -c 8000000 /dev/urandom > src/d/big && printf late > "
                "src/d/z-late.txt && printf a > src/a && tar -cf race.tar -C src d a && rm -r src"),
      0);
  fs::create_directories(mDir / "elsewhere");
  const ArchiveExtractor::Check check = ArchiveExtractor::check(mDir / "race.tar");
  fs::path placed;
  fs::path moved;
  {
    WorkFolder work(mDir.path());
    bool swapped = false;
    ArchiveExtractor::extract(mDir / "race.tar", check, work, std::nullopt,
                              std::make_shared<TaskHandle>(), [&](double done) {
                                if (swapped || done <= 0) return;
                                swapped = true;
                                moved = work.path().string() + "-moved";
                                fs::rename(work.path(), moved);
                                fs::create_directory_symlink(mDir / "elsewhere", work.path());
                              });
    ASSERT_TRUE(swapped);
    placed = work.place("race");
  }
  EXPECT_TRUE(fs::is_empty(mDir / "elsewhere"));
  EXPECT_EQ(test::readFile(placed / "d/z-late.txt"), "late");
  EXPECT_EQ(test::readFile(placed / "a"), "a");
  EXPECT_FALSE(fs::is_symlink(placed));
  // The planted link stays where it was put, untouched; the moved folder is empty.
  EXPECT_TRUE(fs::is_empty(moved));
}

TEST_F(ArchiveExtractorTest, PlacesTheResult) {
  // A 254-byte archive name less ".zip" (250 bytes) fits; with " (2)" a
  // 253-byte name is cut to fit.
  const std::string longName(253, 'n');
  const struct {
    const char* name;
    std::vector<std::string> made;  // inside the result; "d:" a folder
    std::vector<std::string> taken;
    std::string stem;
    std::string placed;
  } rows[] = {
      {"one top folder", {"d:top", "top/a"}, {}, "arc", "top"},
      {"one hidden top folder",
       {"d:.ssh", ".ssh/authorized_keys"},
       {},
       "holiday-photos",
       "holiday-photos"},
      {"top folder taken", {"d:top", "top/a"}, {"top"}, "arc", "arc"},
      {"several entries", {"a", "b"}, {}, "arc", "arc"},
      {"name taken", {"a", "b"}, {"arc", "arc (2)"}, "arc", "arc (3)"},
      {"one file", {"a"}, {}, "arc", "arc"},
      {"a long name", {"a", "b"}, {}, std::string(250, 'n'), std::string(250, 'n')},
      {"a long name, taken",
       {"a", "b"},
       {longName, std::string(251, 'n') + " (2)"},
       longName,
       std::string(251, 'n') + " (3)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path parent = mDir / "place";
    fs::remove_all(parent);
    fs::create_directories(parent);
    for (const std::string& name : row.taken) fs::create_directory(parent / name);
    fs::path placed;
    {
      WorkFolder work(parent);
      for (const std::string& made : row.made) {
        if (made.starts_with("d:")) {
          fs::create_directory(work.resultPath() / made.substr(2));
        } else {
          test::writeFile(work.resultPath() / made, made);
        }
      }
      placed = work.place(row.stem);
    }
    EXPECT_EQ(placed, parent / row.placed);
    EXPECT_LE(placed.filename().string().size(), 255U);
    EXPECT_TRUE(fs::is_directory(placed));
    EXPECT_EQ(leftovers(parent), 0);
  }
  EXPECT_EQ(numberedName("项目", 2, ".zip"), "项目 (2).zip");
  // Cut where a character starts: 85 three-byte characters do not fit with " (10)".
  std::string wide;
  for (int k = 0; k < 85; ++k) wide += "项";
  EXPECT_EQ(numberedName(wide, 10), wide.substr(0, 83 * 3) + " (10)");
}

TEST_F(ArchiveExtractorTest, ClearsOnlyStaleWorkFoldersOfItsOwn) {
  // A killed run's folder: deep, with a read-only folder inside.
  const fs::path stale = mDir / ".vexel-stale123";
  fs::path deep = stale;
  for (int k = 0; k < 300; ++k) deep /= "d";
  fs::create_directories(deep);
  test::writeFile(deep / "f", "x");
  fs::permissions(stale / "d", fs::perms::owner_read | fs::perms::owner_exec);
  fs::create_directory(mDir / ".vexel-keepTHIS");  // not a name of ours
  fs::create_directory(mDir / ".vexel-short");
  WorkFolder live(mDir.path());
  test::writeFile(live.resultPath() / "in-use", "x");
  WorkFolder::clearStale(mDir.path());
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live.resultPath() / "in-use"));
  EXPECT_TRUE(fs::exists(mDir / ".vexel-keepTHIS"));
  EXPECT_TRUE(fs::exists(mDir / ".vexel-short"));
}

// What another archiver extracted goes through the same judgement.
TEST_F(ArchiveExtractorTest, AdoptsAnotherArchiversOutput) {
  const fs::path output = mDir / "output";
  fs::create_directories(output / "d");
  test::writeFile(output / "d/a.txt", "a");
  test::writeFile(output / "suid", "s");
  fs::permissions(output / "suid", static_cast<fs::perms>(04755));
  fs::create_symlink("../../etc/passwd", output / "d/out");
  fs::create_symlink("a.txt", output / "d/in");
  ASSERT_EQ(mkfifo((output / "fifo").c_str(), 0644), 0);
  fs::path placed;
  std::int64_t linksLeftOut = 0;
  std::int64_t specialsLeftOut = 0;
  {
    WorkFolder work(mDir.path());
    const ArchiveExtractor::Check adopted =
        ArchiveExtractor::adopt(output, work, std::make_shared<TaskHandle>());
    linksLeftOut = adopted.linksLeftOut();
    specialsLeftOut = adopted.specialsLeftOut();
    placed = work.place("adopted");
  }
  EXPECT_EQ(treeOf(placed),
            (std::map<std::string, std::string>{
                {"d", "d 755"}, {"d/a.txt", "f 644 a"}, {"d/in", "l a.txt"}, {"suid", "f 755 s"}}));
  EXPECT_EQ(linksLeftOut, 1);
  EXPECT_EQ(specialsLeftOut, 1);
}

}  // namespace
}  // namespace vexel
