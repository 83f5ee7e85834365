// workspace.h: the workspace stand-in: opening URLs.
//
// Holds `Workspace`, the process-wide object through which a component asks
// the system to open a URL, and `OpenConfiguration`. Opening checks the URL
// and hands it to the platform side (workspace/<platform>/): on Linux that
// records every URL in order, for tests and hosts to read back, and hands it
// to `xdg-open` when the host asks for that; platforms without a port refuse.
//
//   vexel::Workspace::shared().openURL(*vexel::URL::fromString("vexel://sync"),
//                                      {.activates = false, .addsToRecentItems = false},
//                                      nullptr);
//   for (const auto& opened : vexel::Workspace::shared().openedURLs()) print(opened.url);
//
// Threading: every member may be called from any thread.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "foundation/url_components.h"

namespace vexel {

// OpenConfiguration: how a URL is opened. Both default to true, as on the
// platform.
struct OpenConfiguration {
  bool activates = true;          ///< bring the receiving application to the front
  bool addsToRecentItems = true;  ///< list the URL among the recent items

  friend bool operator==(const OpenConfiguration&, const OpenConfiguration&) = default;
};

// OpenedURL: one URL handed to the platform side, with the configuration it
// was opened with (nothing for a plain `openURL(url)`) and the outcome that
// the caller was given.
struct OpenedURL {
  URL url;
  std::optional<OpenConfiguration> configuration;
  bool opened = true;

  friend bool operator==(const OpenedURL&, const OpenedURL&) = default;
};

// Workspace: the shared workspace. Not copyable; reach it through `shared()`.
class Workspace {
 public:
  // shared: the one workspace of the process, created on first use.
  [[nodiscard]] static Workspace& shared();

  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // openURL: asks the system to open `url` with the default configuration.
  // Returns whether the system accepted it: false for a file URL naming
  // nothing that exists, and on platforms without a port.
  bool openURL(const URL& url);

  // openURL: the same with a configuration. `completionHandler` (may be
  // empty) is called once with the outcome before this returns.
  void openURL(const URL& url, const OpenConfiguration& configuration,
               const std::function<void(bool opened)>& completionHandler);

  // Linux stand-in controls, for hosts and tests.

  // openedURLs: every URL that passed the checks since start (or the last
  // clear), in the order it was opened.
  [[nodiscard]] std::vector<OpenedURL> openedURLs() const;
  // clearOpenedURLs: forgets the URLs recorded so far.
  void clearOpenedURLs();
  // setHandsURLsToSystem: whether accepted URLs also go to the desktop's URL
  // opener (`xdg-open` on Linux); off by default. When on, a URL counts as
  // opened only when the opener succeeds; it is recorded either way, with that outcome.
  void setHandsURLsToSystem(bool hands);

 private:
  Workspace() = default;

  [[nodiscard]] bool open(const URL& url, const std::optional<OpenConfiguration>& configuration);
};

}  // namespace vexel
