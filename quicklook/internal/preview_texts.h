// preview_texts.h: the header, footer and message texts of the preview.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/archive_tree.h"
#include "readers/extension_archive.h"

namespace vexel::quicklook_internal {

inline constexpr std::string_view kEmptyArchiveText = "压缩包是空的。";
inline constexpr std::string_view kUnreadableSubtitle = "无法读取内容";
inline constexpr std::string_view kNamesEncryptedText =
    "这个压缩包的文件名也加密了，需要密码才能查看内容。\n用 Vexel 打开并输入密码即可。";

// subtitleText: "<type> 压缩包 · N 个文件[ · M 个文件夹][ · 已加密]"; a type
// name that ends in "包" ("Debian 软件包") stands without " 压缩包".
[[nodiscard]] std::string subtitleText(std::string_view typeName, const ArchiveTree& tree);

// footerText: "[<notice> · ][原始大小 T → ]压缩包 F[ · 压缩率 R%]". The
// uncompressed part needs a total above 0; the ratio needs the file to be
// smaller than the total. A listing cut short says why first, with the
// files it listed: "压缩包太大，只列出了前 N 个文件" (time or memory ran out),
// "压缩包已损坏，只列出了前 N 个文件" (a read error), "缺少分卷，只列出了前 N 个文件"
// (a volume of the set is missing).
[[nodiscard]] std::string footerText(std::int64_t fileSize, const ArchiveTree& tree,
                                     ExtensionArchive::Cutoff cutoff);

// compressionRatioPercent: fileSize / totalSize × 100 in double precision,
// rounded to the nearest integer with halves away from zero. totalSize > 0.
[[nodiscard]] std::int64_t compressionRatioPercent(std::int64_t fileSize, std::int64_t totalSize);

}  // namespace vexel::quicklook_internal
