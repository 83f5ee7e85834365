// workspace.h: the desktop's shared services: file and type icons.
//
// `Workspace::shared()` gives icons as `Image` values (ui/image.h) that carry
// the type identifier they stand for: the icon of a file on disk follows its
// kind (folder, package, or the type of its extension), the icon of a type
// is that type's. Each call makes a new image; callers that show many rows
// keep their own cache per type.
//
//   auto icon = Workspace::shared().iconForContentType(UTType::folder());
//   icon->typeIdentifier();   // "public.folder"
//
// Icon lookups are safe from any thread.
#pragma once

#include <filesystem>

#include "foundation/ut_type.h"
#include "ui/image.h"

namespace vexel::platform {

// Workspace: the process's one workspace.
class Workspace {
 public:
  [[nodiscard]] static Workspace& shared();

  // iconForFile: the icon of the file at `path`: a folder's is the folder
  // type's (a package type's when its extension names a declared package),
  // a file's is its extension's data type's, else the data type's. A path
  // that does not exist is treated as a file.
  [[nodiscard]] ImagePtr iconForFile(const std::filesystem::path& path) const;
  // iconForContentType: the icon of a type.
  [[nodiscard]] ImagePtr iconForContentType(const UTType& type) const;

 private:
  Workspace() = default;
};

}  // namespace vexel::platform
