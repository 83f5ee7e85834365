#include "archiver/process_runner.h"

#include "readers/archive_error.h"
#include "support/print.h"
#include "support/skip.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace vexel {
namespace {

const std::filesystem::path kFake = VEXEL_FAKE_ARCHIVER;

RunResult runFake(const std::vector<std::string>& actions,
                  const ProcessRunner::Progress& progress = nullptr,
                  const std::shared_ptr<TaskHandle>& task = nullptr) {
  return ProcessRunner::run(kFake, actions, std::nullopt, task, progress);
}

// Collects progress calls from the reader thread.
struct ProgressLog {
  std::mutex lock;
  std::vector<double> values;
  ProcessRunner::Progress callback() {
    return [this](double value) {
      const std::lock_guard guard(lock);
      values.push_back(value);
    };
  }
};

ArchiveError::Kind errorKindOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ArchiveError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no ArchiveError thrown";
  return ArchiveError::Kind::toolMissing;
}

TEST(ProcessRunner, LastPercent) {
  const struct {
    std::string_view text;
    std::optional<int> percent;
  } rows[] = {
      {"12%", 12},
      {"5% then 17%", 17},
      {"100%", 100},
      {"101%", std::nullopt},
      {"1234%", std::nullopt},
      {"1234% 9%", 9},
      {"050%", 50},
      {"0%", 0},
      {"12 %", std::nullopt},
      {"12%%", 12},
      {"7% 8", 7},
      {"\xEF\xBC\x95\xEF\xBC\x90\xEF\xBC\x85", std::nullopt},  // full-width 50%
      {"\xEF\xBC\x95"
       "0%",
       0},  // full-width 5 breaks the run
      {"no percent here", std::nullopt},
      {"", std::nullopt},
      {" 23%\b\b\b\b 45%\b\b\b\b", 45},  // how the archiver redraws its counter
      {"\b\b\b\b 9%", 9},
      {"5\xCC\x81%", std::nullopt},   // 5 with a combining acute is not a digit
      {"42%\xCC\x81", std::nullopt},  // nor is "%" with one
      {"30% 42%\xCC\x81", 30},
      {"\xD8\x80"
       "7%",
       std::nullopt},                    // a prepended mark takes the 7 with it
      {"8\xE2\x80\x8D%", std::nullopt},  // zero-width joiner
      {"\xFF"
       "12%",
       12},  // ill-formed bytes are other characters
      {"1\xFF"
       "2%",
       2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(ProcessRunner::lastPercent(row.text), row.percent);
  }
}

TEST(ProcessRunner, ReportsEachNewPercentageOnce) {
  ProgressLog log;
  const RunResult result = runFake({"out: 10%\\b\\b\\b\\b", "sleep:300", "out: 10%\\b\\b\\b\\b",
                                    "sleep:300", "out: 20%\\b\\b\\b\\b"},
                                   log.callback());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.stdout, " 10%\b\b\b\b 10%\b\b\b\b 20%\b\b\b\b");
  EXPECT_EQ(log.values, (std::vector<double>{0.1, 0.2}));
}

TEST(ProcessRunner, IgnoresPercentagesOnStandardError) {
  ProgressLog log;
  const RunResult result = runFake({"err:10%", "sleep:50", "err:50%", "out:done"}, log.callback());
  EXPECT_TRUE(log.values.empty());
  EXPECT_EQ(result.stderr, "10%50%");
  EXPECT_EQ(result.stdout, "done");
}

TEST(ProcessRunner, CallsProgressOffTheCallingThread) {
  std::thread::id seen;
  const RunResult result = runFake({"out:1%"}, [&](double) { seen = std::this_thread::get_id(); });
  EXPECT_NE(seen, std::thread::id());
  EXPECT_NE(seen, std::this_thread::get_id());
}

TEST(ProcessRunner, ProgressExceptionIsRethrownAfterTheChildEnds) {
  EXPECT_THROW((void)runFake({"out:5%", "sleep:50", "out:tail"},
                             [](double) { throw std::runtime_error("stop"); }),
               std::runtime_error);
}

