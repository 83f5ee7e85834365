// path_components.h: how the tree reads the "/"-separated paths of entries.
//
// `PathComponents` is the one walk over a path's components, from the top
// down, used to place entries, to find them again and to look nodes up;
// empty pieces (doubled, leading or trailing "/") are skipped. The
// backward searches that split an entry's path into its folder and its
// name sit beside it, a word at a time, since they run for every entry of
// a listing. The tree itself is in archive_tree.h; tree_growth.h places
// entries in it.
//
//   for (const PathComponent piece : PathComponents("a//b/c")) use(piece.name, piece.end);
//   // "a" [0, 1), "b" [3, 4), "c" [5, 6)
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

namespace vexel::model_internal {

// PathComponent: one non-empty piece of a path and where it lies in it:
// `name` is path[start, end).
struct PathComponent {
  std::string_view name;
  std::size_t start = 0;
  std::size_t end = 0;
};

// PathComponents: the non-empty "/"-separated pieces of a path, in order.
// A view: the path's text must outlive it.
class PathComponents {
 public:
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = PathComponent;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    Iterator(std::string_view path, std::size_t from) : mPath(path) { seek(from); }

    [[nodiscard]] const PathComponent& operator*() const noexcept { return mPiece; }
    [[nodiscard]] const PathComponent* operator->() const noexcept { return &mPiece; }
    Iterator& operator++() {
      seek(mPiece.end + 1);
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    // Iterators compare by position alone; the end is past the path.
    [[nodiscard]] bool operator==(const Iterator& other) const noexcept {
      return mPiece.start == other.mPiece.start;
    }

   private:
    // seek: the first non-empty piece at or after `from`.
    void seek(std::size_t from) {
      while (from < mPath.size() && mPath[from] == '/') ++from;
      if (from >= mPath.size()) {
        mPiece = PathComponent{{}, kEnd, kEnd};
        return;
      }
      std::size_t end = mPath.find('/', from);
      if (end == std::string_view::npos) end = mPath.size();
      mPiece = PathComponent{mPath.substr(from, end - from), from, end};
    }

    static constexpr std::size_t kEnd = std::string_view::npos;
    std::string_view mPath;
    PathComponent mPiece{{}, kEnd, kEnd};
  };

  explicit PathComponents(std::string_view path) noexcept : mPath(path) {}
  [[nodiscard]] Iterator begin() const { return Iterator(mPath, 0); }
  [[nodiscard]] Iterator end() const { return Iterator(); }

 private:
  std::string_view mPath;
};

// isRootPath: true for "" and for paths made of "/" alone: both stand for
// the root.
[[nodiscard]] inline bool isRootPath(std::string_view path) noexcept {
  return path.find_first_not_of('/') == std::string_view::npos;
}

// lastSlashBefore: the offset of the last "/" in path[0, end), or npos.
// Eight bytes at a time: it runs twice for every entry of a listing, on
// paths of dozens of bytes.
[[nodiscard]] inline std::size_t lastSlashBefore(std::string_view path, std::size_t end) noexcept {
  end = std::min(end, path.size());
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kSlashes = 0x2F2F2F2F2F2F2F2Full;
    while (end >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, path.data() + end - 8, 8);
      const std::uint64_t x = word ^ kSlashes;  // a zero byte where a "/" is
      // The high bit of each byte that is zero; no carry crosses bytes.
      const std::uint64_t zeros = ~(((x & kLow7) + kLow7) | x | kLow7);
      if (zeros != 0) {
        return end - 8 + static_cast<std::size_t>(63 - std::countl_zero(zeros)) / 8;
      }
      end -= 8;
    }
  }
  while (end > 0) {
    if (path[--end] == '/') return end;
  }
  return std::string_view::npos;
}

// lastComponentOffset: where the last component of a path that is not a
// root path starts: after the last "/" that is not a trailing one.
[[nodiscard]] inline std::size_t lastComponentOffset(std::string_view path) noexcept {
  const std::size_t end = path.find_last_not_of('/');
  const std::size_t slash = lastSlashBefore(path, end);
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// componentAt: the component that starts at `offset`, without the "/"s
// that may trail it.
[[nodiscard]] inline std::string_view componentAt(std::string_view path,
                                                  std::size_t offset) noexcept {
  std::string_view name = path.substr(offset);
  while (!name.empty() && name.back() == '/') name.remove_suffix(1);
  return name;
}

}  // namespace vexel::model_internal
