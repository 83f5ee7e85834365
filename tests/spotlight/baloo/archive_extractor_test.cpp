// The Baloo extractor plug-in loaded as Baloo loads it: found by
// KFileMetaData's collection through its metadata, in the build tree's
// plug-in folder, and run on generated archives.
#include <gtest/gtest.h>
#include <KFileMetaData/Extractor>
#include <KFileMetaData/ExtractorCollection>
#include <KFileMetaData/SimpleExtractionResult>
#include <QMimeDatabase>
#include <QString>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "model/archive_format.h"
#include "spotlight/archive_text.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/lock_holders.h"
#include "support/process_census.h"
#include "support/seven_zip.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace {

using KFileMetaData::ExtractionResult;
using vexel::test::TempDir;
using vexel::test::writeFile;
using vexel::test::zipBytes;

// collection: KFileMetaData's extractors, ours among them (Qt reads
// QT_PLUGIN_PATH once, so it is set before the first use).
KFileMetaData::ExtractorCollection& collection() {
  static KFileMetaData::ExtractorCollection* extractors = [] {
    setenv("QT_PLUGIN_PATH", VEXEL_QT_PLUGIN_DIR, 1);
    return new KFileMetaData::ExtractorCollection;
  }();
  return *extractors;
}

// ours: the extractor KFileMetaData picks for a 7z file, which no stock
// extractor takes.
KFileMetaData::Extractor* ours() {
  const QList<KFileMetaData::Extractor*> found =
      collection().fetchExtractors(QStringLiteral("application/x-7z-compressed"));
  return found.size() == 1 ? found.front() : nullptr;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

// Extracted: what the plug-in gave for one file.
struct Extracted {
  QString text;
  QString description;
  bool isArchive = false;
};

Extracted extract(const std::filesystem::path& file, const QString& mimeType,
                  ExtractionResult::Flags flags) {
  KFileMetaData::SimpleExtractionResult result(qt(file.string()), mimeType, flags);
  ours()->extract(&result);
  Extracted out;
  out.text = result.text();
#if QT_VERSION_MAJOR >= 6
  const QList<QVariant> descriptions =
      result.properties().values(KFileMetaData::Property::Description);
#else
  const QList<QVariant> descriptions = result.properties(KFileMetaData::PropertiesMapType::MultiMap)
                                           .values(KFileMetaData::Property::Description);
#endif
  EXPECT_LE(descriptions.size(), 1);
  if (!descriptions.isEmpty()) out.description = descriptions.front().toString();
  out.isArchive = result.types().contains(KFileMetaData::Type::Archive);
  return out;
}

TEST(BalooArchiveExtractor, TakesEveryArchiveTypeOfTheCatalogue) {
  ASSERT_NE(ours(), nullptr);
  std::vector<std::string> names;
  for (const std::string& extension : vexel::archiveExtensions()) names.push_back("a." + extension);
  for (const char* name : {"a.tar.gz", "a.tar.bz2", "a.tar.xz", "a.tar.zst", "a.tar.lzma",
                           "a.tar.Z", "a.7z.001", "a.jar"})
    names.emplace_back(name);
  const QMimeDatabase types;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const QString type = types.mimeTypeForFile(qt(name), QMimeDatabase::MatchExtension).name();
    // Volumes of other splits (a.001) have no type of their own.
    if (name == "a.001") {
      EXPECT_EQ(type.toStdString(), "application/octet-stream");
      continue;
    }
    // KFileMetaData falls back to a type's parents (a .jar is a ZIP).
    const QList<KFileMetaData::Extractor*> found = collection().fetchExtractors(type);
    EXPECT_TRUE(found.contains(ours())) << type.toStdString();
  }
}

