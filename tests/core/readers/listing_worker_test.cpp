#include "readers/internal/listing_worker.h"
#include "readers/internal/listing_seams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "readers/internal/input_file.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

using std::chrono::steady_clock;

// Gate: a latch a stalled source waits on, shared with the test so that it
// outlives whichever side finishes last.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool isOpen = false;
  bool isDone = false;

  void open() {
    const std::lock_guard lock(mutex);
    isOpen = true;
    changed.notify_all();
  }
  void waitOpen() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return isOpen; });
  }
  void done() {
    const std::lock_guard lock(mutex);
    isDone = true;
    changed.notify_all();
  }
  void waitDone() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return isDone; });
  }
};

// ScriptedSource: hands over `names`, then behaves as told: returns, waits
// for the stop flag (a source whose reads see it), stalls until the gate
// opens while ignoring the flag (libarchive in a loop that reads nothing),
// or throws.
class ScriptedSource final : public HeaderSource {
 public:
  enum class Then { end, honourStop, stall, throwBadAlloc };

  ScriptedSource(std::vector<std::string> names, Then then, std::shared_ptr<Gate> gate,
                 std::atomic<bool>* late = nullptr, bool saysFacts = true)
      : mNames(std::move(names)),
        mThen(then),
        mGate(std::move(gate)),
        mLate(late),
        mSaysFacts(saysFacts) {}
  ~ScriptedSource() override {
    if (mGate) mGate->done();
  }

  SourceResult read(HeaderSink& sink) override {
    if (mSaysFacts)
      sink.setFacts(ReaderFacts{.formatCode = 0x30000, .filterCode = 1, .isKnown = true});
    for (std::string& name : mNames) {
      if (!sink.add(RawEntry{.path = std::move(name)}))
        return SourceResult{.end = SourceEnd::stopped};
    }
    // The deadline passes once everything is handed over.
    if (mLate != nullptr) mLate->store(true);
    switch (mThen) {
      case Then::end:
        return SourceResult{};
      case Then::honourStop:
        while (!sink.shouldStop()) std::this_thread::yield();
        return SourceResult{.end = SourceEnd::stopped};
      case Then::stall:
        mGate->waitOpen();
        return SourceResult{};
      case Then::throwBadAlloc:
        throw std::bad_alloc();
    }
    return SourceResult{};
  }

 private:
  std::vector<std::string> mNames;
  Then mThen;
  std::shared_ptr<Gate> mGate;
  std::atomic<bool>* mLate;
  bool mSaysFacts;
};

std::vector<std::string> pathsOf(const std::vector<RawEntry>& entries) {
  std::vector<std::string> paths;
  for (const RawEntry& entry : entries) paths.push_back(entry.path);
  return paths;
}

