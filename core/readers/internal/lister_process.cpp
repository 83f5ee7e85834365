#include "lister_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "input_file.h"
#include "process/unique_fd.h"
#include "record_stream.h"
#include "volume_set.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEXEL_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXEL_ADDRESS_SANITIZER 1
#endif
#endif
#if !defined(VEXEL_ADDRESS_SANITIZER)
#define VEXEL_ADDRESS_SANITIZER 0
#endif

namespace vexel::readers_internal {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A lister sends entries once this many bytes of them wait: the host builds
// its tree while the lister reads on.
constexpr std::size_t kFlushBytes = std::size_t{128} << 10;
// The most a host takes from the socket at once.
constexpr std::size_t kReceiveBytes = std::size_t{256} << 10;
// How often the watchdog looks at the clock and the memory while a listing runs.
constexpr auto kWatchTick = std::chrono::milliseconds(10);
// How long the renames of held entries may take once the reader has returned.
constexpr auto kFinishGrace = std::chrono::milliseconds(150);
// Beyond its graces, how late a lister's end may be before the host leaves
// it to end itself (a lister that gets no CPU, or is stopped).
constexpr auto kAnswerMargin = std::chrono::milliseconds(150);
// Growth beyond the budget at which the watchdog ends the lister at once
// instead of waiting for the reader to return.
constexpr std::size_t kHardMargin = std::size_t{64} << 20;
// Address space a lister may map beyond what it had when it started, where
// it may be limited: the memory budget and room for reservations that are
// never touched (thread stacks, malloc arenas).
constexpr std::size_t kAddressSlack = std::size_t{1536} << 20;
// A lister left this much above its size at start by a listing retires
// after it. What a listing frees stays with the lister for the next one,
// which then reads faster (its memory is mapped already); growth is always
// counted from the start, so that reused memory does not count twice.
constexpr std::size_t kRetireGrowth = std::size_t{256} << 20;
// How many idle listers a host keeps.
constexpr std::size_t kMaxIdle = 2;

// SharedFlags: one page shared by a host and its lister (mapped before the
// fork). The host resets it before each request, when the lister is idle.
struct SharedFlags {
  enum EndedBy : int { notEnded = 0, deadline, memory, host };
  std::atomic<bool> stop{false};         ///< host or watchdog: the reads stop
  std::atomic<bool> isAbandoned{false};  ///< the host no longer waits: end at once
  std::atomic<int> endedBy{notEnded};    ///< why the lister ended itself mid-listing
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the flags are shared between processes");

constexpr std::size_t kPageSize = 4096;
static_assert(sizeof(SharedFlags) <= kPageSize);

std::chrono::steady_clock::time_point saturatingAdd(SteadyClock::time_point time,
                                                    SteadyClock::duration extra) {
  if (time > SteadyClock::time_point::max() - extra) return SteadyClock::time_point::max();
  return time + extra;
}

// residentBytes / mappedBytes: the process's resident and mapped memory, from
// /proc/self/statm opened as `statm`; 0 when it cannot be read.
std::size_t statmField(int statm, int field) {
  char text[128];
  const ssize_t got = ::pread(statm, text, sizeof text - 1, 0);
  if (got <= 0) return 0;
  text[got] = '\0';
  const char* at = text;
  for (int i = 0; i < field; ++i) {
    at = std::strchr(at, ' ');
    if (at == nullptr) return 0;
    ++at;
  }
  return static_cast<std::size_t>(std::strtoull(at, nullptr, 10)) *
         static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}
std::size_t residentBytes(int statm) { return statmField(statm, 1); }
std::size_t mappedBytes(int statm) { return statmField(statm, 0); }

std::uint64_t hashOf(std::string_view path) { return std::hash<std::string_view>{}(path); }

bool sendAll(int socket, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// ===========================================================================
// The lister's side. Everything here runs in the forked lister, and every
// path out of it ends in _exit: it is a copy of the host, deep inside the
// host's call that forked it, and must never return or unwind into it, nor
// run the host's exit handlers or flush its buffers.

// ListerOutput: the records on their way to the host, written by the main
// thread and, when it ends the lister, by the watchdog.
class ListerOutput {
 public:
  explicit ListerOutput(int socket) : mSocket(socket) {}

  // entry: false once the host is gone.
  bool entry(const RawEntry& entry) {
    const std::lock_guard lock(mMutex);
    mWriter.entry(entry);
    return mWriter.size() < kFlushBytes || sendLocked();
  }
  // facts: sent with what follows (the watchdog sends what waits at every
  // tick, so a reader stuck next has still named the archive): one message
  // for a small archive, one wake-up of the host.
  void facts(const ReaderFacts& facts) {
    const std::lock_guard lock(mMutex);
    mWriter.facts(facts.formatCode, facts.filterCode, facts.isDebianPackage);
  }
  void mark(RecordKind kind) {
    const std::lock_guard lock(mMutex);
    mWriter.mark(kind);
  }
  void rename(const HeldRename& rename) {
    const std::lock_guard lock(mMutex);
    mWriter.rename(rename);
    if (mWriter.size() >= kFlushBytes) (void)sendLocked();
  }
  void end(const ListEnd& end) {
    const std::lock_guard lock(mMutex);
    mWriter.end(end);
    (void)sendLocked();
  }
  void ready() {
    const std::lock_guard lock(mMutex);
    mWriter.mark(RecordKind::ready);
    (void)sendLocked();
  }
  // tryFlush: sends what waits, unless the main thread holds the output
  // for long (then it is in the middle of sending to a host that does not
  // read).
  void tryFlush() {
    std::unique_lock lock(mMutex, std::try_to_lock);
    for (int i = 0; i < 10 && !lock.owns_lock(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      (void)lock.try_lock();
    }
    if (lock.owns_lock() && mWriter.size() > 0) (void)sendLocked();
  }

 private:
  bool sendLocked() {
    if (mIsBroken) return false;
    mIsBroken = !sendAll(mSocket, mWriter.bytes().data(), mWriter.size());
    mWriter.clear();
    return !mIsBroken;
  }

  std::mutex mMutex;
  RecordWriter mWriter;
  int mSocket;
  bool mIsBroken = false;
};

// ListerWatch: the watchdog. The main thread tells it when a listing
// begins, when its reader has returned and when it has ended; the watchdog
// thread ends it at the deadline or the memory budget, and ends the lister
// when the reader does not return soon after.
class ListerWatch {
 public:
  // The lister's own size when it starts is the baseline of every
  // listing's growth (it retires when it has grown for good).
  ListerWatch(SharedFlags& flags, int statm, ListerOutput& output)
      : mFlags(flags), mStatm(statm), mOutput(output), mBaseline(residentBytes(statm)) {}

  // begin: a listing starts (main thread). A deadline that has passed
  // already takes no entry, but the reader may still name the archive.
  void begin(const ListRequest& request) {
    const std::lock_guard lock(mMutex);
    mRequest = request;
    mIsActive = true;
    mIsReading = true;
    mStoppedAt.reset();
    mIdentifyUntil.reset();
    mFinishingSince = {};
    mFactsKnown.store(false, std::memory_order_relaxed);
    mIsClosed.store(false, std::memory_order_relaxed);
    mIsOverBudget.store(false, std::memory_order_relaxed);
    mIsPastDeadline.store(false, std::memory_order_relaxed);
    const auto now = SteadyClock::now();
    if (now > mRequest.deadline) closeLocked(now);
  }
  // finishing: the reader has returned; held names are decided next.
  void finishing() {
    const std::lock_guard lock(mMutex);
    mIsReading = false;
    mFinishingSince = SteadyClock::now();
  }
  // end: the listing's end is out; nothing to watch until the next.
  void end() {
    const std::lock_guard lock(mMutex);
    mIsActive = false;
  }

  void setFactsKnown() noexcept { mFactsKnown.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool isClosed() const noexcept { return mIsClosed.load(std::memory_order_relaxed); }
  [[nodiscard]] bool isOverBudget() const noexcept {
    return mIsOverBudget.load(std::memory_order_relaxed);
  }
  [[nodiscard]] bool isPastDeadline() const noexcept {
    return mIsPastDeadline.load(std::memory_order_relaxed);
  }
  // hasGrown: the lister is more than `kRetireGrowth` above its baseline.
  [[nodiscard]] bool hasGrown() const { return residentBytes(mStatm) > mBaseline + kRetireGrowth; }

  // run: the watchdog thread, for the lister's life.
  [[noreturn]] void run() {
    for (;;) {
      std::this_thread::sleep_for(kWatchTick);
      const std::lock_guard lock(mMutex);
      if (!mIsActive) continue;
      if (mFlags.isAbandoned.load()) endLister(SharedFlags::host);
      watchLocked(SteadyClock::now());
      // What the reader listed reaches the host within a tick, whatever
      // becomes of the reader next.
      mOutput.tryFlush();
    }
  }

 private:
  void closeLocked(SteadyClock::time_point now) {
    mIsClosed.store(true, std::memory_order_relaxed);
    mIsPastDeadline.store(true, std::memory_order_relaxed);
    mIdentifyUntil = now + mRequest.identifyGrace;
  }

  void stopLocked(SteadyClock::time_point now) {
    mFlags.stop.store(true);
    if (!mStoppedAt) mStoppedAt = now;
  }

  void watchLocked(SteadyClock::time_point now) {
    if (mRequest.memoryBudget > 0) {
      const std::size_t resident = residentBytes(mStatm);
      const std::size_t growth = resident > mBaseline ? resident - mBaseline : 0;
      if (growth > mRequest.memoryBudget) {
        mIsOverBudget.store(true, std::memory_order_relaxed);
        stopLocked(now);
        if (growth > mRequest.memoryBudget + kHardMargin) endLister(SharedFlags::memory);
      }
    }
    if (!mIsReading) {
      const auto from = std::max(mRequest.deadline, mFinishingSince);
      if (now > saturatingAdd(from, kFinishGrace)) endLister(SharedFlags::deadline);
      return;
    }
    if (now > mRequest.deadline) {
      const bool factsKnown = mFactsKnown.load(std::memory_order_relaxed);
      if (!factsKnown && !mIdentifyUntil) closeLocked(now);
      if (factsKnown || now >= *mIdentifyUntil) {
        mIsPastDeadline.store(true, std::memory_order_relaxed);
        stopLocked(now);
      }
    }
    if (mFlags.stop.load() && !mStoppedAt) mStoppedAt = now;  // the host's stop
    if (mStoppedAt && now > *mStoppedAt + mRequest.stopGrace) {
      endLister(isOverBudget() ? SharedFlags::memory : SharedFlags::deadline);
    }
  }

  // endLister: the reader did not return in time (or the host gave up):
  // what waits is sent, the host is told why, and the lister ends.
  [[noreturn]] void endLister(SharedFlags::EndedBy why) {
    mFlags.endedBy.store(why);
    mOutput.tryFlush();
    ::_exit(0);
  }

  SharedFlags& mFlags;
  const int mStatm;
  ListerOutput& mOutput;
  mutable std::mutex mMutex;
  const std::size_t mBaseline;
  ListRequest mRequest;
  bool mIsActive = false;
  bool mIsReading = false;
  std::optional<SteadyClock::time_point> mStoppedAt;
  std::optional<SteadyClock::time_point> mIdentifyUntil;
  SteadyClock::time_point mFinishingSince{};
  std::atomic<bool> mFactsKnown{false};
  std::atomic<bool> mIsClosed{false};
  std::atomic<bool> mIsOverBudget{false};
  std::atomic<bool> mIsPastDeadline{false};
};

// ListerSink: the entries of one listing, counted against the entry budget
// and sent as they come. It keeps what the end's renames need: the held
// entries, and a hash of every other path listed (enough to answer "does
// another entry read this?" for the names decided at the end; 64 bits, so
// two paths that share one are too rare to matter).
class ListerSink final : public HeaderSink {
 public:
  ListerSink(ListerOutput& output, ListerWatch& watch, const ListRequest& request,
             const std::atomic<bool>& stop)
      : mOutput(output), mWatch(watch), mRequest(request), mStop(stop) {}

  bool add(const RawEntry& entry) override {
    if (shouldStop() || mWatch.isClosed()) return false;
    const std::size_t bytes = entry.path.size();
    if (mEntries >= mRequest.maxEntries || bytes > mRequest.maxNameBytes - mNameBytes) {
      return false;  // the budget is spent: stop reading, like the time limit
    }
    ++mEntries;
    mNameBytes += bytes;
    if (!mOutput.entry(entry)) return false;  // the host is gone
    if (mIsHolding) {
      mHeld.push_back(entry);
    } else {
      mListed.push_back(hashOf(entry.path));
    }
    return true;
  }
  const std::atomic<bool>& stopFlag() const noexcept override { return mStop; }
  void setFacts(const ReaderFacts& facts) override {
    mOutput.facts(facts);
    if (facts.isKnown) mWatch.setFactsKnown();
  }
  void holdFromHere() override {
    if (mIsHolding) return;
    mOutput.mark(RecordKind::hold);
    mIsHolding = true;
  }
  // releaseHeld: the held entries keep their paths; they count as listed
  // for names decided later.
  void releaseHeld() override {
    if (!mIsHolding) return;
    mOutput.mark(RecordKind::release);
    mIsHolding = false;
    for (const RawEntry& entry : mHeld) mListed.push_back(hashOf(entry.path));
    mHeld.clear();
  }
  // finish: runs the source's `finish` on the held entries and sends the
  // names it changed.
  void finish(const FinishEntries& finish) {
    if (!finish || mHeld.empty()) return;
    std::sort(mListed.begin(), mListed.end());
    std::vector<std::uint64_t> before;
    before.reserve(mHeld.size());
    for (const RawEntry& entry : mHeld) before.push_back(hashOf(entry.path));
    finish(mHeld, [this](std::string_view path) {
      return std::binary_search(mListed.begin(), mListed.end(), hashOf(path));
    });
    for (std::size_t i = 0; i < mHeld.size(); ++i) {
      if (hashOf(mHeld[i].path) != before[i]) {
        mOutput.rename(HeldRename{.index = i, .path = std::move(mHeld[i].path)});
      }
    }
  }

 private:
  ListerOutput& mOutput;
  ListerWatch& mWatch;
  const ListRequest& mRequest;
  const std::atomic<bool>& mStop;
  std::size_t mEntries = 0;
  std::size_t mNameBytes = 0;
  bool mIsHolding = false;
  std::vector<RawEntry> mHeld;
  std::vector<std::uint64_t> mListed;
};

// closeInheritedDescriptors: closes all the host's descriptors but `keep`
// (the host's pipes and sockets must see their ends as before), and points
// the standard ones at /dev/null (a host whose output is a pipe read to its
// end, as by `$(...)`, must not wait for the lister).
void closeInheritedDescriptors(std::initializer_list<int> keep) {
  std::vector<int> open;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(folder);
    while (const dirent* item = ::readdir(folder)) {
      char* end = nullptr;
      const long fd = std::strtol(item->d_name, &end, 10);
      if (end != item->d_name && *end == '\0' && fd != own) open.push_back(static_cast<int>(fd));
    }
    ::closedir(folder);
  } else {
    rlimit limit{};
    const rlim_t most = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (rlim_t fd = 0; fd < std::min<rlim_t>(most, 65536); ++fd)
      open.push_back(static_cast<int>(fd));
  }
  for (const int fd : open) {
    if (fd > STDERR_FILENO && std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
  }
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (null >= 0) {
      ::dup2(null, fd);
    } else {
      ::close(fd);
    }
  }
  if (null > STDERR_FILENO) ::close(null);
}

// isUnderSeccomp: the process runs under a seccomp filter (as sandboxed
// indexers do), or that cannot be told: then only the system calls such a
// sandbox allows are made (no setrlimit).
bool isUnderSeccomp() {
  const int status = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (status < 0) return true;
  std::string text(8192, '\0');
  const ssize_t got = ::read(status, text.data(), text.size());
  ::close(status);
  if (got <= 0) return true;
  text.resize(static_cast<std::size_t>(got));
  const auto at = text.find("\nSeccomp:");
  if (at == std::string::npos) return true;
  const auto value = text.find_first_not_of(" \t", at + 9);
  return value == std::string::npos || text[value] != '0';
}

// limitAddressSpace: a single allocation of gigabytes then fails at once
// instead of being watched growing. Not under AddressSanitizer, whose
// shadow memory is a reservation of terabytes, nor under seccomp.
void limitAddressSpace(int statm) {
  if (VEXEL_ADDRESS_SANITIZER || isUnderSeccomp()) return;
  const std::size_t mapped = mappedBytes(statm);
  rlimit limit{};
  if (mapped == 0 || ::getrlimit(RLIMIT_AS, &limit) != 0) return;
  const rlim_t wanted = mapped + kAddressSlack;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= wanted) return;  // lower already
  limit.rlim_cur = wanted;
  (void)::setrlimit(RLIMIT_AS, &limit);
}

// serveOne: one listing, from the request to its end record.
void serveOne(const ListRequest& request, ListerOutput& output, ListerWatch& watch,
              SharedFlags& flags) {
  watch.begin(request);
  ListerSink sink(output, watch, request, flags.stop);
  // The reader is freed and the file closed before the end goes out.
  SourceResult result = readGuarded([&] {
    const VolumeSet volumes = VolumeSet::find(request.path);
    std::unique_ptr<InputFile> input = InputFile::open(volumes);
    const auto makeSource = reinterpret_cast<SourceMaker>(request.sourceMaker);
    std::unique_ptr<HeaderSource> source = makeSource(volumes.namePath(), std::move(input));
    return source->read(sink);
  });
  watch.finishing();
  try {
    sink.finish(result.finish);
  } catch (...) {
    // Names that could not be decided keep the texts they were sent with.
  }
  // A read that failed because the listing was stopped is a stop.
  if (result.end == SourceEnd::failure && flags.stop.load()) {
    result = SourceResult{.end = SourceEnd::stopped};
  }
  const ListEnd end{.end = static_cast<std::uint8_t>(result.end),
                    .error = std::move(result.error),
                    .hasSkipped = result.hasSkipped,
                    .isOverMemoryBudget = watch.isOverBudget(),
                    .isPastDeadline = watch.isPastDeadline()};
  // The watchdog lets go first: once the end is out, the host may ask for
  // the next listing, and nothing of this one may touch the shared flags.
  watch.end();
  output.end(end);
  // A lister that a listing left large retires, and the next listing gets
  // a new one: the memory it keeps would leave the next too little of the
  // budget. (Giving it back with malloc_trim would only make the next large
  // listing map it all in again.)
  if (watch.isOverBudget() || watch.hasGrown()) ::_exit(0);
}

// runLister: the lister's life, from its fork to its _exit.
[[noreturn]] void runLister(int socket, SharedFlags& flags) noexcept {
  try {
    const int statm = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    closeInheritedDescriptors({socket, statm});
    limitAddressSpace(statm);
    ListerOutput output(socket);
    ListerWatch watch(flags, statm, output);
    std::thread([&watch] { watch.run(); }).detach();
    output.ready();

    RecordReader in;
    Record record;
    std::string buffer(std::size_t{64} << 10, '\0');
    for (;;) {
      while (in.next(record)) {
        if (record.kind != RecordKind::request) ::_exit(1);
        serveOne(record.request, output, watch, flags);
      }
      if (in.isBroken()) ::_exit(1);
      pollfd wait{.fd = socket, .events = POLLIN, .revents = 0};
      const int ready = ::poll(&wait, 1, static_cast<int>(kIdleLife.count()));
      if (ready == 0) ::_exit(0);  // idle for long enough
      if (ready < 0) {
        if (errno == EINTR) continue;
        ::_exit(1);
      }
      const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
      if (got <= 0) ::_exit(0);  // the host has gone
      in.append(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
  } catch (...) {
    ::_exit(1);
  }
}

// ===========================================================================
// The host's side

// MiddleReaper: the middle processes of the double forks, collected once
// they have exited (at once, as a rule) without the host ever waiting.
class MiddleReaper {
 public:
  static MiddleReaper& instance() {
    static MiddleReaper* const reaper = new MiddleReaper;
    return *reaper;
  }
  void add(pid_t middle) {
    const std::lock_guard lock(mMutex);
    mPending.push_back(middle);
  }
  // reap: collects those that have exited. A host that ignores SIGCHLD (or
  // reaps every child itself) leaves nothing to collect: ECHILD.
  void reap() {
    const std::lock_guard lock(mMutex);
    std::erase_if(mPending, [](pid_t middle) {
      const pid_t got = ::waitpid(middle, nullptr, WNOHANG);
      return got == middle || (got < 0 && errno != EINTR);
    });
  }

 private:
  std::mutex mMutex;
  std::vector<pid_t> mPending;
};

// Lister: the host's handle on one lister: its socket and the shared page.
class Lister {
 public:
  // start: forks a new lister; null when it cannot be.
  static std::unique_ptr<Lister> start();
  ~Lister() {
    if (mFlags != nullptr) ::munmap(mFlags, kPageSize);
  }
  Lister(const Lister&) = delete;
  Lister& operator=(const Lister&) = delete;

  [[nodiscard]] int socket() const noexcept { return mSocket.get(); }
  [[nodiscard]] SharedFlags& flags() noexcept { return *mFlags; }
  // isFresh: it has served nothing yet, so its `ready` record is still to come.
  [[nodiscard]] bool isFresh() const noexcept { return mIsFresh; }
  void setServed() noexcept { mIsFresh = false; }
  // forget: lets go of the socket and the page without closing or
  // unmapping them: in a forked copy of the host they are the host's, and
  // their numbers may be other files' by now.
  void forget() noexcept {
    (void)mSocket.release();
    mFlags = nullptr;
  }
  // isIdleAndAlive: nothing to read and no end of file: it still waits.
  [[nodiscard]] bool isIdleAndAlive() const noexcept {
    pollfd probe{.fd = mSocket.get(), .events = POLLIN, .revents = 0};
    return ::poll(&probe, 1, 0) == 0;
  }

 private:
  Lister(UniqueFd socket, SharedFlags* flags) : mSocket(std::move(socket)), mFlags(flags) {}

  UniqueFd mSocket;
  SharedFlags* mFlags;
  bool mIsFresh = true;
};

std::unique_ptr<Lister> Lister::start() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
  UniqueFd hostEnd(ends[0]);
  UniqueFd listerEnd(ends[1]);
  void* page =
      ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return nullptr;
  auto* flags = new (page) SharedFlags;
  std::unique_ptr<Lister> lister(new (std::nothrow) Lister(std::move(hostEnd), flags));
  if (!lister) {
    ::munmap(page, kPageSize);
    return nullptr;
  }

  // Forked twice, so that the host never waits for the lister: the middle
  // process exits at once and the lister is nobody's child of ours. All
  // signals stay blocked in it: the host's handlers are not its own, and a
  // fault still ends it (the kernel forces those through).
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t middle = ::fork();
  if (middle == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) runLister(listerEnd.get(), *flags);
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  listerEnd.reset();
  if (middle < 0) return nullptr;
  // The middle is collected later, not waited for now: whether the lister
  // runs, its `ready` record tells.
  MiddleReaper::instance().add(middle);
  return lister;
}

// ListerPool: the host's idle listers, for the next listing. Never
// destroyed: a listing may still run on another thread while the host
// exits, and the kernel closes the sockets, which ends the listers.
class ListerPool {
 public:
  static ListerPool& instance() {
    static ListerPool* const pool = new ListerPool;
    return *pool;
  }

  // take: an idle lister that still waits, else a new one; null when none
  // can be started.
  std::unique_ptr<Lister> take() {
    {
      const std::lock_guard lock(mMutex);
      // A forked copy of the host has the host's handles, not listers of its own.
      if (mOwner != ::getpid()) {
        for (const std::unique_ptr<Lister>& inherited : mIdle) inherited->forget();
        mIdle.clear();
        mOwner = ::getpid();
      }
      while (!mIdle.empty()) {
        std::unique_ptr<Lister> lister = std::move(mIdle.back());
        mIdle.pop_back();
        if (lister->isIdleAndAlive()) return lister;
      }
    }
    return Lister::start();
  }

  void giveBack(std::unique_ptr<Lister> lister) {
    const std::lock_guard lock(mMutex);
    if (mOwner == ::getpid() && mIdle.size() < kMaxIdle) mIdle.push_back(std::move(lister));
  }

 private:
  std::mutex mMutex;
  std::vector<std::unique_ptr<Lister>> mIdle;
  pid_t mOwner = ::getpid();
};

// HostListing: one listing as the host sees it, from the request to the end.
class HostListing {
 public:
  enum class Outcome {
    ended,      ///< the lister sent the end and serves on
    lost,       ///< the lister ended or was left; what it sent counts
    notServed,  ///< the lister ended before it took the request
    notReady,   ///< a new lister never got ready: none can run here
  };

  HostListing(Lister& lister, EntryConsumer& consumer) : mLister(lister), mConsumer(consumer) {
    mIn.clear();
  }

  Outcome run(const ListRequest& request) {
    SharedFlags& flags = mLister.flags();
    flags.stop.store(false);
    flags.isAbandoned.store(false);
    flags.endedBy.store(SharedFlags::notEnded);
    mIsWaitingForReady = mLister.isFresh();
    RecordWriter writer;
    writer.request(request);
    if (!sendAll(mLister.socket(), writer.bytes().data(), writer.size())) {
      return mIsWaitingForReady ? Outcome::notReady : Outcome::notServed;
    }
    // The lister's graces run from the deadline, or from the request when
    // that comes later (a limit spent before the listing began).
    const auto backstop =
        saturatingAdd(std::max(request.deadline, SteadyClock::now()),
                      request.identifyGrace + request.stopGrace + kFinishGrace + kAnswerMargin);
    for (;;) {
      while (mIn.next(mRecord)) {
        if (take(mRecord)) {
          mLister.setServed();
          return Outcome::ended;
        }
      }
      if (mIn.isBroken()) return lost();
      const auto now = SteadyClock::now();
      if (now >= backstop) {
        // It ends itself; the host does not wait for it any longer.
        flags.isAbandoned.store(true);
        mCollected.isAbandoned = true;
        mCollected.isPastDeadline = true;
        mCollected.end = SourceEnd::stopped;
        return Outcome::lost;
      }
      // What has come is read at once; only an empty socket is waited on.
      const ssize_t got =
          ::recv(mLister.socket(), mIn.space(kReceiveBytes), kReceiveBytes, MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(backstop - now);
        pollfd wait{.fd = mLister.socket(), .events = POLLIN, .revents = 0};
        const int ready =
            ::poll(&wait, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) return lost();
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // The watchdog ended it at the deadline or its memory budget, or it
        // ended before it saw the request (a new one that could not start,
        // an idle one whose time ran out), or it crashed.
        if (flags.endedBy.load() != SharedFlags::notEnded) return lost();
        if (mIsWaitingForReady) return Outcome::notReady;
        if (!mHasAnswer) return Outcome::notServed;
        return lost();
      }
      mIn.commit(static_cast<std::size_t>(got));
    }
  }

  [[nodiscard]] Collected& collected() noexcept { return mCollected; }

 private:
  // take: one record; true at the end.
  bool take(Record& record) {
    if (record.kind == RecordKind::ready) {
      mIsWaitingForReady = false;
      return false;
    }
    mHasAnswer = true;
    switch (record.kind) {
      case RecordKind::facts:
        mCollected.facts = ReaderFacts{.formatCode = record.formatCode,
                                       .filterCode = record.filterCode,
                                       .isKnown = true,
                                       .isDebianPackage = record.isDebianPackage};
        break;
      case RecordKind::entry:
        if (mIsRefused) break;
        if (!mConsumer.take(std::move(record.entry), mIsHolding)) {
          // No more wanted (the tree is full): the lister stops reading.
          mIsRefused = true;
          mLister.flags().stop.store(true);
        }
        break;
      case RecordKind::hold:
        mIsHolding = true;
        break;
      case RecordKind::release:
        mIsHolding = false;
        break;
      case RecordKind::rename:
        mRenames.push_back(std::move(record.rename));
        break;
      case RecordKind::end:
        mCollected.end = static_cast<SourceEnd>(record.end.end);
        mCollected.error = std::move(record.end.error);
        mCollected.hasSkipped = record.end.hasSkipped;
        mCollected.isOverMemoryBudget = record.end.isOverMemoryBudget;
        mCollected.isPastDeadline = record.end.isPastDeadline;
        finishCollected();
        return true;
      case RecordKind::ready:
      case RecordKind::request:
        break;
    }
    return false;
  }

  // lost: the lister ended without its end: at the deadline or its memory
  // budget, when the watchdog says so; else it crashed on this archive.
  Outcome lost() {
    switch (mLister.flags().endedBy.load()) {
      case SharedFlags::memory:
        mCollected.isOverMemoryBudget = true;
        mCollected.end = SourceEnd::stopped;
        break;
      case SharedFlags::deadline:
      case SharedFlags::host:
        mCollected.isPastDeadline = true;
        mCollected.end = SourceEnd::stopped;
        break;
      default:
        mCollected.end = SourceEnd::failure;
        mCollected.error = ArchiveError::cannotRead("");
        break;
    }
    mCollected.isAbandoned = true;
    return Outcome::lost;
  }

  // The renames apply to the held entries as the consumer kept them.
  void finishCollected() {
    mCollected.isRefused = mIsRefused;
    if (mRenames.empty()) return;
    mCollected.finish = [renames = std::move(mRenames)](
                            std::vector<RawEntry>& held,
                            const std::function<bool(std::string_view)>& /*isListedBefore*/) {
      for (const HeldRename& rename : renames) {
        if (rename.index < held.size()) held[rename.index].path = rename.path;
      }
    };
  }

  Lister& mLister;
  EntryConsumer& mConsumer;
  Collected mCollected;
  // One reader per thread for all its listings: its buffer is a few
  // hundred KiB, which a small listing should not map anew.
  static thread_local RecordReader mIn;
  Record mRecord;
  std::vector<HeldRename> mRenames;
  bool mIsHolding = false;
  bool mIsRefused = false;
  bool mIsWaitingForReady = false;
  bool mHasAnswer = false;
};

thread_local RecordReader HostListing::mIn;

}  // namespace

std::optional<Collected> collectInLister(const std::filesystem::path& file, SourceMaker makeSource,
                                         const ListingBounds& bounds, EntryConsumer& consumer) {
  const ListRequest request{
      .path = file.native(),
      .deadline = bounds.deadline,
      .maxEntries = bounds.maxEntries,
      .maxNameBytes = bounds.maxNameBytes,
      .memoryBudget = bounds.memoryBudget,
      .stopGrace = bounds.stopGrace,
      .identifyGrace = bounds.identifyGrace,
      .sourceMaker = reinterpret_cast<std::uintptr_t>(makeSource),
  };
  ListerPool& pool = ListerPool::instance();
  MiddleReaper::instance().reap();
  // An idle lister may end just as it is asked (its idle life ran out):
  // then a new one serves.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::unique_ptr<Lister> lister = pool.take();
    if (!lister) return std::nullopt;
    const bool isFresh = lister->isFresh();
    HostListing listing(*lister, consumer);
    switch (listing.run(request)) {
      case HostListing::Outcome::ended:
        pool.giveBack(std::move(lister));
        return std::move(listing.collected());
      case HostListing::Outcome::lost:
        return std::move(listing.collected());
      case HostListing::Outcome::notServed:
        if (isFresh) {
          // A new lister that took the request and ended with no word: the
          // archive made it crash.
          listing.collected().end = SourceEnd::failure;
          listing.collected().error = ArchiveError::cannotRead("");
          return std::move(listing.collected());
        }
        continue;
      case HostListing::Outcome::notReady:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace vexel::readers_internal
