// entry_names.h: the stored name of each header libarchive reads, and what
// the archive says about its bytes.
//
// Run the reader under a UTF-8 thread locale: then libarchive's locale form
// of a name is the stored bytes where the format does not say what they are
// (tar, cpio, ZIP without the UTF-8 flag) and UTF-8 where it does (7z,
// RAR 5, xar, pax, flagged ZIP names, ZIP Unicode Path fields, which
// libarchive applies itself when their CRC matches the stored name). For
// ZIP, the central directory (zip_directory.h) tells flagged names from the
// others, keeps the bytes of a flagged name that libarchive would
// normalise to NFC or drop, and holds the NTFS time of an entry.
//
//   EntryNames names(input, archivePath);                     // one per reader
//   StoredName stored;
//   if (names.read(reader, entry, ordinal, stored)) decoder.name(stored.bytes, stored.origin, ...);
//   if (const auto exact = names.exactModified()) ...        // ZIP: the NTFS time
//
// `ordinal` counts every header libarchive hands back an entry for, failed
// ones included, from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "name_decoding.h"
#include "zip_directory.h"

struct archive;
struct archive_entry;

namespace vexel::readers_internal {

class InputFile;

// trimmedName: `name` without leading "./" and "/" or trailing "/"; the root
// entry of an ISO image ("." after trimming) counts as unnamed.
[[nodiscard]] std::string_view trimmedName(std::string_view name) noexcept;

// EntryNames: names the headers of one reader. Not for concurrent use; used
// on the thread that runs the reader.
class EntryNames {
 public:
  // EntryNames: for the reader over `input`, the archive at `archive` (its
  // file name names a raw stream and unnamed entries). `isUtf8Locale`: the
  // reader runs under a UTF-8 locale (else libarchive's UTF-8 form of a
  // name is asked for first). `input` must outlive this object.
  EntryNames(InputFile& input, std::filesystem::path archive, bool isUtf8Locale = true);

  // read: sets `stored` to the trimmed stored name of the header just read
  // and its origin. False for a header whose name trims to nothing ("./",
  // "/", an ISO image's "."), or that libarchive could not read at all. A
  // file whose stored name is empty is named as 7-Zip names it: the
  // archive's file name without its extension (also the name of a raw
  // stream's one entry), the second such file "name (2)" and so on; a folder stored without a name,
  // or a header libarchive failed to read (`isDamaged`), has nothing to show.
  [[nodiscard]] bool read(archive* reader, archive_entry* entry, std::size_t ordinal,
                          bool isDamaged, StoredName& stored);

  // StoredNameView: a stored name without a copy, valid until the next read.
  struct StoredNameView {
    std::string_view bytes;
    NameOrigin origin = NameOrigin::unmarked;
  };
  // readView: `read` without copying the name (a listing reads a million).
  [[nodiscard]] bool readView(archive* reader, archive_entry* entry, std::size_t ordinal,
                              bool isDamaged, StoredNameView& stored);

  // exactModified: the exact modification time (seconds since 1970 UTC)
  // that the archive keeps beside the one libarchive reports, for the header
  // just read: a ZIP's NTFS extra field.
  [[nodiscard]] std::optional<std::int64_t> exactModified() const noexcept {
    return mExactModified;
  }

  // isNamedAfterArchive: the header just read had no name of its own and
  // was named after the archive.
  [[nodiscard]] bool isNamedAfterArchive() const noexcept { return mIsNamedAfterArchive; }

  // ignoreZipDirectory: the reader gets data decompressed on the way (.xz
  // read by blocks), where the directory's offsets point nowhere in the file
  // and decoding threads read the file meanwhile: no lookups there.
  void ignoreZipDirectory() noexcept { mIsZipUsable = false; }

  // rulesFor: what the format of `reader` says of its unmarked names.
  [[nodiscard]] static NameRules rulesFor(archive* reader);

 private:
  const ZipRecord* zipRecord(std::string_view listed, bool hasName, std::size_t ordinal);

  std::filesystem::path mArchive;
  bool mIsUtf8Locale = true;
  ZipDirectory mZip;
  bool mIsZipUsable = true;
  std::string mScratch;  // a name made here rather than found (readView)
  std::optional<std::int64_t> mExactModified;
  std::size_t mUnnamed = 0;  // files named after the archive so far
  bool mIsNamedAfterArchive = false;
};

}  // namespace vexel::readers_internal
