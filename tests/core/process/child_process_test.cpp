#include "process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/temp_dir.h"

namespace vexel {
namespace {

using namespace std::chrono_literals;

ProcessOptions shell(const std::string& script, std::vector<std::string> arguments = {}) {
  ProcessOptions options{.program = "/bin/sh", .arguments = {"-c", script, "sh"}};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  return options;
}

// The state letter and parent id of `pid`, from /proc; nothing when it is gone.
std::optional<std::pair<char, pid_t>> statusOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // "pid (name) state ppid ...": the name may hold spaces, not ")".
  const size_t close = line.rfind(')');
  if (close == std::string::npos || close + 4 >= line.size()) return std::nullopt;
  return std::pair{line[close + 2], static_cast<pid_t>(std::stol(line.substr(close + 4)))};
}

bool isRunning(pid_t pid) {
  const auto status = statusOf(pid);
  return status && status->first != 'Z';
}

pid_t parentOf(pid_t pid) {
  const auto status = statusOf(pid);
  return status ? status->second : -1;
}

TEST(ChildProcess, StreamsGoWhereTheyAreSetUp) {
  test::TempDir dir;
  const UniqueFd file(::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(file);
  const struct {
    const char* name;
    ProcessOptions options;
    int status;
    std::string output;
    std::string error;
    std::string file;
  } rows[] = {
      {"both pipes", shell("printf out; printf err >&2; exit 3"), 3, "out", "err", ""},
      {"error to a file",
       [&] {
         ProcessOptions options = shell("printf out; printf err >&2");
         options.error = StreamSetup::descriptor(file.get());
         return options;
       }(),
       0, "out", "", "err"},
      // Two streams on one descriptor, which also is a standard one here.
      {"output as error",
       [&] {
         ProcessOptions options = shell("printf a; printf b >&2; printf c");
         options.output = StreamSetup::descriptor(file.get());
         options.error = StreamSetup::descriptor(file.get());
         return options;
       }(),
       0, "", "", "errabc"},
      {"thrown away",
       [] {
         ProcessOptions options = shell("printf out; read x; echo \"$?\" >&2");
         options.output = StreamSetup::nullDevice();
         return options;
       }(),
       0, "", "1\n", "errabc"},
      {"signal", shell("kill -TERM $$"), SIGTERM, "", "", "errabc"},
      {"arguments as they are", shell("printf '%s|' \"$@\"", {"$HOME", "a b", "*", ""}), 0,
       "$HOME|a b|*||", "", "errabc"},
      {"working directory",
       [&] {
         ProcessOptions options = shell("pwd");
         options.workingDirectory = dir.path();
         return options;
       }(),
       0, std::filesystem::canonical(dir.path()).string() + "\n", "", "errabc"},
      {"environment",
       [] {
         ProcessOptions options = shell("printf '%s' \"$A$B\"");
         const std::pair<std::string, std::string> replaced[] = {{"A", "1"}, {"PATH", "/x"}};
         options.environment = environmentWith(replaced);
         options.environment->push_back("B=2");
         return options;
       }(),
       0, "12", "", "errabc"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const ProcessOutcome outcome = ChildProcess::run(row.options);
    EXPECT_FALSE(outcome.startError) << outcome.startError.message();
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.output, row.output);
    EXPECT_EQ(outcome.error, row.error);
    EXPECT_EQ(test::readFile(dir / "err.txt"), row.file);
  }
}

TEST(ChildProcess, StartFailuresLeaveNothingBehind) {
  test::TempDir dir;
  const std::filesystem::path plain = dir.write("plain.txt", "echo not a program\n");
  const struct {
    const char* name;
    ProcessOptions options;
    std::errc error;
  } rows[] = {
      {"missing program", {.program = "/nonexistent/tool"}, std::errc::no_such_file_or_directory},
      {"not executable", {.program = plain}, std::errc::permission_denied},
      {"bad working directory",
       {.program = "/bin/true", .workingDirectory = "/nonexistent"},
       std::errc::no_such_file_or_directory},
      {"bad descriptor",
       {.program = "/bin/true", .output = StreamSetup::descriptor(-1)},
       std::errc::bad_file_descriptor},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ChildProcess child;
    EXPECT_EQ(child.start(row.options), std::make_error_code(row.error));
    EXPECT_FALSE(child.takeOutput());
    EXPECT_EQ(child.wait(), -1);
  }
  ChildProcess twice;
  ASSERT_FALSE(twice.start({.program = "/bin/true"}));
  EXPECT_EQ(twice.start({.program = "/bin/true"}),
            std::make_error_code(std::errc::operation_in_progress));
  EXPECT_EQ(twice.wait(), 0);
}

// An input pipe: what is written arrives, closing it ends the input, and a
// child that stops reading makes the write fail instead of killing us.
TEST(ChildProcess, InputPipeFeedsTheChild) {
  ChildProcess child;
  ASSERT_FALSE(child.start({.program = "/bin/cat", .input = StreamSetup::pipe()}));
  UniqueFd input = child.takeInput();
  const UniqueFd output = child.takeOutput();
  ASSERT_TRUE(writeAll(input.get(), "typed\n"));
  input.reset();
  std::string seen;
  const int fds[] = {output.get()};
  readUntilClosed(fds, [&](size_t, std::string_view bytes) { seen.append(bytes); });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(seen, "typed\n");

  ChildProcess deaf;
  ASSERT_FALSE(deaf.start({.program = "/bin/true", .input = StreamSetup::pipe()}));
  const UniqueFd deafInput = deaf.takeInput();
  EXPECT_EQ(deaf.wait(), 0);
  EXPECT_FALSE(writeAll(deafInput.get(), std::string(1 << 20, 'x')));
  EXPECT_EQ(errno, EPIPE);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

// A child that is given up (an error path) is killed with its helpers and
// reaped: nothing keeps running, no zombie stays.
TEST(ChildProcess, GivingUpKillsAndReaps) {
  test::TempDir dir;
  pid_t shellPid = 0;
  pid_t helperPid = 0;
  {
    ChildProcess child;
    ASSERT_FALSE(
        child.start(shell("sleep 60 & echo $! > \"$1\"; wait", {(dir / "helper").string()})));
    shellPid = child.pid();
    const UniqueFd output = child.takeOutput();
    while (test::readFile(dir / "helper").empty()) std::this_thread::sleep_for(10ms);
    helperPid = static_cast<pid_t>(std::stol(test::readFile(dir / "helper")));
  }
  EXPECT_NE(::kill(shellPid, 0), 0);  // reaped, not a zombie
  for (int k = 0; k < 500 && isRunning(helperPid); ++k) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(isRunning(helperPid));
}

TEST(ChildProcess, TerminateEndsTheWholeGroup) {
  ChildProcess child;
  ASSERT_FALSE(child.start(shell("sleep 60 & sleep 60; wait")));
  const UniqueFd output = child.takeOutput();
  const UniqueFd error = child.takeError();
  std::thread([&child] {
    std::this_thread::sleep_for(100ms);
    child.terminate();
  }).join();
  const int fds[] = {output.get(), error.get()};
  readUntilClosed(fds, [](size_t, std::string_view) {});  // the helper held them too
  EXPECT_EQ(child.wait(), SIGTERM);
}

// A child that catches SIGTERM (7-Zip at its password prompt does) outlasts
// terminate(); kill() ends it.
TEST(ChildProcess, KillEndsWhatTerminateCannot) {
  ChildProcess child;
  ASSERT_FALSE(child.start(shell("trap '' TERM; echo ready; while :; do sleep 1; done")));
  const UniqueFd output = child.takeOutput();
  const UniqueFd error = child.takeError();
  char ready[6] = {};
  ASSERT_EQ(::read(output.get(), ready, 6), 6);
  child.terminate();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(::kill(child.pid(), 0), 0);  // still there
  child.kill();
  EXPECT_EQ(child.wait(), SIGKILL);
}

// A program that may outlive us (a browser) is not our child and does not
// keep us waiting; one that ends at once reports its status.
TEST(ChildProcess, LaunchDoesNotWaitForWhatOutlivesIt) {
  test::TempDir dir;
  ProcessOptions quick = shell("exit 4");
  quick.output = StreamSetup::nullDevice();
  quick.error = StreamSetup::nullDevice();
  const LaunchOutcome done = ChildProcess::launch(quick, 30s);
  EXPECT_FALSE(done.startError);
  EXPECT_EQ(done.status, 4);

  // Two that last (a browser run in the foreground), started at once.
  std::vector<ProcessOptions> lasting;
  for (const char* name : {"first", "second"}) {
    lasting.push_back(shell("echo $$ > \"$1\"; exec sleep 60", {(dir / name).string()}));
    lasting.back().output = StreamSetup::nullDevice();
    lasting.back().error = StreamSetup::nullDevice();
  }
  const auto started = std::chrono::steady_clock::now();
  const std::vector<LaunchOutcome> running = ChildProcess::launchAll(lasting, 200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  ASSERT_EQ(running.size(), 2U);
  for (const char* name : {"first", "second"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(running[name[0] == 'f' ? 0 : 1].startError);
    EXPECT_FALSE(running[name[0] == 'f' ? 0 : 1].status.has_value());
    while (test::readFile(dir / name).empty()) std::this_thread::sleep_for(10ms);
    const pid_t pid = static_cast<pid_t>(std::stol(test::readFile(dir / name)));
    EXPECT_NE(parentOf(pid), ::getpid());
    EXPECT_EQ(::getpgid(pid), ::getpgid(parentOf(pid)));  // its keeper's group
    ::kill(pid, SIGKILL);
  }

  EXPECT_EQ(ChildProcess::launch({.program = "/nonexistent/browser",
                                  .output = StreamSetup::nullDevice(),
                                  .error = StreamSetup::nullDevice()},
                                 1s)
                .startError,
            std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(ChildProcess::launch(shell("true"), 1s).startError,
            std::make_error_code(std::errc::invalid_argument));  // nobody would read its pipes
}

// A caller killed outright (SIGKILL, which nothing can catch) takes the
// children it tied to itself along, through a keeper too; an untied child
// and a launched program live on. The program says "alive" after a second
// unless it was killed; its own sleep keeps the streams open meanwhile.
TEST(ChildProcess, TiedChildrenEndWithTheirCaller) {
  const struct {
    const char* how;
    bool outlives;
  } rows[] = {{"tied", false}, {"keeper", false}, {"untied", true}, {"launch", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    ChildProcess caller;
    ASSERT_FALSE(caller.start(
        {.program = VEXEL_TIED_CALLER,
         .arguments = {row.how, "/bin/sh", "-c", "sleep 1; echo alive; echo said >&2"}}));
    const UniqueFd output = caller.takeOutput();
    const UniqueFd error = caller.takeError();
    char started[8] = {};
    ASSERT_EQ(::read(output.get(), started, sizeof started), 8);
    ASSERT_EQ(std::string_view(started, sizeof started), "started\n");
    caller.kill();
    EXPECT_EQ(caller.wait(), SIGKILL);
    std::string said[2];
    const int fds[] = {output.get(), error.get()};
    readUntilClosed(fds, [&said](size_t k, std::string_view bytes) { said[k].append(bytes); });
    EXPECT_EQ(said[0], row.outlives ? "alive\n" : "");
    EXPECT_EQ(said[1], row.outlives ? "said\n" : "");
  }
}

TEST(ChildProcess, FindsProgramsOnPath) {
  const std::optional<std::filesystem::path> sh = findProgram("sh");
  ASSERT_TRUE(sh);
  EXPECT_TRUE(sh->is_absolute());
  EXPECT_EQ(sh->filename(), "sh");
  EXPECT_EQ(findProgram("/bin/sh"), std::filesystem::path("/bin/sh"));
  EXPECT_FALSE(findProgram("no-such-program-here"));
  EXPECT_FALSE(findProgram("/etc"));  // a folder is no program
  EXPECT_FALSE(findProgram(""));
}

}  // namespace
}  // namespace vexel
