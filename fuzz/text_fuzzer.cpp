// Fuzzes the text layer: lenient decoding always yields well-formed UTF-8,
// agrees with ICU's conversion (one U+FFFD per maximal ill-formed subpart),
// and leaves well-formed text alone; a code-page decoding encodes back to
// the same bytes.
#include <unicode/ustring.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/code_page.h"
#include "text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexel::text;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string decoded = decodeUtf8Lenient(bytes);
  if (!isValidUtf8(decoded) || isValidUtf8(bytes) != (decoded == bytes)) std::abort();

  std::u16string icu(size + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(icu.data()), static_cast<int32_t>(icu.size()),
                       &length, bytes.data(), static_cast<int32_t>(size), 0xFFFD, nullptr, &status);
  icu.resize(static_cast<size_t>(length));
  if (U_FAILURE(status) || toUtf16Lenient(bytes) != icu || utf16Length(bytes) != icu.size()) {
    std::abort();
  }

  for (const CodePage page : {CodePage::cp437, CodePage::gb18030}) {
    if (const auto text = decode(page, bytes); text && encode(page, *text) != bytes) std::abort();
  }
  return 0;
}
