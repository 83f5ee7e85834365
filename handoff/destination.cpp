#include "handoff/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>

#include "readers/archive_error.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;

// The system's own description of `code`, in the user's language.
ArchiveError systemFailure(const std::string& what, int code) {
  return ArchiveError::failed(what + "：" + std::strerror(code));
}

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

std::string numberedName(std::string_view name, int number, std::string_view extension) {
  std::string out(name);
  if (number > 1) out += " (" + std::to_string(number) + ")";
  out += extension;
  return out;
}

std::optional<fs::path> placeFolder(const fs::path& source, const fs::path& parent,
                                    std::string_view name, bool numbered) {
  for (int number = 1;; ++number) {
    const fs::path candidate = parent / numberedName(name, number);
    // Taken by creating it: a rename onto an empty folder replaces it, and
    // this one is ours.
    if (mkdir(candidate.c_str(), 0700) == 0) {
      if (rename(source.c_str(), candidate.c_str()) == 0) return candidate;
      const int code = errno;
      rmdir(candidate.c_str());
      throw systemFailure("无法把文件夹移到“" + candidate.string() + "”", code);
    }
    if (errno != EEXIST) throw systemFailure("无法创建文件夹“" + candidate.string() + "”", errno);
    if (!numbered) return std::nullopt;
  }
}

fs::path placeFile(const fs::path& source, const fs::path& parent, std::string_view stem,
                   std::string_view extension) {
  for (int number = 1;; ++number) {
    const fs::path candidate = parent / numberedName(stem, number, extension);
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      if (rename(source.c_str(), candidate.c_str()) == 0) return candidate;
      const int code = errno;
      unlink(candidate.c_str());
      throw systemFailure("无法把文件移到“" + candidate.string() + "”", code);
    }
    if (errno != EEXIST) throw systemFailure("无法创建文件“" + candidate.string() + "”", errno);
  }
}

void removeTree(const fs::path& path) noexcept {
  std::error_code error;
  // Folders without write or search permission cannot be emptied; each is
  // opened to the owner before the walk enters it.
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                  error);
  for (fs::recursive_directory_iterator
           it(path, fs::directory_options::skip_permission_denied, error),
       end;
       !error && it != end; it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  error.clear();
  fs::remove_all(path, error);
}

TemporaryFolder::TemporaryFolder(const fs::path& parent) {
  std::random_device random;
  constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".vexel-";
    for (int k = 0; k < 8; ++k) name += kLetters[random() % kLetters.size()];
    const fs::path candidate = parent / name;
    // 0777 less the umask: the mode any new folder here gets, which the
    // extracted folder keeps when this one is moved into place.
    if (mkdir(candidate.c_str(), 0777) == 0) {
      mPath = candidate;
      return;
    }
    if (errno != EEXIST) throw systemFailure("无法在“" + parent.string() + "”里创建文件夹", errno);
  }
  throw systemFailure("无法在“" + parent.string() + "”里创建文件夹", EEXIST);
}

TemporaryFolder::~TemporaryFolder() {
  if (!mMoved) removeTree(mPath);
}

void TemporaryFolder::clear() noexcept {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(mPath, error)) removeTree(entry.path());
}

fs::path TemporaryFolder::moveTo(const fs::path& parent, std::string_view name) {
  fs::path placed = *placeFolder(mPath, parent, name);
  mMoved = true;
  return placed;
}

}  // namespace vexel
