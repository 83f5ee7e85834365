#include "handoff/extractor.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extraction/work_folder.h"
#include "foundation/byte_count_formatter.h"
#include "handoff/archiver.h"
#include "handoff/destination.h"
#include "host/host_usage.h"
#include "internal/handoff_texts.h"
#include "readers/archive_error.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string_view>

namespace vexel {
namespace {

namespace texts = handoff_internal;

namespace fs = std::filesystem;

// The address space the check may map: its memory budget and room for its
// worker's stack and heap, so the receiver stays under 256 MiB.
constexpr unsigned long long kCheckAddressSpace = 224ULL << 20;

// An archive whose every entry would be left out holds nothing but what
// could harm: an empty folder would only hide that.
void refuseWhenAllLeftOut(const ArchiveExtractor::Check& check) {
  const std::int64_t leftOut = check.linksLeftOut() + check.specialsLeftOut();
  if (check.writtenCount() == 0 && leftOut > 0) {
    throw ArchiveError::failed(texts::onlyLeftOut(check.linksLeftOut(), check.specialsLeftOut()));
  }
}

// hasRarSignature: the file begins as RAR 4 and RAR 5 archives do.
bool hasRarSignature(const fs::path& archive) {
  std::ifstream file(archive, std::ios::binary);
  char start[6] = {};
  return file.read(start, sizeof start) && std::string_view(start, sizeof start) == "Rar!\x1a\x07";
}

}  // namespace

void requireSpace(std::int64_t bytes, std::optional<std::int64_t> freeBytes,
                  const fs::path& folder) {
  if (!freeBytes || bytes <= *freeBytes) return;
  throw ArchiveError::failed(
      texts::notEnoughSpace(platform::ByteCountFormatter::stringFromByteCount(bytes),
                            platform::ByteCountFormatter::stringFromByteCount(*freeBytes), folder));
}

std::optional<std::string> Extractor::password() {
  if (!mAsked) {
    mAsked = true;
    mPassword = mAskPassword ? mAskPassword(mAttempts > 0) : std::nullopt;
    ++mAttempts;
  }
  return mPassword;
}

bool Extractor::askAgain() {
  if (!mAsked || !mPassword || mAttempts >= kMostAttempts) return false;
  mAsked = false;
  return true;
}

Extractor::Outcome Extractor::extract(const fs::path& archive) {
  // A run that was killed left its work folder here: ours to remove now.
  WorkFolder::clearStale(archive.parent_path());
  std::optional<ArchiveExtractor::Check> check;
  try {
    // libarchive's tables for what a header declares count against the
    // check's memory, however large one request (no program runs meanwhile).
    const platform::AddressSpaceBound bound(kCheckAddressSpace);
    check.emplace(ArchiveExtractor::check(archive, std::nullopt, mTask));
  } catch (const ArchiveError& error) {
    // Encrypted names: only 7-Zip can list them, with the password.
    if (error.kind() != ArchiveError::Kind::passwordRequired) throw;
  }
  if (!check || check->needsOtherArchiver()) return withSevenZip(archive);
  return withLibarchive(archive, *check);
}

Extractor::Outcome Extractor::withLibarchive(const fs::path& archive,
                                             const ArchiveExtractor::Check& check) {
  refuseWhenAllLeftOut(check);
  WorkFolder work(archive.parent_path());
  requireSpace(check.fileBytes(), work.freeBytes(), archive.parent_path());
  std::optional<std::string> given;
  if (check.hasEncryptedData()) {
    given = password();
    if (!given) throw ArchiveError::passwordRequired();
  }
  ArchiveExtractor::Extracted extracted;
  for (;;) {
    try {
      extracted = ArchiveExtractor::extract(archive, check, work, given, mTask, mProgress);
      break;
    } catch (const ArchiveError& error) {
      // Encryption only the data told of: the password is asked now; a
      // wrong one is asked for again.
      if (error.kind() != ArchiveError::Kind::passwordRequired || (mAsked && !askAgain())) throw;
      given = password();
      if (!given) throw;
      work.clearResult();
    }
  }
  // A cancel that came meanwhile places nothing.
  if (mTask && mTask->isCancelled()) throw ArchiveError::cancelled();
  Outcome outcome{.linksLeftOut = check.linksLeftOut(),
                  .specialsLeftOut = check.specialsLeftOut(),
                  .files = extracted.files,
                  .damaged = std::move(extracted.damaged)};
  if (check.isSingleFile()) {
    // notes.txt.gz gives notes.txt beside it, as gunzip would.
    const fs::path name = check.singleFileName();
    outcome.placed = work.placeFile(check.singleFileName(), name.stem().string(),
                                    name.has_stem() ? name.extension().string() : "");
  } else {
    // A package's usr and etc are no folders to place beside it.
    outcome.placed = work.place(archiveStem(archive.filename().string()), !check.isDebianPackage());
  }
  return outcome;
}

Extractor::Outcome Extractor::withSevenZip(const fs::path& archive) {
  const std::optional<SevenZip> sevenZip = SevenZip::find();
  if (!sevenZip) throw ArchiveError::toolMissing("7z");
  const SevenZip::AskPassword ask = [this] { return password(); };
  // The listing is judged like libarchive's: an unsafe archive is refused
  // before 7-Zip writes anything. A wrong password is asked for again.
  std::vector<ArchiveExtractor::ListedEntry> listed;
  for (;;) {
    try {
      listed = sevenZip->list(archive, ask, mTask);
      break;
    } catch (const ArchiveError& error) {
      if (error.kind() == ArchiveError::Kind::passwordRequired && askAgain()) continue;
      // Only a 7-Zip without RAR takes a RAR archive for no archive.
      if (error.kind() != ArchiveError::Kind::notArchive || !hasRarSignature(archive)) throw;
      throw ArchiveError::failed(texts::sevenZipReadsNoRar(sevenZip->path().filename().string()));
    }
  }
  const ArchiveExtractor::Check check = ArchiveExtractor::judge(std::move(listed));
  refuseWhenAllLeftOut(check);
  for (;;) {
    // Each attempt in a work folder of its own: what a wrong password let
    // 7-Zip write goes with it.
    WorkFolder work(archive.parent_path());
    requireSpace(check.fileBytes(), work.freeBytes(), archive.parent_path());
    const ArchiverOutput output(work);
    try {
      sevenZip->extract(archive, output.path(), ask, mTask, mProgress);
    } catch (const ArchiveError& error) {
      if (error.kind() == ArchiveError::Kind::passwordRequired && askAgain()) continue;
      throw;
    }
    // What 7-Zip wrote is judged again from what is there.
    const ArchiveExtractor::Check adopted = ArchiveExtractor::adopt(output.path(), work, mTask);
    // A cancel that came meanwhile places nothing.
    if (mTask && mTask->isCancelled()) throw ArchiveError::cancelled();
    return Outcome{.placed = work.place(archiveStem(archive.filename().string())),
                   .linksLeftOut = std::max(check.linksLeftOut(), adopted.linksLeftOut()),
                   .specialsLeftOut = std::max(check.specialsLeftOut(), adopted.specialsLeftOut())};
  }
}

}  // namespace vexel
