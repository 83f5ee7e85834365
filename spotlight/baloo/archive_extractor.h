// archive_extractor.h: the KFileMetaData extractor plug-in through which
// Baloo (Dolphin's search, KRunner, Plasma search) finds an archive by the
// paths inside it, and Dolphin's information panel shows what it holds.
//
// KFileMetaData loads the plug-in from kf5/kfilemetadata/ under Qt's plug-in
// folder and reads the archive types it takes from archive_extractor.json;
// Baloo's extractor process then calls `extract` once per file, on one
// thread. Nothing here throws out of `extract`.
//
// KF6 differs in three places: find_package(KF6FileMetaData) and Qt 6, the
// folder kf6/kfilemetadata/, and the interface identifier, written
// `kfilemetadata_extractor_iid` there (the same string).
#pragma once

#include <KFileMetaData/ExtractorPlugin>
#include <QObject>
#include <QStringList>

#include <memory>
#include <mutex>

namespace vexel {

class ListerClient;

// ArchiveExtractor: gives every path inside an archive as plain text (one
// `append` per path, depth-first, at most kMaxTextContentBytes in all),
// the type Archive, and a Description with the archive's facts.
class ArchiveExtractor final : public KFileMetaData::ExtractorPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.kde.kf5.kfilemetadata.ExtractorPlugin" FILE "archive_extractor.json")
  Q_INTERFACES(KFileMetaData::ExtractorPlugin)

 public:
  explicit ArchiveExtractor(QObject* parent = nullptr);
  ~ArchiveExtractor() override;

  // mimetypes: the archive types of archive_extractor.json.
  [[nodiscard]] QStringList mimetypes() const override;
  // extract: lists the file at result->inputUrl() (10 s at most) through
  // vexel-lister, a sandboxed program of ours, and adds what the result's
  // flags ask for: the Description (ExtractMetaData) and the paths
  // (ExtractPlainText). A file that cannot be listed, or whose lister died,
  // gets nothing. Where the lister cannot be started at all (a build without
  // it), lists in this process (listForIndexing), as said once on stderr.
  void extract(KFileMetaData::ExtractionResult* result) override;

 private:
  std::unique_ptr<ListerClient> mLister;  ///< null when no lister was found
  std::once_flag mFallbackNotice;
};

}  // namespace vexel
