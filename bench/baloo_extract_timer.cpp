// baloo_extract_timer REPEAT FILE...: the Baloo extractor plug-in, found by
// KFileMetaData as Baloo finds it, extracting text and facts from each
// file, against `unzip -l` (indexer_timing.h).
#include <KFileMetaData/Extractor>
#include <KFileMetaData/ExtractorCollection>
#include <KFileMetaData/SimpleExtractionResult>
#include <QMimeDatabase>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "indexer_timing.h"

int main(int argc, char** argv) {
  setenv("QT_PLUGIN_PATH", VEXEL_QT_PLUGIN_DIR, 1);
  KFileMetaData::ExtractorCollection extractors;
  const QList<KFileMetaData::Extractor*> found =
      extractors.fetchExtractors(QStringLiteral("application/x-7z-compressed"));
  if (found.size() != 1) {
    std::fprintf(stderr, "the plug-in was not found in %s\n", VEXEL_QT_PLUGIN_DIR);
    return 2;
  }
  KFileMetaData::Extractor* extractor = found.front();
  const QMimeDatabase types;
  return vexel::bench::compareWithUnzip(argc, argv, [&](const char* file) {
    const QString path = QString::fromLocal8Bit(file);
    KFileMetaData::SimpleExtractionResult result(
        path, types.mimeTypeForFile(path).name(),
        KFileMetaData::ExtractionResult::ExtractPlainText |
            KFileMetaData::ExtractionResult::ExtractMetaData);
    extractor->extract(&result);
    if (result.text().isEmpty()) std::fprintf(stderr, "no text for %s\n", file);
  });
}
