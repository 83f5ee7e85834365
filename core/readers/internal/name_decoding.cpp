#include "name_decoding.h"

#include <unordered_map>
#include <utility>

#include "text/utf8.h"

namespace vexel::readers_internal {

void NameDecoder::name(std::string_view bytes, std::size_t position, std::string& shown) {
  if (text::isValidUtf8(bytes)) {
    shown.assign(bytes);
    return;
  }
  mLegacy.push_back(LegacyName{.position = position, .bytes = std::string(bytes)});
  shown = text::decodeUtf8Lenient(bytes);
}

std::vector<Rename> NameDecoder::finish(text::CodePage fallback,
                                        const std::function<bool(std::string_view)>& isListed) {
  std::vector<Rename> renames;
  if (mLegacy.empty()) return renames;
  LegacyDecoding decoded = fixGBKNames(mLegacy, fallback);
  renames.reserve(mLegacy.size());
  // Which stored bytes each decoded text came from: the same bytes may come
  // twice (an archive may hold a name twice), other bytes must not.
  std::unordered_map<std::string, std::string_view> sources;
  for (std::size_t i = 0; i < mLegacy.size(); ++i) {
    std::string& text = decoded.names[i];
    const std::string_view bytes = mLegacy[i].bytes;
    const auto [seen, isNew] = sources.try_emplace(text, bytes);
    if ((!isNew && seen->second != bytes) || (isListed && isListed(text))) {
      text = text::decodeUtf8Lenient(bytes);
    }
    renames.push_back(Rename{.position = mLegacy[i].position, .name = std::move(text)});
  }
  mLegacy.clear();
  return renames;
}

}  // namespace vexel::readers_internal
