#include "model/internal/path_components.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexel::model_internal {
namespace {

std::vector<std::string> piecesOf(std::string_view path) {
  std::vector<std::string> out;
  for (const PathComponent piece : PathComponents(path)) {
    // Each piece is the slice of the path it says it is.
    EXPECT_EQ(path.substr(piece.start, piece.end - piece.start), piece.name);
    out.push_back(std::string(piece.name) + "@" + std::to_string(piece.start));
  }
  return out;
}

TEST(PathComponents, SkipsEmptyPieces) {
  const struct {
    std::string_view path;
    std::vector<std::string> pieces;
  } rows[] = {
      {"", {}},
      {"/", {}},
      {"///", {}},
      {"a", {"a@0"}},
      {"/a", {"a@1"}},
      {"a/", {"a@0"}},
      {"a//b/", {"a@0", "b@3"}},
      {"//abs//x//", {"abs@2", "x@7"}},
      {"a/b/c", {"a@0", "b@2", "c@4"}},
      {"图片/ÉTÉ.zip", {"图片@0", "ÉTÉ.zip@7"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(piecesOf(row.path), row.pieces);
  }
}

// The word-at-a-time search must agree with a plain one for a "/" at every
// offset of a word, more than a word from the end, and beside bytes one bit
// from "/" ("." is 0x2E, 0xAF is "/" with the high bit set) or with the high
// bit set (a carry across bytes would find a "/" that is not there).
TEST(PathComponents, LastSlashBeforeAgreesWithAPlainSearch) {
  const auto plain = [](std::string_view path, std::size_t end) {
    end = std::min(end, path.size());
    return end == 0 ? std::string_view::npos : path.rfind('/', end - 1);
  };
  std::vector<std::string> texts = {"", "/", "no slash at all, longer than a word",
                                    "\xAF\xAF\xAF\xAF\xAF\xAF\xAF\xAF\xAF",
                                    "\xFF\x80\x01/\xFF\x7F"};
  for (std::size_t at = 0; at < 20; ++at) {
    std::string text(20, '.');
    text[at] = '/';
    texts.push_back(text);
    text.replace(0, at, at, '\xAF');
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    for (std::size_t end = 0; end <= text.size() + 2; ++end) {
      SCOPED_TRACE(testing::Message() << '"' << text << "\" before " << end);
      EXPECT_EQ(lastSlashBefore(text, end), plain(text, end));
    }
  }
}

TEST(PathComponents, LastComponentAndItsName) {
  const struct {
    std::string_view path;
    std::size_t offset;
    std::string_view name;
  } rows[] = {
      {"a", 0, "a"},           {"a/b", 2, "b"},
      {"a/b//", 2, "b"},       {"a//b", 3, "b"},
      {"/x", 1, "x"},          {"dir/", 0, "dir"},
      {"p¯/dd/.n¯", 7, ".n¯"}, {"long/folder/name/file.txt", 17, "file.txt"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(lastComponentOffset(row.path), row.offset);
    EXPECT_EQ(componentAt(row.path, row.offset), row.name);
    EXPECT_FALSE(isRootPath(row.path));
  }
  for (std::string_view root : {"", "/", "////"}) EXPECT_TRUE(isRootPath(root)) << root;
}

}  // namespace
}  // namespace vexel::model_internal
