// volume_set.h: the volumes of a split archive, found beside the one chosen.
//
// A split archive is one byte stream cut into files: 7-Zip's -v switch and
// split(1) make name.7z.001, name.7z.002, ...; Info-ZIP's -s makes name.z01,
// name.z02, ..., name.zip. RAR volumes (name.part1.rar, name.part2.rar, ...;
// or name.rar, name.r00, name.r01, ...) carry headers of their own, but
// libarchive's RAR readers too take them one after another as one stream.
// `VolumeSet::find` takes any volume of a set and names all of them in
// order, so a listing reads the whole set whichever volume was chosen.
// The names and `stat` find the volumes; where the last is as large as the
// first, the start of the first and the end of the last are read to learn
// whether the format ends there.
//
//   const VolumeSet set = VolumeSet::find("/tmp/backup.7z.002");
//   // set.volumes(): backup.7z.001, backup.7z.002, ...; set.namePath(): /tmp/backup.7z
//
// Values are plain data; `find` may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::readers_internal {

// VolumeForm: how a set names its volumes.
enum class VolumeForm {
  numbered,     ///< name.001, name.002, ... (7-Zip, split)
  rarParts,     ///< name.part1.rar, name.part2.rar, ... (digits as wide as the first's)
  rarNumbered,  ///< name.rar, name.r00, name.r01, ...
  zipNumbered,  ///< name.z01, name.z02, ..., and name.zip last (Info-ZIP)
};

// VolumeName: a file name read as one volume of a set.
struct VolumeName {
  VolumeForm form = VolumeForm::numbered;
  std::string stem;          ///< the name before the volume suffix ("backup.7z")
  std::size_t index = 0;     ///< position in the set, from 0
  std::string partText;      ///< rarParts: ".part" as written
  std::string rarText;       ///< rarParts: ".rar" as written
  std::size_t width = 0;     ///< rarParts: the number of digits
  bool isUpperCase = false;  ///< rarNumbered, zipNumbered: the suffix letter is upper case

  // fileName: the name of the set's `index`th volume.
  [[nodiscard]] std::string fileName(std::size_t index) const;
  // lastIndex: the highest index the form can name.
  [[nodiscard]] std::size_t lastIndex() const noexcept;
};

// parseVolumeName: `fileName` read as a volume by its suffix (.NNN,
// .partN.rar, .rNN, .zNN; letter case ignored), or nothing. "name.000" is
// none: numbered sets start at .001. "name.rar" is the first volume of a
// rarNumbered set; whether it is one depends on its neighbours, which
// `VolumeSet::find` looks at.
[[nodiscard]] std::optional<VolumeName> parseVolumeName(std::string_view fileName);

// Volume: one file of a set.
struct Volume {
  std::filesystem::path path;
  std::int64_t size = 0;  ///< bytes; for a missing volume the size it should have, or 0
  bool isPresent = true;  ///< false: missing, or no regular file
};

// VolumeSet: the volumes of one archive, in order; a lone file is a set of one.
class VolumeSet {
 public:
  // single: `file` alone, not looked at.
  [[nodiscard]] static VolumeSet single(const std::filesystem::path& file);

  // find: the set `file` belongs to, found by name beside it: every volume
  // from the first up to the last one present, with a gap of at most
  // `kMaxMissingRun` missing numbers between two present ones. A missing
  // volume between present ones keeps its place as a hole with the size
  // of the others (so that what follows it is still at its offset), or,
  // when the volumes differ in size, ends the set there. Info-ZIP's last
  // volume (name.zip) is required, so it is a hole when missing. A file
  // that is no volume, or that is no regular file, is `single`.
  // @throws ArchiveError (`firstVolumeNeeded`) when the set's first volume
  // is missing.
  [[nodiscard]] static VolumeSet find(const std::filesystem::path& file);

  // kMaxMissingRun: how many missing numbers in a row the search looks past.
  static constexpr std::size_t kMaxMissingRun = 8;

  [[nodiscard]] const std::vector<Volume>& volumes() const noexcept { return mVolumes; }
  // namePath: the archive's path without its volume suffix
  // (/tmp/notes.txt.gz for /tmp/notes.txt.gz.001): a stream without names
  // of its own is named after it.
  [[nodiscard]] const std::filesystem::path& namePath() const noexcept { return mNamePath; }
  // isSplit: the file was named as a volume, even if no other volume is there.
  [[nodiscard]] bool isSplit() const noexcept { return mIsSplit; }
  // hasMissingVolumes: some volume between the first and the last is missing.
  [[nodiscard]] bool hasMissingVolumes() const noexcept;
  // seemsIncomplete: a volume is missing, or the set goes on: its format
  // says so (a 7z start header giving a larger archive, a RAR end block
  // saying another volume follows, a ZIP without its end record), or, where
  // the format does not say, it has two volumes or more and the last is as
  // large as the first (cut sets end in a shorter one). libarchive's RAR
  // readers end such a set without an error.
  [[nodiscard]] bool seemsIncomplete() const noexcept;
  // nextVolumeName: the file name of the volume after the last, when the
  // last is as large as the first and the format does not say that the set
  // ends there: the set may go on, and a stream that ends there may lack
  // that volume.
  [[nodiscard]] const std::optional<std::string>& nextVolumeName() const noexcept {
    return mNextVolumeName;
  }

 private:
  std::vector<Volume> mVolumes;
  std::optional<std::string> mNextVolumeName;
  std::filesystem::path mNamePath;
  bool mIsSplit = false;
  bool mIsKnownToGoOn = false;  // the format says another volume follows
};

}  // namespace vexel::readers_internal
