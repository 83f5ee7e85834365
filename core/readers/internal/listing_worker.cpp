#include "listing_worker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "process/unique_fd.h"

namespace vexel::readers_internal {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Each entry is handed over as soon as it is named (an uncontended lock), so
// a worker that stalls later has lost nothing; the caller is woken once per
// batch, or finds the entries at its next tick. Each wake-up costs both
// threads a trip through the scheduler: a batch is a few milliseconds of
// the worker's reading.
constexpr std::size_t kBatchSize = 4096;
// A worker this far ahead of its caller waits: the queue holds a few
// milliseconds of the caller's work, not the archive.
constexpr std::size_t kQueueLimit = 4 * kBatchSize;
// How often the caller looks at the clock while no batch arrives.
constexpr auto kTick = std::chrono::milliseconds(10);

// EntryBatch: entries on their way to the caller, their texts one after
// another in one buffer. Buffers are kept when a batch is emptied, so
// handing an entry over allocates nothing, and the caller frees nothing per
// entry of the worker's.
class EntryBatch {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return mEntries.size(); }
  [[nodiscard]] bool empty() const noexcept { return mEntries.empty(); }

  void clear() noexcept {
    mEntries.clear();
    mTexts.clear();
  }

  void append(const RawEntry& entry) {
    mEntries.push_back(Packed{.pathSize = entry.path.size(),
                              .crcSize = entry.crc.size(),
                              .methodSize = entry.method.size(),
                              .size = entry.size,
                              .packed = entry.packed,
                              .modified = entry.modified,
                              .block = entry.block,
                              .isDir = entry.isDir,
                              .encrypted = entry.encrypted});
    try {
      mTexts.append(entry.path).append(entry.crc).append(entry.method);
    } catch (...) {
      mEntries.pop_back();
      throw;
    }
  }

  // Reader: refills one entry with each of a batch's, in order.
  class Reader {
   public:
    explicit Reader(const EntryBatch& batch) : mBatch(batch) {}
    [[nodiscard]] bool done() const noexcept { return mIndex == mBatch.mEntries.size(); }
    // path: the path of the entry `next` refills with; skip: passes it by.
    [[nodiscard]] std::string_view path() const noexcept {
      return std::string_view(mBatch.mTexts).substr(mText, mBatch.mEntries[mIndex].pathSize);
    }
    void skip() noexcept {
      const Packed& packed = mBatch.mEntries[mIndex++];
      mText += packed.pathSize + packed.crcSize + packed.methodSize;
    }
    void next(RawEntry& entry) {
      const Packed& packed = mBatch.mEntries[mIndex++];
      const std::string_view texts = mBatch.mTexts;
      entry.path.assign(texts.substr(mText, packed.pathSize));
      mText += packed.pathSize;
      entry.crc.assign(texts.substr(mText, packed.crcSize));
      mText += packed.crcSize;
      entry.method.assign(texts.substr(mText, packed.methodSize));
      mText += packed.methodSize;
      entry.isDir = packed.isDir;
      entry.size = packed.size;
      entry.packed = packed.packed;
      entry.modified = packed.modified;
      entry.encrypted = packed.encrypted;
      entry.block = packed.block;
    }

   private:
    const EntryBatch& mBatch;
    std::size_t mIndex = 0;
    std::size_t mText = 0;
  };

 private:
  // Packed: an entry without its texts.
  struct Packed {
    std::size_t pathSize = 0;
    std::size_t crcSize = 0;
    std::size_t methodSize = 0;
    std::int64_t size = 0;
    std::optional<std::int64_t> packed;
    std::optional<std::chrono::sys_seconds> modified;
    std::optional<std::int64_t> block;
    bool isDir = false;
    bool encrypted = false;
  };

  std::vector<Packed> mEntries;
  std::string mTexts;
};

}  // namespace

// EntryChannel: the state the caller and the worker share, owned by both.
class EntryChannel {
 public:
  EntryChannel(std::size_t maxEntries, std::size_t maxNameBytes)
      : mMaxEntries(maxEntries), mMaxNameBytes(maxNameBytes) {}

