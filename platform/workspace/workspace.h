// workspace.h: the workspace stand-in: icons and opening URLs.
//
// Holds `Workspace`, the process-wide object through which a component asks
// for file and type icons and asks the system to open a URL, and
// `OpenConfiguration`. Icons are `Image` values (ui/image.h) that carry the
// type identifier they stand for. Opening checks the URL
// and hands it to the platform side (workspace/<platform>/): on Linux that
// records every URL in order, for tests and hosts to read back, and hands it
// to `xdg-open` when the host asks for that; platforms without a port refuse.
//
//   auto& workspace = vexel::platform::Workspace::shared();
//   workspace.iconForContentType(UTType::folder())->typeIdentifier();  // "public.folder"
//   workspace.openURL(*URL::fromString("vexel://sync"),
//                     {.activates = false, .addsToRecentItems = false}, nullptr);
//   for (const auto& opened : workspace.openedURLs()) print(opened.url);
//
// Threading: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/url_components.h"
#include "foundation/ut_type.h"
#include "ui/image.h"

namespace vexel::platform {

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

  // iconForFile: the icon of the file at `path`: a folder's is the folder
  // type's (a package type's when its extension names a declared package),
  // a file's is its extension's data type's, else the data type's. A path
  // that does not exist is treated as a file. Each call makes a new image.
  [[nodiscard]] ImagePtr iconForFile(const std::filesystem::path& path) const;
  // iconForContentType: the icon of a type.
  [[nodiscard]] ImagePtr iconForContentType(const UTType& type) const;

  // openURL: asks the system to open `url` with the default configuration.
  // Returns whether the system accepted it: false for a file URL naming
  // nothing that exists, and on platforms without a port.
  bool openURL(const URL& url);

  // openURL: the same with a configuration. `completionHandler` (may be
  // empty) is called once with the outcome before this returns.
  void openURL(const URL& url, const OpenConfiguration& configuration,
               const std::function<void(bool opened)>& completionHandler);

  // URLForApplicationToOpenURL: the application the system would open `url`
  // with (on Linux the desktop entry registered for its scheme, such as
  // "vexel-handoff.desktop"), or nothing when no application is registered
  // for it. Only URLs of a scheme other than "file" are looked up; file URLs
  // and platforms without a port give nothing.
  [[nodiscard]] std::optional<std::string> URLForApplicationToOpenURL(const URL& url) const;

  // Linux stand-in controls, for hosts and tests.

  // openedURLs: every URL that passed the checks since start (or the last
  // clear), in the order it was opened.
  [[nodiscard]] std::vector<OpenedURL> openedURLs() const;
  // clearOpenedURLs: forgets the URLs recorded so far.
  void clearOpenedURLs();
  // setHandsURLsToSystem: whether accepted URLs also go to the desktop's URL
  // opener (`xdg-open` on Linux); off by default. When on, a URL counts as
  // opened when the opener succeeds, or when it started the application
  // registered for the URL's scheme and that application reported a failure
  // (its own outcome, which it shows itself, as an application the system
  // launches does); it is recorded either way, with that outcome.
  //
  // A URL longer than one program argument can carry (kLongestHandedURL) is
  // handed over as "scheme://host?handover=TOKEN": the URL itself waits in a
  // file only this user can read, under a random token that no web page can
  // know; the application takes it back with receivedURL().
  void setHandsURLsToSystem(bool hands);

  // kLongestHandedURL: the longest URL handed to the opener as it is, in
  // bytes (Linux starts no program with an argument of 128 KiB or more).
  static constexpr std::size_t kLongestHandedURL = 128 * 1024 - 1;

  // receivedURL: the URL an application was started with: `text` itself,
  // or, for a hand-over, the URL it stands for (taken back once: it is gone
  // afterwards). Nothing for a hand-over that is gone, stale, or never made
  // by this user here, or whose URL names another scheme or host.
  [[nodiscard]] std::optional<std::string> receivedURL(std::string_view text);

 private:
  Workspace() = default;

  [[nodiscard]] bool open(const URL& url, const std::optional<OpenConfiguration>& configuration);
};

}  // namespace vexel::platform
