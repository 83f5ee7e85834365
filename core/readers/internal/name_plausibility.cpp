#include "name_plausibility.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "text/utf8.h"

// Every non-ASCII character of a reading gets a weight: how likely it is in
// a file name of that reading's script.
//
// - CJK code pages know the byte code each character came from, and so its
//   level in the national standard: common characters of the script 1; other
//   characters of the basic set less (GB 2312 level 1 hanzi 0.6, JIS level 1
//   kanji and KS X 1001 hangul 0.4, rarer ones 0.05 to 0.3). GBK's other
//   rows (full-width letters and digits, kana, circled numbers, Greek,
//   symbols) are text too, less than hanzi; box drawing is not (-0.5).
// - Alphabets, and every script read as UTF-8, are weighed word by word: a
//   letter weighs by its script and by the word it stands in. Accented
//   Latin letters weigh most next to ASCII letters; Greek, Cyrillic,
//   Hebrew and Arabic letters in words of two or more letters of their own
//   script (Cyrillic letters also by frequency, less in words without
//   vowels, that mix in ASCII letters or change from lower to upper case).
//   A word that mixes scripts is no word. Combining marks weigh as letters
//   after a letter they can combine with, and against the reading anywhere
//   else; symbols of Latin-1 count a little next to ASCII letters and digits.
//
// The weights are tuned on names as the tools of each language write them
// (the tests hold tables of them), and on the mis-readings they turn into.

namespace vexel::readers_internal {
namespace {

using text::CodePage;

// The tables of common characters: data only, kept apart from the code.
#include "name_plausibility_table.inc"

// CommonSet: the characters of one table, for lookups.
class CommonSet {
 public:
  explicit CommonSet(std::string_view utf8) {
    for (const text::CodePoint cp : text::codePoints(utf8)) mChars.push_back(cp.value);
    std::sort(mChars.begin(), mChars.end());
  }
  [[nodiscard]] bool contains(char32_t c) const {
    return std::binary_search(mChars.begin(), mChars.end(), c);
  }

 private:
  std::vector<char32_t> mChars;
};

enum class Script { simplifiedChinese, japanese, traditionalChinese, korean, alphabet };

Script scriptOf(CodePage page) {
  switch (page) {
    case CodePage::gb18030:
      return Script::simplifiedChinese;
    case CodePage::cp932:
    case CodePage::eucjp:
      return Script::japanese;
    case CodePage::big5:
      return Script::traditionalChinese;
    case CodePage::cp949:
      return Script::korean;
    case CodePage::cp437:
    case CodePage::cp866:
    case CodePage::koi8r:
    case CodePage::cp1251:
    case CodePage::cp1252:
      return Script::alphabet;
  }
  return Script::alphabet;
}

const CommonSet& simplifiedSet() {
  static const CommonSet set(kCommonSimplified);
  return set;
}
const CommonSet& traditionalSet() {
  static const CommonSet set(kCommonTraditional);
  return set;
}
const CommonSet& kanjiSet() {
  static const CommonSet set(kCommonKanji);
  return set;
}
const CommonSet& hangulSet() {
  static const CommonSet set(kCommonHangul);
  return set;
}

bool isHan(char32_t c) { return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF); }
bool isKana(char32_t c) { return c >= 0x3041 && c <= 0x30FF; }
bool isHalfWidthKana(char32_t c) { return c >= 0xFF61 && c <= 0xFF9F; }
bool isHangul(char32_t c) { return c >= 0xAC00 && c <= 0xD7A3; }
bool isBoxDrawing(char32_t c) { return c >= 0x2500 && c <= 0x259F; }
bool isFullWidthAlnum(char32_t c) {
  return (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF3A) ||
         (c >= 0xFF41 && c <= 0xFF5A);
}
bool isFullWidthPunctuation(char32_t c) {
  return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF5E);
}
// Circled and parenthesised numbers, Roman numerals: GBK's numbering rows.
bool isNumberForm(char32_t c) {
  return (c >= 0x2460 && c <= 0x249B) || (c >= 0x2160 && c <= 0x217F) ||
         (c >= 0x3220 && c <= 0x3229);
}
bool isBasicGreek(char32_t c) {
  return c == 0x386 || (c >= 0x388 && c <= 0x3CE && c != 0x38B && c != 0x38D && c != 0x3A2);
}
bool isBasicCyrillic(char32_t c) { return c >= 0x400 && c <= 0x45F; }
// isAsciiAlnum: an ASCII letter or digit.
bool isAsciiAlnum(char32_t c) {
  return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}
