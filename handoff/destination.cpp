#include "handoff/destination.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/handoff_texts.h"
#include "readers/archive_error.h"

namespace vexel {
namespace {

namespace texts = handoff_internal;

namespace fs = std::filesystem;

// The system's own description of `code`, in the user's language.

bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The name without its last extension ("a.b" -> "a"; ".zip" stays).
std::string_view withoutExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

std::string archiveStem(std::string_view fileName) {
  std::string lower(fileName);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view name = lower;
  // Volumes: name.7z.001 and name.001; name.part1.rar.
  if (const size_t dot = name.rfind('.');
      dot != std::string_view::npos && dot > 0 && isDigits(name.substr(dot + 1))) {
    name = name.substr(0, dot);
  } else if (name.ends_with(".rar")) {
    const std::string_view base = name.substr(0, name.size() - 4);
    const size_t part = base.rfind(".part");
    if (part != std::string_view::npos && part > 0 && isDigits(base.substr(part + 5)))
      name = base.substr(0, part);
  }
  for (const std::string_view compressed : {".gz", ".bz2", ".xz", ".zst", ".lzma", ".z", ".lz4"}) {
    if (name.ends_with(compressed) &&
        name.substr(0, name.size() - compressed.size()).ends_with(".tar")) {
      name.remove_suffix(compressed.size());
      break;
    }
  }
  name = withoutExtension(name);
  // The same length of the name as written, letter case kept.
  return std::string(name.empty() ? fileName : fileName.substr(0, name.size()));
}

bool isPrivateFolder(const fs::path& folder) {
  std::error_code error;
  fs::path path = fs::canonical(folder, error);
  if (error) return false;
  const uid_t self = geteuid();
  for (;;) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (info.st_uid != self && info.st_uid != 0) return false;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) return false;
    if (path == path.root_path()) return true;
    path = path.parent_path();
  }
}

ArchiverOutput::ArchiverOutput(const WorkFolder& work) {
  if (isPrivateFolder(work.parent())) {
    mPath = work.path() / "archiver";
    if (mkdir(mPath.c_str(), 0700) != 0) throw ArchiveError::cannotWrite(mPath.string(), errno);
    return;
  }
  for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = getenv(variable);
    if (value != nullptr && *value == '/' && use(value)) return;
  }
  if (use("/tmp")) return;
  throw ArchiveError::failed(texts::noPrivateFolder(work.parent()));
}

bool ArchiverOutput::use(const fs::path& base) {
  if (!isPrivateFolder(base)) return false;
  WorkFolder::clearStale(base);
  mOwn.emplace(base);
  mPath = mOwn->resultPath();
  return true;
}

}  // namespace vexel
