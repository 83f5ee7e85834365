// seven_zip.h: finding and running the 7-Zip command-line tool in tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::test {

// sevenZip: the first of 7zz and 7z found on PATH.
inline std::optional<std::filesystem::path> sevenZip() {
  const char* path = getenv("PATH");
  if (path == nullptr) return std::nullopt;
  for (const char* name : {"7zz", "7z"}) {
    std::string_view dirs(path);
    while (!dirs.empty()) {
      const size_t colon = dirs.find(':');
      const std::filesystem::path candidate = std::filesystem::path(dirs.substr(0, colon)) / name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
    }
  }
  return std::nullopt;
}

// sevenZipTool: the name of that tool for a shell command (Debian 12's 7-Zip
// installs 7zz, Debian 13's 7z); "7zz" where neither is found, so that
// hasTool(sevenZipTool()) says no.
inline std::string sevenZipTool() {
  const std::optional<std::filesystem::path> found = sevenZip();
  return found ? found->filename().string() : "7zz";
}

}  // namespace vexel::test
