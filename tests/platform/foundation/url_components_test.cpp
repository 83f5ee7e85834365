#include "foundation/url_components.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vexel::platform {
namespace {

std::string queryOf(std::string value) {
  URLComponents components;
  components.scheme = "vexel";
  components.host = "open";
  components.queryItems = std::vector<URLQueryItem>{{"path", std::move(value)}};
  return components.string().value_or("<none>");
}

TEST(URLComponents, EncodesEveryByteOutsideUnreservedAndSlash) {
  struct Row {
    std::string value;
    std::string expected;
  };
  const Row rows[] = {
      {"/tmp/a.txt", "vexel://open?path=/tmp/a.txt"},
      {"/tmp/a&path=/etc/passwd", "vexel://open?path=/tmp/a%26path%3D/etc/passwd"},
      {"/tmp/c++ notes.zip", "vexel://open?path=/tmp/c%2B%2B%20notes.zip"},
      {"/tmp/100%.zip", "vexel://open?path=/tmp/100%25.zip"},
      {"/tmp/x#y?z.zip", "vexel://open?path=/tmp/x%23y%3Fz.zip"},
      {"/tmp/line\nbreak\ttab", "vexel://open?path=/tmp/line%0Abreak%09tab"},
      {"/tmp/\xff\xfe\x80.zip", "vexel://open?path=/tmp/%FF%FE%80.zip"},
      {"/tmp/中文.zip", "vexel://open?path=/tmp/%E4%B8%AD%E6%96%87.zip"},
      {"/A-Z_a.z~0/9", "vexel://open?path=/A-Z_a.z~0/9"},
      {"'!$()*,;:@[]\"<>\\^`{|}",
       "vexel://open?path=%27%21%24%28%29%2A%2C%3B%3A%40%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {std::string("nul\0byte", 8), "vexel://open?path=nul%00byte"},
      {"", "vexel://open?path="},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(queryOf(row.value), row.expected);
    // What the string says is what the URL holds.
    const std::optional<URL> url = URL::fromString(row.expected);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->string(), row.expected);
  }
}

TEST(URLComponents, QueryItemsInOrderWithAndWithoutValues) {
  URLComponents components;
  components.scheme = "vexel";
  components.host = "compress";
  components.queryItems =
      std::vector<URLQueryItem>{{"format", "zip"}, {"flag", std::nullopt}, {"a b", "c=d"}};
  EXPECT_EQ(components.string(), "vexel://compress?format=zip&flag&a%20b=c%3Dd");
  EXPECT_EQ(components.percentEncodedQuery(), "format=zip&flag&a%20b=c%3Dd");

  // A host can hold neither "/" nor "?": both would end it.
  const URLComponents oddHost{.scheme = "vexel", .host = "a/b?c d"};
  EXPECT_EQ(oddHost.string(), "vexel://a%2Fb%3Fc%20d");
  ASSERT_TRUE(oddHost.url());
  EXPECT_EQ(oddHost.url()->host(), "a/b?c d");

  components.queryItems = std::vector<URLQueryItem>{};
  EXPECT_EQ(components.string(), "vexel://compress?");
  components.queryItems.reset();
  EXPECT_EQ(components.string(), "vexel://compress");
  const std::optional<URL> url = components.url();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "vexel");
  EXPECT_EQ(url->host(), "compress");
  EXPECT_FALSE(url->query());
}

TEST(URLComponents, RefusesPartsThatCannotFormAURL) {
  struct Row {
    const char* name;
    URLComponents components;
  };
  const Row rows[] = {
      {"empty scheme", {.scheme = ""}},
      {"scheme starting with a digit", {.scheme = "7z"}},
      {"scheme with a space", {.scheme = "vex el", .host = "open"}},
      {"host with a relative path", {.scheme = "vexel", .host = "open", .path = "relative"}},
      {"no host and a path starting with //", {.scheme = "vexel", .path = "//x"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(row.components.string());
    EXPECT_FALSE(row.components.url());
  }
  // Without a scheme the text is a relative reference, which URL does not model.
  const URLComponents relative{.host = "open"};
  EXPECT_EQ(relative.string(), "//open");
  EXPECT_FALSE(relative.url());
}

TEST(URL, FromStringParsesOrRefuses) {
  const std::optional<URL> sync = URL::fromString("vexel://sync");
  ASSERT_TRUE(sync);
  EXPECT_EQ(sync->scheme(), "vexel");
  EXPECT_EQ(sync->host(), "sync");
  EXPECT_EQ(sync->path(), "");
  EXPECT_FALSE(sync->query());
  EXPECT_FALSE(sync->fragment());
  EXPECT_FALSE(sync->isFileURL());

  const std::optional<URL> full = URL::fromString("file:///tmp/a%20b/?q=1#frag");
  ASSERT_TRUE(full);
  EXPECT_TRUE(full->isFileURL());
  EXPECT_EQ(full->host(), "");
  EXPECT_EQ(full->path(), "/tmp/a b");
  EXPECT_TRUE(full->hasDirectoryPath());
  EXPECT_EQ(full->query(), "q=1");
  EXPECT_EQ(full->fragment(), "frag");

  for (const char* bad : {"", "sync", "://x", "1x://y", "vexel://a b", "vexel://x?p=%zz",
                          "vexel://x?p=%4", "vexel://user@host", "vexel://host:80",
                          "vexel://x/\xe4\xb8\xad", "vexel://x/a\nb", "vexel://x/{}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(URL::fromString(bad));
  }
}

class FileURLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    mDir = std::filesystem::temp_directory_path() /
           (std::string("vexel-url-") + info->name() + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(mDir);
    std::filesystem::create_directories(mDir / "folder.zip");
    std::ofstream(mDir / "file.zip") << "x";
  }
  void TearDown() override { std::filesystem::remove_all(mDir); }

  std::filesystem::path mDir;
};

TEST_F(FileURLTest, DirectoryURLsForFoldersAndTrailingSlashes) {
  struct Row {
    std::string path;
    bool isDirectory;
    std::string expectedPath;
  };
  const std::string dir = mDir.native();
  const Row rows[] = {
      {dir + "/folder.zip", true, dir + "/folder.zip"},
      {dir + "/folder.zip/", true, dir + "/folder.zip"},
      {dir + "/file.zip", false, dir + "/file.zip"},
      {dir + "/missing.zip", false, dir + "/missing.zip"},
      {dir + "/missing/", true, dir + "/missing"},
      {"/", true, "/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const URL url = URL::fileURL(row.path);
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.hasDirectoryPath(), row.isDirectory);
    EXPECT_EQ(url.path(), row.expectedPath);
    EXPECT_EQ(URL::fromString(url.string()), url);
  }
  EXPECT_EQ(URL::fileURL("/", true).string(), "file:///");
  EXPECT_FALSE(URL::fileURL(dir + "/folder.zip", false).hasDirectoryPath());
}

TEST_F(FileURLTest, PathBytesSurviveAndRelativePathsBecomeAbsolute) {
  const std::string odd = "/tmp/\xff\xfe name+%&=#?\n.zip";
  EXPECT_EQ(URL::fileURL(odd, false).path(), odd);

  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(mDir);
  const URL relative = URL::fileURL("folder.zip");
  std::filesystem::current_path(previous);
  EXPECT_EQ(relative.path(), (mDir / "folder.zip").native());
  EXPECT_TRUE(relative.hasDirectoryPath());
}

}  // namespace
}  // namespace vexel::platform