TEST(BalooArchiveExtractor, GivesWhatTheFlagsAskFor) {
  ASSERT_NE(ours(), nullptr);
  TempDir dir;
  const auto file = dir.path() / "a.zip";
  writeFile(file, zipBytes({{.name = "docs/readme.txt", .data = "12345"},
                            {.name = "项目计划书.txt", .data = "123", .utf8Flag = true}}));
  const QString zip = QStringLiteral("application/zip");
  // SimpleExtractionResult joins appended texts with a space after each.
  const QString text = QStringLiteral("docs docs/readme.txt 项目计划书.txt ");
  const QString description =
      QStringLiteral("ZIP 压缩包 · 2 个文件 · 1 个文件夹 · 原始大小 8 字节");
  struct Row {
    const char* name;
    ExtractionResult::Flags flags;
    QString text;
    QString description;
  };
  const Row rows[] = {
      {"text and facts", ExtractionResult::ExtractPlainText | ExtractionResult::ExtractMetaData,
       text, description},
      {"facts only, as for Dolphin's information panel", ExtractionResult::ExtractMetaData,
       QString(), description},
      {"text only", ExtractionResult::ExtractPlainText, text, QString()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Extracted got = extract(file, zip, row.flags);
    EXPECT_EQ(got.text.toStdString(), row.text.toStdString());
    EXPECT_EQ(got.description.toStdString(), row.description.toStdString());
    EXPECT_TRUE(got.isArchive);
  }
}

TEST(BalooArchiveExtractor, DescribesWhatTheListingFound) {
  ASSERT_NE(ours(), nullptr);
  if (!vexel::test::hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  TempDir dir;
  const auto tree = dir.path() / "tree";
  std::filesystem::create_directories(tree / "empty");
  writeFile(tree / "big.bin", std::string(1'500'000, 'x'));
  writeFile(tree / "small.txt", "x");
  const std::string at = "cd " + vexel::test::shellQuoted(tree.string()) + " && ";
  ASSERT_EQ(vexel::test::run(at + "bsdtar -cf ../files.tar big.bin small.txt"), 0);
  ASSERT_EQ(vexel::test::run(at + "bsdtar -cf ../folder.tar empty"), 0);
  // A tar cut inside its second header: the first member is listed, the listing is incomplete.
  ASSERT_EQ(vexel::test::run(
                at + "bsdtar -cf - small.txt big.bin 2>/dev/null | head -c 1100 > ../cut.tar"),
            0);
  struct Row {
    const char* file;
    const char* description;
  };
  const Row rows[] = {
      {"files.tar", "TAR 压缩包 · 2 个文件 · 原始大小 1.5 MB"},
      {"folder.tar", "TAR 压缩包 · 0 个文件 · 1 个文件夹"},
      {"cut.tar", "TAR 压缩包 · 至少 1 个文件 · 原始大小至少 1 字节"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const Extracted got = extract(dir.path() / row.file, QStringLiteral("application/x-tar"),
                                  ExtractionResult::ExtractMetaData);
    EXPECT_EQ(got.description.toStdString(), row.description);
  }
  if (vexel::test::hasTool(vexel::test::sevenZipTool())) {
    ASSERT_EQ(vexel::test::run(at + vexel::test::sevenZipTool() +
                               " a -bd -bso0 -psecret ../locked.zip small.txt"),
              0);
    const Extracted got = extract(dir.path() / "locked.zip", QStringLiteral("application/zip"),
                                  ExtractionResult::ExtractMetaData);
    EXPECT_EQ(got.description.toStdString(), "ZIP 压缩包 · 1 个文件 · 已加密 · 原始大小 1 字节");
  }
}

// Baloo's extractor is a long-lived process: a listing stopped at its
// deadline must leave no thread, fork or work of ours running in it. The
// archive's first file is 64 GiB of zeros in bzip2 (80 KB): skipping it
// would take many minutes.
// Baloo's extractor is a threaded process of KDE's whose other threads may
// hold the time zone's, the converters' or malloc's lock at any moment: the
// lister is started (fork then exec at once) and lists in its own process,
// so every listing completes whatever those threads do.
TEST(BalooArchiveExtractor, ListsWhileTheHostsThreadsHoldLibraryLocks) {
  ASSERT_NE(ours(), nullptr);
  TempDir dir;
  std::vector<vexel::test::ZipEntry> entries;
  QString expected;
  for (int i = 0; i < 30; ++i) {
    entries.push_back({.name = "f" + std::to_string(i) + ".txt", .data = "x"});
    expected += qt("f" + std::to_string(i) + ".txt ");
  }
  const auto zip = dir.path() / "probe.zip";
  writeFile(zip, zipBytes(entries));
  vexel::test::forEachLockMode([&] {
    int complete = 0;
    for (int run = 0; run < 15; ++run) {
      const Extracted got =
          extract(zip, QStringLiteral("application/zip"), ExtractionResult::ExtractPlainText);
      if (got.text == expected) ++complete;
    }
    EXPECT_EQ(complete, 15);
  });
}

TEST(BalooArchiveExtractor, LeavesNothingRunningAfterAHostileArchive) {
  vexel::test::ProcessCensus::mark();
  ASSERT_NE(ours(), nullptr);
  TempDir dir;
  const auto bomb = dir.path() / "zeros.tar.bz2";
  ASSERT_EQ(vexel::test::run("python3 " VEXEL_SOURCE_DIR "/bench/make_hostile.py bzip2-bomb " +
                             vexel::test::shellQuoted(bomb.string())),
            0);
  const auto small = dir.path() / "small.zip";
  writeFile(small, zipBytes({{.name = "a.txt", .data = "x"}}));
  const auto flags = ExtractionResult::ExtractPlainText | ExtractionResult::ExtractMetaData;
  EXPECT_TRUE(extract(small, QStringLiteral("application/zip"), flags)
                  .isArchive);  // what the first listing starts
  const auto before = vexel::test::ProcessCensus::take();
  const auto start = std::chrono::steady_clock::now();
  const Extracted got = extract(bomb, QStringLiteral("application/x-bzip-compressed-tar"), flags);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(got.text.toStdString(), "zeros.bin ");
  EXPECT_LT(seconds, vexel::kIndexTimeLimit + 1.5);
  EXPECT_TRUE(vexel::test::ProcessCensus::settlesTo(before))
      << "threads " << before.threads << " -> " << vexel::test::ProcessCensus::take().threads
      << ", forks " << before.forks << " -> " << vexel::test::ProcessCensus::take().forks;
}

TEST(BalooArchiveExtractor, GivesNothingForWhatItCannotList) {
  ASSERT_NE(ours(), nullptr);
  TempDir dir;
  writeFile(dir.path() / "notes.zip", "not an archive\n");
  for (const auto& file : {dir.path() / "notes.zip", dir.path() / "missing.zip", dir.path()}) {
    SCOPED_TRACE(file.string());
    const Extracted got =
        extract(file, QStringLiteral("application/zip"),
                ExtractionResult::ExtractPlainText | ExtractionResult::ExtractMetaData);
    EXPECT_TRUE(got.text.isEmpty());
    EXPECT_TRUE(got.description.isEmpty());
    EXPECT_FALSE(got.isArchive);
  }
}

}  // namespace
