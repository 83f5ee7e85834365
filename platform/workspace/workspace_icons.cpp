#include "workspace/workspace.h"

#include <string>
#include <system_error>

namespace vexel::platform {
namespace {

std::string extensionOf(const std::filesystem::path& path) {
  std::string extension = path.filename().extension().string();
  if (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
  return extension;
}

UTType typeOfFile(const std::filesystem::path& path) {
  std::error_code error;
  const std::string extension = extensionOf(path);
  if (std::filesystem::is_directory(path, error)) {
    if (auto type = UTType::typeWithFilenameExtension(extension, UTType::package());
        type && type->isDeclared() && type->conformsTo(UTType::package())) {
      return *type;
    }
    return UTType::folder();
  }
  if (auto type = UTType::typeWithFilenameExtension(extension, UTType::data())) return *type;
  return UTType::data();
}

}  // namespace

ImagePtr Workspace::iconForFile(const std::filesystem::path& path) const {
  return iconForContentType(typeOfFile(path));
}

ImagePtr Workspace::iconForContentType(const UTType& type) const {
  return std::make_shared<const Image>(type.identifier());
}

}  // namespace vexel::platform
