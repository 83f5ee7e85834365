#include "name_decoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

// Names that are all valid UTF-8 are decided once this many bytes of them
// have come, or once this many entries are held for them.
constexpr std::size_t kDecodingSampleBytes = 16 * 1024;
constexpr std::size_t kMaxHeldUndecided = 4096;

// isAscii: no byte of `bytes` has its high bit set; eight at a time.
bool isAscii(std::string_view bytes) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) return false;
  }
  for (; i < bytes.size(); ++i) {
    if ((static_cast<unsigned char>(bytes[i]) & 0x80U) != 0) return false;
  }
  return true;
}

// trimmed: a decoded name without leading or trailing "/" (a "\" that
// became one).
std::string trimmed(std::string text) {
  const std::size_t first = text.find_first_not_of('/');
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of('/');
  return text.substr(first, last - first + 1);
}

}  // namespace

NameDecoder::NameDecoder(NameRules rules) : mRules(rules) {}

NameDecoder::Step NameDecoder::name(std::string_view bytes, NameOrigin origin, std::size_t position,
                                    std::string& shown) {
  Step step = Step::none;
  const bool isValid = text::isValidUtf8(bytes);
  if (isValid) {
    shown.assign(bytes);
  } else {
    shown = text::decodeUtf8Lenient(bytes);
  }
  if (origin == NameOrigin::unmarked && !isAscii(bytes) && !(isValid && mGroup == Group::utf8)) {
    if (isValid && mGroup == Group::open) {
      if (!mHasValid) mFirstValid = position;
      mHasValid = true;
      mValidBytes += bytes.size() + 1;
    }
    mOpen.push_back(LegacyName{.position = position, .bytes = std::string(bytes)});
    mIsValid.push_back(isValid);
    if (!mIsHolding) {
      mIsHolding = true;
      step = Step::hold;
    }
  }
  if (mGroup == Group::open && mHasValid &&
      (mValidBytes >= kDecodingSampleBytes || position - mFirstValid >= kMaxHeldUndecided)) {
    decideGroup();
    if (mOpen.empty()) {
      // The entry that triggered the decision is held too, if it had to be:
      // the hold starts before it and the release after it.
      mIsHolding = false;
      return step == Step::hold ? Step::none : Step::release;
    }
  }
  return step;
}

std::vector<std::string_view> NameDecoder::openNames(bool isValid) const {
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < mOpen.size(); ++i) {
    if (mIsValid[i] == isValid) names.push_back(mOpen[i].bytes);
  }
  return names;
}

// decideGroup: the valid names as a group: UTF-8, whose names are then
// final, or legacy, decided with the others at the end.
void NameDecoder::decideGroup() {
  if (readsAsLegacy(openNames(true), mRules)) {
    mGroup = Group::legacy;
    return;
  }
  mGroup = Group::utf8;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < mOpen.size(); ++i) {
    if (mIsValid[i]) continue;
    if (kept != i) mOpen[kept] = std::move(mOpen[i]);
    mIsValid[kept] = false;
    ++kept;
  }
  mOpen.resize(kept);
  mIsValid.resize(kept);
}

std::string NameDecoder::finalText(std::string text) const {
  if (mRules.isUnixArchive || text.find('\\') == std::string::npos) return text;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return trimmed(std::move(text));
}