TEST(ProcessRunner, NonZeroStatusIsAResult) {
  const RunResult result = runFake({"err:ERROR: something broke\\n", "exit:2"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.stderr, "ERROR: something broke\n");
  EXPECT_EQ(result.stdout, "");
}

TEST(ProcessRunner, SignalEndsWithItsNumber) { EXPECT_EQ(runFake({"signal:9"}).status, 9); }

TEST(ProcessRunner, DecodesIllFormedOutputLeniently) {
  const RunResult result = runFake({"out:a\\xFFb", "err:\\xC3"});
  EXPECT_EQ(result.stdout,
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(result.stderr, "\xEF\xBF\xBD");
}

TEST(ProcessRunner, MissingProgramCannotStart) {
  test::TempDir dir;
  const std::filesystem::path tool = dir / "tool";
  try {
    (void)ProcessRunner::run(tool, {});
    FAIL() << "no error";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::failed("无法启动 tool：" + std::string(std::strerror(ENOENT))));
  }
  // Present but not executable, and a working directory that does not exist.
  dir.write("plain", "#!/bin/sh\n");
  try {
    (void)ProcessRunner::run(dir / "plain", {});
    FAIL() << "no error";
  } catch (const ArchiveError& error) {
    EXPECT_EQ(error, ArchiveError::failed("无法启动 plain：" + std::string(std::strerror(EACCES))));
  }
  EXPECT_EQ(errorKindOf([&] { (void)ProcessRunner::run(kFake, {}, dir / "missing"); }),
            ArchiveError::Kind::failed);
}

TEST(ProcessRunner, LaunchFailureDetachesTheHandle) {
  auto task = std::make_shared<TaskHandle>();
  EXPECT_EQ(
      errorKindOf([&] { (void)ProcessRunner::run("/nonexistent/tool", {}, std::nullopt, task); }),
      ArchiveError::Kind::failed);
  EXPECT_FALSE(task->isCancelled());
  // The same handle serves the next run.
  EXPECT_EQ(ProcessRunner::run(kFake, {"out:ok"}, std::nullopt, task).stdout, "ok");
}

TEST(ProcessRunner, CancelledHandleNeverStartsTheChild) {
  test::TempDir dir;
  auto task = std::make_shared<TaskHandle>();
  task->cancel();
  task->cancel();  // harmless
  EXPECT_TRUE(task->isCancelled());
  const std::filesystem::path marker = dir / "started";
  // The program would leave a file behind if it ran.
  EXPECT_EQ(errorKindOf([&] {
              (void)ProcessRunner::run("/bin/sh", {"-c", "echo > " + marker.string()}, std::nullopt,
                                       task);
            }),
            ArchiveError::Kind::cancelled);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// Cancels from the progress callback once the child reports that it is up,
// so the cancel always meets a running child.
TEST(ProcessRunner, CancelDuringTheRunTerminatesTheChild) {
  const struct {
    const char* name;
    std::vector<std::string> actions;
  } rows[] = {
      {"child alone", {"out:1%", "sleep:120000"}},
      {"helper holding the pipes", {"holder:120000", "out:1%", "sleep:120000"}},
      {"helper outlives the child", {"holder:120000", "out:1%"}},
      // SIGTERM ignored: SIGKILL follows two seconds later.
      {"child ignoring SIGTERM", {"ignore:15", "out:1%", "sleep:120000"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto task = std::make_shared<TaskHandle>();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(errorKindOf([&] {
                (void)runFake(
                    row.actions, [&](double) { task->cancel(); }, task);
              }),
              ArchiveError::Kind::cancelled);
    // Not a timing test: a cancel that failed would only end after two minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  }
}

TEST(ProcessRunner, CancelAfterTheChildIsGoneStillCancels) {
  auto task = std::make_shared<TaskHandle>();
  // The last chunk reaches the reader before end-of-file; the child has
  // exited (or is about to) when cancel() runs.
  EXPECT_EQ(errorKindOf([&] {
              (void)runFake(
                  {"out:100%"}, [&](double) { task->cancel(); }, task);
            }),
            ArchiveError::Kind::cancelled);
  EXPECT_EQ(errorKindOf([&] { (void)runFake({"out:x"}, nullptr, task); }),
            ArchiveError::Kind::cancelled);
}

TEST(ProcessRunner, ForcesTheLocaleAndKeepsTheRestOfTheEnvironment) {
  ASSERT_EQ(setenv("LANG", "C", 1), 0);
  ASSERT_EQ(unsetenv("LC_ALL"), 0);
  ASSERT_EQ(setenv("VEXEL_RUNNER_PROBE", "a = b; \xE4\xB8\xAD", 1), 0);
  std::map<std::string, std::string> expected;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const size_t equals = entry.find('=');
    expected[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
  }
  // en_US.UTF-8 where it is installed, else C.UTF-8.
  const locale_t probe = newlocale(LC_ALL_MASK, "en_US.UTF-8", locale_t{});
  if (probe != locale_t{}) freelocale(probe);
  const std::string locale = probe != locale_t{} ? "en_US.UTF-8" : "C.UTF-8";
  expected["LANG"] = locale;
  expected["LC_ALL"] = locale;

  const RunResult result = runFake({"env"});
  std::map<std::string, std::string> seen;
  size_t start = 0;
  for (size_t end; (end = result.stdout.find('\0', start)) != std::string::npos; start = end + 1) {
    const std::string entry = result.stdout.substr(start, end - start);
    const size_t equals = entry.find('=');
    EXPECT_FALSE(seen.contains(entry.substr(0, equals))) << entry;
    seen[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
  }
  EXPECT_EQ(seen, expected);
  unsetenv("VEXEL_RUNNER_PROBE");
}

// Without a UTF-8 locale bsdtar writes every non-ASCII name as octal escapes.
TEST(ProcessRunner, ArchiverPrintsUtf8Names) {
  if (::access("/usr/bin/bsdtar", X_OK) != 0) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  test::TempDir dir;
  dir.write("in/\xE9\xA1\xB9\xE7\x9B\xAE \xCE\xB1.txt", "x");
  ASSERT_EQ(
      ProcessRunner::run("/usr/bin/bsdtar", {"-cf", "a.tar", "-C", "in", "."}, dir.path()).status,
      0);
  const RunResult listed = ProcessRunner::run("/usr/bin/bsdtar", {"-tf", "a.tar"}, dir.path());
  EXPECT_EQ(listed.stdout, "./\n./\xE9\xA1\xB9\xE7\x9B\xAE \xCE\xB1.txt\n") << listed.stderr;
}

// A caller that ignores SIGCHLD (or asks for SA_NOCLDWAIT) has its children
// reaped by the kernel; runs still report the real status and still cancel.
TEST(ProcessRunner, CallerIgnoringSigchldStillGetsTheStatus) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction noWait {};
  noWait.sa_handler = [](int) {};
  noWait.sa_flags = SA_NOCLDWAIT;
  for (const struct sigaction& setting : {ignore, noWait}) {
    SCOPED_TRACE(setting.sa_flags);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGCHLD, &setting, &previous), 0);
    const struct {
      std::vector<std::string> actions;
      int status;
      std::string out;
      std::string err;
    } rows[] = {
        {{"out:a", "err:b"}, 0, "a", "b"},
        {{"err:broken", "exit:2"}, 2, "", "broken"},
        {{"signal:9"}, 9, "", ""},
        {{"holder:300", "out:held"}, 0, "held", ""},
        // Nothing of SIGCHLD's setting reaches the archiver.
        {{"signals"}, 0, "group:shared blocked: ignored:", ""},
        {{"session"}, 0, "session:shared", ""},  // the keeper's, without a terminal
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(row.actions.front());
      const RunResult result = runFake(row.actions);
      EXPECT_EQ(result.status, row.status);
      EXPECT_EQ(result.stdout, row.out);
      EXPECT_EQ(result.stderr, row.err);
    }
    EXPECT_EQ(errorKindOf([] { (void)ProcessRunner::run("/nonexistent/tool", {}); }),
              ArchiveError::Kind::failed);
    auto task = std::make_shared<TaskHandle>();
    EXPECT_EQ(errorKindOf([&] {
                (void)runFake(
                    {"out:5%", "sleep:120000"}, [&](double) { task->cancel(); }, task);
              }),
              ArchiveError::Kind::cancelled);
    sigaction(SIGCHLD, &previous, nullptr);
  }
}

TEST(ProcessRunner, ChildSeesEmptyInputOnlyTheStandardStreamsAndItsDirectory) {
  EXPECT_EQ(runFake({"stdin"}).stdout, "stdin:0");
  // Descriptors the caller left inheritable do not reach the child either.
  const int leaked = ::dup(STDIN_FILENO);
  ASSERT_GE(leaked, 0);
  EXPECT_EQ(runFake({"fds"}).stdout, "0 1 2");
  ::close(leaked);

  test::TempDir dir;
  EXPECT_EQ(ProcessRunner::run(kFake, {"cwd"}, dir.path()).stdout,
            std::filesystem::canonical(dir.path()).string());
  // A relative program path is the caller's, not the child's directory's.
  const std::filesystem::path relative = std::filesystem::relative(kFake);
  EXPECT_EQ(ProcessRunner::run(relative, {"out:rel"}, dir.path()).stdout, "rel");
}

TEST(ProcessRunner, ChildLeadsItsOwnGroupWithDefaultSignals) {
  // What the caller ignores or blocks does not reach the child.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previousPipe {};
  struct sigaction previousHup {};
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previousPipe), 0);
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &previousHup), 0);
  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  const RunResult result = runFake({"signals"});
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGHUP, &previousHup, nullptr);
  sigaction(SIGPIPE, &previousPipe, nullptr);
  EXPECT_EQ(result.stdout, "group:own blocked: ignored:");
  EXPECT_EQ(runFake({"session"}).stdout, "session:own");
}

