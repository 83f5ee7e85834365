// chromium.h: running headless Chromium on a local page, with no network.
//
//   const auto browser = vexel::test::Chromium::find();
//   if (!browser) GTEST_SKIP() << "chromium is not installed";
//   const std::string dom = browser->dumpDom(page);
//   browser->screenshot(page, out / "page.png", 760, 520);
//
// Each run gets a fresh profile folder and a time limit; one object per test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "support/command.h"
#include "support/temp_dir.h"

namespace vexel::test {

class Chromium {
 public:
  // find: the browser named by $VEXEL_CHROMIUM, else chromium (or
  // chromium-browser) on PATH; none when there is none.
  [[nodiscard]] static std::optional<Chromium> find() {
    if (const char* named = getenv("VEXEL_CHROMIUM"); named != nullptr && *named != '\0') {
      return Chromium(named);
    }
    for (const char* name : {"chromium", "chromium-browser"}) {
      if (hasTool(name)) return Chromium(name);
    }
    return std::nullopt;
  }

  // startProblem: why the browser cannot render a blank page, or "" when it can.
  [[nodiscard]] std::string startProblem() const {
    TempDir scratch;
    const auto out = scratch.path() / "out.html";
    const int status = run(command(scratch.path() / "profile", "--dump-dom") + " about:blank >" +
                           shellQuoted(out) + " 2>" + shellQuoted(scratch.path() / "err.txt"));
    if (status == 0 && readFile(out).find("<html") != std::string::npos) return {};
    return "exit status " + std::to_string(status) + ": " + readFile(scratch.path() / "err.txt");
  }

  // dumpDom: the page's DOM after its scripts ran, as HTML text; "" on failure.
  [[nodiscard]] std::string dumpDom(const std::filesystem::path& page, bool dark = false) const {
    TempDir scratch;
    const auto out = scratch.path() / "dom.html";
    const std::string flags =
        std::string("--dump-dom --virtual-time-budget=5000") + (dark ? " --force-dark-mode" : "");
    if (run(command(scratch.path() / "profile", flags) + " " +
            shellQuoted(std::string_view(url(page))) + " >" + shellQuoted(out) + " 2>/dev/null") !=
        0) {
      return {};
    }
    return readFile(out);
  }

  // screenshot: a PNG of the page in a window of that size; false on failure.
  bool screenshot(const std::filesystem::path& page, const std::filesystem::path& png, int width,
                  int height, bool dark = false) const {
    TempDir scratch;
    const std::string flags = "--hide-scrollbars --screenshot=" + shellQuoted(png) +
                              " --window-size=" + std::to_string(width) + "," +
                              std::to_string(height) + (dark ? " --force-dark-mode" : "");
    std::error_code ignored;
    std::filesystem::remove(png, ignored);
    return run(command(scratch.path() / "profile", flags) + " " +
               shellQuoted(std::string_view(url(page))) + " >/dev/null 2>&1") == 0 &&
           std::filesystem::file_size(png, ignored) > 0;
  }

 private:
  explicit Chromium(std::string program) : mProgram(std::move(program)) {}

  static std::string url(const std::filesystem::path& page) {
    return "file://" + std::filesystem::absolute(page).string();
  }

  // The browser with a fresh profile, nothing that reaches the network
  // (background services off, every host name unresolvable) and a generous
  // time limit for a busy machine.
  [[nodiscard]] std::string command(const std::filesystem::path& profile,
                                    const std::string& flags) const {
    return "timeout -k 10 180 " + shellQuoted(std::string_view(mProgram)) +
           " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
           " --disable-background-networking --disable-component-update --disable-sync"
           " --disable-extensions --disable-default-apps --no-default-browser-check"
           " --host-resolver-rules='MAP * ~NOTFOUND' --user-data-dir=" +
           shellQuoted(profile) + " " + flags;
  }

  std::string mProgram;
};

}  // namespace vexel::test
