#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "corefoundation/core_foundation.h"
#include "corefoundation/md_importer.h"
#include "importer_loader.h"
#include "spotlight/import_archive.h"
#include "support/command.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace {

using vexel::test::importWith;
using vexel::test::LoadedImporter;
using vexel::test::run;
using vexel::test::shellQuoted;
using vexel::test::TempDir;
using vexel::test::textContent;

// makeZip: a ZIP with these entries in this order (a name ending in "/" is
// a folder), written by Python's zipfile, which keeps duplicates.
void makeZip(const std::filesystem::path& file, const std::vector<std::string>& names) {
  std::string command =
      "python3 -W ignore -c 'import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], \"w\") as z:\n"
      "    for n in sys.argv[2:]: z.writestr(n, \"\" if n.endswith(\"/\") else \"data \" + n)' " +
      shellQuoted(file);
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
  // a literal joined to a temporary string.
  for (const std::string& name : names)
    command.append(" ").append(shellQuoted(std::string_view(name)));
  ASSERT_EQ(run(command), 0) << command;
}

// The text an import stores, or nothing when it returns false.
std::optional<std::string> importedText(const std::filesystem::path& file) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  const bool imported = importWith(plugIn, attributes, file.string());
  std::optional<std::string> text = textContent(attributes);
  EXPECT_EQ(imported, text.has_value());
  EXPECT_EQ(CFDictionaryGetCount(attributes), imported ? 1 : 0);
  CFRelease(attributes);
  if (!imported) return std::nullopt;
  return text;
}

