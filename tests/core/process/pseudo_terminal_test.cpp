#include "process/pseudo_terminal.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "process/child_process.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

struct Dialogue {
  int status = -1;
  std::string output;    ///< standard output and error, as they came
  std::string terminal;  ///< what came out on the controller side
};

// Runs `options` on a new terminal and types `answer` as a secret once
// `prompt` has appeared on the child's standard output. A child that never
// ends is terminated after a minute.
Dialogue converse(ProcessOptions options, std::string_view prompt, const std::string& answer) {
  Dialogue dialogue;
  std::error_code error;
  std::optional<PseudoTerminal> terminal = PseudoTerminal::open(error);
  if (!terminal) {
    ADD_FAILURE() << error.message();
    return dialogue;
  }
  options.controllingTerminal = terminal->name();
  ChildProcess child;
  error = child.start(options);
  if (error) {
    ADD_FAILURE() << error.message();
    return dialogue;
  }
  terminal->closeTerminalSide();
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock guard(lock);
    if (!ended.wait_for(guard, std::chrono::seconds(60), [&] { return done; })) child.terminate();
  });
  const UniqueFd output = child.takeOutput();
  const UniqueFd errors = child.takeError();
  bool answered = false;
  const int fds[] = {output.get(), errors.get(), terminal->controller()};
  readUntilClosed(fds, [&](size_t index, std::string_view bytes) {
    (index == 2 ? dialogue.terminal : dialogue.output).append(bytes);
    if (!answered && dialogue.output.find(prompt) != std::string::npos) {
      answered = true;
      EXPECT_TRUE(terminal->typeSecret(answer)) << errno;
    }
  });
  dialogue.status = child.wait();
  {
    const std::lock_guard guard(lock);
    done = true;
  }
  ended.notify_one();
  watchdog.join();
  return dialogue;
}

// The terminal is the child's controlling one (it can open /dev/tty) and its
// input; a secret is typed once echo is off, so it does not come back. Also when the caller ignores
// SIGCHLD and the child is started through a keeper.
TEST(PseudoTerminal, ChildAsksOnItsTerminal) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (const struct sigaction& setting : {standard, ignore}) {
    SCOPED_TRACE(setting.sa_handler == SIG_IGN ? "SIGCHLD ignored" : "SIGCHLD default");
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGCHLD, &setting, &previous), 0);
    const Dialogue dialogue = converse(
        {.program = "/bin/sh",
         .arguments = {"-c",
                       "printf 'Name: '; sleep 0.2; stty -echo </dev/tty; read -r name </dev/tty; "
                       "read -r again; echo \"got:$name\"; [ -t 0 ] && echo input-is-terminal"}},
        "Name: ", "Ann\nBob\n");
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(dialogue.status, 0) << dialogue.output;
    EXPECT_EQ(dialogue.output, "Name: got:Ann\ninput-is-terminal\n");
    EXPECT_EQ(dialogue.terminal.find("Ann"), std::string::npos) << dialogue.terminal;
  }
}

// 7-Zip asks for the password on its terminal when none is on its command
// line, so it never shows in the argument list other users can read.
TEST(PseudoTerminal, SevenZipTakesThePasswordFromTheTerminal) {
  const std::optional<std::filesystem::path> sevenZip = findProgram("7zz");
  if (!sevenZip) VEXEL_SKIP_UNLESS_CI() << "7zz is not installed";
  test::TempDir dir;
  dir.write("secret.txt", "secret\n");
  const ProcessOutcome made = ChildProcess::run(
      {.program = *sevenZip,
       .arguments = {"a", "-bso0", "-tzip", "-pS3cr3t-Pw", "--", "enc.zip", "secret.txt"},
       .workingDirectory = dir.path()});
  ASSERT_EQ(made.status, 0) << made.output << made.error;

  const struct {
    std::string password;
    int status;
    std::string said;
  } rows[] = {{"S3cr3t-Pw", 0, "Everything is Ok"}, {"wrong", 2, "Wrong password"}};
  // Typed on seeing the prompt, the answer raced 7-Zip's flush and was lost
  // about every other time: rounds enough to catch that.
  for (int round = 0; round < 10; ++round) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.password);
      const Dialogue dialogue = converse({.program = *sevenZip,
                                          .arguments = {"t", "--", "enc.zip"},
                                          .workingDirectory = dir.path()},
                                         "Enter password", row.password + "\n");
      EXPECT_EQ(dialogue.status, row.status) << dialogue.output;
      EXPECT_NE(dialogue.output.find(row.said), std::string::npos) << dialogue.output;
      EXPECT_EQ(dialogue.output.find(row.password), std::string::npos);
      EXPECT_EQ(dialogue.terminal.find(row.password), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace vexel
