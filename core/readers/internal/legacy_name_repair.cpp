#include "legacy_name_repair.h"

#include <unicode/ucsdet.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "name_plausibility.h"
#include "text/utf8.h"

// legacy_name_repair.cpp: choosing the code page of the names an archive
// leaves unmarked, and reading each name with it.
//
// Which code page the names are in is decided from two kinds of evidence,
// because neither alone is enough on the few short names of a small archive:
//
// 1. Plausibility (name_plausibility.h): how likely each character of a
//    candidate's reading is in a file name of its script, averaged.
// 2. A detector. ICU's charset detector runs on all sampled names together;
//    the confidence it gives a candidate's charset adds up to kDetectorWeight.
//    It knows KOI8-R from windows-1251 by their letter statistics, which the
//    weights cannot see.
//
// GB 18030 gets kChineseFirst on top, so it wins ties (this product's users
// are Chinese), and the best score wins. When even the best score stays below
// kLeastPlausible the names read as no script, and the caller's fallback is
// used. The score is taken on the first kSampleBytes of names. Then every name
// is read with the winner, and a name it does not read as text (a Shift-JIS
// name among GBK ones) with the candidate that reads that name best, if that
// one is better by kPerNameMargin.

namespace vexel::readers_internal {
namespace {

using text::CodePage;

constexpr double kChineseFirst = 0.1;
constexpr double kDetectorWeight = 0.2;
constexpr double kLeastPlausible = 0.2;
constexpr double kPerNameMargin = 0.3;
// How much more plausible a legacy reading of names that are all valid
// UTF-8 must be to win: the bytes chose to be valid UTF-8, which GBK text
// does by chance only for about one name in thirty.
constexpr double kUtf8Margin = 0.3;
// The other legacy code pages need more: their names are rarely valid UTF-8
// (the one-byte ones hardly ever), and this product's users are sent GBK.
// A one-letter UTF-8 name ("ü.txt") is no common hangul (체).
constexpr double kUtf8MarginOtherPages = 0.6;
constexpr std::size_t kSampleBytes = 16 * 1024;

// The candidates in order of preference: on equal scores the earlier wins.
constexpr std::array<CodePage, 10> kCandidates = {
    CodePage::gb18030, CodePage::cp932, CodePage::eucjp, CodePage::big5,   CodePage::cp949,
    CodePage::cp437,   CodePage::cp866, CodePage::koi8r, CodePage::cp1251, CodePage::cp1252,
};

struct UcsdetClose {
  void operator()(UCharsetDetector* detector) const noexcept { ucsdet_close(detector); }
};

// candidateOfCharset: the candidate that an ICU charset name stands for.
std::optional<std::size_t> candidateOfCharset(std::string_view name) {
  static constexpr std::pair<std::string_view, CodePage> kNames[] = {
      {"GB18030", CodePage::gb18030},     {"Shift_JIS", CodePage::cp932},
      {"EUC-JP", CodePage::eucjp},        {"Big5", CodePage::big5},
      {"EUC-KR", CodePage::cp949},        {"KOI8-R", CodePage::koi8r},
      {"windows-1251", CodePage::cp1251}, {"windows-1252", CodePage::cp1252},
      {"ISO-8859-1", CodePage::cp1252},
  };
  for (const auto& [charset, page] : kNames) {
    if (charset != name) continue;
    for (std::size_t i = 0; i < kCandidates.size(); ++i) {
      if (kCandidates[i] == page) return i;
    }
  }
  return std::nullopt;
}

// detectorVotes: ICU's confidence (0 to 1) in each candidate for `bytes`.
std::array<double, kCandidates.size()> detectorVotes(std::string_view bytes) {
  std::array<double, kCandidates.size()> votes{};
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UCharsetDetector, UcsdetClose> detector(ucsdet_open(&status));
  if (U_FAILURE(status) || !detector) return votes;
  ucsdet_setText(detector.get(), bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  int32_t count = 0;
  const UCharsetMatch** matches = ucsdet_detectAll(detector.get(), &count, &status);
  if (U_FAILURE(status) || matches == nullptr) return votes;
  for (int32_t i = 0; i < count; ++i) {
    const char* name = ucsdet_getName(matches[i], &status);
    const int32_t confidence = ucsdet_getConfidence(matches[i], &status);
    if (U_FAILURE(status) || name == nullptr) return votes;
    if (const auto candidate = candidateOfCharset(name)) {
      votes[*candidate] = std::max(votes[*candidate], confidence / 100.0);
    }
  }
  return votes;
}

// tallyOf: the tally of all `names` in `page`; nothing when one fails to decode.
std::optional<NameTally> tallyOf(NameScorer& scorer, CodePage page,
                                 const std::vector<std::string_view>& names) {
  NameTally sum;
  for (const std::string_view bytes : names) {
    const std::optional<NameTally> tally = scorer.legacy(page, bytes);
    if (!tally) return std::nullopt;
    sum.add(*tally);
  }
  return sum;
}

// sampleOf: the first names, up to kSampleBytes of them.
std::vector<std::string_view> sampleOf(const std::vector<LegacyName>& names) {
  std::vector<std::string_view> sample;
  std::size_t bytes = 0;
  for (const LegacyName& name : names) {
    if (bytes >= kSampleBytes) break;
    sample.push_back(name.bytes);
    bytes += name.bytes.size() + 1;
  }
  return sample;
}

// isCandidate: whether `page` may be the code page of an archive's names.
bool isCandidate(CodePage page, const NameRules& rules) {
  return page != CodePage::eucjp || rules.isUnixArchive;
}

// ranked: the candidates that read `sample` as text, best first.
std::vector<CodePage> ranked(NameScorer& scorer, const std::vector<std::string_view>& sample,
                             const NameRules& rules) {
  struct Scored {
    CodePage page;
    double score;
  };
  std::vector<Scored> scored;
  if (sample.empty()) return {};
  std::string joined;
  for (const std::string_view bytes : sample) joined.append(bytes).push_back('\n');
  const auto votes = detectorVotes(joined);
  for (std::size_t i = 0; i < kCandidates.size(); ++i) {
    if (!isCandidate(kCandidates[i], rules)) continue;
    const std::optional<NameTally> tally = tallyOf(scorer, kCandidates[i], sample);
    if (!tally || tally->plausibility() < kLeastPlausible) continue;
    double score = tally->plausibility() + kDetectorWeight * votes[i];
    if (kCandidates[i] == CodePage::gb18030) score += kChineseFirst;
    scored.push_back({kCandidates[i], score});
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](const Scored& a, const Scored& b) { return a.score > b.score; });
  std::vector<CodePage> pages;
  for (const Scored& entry : scored) pages.push_back(entry.page);
  return pages;
}

// decodeOne: `bytes` in `chosen` when that reads it as text; else in the
// candidate that reads it clearly better; else in the first of `order`
// that can decode it at all.
std::optional<std::string> decodeOne(NameScorer& scorer, CodePage chosen, std::string_view bytes,
                                     const std::vector<CodePage>& order, const NameRules& rules) {
  std::string text;
  const std::optional<NameTally> own = scorer.legacy(chosen, bytes, &text);
  const double ownScore = own ? own->plausibility() : -1.0;
  if (own && (ownScore >= kLeastPlausible || own->count == 0)) return text;
  std::optional<std::string> best;
  double bestScore = std::max(ownScore, 0.0) + kPerNameMargin;
  for (const CodePage page : kCandidates) {
    if (page == chosen || !isCandidate(page, rules)) continue;
    std::string decoded;
    const std::optional<NameTally> tally = scorer.legacy(page, bytes, &decoded);
    if (!tally) continue;
    double score = tally->plausibility();
    if (page == CodePage::gb18030) score += kChineseFirst;
    if (score >= bestScore) {
      bestScore = score + 1e-9;  // an earlier candidate keeps a tie
      best = std::move(decoded);
    }
  }
  if (best) return best;
  if (own) return text;
  for (const CodePage page : order) {
    if (auto decoded = scorer.decode(page, bytes)) return decoded;
  }
  return std::nullopt;
}

}  // namespace

std::optional<double> plausibility(CodePage page, const std::vector<std::string>& names) {
  NameScorer scorer;
  const std::vector<std::string_view> views(names.begin(), names.end());
  const std::optional<NameTally> tally = tallyOf(scorer, page, views);
  if (!tally) return std::nullopt;
  return tally->plausibility();
}

double utf8Plausibility(const std::vector<std::string>& names) {
  NameScorer scorer;
  NameTally sum;
  for (const std::string& name : names) sum.add(scorer.utf8(name));
  return sum.plausibility();
}

bool readsAsLegacy(const std::vector<std::string_view>& names, const NameRules& rules) {
  NameScorer scorer;
  std::vector<std::string_view> sample;
  std::size_t bytes = 0;
  NameTally asUtf8;
  for (const std::string_view name : names) {
    if (bytes >= kSampleBytes) break;
    sample.push_back(name);
    bytes += name.size() + 1;
    asUtf8.add(scorer.utf8(name));
  }
  const double utf8Score = asUtf8.plausibility();
  for (const CodePage page : kCandidates) {
    if (!isCandidate(page, rules)) continue;
    const std::optional<NameTally> tally = tallyOf(scorer, page, sample);
    if (!tally) continue;
    double score = tally->plausibility();
    if (page == CodePage::gb18030) score += kChineseFirst;
    const double margin = page == CodePage::gb18030 ? kUtf8Margin : kUtf8MarginOtherPages;
    if (score >= kLeastPlausible && score > utf8Score + margin) return true;
  }
  return false;
}

std::vector<std::optional<std::string>> readBetterIn(CodePage page,
                                                     const std::vector<std::string_view>& names,
                                                     const NameRules& rules) {
  std::vector<std::optional<std::string>> better(names.size());
  if (!isCandidate(page, rules)) return better;
  NameScorer scorer;
  const double bonus = page == CodePage::gb18030 ? kChineseFirst : 0.0;
  const double margin = page == CodePage::gb18030 ? kUtf8Margin : kUtf8MarginOtherPages;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string text;
    const std::optional<NameTally> tally = scorer.legacy(page, names[i], &text);
    if (!tally) continue;
    const double score = tally->plausibility() + bonus;
    if (score >= kLeastPlausible && score > scorer.utf8(names[i]).plausibility() + margin) {
      better[i] = std::move(text);
    }
  }
  return better;
}

