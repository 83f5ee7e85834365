#include "extraction_plan.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <deque>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "readers/archive_error.h"
#include "text/unicode_case.h"
#include "text/utf8.h"

namespace vexel::extraction_internal {
namespace {

using Unsafe = ArchiveError::UnsafeEntry;

// How much work (path components, entries) the judgement does between two
// looks at the clock.
constexpr std::size_t kWorkBetweenChecks = 1 << 16;

// The components of `path` between "/", "" and "." left out.
template <typename Visit>
void forEachComponent(std::string_view path, Visit&& visit) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") visit(part);
    start = end + 1;
  }
}

std::string_view parentOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// normalized: `utf8` in the normal form of `form` (NFC or NFD); as it is
// when ICU fails.
std::string normalized(std::string_view utf8, const UNormalizer2* form) {
  UErrorCode status = U_ZERO_ERROR;
  const std::u16string input = text::toUtf16Lenient(utf8);
  std::u16string normal(input.size() * 4 + 1, u'\0');
  const int32_t length =
      unorm2_normalize(form, input.data(), static_cast<int32_t>(input.size()), normal.data(),
                       static_cast<int32_t>(normal.size()), &status);
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out(static_cast<std::size_t>(length) * 3 + 1, '\0');
  int32_t written = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &written, normal.data(), length,
              &status);
  if (U_FAILURE(status)) return std::string(utf8);
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// caselessName: `name` as a file system that folds letter case and
// normalises Unicode compares it ("Ä" = "ä" = "a" + U+0308). Bytes that are
// not UTF-8 stay as they are: such file systems take no other names.
std::string caselessName(std::string_view name) {
  bool isAscii = true;
  for (const char c : name) isAscii = isAscii && static_cast<unsigned char>(c) < 0x80;
  if (isAscii) return text::foldCase(name);
  if (!text::isValidUtf8(name)) return std::string(name);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return text::foldCase(name);
  return normalized(text::foldCase(normalized(name, nfd)), nfc);
}

std::string_view firstComponent(std::string_view path) {
  const std::size_t slash = path.find('/');
  return slash == std::string_view::npos ? path : path.substr(0, slash);
}

std::int64_t saturatingAdd(std::int64_t total, std::int64_t more) {
  if (more <= 0) return total;
  return total > std::numeric_limits<std::int64_t>::max() - more
             ? std::numeric_limits<std::int64_t>::max()
             : total + more;
}

}  // namespace

std::optional<std::string> cleanPath(std::string_view path) {
  if (path.starts_with('/')) return std::nullopt;
  std::string clean;
  bool climbs = false;
  forEachComponent(path, [&](std::string_view part) {
    if (part == "..") climbs = true;
    if (!clean.empty()) clean += '/';
    clean += part;
  });
  if (climbs) return std::nullopt;
  return clean;
}

void ExtractionPlan::add(PlannedEntry entry) { mEntries.push_back(std::move(entry)); }

namespace {

// Judge: the checks of decide() over the steps made from the entries.
class Judge {
 public:
  Judge(std::vector<Step>& steps, const std::function<bool()>& isLate)
      : mSteps(steps), mIsLate(isLate) {}

  // index: every clean path and the last step that makes it. A hard link
  // names the file as it stands at the link's place: that file stays
  // written when a later file takes its name.
  void index() {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    mByPath.reserve(mSteps.size());
    mLinkedAt.assign(mSteps.size(), kNone);
    std::unordered_set<std::size_t> linked;  // files a hard link named so far
    for (std::size_t i = 0; i < mSteps.size(); ++i) {
      if (mSteps[i].action == Step::Action::skip) continue;
      if (mSteps[i].action == Step::Action::hardLink) {
        if (const auto at = mByPath.find(mSteps[i].target); at != mByPath.end()) {
          mLinkedAt[i] = at->second;
          linked.insert(at->second);
        }
      }
      const auto [at, isNew] = mByPath.try_emplace(mSteps[i].path, i);
      if (isNew) continue;
      Step& earlier = mSteps[at->second];
      const bool bothFolders =
          earlier.action == Step::Action::folder && mSteps[i].action == Step::Action::folder;
      const bool neitherFolder =
          earlier.action != Step::Action::folder && mSteps[i].action != Step::Action::folder;
      if (!bothFolders && !neitherFolder) {
        throw ArchiveError::unsafeEntry(Unsafe::clashes, mSteps[i].path);
      }
      // A later entry of the same name replaces an earlier one (tar keeps
      // newer versions after older ones); the folder's last listing holds.
      // A file a hard link named is written all the same when a file
      // replaces it: the writer replaces the name, the link keeps the data.
      const bool keepsData = earlier.action == Step::Action::file &&
                             mSteps[i].action == Step::Action::file && linked.contains(at->second);
      if (neitherFolder && !keepsData) earlier.action = Step::Action::skip;
      at->second = i;
    }
  }

