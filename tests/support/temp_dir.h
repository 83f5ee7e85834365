// temp_dir.h: a fresh temporary directory per test, removed afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace vexel::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return mPath; }
  [[nodiscard]] std::filesystem::path operator/(std::string_view name) const { return mPath / name; }

  // write: creates `name` (and its folders) holding `content`.
  std::filesystem::path write(std::string_view name, std::string_view content) const {
    const std::filesystem::path file = mPath / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
    return file;
  }

 private:
  std::filesystem::path mPath;
};

}  // namespace vexel::testing