TEST(ListingWorker, OutcomesWithinTheBounds) {
  using Then = ScriptedSource::Then;
  const std::vector<std::string> three = {"a", "b", "c"};
  struct Row {
    const char* name;
    Then then;
    std::size_t maxEntries;
    std::vector<std::string> paths;
    SourceEnd end;
    bool isPastDeadline;
    bool isAbandoned;
  };
  const Row rows[] = {
      {"to the end", Then::end, 10, three, SourceEnd::end, false, false},
      {"entry budget", Then::end, 2, {"a", "b"}, SourceEnd::stopped, false, false},
      {"stops when told", Then::honourStop, 10, three, SourceEnd::stopped, true, false},
      {"stalls and is left behind", Then::stall, 10, three, SourceEnd::stopped, true, true},
      {"out of memory", Then::throwBadAlloc, 10, three, SourceEnd::failure, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto gate = std::make_shared<Gate>();
    std::atomic<bool> late{false};
    const steady_clock::time_point start{};
    const ListingBounds bounds{
        .clock = [&] { return late.load() ? start + std::chrono::hours(1) : start; },
        .deadline = start + std::chrono::seconds(3),
        .maxEntries = row.maxEntries,
        .maxNameBytes = 100,
        .stopGrace = std::chrono::milliseconds(200),
    };
    const bool isTimed = row.then == Then::honourStop || row.then == Then::stall;
    const Collected collected = collectEntries(
        std::make_unique<ScriptedSource>(three, row.then, gate, isTimed ? &late : nullptr), bounds);
    EXPECT_EQ(pathsOf(collected.entries), row.paths);
    EXPECT_EQ(collected.end, row.end);
    EXPECT_EQ(collected.isPastDeadline, row.isPastDeadline);
    EXPECT_EQ(collected.isAbandoned, row.isAbandoned);
    EXPECT_EQ(collected.facts.formatCode, 0x30000);
    if (row.end == SourceEnd::failure) {
      EXPECT_EQ(collected.error, ArchiveError::outOfMemory());
    }
    // A worker left behind finishes once libarchive lets it, on its own.
    gate->open();
    gate->waitDone();
  }
}

TEST(ListingWorker, NameBytesCountAgainstTheBudget) {
  const ListingBounds bounds{.clock = [] { return steady_clock::time_point{}; },
                             .deadline = steady_clock::time_point::max(),
                             .maxEntries = 10,
                             .maxNameBytes = 5};
  const Collected collected =
      collectEntries(std::make_unique<ScriptedSource>(std::vector<std::string>{"ab", "cd", "ef"},
                                                      ScriptedSource::Then::end, nullptr),
                     bounds);
  EXPECT_EQ(pathsOf(collected.entries), (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(collected.end, SourceEnd::stopped);
}

// RefillingSource: hands over `entries` through one entry it refills for
// each, as the lister does.
class RefillingSource final : public HeaderSource {
 public:
  explicit RefillingSource(std::vector<RawEntry> entries) : mEntries(std::move(entries)) {}
  SourceResult read(HeaderSink& sink) override {
    RawEntry refilled;
    for (const RawEntry& entry : mEntries) {
      refilled = entry;
      if (!sink.add(refilled)) return SourceResult{.end = SourceEnd::stopped};
    }
    return SourceResult{};
  }

 private:
  std::vector<RawEntry> mEntries;
};

TEST(ListingWorker, EntriesArriveWhole) {
  using std::chrono::sys_seconds;
  const std::vector<RawEntry> sent = {
      {.path = "a folder with a name longer than a short string/",
       .isDir = true,
       .modified = sys_seconds(std::chrono::seconds(-5))},
      {.path = "x",
       .size = 12,
       .packed = 7,
       .crc = "89ABCDEF",
       .encrypted = true,
       .method = "LZMA2:24",
       .block = 3},
      {.path = "y", .size = -1, .crc = "0"},
      {.path = "z", .packed = 0, .method = "Copy", .block = 0},
  };
  const ListingBounds bounds{.clock = [] { return steady_clock::time_point{}; },
                             .deadline = steady_clock::time_point::max(),
                             .maxEntries = 10,
                             .maxNameBytes = 100};
  const Collected collected = collectEntries(std::make_unique<RefillingSource>(sent), bounds);
  ASSERT_EQ(collected.entries.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(sent[i].path);
    const RawEntry& got = collected.entries[i];
    EXPECT_EQ(got.path, sent[i].path);
    EXPECT_EQ(got.isDir, sent[i].isDir);
    EXPECT_EQ(got.size, sent[i].size);
    EXPECT_EQ(got.packed, sent[i].packed);
    EXPECT_EQ(got.modified, sent[i].modified);
    EXPECT_EQ(got.crc, sent[i].crc);
    EXPECT_EQ(got.encrypted, sent[i].encrypted);
    EXPECT_EQ(got.method, sent[i].method);
    EXPECT_EQ(got.block, sent[i].block);
  }
}

// listThenExit: a listing whose worker stalls for good, then exit(0).
[[noreturn]] void listThenExit() {
  std::atomic<bool> late{false};
  const steady_clock::time_point start{};
  const ListingBounds bounds{
      .clock = [&] { return late.load() ? start + std::chrono::hours(1) : start; },
      .deadline = start + std::chrono::seconds(3),
      .maxEntries = 10,
      .maxNameBytes = 100,
      .stopGrace = std::chrono::milliseconds(10)};
  const Collected collected = collectEntries(
      std::make_unique<ScriptedSource>(std::vector<std::string>{"a"}, ScriptedSource::Then::stall,
                                       std::make_shared<Gate>(), &late),
      bounds);
  std::exit(collected.isAbandoned && collected.entries.size() == 1 ? 0 : 1);
}

// WorkerWatch: lets the caller's side see the worker wait for room. The
// source notes its thread and whether it is inside `HeaderSink::add`. While
// the caller is inside its consumer it holds no lock of the channel's, so
// the one thing `add` can then sleep on is the full queue: a worker asleep
// there is waiting for its caller, which no timing can fake.
struct WorkerWatch {
  std::atomic<pid_t> thread{0};
  std::atomic<bool> isInAdd{false};

  // isAsleepInAdd: the worker is inside `add` and the kernel reports its
  // thread asleep ("S" in /proc/self/task/<tid>/stat).
  [[nodiscard]] bool isAsleepInAdd() const {
    const pid_t tid = thread.load();
    if (tid == 0 || !isInAdd.load()) return false;
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // "tid (name) S ...": the name may hold spaces and parentheses.
    const std::size_t nameEnd = stat.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < stat.size() && stat[nameEnd + 2] == 'S' &&
           isInAdd.load();
  }
};

// CountingSource: hands over `count` entries as fast as the sink takes them,
// counting those it got rid of.
class CountingSource final : public HeaderSource {
 public:
  CountingSource(std::size_t count, std::atomic<std::size_t>& handed, WorkerWatch& watch)
      : mCount(count), mHanded(handed), mWatch(watch) {}
  SourceResult read(HeaderSink& sink) override {
    mWatch.thread.store(gettid());
    for (std::size_t i = 0; i < mCount; ++i) {
      RawEntry entry{.path = "f" + std::to_string(i)};
      mWatch.isInAdd.store(true);
      const bool isTaken = sink.add(entry);
      mWatch.isInAdd.store(false);
      if (!isTaken) return SourceResult{.end = SourceEnd::stopped};
      mHanded.fetch_add(1);
    }
    return SourceResult{};
  }

 private:
  std::size_t mCount;
  std::atomic<std::size_t>& mHanded;
  WorkerWatch& mWatch;
};

// SlowConsumer: pauses at its first entry, then takes the rest in order.
class SlowConsumer final : public EntryConsumer {
 public:
  explicit SlowConsumer(std::function<void()> atFirst) : mAtFirst(std::move(atFirst)) {}
  bool take(RawEntry&& entry, bool /*isHeld*/) override {
    if (entry.path != "f" + std::to_string(mTaken++)) mIsInOrder = false;
    if (mTaken == 1) mAtFirst();
    return true;
  }
  std::size_t mTaken = 0;
  bool mIsInOrder = true;

 private:
  std::function<void()> mAtFirst;
};

// waitUntilBlocked: spins until the worker waits for room, or has handed
// over everything (a queue that never fills); true in the first case.
bool waitUntilBlocked(const WorkerWatch& watch, const std::atomic<std::size_t>& handed,
                      std::size_t count) {
  while (!watch.isAsleepInAdd()) {
    if (handed.load() == count) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ListingWorker, WorkerWaitsForASlowCaller) {
  constexpr std::size_t kEntries = 200'000;
  // The caller pauses at its first entry until the worker, having filled
  // the queue, waits for room, far short of the archive.
  std::atomic<std::size_t> handed{0};
  WorkerWatch watch;
  bool isBlocked = false;
  std::size_t handedWhileBlocked = 0;
  SlowConsumer slow([&] {
    isBlocked = waitUntilBlocked(watch, handed, kEntries);
    handedWhileBlocked = handed.load();
  });
  const ListingBounds unbounded{.clock = [] { return steady_clock::time_point{}; },
                                .deadline = steady_clock::time_point::max(),
                                .maxEntries = kEntries,
                                .maxNameBytes = kEntries * 8};
  const Collected all =
      collectEntries(std::make_unique<CountingSource>(kEntries, handed, watch), unbounded, slow);
  EXPECT_TRUE(isBlocked);
  EXPECT_LT(handedWhileBlocked, kEntries / 4);
  EXPECT_EQ(all.end, SourceEnd::end);
  EXPECT_EQ(slow.mTaken, kEntries);
  EXPECT_TRUE(slow.mIsInOrder);
  EXPECT_TRUE(all.entries.empty());

  // A deadline that passes while the worker waits for room still stops it,
  // without leaving it behind.
  std::atomic<bool> late{false};
  std::atomic<std::size_t> handedLate{0};
  WorkerWatch lateWatch;
  bool isLateBlocked = false;
  SlowConsumer lateConsumer([&] {
    isLateBlocked = waitUntilBlocked(lateWatch, handedLate, kEntries);
    late.store(true);
  });
  const ListingBounds bounds{
      .clock = [&] { return steady_clock::time_point{} + std::chrono::hours(late.load() ? 1 : 0); },
      .deadline = steady_clock::time_point{} + std::chrono::seconds(3),
      .maxEntries = kEntries,
      .maxNameBytes = kEntries * 8,
      .stopGrace = std::chrono::seconds(10)};
  const auto started = steady_clock::now();
  const Collected stopped = collectEntries(
      std::make_unique<CountingSource>(kEntries, handedLate, lateWatch), bounds, lateConsumer);
  EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(isLateBlocked);
  EXPECT_EQ(stopped.end, SourceEnd::stopped);
  EXPECT_TRUE(stopped.isPastDeadline);
  EXPECT_FALSE(stopped.isAbandoned);
  EXPECT_LT(lateConsumer.mTaken, kEntries);
  EXPECT_TRUE(lateConsumer.mIsInOrder);
}

// A worker left inside "libarchive" never holds the process back: it ends
// at once, static destructors and all, while the worker still waits.
TEST(ListingWorkerDeathTest, ProcessExitsWhileAWorkerStalls) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(listThenExit(), ::testing::ExitedWithCode(0), "");
}

// A deadline already past lists no entry, but the reader still says what
// the archive is (so the listing keeps its type, and a file that is no
// archive is found out); one that cannot say it in the grace is stopped,
// and left behind when it does not stop either.
TEST(ListingWorker, SpentDeadlineStillNamesTheArchive) {
  using Then = ScriptedSource::Then;
  struct Row {
    const char* name;
    bool saysFacts;
    std::vector<std::string> names;
    Then then;
    bool isAbandoned;
  };
  const Row rows[] = {
      {"names the archive, its entry refused", true, {"a"}, Then::end, false},
      {"says nothing, then stops when told", false, {}, Then::honourStop, false},
      {"says nothing and stalls", false, {}, Then::stall, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto gate = std::make_shared<Gate>();
    const ListingBounds bounds{
        .clock = [] { return steady_clock::time_point{} + std::chrono::hours(1); },
        .deadline = steady_clock::time_point{},
        .maxEntries = 10,
        .maxNameBytes = 100,
        .stopGrace = std::chrono::milliseconds(50),
        .identifyGrace = std::chrono::milliseconds(50)};
    const auto started = steady_clock::now();
    const Collected collected = collectEntries(
        std::make_unique<ScriptedSource>(row.names, row.then, gate, nullptr, row.saysFacts),
        bounds);
    EXPECT_TRUE(collected.entries.empty());
    EXPECT_EQ(collected.end, SourceEnd::stopped);
    EXPECT_TRUE(collected.isPastDeadline);
    EXPECT_EQ(collected.isAbandoned, row.isAbandoned);
    EXPECT_EQ(collected.facts.isKnown, row.saysFacts);
    // The graces are real time, whatever the clock says: the reader had them.
    if (!row.saysFacts) {
      EXPECT_GE(steady_clock::now() - started, std::chrono::milliseconds(50));
    }
    gate->open();
    gate->waitDone();
  }
}

// The whole listing around a source that stalls inside "libarchive": the
// call returns the entries so far as an incomplete tree, named by what the
// reader had learnt; a failing source with nothing listed throws.
TEST(ListingWorker, ListingAroundAStalledReader) {
  test::TempDir dir;
  const auto file = dir.write("stall.tar.gz", "bytes the scripted source never reads");
  auto gate = std::make_shared<Gate>();
  std::atomic<bool> late{false};
  const ExtensionArchive::Clock clock = [&] {
    return steady_clock::time_point{} +
           (late.load() ? std::chrono::hours(1) : std::chrono::hours(0));
  };
  const auto listing = listWithSource(file, 3.0, clock, [&](const auto&, auto) {
    return std::make_unique<ScriptedSource>(std::vector<std::string>{"docs/a.txt", "b.txt"},
                                            ScriptedSource::Then::stall, gate, &late);
  });
  EXPECT_FALSE(listing.complete);
  EXPECT_EQ(listing.typeName, "TAR + GZip");
  EXPECT_EQ(listing.tree->fileCount(), 2);
  EXPECT_NE(listing.tree->node("docs/a.txt"), nullptr);
  EXPECT_EQ(listing.fileSize, 37);
  gate->open();
  gate->waitDone();

  const auto failing = [](const auto&, auto) {
    return std::make_unique<ScriptedSource>(std::vector<std::string>{},
                                            ScriptedSource::Then::throwBadAlloc, nullptr);
  };
  try {
    (void)listWithSource(file, 3.0, nullptr, failing);
    ADD_FAILURE() << "no error";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::outOfMemory());
  }
}

}  // namespace
}  // namespace vexel::readers_internal
