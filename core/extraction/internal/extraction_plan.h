// extraction_plan.h: what extracting an archive will create, decided from
// the entries' names before a byte is written.
//
// An archive can come from anyone, so its entries are judged as a whole
// before anything is extracted, by the names alone:
//   - An entry whose own path leaves the destination (an absolute path, a
//     ".." component), a file or link without a name ("", "./"), an entry
//     beneath a link or a file of the archive, or a file where a folder is
//     (or the reverse) refuses the whole archive: it cannot be extracted as
//     it stands, and such archives are made to attack.
//   - Devices, named pipes and sockets are never created.
//   - A symbolic link is created only when its target, resolved through the
//     archive's own links (as the system would once they all exist), stays
//     inside the destination where the result finally stands: when every
//     entry lies under one top folder, that folder may become the result
//     itself, so nothing may lead above it. Names are also compared as file
//     systems that fold letter case and normalise Unicode compare them. A
//     hard link is created only when it names a file of the archive: the
//     file as it stood at the link's place, as tar makes it. The others are
//     left out and counted.
//
//   ExtractionPlan plan;
//   plan.add({.path = "docs/a.txt", .kind = EntryKind::file, .size = 12});
//   plan.add({.path = "link", .kind = EntryKind::symlink, .target = "docs/a.txt"});
//   plan.decide(isLate);                   // throws ArchiveError when refused
//   plan.steps()[1].action;                // Action::symlink
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::extraction_internal {

// EntryKind: what an archive entry would create.
enum class EntryKind {
  file,
  folder,
  symlink,
  hardLink,
  special,  ///< a device, named pipe or socket
};

// PlannedEntry: one entry as the archive lists it, its name decided.
struct PlannedEntry {
  std::string path;  ///< as stored, "/"-separated; "./" and "/" not removed
  EntryKind kind = EntryKind::file;
  std::string target;        ///< a link's target as stored; "" for others
  std::int64_t size = 0;     ///< bytes of data; 0 when unknown
  unsigned permissions = 0;  ///< the mode's permission bits as stored (07777)
  std::optional<std::chrono::sys_seconds> modified;
};

// Step: what extraction does with one entry.
struct Step {
  enum class Action { skip, folder, file, symlink, hardLink };
  Action action = Action::skip;
  std::string path;    ///< clean: no "", "." or ".." components, no leading "/"
  std::string target;  ///< symlink: the target as stored; hardLink: the clean path of its file
  /// hardLink: made at its place in the archive, to the file as written so
  /// far (a later entry of the file's name replaces the name, not the data).
  bool linksNow = false;
  unsigned permissions = 0;
  std::optional<std::chrono::sys_seconds> modified;
};

// ExtractionPlan: the steps, one per entry added, in the same order.
class ExtractionPlan {
 public:
  // kMaxLinkHops: links followed while resolving one link's target, as the
  // system allows, before it counts as a loop.
  static constexpr int kMaxLinkHops = 40;

  // add: the next entry.
  void add(PlannedEntry entry);

  // setKeepsOneFolder: whether a single top folder may be placed as the
  // result (a Debian package's usr is not); true unless set.
  void setKeepsOneFolder(bool keeps) noexcept { mKeepsOneFolder = keeps; }

  // decide: judges every entry (see the banner) and fills steps().
  // `isLate` is asked now and then; once it says yes, the check has run out
  // of time.
  // @throws ArchiveError (failed): the refusal, or tooLargeToCheck(time).
  void decide(const std::function<bool()>& isLate = nullptr);

  [[nodiscard]] const std::vector<Step>& steps() const noexcept { return mSteps; }
  // fileBytes: the data all files together hold, as listed (saturating).
  [[nodiscard]] std::int64_t fileBytes() const noexcept { return mFileBytes; }
  // linksLeftOut: links not created because they lead out of the
  // destination, loop, or name no file of the archive.
  [[nodiscard]] std::int64_t linksLeftOut() const noexcept { return mLinksLeftOut; }
  // specialsLeftOut: devices, named pipes and sockets not created.
  [[nodiscard]] std::int64_t specialsLeftOut() const noexcept { return mSpecialsLeftOut; }

 private:
  std::vector<PlannedEntry> mEntries;
  std::vector<Step> mSteps;
  std::int64_t mFileBytes = 0;
  std::int64_t mLinksLeftOut = 0;
  std::int64_t mSpecialsLeftOut = 0;
  bool mKeepsOneFolder = true;
};

// cleanPath: `path` without "" and "." components, or nothing when it is
// absolute or has a ".." component. "./a//b/" gives "a/b"; "." gives "".
[[nodiscard]] std::optional<std::string> cleanPath(std::string_view path);

}  // namespace vexel::extraction_internal
