#include "archiver/run_result.h"

#include "text/unicode_case.h"

#include <array>

namespace vexel {
namespace {

constexpr std::array<std::string_view, 7> kPasswordPhrases = {
    "Wrong password",
    "Cannot open encrypted archive",
    "Can not open encrypted archive",
    "Enter password",
    "incorrect password",
    "password is incorrect",
    "Corrupt file or wrong password",
};

constexpr std::array<std::string_view, 4> kNotArchivePhrases = {
    "Cannot open the file as", "Can not open the file as", "Is not archive", "is not RAR archive"};

constexpr size_t kMaxOutputLines = 6;

// The horizontal white space trimmed from output lines: tab and the Unicode
// space separators (U+00A0, U+3000 and the like), but no line breaks.
constexpr std::array<std::string_view, 18> kHorizontalSpaces = {
    "\t",     " ",      "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
    "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000",
};

std::string_view trimHorizontalSpace(std::string_view line) {
  for (bool trimmed = true; trimmed && !line.empty();) {
    trimmed = false;
    for (std::string_view space : kHorizontalSpaces) {
      if (line.starts_with(space)) {
        line.remove_prefix(space.size());
        trimmed = true;
      }
      if (line.ends_with(space)) {
        line.remove_suffix(space.size());
        trimmed = true;
      }
    }
  }
  return line;
}

}  // namespace

ArchiveError classifyRun(const RunResult& result, std::string_view tool) {
  const std::string joined = result.stderr + "\n" + result.stdout;

  const std::string folded = text::foldCase(joined);
  for (std::string_view phrase : kPasswordPhrases) {
    if (folded.find(text::foldCase(phrase)) != std::string::npos)
      return ArchiveError::passwordRequired();
  }
  for (std::string_view phrase : kNotArchivePhrases) {
    if (joined.find(phrase) != std::string::npos) return ArchiveError::notArchive();
  }

  std::string lines;
  size_t kept = 0;
  size_t start = 0;
  while (start <= joined.size() && kept < kMaxOutputLines) {
    size_t end = joined.find('\n', start);
    if (end == std::string::npos) end = joined.size();
    const std::string_view line =
        trimHorizontalSpace(std::string_view(joined.data() + start, end - start));
    if (!line.empty()) {
      if (kept > 0) lines += '\n';
      lines += line;
      ++kept;
    }
    start = end + 1;
  }
  if (!lines.empty()) return ArchiveError::failed(std::move(lines));
  return ArchiveError::toolFailed(tool, result.status);
}

}  // namespace vexel