// A child that reads the terminal (as bsdtar does for a passphrase) must not
// reach the caller's: from a background group it would be stopped for good.
// The test runs itself again under script(1), which gives it a terminal.
TEST(ProcessRunner, ChildHasNoTerminal) {
  if (getenv("VEXEL_TTY_CHECK") != nullptr) {
    const RunResult result =
        ProcessRunner::run("/bin/sh", {"-c", "read line </dev/tty && echo read"});
    EXPECT_NE(result.status, 0) << result.stdout;
    return;
  }
  if (::access("/usr/bin/script", X_OK) != 0)
    VEXEL_SKIP_UNLESS_CI() << "script (bsdutils) is not installed";
  // A child stopped at the terminal would hold the run until timeout's 60 s.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const RunResult result = ProcessRunner::run(
      "/usr/bin/env", {"VEXEL_TTY_CHECK=1", "timeout", "60", "script", "-qec",
                       self + " --gtest_filter=ProcessRunner.ChildHasNoTerminal", "/dev/null"});
  EXPECT_EQ(result.status, 0) << result.stdout << result.stderr;
}

TEST(ProcessRunner, PassesArgumentsAsTheyAre) {
  const RunResult result =
      ProcessRunner::run("/bin/sh", {"-c", "printf '%s|' \"$0\" \"$@\"", "$HOME", "a b", "*", ""});
  EXPECT_EQ(result.stdout, "$HOME|a b|*||");
}

TEST(ProcessRunner, CollectsLargeOutputOnBothStreamsIntact) {
  constexpr long kBytes = 50'000'000;  // on each stream: 100 MB in all
  const RunResult result = runFake({"bulk:" + std::to_string(kBytes)}, [](double) {});
  ASSERT_EQ(result.stdout.size(), static_cast<size_t>(kBytes));
  EXPECT_EQ(result.stdout, result.stderr);
  char line[16];
  for (size_t n = 0; n * 10 < result.stdout.size(); n += 99991) {
    std::snprintf(line, sizeof line, "%09zu\n", n);
    ASSERT_EQ(result.stdout.compare(n * 10, 10, line), 0) << n;
  }
  EXPECT_EQ(result.stdout.compare(result.stdout.size() - 10, 10, "004999999\n"), 0);
}

}  // namespace
}  // namespace vexel
