// utf8.h: UTF-8 for the whole codebase: walking text by code point,
// validation, lenient decoding and the UTF-16 forms that ICU and the string
// stand-ins need. Case mapping is in unicode_case.h, legacy code pages in
// code_page.h.
//
//   for (const vexel::text::CodePoint cp : vexel::text::codePoints(name)) use(cp.value);
//   std::string shown = vexel::text::decodeUtf8Lenient(bytes);  // "a\xFF" -> "a\uFFFD"
//   bool valid = vexel::text::isValidUtf8(bytes);
//
// Ill-formed input is read one way everywhere: each maximal ill-formed
// subsequence (the longest start of a well-formed sequence, or else a single
// byte) counts as one U+FFFD, Unicode's "best practice" for replacement and
// what ICU, browsers and Python do. "\xE4\xB8" is one U+FFFD; "\xC0\x80"
// (an overlong form) and "\xED\xA0\x80" (a surrogate) are two and three.
//
// Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

namespace vexel::text {

// kReplacementCharacter: what an ill-formed subsequence decodes to.
inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

// CodePoint: one step of a walk through UTF-8 text.
struct CodePoint {
  char32_t value;      // the scalar value; U+FFFD for an ill-formed subsequence
  std::size_t offset;  // its first byte in the text
  std::size_t length;  // its bytes: 1 to 4, or 1 to 3 for an ill-formed subsequence
  bool isIllFormed;

  // end: the offset just past its bytes.
  [[nodiscard]] constexpr std::size_t end() const noexcept { return offset + length; }
};

// codePointAt: the code point that starts at `offset` (which must be less
// than `bytes.size()`). An ill-formed subsequence comes back as U+FFFD with
// `isIllFormed` set and `length` spanning the whole subsequence.
[[nodiscard]] CodePoint codePointAt(std::string_view bytes, std::size_t offset) noexcept;

// CodePoints: the code points of a text, in order, as a forward range. Borrows
// the text, which must outlive the range.
class CodePoints {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = CodePoint;
    using difference_type = std::ptrdiff_t;
    using pointer = const CodePoint*;
    using reference = const CodePoint&;

    Iterator() = default;
    Iterator(std::string_view bytes, std::size_t offset) noexcept : mBytes(bytes), mOffset(offset) {
      load();
    }
    reference operator*() const noexcept { return mCurrent; }
    pointer operator->() const noexcept { return &mCurrent; }
    Iterator& operator++() noexcept {
      mOffset = mCurrent.end();
      load();
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.mOffset == b.mOffset;
    }

   private:
    void load() noexcept {
      if (mOffset < mBytes.size()) mCurrent = codePointAt(mBytes, mOffset);
    }
    std::string_view mBytes;
    std::size_t mOffset = 0;
    CodePoint mCurrent{};
  };

  explicit CodePoints(std::string_view bytes) noexcept : mBytes(bytes) {}
  [[nodiscard]] Iterator begin() const noexcept { return {mBytes, 0}; }
  [[nodiscard]] Iterator end() const noexcept { return {mBytes, mBytes.size()}; }

 private:
  std::string_view mBytes;
};

// codePoints: walks `bytes` by code point:
//   for (const CodePoint cp : codePoints(text)) ...
[[nodiscard]] inline CodePoints codePoints(std::string_view bytes) noexcept {
  return CodePoints(bytes);
}
[[nodiscard]] inline CodePoints codePoints(const char* bytes) noexcept { return CodePoints(bytes); }
// A temporary string would be gone before the loop that walks it.
CodePoints codePoints(std::string&&) = delete;

// isValidUtf8: whether `bytes` is well-formed UTF-8 (no overlong forms,
// surrogates, values above U+10FFFF or truncated sequences).
[[nodiscard]] bool isValidUtf8(std::string_view bytes) noexcept;

// decodeUtf8Lenient: the bytes as UTF-8, each maximal ill-formed subsequence
// replaced by U+FFFD. Well-formed input comes back unchanged.
[[nodiscard]] std::string decodeUtf8Lenient(std::string_view bytes);

// isUnsafeToShow: whether `cp` must not reach a terminal, a page or a
// notification as it is: ill-formed bytes, control characters (C0, DEL, C1,
// which carry terminal escapes), the line and paragraph separators, and
// bidirectional overrides, isolates and marks (which could reorder what the
// user reads).
[[nodiscard]] bool isUnsafeToShow(const CodePoint& cp) noexcept;

// printable: the bytes as UTF-8 with every code point isUnsafeToShow
// replaced by U+FFFD, so that a name from an archive cannot drive a terminal
// or hide what it is. Printable input comes back unchanged.
[[nodiscard]] std::string printable(std::string_view bytes);

// appendUtf8: appends the UTF-8 form of `scalar`; a surrogate or a value
// above U+10FFFF appends U+FFFD.
void appendUtf8(std::string& out, char32_t scalar);

// toUtf16Lenient: the bytes as UTF-16, decoded as decodeUtf8Lenient does.
[[nodiscard]] std::u16string toUtf16Lenient(std::string_view bytes);

// utf16Length: the number of UTF-16 code units of toUtf16Lenient(bytes),
// without making it.
[[nodiscard]] std::size_t utf16Length(std::string_view bytes) noexcept;

}  // namespace vexel::text
