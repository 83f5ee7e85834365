// lister_client.h: the indexer plug-in's side of vexel-lister: one lister
// kept warm across files, handed each archive as an open descriptor.
//
// The lister runs in a process of its own under a seccomp filter
// (vexel_lister.cpp), so a fault in a hostile archive ends the lister, not
// the indexer. The client starts it on first use (through vexel_process),
// waits for each reply at most the time limit plus kReplyMargin, kills and
// reaps a lister that overstays or dies, and starts a fresh one for the
// next file. The protocol is lister_protocol.h.
//
//   vexel::ListerClient client(vexel::ListerClient::besideModule(...));
//   if (const auto reply = client.list(path, vexel::kIndexTimeLimit)) { ... }
//   else { /* no lister at all: list in process */ }
//
// Host-agnostic C++; any thread, one request at a time (a mutex).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lister_protocol.h"

namespace vexel {

class ChildProcess;

// kListerExitNoSandbox: the lister's exit status when the kernel refused its
// filter (above every signal number, so a status says which it is); it then
// lists nothing, and the client counts it as no lister.
inline constexpr int kListerExitNoSandbox = 100;

// ListerClient: one warm lister and the socket to it. Neither copyable nor
// movable; the destructor ends and reaps the lister.
class ListerClient {
 public:
  // kReplyMargin: how much longer than the time limit a reply may take:
  // a fresh lister's start, the tree's text, the frame's transfer.
  static constexpr std::chrono::milliseconds kReplyMargin{3000};

  // ListerClient: a client of the lister program at `program`, started on
  // the first request; `replyMargin` other than kReplyMargin for tests.
  explicit ListerClient(std::filesystem::path program,
                        std::chrono::milliseconds replyMargin = kReplyMargin);
  ~ListerClient();
  ListerClient(const ListerClient&) = delete;
  ListerClient& operator=(const ListerClient&) = delete;

  // list: the lister's reply for the archive at `path` (opened here, read-only,
  // and handed over open), listed within `timeLimit` seconds and with at most
  // `maxTextBytes` of lines. A lister that dies, overstays the limit plus the
  // margin or breaks the protocol is killed and reaped, and the reply is
  // `failed` without an error; an archive that cannot be opened here is
  // `failed` with the reader's error. Nothing when the program cannot be
  // started at all (missing, or no sandbox on this kernel): the caller lists
  // in process instead. Any thread; calls are served one at a time.
  [[nodiscard]] std::optional<ListerReply> list(const std::filesystem::path& path, double timeLimit,
                                                std::uint64_t maxTextBytes);

  // listerPid: the running lister's process id, 0 when none runs. For tests.
  [[nodiscard]] int listerPid();

  // besideModule: the lister's path from the file of the module (shared
  // object) holding `address`, `relative` to its folder; nothing when dladdr
  // cannot say.
  [[nodiscard]] static std::optional<std::filesystem::path> besideModule(
      const void* address, const std::filesystem::path& relative);

 private:
  struct Lister;
  // start: a fresh lister; false when it cannot be started.
  bool start();
  // stop: kills and reaps the lister, if one runs; its exit status or signal.
  int stop();

  std::mutex mLock;
  std::filesystem::path mProgram;
  std::chrono::milliseconds mReplyMargin;
  std::unique_ptr<Lister> mLister;  ///< guarded by mLock; null while none runs
};

}  // namespace vexel