bool isControlOrPrivate(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0xE000 && c <= 0xF8FF) || c == 0xFFFD;
}
bool isEmoji(char32_t c) { return (c >= 0x1F300 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF); }

// byteLength: the bytes of the character of `page` that starts at `at`.
std::size_t byteLength(CodePage page, std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return 1;
  switch (page) {
    case CodePage::gb18030:
      return at + 1 < bytes.size() && byte(at + 1) >= 0x30 && byte(at + 1) <= 0x39 ? 4 : 2;
    case CodePage::cp932:
      return (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC) ? 2 : 1;
    case CodePage::eucjp:
      return lead == 0x8F ? 3 : 2;
    case CodePage::big5:
    case CodePage::cp949:
      return 2;
    default:
      return 1;
  }
}

// CjkWeight: a character's weight and whether it is a letter of the script.
struct CjkWeight {
  double weight = 0;
  bool isLetter = false;
};

// cjkWeight: the weight of `c`, decoded from the double-byte code `code` (0
// for other lengths) of `page`.
CjkWeight cjkWeight(CodePage page, char32_t c, unsigned code) {
  const Script script = scriptOf(page);
  const unsigned lead = code >> 8;
  const unsigned trail = code & 0xFF;
  const bool isEucGrid = lead >= 0xA1 && trail >= 0xA1;
  if (isBoxDrawing(c)) return {-0.5, false};
  if (isFullWidthAlnum(c)) return {0.6, true};
  if (isFullWidthPunctuation(c)) return {0.5, false};
  switch (script) {
    case Script::simplifiedChinese:
      if (simplifiedSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (isEucGrid && lead >= 0xB0 && lead <= 0xD7) return {0.6, true};  // GB 2312 level 1
        if (isEucGrid && lead >= 0xD8 && lead <= 0xF7) return {0.3, true};  // GB 2312 level 2
        // GBK additions; one whose trail byte is an ASCII letter or digit
        // most likely took that letter from the name.
        if (code != 0 && trail < 0x80) return {0.05, true};
        return {0.15, true};
      }
      if (isKana(c)) return {0.5, true};
      if (isNumberForm(c)) return {0.6, true};
      if (isBasicGreek(c)) return {0.5, true};
      if (isBasicCyrillic(c)) return {0.3, true};
      if (isEucGrid && lead <= 0xA9) return {0.3, true};  // the symbol rows
      return {0.0, false};
    case Script::japanese:
      if (isKana(c)) return {1.0, true};
      if (kanjiSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (page == CodePage::eucjp) {
          if (isEucGrid && lead >= 0xB0 && lead <= 0xCF) return {0.4, true};  // JIS level 1
          if (isEucGrid && lead >= 0xD0 && lead <= 0xF4) return {0.2, true};  // JIS level 2
          return {0.05, true};
        }
        if (code >= 0x889F && code <= 0x9872) return {0.4, true};  // JIS level 1
        if (code >= 0x989F && code <= 0xEAA4) return {0.2, true};  // JIS level 2
        return {0.1, true};                                        // vendor additions
      }
      if (isHalfWidthKana(c)) return {0.3, false};  // a letter from two on (cjkTally)
      if (isNumberForm(c)) return {0.5, true};
      return {0.0, false};
    case Script::traditionalChinese:
      if (traditionalSet().contains(c)) return {1.0, true};
      if (isHan(c)) {
        if (code >= 0xA440 && code <= 0xC67E) return {0.4, true};  // Big5 level 1
        return {0.2, true};
      }
      return {0.0, false};
    case Script::korean:
      if (hangulSet().contains(c)) return {1.0, true};
      if (isHangul(c)) {
        if (isEucGrid && lead >= 0xB0 && lead <= 0xC8) return {0.4, true};  // KS X 1001
        return {0.15, true};
      }
      if (isHan(c)) return {0.1, true};  // hanja are rare in names
      return {0.0, false};
    case Script::alphabet:
      return {0.0, false};
  }
  return {0.0, false};
}

