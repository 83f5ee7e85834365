#include "preview_texts.h"

#include <cmath>

#include "foundation/byte_count_formatter.h"

namespace vexel::quicklook_internal {
namespace {

constexpr std::string_view kSeparator = " · ";

std::string sizeText(std::int64_t bytes) {
  return platform::ByteCountFormatter::stringFromByteCount(
      bytes, platform::ByteCountFormatter::CountStyle::file);
}

// cutoffNotice: what the footer says first of a listing cut short.
std::string_view cutoffNotice(ExtensionArchive::Cutoff cutoff) {
  switch (cutoff) {
    case ExtensionArchive::Cutoff::none:
      return "";
    case ExtensionArchive::Cutoff::limits:
      return "压缩包太大";
    case ExtensionArchive::Cutoff::damage:
      return "压缩包已损坏";
    case ExtensionArchive::Cutoff::missingVolume:
      return "缺少分卷";
  }
  return "";
}

}  // namespace

std::string subtitleText(std::string_view typeName, const ArchiveTree& tree) {
  // A type that names the kind of file itself ("Debian 软件包") needs no
  // second noun.
  std::string out(typeName);
  if (!typeName.ends_with("包")) out += " 压缩包";
  out += std::string(kSeparator) + std::to_string(tree.fileCount()) + " 个文件";
  if (tree.dirCount() > 0)
    out += std::string(kSeparator) + std::to_string(tree.dirCount()) + " 个文件夹";
  if (tree.hasEncryptedFiles()) out += std::string(kSeparator) + "已加密";
  return out;
}

std::int64_t compressionRatioPercent(std::int64_t fileSize, std::int64_t totalSize) {
  const double ratio = static_cast<double>(fileSize) / static_cast<double>(totalSize) * 100.0;
  return std::llround(ratio);  // halves away from zero: 12.5 gives 13
}

std::string footerText(std::int64_t fileSize, const ArchiveTree& tree,
                       ExtensionArchive::Cutoff cutoff) {
  std::string out = "压缩包 " + sizeText(fileSize);
  const std::int64_t totalSize = tree.totalSize();
  if (totalSize > 0) {
    out = "原始大小 " + sizeText(totalSize) + " → " + out;
    // Stored entries and archive overhead can make the file as large as its
    // contents; a ratio of 100% or more says nothing then.
    if (fileSize < totalSize) {
      out += std::string(kSeparator) + "压缩率 " +
             std::to_string(compressionRatioPercent(fileSize, totalSize)) + "%";
    }
  }
  if (cutoff != ExtensionArchive::Cutoff::none) {
    out = std::string(cutoffNotice(cutoff)) + "，只列出了前 " + std::to_string(tree.fileCount()) +
          " 个文件" + std::string(kSeparator) + out;
  }
  return out;
}

}  // namespace vexel::quicklook_internal
