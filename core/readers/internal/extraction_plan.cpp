#include "extraction_plan.h"

#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>

#include "readers/archive_error.h"

namespace vexel::readers_internal {
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

  // index: every clean path and the last step that makes it.
  void index() {
    mByPath.reserve(mSteps.size());
    for (std::size_t i = 0; i < mSteps.size(); ++i) {
      if (mSteps[i].action == Step::Action::skip) continue;
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
      if (neitherFolder) earlier.action = Step::Action::skip;
      at->second = i;
    }
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

  // staysInside: whether the link `link` leads, through the archive's own
  // links, to a place inside the destination. Resolved as the system
  // resolves a path: component by component, a link's target replacing the
  // link, ".." going up from where a link led.
  bool staysInside(const Step& link) {
    if (link.target.starts_with('/')) return false;
    // Where the walk is, and the length of `at` before each of its components.
    std::string at(parentOf(link.path));
    std::vector<std::size_t> lengths;
    {
      std::size_t length = 0;
      forEachComponent(at, [&](std::string_view part) {
        lengths.push_back(length);
        length += (length == 0 ? 0 : 1) + part.size();
      });
    }
    std::deque<std::string_view> pending;
    forEachComponent(link.target, [&](std::string_view part) { pending.push_back(part); });
    int hops = 0;
    while (!pending.empty()) {
      tick();
      const std::string_view part = pending.front();
      pending.pop_front();
      if (part == "..") {
        if (lengths.empty()) return false;
        at.resize(lengths.back());
        lengths.pop_back();
        continue;
      }
      lengths.push_back(at.size());
      if (!at.empty()) at += '/';
      at += part;
      const auto found = mByPath.find(at);
      if (found == mByPath.end() || mSteps[found->second].action != Step::Action::symlink) {
        continue;
      }
      // A link on the way: its target goes on from the folder holding it.
      const Step& next = mSteps[found->second];
      if (++hops > ExtractionPlan::kMaxLinkHops || next.target.starts_with('/')) return false;
      at.resize(lengths.back());
      lengths.pop_back();
      std::vector<std::string_view> parts;
      forEachComponent(next.target, [&](std::string_view piece) { parts.push_back(piece); });
      pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    return true;
  }

  // hardLinkFile: the file a hard link names, through other hard links;
  // nothing when it names no file of the archive.
  std::optional<std::string> hardLinkFile(const Step& link) {
    std::string target = link.target;
    for (int hops = 0; hops <= ExtractionPlan::kMaxLinkHops; ++hops) {
      const auto found = mByPath.find(target);
      if (found == mByPath.end()) return std::nullopt;
      const Step& named = mSteps[found->second];
      if (named.action == Step::Action::file) return target;
      if (named.action != Step::Action::hardLink || named.target == link.path) return std::nullopt;
      target = named.target;
    }
    return std::nullopt;
  }

  void tick() {
    if (++mWork % kWorkBetweenChecks != 0 || !mIsLate) return;
    if (mIsLate()) throw ArchiveError::tooLargeToCheck(ArchiveError::CheckBound::time);
  }

 private:
  std::vector<Step>& mSteps;
  const std::function<bool()>& mIsLate;
  std::unordered_map<std::string_view, std::size_t> mByPath;
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
  // Judged on the archive as listed, links left out included: a link that
  // reaches out through another is left out as well.
  std::vector<bool> leftOut(mSteps.size(), false);
  for (std::size_t i = 0; i < mSteps.size(); ++i) {
    Step& step = mSteps[i];
    if (step.action == Step::Action::symlink) {
      leftOut[i] = step.target.empty() || !judge.staysInside(step);
    } else if (step.action == Step::Action::hardLink) {
      std::optional<std::string> file = judge.hardLinkFile(step);
      leftOut[i] = !file;
      if (file) step.target = std::move(*file);
    }
  }
  for (std::size_t i = 0; i < mSteps.size(); ++i) {
    if (!leftOut[i]) continue;
    mSteps[i].action = Step::Action::skip;
    ++mLinksLeftOut;
  }
}

}  // namespace vexel::readers_internal