// cjkTally: the weights of the non-ASCII characters of `text`, decoded
// from `bytes` in the CJK code page `page`.
NameTally cjkTally(CodePage page, std::string_view bytes, std::string_view text) {
  NameTally tally;
  std::size_t halfWidthKana = 0;
  std::size_t at = 0;
  char32_t previous = 0;
  const auto isAsciiLetter = [](char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
  };
  for (const text::CodePoint cp : text::codePoints(text)) {
    const char32_t before = std::exchange(previous, cp.value);
    unsigned code = 0;
    std::size_t length = 1;
    if (at < bytes.size()) {
      length = byteLength(page, bytes, at);
      if (length == 2 && at + 1 < bytes.size()) {
        code = static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) << 8 |
               static_cast<unsigned char>(bytes[at + 1]);
      }
    }
    at += length;
    if (cp.value < 0x80) continue;
    CjkWeight weight = cjkWeight(page, cp.value, code);
    // A character whose trail byte is an ASCII letter or digit that goes on
    // as an ASCII word ("±F06" read as "盕06") took that letter from it.
    if (length == 2 && isAsciiAlnum(static_cast<unsigned char>(bytes[at - 1])) &&
        at < bytes.size() && isAsciiAlnum(static_cast<unsigned char>(bytes[at]))) {
      weight = {-0.5, false};
    }
    // A hanzi glued to an ASCII letter ("尾eta") is rarer in names than a
    // Greek or accented Latin letter there.
    if (isHan(cp.value) &&
        (isAsciiLetter(before) ||
         (at < bytes.size() && isAsciiLetter(static_cast<unsigned char>(bytes[at]))))) {
      weight.weight *= 0.5;
    }
    tally.total += weight.weight;
    ++tally.count;
    tally.hasScriptLetter = tally.hasScriptLetter || weight.isLetter;
    if (scriptOf(page) == Script::japanese && isHalfWidthKana(cp.value)) ++halfWidthKana;
  }
  // Half-width katakana spell words (ﾃｽﾄ); one alone is any high byte.
  if (halfWidthKana >= 2) tally.hasScriptLetter = true;
  return tally;
}

// Letter scripts of the word rules.
enum class Alphabet { none, latin, greek, cyrillic, armenian, hebrew, arabic, other };

Alphabet alphabetOf(char32_t c) {
  if (c < 0xC0) return Alphabet::none;  // ª µ º are Latin-1 symbols here
  if ((c >= 0xC0 && c <= 0x24F && c != 0xD7 && c != 0xF7) || (c >= 0x1E00 && c <= 0x1EFF))
    return Alphabet::latin;
  if (c >= 0x370 && c <= 0x3FF) return Alphabet::greek;
  if (c >= 0x400 && c <= 0x52F) return Alphabet::cyrillic;
  if (c >= 0x531 && c <= 0x587) return Alphabet::armenian;
  if (c >= 0x5D0 && c <= 0x5EA) return Alphabet::hebrew;
  if ((c >= 0x620 && c <= 0x64A) || (c >= 0x671 && c <= 0x6D3)) return Alphabet::arabic;
  if (c >= 0x250 && c <= 0x2FF) return Alphabet::none;  // IPA and modifier letters
  return Alphabet::other;
}

bool isCombiningMark(char32_t c) {
  if (c < 0x300) return false;
  const auto type = static_cast<UCharCategory>(u_charType(static_cast<UChar32>(c)));
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK || type == U_ENCLOSING_MARK;
}

// canCarry: a combining mark `mark` may follow a letter of `alphabet`.
bool canCarry(Alphabet alphabet, char32_t mark, bool afterAsciiLetter) {
  if (mark >= 0x300 && mark <= 0x36F) {
    return afterAsciiLetter || alphabet == Alphabet::latin || alphabet == Alphabet::greek ||
           alphabet == Alphabet::cyrillic;
  }
  if (mark >= 0x483 && mark <= 0x489) return alphabet == Alphabet::cyrillic;
  if (mark >= 0x591 && mark <= 0x5C7) return alphabet == Alphabet::hebrew;
  if (mark >= 0x610 && mark <= 0x6ED) return alphabet == Alphabet::arabic;
  return alphabet == Alphabet::other;  // the vowel signs of Indic scripts, say
}

