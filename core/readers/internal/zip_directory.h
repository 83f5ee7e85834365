// zip_directory.h: what a ZIP's central directory says about each entry
// beyond what libarchive hands back.
//
// libarchive does not tell whether a name carries the UTF-8 flag (and the
// name decision must know), normalises flagged names to NFC (so the NFC and
// NFD forms of one name would become one entry), hands back no name at all
// for a flagged name that is not UTF-8, and ignores the NTFS extra field
// (0x000a) that holds an entry's exact time (and reads only the DOS time
// where the extended timestamp is in the central directory alone). This reads the central
// directory on its own, through the listing's open file, record by record
// in the order libarchive lists a seekable ZIP (by local header offset).
//
//   ZipDirectory directory(input);  // the listing's InputFile
//   if (const ZipRecord* record = directory.recordAt(ordinal)) use(record->name);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::readers_internal {

class InputFile;

// ZipRecord: one central directory record, as far as names and dates need it.
struct ZipRecord {
  std::uint64_t localHeaderOffset = 0;  ///< corrected for bytes before the archive
  std::string name;                     ///< the name bytes as stored
  bool isUtf8 = false;                  ///< general-purpose flag bit 11
  /// The Unicode Path extra field (0x7075), when its CRC matches the name.
  std::optional<std::string> unicodePath;
  /// The exact modification time, in seconds since 1970 UTC, of the NTFS
  /// extra field (0x000a), else of the extended timestamp (0x5455), else of
  /// PKWARE's Unix field (0x000d): the order 7-Zip prefers them in.
  std::optional<std::int64_t> exactModified;
};

// ZipDirectory: the central directory of one ZIP file, read on first use
// through the listing's open file (the volumes of a split ZIP included).
// A directory whose records come by local header offset, as writers put
// them, is read a block at a time as the listing goes on; another is read
// whole and sorted. Not for concurrent use; used on the thread that reads
// the file.
class ZipDirectory {
 public:
  explicit ZipDirectory(InputFile& input);
  ~ZipDirectory();
  ZipDirectory(const ZipDirectory&) = delete;
  ZipDirectory& operator=(const ZipDirectory&) = delete;

  // recordAt: the record of the `ordinal`th entry (counting from 0) in the
  // order libarchive lists a seekable ZIP, which keeps only the first of
  // records that share a local header offset. Ordinals must not decrease
  // from one call to the next. Null when the directory cannot be read or
  // has no such record; valid until the next call.
  [[nodiscard]] const ZipRecord* recordAt(std::size_t ordinal);

  // sortAll: reads the whole directory at once and puts it in libarchive's
  // order, for a caller whose header did not match its record: a directory
  // out of offset order shows only as it is read.
  void sortAll();
  [[nodiscard]] bool isSortedWhole() const noexcept { return mIsSorted; }

 private:
  bool open();
  bool readNext(ZipRecord& record);
  bool loadSorted();

  InputFile& mInput;  // non-owning; outlives this object
  bool mIsOpen = false;
  bool mIsBroken = false;
  std::uint64_t mStart = 0;       // where the directory starts in the stream
  std::uint64_t mEnd = 0;         // where it ends
  std::uint64_t mCorrection = 0;  // bytes prepended to the archive (self-extractors)
  bool mIsSplit = false;          // a split ZIP: offsets count from their own volume
  // The block being read and where it lies in the stream, in a buffer
  // reused from block to block.
  std::vector<char> mBuffer;
  std::string_view mBlock;
  std::uint64_t mBlockStart = 0;
  std::uint64_t mNext = 0;  // stream offset of the next record to read
  ZipRecord mRecords[2];    // the current record, and the next being read
  std::size_t mCurrentSlot = 0;
  std::size_t mCurrentOrdinal = 0;
  bool mHasCurrent = false;
  // Set when the records are not in offset order: all of them, sorted.
  std::vector<ZipRecord> mSorted;
  bool mIsSorted = false;
};

}  // namespace vexel::readers_internal
