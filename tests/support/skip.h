// skip.h: what a test does without something CI installs (a tool, Chromium,
// the fixture folder). Here it is skipped; under CI, which installs all of
// them (.ci/run sets VEXEL_CI=1), it fails, so it cannot pass there
// untested.
//
//   if (!vexel::test::hasTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "7zz is not installed";
//   for (const Row& row : rows) {
//     if (vexel::test::missingTool(row.tool)) continue;  // fails the test under CI
//
// What a configuration cannot have (a mount the container refuses, a tool
// that a sanitizer build leaves out) stays a plain GTEST_SKIP.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "support/command.h"

namespace vexel::test {

// underCi: whether VEXEL_CI is set to anything but "" or "0".
[[nodiscard]] inline bool underCi() {
  const char* value = std::getenv("VEXEL_CI");
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

// missingTool: whether `tool` is not on PATH. Under CI a missing tool also
// fails the test (without ending it), so a table row passed over for want of
// it cannot pass silently.
[[nodiscard]] inline bool missingTool(std::string_view tool) {
  if (hasTool(tool)) return false;
  if (underCi()) ADD_FAILURE() << tool << " is not installed, and CI (VEXEL_CI=1) installs it";
  return true;
}

}  // namespace vexel::test

// VEXEL_SKIP_UNLESS_CI: GTEST_SKIP(), except under CI, where it is a fatal
// failure; streams a reason the same way. Like GTEST_SKIP, it returns from
// the test body, SetUp or a void helper.
#define VEXEL_SKIP_UNLESS_CI()                                                    \
  return GTEST_MESSAGE_(                                                          \
      ::vexel::test::underCi() ? "Missing, and CI (VEXEL_CI=1) installs it" : "", \
      ::vexel::test::underCi() ? ::testing::TestPartResult::kFatalFailure         \
                               : ::testing::TestPartResult::kSkip)