  [[nodiscard]] std::size_t maxEntries() const noexcept { return mMaxEntries; }
  [[nodiscard]] std::size_t maxNameBytes() const noexcept { return mMaxNameBytes; }
  [[nodiscard]] const std::atomic<bool>& stopFlag() const noexcept { return mStop; }
  // isClosed: no more entries are taken, though the reader may go on.
  [[nodiscard]] bool isClosed() const noexcept { return mIsClosed.load(std::memory_order_relaxed); }
  void close() noexcept { mIsClosed.store(true, std::memory_order_relaxed); }
  // factsKnown: the reader has said what the archive is.
  [[nodiscard]] bool factsKnown() const noexcept {
    return mFactsKnown.load(std::memory_order_relaxed);
  }

  // Worker side: waits while the queue is full. False, with the entry
  // dropped, once the listing is stopped or the caller has given up.
  bool push(const RawEntry& entry) {
    bool isBatch = false;
    {
      std::unique_lock lock(mMutex);
      mRoom.wait(lock, [&] { return mPending.size() < kQueueLimit || isStopped(); });
      if (isStopped()) return false;
      mPending.append(entry);
      ++mPushed;
      isBatch = mPending.size() % kBatchSize == 0;
    }
    if (isBatch) mReady.notify_one();
    return true;
  }

  void holdFromHere() {
    const std::lock_guard lock(mMutex);
    if (mHeldFrom == kNone) mHeldFrom = mPushed;
  }

  // releaseHeld: entries pushed before, not yet taken, are taken unheld.
  void releaseHeld() {
    const std::lock_guard lock(mMutex);
    mHeldFrom = kNone;
  }

  void setFacts(const ReaderFacts& facts) {
    const std::lock_guard lock(mMutex);
    mFacts = facts;
    mFactsKnown.store(facts.isKnown, std::memory_order_relaxed);
  }

  void finish(SourceResult&& result) noexcept {
    {
      const std::lock_guard lock(mMutex);
      mResult.emplace(std::move(result));
    }
    mReady.notify_one();
  }

  // Caller side: waits until entries or the end arrive or `until` passes,
  // replaces `out` with the entries (the worker goes on in the buffers of
  // `out`), sets `heldFrom` (the number of the first entry to hold, or
  // kNone), and tells whether the worker has finished.
  bool take(EntryBatch& out, std::size_t& heldFrom, SteadyClock::time_point until) {
    out.clear();
    bool finished = false;
    {
      std::unique_lock lock(mMutex);
      mReady.wait_until(lock, until, [&] { return !mPending.empty() || mResult.has_value(); });
      std::swap(out, mPending);
      finished = mResult.has_value();
      heldFrom = mHeldFrom;
    }
    if (!out.empty()) mRoom.notify_one();
    return finished;
  }

  // stop: raises the flag and wakes a worker waiting for room. The lock
  // makes sure a worker that has just found the queue full hears it.
  void stop() noexcept {
    {
      const std::lock_guard lock(mMutex);
      mStop.store(true, std::memory_order_relaxed);
    }
    mRoom.notify_all();
  }

  // abandon: stops the worker and lets it finish alone; what it still hands
  // over is dropped with the channel.
  void abandon() noexcept {
    EntryBatch dropped;
    {
      const std::lock_guard lock(mMutex);
      mStop.store(true, std::memory_order_relaxed);
      mIsAbandoned = true;
      std::swap(dropped, mPending);
    }
    mRoom.notify_all();
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // outcome: the facts and the result, once finished (else `stopped`).
  void outcome(Collected& collected) {
    const std::lock_guard lock(mMutex);
    collected.facts = mFacts;
    if (mResult) {
      collected.end = mResult->end;
      collected.error = mResult->error;
      collected.finish = mResult->finish;
      collected.hasSkipped = mResult->hasSkipped;
    } else {
      collected.end = SourceEnd::stopped;
    }
  }

 private:
  const std::size_t mMaxEntries;
  const std::size_t mMaxNameBytes;
  std::atomic<bool> mStop{false};
  std::atomic<bool> mIsClosed{false};
  std::atomic<bool> mFactsKnown{false};
  std::mutex mMutex;
  std::condition_variable mReady;  // entries or the end arrived
  std::condition_variable mRoom;   // the queue has room, or the listing stopped
  EntryBatch mPending;
  std::size_t mPushed = 0;
  std::size_t mHeldFrom = kNone;
  ReaderFacts mFacts;
  std::optional<SourceResult> mResult;
  bool mIsAbandoned = false;

  [[nodiscard]] bool isStopped() const noexcept {
    return mIsAbandoned || mStop.load(std::memory_order_relaxed);
  }
};

// ---------------------------------------------------------------------------
// The worker's sink

namespace {

// ChannelSink: counts the entries against the budget and passes them on.
class ChannelSink final : public HeaderSink {
 public:
  explicit ChannelSink(EntryChannel& channel) : mChannel(channel) {}

