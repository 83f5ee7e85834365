#include "readers/internal/lister_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "readers/internal/input_file.h"
#include "support/temp_dir.h"

namespace vexel::readers_internal {
namespace {

using std::chrono::steady_clock;
using test::TempDir;

// ScriptSource: a header source that does what its "archive" says, one
// command a line, in the lister that reads it:
//   entry NAME      hands over an entry
//   hold            holds the entries from here on; the end renames each
//                   held NAME to NAME-renamed unless an earlier entry reads so
//   allocate MIB    touches MIB MiB, one at a time and 2 ms apart (slower
//                   than the watchdog looks), returning when stopped
//   hog MIB         the same, deaf to the stop (libarchive in a loop)
//   stall           waits for ever, deaf to the stop
//   sleep MS        waits MS milliseconds
//   crash           aborts
//   pid             writes the lister's process id to the archive's path + ".pid"
// It names the archive a tar first.
class ScriptSource final : public HeaderSource {
 public:
  ScriptSource(std::filesystem::path file, std::string script)
      : mFile(std::move(file)), mScript(std::move(script)) {}

  SourceResult read(HeaderSink& sink) override {
    sink.setFacts(ReaderFacts{.formatCode = 0x30000, .filterCode = 0, .isKnown = true});
    std::istringstream lines(mScript);
    std::string command, argument;
    SourceResult result;
    while (lines >> command) {
      if (command == "entry") {
        lines >> argument;
        if (!sink.add(RawEntry{.path = argument})) return SourceResult{.end = SourceEnd::stopped};
      } else if (command == "hold") {
        sink.holdFromHere();
        result.finish = [](std::vector<RawEntry>& held,
                           const std::function<bool(std::string_view)>& isListedBefore) {
          for (RawEntry& entry : held) {
            if (!isListedBefore(entry.path + "-renamed")) entry.path += "-renamed";
          }
        };
      } else if (command == "allocate" || command == "hog") {
        std::size_t mebibytes = 0;
        lines >> mebibytes;
        for (std::size_t i = 0; i < mebibytes; ++i) {
          if (command == "allocate" && sink.shouldStop()) {
            return SourceResult{.end = SourceEnd::stopped};
          }
          auto* block = static_cast<char*>(std::malloc(std::size_t{1} << 20));
          if (block == nullptr) throw std::bad_alloc();
          std::memset(block, 1, std::size_t{1} << 20);  // kept: a leak is what is measured
          mBlocks.push_back(block);
          if (command == "allocate") std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      } else if (command == "stall") {
        for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } else if (command == "sleep") {
        int milliseconds = 0;
        lines >> milliseconds;
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      } else if (command == "crash") {
        std::abort();
      } else if (command == "pid") {
        test::writeFile(mFile.string() + ".pid", std::to_string(::getpid()));
      }
    }
    return result;
  }

 private:
  std::filesystem::path mFile;
  std::string mScript;
  std::vector<char*> mBlocks;
};

std::unique_ptr<HeaderSource> makeScriptSource(std::filesystem::path file,
                                               std::unique_ptr<InputFile> input) {
  std::string script = input->readAt(0, static_cast<std::size_t>(input->size())).value_or("");
  return std::make_unique<ScriptSource>(std::move(file), std::move(script));
}

// Keeper: the consumer that keeps every entry's path.
class Keeper final : public EntryConsumer {
 public:
  bool take(RawEntry&& entry, bool isHeld) override {
    paths.push_back(entry.path);
    held.push_back(isHeld);
    return true;
  }
  std::vector<std::string> paths;
  std::vector<bool> held;
};

ListingBounds boundsOf(double seconds, std::size_t memoryBudget) {
  return ListingBounds{.clock = [] { return steady_clock::now(); },
                       .deadline = deadlineAfter(steady_clock::now(), seconds),
                       .maxEntries = 1000,
                       .maxNameBytes = 100'000,
                       .stopGrace = std::chrono::milliseconds(100),
                       .memoryBudget = memoryBudget};
}

// Listed: what one listing in a lister gave, and how long it took.
struct Listed {
  Collected collected;
  std::vector<std::string> paths;
  std::chrono::steady_clock::duration took{};
};

Listed listScript(const std::filesystem::path& file, double seconds, std::size_t memoryBudget = 0) {
  Keeper keeper;
  const auto started = steady_clock::now();
  std::optional<Collected> collected =
      collectInLister(file, &makeScriptSource, boundsOf(seconds, memoryBudget), keeper);
  EXPECT_TRUE(collected) << "no lister could be started";
  return Listed{.collected = collected.value_or(Collected{}),
                .paths = keeper.paths,
                .took = steady_clock::now() - started};
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// isRunning: process `pid` exists and has not ended (a zombie has: it
// waits for whoever reaps orphans).
bool isRunning(pid_t pid) {
  const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto state = stat.rfind(')');
  return state != std::string::npos && state + 2 < stat.size() && stat[state + 2] != 'Z';
}

// waitForEnd: whether process `pid` ends within `limit`.
bool waitForEnd(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = steady_clock::now() + limit;
  while (isRunning(pid)) {
    if (steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

pid_t pidOf(const std::filesystem::path& file) {
  return static_cast<pid_t>(std::stol(test::readFile(file.string() + ".pid")));
}

// libarchive's own memory is bounded where it is allocated: a reader that
// allocates without end ends its listing at the lister's budget, whether it
// returns when stopped or goes on regardless; the entries listed before
// are kept, and none of that memory was ever the caller's.
TEST(ListerProcess, MemoryBudgetEndsTheListing) {
  TempDir dir;
  struct Row {
    const char* name;
    const char* script;
    bool isAbandoned;
  };
  const Row rows[] = {
      {"returns when stopped", "entry a entry b allocate 4096", false},
      {"deaf to the stop", "entry a entry b hog 4096", true},
  };
  const long peakBefore = peakResidentKiB();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto file = dir.write(std::string(row.name) + ".tar", row.script);
    const Listed listed = listScript(file, 60.0, std::size_t{64} << 20);
    EXPECT_EQ(listed.paths, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(listed.collected.end, SourceEnd::stopped);
    EXPECT_TRUE(listed.collected.isOverMemoryBudget);
    EXPECT_FALSE(listed.collected.isPastDeadline);
    EXPECT_EQ(listed.collected.isAbandoned, row.isAbandoned);
    EXPECT_TRUE(listed.collected.facts.isKnown);
    EXPECT_LT(listed.took, std::chrono::seconds(30));  // the budget ended it, not the limit
  }
  EXPECT_LT(peakResidentKiB() - peakBefore, 32 * 1024);
}

// A reader deaf to the stop ends with its lister a grace after the
// deadline: the call returns the entries so far, and nothing of the
// listing goes on afterwards.
TEST(ListerProcess, StuckReaderEndsWithItsLister) {
  TempDir dir;
  // A lister started first, so that the deadline does not pass while one
  // starts (a fork of this large process takes long under sanitizers).
  (void)listScript(dir.write("warm.tar", "entry w"), 10.0);
  const auto file = dir.write("stuck.tar", "pid entry a stall");
  const Listed listed = listScript(file, 1.0);
  EXPECT_EQ(listed.paths, std::vector<std::string>{"a"});
  EXPECT_EQ(listed.collected.end, SourceEnd::stopped);
  EXPECT_TRUE(listed.collected.isPastDeadline);
  EXPECT_TRUE(listed.collected.isAbandoned);
  EXPECT_LT(listed.took, std::chrono::seconds(4));
  // Ended: it is gone at once, a busy machine and sanitizers allowing.
  EXPECT_TRUE(waitForEnd(pidOf(file), std::chrono::seconds(3)));
}

// A reader that crashes takes its lister along, not the caller: the
// listing fails (or keeps what it had), and the next one gets a new lister.
TEST(ListerProcess, CrashEndsOnlyTheLister) {
  TempDir dir;
  const Listed early = listScript(dir.write("early.tar", "crash"), 10.0);
  EXPECT_EQ(early.collected.end, SourceEnd::failure);
  EXPECT_EQ(early.collected.error, ArchiveError::cannotRead(""));
  const Listed late = listScript(dir.write("late.tar", "entry a sleep 100 crash"), 10.0);
  EXPECT_EQ(late.paths, std::vector<std::string>{"a"});
  EXPECT_EQ(late.collected.end, SourceEnd::failure);
  const Listed next = listScript(dir.write("next.tar", "entry b"), 10.0);
  EXPECT_EQ(next.paths, std::vector<std::string>{"b"});
  EXPECT_EQ(next.collected.end, SourceEnd::end);
}

// Held entries cross as they come and are renamed at the end by the
// source's own decision, which sees the entries listed before them.
TEST(ListerProcess, HeldEntriesAreRenamedAtTheEnd) {
  TempDir dir;
  const auto file = dir.write("held.tar", "entry b-renamed hold entry a entry b");
  Keeper keeper;
  std::optional<Collected> collected =
      collectInLister(file, &makeScriptSource, boundsOf(10.0, 0), keeper);
  ASSERT_TRUE(collected);
  EXPECT_EQ(keeper.paths, (std::vector<std::string>{"b-renamed", "a", "b"}));
  EXPECT_EQ(keeper.held, (std::vector<bool>{false, true, true}));
  ASSERT_TRUE(collected->finish);
  std::vector<RawEntry> held = {RawEntry{.path = "a"}, RawEntry{.path = "b"}};
  collected->finish(held, [](std::string_view) { return false; });
  EXPECT_EQ(held[0].path, "a-renamed");
  EXPECT_EQ(held[1].path, "b");  // an earlier entry reads b-renamed already
}

// One lister serves listing after listing, then ends itself when idle.
TEST(ListerProcess, ServesInTurnThenEndsWhenIdle) {
  TempDir dir;
  const auto first = dir.write("first.tar", "pid entry a");
  const auto second = dir.write("second.tar", "pid entry b");
  (void)listScript(first, 10.0);
  (void)listScript(second, 10.0);
  EXPECT_EQ(pidOf(first), pidOf(second));
  EXPECT_TRUE(waitForEnd(pidOf(first), kIdleLife + std::chrono::seconds(3)));
  (void)listScript(first, 10.0);
  EXPECT_NE(pidOf(first), pidOf(second));
}

// listWithPipeOpen: a new lister starts while this process holds both
// ends of a pipe (not close-on-exec); once this process closes the write
// end, the read end must see its end at once: the lister keeps nothing of
// the host's open. Exits 0 when it does.
[[noreturn]] void listWithPipeOpen(const std::filesystem::path& file) {
  int ends[2];
  if (::pipe(ends) != 0) std::_Exit(2);
  const Listed listed = listScript(file, 10.0);
  if (listed.paths != std::vector<std::string>{"a"}) std::_Exit(3);
  ::close(ends[1]);
  pollfd wait{.fd = ends[0], .events = POLLIN, .revents = 0};
  char byte = 0;
  const bool isEnded = ::poll(&wait, 1, 500) == 1 && ::read(ends[0], &byte, 1) == 0;
  std::_Exit(isEnded ? 0 : 1);
}

TEST(ListerProcessDeathTest, KeepsNoDescriptorOfTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const auto file = dir.write("a.tar", "entry a");
  EXPECT_EXIT(listWithPipeOpen(file), ::testing::ExitedWithCode(0), "");
}

// underIndexerSandbox: what an indexer's sandbox forbids (signalling,
// resource limits, starting programs) ends the process with SIGSYS; the
// listings, hostile ones included, still work within their bounds.
// Exits 0 when they do.
[[noreturn]] void listUnderIndexerSandbox(const std::filesystem::path& dir) {
  const int forbidden[] = {
      SYS_kill,   SYS_tkill,    SYS_tgkill,          SYS_setrlimit,         SYS_prlimit64,
      SYS_execve, SYS_execveat, SYS_rt_sigqueueinfo, SYS_pidfd_send_signal, SYS_pidfd_open};
  std::vector<sock_filter> program;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (const int call : forbidden) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(call), 0, 1));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog filter{.len = static_cast<unsigned short>(program.size()),
                          .filter = program.data()};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::_Exit(2);
  }
  const Listed plain = listScript(dir / "plain.tar", 10.0);
  if (plain.paths != std::vector<std::string>{"a"} || plain.collected.end != SourceEnd::end) {
    std::_Exit(3);
  }
  const Listed stuck = listScript(dir / "stuck.tar", 1.0);
  if (stuck.paths != std::vector<std::string>{"a"} || !stuck.collected.isAbandoned) std::_Exit(4);
  const Listed hog = listScript(dir / "hog.tar", 60.0, std::size_t{64} << 20);
  if (!hog.collected.isOverMemoryBudget) std::_Exit(5);
  std::_Exit(0);
}

TEST(ListerProcessDeathTest, WorksInAnIndexerSandbox) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  (void)dir.write("plain.tar", "entry a");
  (void)dir.write("stuck.tar", "entry a stall");
  (void)dir.write("hog.tar", "entry a hog 4096");
  EXPECT_EXIT(listUnderIndexerSandbox(dir.path()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vexel::readers_internal
