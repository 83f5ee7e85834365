#include "process/pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>

#include "internal/spawn.h"

namespace vexel {
namespace {

std::error_code terminalErrnoCode(int code) { return {code, std::generic_category()}; }

// ptsname's answer lives in a static buffer (ptsname_r is not portable).
std::mutex& nameLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::optional<PseudoTerminal> PseudoTerminal::open(std::error_code& error) {
  PseudoTerminal terminal;
  terminal.mController = UniqueFd(process_internal::openTerminalController());
  if (!terminal.mController || !liftAboveStandard(terminal.mController) ||
      grantpt(terminal.mController.get()) != 0 || unlockpt(terminal.mController.get()) != 0) {
    error = terminalErrnoCode(errno);
    return std::nullopt;
  }
  {
    const std::lock_guard lock(nameLock());
    const char* name = ptsname(terminal.mController.get());
    if (name == nullptr) {
      error = terminalErrnoCode(errno);
      return std::nullopt;
    }
    terminal.mName = name;
  }
  terminal.mTerminal = UniqueFd(::open(terminal.mName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.mTerminal || !liftAboveStandard(terminal.mTerminal)) {
    error = terminalErrnoCode(errno);
    return std::nullopt;
  }
  error.clear();
  return terminal;
}

std::optional<bool> PseudoTerminal::isEchoing() const noexcept {
  // Read on the controller side: on Linux and the BSDs it gives the
  // terminal side's settings, also once this process has closed that side.
  termios settings{};
  if (tcgetattr(mController.get(), &settings) != 0) return std::nullopt;
  return (settings.c_lflag & ECHO) != 0;
}

bool PseudoTerminal::typeSecret(std::string_view text, std::chrono::milliseconds patience) const {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    const std::optional<bool> echoing = isEchoing();
    if (!echoing) return false;
    if (!*echoing) return type(text);
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool PseudoTerminal::type(std::string_view text) const noexcept {
  return writeAll(mController.get(), text);
}

}  // namespace vexel