  bool add(const RawEntry& entry) override {
    if (shouldStop() || mChannel.isClosed()) return false;
    const std::size_t bytes = entry.path.size();
    if (mEntries >= mChannel.maxEntries() || bytes > mChannel.maxNameBytes() - mNameBytes) {
      return false;  // the budget is spent: stop reading, like the time limit
    }
    ++mEntries;
    mNameBytes += bytes;
    return mChannel.push(entry);
  }

  const std::atomic<bool>& stopFlag() const noexcept override { return mChannel.stopFlag(); }
  void setFacts(const ReaderFacts& facts) override { mChannel.setFacts(facts); }
  void holdFromHere() override { mChannel.holdFromHere(); }
  void releaseHeld() override { mChannel.releaseHeld(); }

 private:
  EntryChannel& mChannel;
  std::size_t mEntries = 0;
  std::size_t mNameBytes = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// The worker and its caller

namespace {

// GrowthWatch: the process's resident memory above what it had when the
// listing began. libarchive allocates on the worker thread as a header tells
// it to, out of reach of the entry budget; the caller looks at the growth at
// every tick. The process is the boundary: other threads' growth counts too.
class GrowthWatch {
 public:
  explicit GrowthWatch(std::size_t budget) : mBudget(budget) {
    if (mBudget == 0) return;
    mStatm = UniqueFd(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
    mBaseline = resident();
  }

  // isOver: the growth has passed the budget (never without a budget, or
  // where the process's memory cannot be read).
  [[nodiscard]] bool isOver() const {
    if (mBudget == 0 || !mStatm) return false;
    const std::size_t now = resident();
    return now > mBaseline && now - mBaseline > mBudget;
  }

 private:
  [[nodiscard]] std::size_t resident() const {
    char text[128];
    const ssize_t got = ::pread(mStatm.get(), text, sizeof text - 1, 0);
    if (got <= 0) return 0;
    text[got] = '\0';
    const char* at = std::strchr(text, ' ');
    if (at == nullptr) return 0;
    return static_cast<std::size_t>(std::strtoull(at + 1, nullptr, 10)) *
           static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  }

  std::size_t mBudget;
  UniqueFd mStatm;
  std::size_t mBaseline = 0;
};

void runWorker(const std::shared_ptr<EntryChannel>& channel,
               std::unique_ptr<HeaderSource> source) noexcept {
  SourceResult result = readGuarded([&] {
    ChannelSink sink(*channel);
    return source->read(sink);
  });
  // The reader is freed and the file closed before the caller hears the end.
  source.reset();
  channel->finish(std::move(result));
}

// AbandonOnExit: whatever way the caller leaves, the worker is told to stop
// and its later results are dropped.
class AbandonOnExit {
 public:
  explicit AbandonOnExit(EntryChannel& channel) : mChannel(channel) {}
  ~AbandonOnExit() { mChannel.abandon(); }
  AbandonOnExit(const AbandonOnExit&) = delete;
  AbandonOnExit& operator=(const AbandonOnExit&) = delete;

 private:
  EntryChannel& mChannel;
};

// Delivery: hands taken entries to the consumer, numbering them, until it
// wants no more; the rest are dropped.
class Delivery {
 public:
  explicit Delivery(EntryConsumer& consumer) : mConsumer(consumer) {}

  void deliver(const EntryBatch& batch, std::size_t heldFrom) {
    EntryBatch::Reader ahead(batch);
    for (std::size_t i = 0; i < EntryConsumer::kExpectAhead && !ahead.done(); ++i) ahead.skip();
    for (EntryBatch::Reader reader(batch); !reader.done() && !mIsRefused;) {
      if (!ahead.done()) {
        mConsumer.expect(ahead.path());
        ahead.skip();
      }
      // One entry refilled each time: a consumer that keeps the texts in
      // its own storage (the tree) leaves their buffers for the next.
      reader.next(mEntry);
      if (!mConsumer.take(std::move(mEntry), mTaken >= heldFrom)) mIsRefused = true;
      ++mTaken;
    }
  }
  [[nodiscard]] bool isRefused() const noexcept { return mIsRefused; }

