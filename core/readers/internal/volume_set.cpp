#include "volume_set.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "process/unique_fd.h"
#include "readers/archive_error.h"
#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool endsWithCaseless(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  const std::string_view tail = text.substr(text.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(),
                    [](char a, char b) { return lower(a) == b; });
}

// number: the value of a run of at most nine digits.
std::size_t number(std::string_view digits) {
  std::size_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::size_t>(c - '0');
  return value;
}

std::string padded(std::size_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// regularFileSize: the size of the regular file at `path`; nothing for a
// missing path or anything else (a pipe or a device is never read as a volume).
std::optional<std::int64_t> regularFileSize(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::int64_t>(info.st_size);
}

// zipLeader: Info-ZIP's last volume name.zip read as the set it ends.
std::optional<VolumeName> zipLeader(std::string_view fileName) {
  if (!endsWithCaseless(fileName, ".zip")) return std::nullopt;
  return VolumeName{.form = VolumeForm::zipNumbered,
                    .stem = std::string(fileName.substr(0, fileName.size() - 4)),
                    .isUpperCase = fileName[fileName.size() - 3] == 'Z'};
}

std::string zipTrailer(const VolumeName& name) {
  return name.stem + (name.isUpperCase ? ".ZIP" : ".zip");
}

// readAt: up to `length` bytes of `path` from `offset`; fewer at its end,
// nothing when it cannot be read.
std::optional<std::string> readAt(const std::filesystem::path& path, std::int64_t offset,
                                  std::size_t length) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd || offset < 0) return std::nullopt;
  std::string bytes(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd.get(), bytes.data() + done, length - done,
                                static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

std::uint64_t littleEndianAt(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::uint32_t crc32Of(std::string_view bytes) {
  return lzma_crc32(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0);
}

// SetEnd: what the stream's own format says of where it ends.
enum class SetEnd { unknown, here, later };

// sevenZipEnd: a 7z start header gives the offset and size of the header at
// the archive's end, so the size of the whole archive.
SetEnd sevenZipEnd(std::string_view head, std::int64_t setSize) {
  static constexpr std::string_view kSignature("7z\xBC\xAF\x27\x1C", 6);
  if (head.size() < 32 || !head.starts_with(kSignature)) return SetEnd::unknown;
  if (crc32Of(head.substr(12, 20)) != littleEndianAt(head, 8, 4)) return SetEnd::unknown;
  const std::uint64_t offset = littleEndianAt(head, 12, 8);
  const std::uint64_t size = littleEndianAt(head, 20, 8);
  constexpr std::uint64_t kMax = std::uint64_t{1} << 62;
  if (offset > kMax || size > kMax) return SetEnd::unknown;
  return 32 + offset + size <= static_cast<std::uint64_t>(setSize) ? SetEnd::here : SetEnd::later;
}

// zipEnd: a ZIP ends with its end-of-central-directory record, its comment
// after it.
SetEnd zipEnd(std::string_view head, std::string_view tail) {
  if (!head.starts_with("PK")) return SetEnd::unknown;
  constexpr std::size_t kRecord = 22;
  for (std::size_t at = tail.size() >= kRecord ? tail.size() - kRecord + 1 : 0; at-- > 0;) {
    if (tail.compare(at, 4, "PK\x05\x06") == 0 &&
        at + kRecord + littleEndianAt(tail, at + 20, 2) == tail.size()) {
      return SetEnd::here;
    }
  }
  return SetEnd::later;
}

// rar4End: RAR 4's end-of-archive block (type 0x7B, its CRC the low half
// of the CRC-32 of the block after the CRC) closes the last volume; flag
// 0x0001 says another volume follows.
SetEnd rar4End(std::string_view tail) {
  for (std::size_t at = tail.size() >= 7 ? tail.size() - 7 + 1 : 0; at-- > 0;) {
    if (static_cast<unsigned char>(tail[at + 2]) != 0x7B) continue;
    const std::uint64_t size = littleEndianAt(tail, at + 5, 2);
    if (size < 7 || at + size > tail.size()) continue;
    if ((crc32Of(tail.substr(at + 2, size - 2)) & 0xFFFF) != littleEndianAt(tail, at, 2)) continue;
    return (littleEndianAt(tail, at + 3, 2) & 0x0001) != 0 ? SetEnd::later : SetEnd::here;
  }
  return SetEnd::unknown;
}

// vint: RAR 5's variable-length number at `at`, seven bits a byte.
std::optional<std::uint64_t> vint(std::string_view bytes, std::size_t& at) {
  std::uint64_t value = 0;
  for (unsigned shift = 0; at < bytes.size() && shift < 64; shift += 7) {
    const auto byte = static_cast<unsigned char>(bytes[at++]);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
  return std::nullopt;
}

// rar5End: RAR 5's end-of-archive header (type 5) closes the last volume;
// its flag 0x0001 says another volume follows.
SetEnd rar5End(std::string_view tail) {
  for (std::size_t start = tail.size() >= 8 ? tail.size() - 8 + 1 : 0; start-- > 0;) {
    std::size_t at = start + 4;
    const std::optional<std::uint64_t> size = vint(tail, at);
    if (!size || *size == 0 || *size > tail.size() - at) continue;
    const std::size_t end = at + static_cast<std::size_t>(*size);
    if (crc32Of(tail.substr(start + 4, end - start - 4)) != littleEndianAt(tail, start, 4))
      continue;
    const auto type = vint(tail, at);
    const auto flags = vint(tail, at);
    if (!type || *type != 5 || !flags) continue;
    // An extra area would come before the end flags; the end header has none.
    if ((*flags & 0x0003) != 0) continue;
    const auto endFlags = vint(tail, at);
    if (!endFlags || at > end) continue;
    return (*endFlags & 0x0001) != 0 ? SetEnd::later : SetEnd::here;
  }
  return SetEnd::unknown;
}

// formatEnd: whether the stream of `volumes`, all present, ends with the
// last of them, as far as the format at its start says.
SetEnd formatEnd(const std::vector<Volume>& volumes) {
  constexpr std::size_t kHead = 32;
  // Room for a ZIP comment of the longest length after its end record.
  constexpr std::size_t kTail = 22 + 0xFFFF;
  const std::optional<std::string> head = readAt(volumes.front().path, 0, kHead);
  if (!head) return SetEnd::unknown;
  std::int64_t setSize = 0;
  for (const Volume& volume : volumes) setSize += volume.size;
  if (const SetEnd end = sevenZipEnd(*head, setSize); end != SetEnd::unknown) return end;
  const Volume& last = volumes.back();
  const std::int64_t from = std::max<std::int64_t>(0, last.size - static_cast<std::int64_t>(kTail));
  const std::optional<std::string> tail =
      readAt(last.path, from, static_cast<std::size_t>(last.size - from));
  if (!tail) return SetEnd::unknown;
  static constexpr std::string_view kRar4("Rar!\x1A\x07\x00", 7);
  static constexpr std::string_view kRar5("Rar!\x1A\x07\x01\x00", 8);
  // RAR's end block is the last thing of a volume and a few bytes long.
  const std::string_view rarTail =
      std::string_view(*tail).substr(tail->size() - std::min<std::size_t>(tail->size(), 64));
  if (head->starts_with(kRar5)) return rar5End(rarTail);
  if (head->starts_with(kRar4)) return rar4End(rarTail);
  return zipEnd(*head, *tail);
}

}  // namespace

std::string VolumeName::fileName(std::size_t at) const {
  switch (form) {
    case VolumeForm::numbered:
      return stem + "." + padded(at + 1, 3);
    case VolumeForm::rarParts:
      return stem + partText + padded(at + 1, width) + rarText;
    case VolumeForm::rarNumbered:
      if (at == 0) return stem + (isUpperCase ? ".RAR" : ".rar");
      return stem + (isUpperCase ? ".R" : ".r") + padded(at - 1, 2);
    case VolumeForm::zipNumbered:
      return stem + (isUpperCase ? ".Z" : ".z") + padded(at + 1, 2);
  }
  return stem;
}

std::size_t VolumeName::lastIndex() const noexcept {
  switch (form) {
    case VolumeForm::numbered:
      return 998;  // .999
    case VolumeForm::rarParts:
      return 9998;
    case VolumeForm::rarNumbered:
      return 100;  // .r99
    case VolumeForm::zipNumbered:
      return 98;  // .z99
  }
  return 0;
}

std::optional<VolumeName> parseVolumeName(std::string_view fileName) {
  const std::size_t n = fileName.size();
  if (endsWithCaseless(fileName, ".rar")) {
    const std::string_view rest = fileName.substr(0, n - 4);
    std::size_t digits = 0;
    while (digits < rest.size() && isDigit(rest[rest.size() - 1 - digits])) ++digits;
    const std::string_view beforeDigits = rest.substr(0, rest.size() - digits);
    if (digits > 0 && digits <= 4 && endsWithCaseless(beforeDigits, ".part")) {
      const std::size_t part = number(rest.substr(rest.size() - digits));
      if (part == 0) return std::nullopt;
      return VolumeName{.form = VolumeForm::rarParts,
                        .stem = std::string(beforeDigits.substr(0, beforeDigits.size() - 5)),
                        .index = part - 1,
                        .partText = std::string(beforeDigits.substr(beforeDigits.size() - 5)),
                        .rarText = std::string(fileName.substr(n - 4)),
                        .width = digits};
    }
    return VolumeName{.form = VolumeForm::rarNumbered,
                      .stem = std::string(rest),
                      .isUpperCase = fileName[n - 3] == 'R'};
  }
  if (n < 5 || fileName[n - 4] != '.' || !isDigit(fileName[n - 2]) || !isDigit(fileName[n - 1])) {
    return std::nullopt;
  }
  const char kind = fileName[n - 3];
  const std::string stem(fileName.substr(0, n - 4));
  const std::size_t value = number(fileName.substr(n - 2));
  if (isDigit(kind)) {
    const std::size_t volume = static_cast<std::size_t>(kind - '0') * 100 + value;
    if (volume == 0) return std::nullopt;
    return VolumeName{.form = VolumeForm::numbered, .stem = stem, .index = volume - 1};
  }
  if (lower(kind) == 'r') {
    return VolumeName{.form = VolumeForm::rarNumbered,
                      .stem = stem,
                      .index = value + 1,
                      .isUpperCase = kind == 'R'};
  }
  if (lower(kind) == 'z' && value > 0) {
    return VolumeName{.form = VolumeForm::zipNumbered,
                      .stem = stem,
                      .index = value - 1,
                      .isUpperCase = kind == 'Z'};
  }
  return std::nullopt;
}

VolumeSet VolumeSet::single(const std::filesystem::path& file) {
  VolumeSet set;
  set.mVolumes.push_back(Volume{.path = file});
  set.mNamePath = file;
  return set;
}

VolumeSet VolumeSet::find(const std::filesystem::path& file) {
  // What is no regular file is left to the open, which says what it is.
  if (!regularFileSize(file)) return single(file);
  const std::filesystem::path dir = file.parent_path();
  const std::string fileName = file.filename().string();

  std::optional<VolumeName> name = parseVolumeName(fileName);
  bool isZipTrailer = false;
  if (!name) {
    name = zipLeader(fileName);
    if (!name || !regularFileSize(dir / name->fileName(0))) return single(file);
    isZipTrailer = true;
  }
  // A .rar without a .r00 beside it is an archive of its own.
  if (name->form == VolumeForm::rarNumbered && name->index == 0 &&
      !regularFileSize(dir / name->fileName(1))) {
    return single(file);
  }

  std::vector<std::optional<std::int64_t>> sizes;
  std::size_t lastFound = 0;
  const std::size_t chosen = isZipTrailer ? 0 : name->index;
  for (std::size_t at = 0; at <= name->lastIndex(); ++at) {
    if (at > chosen && at - lastFound > kMaxMissingRun) break;
    sizes.push_back(regularFileSize(dir / name->fileName(at)));
    if (sizes.back()) lastFound = at;
  }
  if (!sizes.front()) {
    throw ArchiveError::firstVolumeNeeded(text::decodeUtf8Lenient(name->fileName(0)));
  }
  sizes.resize(lastFound + 1);

  VolumeSet set;
  set.mIsSplit = true;
  switch (name->form) {
    case VolumeForm::numbered:
      set.mNamePath = dir / name->stem;
      break;
    case VolumeForm::rarParts:
      set.mNamePath = dir / (name->stem + name->rarText);
      break;
    case VolumeForm::rarNumbered:
      set.mNamePath = dir / name->fileName(0);
      break;
    case VolumeForm::zipNumbered:
      set.mNamePath = dir / zipTrailer(*name);
      break;
  }
  // Volumes are cut to one size, all but the last: a missing one then
  // keeps the place of that size. Where they differ, the set ends at it.
  const std::int64_t volumeSize = *sizes.front();
  const bool isUniform = std::all_of(sizes.begin(), sizes.end() - 1, [&](const auto& size) {
    return !size || *size == volumeSize;
  });
  for (std::size_t at = 0; at < sizes.size(); ++at) {
    const std::filesystem::path path = dir / name->fileName(at);
    if (sizes[at]) {
      set.mVolumes.push_back(Volume{.path = path, .size = *sizes[at]});
    } else if (isUniform) {
      set.mVolumes.push_back(Volume{.path = path, .size = volumeSize, .isPresent = false});
    } else {
      set.mVolumes.push_back(Volume{.path = path, .size = 0, .isPresent = false});
      return set;
    }
  }
  if (name->form == VolumeForm::zipNumbered) {
    const std::filesystem::path trailer = dir / zipTrailer(*name);
    const std::optional<std::int64_t> size = regularFileSize(trailer);
    set.mVolumes.push_back(Volume{.path = trailer, .size = size.value_or(0), .isPresent = !!size});
  } else if (*sizes.back() == volumeSize && lastFound < name->lastIndex()) {
    // Cut to one size, the set may go on, unless its format says where it
    // ends: a set cut into equal parts (split -n) ends in a full volume.
    const SetEnd end = set.hasMissingVolumes() ? SetEnd::unknown : formatEnd(set.mVolumes);
    if (end != SetEnd::here) set.mNextVolumeName = name->fileName(lastFound + 1);
    set.mIsKnownToGoOn = end == SetEnd::later;
  }
  return set;
}

bool VolumeSet::hasMissingVolumes() const noexcept {
  return std::any_of(mVolumes.begin(), mVolumes.end(),
                     [](const Volume& volume) { return !volume.isPresent; });
}

bool VolumeSet::seemsIncomplete() const noexcept {
  return hasMissingVolumes() ||
         (mNextVolumeName.has_value() && (mVolumes.size() > 1 || mIsKnownToGoOn));
}

}  // namespace vexel::readers_internal