TEST(ImportArchive, TextIsEveryPathDepthFirstOnePerLine) {
  if (!vexel::test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  struct Row {
    const char* name;
    std::vector<std::string> entries;
    std::string text;
  };
  const Row rows[] = {
      {"one top-level file, no line feed after it", {"a.txt"}, "a.txt"},
      {"the folder that a deep entry implies", {"docs/readme.txt"}, "docs\ndocs/readme.txt"},
      {"a path listed twice", {"a.txt", "b.txt", "a.txt"}, "a.txt\nb.txt"},
      {"__MACOSX side entries", {"a.txt", "__MACOSX/", "__MACOSX/._a.txt"}, "a.txt"},
      {"two top-level folders, the first one's subtree first",
       {"x/1.txt", "y/1.txt", "x/sub/2.txt", "y/"},
       "x\nx/1.txt\nx/sub\nx/sub/2.txt\ny\ny/1.txt"},
      {"names that are not ASCII", {"归档/文件 1.txt"}, "归档\n归档/文件 1.txt"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const auto file = dir.path() / "a.zip";
    makeZip(file, row.entries);
    EXPECT_EQ(importedText(file), row.text);
  }
}

TEST(ImportArchive, ListsTarAnd7zAsWell) {
  for (const std::string& tool : {std::string("bsdtar"), vexel::test::sevenZipTool()}) {
    if (!vexel::test::hasTool(tool)) VEXEL_SKIP_UNLESS_CI() << tool << " is not installed";
  }
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "in/d/e");
  vexel::test::writeFile(dir.path() / "in/d/e/f.txt", "f");
  vexel::test::writeFile(dir.path() / "in/a.txt", "a");
  const std::string in = shellQuoted(dir.path() / "in");
  ASSERT_EQ(run("cd " + in + " && bsdtar -czf ../a.tar.gz a.txt d"), 0);
  ASSERT_EQ(run("cd " + in + " && " + vexel::test::sevenZipTool() + " a -bd -bso0 ../a.7z a.txt d"),
            0);
  EXPECT_EQ(importedText(dir.path() / "a.tar.gz"), "a.txt\nd\nd/e\nd/e/f.txt");
  // 7-Zip stores its own order; the tree keeps it, so only the set is fixed.
  const std::optional<std::string> sevenZip = importedText(dir.path() / "a.7z");
  ASSERT_TRUE(sevenZip.has_value());
  EXPECT_EQ(sevenZip->size(), std::string("a.txt\nd\nd/e\nd/e/f.txt").size());
  EXPECT_NE(sevenZip->find("d\nd/e\nd/e/f.txt"), std::string::npos) << *sevenZip;
}

TEST(ImportArchive, FilesWithNothingToIndexLeaveTheAttributesAsPassed) {
  if (!vexel::test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  vexel::test::writeFile(dir.path() / "notes.txt", "not an archive\n");
  makeZip(dir.path() / "empty.zip", {});
  vexel::test::writeFile(dir.path() / "empty.tar", std::string(10240, '\0'));
  vexel::test::writeFile(dir.path() / "damaged.zip", "PK\x03\x04 and then nothing useful");
  for (const char* name : {"notes.txt", "empty.zip", "empty.tar", "damaged.zip", "missing.zip"}) {
    SCOPED_TRACE(name);
    LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
    CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef before = CFStringCreateWithCString(kCFAllocatorDefault, "what the host put there",
                                                   kCFStringEncodingUTF8);
    CFDictionarySetValue(attributes, kMDItemTextContent, before);
    EXPECT_FALSE(importWith(plugIn, attributes, (dir.path() / name).string()));
    EXPECT_EQ(CFDictionaryGetValue(attributes, kMDItemTextContent), before);
    EXPECT_EQ(CFDictionaryGetCount(attributes), 1);
    EXPECT_EQ(CFGetRetainCount(before), 2);
    CFRelease(attributes);
    CFRelease(before);
  }
}

TEST(ImportArchive, CutShortListingStillGivesTheEntriesItHolds) {
  if (!vexel::test::hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "in");
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    names.push_back("file" + std::to_string(100 + i) + ".bin");
    vexel::test::writeFile(dir.path() / "in" / names.back(), std::string(4096, 'x'));
  }
  ASSERT_EQ(run("cd " + shellQuoted(dir.path() / "in") + " && bsdtar -cf ../whole.tar file*.bin"),
            0);
  // Cut inside the data of the eleventh member: ten whole members remain.
  const std::string whole = vexel::test::readFile(dir.path() / "whole.tar");
  const std::size_t member = 512 + 4096;
  vexel::test::writeFile(dir.path() / "cut.tar", whole.substr(0, 10 * member + 700));

  const std::optional<std::string> text = importedText(dir.path() / "cut.tar");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->substr(0, names[0].size() + 1), names[0] + "\n");
  EXPECT_NE(text->find(names[9]), std::string::npos);
  EXPECT_EQ(text->find(names[19]), std::string::npos);
}

// One path 20,000 folders deep is 20,001 lines whose text grows with the
// square of the depth (400 MB here): the text stops at the last whole line
// that fits the cap, in tree order.
TEST(ImportArchive, TextStopsAtAWholeLineUnderTheCap) {
  if (!vexel::test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  const auto tar = dir.path() / "deep.tar";
  ASSERT_EQ(run("python3 -c 'import io, sys, tarfile\n"
                "with tarfile.open(sys.argv[1], \"w\", format=tarfile.PAX_FORMAT) as t:\n"
                "    t.addfile(tarfile.TarInfo(\"d/\" * 20000 + \"f\"), io.BytesIO())' " +
                shellQuoted(tar)),
            0);
  const std::optional<std::string> text = importedText(tar);
  ASSERT_TRUE(text.has_value());
  ASSERT_LE(text->size(), vexel::kMaxTextContentBytes);
  std::size_t lines = 0;
  std::size_t start = 0;
  std::string expected = "d";
  while (start <= text->size()) {
    const std::size_t end = std::min(text->find('\n', start), text->size());
    ASSERT_EQ(std::string_view(*text).substr(start, end - start), expected) << lines;
    ++lines;
    expected += "/d";
    start = end + 1;
  }
  // The next line would not have fitted.
  EXPECT_GT(text->size() + 1 + expected.size(), vexel::kMaxTextContentBytes);
  EXPECT_LT(lines, 20'001U);
}

}  // namespace