 private:
  EntryConsumer& mConsumer;
  RawEntry mEntry;
  std::size_t mTaken = 0;
  bool mIsRefused = false;
};

// Appender: the consumer that keeps every entry.
class Appender final : public EntryConsumer {
 public:
  explicit Appender(std::vector<RawEntry>& entries) : mEntries(entries) {}
  bool take(RawEntry&& entry, bool /*isHeld*/) override {
    mEntries.push_back(std::move(entry));
    return true;
  }

 private:
  std::vector<RawEntry>& mEntries;
};

}  // namespace

Collected collectEntries(std::unique_ptr<HeaderSource> source, const ListingBounds& bounds,
                         EntryConsumer& consumer) {
  Collected collected;
  auto channel = std::make_shared<EntryChannel>(bounds.maxEntries, bounds.maxNameBytes);
  // Past the deadline before the reader has said what the archive is: no
  // entry is taken any more, but it may go on reading for a moment to say
  // it, so that a listing cut before its first entry still has a type, and
  // a file that is no archive is found out. (Real time: the grace is for
  // the reader, not for the listing.)
  std::optional<SteadyClock::time_point> identifyUntil;
  const auto closeToEntries = [&] {
    channel->close();
    identifyUntil = SteadyClock::now() + bounds.identifyGrace;
    collected.isPastDeadline = true;
  };
  if (bounds.clock() > bounds.deadline) closeToEntries();

  std::thread(runWorker, channel, std::move(source)).detach();
  const AbandonOnExit abandonOnExit(*channel);

  const GrowthWatch growth(bounds.memoryBudget);
  Delivery delivery(consumer);
  EntryBatch batch;
  std::size_t heldFrom = EntryChannel::kNone;
  bool finished = false;
  while (!finished) {
    // Wake at the next tick, or at the deadline (or the end of the grace)
    // if that comes first (with the steady clock, at that moment itself).
    const auto left =
        identifyUntil ? *identifyUntil - SteadyClock::now() : bounds.deadline - bounds.clock();
    const auto slice =
        std::clamp<SteadyClock::duration>(left, SteadyClock::duration::zero(), kTick);
    finished = channel->take(batch, heldFrom, SteadyClock::now() + slice);
    delivery.deliver(batch, heldFrom);
    if (finished) break;
    if (growth.isOver()) collected.isOverMemoryBudget = true;
    const bool isLate = bounds.clock() > bounds.deadline && !collected.isOverMemoryBudget;
    if (isLate && !identifyUntil && !channel->factsKnown()) closeToEntries();
    if (isLate && !channel->factsKnown() && SteadyClock::now() < *identifyUntil) continue;
    if (isLate || delivery.isRefused() || collected.isOverMemoryBudget) {
      collected.isPastDeadline = isLate;
      channel->stop();
      // A worker that sees the flag returns within a read; one that is
      // stuck inside libarchive is left behind after the grace.
      const auto giveUp = SteadyClock::now() + bounds.stopGrace;
      while (!finished && SteadyClock::now() < giveUp) {
        finished = channel->take(batch, heldFrom, giveUp);
        delivery.deliver(batch, heldFrom);
      }
      collected.isAbandoned = !finished;
      break;
    }
  }
  collected.isRefused = delivery.isRefused();
  channel->outcome(collected);
  return collected;
}

Collected collectEntries(std::unique_ptr<HeaderSource> source, const ListingBounds& bounds) {
  std::vector<RawEntry> entries;
  Appender appender(entries);
  Collected collected = collectEntries(std::move(source), bounds, appender);
  collected.entries = std::move(entries);
  return collected;
}

SteadyClock::time_point deadlineAfter(SteadyClock::time_point start, double seconds) noexcept {
  using TimePoint = SteadyClock::time_point;
  using Ticks = std::chrono::duration<double, SteadyClock::period>;
  if (std::isnan(seconds)) return TimePoint::max();
  const double ticks =
      static_cast<double>(start.time_since_epoch().count()) +
      std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(seconds)).count();
  using Rep = SteadyClock::rep;
  // 2^63 is exactly representable as a double; anything at or above it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (ticks >= kLimit) return TimePoint::max();
  if (ticks <= -kLimit) return TimePoint::min();
  return TimePoint(SteadyClock::duration(static_cast<Rep>(ticks)));
}

}  // namespace vexel::readers_internal
