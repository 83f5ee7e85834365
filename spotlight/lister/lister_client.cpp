#include "lister_client.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "process/child_process.h"
#include "process/unique_fd.h"

namespace vexel {

namespace {

using Clock = std::chrono::steady_clock;

// sendRequest: the request with `archive` attached to its first byte.
bool sendRequest(int socket, const std::string& bytes, int archive) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec part{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  cmsghdr* item = CMSG_FIRSTHDR(&message);
  item->cmsg_level = SOL_SOCKET;
  item->cmsg_type = SCM_RIGHTS;
  item->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(item), &archive, sizeof(archive));
  ssize_t sent = 0;
  do {
    sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent <= 0) return false;
  return writeAll(socket, std::string_view(bytes).substr(static_cast<std::size_t>(sent)));
}

// readBefore: `size` bytes into `out` before `deadline`; false at
// end-of-file, on failure or when the deadline passes.
bool readBefore(int socket, char* out, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watched{socket, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, 60'000)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t got = ::recv(socket, out, size, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

ListerReply failure() { return ListerReply{.status = ListerReply::Status::failed}; }

}  // namespace

struct ListerClient::Lister {
  ChildProcess child;
  UniqueFd socket;
};

ListerClient::ListerClient(std::filesystem::path program, std::chrono::milliseconds replyMargin)
    : mProgram(std::move(program)), mReplyMargin(replyMargin) {}

ListerClient::~ListerClient() {
  const std::lock_guard lock(mLock);
  (void)stop();
}

bool ListerClient::start() {
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  if (!liftAboveStandard(ours) || !liftAboveStandard(theirs)) return false;
  auto lister = std::make_unique<Lister>();
  ProcessOptions options{.program = mProgram};
  options.input = StreamSetup::descriptor(theirs.get());
  options.output = StreamSetup::descriptor(theirs.get());
  options.error = StreamSetup::inherited();
  if (lister->child.start(options)) return false;
  lister->socket = std::move(ours);
  mLister = std::move(lister);
  return true;
}

int ListerClient::stop() {
  if (!mLister) return -1;
  // Closing the socket ends a waiting lister; one at work is killed.
  mLister->socket.reset();
  mLister->child.kill();
  const int status = mLister->child.wait();
  mLister.reset();
  return status;
}

int ListerClient::listerPid() {
  const std::lock_guard lock(mLock);
  return mLister ? static_cast<int>(mLister->child.pid()) : 0;
}

std::optional<ListerReply> ListerClient::list(const std::filesystem::path& path, double timeLimit,
                                              std::uint64_t maxTextBytes) {
  const std::lock_guard lock(mLock);
  const UniqueFd archive = ExtensionArchive::openFile(path);
  if (!archive) return failure();
  const std::string request = encodeListerRequest(
      ListerRequest{.path = path.native(), .timeLimit = timeLimit, .maxTextBytes = maxTextBytes});
  // A lister that ended since its last reply (killed from outside) takes
  // the request no more: a fresh one gets it.
  bool isSent = false;
  for (int attempt = 0; attempt < 2 && !isSent; ++attempt) {
    if (!mLister && !start()) return std::nullopt;
    isSent = sendRequest(mLister->socket.get(), request, archive.get());
    if (!isSent && stop() == kListerExitNoSandbox) return std::nullopt;
  }
  if (!isSent) return failure();
  const auto limit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(timeLimit > 0 ? timeLimit : 0));
  const Clock::time_point deadline = Clock::now() + limit + mReplyMargin;
  std::uint64_t size = 0;
  std::optional<ListerReply> reply;
  if (readBefore(mLister->socket.get(), reinterpret_cast<char*>(&size), sizeof(size), deadline) &&
      size <= maxReplyBytes(maxTextBytes)) {
    std::string body(static_cast<std::size_t>(size), '\0');
    if (readBefore(mLister->socket.get(), body.data(), body.size(), deadline)) {
      reply = decodeListerReply(std::move(body));
    }
  }
  if (!reply) {
    // Dead (its filter, a fault), overdue or garbled: this file failed; the
    // next one gets a fresh lister.
    if (stop() == kListerExitNoSandbox) return std::nullopt;
    return failure();
  }
  if (reply->isEnding) (void)stop();
  return reply;
}

std::optional<std::filesystem::path> ListerClient::besideModule(
    const void* address, const std::filesystem::path& relative) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::nullopt;
  std::filesystem::path module(info.dli_fname);
  return (module.parent_path() / relative).lexically_normal();
}

}  // namespace vexel
