// handoff_request.h: the hand-off URLs that the context-menu extension
// sends, read back on the receiving side.
//
// Holds `HandoffRequest`, one command read from a "vexel:" URL: the action,
// the optional format and the paths. Carrying it out lives in handoff.h.
//
//   const auto parsed =
//   vexel::HandoffRequest::parse("vexel://compress?format=zip&path=/tmp/a.txt"); if
//   (!parsed.request) fail(parsed.problem);   // nothing is done with a refused URL
//   parsed.request->paths.front();               // "/tmp/a.txt"
//
// Values only; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel {

struct HandoffParse;

// HandoffRequest: one command. Only what the extension builds is accepted:
// scheme "vexel"; host "sync" (nothing else), or "extract", "open" or
// "compress" with a query of an optional "format" item ("zip" or "7z",
// compress only) followed by one or more "path" items, each an absolute
// path; no user, port, path, fragment or other query item.
struct HandoffRequest {
  enum class Action { sync, extract, open, compress };

  Action action = Action::sync;
  std::optional<std::string> format;         ///< "zip" or "7z"; compress only
  std::vector<std::filesystem::path> paths;  ///< the decoded bytes, in order

  // parse: reads `url`. Percent escapes give back the exact bytes; "+" is a
  // plus sign. What desktops decode before starting the handler (KDE turns
  // "%20" into a space and escaped UTF-8 into its characters) is read as
  // the bytes it stands for; a raw "#" is refused (as a fragment), never
  // taken as the end of a path. Never throws but std::bad_alloc.
  [[nodiscard]] static HandoffParse parse(std::string_view url);
};

// HandoffParse: the request, or the reason (user-visible) it was refused.
struct HandoffParse {
  std::optional<HandoffRequest> request;
  std::string problem;  ///< empty when `request` is set
};

}  // namespace vexel
