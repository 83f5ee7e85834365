// preview_test_support.h: driving the preview controller as its host does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/dispatch_queue.h"
#include "quicklook/preview_view_controller.h"
#include "quicklook/render/preview_renderer.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel::test {

// previewOf: a controller that loaded its view, was asked for `file` and
// whose main queue ran until the completion handler was called (once, with
// no error, on the main queue).
inline std::shared_ptr<PreviewViewController> previewOf(const std::filesystem::path& file,
                                                        std::optional<double> timeLimit = {}) {
  auto controller = PreviewViewController::create();
  (void)controller->view();
  if (timeLimit) controller->setListingTimeLimit(*timeLimit);
  int calls = 0;
  bool onMainQueue = false;
  std::exception_ptr error;
  controller->preparePreviewOfFile(file, [&](std::exception_ptr e) {
    ++calls;
    error = e;
    onMainQueue = platform::DispatchQueue::main().isRunningBlock();
  });
  EXPECT_EQ(calls, 0) << "the handler ran before the request returned";
  EXPECT_TRUE(
      platform::DispatchQueue::main().runUntil([&] { return calls > 0; }, std::chrono::minutes(2)));
  platform::DispatchQueue::main().drain();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(error);
  EXPECT_TRUE(onMainQueue);
  return controller;
}

// rowNames: the names on show, indented by a space per level.
inline std::vector<std::string> rowNames(PreviewViewController& controller) {
  std::vector<std::string> out;
  for (const auto& row : quicklook_render::renderedRows(controller)) {
    out.push_back(std::string(static_cast<size_t>(row.depth), ' ') + row.name);
  }
  return out;
}

// makeZipWithPython: a deflated ZIP of `files` (name, content) made by
// python3's zipfile; false when python3 is missing.
inline bool makeZipWithPython(const std::filesystem::path& zip,
                              const std::vector<std::pair<std::string, std::string>>& files) {
  if (!hasTool("python3")) return false;
  const auto dir = zip.parent_path() / "py-src";
  std::filesystem::create_directories(dir);
  std::string script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    for i in range(2, len(sys.argv), 2):\n"
      "        z.write(sys.argv[i + 1], sys.argv[i])\n";
  writeFile(dir / "make.py", script);
  std::string command = "python3 " + shellQuoted(dir / "make.py") + " " + shellQuoted(zip);
  int index = 0;
  for (const auto& [name, content] : files) {
    const auto source = dir / std::to_string(index++);
    writeFile(source, content);
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // a literal joined to a temporary string.
    command.append(" ")
        .append(vexel::test::shellQuoted(std::string_view(name)))
        .append(" ")
        .append(shellQuoted(source));
  }
  return run(command) == 0;
}

}  // namespace vexel::test
