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
           "vexel://extract?path=/a b.zip",
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