LegacyDecoding fixGBKNames(const std::vector<LegacyName>& names, const NameRules& rules) {
  NameScorer scorer;
  std::vector<CodePage> order = ranked(scorer, sampleOf(names), rules);
  const bool readsAsText = !order.empty();
  order.push_back(rules.fallback);
  order.push_back(CodePage::cp437);

  // The archive's code page: the best that reads the names as text, else the
  // fallback, else the first that decodes every name (CP437 always can).
  LegacyDecoding decoding;
  decoding.codePage = order.front();
  if (!readsAsText) {
    for (const CodePage page : order) {
      const bool decodesAll = std::all_of(names.begin(), names.end(), [&](const LegacyName& name) {
        return scorer.decode(page, name.bytes).has_value();
      });
      if (decodesAll) {
        decoding.codePage = page;
        break;
      }
    }
  }
  decoding.names.reserve(names.size());
  for (const LegacyName& name : names) {
    std::optional<std::string> text =
        readsAsText ? decodeOne(scorer, decoding.codePage, name.bytes, order, rules)
                    : scorer.decode(decoding.codePage, name.bytes);
    // Only without an iconv for CP437: keep the bytes visible as far as they are UTF-8.
    decoding.names.push_back(text ? std::move(*text) : text::decodeUtf8Lenient(name.bytes));
  }
  return decoding;
}

}  // namespace vexel::readers_internal