std::vector<Rename> NameDecoder::finish(const std::function<bool(std::string_view)>& isListed) {
  std::vector<Rename> renames;
  if (mOpen.empty()) return renames;
  // A group that never filled the sample is still open, its names too.
  bool isLegacyGroup = mGroup == Group::legacy;
  if (mGroup == Group::open && mHasValid) isLegacyGroup = readsAsLegacy(openNames(true), mRules);
  mGroup = isLegacyGroup ? Group::legacy : Group::utf8;
  std::vector<std::optional<std::string>> texts(mOpen.size());
  // Which stored bytes each decoded text came from: the same bytes may come
  // twice (an archive may hold a name twice), other bytes must not.
  std::unordered_map<std::string, std::string_view> sources;
  if (isLegacyGroup) {
    LegacyDecoding decoded = fixGBKNames(mOpen, mRules);
    mLegacyPage = decoded.codePage;
    for (std::size_t i = 0; i < mOpen.size(); ++i) texts[i] = std::move(decoded.names[i]);
  } else {
    // Names that are not UTF-8 among names that are: one code page for
    // them, and a valid name goes to it only when it reads clearly better
    // there on its own.
    std::vector<LegacyName> invalid;
    for (std::size_t i = 0; i < mOpen.size(); ++i) {
      if (!mIsValid[i]) invalid.push_back(mOpen[i]);
    }
    if (!invalid.empty()) {
      LegacyDecoding decoded = fixGBKNames(invalid, mRules);
      mLegacyPage = decoded.codePage;
      mKeepsUtf8 = true;
      std::vector<std::optional<std::string>> better =
          readBetterIn(decoded.codePage, openNames(true), mRules);
      std::size_t nextInvalid = 0;
      std::size_t nextValid = 0;
      for (std::size_t i = 0; i < mOpen.size(); ++i) {
        if (!mIsValid[i]) {
          texts[i] = std::move(decoded.names[nextInvalid++]);
        } else if (auto& text = better[nextValid++]) {
          texts[i] = std::move(text);
        } else {
          sources.try_emplace(mOpen[i].bytes, mOpen[i].bytes);  // stays as it reads
        }
      }
    }
  }
  renames.reserve(mOpen.size());
  for (std::size_t i = 0; i < mOpen.size(); ++i) {
    if (!texts[i]) continue;
    std::string text = finalText(std::move(*texts[i]));
    const std::string_view bytes = mOpen[i].bytes;
    const auto [seen, isNew] = sources.try_emplace(text, bytes);
    if (text.empty() || (!isNew && seen->second != bytes) || (isListed && isListed(text))) {
      text = text::decodeUtf8Lenient(bytes);
    }
    renames.push_back(Rename{.position = mOpen[i].position, .name = std::move(text)});
  }
  mOpen.clear();
  mIsValid.clear();
  return renames;
}

NameReading NameDecoder::reading() const noexcept {
  return NameReading{.isLegacy = mLegacyPage.has_value(),
                     .codePage = mLegacyPage.value_or(text::CodePage::cp437),
                     .keepsUtf8 = mKeepsUtf8,
                     .rules = mRules};
}

std::string decodeLinkTarget(std::string_view bytes, const NameReading& reading) {
  if (isAscii(bytes) || ((!reading.isLegacy || reading.keepsUtf8) && text::isValidUtf8(bytes))) {
    return std::string(bytes);
  }
  std::optional<std::string> text = text::decode(reading.codePage, bytes);
  if (!reading.isLegacy || !text) {
    // Not UTF-8 among UTF-8 names, or not in their code page: on its own.
    text = fixGBKNames({LegacyName{.position = 0, .bytes = std::string(bytes)}}, reading.rules)
               .names.front();
  }
  if (!reading.rules.isUnixArchive) {
    for (char& c : *text) {
      if (c == '\\') c = '/';
    }
  }
  return std::move(*text);
}

bool NameDecoder::isOpen(std::size_t position) const {
  const auto it = std::lower_bound(
      mOpen.begin(), mOpen.end(), position,
      [](const LegacyName& name, std::size_t value) { return name.position < value; });
  return it != mOpen.end() && it->position == position;
}

std::vector<std::string> decideNames(const std::vector<StoredName>& names, const NameRules& rules,
                                     NameReading* reading) {
  NameDecoder decoder(rules);
  std::vector<std::string> shown(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    (void)decoder.name(names[i].bytes, names[i].origin, i, shown[i]);
  }
  if (!decoder.hasOpenNames()) {
    if (reading != nullptr) *reading = decoder.reading();
    return shown;
  }
  // A renamed name must not read as the name of an entry that keeps its own.
  std::unordered_set<std::string_view> kept;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!decoder.isOpen(i)) kept.insert(shown[i]);
  }
  std::vector<Rename> renames =
      decoder.finish([&](std::string_view text) { return kept.contains(text); });
  kept.clear();
  for (Rename& rename : renames) shown[rename.position] = std::move(rename.name);
  if (reading != nullptr) *reading = decoder.reading();
  return shown;
}

}  // namespace vexel::readers_internal
