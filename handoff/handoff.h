// handoff.h: carrying out a hand-off request on Linux, where no archive
// manager application receives it.
//
// Holds `Handoff`, which extracts, compresses or previews the paths of a
// `HandoffRequest` (handoff_request.h) with the external archiver
// (archiver.h), checks archives before and after extracting them
// (extraction_check.h), never writes over anything (destination.h), and
// shows progress, questions and outcomes on the desktop (desktop.h).
//
//   vexel::Desktop desktop;
//   auto task = std::make_shared<vexel::TaskHandle>();   // cancel() stops the run
//   vexel::Handoff handoff(desktop, task);
//   const bool ok = handoff.perform(*vexel::HandoffRequest::parse(url).request);
//
// One request at a time, on one thread; `task` may be cancelled from any.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "handoff/archiver.h"
#include "handoff/desktop.h"
#include "handoff/handoff_request.h"
#include "tasks/task_handle.h"

namespace vexel {

class Handoff {
 public:
  Handoff(Desktop& desktop, std::shared_ptr<TaskHandle> task)
      : mDesktop(desktop), mTask(std::move(task)) {}

  // perform: carries out `request` and reports each outcome on the desktop.
  // The paths are checked first; when one does not fit the action (missing,
  // a folder given to extract, not an archive) nothing at all is done.
  // Returns whether everything succeeded. Never throws but std::bad_alloc.
  [[nodiscard]] bool perform(const HandoffRequest& request);

 private:
  [[nodiscard]] std::optional<std::string> refusedPath(const HandoffRequest& request) const;
  bool extract(const std::filesystem::path& archive);
  bool compress(const std::vector<std::filesystem::path>& items,
                const std::optional<std::string>& format);
  // previewPage: the archive's preview page, made with vexel-quicklook in a
  // private temporary folder; nothing (reported, nothing left behind) when
  // it cannot be made.
  [[nodiscard]] std::optional<std::filesystem::path> previewPage(
      const std::filesystem::path& archive);
  bool open(const std::vector<std::filesystem::path>& archives);

  Desktop& mDesktop;
  std::shared_ptr<TaskHandle> mTask;
};

}  // namespace vexel