  // indexCaseless: the paths as file systems that fold case compare them.
  // A link whose name another entry shares there is left out: which of the
  // two the file system keeps cannot be judged.
  void indexCaseless() {
    mByCaseless.reserve(mSteps.size());
    for (std::size_t i = 0; i < mSteps.size(); ++i) {
      if (mSteps[i].action == Step::Action::skip) continue;
      const auto [at, isNew] = mByCaseless.try_emplace(caselessName(mSteps[i].path), i);
      tick();
      if (isNew || mSteps[at->second].path == mSteps[i].path) {
        at->second = i;
        continue;
      }
      if (mSteps[i].action == Step::Action::symlink) mCaselessClash.insert(i);
      if (mSteps[at->second].action == Step::Action::symlink) mCaselessClash.insert(at->second);
      if (mSteps[i].action == Step::Action::symlink) at->second = i;
    }
  }

  // findTop: the one top folder every entry but top links lies under, which
  // place() may make the result itself; "" when there is none.
  void findTop() {
    std::optional<std::string_view> top;
    for (const Step& step : mSteps) {
      // A link at the top stays only beside something else, so no folder
      // is placed alone then; one further down makes its folders.
      if (step.action == Step::Action::skip) continue;
      const std::string_view first = firstComponent(step.path);
      if (step.action == Step::Action::symlink && step.path == first) continue;
      if (top && *top != first) return;
      top = first;
      // A file or hard link of that name is no folder to place.
      if (step.path == first && step.action != Step::Action::folder) return;
    }
    if (top) mTop = std::string(*top);
  }

  [[nodiscard]] bool isClashing(std::size_t index) const { return mCaselessClash.contains(index); }

  // staysInside: whether the link leads, through the archive's own links,
  // to a place inside the destination where the result finally stands, both
  // with names compared byte for byte and as caseless file systems do.
  bool staysInside(const Step& link) {
    const bool isUnderTop = !mTop.empty() && firstComponent(link.path) == mTop;
    return walksInside(link, isUnderTop, false) && walksInside(link, isUnderTop, true);
  }

  // hardLinkFile: the file a hard link names, through other hard links,
  // and whether all of them came before the link (so it is made at its
  // place); nothing when it names no file of the archive.
  std::optional<std::pair<std::string, bool>> hardLinkFile(std::size_t index) {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    bool isEarlier = true;
    std::size_t at = index;
    for (int hops = 0; hops <= ExtractionPlan::kMaxLinkHops; ++hops) {
      std::size_t named = mLinkedAt[at];
      if (named == kNone || mSteps[named].action == Step::Action::skip) {
        // Only a later entry, or one replaced by a link: the file the name
        // holds in the end.
        isEarlier = false;
        const auto found = mByPath.find(mSteps[at].target);
        if (found == mByPath.end()) return std::nullopt;
        named = found->second;
      }
      const Step& step = mSteps[named];
      if (step.action == Step::Action::file) return std::pair(step.path, isEarlier);
      if (step.action != Step::Action::hardLink || named == index) return std::nullopt;
      at = named;
    }
    return std::nullopt;
  }

  // Nothing may lie beneath a file or a link: extracting it would have to
  // write through the link, or the file could not be made.
  void checkParents() {
    for (const Step& step : mSteps) {
      if (step.action == Step::Action::skip) continue;
      std::string_view parent = parentOf(step.path);
      while (!parent.empty()) {
        if (const auto at = mByPath.find(parent); at != mByPath.end()) {
          const Step& holder = mSteps[at->second];
          if (holder.action == Step::Action::folder) break;  // its parents were checked too
          throw ArchiveError::unsafeEntry(
              holder.action == Step::Action::symlink ? Unsafe::beneathLink : Unsafe::clashes,
              step.path, holder.path);
        }
        parent = parentOf(parent);
      }
      tick();
    }
  }

