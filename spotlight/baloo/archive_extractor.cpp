#include "archive_extractor.h"

#include <KFileMetaData/ExtractionResult>
#include <KFileMetaData/Properties>
#include <KFileMetaData/Types>
#include <QByteArray>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "lister/archive_description.h"
#include "lister/lister_client.h"
#include "spotlight/archive_text.h"

namespace vexel {

namespace {

// The archive types, one string of "type,type,..." made by CMake from the
// same list as archive_extractor.json.
constexpr std::string_view kMimeTypes = VEXEL_ARCHIVE_MIME_TYPES;

// listerProgram: vexel-lister where an installation puts it relative to
// this plug-in's file, else where the build tree does; nothing when neither
// has it.
std::optional<std::filesystem::path> listerProgram() {
  for (const char* relative : {VEXEL_LISTER_INSTALLED, VEXEL_LISTER_BUILT}) {
    const auto program =
        ListerClient::besideModule(reinterpret_cast<const void*>(&listerProgram), relative);
    if (program && ::access(program->c_str(), X_OK) == 0) return program;
  }
  return std::nullopt;
}

QString qt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

}  // namespace

ArchiveExtractor::~ArchiveExtractor() = default;

ArchiveExtractor::ArchiveExtractor(QObject* parent) : KFileMetaData::ExtractorPlugin(parent) {
  if (auto program = listerProgram()) mLister = std::make_unique<ListerClient>(std::move(*program));
  // Baloo's extractor runs with TZ unset, and glibc then reads the zone file
  // again on every local-time conversion, which libarchive makes for each
  // ZIP entry: listing a 100,000-entry ZIP takes three times as long. The
  // same zone, read once, when TZ is unset. The plug-in is made on the main
  // thread before any file is extracted.
  setenv("TZ", ":/etc/localtime", /*overwrite=*/0);
}

QStringList ArchiveExtractor::mimetypes() const {
  return QString::fromLatin1(kMimeTypes.data(), static_cast<int>(kMimeTypes.size()))
      .split(QLatin1Char(','), Qt::SkipEmptyParts);
}

void ArchiveExtractor::extract(KFileMetaData::ExtractionResult* result) {
  const QByteArray encoded = QFile::encodeName(result->inputUrl());
  const std::filesystem::path path(
      std::string(encoded.constData(), static_cast<std::size_t>(encoded.size())));
  const KFileMetaData::ExtractionResult::Flags flags = result->inputFlags();
  if (mLister) {
    try {
      if (const std::optional<ListerReply> reply =
              mLister->list(path, kIndexTimeLimit, kMaxTextContentBytes)) {
        // Failed (not an archive, damaged, or the lister died on it): Baloo
        // keeps what it knows from the name and type alone.
        if (reply->status == ListerReply::Status::failed) return;
        result->addType(KFileMetaData::Type::Archive);
        if (flags & KFileMetaData::ExtractionResult::ExtractMetaData) {
          result->add(KFileMetaData::Property::Description, qt(reply->description));
        }
        if (flags & KFileMetaData::ExtractionResult::ExtractPlainText) {
          for (const std::string_view line : reply->lines) result->append(qt(line));
        }
        return;
      }
    } catch (...) {
      // Out of memory for the reply: as a failed listing.
      return;
    }
  }
  std::call_once(mFallbackNotice, [] {
    std::fputs("vexel: vexel-lister 无法启动，压缩包在 Baloo 的进程中列出。\n", stderr);
  });
  try {
    const ExtensionArchive::Listing listing = listForIndexing(path);
    result->addType(KFileMetaData::Type::Archive);
    if (flags & KFileMetaData::ExtractionResult::ExtractMetaData) {
      // Description, unlike most text properties, is not indexed as words
      // of the file: archives do not all match "ZIP" or "压缩包".
      result->add(KFileMetaData::Property::Description,
                  QString::fromStdString(archiveDescription(listing)));
    }
    if (flags & KFileMetaData::ExtractionResult::ExtractPlainText) {
      // A path at a time: Baloo indexes each as it comes, and no copy of the
      // whole text (up to 64 MiB, twice that as UTF-16) is made.
      forEachTextLine(listing.tree->root(), kMaxTextContentBytes,
                      [&](std::string_view line) { result->append(qt(line)); });
    }
  } catch (...) {
    // Not an archive, damaged, unreadable, or out of memory: Baloo keeps
    // what it knows from the name and type alone.
  }
}

}  // namespace vexel
