#include "archive_extractor.h"

#include <KFileMetaData/ExtractionResult>
#include <KFileMetaData/Properties>
#include <KFileMetaData/Types>
#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "archive_description.h"
#include "spotlight/archive_text.h"

namespace vexel {

namespace {

// The archive types, one string of "type,type,..." made by CMake from the
// same list as archive_extractor.json.
constexpr std::string_view kMimeTypes = VEXEL_ARCHIVE_MIME_TYPES;

}  // namespace

ArchiveExtractor::ArchiveExtractor(QObject* parent) : KFileMetaData::ExtractorPlugin(parent) {
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
  try {
    const QByteArray path = QFile::encodeName(result->inputUrl());
    const ExtensionArchive::Listing listing = listForIndexing(std::filesystem::path(
        std::string(path.constData(), static_cast<std::size_t>(path.size()))));
    result->addType(KFileMetaData::Type::Archive);
    const KFileMetaData::ExtractionResult::Flags flags = result->inputFlags();
    if (flags & KFileMetaData::ExtractionResult::ExtractMetaData) {
      // Description, unlike most text properties, is not indexed as words
      // of the file: archives do not all match "ZIP" or "压缩包".
      result->add(KFileMetaData::Property::Description,
                  QString::fromStdString(archiveDescription(listing)));
    }
    if (flags & KFileMetaData::ExtractionResult::ExtractPlainText) {
      // A path at a time: Baloo indexes each as it comes, and no copy of the
      // whole text (up to 64 MiB, twice that as UTF-16) is made.
      forEachTextLine(listing.tree->root(), kMaxTextContentBytes, [&](std::string_view line) {
        result->append(QString::fromUtf8(line.data(), static_cast<int>(line.size())));
      });
    }
  } catch (...) {
    // Not an archive, damaged, unreadable, or out of memory: Baloo keeps
    // what it knows from the name and type alone.
  }
}

}  // namespace vexel
