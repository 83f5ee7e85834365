#include "handoff/handoff_request.h"

#include <gtest/gtest.h>

#include "foundation/url_components.h"

namespace vexel {
namespace {

using Action = HandoffRequest::Action;

// The URL as the context-menu extension builds it.
std::string handOff(const std::string& action, std::optional<std::string> format,
                    const std::vector<std::string>& paths) {
  platform::URLComponents components;
  components.scheme = "vexel";
  components.host = action;
  std::vector<platform::URLQueryItem> items;
  if (format) items.push_back({"format", format});
  for (const std::string& path : paths) items.push_back({"path", path});
  components.queryItems = items;
  return *components.string();
}

TEST(HandoffRequest, ReadsBackWhatTheExtensionSends) {
  const std::vector<std::string> paths = {"/tmp/a b+c&d=e%f#g?.zip", "/tmp/项目 计划.7z",
                                          "/tmp/\xB9\xFD\x01.zip", "/tmp/-x"};
  const struct {
    std::string action;
    std::optional<std::string> format;
    Action expected;
  } rows[] = {
      {"extract", std::nullopt, Action::extract},   {"open", std::nullopt, Action::open},
      {"compress", "zip", Action::compress},        {"compress", "7z", Action::compress},
      {"compress", std::nullopt, Action::compress},
  };
  for (const auto& row : rows) {
    const std::string url = handOff(row.action, row.format, paths);
    SCOPED_TRACE(url);
    const HandoffParse parsed = HandoffRequest::parse(url);
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_EQ(parsed.request->action, row.expected);
    EXPECT_EQ(parsed.request->format, row.format);
    EXPECT_EQ(parsed.request->paths,
              std::vector<std::filesystem::path>(paths.begin(), paths.end()));
  }
  const HandoffParse sync = HandoffRequest::parse("vexel://sync");
  ASSERT_TRUE(sync.request);
  EXPECT_EQ(sync.request->action, Action::sync);
  // "+" is a plus sign, not a space, as the extension encodes neither.
  EXPECT_EQ(HandoffRequest::parse("vexel://open?path=/a+b.zip").request->paths.front(), "/a+b.zip");
}

// What the desktops really hand the handler, as found with the real
// openers: KDE's kde-open5 decodes "%20" and escaped UTF-8 and nothing else;
// GNOME's gio open and the generic xdg-open pass the URL on unchanged.
TEST(HandoffRequest, ReadsWhatDesktopsHandOver) {
  const struct {
    const char* desktop;
    std::string url;
    std::vector<std::string> paths;
  } rows[] = {
      {"KDE: a space", "vexel://extract?path=/tmp/a b.zip", {"/tmp/a b.zip"}},
      {"KDE: UTF-8",
       "vexel://open?path=/tmp/\xE4\xB8\xAD\xE6\x96\x87 \xE8\xAE\xA1.zip",
       {"/tmp/中文 计.zip"}},
      {"KDE: a decoded-looking & and = stay one name",
       "vexel://extract?path=/tmp/a b%26path%3D/etc/x.zip",
       {"/tmp/a b&path=/etc/x.zip"}},
      {"KDE: # % + stay escaped",
       "vexel://extract?path=/tmp/a%23b%25c%2Bd e.zip",
       {"/tmp/a#b%c+d e.zip"}},
      {"KDE: a literal %20 in a name", "vexel://extract?path=/tmp/a%2520b.zip", {"/tmp/a%20b.zip"}},
      {"KDE: not UTF-8 stays escaped",
       "vexel://extract?path=/tmp/caf%E9 x.zip",
       {"/tmp/caf\xE9 x.zip"}},
      {"KDE: line feed stays escaped", "vexel://extract?path=/tmp/a%0Ab.zip", {"/tmp/a\nb.zip"}},
      {"KDE: two items",
       "vexel://extract?path=/tmp/a b.zip&path=/tmp/c d.zip",
       {"/tmp/a b.zip", "/tmp/c d.zip"}},
      {"raw bytes above 0x7F are themselves",
       "vexel://extract?path=/tmp/\xFF.zip",
       {"/tmp/\xFF.zip"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.desktop);
    const HandoffParse parsed = HandoffRequest::parse(row.url);
    ASSERT_TRUE(parsed.request) << parsed.problem;
    EXPECT_EQ(parsed.request->paths,
              std::vector<std::filesystem::path>(row.paths.begin(), row.paths.end()));
  }
}

TEST(HandoffRequest, RefusesEverythingElse) {
  for (const char* url : {
           "",
           "vexel:",
           "http://extract?path=/tmp/a.zip",
           "file:///tmp/a.zip",
           "VEXEL://extract?path=/a.zip",
           "vexel:extract?path=/a.zip",
           "vexel://delete?path=/a.zip",
           "vexel://Extract?path=/a.zip",
           "vexel://extract",
           "vexel://extract?",
           "vexel://extract?path=",
           "vexel://extract?path=a.zip",
           "vexel://extract?path=%2Fa%00.zip",
           "vexel://extract?path",
           "vexel://extract?path=/a.zip&x=1",
           "vexel://extract?format=zip&path=/a.zip",
           "vexel://compress?format=rar&path=/a",
           "vexel://compress?path=/a&format=zip",
           "vexel://compress?format=zip&format=7z&path=/a",
           "vexel://compress?format=zip",
           "vexel://extract/x?path=/a.zip",
           "vexel://extract?path=/a.zip#top",
           "vexel://user@extract?path=/a.zip",
           "vexel://extract:80?path=/a.zip",
           "vexel://extract?path=/a%zz",
           "vexel://extract?path=/a#b.zip",  // a raw "#" never cuts a path short
           "vexel://extract?path=/a\nb.zip",
           "vexel://extract?path=/a\tb.zip",
           "vexel://sync?path=/a.zip",
           "vexel://sync#x",
       }) {
    SCOPED_TRACE(url);
    const HandoffParse parsed = HandoffRequest::parse(url);
    EXPECT_FALSE(parsed.request);
    EXPECT_FALSE(parsed.problem.empty());
  }
}

}  // namespace
}  // namespace vexel
