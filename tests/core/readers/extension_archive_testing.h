// extension_archive_testing.h: what the listing tests of ExtensionArchive
// share, one file per behaviour (names, formats, damage and limits, volumes).
//
//   EXPECT_EQ(pathsOf(ExtensionArchive::list(file, kLimit)), expected);
//   EXPECT_EQ(errorOf(file), ArchiveError::notArchive());
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"

namespace vexel::test {

// kLimit: a time limit no listing here comes near.
inline constexpr double kLimit = 60.0;

// pathsOf: every node of the listing's tree in pre-order, folders marked "/".
inline std::vector<std::string> pathsOf(const ExtensionArchive::Listing& listing) {
  std::vector<std::string> paths;
  for (const ArchiveNode* node : listing.tree->root().descendants()) {
    paths.push_back(std::string(node->path()) + (node->isDir() ? "/" : ""));
  }
  return paths;
}

inline std::vector<std::string> sorted(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// errorOf: what listing `file` throws; fails the test when nothing is thrown.
inline std::optional<ArchiveError> errorOf(const std::filesystem::path& file) {
  try {
    const auto listing = ExtensionArchive::list(file, kLimit);
    ADD_FAILURE() << file << " listed as " << listing.typeName;
  } catch (const ArchiveError& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace vexel::test
