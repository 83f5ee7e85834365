#include "archive_description.h"

#include <string_view>

#include "foundation/byte_count_formatter.h"

namespace vexel {

std::string archiveDescription(const ExtensionArchive::Listing& listing) {
  constexpr std::string_view kSeparator = " · ";
  const ArchiveTree& tree = *listing.tree;
  std::string out = listing.typeName + " 压缩包";
  out += kSeparator;
  if (!listing.complete) out += "至少 ";
  out += std::to_string(tree.fileCount()) + " 个文件";
  if (tree.dirCount() > 0) {
    out += kSeparator;
    out += std::to_string(tree.dirCount()) + " 个文件夹";
  }
  if (tree.hasEncryptedFiles()) {
    out += kSeparator;
    out += "已加密";
  }
  // Folders alone, or formats that record no sizes, have nothing to sum.
  if (tree.totalSize() > 0) {
    out += kSeparator;
    out += listing.complete ? "原始大小 " : "原始大小至少 ";
    out += platform::ByteCountFormatter::stringFromByteCount(tree.totalSize());
  }
  return out;
}

}  // namespace vexel
