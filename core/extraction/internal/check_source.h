// check_source.h: the header loop of the check before extraction, and the
// readers both passes open.
//
// The check reads every header on the listing's worker thread
// (readers/internal/listing_worker.h) as a `HeaderSource`, naming entries as
// the lister names them, and keeps what extraction needs in a `CheckData`;
// the extraction pass then opens the archive again with the same reader.
//
//   auto data = std::make_shared<CheckData>();
//   Counter counter;
//   auto collected = readers_internal::collectEntries(
//       makeCheckSource(file, InputFile::open(volumes), std::nullopt, data, false), bounds,
//       counter);
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extraction_plan.h"
#include "model/raw_entry.h"
#include "readers/internal/input_file.h"
#include "readers/internal/libarchive_reader.h"
#include "readers/internal/listing_worker.h"

namespace vexel::extraction_internal {

// baseFormat: libarchive's format code without its variant.
[[nodiscard]] int baseFormat(int formatCode);

// hasBadChecksum: the reader's last complaint is about a checksum (a
// ZIP entry whose CRC does not match its data).
[[nodiscard]] bool hasBadChecksum(archive* reader);

// newReader: the reader of every format, or of the raw format alone: a
// compressed file read as the one file it holds.
[[nodiscard]] readers_internal::ArchiveReader newReader(bool isDebianData, bool readsRaw);

// CheckData: what the check's header source learns, beyond what the
// listing channel carries. Shared with the caller, which reads it only once
// the source has finished (the channel's lock orders the two).
struct CheckData {
  std::vector<PlannedEntry> entries;  ///< one per header, unnamed ones included
  int formatCode = 0;
  bool hasEncryptedData = false;
  std::size_t linkBytes = 0;  ///< link targets' bytes, bounded like the names
  std::size_t maxLinkBytes = 0;
  std::int64_t namedCount = 0;  ///< entries with a name, as the bounds count them
};

// makeCheckSource: the header loop of a check over `input` (the archive
// `file`, open), filling `data`. Names and link targets are decided once
// every header is read, as the lister decides them.
[[nodiscard]] std::unique_ptr<readers_internal::HeaderSource> makeCheckSource(
    std::filesystem::path file, std::unique_ptr<readers_internal::InputFile> input,
    std::optional<std::string> password, std::shared_ptr<CheckData> data, bool readsRaw);

// Counter: the check keeps its entries in CheckData; the channel's only
// counts them against the bounds.
class Counter final : public readers_internal::EntryConsumer {
 public:
  bool take(RawEntry&& /*entry*/, bool /*isHeld*/) override { return true; }
};

}  // namespace vexel::extraction_internal
