// Handing over a URL that is too long for one program argument, on Linux.
//
// xdg-open, and the handler it starts, get the URL as one argument, and
// Linux refuses to start a program with an argument of 128 KiB or more: a
// selection of some thousands of files would never arrive. Such a URL is
// kept in a file of its own in a folder only this user can enter, named by
// 128 random bits, and the handler is handed "scheme://host?handover=TOKEN"
// instead. A web page can make a handler open any URL, but it cannot know a
// token, and a token can only ever name a file in that folder: it cannot
// point the handler at a file of its choosing. The receiver takes the file
// back once (it is removed) and only while it is fresh.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "internal/platform_workspace.h"
#include "process/unique_fd.h"

namespace vexel::platform::workspace_internal {
namespace {

constexpr size_t kTokenBytes = 16;
constexpr off_t kLargestHandover = 64 * 1024 * 1024;
constexpr auto kHandoverLifetime = std::chrono::hours(1);

// The folder, opened without following links; made (0700) when asked and
// missing. Nothing when it is not a real folder of this user's that nobody
// else can enter (another user may have made /tmp/vexel-handover-UID first).
UniqueFd openFolder(bool create) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime != nullptr && *runtime == '/'
                                 ? std::string(runtime) + "/vexel-handover"
                                 : "/tmp/vexel-handover-" + std::to_string(geteuid());
  if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 077) != 0) {
    return {};
  }
  return fd;
}

bool isToken(std::string_view token) {
  if (token.size() != 2 * kTokenBytes) return false;
  for (const char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<std::string> newToken() {
  unsigned char bytes[kTokenBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 0xF];
  }
  return token;
}

bool isStale(const struct stat& info) {
  const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
  const auto age = std::chrono::system_clock::now() - modified;
  return age > kHandoverLifetime || age < -kHandoverLifetime;
}

// Removes hand-overs nobody took (a handler that never ran).
void removeStale(int folder) {
  const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return;
  DIR* dir = fdopendir(listed);
  if (dir == nullptr) {
    ::close(listed);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    struct stat info {};
    if (!isToken(entry->d_name) ||
        fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (isStale(info)) unlinkat(folder, entry->d_name, 0);
  }
  closedir(dir);
}

}  // namespace

std::optional<std::string> platformStoreHandover(const std::string& url) {
  const UniqueFd folder = openFolder(true);
  if (!folder) return std::nullopt;
  removeStale(folder.get());
  const std::optional<std::string> token = newToken();
  if (!token) return std::nullopt;
  const UniqueFd file(::openat(folder.get(), token->c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) return std::nullopt;
  if (!writeAll(file.get(), url)) {
    unlinkat(folder.get(), token->c_str(), 0);
    return std::nullopt;
  }
  return token;
}

std::optional<std::string> platformTakeHandover(std::string_view token) {
  if (!isToken(token)) return std::nullopt;
  const UniqueFd folder = openFolder(false);
  if (!folder) return std::nullopt;
  const std::string name(token);
  // O_NONBLOCK: a named pipe in a token's place would block open() until
  // some writer came; reads of a regular file ignore it.
  const UniqueFd file(
      ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return std::nullopt;
  struct stat info {};
  const bool examined = fstat(file.get(), &info) == 0;
  // Taken once, whatever it holds.
  unlinkat(folder.get(), name.c_str(), 0);
  if (!examined || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & 077) != 0 || info.st_nlink != 1 || info.st_size > kLargestHandover ||
      isStale(info)) {
    return std::nullopt;
  }
  std::string text;
  text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kLargestHandover)) return std::nullopt;
  }
  return text;
}

}  // namespace vexel::platform::workspace_internal
