// name_plausibility.h: how much the stored bytes of a name read as text.
//
// An archive that does not say how its names are encoded leaves a choice of
// readings: UTF-8, or one of the legacy code pages (code_page.h). Each
// reading of a name is weighed character by character: how likely that
// character is in a file name written in the reading's script. The choice
// itself is made elsewhere (legacy_name_repair.h, name_decoding.h); this
// unit only weighs.
//
//   NameScorer scorer;
//   std::optional<NameTally> gbk = scorer.legacy(CodePage::gb18030, bytes);  // 图片: about 1
//   NameTally utf8 = scorer.utf8(bytes);                                      // ͼƬ: about 0
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "text/code_page.h"

namespace vexel::readers_internal {

// NameTally: the weights of the non-ASCII characters of one or more names
// in one reading. A weight runs from -0.5 (box drawing, which no one types
// into a name) to 1 (a common letter or character of the script).
struct NameTally {
  double total = 0;
  std::size_t count = 0;         ///< non-ASCII characters weighed
  bool hasScriptLetter = false;  ///< some character is a letter of the reading's script

  void add(const NameTally& other) noexcept {
    total += other.total;
    count += other.count;
    hasScriptLetter = hasScriptLetter || other.hasScriptLetter;
  }
  // plausibility: the mean weight; 0 for a reading without a single letter
  // of its script (only symbols, say), and for pure ASCII.
  [[nodiscard]] double plausibility() const noexcept {
    if (!hasScriptLetter || count == 0) return 0.0;
    return total / static_cast<double>(count);
  }
};

// NameScorer: weighs readings of names, with one converter per code page
// opened on first use. Not for concurrent use: one scorer per thread.
class NameScorer {
 public:
  NameScorer();
  ~NameScorer();
  NameScorer(const NameScorer&) = delete;
  NameScorer& operator=(const NameScorer&) = delete;

  // legacy: the tally of `bytes` read in `page`; nothing when the code page
  // cannot decode them. `decoded`, when given, receives the text.
  [[nodiscard]] std::optional<NameTally> legacy(text::CodePage page, std::string_view bytes,
                                                std::string* decoded = nullptr);
  // utf8: the tally of `text`, which must be valid UTF-8, read as UTF-8.
  [[nodiscard]] NameTally utf8(std::string_view text) const;

  // decode: `bytes` in `page`, with the scorer's converter.
  [[nodiscard]] std::optional<std::string> decode(text::CodePage page, std::string_view bytes);

 private:
  text::CodePageConverter& converter(text::CodePage page);

  static constexpr std::size_t kPages = 11;
  std::array<std::unique_ptr<text::CodePageConverter>, kPages> mConverters;
};

}  // namespace vexel::readers_internal
