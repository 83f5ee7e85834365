#include "text/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

#include "text/utf8.h"

namespace vexel::text {
namespace {

// iconv sees only the code page and UTF-32 scalars; UTF-8 is read and written
// by utf8.h, so ill-formed UTF-8 is judged by one rule everywhere.
constexpr const char* kScalars = "UTF-32LE";

// Converter: one iconv descriptor, closed with the object. No //TRANSLIT:
// a character the target cannot hold must fail, never be substituted.
class Converter {
 public:
  Converter(const char* to, const char* from) : mHandle(iconv_open(to, from)) {}
  ~Converter() {
    if (isOpen()) iconv_close(mHandle);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  [[nodiscard]] bool isOpen() const noexcept { return mHandle != reinterpret_cast<iconv_t>(-1); }

  // convert: the whole input converted, or nothing on an invalid (EILSEQ) or
  // incomplete (EINVAL) sequence, or on any irreversible conversion.
  [[nodiscard]] std::optional<std::string> convert(std::string_view input) {
    if (!isOpen()) return std::nullopt;
    iconv(mHandle, nullptr, nullptr, nullptr, nullptr);  // fresh shift state per text
    std::string out(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());  // iconv's signature; the input is not written
    size_t inLeft = input.size();
    size_t done = 0;
    // The text, then (with no input) any closing shift sequence.
    for (bool flushing = false;;) {
      char* next = out.data() + done;
      size_t outLeft = out.size() - done;
      const size_t result = flushing ? iconv(mHandle, nullptr, nullptr, &next, &outLeft)
                                     : iconv(mHandle, &in, &inLeft, &next, &outLeft);
      done = static_cast<size_t>(next - out.data());
      if (result == static_cast<size_t>(-1)) {
        if (errno != E2BIG) return std::nullopt;  // EILSEQ or EINVAL
        out.resize(out.size() * 2);
        continue;
      }
      if (result > 0) return std::nullopt;  // irreversible conversions happened
      if (flushing) break;
      flushing = true;
    }
    out.resize(done);
    return out;
  }

 private:
  iconv_t mHandle;
};

// The code page's iconv name: a new code page needs its enumerator and a row here.
const char* iconvName(CodePage page) noexcept {
  switch (page) {
    case CodePage::cp437:
      return "CP437";
    case CodePage::gb18030:
      return "GB18030";
    case CodePage::cp932:
      return "CP932";
    case CodePage::eucjp:
      return "EUC-JP";
    case CodePage::big5:
      return "CP950";
    case CodePage::cp949:
      return "CP949";
    case CodePage::cp866:
      return "CP866";
    case CodePage::koi8r:
      return "KOI8-R";
    case CodePage::cp1251:
      return "CP1251";
    case CodePage::cp1252:
      return "CP1252";
  }
  return "";
}

}  // namespace

std::string_view codePageName(CodePage page) noexcept { return iconvName(page); }

struct CodePageConverter::Handles {
  explicit Handles(const char* name) : decoder(kScalars, name), encoder(name, kScalars) {}
  Converter decoder;
  Converter encoder;
};

CodePageConverter::CodePageConverter(CodePage page)
    : mHandles(std::make_unique<Handles>(iconvName(page))) {}

CodePageConverter::~CodePageConverter() = default;

bool CodePageConverter::isAvailable() const noexcept {
  return mHandles->decoder.isOpen() && mHandles->encoder.isOpen();
}

std::optional<std::string> CodePageConverter::decode(std::string_view bytes) {
  const std::optional<std::string> scalars = mHandles->decoder.convert(bytes);
  if (!scalars || scalars->size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() * 3 / 2);
  for (size_t i = 0; i < scalars->size(); i += 4) {
    const auto byte = [&](size_t k) {
      return static_cast<char32_t>(static_cast<unsigned char>((*scalars)[i + k]));
    };
    const char32_t scalar = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    // A table that yields no Unicode scalar is a failure, not a U+FFFD.
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return std::nullopt;
    appendUtf8(out, scalar);
  }
  return out;
}

std::optional<std::string> CodePageConverter::encode(std::string_view utf8) {
  if (!isValidUtf8(utf8)) return std::nullopt;
  std::string scalars;
  scalars.reserve(utf8.size() * 4);
  for (const CodePoint cp : codePoints(utf8)) {
    for (int shift = 0; shift < 32; shift += 8) {
      scalars.push_back(static_cast<char>((cp.value >> shift) & 0xFF));
    }
  }
  return mHandles->encoder.convert(scalars);
}

std::optional<std::string> decode(CodePage page, std::string_view bytes) {
  return CodePageConverter(page).decode(bytes);
}

std::optional<std::string> encode(CodePage page, std::string_view utf8) {
  return CodePageConverter(page).encode(utf8);
}

}  // namespace vexel::text
