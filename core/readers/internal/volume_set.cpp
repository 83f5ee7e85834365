#include "volume_set.h"

#include <sys/stat.h>

#include <algorithm>

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
    set.mNextVolumeName = name->fileName(lastFound + 1);
  }
  return set;
}

bool VolumeSet::hasMissingVolumes() const noexcept {
  return std::any_of(mVolumes.begin(), mVolumes.end(),
                     [](const Volume& volume) { return !volume.isPresent; });
}

bool VolumeSet::seemsIncomplete() const noexcept {
  return hasMissingVolumes() || (mVolumes.size() > 1 && mNextVolumeName.has_value());
}

}  // namespace vexel::readers_internal