// kLoneLetter: a letter of an alphabet that is a word of its own ("Ω.txt",
// "ü.txt", "Ю.txt"). Against a GB 18030 reading of the same two bytes this
// decides a name that is one letter: one of the ~1,500 most common hanzi
// (1.0, "小.txt" = "С.txt", "录.txt" = "¼.txt") reads as GBK, for this
// product's users are sent GBK archives from Windows tools; a rarer hanzi
// (0.6: 惟 = Ω, 眉 = ü, 挟 = Ю, 渭 = μ) loses to the letter, as a UTF-8
// writer naming a file after one letter is at least as likely.
constexpr double kLoneLetter = 0.5;

bool isRussianLetter(char32_t c) { return (c >= 0x410 && c <= 0x44F) || c == 0x401 || c == 0x451; }

bool isRussianVowel(char32_t lower) {
  return std::u32string_view(U"аеёиоуыэюяіїє").find(lower) != std::u32string_view::npos;
}

// cyrillicWeight: a Cyrillic letter by its frequency in Russian text.
double cyrillicWeight(char32_t c) {
  const auto lower = static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
  if (kFrequentCyrillic.find(lower) != std::u32string_view::npos) return 1.0;
  if (kMiddleCyrillic.find(lower) != std::u32string_view::npos) return 0.8;
  if (lower == U'ё') return 0.1;  // rare, and what mis-read GBK full-width letters begin with
  if (lower >= 0x430 && lower <= 0x45F) return 0.5;
  return 0.1;  // historic and other languages' letters
}

// Word: facts about one run of letters.
struct Word {
  Alphabet alphabet = Alphabet::none;  ///< the script of its non-ASCII letters
  bool isMixed = false;                ///< non-ASCII letters of two scripts
  bool hasAsciiLetter = false;
  bool breaksCase = false;  ///< a lower-case letter followed by an upper-case one
  std::size_t letters = 0;  ///< non-ASCII letters
  std::size_t vowels = 0;   ///< Cyrillic vowels
};

Word wordOf(const std::u32string& chars, std::size_t start, std::size_t end) {
  Word word;
  bool previousIsLower = false;
  for (std::size_t k = start; k < end; ++k) {
    const char32_t c = chars[k];
    if (isCombiningMark(c)) continue;
    const auto u = static_cast<UChar32>(c);
    word.breaksCase = word.breaksCase || (previousIsLower && u_isupper(u) != 0);
    previousIsLower = u_islower(u) != 0;
    if (c < 0x80) {
      word.hasAsciiLetter = true;
      continue;
    }
    const Alphabet alphabet = alphabetOf(c);
    if (word.alphabet == Alphabet::none) {
      word.alphabet = alphabet;
    } else if (alphabet != word.alphabet) {
      word.isMixed = true;
    }
    ++word.letters;
    if (alphabet == Alphabet::cyrillic &&
        isRussianVowel(static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))))) {
      ++word.vowels;
    }
  }
  return word;
}

