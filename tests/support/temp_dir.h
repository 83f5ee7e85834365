// temp_dir.h: a fresh temporary folder per test, removed with everything in it.
//
//   vexel::test::TempDir dir;
//   const auto file = dir.path() / "a.zip";
//
// One object per test; not shared between threads.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace vexel::test {

// writeFile: writes `bytes` to `file` exactly, replacing it.
inline void writeFile(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

// readFile: the whole content of `file`.
inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// TempDir: makes a unique folder under the system's temporary folder and
// removes it, contents included, when it goes away.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }
  [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
    return mPath / name;
  }

  // write: creates `name` (and its folders) holding `content`.
  std::filesystem::path write(std::string_view name, std::string_view content) const {
    const std::filesystem::path file = mPath / name;
    std::filesystem::create_directories(file.parent_path());
    writeFile(file, content);
    return file;
  }

 private:
  std::filesystem::path mPath;
};

}  // namespace vexel::test