  // walksInside: one resolution of the link, as the system resolves a
  // path: component by component, a link's target replacing the link, ".."
  // going up from where a link led. `isUnderTop`: the top folder is the
  // floor. `isCaseless`: names compared as caseless file systems do.
  bool walksInside(const Step& link, bool isUnderTop, bool isCaseless) {
    if (link.target.starts_with('/')) return false;
    const auto name = [isCaseless](std::string_view path) {
      return isCaseless ? caselessName(path) : std::string(path);
    };
    const std::size_t floor = isUnderTop ? 1 : 0;
    const std::string top = name(mTop);
    // Where the walk is, and the length of `at` before each of its components.
    std::string at = name(parentOf(link.path));
    std::vector<std::size_t> lengths;
    {
      std::size_t length = 0;
      forEachComponent(at, [&](std::string_view part) {
        lengths.push_back(length);
        length += (length == 0 ? 0 : 1) + part.size();
      });
    }
    std::deque<std::string> pending;
    const std::string target = name(link.target);
    forEachComponent(target, [&](std::string_view part) { pending.emplace_back(part); });
    int hops = 0;
    while (!pending.empty()) {
      tick();
      const std::string part = std::move(pending.front());
      pending.pop_front();
      if (part == "..") {
        // Up from the top folder and into it again by its name lands in
        // it, wherever it was placed; anything else up from it leads out.
        if (lengths.size() <= floor) {
          if (floor == 0 || pending.empty() || pending.front() != top) return false;
          pending.pop_front();
          continue;
        }
        at.resize(lengths.back());
        lengths.pop_back();
        continue;
      }
      lengths.push_back(at.size());
      if (!at.empty()) at += '/';
      at += part;
      std::size_t index = 0;
      if (isCaseless) {
        const auto found = mByCaseless.find(at);
        if (found == mByCaseless.end()) continue;
        index = found->second;
      } else {
        const auto found = mByPath.find(at);
        if (found == mByPath.end()) continue;
        index = found->second;
      }
      if (mSteps[index].action != Step::Action::symlink) continue;
      // A link on the way: its target goes on from the folder holding it.
      const Step& next = mSteps[index];
      if (++hops > ExtractionPlan::kMaxLinkHops || next.target.starts_with('/')) return false;
      at.resize(lengths.back());
      lengths.pop_back();
      std::vector<std::string> parts;
      const std::string nextTarget = name(next.target);
      forEachComponent(nextTarget, [&](std::string_view piece) { parts.emplace_back(piece); });
      pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    return true;
  }

  void tick() {
    if (++mWork % kWorkBetweenChecks != 0 || !mIsLate) return;
    if (mIsLate()) throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::time);
  }

 private:
  std::vector<Step>& mSteps;
  const std::function<bool()>& mIsLate;
  std::unordered_map<std::string_view, std::size_t> mByPath;
  std::unordered_map<std::string, std::size_t> mByCaseless;
  std::unordered_set<std::size_t> mCaselessClash;  // links sharing a caseless name
  std::vector<std::size_t> mLinkedAt;  // per hard link, the step its name held before it
  std::string mTop;                    // the top folder that may become the result
  std::size_t mWork = 0;
};

}  // namespace

void ExtractionPlan::decide(const std::function<bool()>& isLate) {
  mSteps.clear();
  mSteps.reserve(mEntries.size());
  mFileBytes = 0;
  mLinksLeftOut = 0;
  mSpecialsLeftOut = 0;
  for (PlannedEntry& entry : mEntries) {
    Step step;
    step.permissions = entry.permissions;
    step.modified = entry.modified;
    if (entry.path.starts_with('/'))
      throw ArchiveError::unsafeEntry(Unsafe::absolutePath, entry.path);
    std::optional<std::string> clean = cleanPath(entry.path);
    if (!clean) throw ArchiveError::unsafeEntry(Unsafe::leavesDestination, entry.path);
    step.path = std::move(*clean);
    if (step.path.empty() && entry.kind != EntryKind::folder && entry.kind != EntryKind::special) {
      // A file or link in the destination's own place ("", "./").
      throw ArchiveError::unsafeEntry(Unsafe::noName, entry.path);
    }
    switch (entry.kind) {
      case EntryKind::folder:
        // The destination itself ("./" in many tarballs) is there already.
        step.action = step.path.empty() ? Step::Action::skip : Step::Action::folder;
        break;
      case EntryKind::file:
        step.action = Step::Action::file;
        mFileBytes = saturatingAdd(mFileBytes, entry.size);
        break;
      case EntryKind::symlink:
        step.action = Step::Action::symlink;
        step.target = std::move(entry.target);
        break;
      case EntryKind::hardLink:
        if (std::optional<std::string> target = cleanPath(entry.target);
            target && !target->empty()) {
          step.action = Step::Action::hardLink;
          step.target = std::move(*target);
        } else {
          ++mLinksLeftOut;
        }
        break;
      case EntryKind::special:
        ++mSpecialsLeftOut;
        break;
    }
    mSteps.push_back(std::move(step));
  }
  mEntries = {};

  Judge judge(mSteps, isLate);
  judge.index();
  judge.checkParents();
  judge.indexCaseless();
  if (mKeepsOneFolder) judge.findTop();
  // Judged on the archive as listed, links left out included: a link that
  // reaches out through another is left out as well.
  std::vector<bool> leftOut(mSteps.size(), false);
  for (std::size_t i = 0; i < mSteps.size(); ++i) {
    Step& step = mSteps[i];
    if (step.action == Step::Action::symlink) {
      leftOut[i] = step.target.empty() || judge.isClashing(i) || !judge.staysInside(step);
    } else if (step.action == Step::Action::hardLink) {
      std::optional<std::pair<std::string, bool>> file = judge.hardLinkFile(i);
      leftOut[i] = !file;
      if (file) {
        step.target = std::move(file->first);
        step.linksNow = file->second;
      }
    }
  }
  for (std::size_t i = 0; i < mSteps.size(); ++i) {
    if (!leftOut[i]) continue;
    mSteps[i].action = Step::Action::skip;
    ++mLinksLeftOut;
  }
}

}  // namespace vexel::extraction_internal
