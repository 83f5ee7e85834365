#include "model/archive_format.h"

#include "text/unicode_case.h"

namespace vexel {
namespace {

using text::toLower;
using text::toUpper;

struct FormatRow {
  std::string_view rawValue;
  std::string_view displayName;
  bool password;
  bool level;
  bool solid;
  bool recovery;
};

// Rows in declaration order of ArchiveFormat. Encrypted names go with solid mode.
constexpr std::array<FormatRow, 5> kFormats = {{
    {"zip", "ZIP", true, true, false, false},
    {"7z", "7z", true, true, true, false},
    {"rar", "RAR", true, true, true, true},
    {"tar", "TAR", false, false, false, false},
    {"tar.gz", "TAR.GZ", false, true, false, false},
}};

const FormatRow& row(ArchiveFormat format) noexcept {
  return kFormats[static_cast<size_t>(format)];
}

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The volume suffix ".partN.rar", ".rNN", ".zNN" or ".NNN" at the end of a
// lower-cased name. Digits are ASCII digits.
bool hasVolumeSuffix(std::string_view name) {
  const size_t n = name.size();
  if (n >= 4 && name[n - 4] == '.' && isAsciiDigit(name[n - 2]) && isAsciiDigit(name[n - 1])) {
    const char kind = name[n - 3];
    if (kind == 'r' || kind == 'z' || isAsciiDigit(kind)) return true;
  }
  constexpr std::string_view kRar = ".rar";
  constexpr std::string_view kPart = ".part";
  if (!name.ends_with(kRar)) return false;
  std::string_view rest = name.substr(0, n - kRar.size());
  size_t digits = 0;
  while (digits < rest.size() && isAsciiDigit(rest[rest.size() - 1 - digits])) ++digits;
  if (digits == 0) return false;
  return rest.substr(0, rest.size() - digits).ends_with(kPart);
}

std::string_view lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path.size() == 1) return path;
  return path.substr(slash + 1);
}

}  // namespace

std::string_view rawValue(ArchiveFormat format) noexcept { return row(format).rawValue; }
std::string_view displayName(ArchiveFormat format) noexcept { return row(format).displayName; }
std::string_view fileExtension(ArchiveFormat format) noexcept { return row(format).rawValue; }
bool supportsPassword(ArchiveFormat format) noexcept { return row(format).password; }
bool supportsLevel(ArchiveFormat format) noexcept { return row(format).level; }
bool supportsSolid(ArchiveFormat format) noexcept { return row(format).solid; }
bool supportsEncryptedNames(ArchiveFormat format) noexcept { return row(format).solid; }
bool supportsRecovery(ArchiveFormat format) noexcept { return row(format).recovery; }

std::optional<ArchiveFormat> archiveFormatFromRawValue(std::string_view raw) noexcept {
  for (ArchiveFormat format : allArchiveFormats) {
    if (row(format).rawValue == raw) return format;
  }
  return std::nullopt;
}

std::optional<ArchiveFormat> archiveFormatFromType(std::string_view type) {
  const std::string key = toLower(type);
  if (key == "zip") return ArchiveFormat::zip;
  if (key == "7z") return ArchiveFormat::sevenZip;
  if (key == "rar" || key == "rar5") return ArchiveFormat::rar;
  if (key == "tar") return ArchiveFormat::tar;
  return std::nullopt;
}

std::string displayNameOfType(std::string_view type) {
  static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
      {"rar5", "RAR 5"},     {"rar", "RAR 4"},  {"zip", "ZIP"},           {"7z", "7z"},
      {"tar", "TAR"},        {"gzip", "GZip"},  {"bzip2", "BZip2"},       {"xz", "XZ"},
      {"zstd", "Zstandard"}, {"split", "分卷"}, {"deb", "Debian 软件包"}, {"", "压缩包"},
  };
  const std::string key = toLower(type);
  for (const auto& [known, name] : kNames) {
    if (key == known) return std::string(name);
  }
  return toUpper(type);
}

const std::unordered_set<std::string>& archiveExtensions() {
  // A function-local static: C++ guarantees one thread-safe initialisation.
  static const std::unordered_set<std::string> extensions = {
      "zip", "rar", "7z",  "tar", "gz",  "tgz", "bz2",  "tbz", "tbz2", "xz",  "txz", "zst", "lzma",
      "cab", "iso", "arj", "lzh", "lha", "z",   "cpio", "rpm", "deb",  "wim", "xar", "001", "jar",
  };
  return extensions;
}

bool isArchive(const std::filesystem::path& file) {
  const std::string name = toLower(lastPathComponent(file.native()));
  if (hasVolumeSuffix(name)) return true;
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  return archiveExtensions().contains(name.substr(dot + 1));
}

}  // namespace vexel
