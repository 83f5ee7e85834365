// page_files.h: the preview page's style sheet, script and icons.
//
// They are real files under quicklook/render/page/, compiled in by the build
// (vexel_embed_files in cmake/VexelTargets.cmake writes `pageFiles`), so the
// host needs nothing beside itself to write a page.
#pragma once

#include <span>
#include <string_view>

namespace vexel::quicklook_render_internal {

// EmbeddedFile: one file as the build read it; `path` is relative to page/.
struct EmbeddedFile {
  std::string_view path;
  std::string_view bytes;
};

// pageFiles: every file of the page, in the order the build lists them.
[[nodiscard]] std::span<const EmbeddedFile> pageFiles();

// pageFile: the bytes of the file at `path`; empty for a path not listed.
[[nodiscard]] inline std::string_view pageFile(std::string_view path) {
  for (const EmbeddedFile& file : pageFiles()) {
    if (file.path == path) return file.bytes;
  }
  return {};
}

}  // namespace vexel::quicklook_render_internal
