// code_page.h: legacy code pages: the bytes of names written before UTF-8,
// decoded to UTF-8 text and encoded back, through the C library's iconv.
// UTF-8 itself is in utf8.h.
//
//   std::optional<std::string> name = vexel::text::decode(CodePage::gb18030, bytes);
//
//   CodePageConverter cp437(CodePage::cp437);  // one converter for many names
//   std::optional<std::string> raw = cp437.encode(listedName);
//
// Conversions are strict both ways: no transliteration and no substitution.
// A byte sequence the code page does not define, one cut short, or a
// character it cannot hold makes the whole conversion fail (nullopt), so a
// decoding that succeeds encodes back to the same bytes.
//
// CP437 is iconv's table, not ICU's ibm-437: they differ at 0xE6 (U+00B5
// here, U+03BC in ICU), and libarchive reads unflagged ZIP names with iconv,
// so only iconv's table turns its text back into the bytes the archive holds.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexel::text {

// CodePage: the legacy code pages the name decoding knows.
enum class CodePage {
  cp437,    ///< IBM PC "DOS Latin US", which ZIP assumes for names without the UTF-8 flag
  gb18030,  ///< Chinese GB 18030, a superset of GBK and GB 2312
  cp932,    ///< Japanese Shift-JIS as Windows writes it
  eucjp,    ///< Japanese EUC-JP, as Unix tools wrote it
  big5,     ///< Traditional Chinese Big5 as Windows writes it (CP950)
  cp949,    ///< Korean Unified Hangul Code, a superset of EUC-KR
  cp866,    ///< DOS Cyrillic
  koi8r,    ///< KOI8-R, Cyrillic on Unix
  cp1251,   ///< Windows Cyrillic
  cp1252,   ///< Windows Western, a superset of Latin-1's letters
};

// codePageName: the code page's name as iconv knows it ("CP437", "GB18030").
[[nodiscard]] std::string_view codePageName(CodePage page) noexcept;

// CodePageConverter: both directions of one code page, opened once and
// reused for many names. Not for concurrent use: one converter per thread.
class CodePageConverter {
 public:
  explicit CodePageConverter(CodePage page);
  ~CodePageConverter();
  CodePageConverter(const CodePageConverter&) = delete;
  CodePageConverter& operator=(const CodePageConverter&) = delete;

  // isAvailable: whether the system has converters for this code page; when
  // it does not, every conversion fails.
  [[nodiscard]] bool isAvailable() const noexcept;

  // decode: `bytes` in this code page as UTF-8 text; nullopt when they are
  // not valid in it (or the converters are missing).
  [[nodiscard]] std::optional<std::string> decode(std::string_view bytes);

  // encode: the well-formed UTF-8 `utf8` as bytes of this code page;
  // nullopt when it is not well-formed or holds a character the code page
  // cannot represent.
  [[nodiscard]] std::optional<std::string> encode(std::string_view utf8);

 private:
  struct Handles;
  std::unique_ptr<Handles> mHandles;
};

// decode / encode: one conversion with a converter of its own. Safe on any
// thread; for many names, keep a CodePageConverter instead.
[[nodiscard]] std::optional<std::string> decode(CodePage page, std::string_view bytes);
[[nodiscard]] std::optional<std::string> encode(CodePage page, std::string_view utf8);

}  // namespace vexel::text
