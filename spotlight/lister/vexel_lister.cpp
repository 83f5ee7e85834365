// vexel-lister: lists archives for a desktop indexer's plug-in, in a process
// of its own under a seccomp filter, so that a fault libarchive meets in a
// hostile archive reaches nothing but this process.
//
//   vexel-lister      (standard input and output: one end of a socket pair)
//
// Started by the plug-in's client (lister_client.h) and kept for the next
// archive: it loads what it needs, bounds itself, enters its sandbox, then
// answers requests (lister_protocol.h) one at a time until the socket
// closes. After a listing that its bounds ended it ends too: a reader caught
// in work that reads nothing may still be running in it.
#include <errno.h>
#include <malloc.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <locale.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive_description.h"
#include "host/host_usage.h"
#include "lister_client.h"
#include "lister_protocol.h"
#include "lister_sandbox.h"
#include "process/unique_fd.h"
#include "spotlight/archive_text.h"
#include "text/code_page.h"

namespace {

using vexel::ListerReply;
using vexel::ListerRequest;
using vexel::UniqueFd;

constexpr int kSocket = STDIN_FILENO;

// warmUp: what listing would otherwise load on first use, loaded before the
// filter: the time zone (libarchive converts ZIP times to local time), the
// UTF-8 locale the readers name entries under, and the code pages the names
// are decided with. Kept for the process's life.
void warmUp() {
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm local{};
  (void)localtime_r(&now, &local);
  (void)std::mktime(&local);
  // Kept, never freed: freeing would let the C library drop its data.
  static const locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  (void)utf8;
  using vexel::text::CodePage;
  static std::vector<std::unique_ptr<vexel::text::CodePageConverter>> converters;
  for (const CodePage page :
       {CodePage::cp437, CodePage::gb18030, CodePage::cp932, CodePage::eucjp, CodePage::big5,
        CodePage::cp949, CodePage::cp866, CodePage::koi8r, CodePage::cp1251, CodePage::cp1252}) {
    converters.push_back(std::make_unique<vexel::text::CodePageConverter>(page));
  }
}

// readFully: `size` bytes into `out`; false at end-of-file or on failure.
bool readFully(char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::recv(kSocket, out, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Received: one request with the descriptor that came with it.
struct Received {
  ListerRequest request;
  UniqueFd archive;
};

// receive: the next request; nothing when the client has gone or broke the
// protocol, which ends the lister.
std::optional<Received> receive() {
  char header[vexel::kRequestHeaderBytes];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  iovec part{header, sizeof(header)};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t got = 0;
  do {
    got = ::recvmsg(kSocket, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return std::nullopt;
  Received received;
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_RIGHTS &&
        item->cmsg_len == CMSG_LEN(sizeof(int))) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(item), sizeof(fd));
      received.archive = UniqueFd(fd);
    }
  }
  if (!received.archive || (message.msg_flags & MSG_CTRUNC) != 0) return std::nullopt;
  const auto have = static_cast<std::size_t>(got);
  if (!readFully(header + have, sizeof(header) - have)) return std::nullopt;
  std::size_t pathBytes = 0;
  auto request = vexel::decodeListerRequestHeader({header, sizeof(header)}, pathBytes);
  if (!request) return std::nullopt;
  request->path.resize(pathBytes);
  if (!readFully(request->path.data(), pathBytes)) return std::nullopt;
  received.request = std::move(*request);
  return received;
}

// serve: the reply for one archive.
ListerReply serve(const Received& received) {
  const ListerRequest& request = received.request;
  ListerReply reply;
  try {
    const vexel::ExtensionArchive::Listing listing =
        vexel::listForIndexing(request.path, received.archive.get(), request.timeLimit);
    reply.status = listing.complete ? ListerReply::Status::listed : ListerReply::Status::cutShort;
    reply.isEnding = listing.cutoff == vexel::ExtensionArchive::Cutoff::limits;
    reply.description = vexel::archiveDescription(listing);
    const std::size_t cap = static_cast<std::size_t>(
        std::min<std::uint64_t>(request.maxTextBytes, vexel::kMaxTextContentBytes));
    // Counted first, so the lines' buffer is made once at its size.
    std::size_t count = 0;
    const std::size_t textBytes =
        vexel::forEachTextLine(listing.tree->root(), cap, [&](std::string_view) { ++count; });
    reply.lines.reserve(count, textBytes);
    vexel::forEachTextLine(listing.tree->root(), cap,
                           [&](std::string_view line) { reply.lines.append(line); });
  } catch (const vexel::ArchiveError& error) {
    reply = ListerReply{.status = ListerReply::Status::failed, .error = error};
    // Ended by its bounds before its first entry: a reader may still run.
    reply.isEnding = error.payload() == vexel::kNothingListedInTime;
  } catch (const std::bad_alloc&) {
    reply = ListerReply{.status = ListerReply::Status::failed,
                        .error = vexel::ArchiveError::outOfMemory(),
                        .isEnding = true};
  }
  return reply;
}

// sendAll: the whole frame to the client; false once it has gone. Not
// vexel::writeAll: its guard against SIGPIPE asks for signal calls the
// filter refuses; MSG_NOSIGNAL does the same here.
bool sendAll(std::string_view frame) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t wrote = ::send(kSocket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    sent += static_cast<std::size_t>(wrote);
  }
  return true;
}

// giveBackLargeFreeMemory: hands the heap's free memory back to the system
// once there is much of it. Not after every archive: a small listing's few
// pages would only be faulted in again by the next (a 40-entry ZIP took
// 1.6 ms instead of 0.9 with a trim after each).
void giveBackLargeFreeMemory() {
  constexpr std::size_t kKeptFreeBytes = 32 << 20;
  if (mallinfo2().fordblks > kKeptFreeBytes) malloc_trim(0);
}

}  // namespace

int main(int argc, char** /*argv*/) {
  if (argc != 1) {
    std::fputs("用法：vexel-lister（由索引插件启动，标准输入为套接字）\n", stderr);
    return 2;
  }
  vexel::platform::prepareHostProcess();
  warmUp();
  vexel::boundLister();
  // Never list outside the sandbox: the client lists in its stead.
  if (!vexel::enterListerSandbox()) return vexel::kListerExitNoSandbox;
  while (const std::optional<Received> received = receive()) {
    bool isDone = false;
    {
      const ListerReply reply = serve(*received);
      // What the reader and the tree took goes back to the system before
      // the client takes the reply in, and again once it is sent, so the
      // two processes never hold a large listing's memory at once.
      giveBackLargeFreeMemory();
      isDone = !sendAll(vexel::encodeListerReplyHead(reply)) || !sendAll(reply.lines.bytes()) ||
               reply.isEnding;
    }
    if (isDone) break;
    giveBackLargeFreeMemory();
  }
  return 0;
}