// letterWeight: the weight of the non-ASCII letter `c` in `word`.
double letterWeight(char32_t c, const Word& word) {
  const bool isWord = word.letters >= 2;
  double weight = 0.0;
  switch (alphabetOf(c)) {
    case Alphabet::latin:
      if (c <= 0xFF) {
        weight = word.hasAsciiLetter ? 1.0 : kLoneLetter;
      } else if (c <= 0x17F || c >= 0x1E00) {
        weight = word.hasAsciiLetter ? 0.8 : 0.4;
      } else {
        weight = word.hasAsciiLetter ? 0.2 : 0.1;  // Latin Extended-B
      }
      break;
    case Alphabet::greek:
      if (!isBasicGreek(c)) return 0.0;
      if (isWord) {
        weight = word.hasAsciiLetter ? 0.3 : 1.0;
      } else {
        // One letter: "βeta", "Δx" beside ASCII letters; a name that is
        // only "Ω" weighs as much as a lone letter of another alphabet.
        weight = word.hasAsciiLetter ? 0.8 : kLoneLetter;
      }
      break;
    case Alphabet::cyrillic:
      weight = cyrillicWeight(c);
      if (!isWord) weight = isRussianLetter(c) && !word.hasAsciiLetter ? kLoneLetter : weight * 0.3;
      if (word.letters == 2) weight *= 0.6;
      if (word.hasAsciiLetter) weight *= 0.3;
      if (word.breaksCase) weight *= 0.5;
      // Russian words of three letters and more hold vowels, about two in five.
      if (word.letters >= 3 &&
          (word.vowels * 6 < word.letters || word.vowels * 5 > word.letters * 4))
        weight *= 0.3;
      break;
    case Alphabet::hebrew:
    case Alphabet::arabic:
      weight = isWord ? 0.8 : 0.2;
      break;
    case Alphabet::armenian:
      weight = word.letters >= 3 ? 0.5 : 0.1;
      break;
    case Alphabet::other:
      weight = isWord ? 0.6 : 0.1;
      break;
    case Alphabet::none:
      return 0.0;
  }
  return word.isMixed ? weight * 0.2 : weight;
}

// isTextSymbol: a symbol or punctuation mark people type into names beside
// ASCII text: Latin-1's (½ µ ° © ±), dashes, quotes, the ellipsis, bullets,
// per mille, currency signs, ℃ № ™.
bool isTextSymbol(char32_t c) {
  return (c >= 0xA1 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2010 && c <= 0x2027) ||
         (c >= 0x2030 && c <= 0x203A) || (c >= 0x20A0 && c <= 0x20BF) || c == 0x2103 ||
         c == 0x2116 || c == 0x2122;
}

// isNearAsciiText: the characters before `start` or from `end` on are ASCII
// text: a letter or digit right there ("±5", "2023—2024", "notes…txt"), or
// a word of two or more behind one space or hyphen ("½ price", "µ-controller").
bool isNearAsciiText(const std::u32string& chars, std::size_t start, std::size_t end) {
  if ((start > 0 && isAsciiAlnum(chars[start - 1])) ||
      (end < chars.size() && isAsciiAlnum(chars[end]))) {
    return true;
  }
  const auto isJoiner = [](char32_t c) { return c == U' ' || c == U'-'; };
  if (start >= 3 && isJoiner(chars[start - 1]) && isAsciiAlnum(chars[start - 2]) &&
      isAsciiAlnum(chars[start - 3])) {
    return true;
  }
  return end + 2 < chars.size() && isJoiner(chars[end]) && isAsciiAlnum(chars[end + 1]) &&
         isAsciiAlnum(chars[end + 2]);
}

// CharacterWeight: what one character outside words weighs, and whether
// it counts as a letter of a script.
struct CharacterWeight {
  double value;
  bool isLetter;
};

// characterWeight: the weight of a non-ASCII character outside words; none
// for a symbol of text, which weighs by its neighbours.
std::optional<CharacterWeight> characterWeight(char32_t c) {
  if (isHan(c)) {
    const bool isCommon =
        simplifiedSet().contains(c) || traditionalSet().contains(c) || kanjiSet().contains(c);
    return CharacterWeight{isCommon ? 1.0 : c >= 0x4E00 ? 0.5 : 0.2, true};
  }
  if (isKana(c)) return CharacterWeight{1.0, true};
  if (isHangul(c)) return CharacterWeight{hangulSet().contains(c) ? 1.0 : 0.5, true};
  if (isHalfWidthKana(c) || isFullWidthAlnum(c)) return CharacterWeight{0.5, true};
  if (isFullWidthPunctuation(c)) return CharacterWeight{0.5, false};
  if (isEmoji(c)) return CharacterWeight{0.5, true};
  if (isBoxDrawing(c) || isControlOrPrivate(c)) return CharacterWeight{-0.5, false};
  // A mark on nothing it can combine with.
  if (isCombiningMark(c)) return CharacterWeight{-0.3, false};
  // ① Ⅱ ⅓: numbering people type.
  if (isNumberForm(c) || (c >= 0x2150 && c <= 0x215F)) return CharacterWeight{0.8, true};
  if (isTextSymbol(c)) return std::nullopt;
  return CharacterWeight{0.0, false};
}

