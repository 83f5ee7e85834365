// pseudo_terminal.h: a terminal for a child that asks its user something.
//
// Some programs read a secret only from their terminal: 7-Zip asks for a
// password there when none is on its command line, which keeps the password
// out of the argument list that every local user can read (ps,
// /proc/PID/cmdline). `PseudoTerminal` is a new pseudo-terminal pair: the
// child gets the terminal side as its controlling terminal
// (ProcessOptions::controllingTerminal, child_process.h); this process
// reads the child's prompts from the child's output and types the answer on
// the controller side.
//
// A secret is typed only once the program has turned echo off: programs
// flush what was typed before that (7-Zip prints its prompt, then sets the
// terminal with TCSAFLUSH, so an answer typed on seeing the prompt can be
// thrown away), and nothing typed with echo on must come back.
//
//   std::error_code error;
//   auto terminal = vexel::PseudoTerminal::open(error);
//   vexel::ChildProcess child;
//   error = child.start({.program = sevenZip, .arguments = {"t", "--", archive},
//                        .controllingTerminal = terminal->name()});
//   terminal->closeTerminalSide();   // so the controller reads end-of-file at the end
//   ... on "Enter password" in the child's output:
//   terminal->typeSecret(password + "\n");
//
// Any thread; one object is used by one thread at a time.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "process/unique_fd.h"

namespace vexel {

// PseudoTerminal: a pseudo-terminal pair, both descriptors close-on-exec and
// 3 or above. Movable, not copyable.
class PseudoTerminal {
 public:
  // open: a new pair with the usual settings (echo on, lines); nothing when
  // the system has none to give, with `error` saying why.
  [[nodiscard]] static std::optional<PseudoTerminal> open(std::error_code& error);

  // name: the terminal side's device path, for ProcessOptions::controllingTerminal.
  [[nodiscard]] const std::filesystem::path& name() const noexcept { return mName; }
  // controller: the side this process reads and types on.
  [[nodiscard]] int controller() const noexcept { return mController.get(); }

  // closeTerminalSide: closes this process's descriptor of the terminal side,
  // held open until the child has opened it; afterwards the controller reads
  // end-of-file (an error, on Linux) once the child and its helpers are gone.
  void closeTerminalSide() noexcept { mTerminal.reset(); }

  // isEchoing: whether the terminal echoes what is typed now; nothing when
  // its settings cannot be read.
  [[nodiscard]] std::optional<bool> isEchoing() const noexcept;

  // type: writes `text` to the controller side in full, as if typed; false
  // with errno set when it cannot.
  [[nodiscard]] bool type(std::string_view text) const noexcept;

  // typeSecret: waits up to `patience` for the program to turn echo off
  // (the sign that it reads a secret now, after any flush), then types
  // `text`. False with errno set when it cannot, ETIMEDOUT when echo stayed
  // on: the secret is then not typed at all. Blocks the calling thread.
  [[nodiscard]] bool typeSecret(
      std::string_view text, std::chrono::milliseconds patience = std::chrono::seconds(10)) const;

 private:
  PseudoTerminal() = default;

  UniqueFd mController;
  UniqueFd mTerminal;
  std::filesystem::path mName;
};

}  // namespace vexel
