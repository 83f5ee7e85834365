// archive_description.h: the one-line account of an archive that the Baloo
// extractor gives Dolphin's information panel and tooltips.
//
//   archiveDescription(listing)  // "ZIP 压缩包 · 12 个文件 · 3 个文件夹 · 原始大小 1.2 MB"
//
// The plug-in's only user-visible text; pure, safe from any thread.
#pragma once

#include <string>

#include "readers/extension_archive.h"

namespace vexel {

// archiveDescription: the type, the counts of files and folders, "已加密"
// when some file is encrypted, and the total uncompressed size when known,
// joined by " · ". A listing cut short says "至少" (at least) before the
// file count and the size.
[[nodiscard]] std::string archiveDescription(const ExtensionArchive::Listing& listing);

}  // namespace vexel