// unicodeTally: the weights of the non-ASCII characters of `text` read as
// Unicode text of any script, word by word. `allowsIdeographs`: CJK
// characters count (a UTF-8 reading); the alphabetic code pages yield none.
NameTally unicodeTally(std::string_view text) {
  std::u32string chars;
  for (const text::CodePoint cp : text::codePoints(text)) chars.push_back(cp.value);
  NameTally tally;
  const auto add = [&](double weight, bool isLetter) {
    tally.total += weight;
    ++tally.count;
    tally.hasScriptLetter = tally.hasScriptLetter || (isLetter && weight > 0);
  };
  std::size_t start = 0;
  while (start < chars.size()) {
    const char32_t first = chars[start];
    const bool isLetter = u_isalpha(static_cast<UChar32>(first)) != 0 && !isHan(first) &&
                          !isKana(first) && !isHangul(first) && alphabetOf(first) != Alphabet::none;
    const bool isAsciiLetter = first < 0x80 && u_isalpha(static_cast<UChar32>(first)) != 0;
    if (!isLetter && !isAsciiLetter) {
      if (first >= 0x80) {
        if (const std::optional<CharacterWeight> weight = characterWeight(first)) {
          add(weight->value, weight->isLetter);
        } else {
          // Symbols beside ASCII text ("±5", "©2020", "2023—2024", "½ price",
          // "3±±±F06") are text; the mis-read bytes of other code pages are
          // symbols among letters of their own, or alone.
          std::size_t end = start;
          while (end < chars.size() && isTextSymbol(chars[end])) ++end;
          const bool isText = isNearAsciiText(chars, start, end);
          for (std::size_t k = start; k < end; ++k) add(isText ? 0.9 : 0.0, isText);
          start = end;
          continue;
        }
      }
      ++start;
      continue;
    }
    // A word: letters of alphabets, ASCII letters, and the marks on them.
    std::size_t end = start;
    while (end < chars.size()) {
      const char32_t c = chars[end];
      const bool isAlpha = u_isalpha(static_cast<UChar32>(c)) != 0 && !isHan(c) && !isKana(c) &&
                           !isHangul(c) && (c < 0x80 || alphabetOf(c) != Alphabet::none);
      if (!isAlpha && !(isCombiningMark(c) && end > start)) break;
      ++end;
    }
    const Word word = wordOf(chars, start, end);
    Alphabet previous = Alphabet::none;
    bool previousIsAscii = false;
    for (std::size_t k = start; k < end; ++k) {
      const char32_t c = chars[k];
      if (isCombiningMark(c)) {
        add(canCarry(previous, c, previousIsAscii) ? (word.isMixed ? 0.2 : 1.0) : -0.3, false);
        continue;
      }
      previousIsAscii = c < 0x80;
      previous = alphabetOf(c);
      if (c < 0x80) continue;
      const double weight = letterWeight(c, word);
      add(weight, true);
    }
    start = end;
  }
  return tally;
}

}  // namespace

NameScorer::NameScorer() = default;
NameScorer::~NameScorer() = default;

text::CodePageConverter& NameScorer::converter(CodePage page) {
  const auto index = static_cast<std::size_t>(page);
  if (!mConverters[index]) mConverters[index] = std::make_unique<text::CodePageConverter>(page);
  return *mConverters[index];
}

std::optional<std::string> NameScorer::decode(CodePage page, std::string_view bytes) {
  return converter(page).decode(bytes);
}

std::optional<NameTally> NameScorer::legacy(CodePage page, std::string_view bytes,
                                            std::string* decoded) {
  std::optional<std::string> text = converter(page).decode(bytes);
  if (!text) return std::nullopt;
  NameTally tally =
      scriptOf(page) == Script::alphabet ? unicodeTally(*text) : cjkTally(page, bytes, *text);
  if (decoded != nullptr) *decoded = std::move(*text);
  return tally;
}

NameTally NameScorer::utf8(std::string_view text) const { return unicodeTally(text); }

}  // namespace vexel::readers_internal
