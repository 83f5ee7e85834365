// archive_format.h: the catalogue of archive formats.
//
// Holds `ArchiveFormat` (the five formats the archive manager can write, with
// their option table), the display names of listing type keys, the set of
// archive file extensions and the test that decides, by name alone, whether a
// file is an archive. Listing, trees and errors live elsewhere (archive_tree.h,
// core/readers/). This is the only part of the core the Finder extension links.
//
//   if (vexel::isArchive("/tmp/backup.7z.001")) { ... }
//   vexel::displayNameOfType("rar5");   // "RAR 5"
//
// Everything here is constant and safe to use from any thread.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace vexel {

// ArchiveFormat: a format the archive manager can create, in declaration order.
enum class ArchiveFormat {
  zip,       ///< "zip"
  sevenZip,  ///< "7z"
  rar,       ///< "rar"
  tar,       ///< "tar"
  tarGz,     ///< "tar.gz"
};

// allArchiveFormats: the five formats in declaration order.
inline constexpr std::array<ArchiveFormat, 5> allArchiveFormats = {
    ArchiveFormat::zip, ArchiveFormat::sevenZip, ArchiveFormat::rar, ArchiveFormat::tar,
    ArchiveFormat::tarGz};

// rawValue: the format's raw value ("zip", "7z", "rar", "tar", "tar.gz").
[[nodiscard]] std::string_view rawValue(ArchiveFormat format) noexcept;
// displayName: the name shown to the user ("ZIP", "7z", "RAR", "TAR", "TAR.GZ").
[[nodiscard]] std::string_view displayName(ArchiveFormat format) noexcept;
// fileExtension: the extension of files in this format; equals the raw value.
[[nodiscard]] std::string_view fileExtension(ArchiveFormat format) noexcept;
// supportsPassword, supportsLevel, supportsSolid, supportsEncryptedNames,
// supportsRecovery: the options the format offers when an archive is created.
[[nodiscard]] bool supportsPassword(ArchiveFormat format) noexcept;
[[nodiscard]] bool supportsLevel(ArchiveFormat format) noexcept;
[[nodiscard]] bool supportsSolid(ArchiveFormat format) noexcept;
[[nodiscard]] bool supportsEncryptedNames(ArchiveFormat format) noexcept;
[[nodiscard]] bool supportsRecovery(ArchiveFormat format) noexcept;

// archiveFormatFromRawValue: the format whose raw value equals `raw` exactly
// (case-sensitive), or nothing.
[[nodiscard]] std::optional<ArchiveFormat> archiveFormatFromRawValue(std::string_view raw) noexcept;

// archiveFormatFromType: the format for a listing type name, compared after
// lower-casing: "zip", "7z", "rar"/"rar5", "tar"; nothing for anything else
// (including "tar.gz" and "gzip").
[[nodiscard]] std::optional<ArchiveFormat> archiveFormatFromType(std::string_view type);

// displayNameOfType: the user-facing name of a type key ("rar5" -> "RAR 5",
// "" -> "压缩包", "zstd" -> "Zstandard"); unknown keys come back upper-cased.
[[nodiscard]] std::string displayNameOfType(std::string_view type);

// archiveExtensions: the 26 lower-case extensions (without the dot) that mark
// a file as an archive. Built once on first use; thread-safe.
[[nodiscard]] const std::unordered_set<std::string>& archiveExtensions();

// isArchive: whether the file is to be treated as an archive, judged by its
// last path component alone: a volume suffix (.partN.rar, .rNN, .zNN, .NNN) or
// a last extension in `archiveExtensions()`, letter case ignored. The file is
// never touched. A trailing "/" is ignored when taking the last component.
[[nodiscard]] bool isArchive(const std::filesystem::path& file);

}  // namespace vexel
