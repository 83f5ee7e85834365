// terminal.h: facts about the terminal a host prints to.
//
//   const auto columns = vexel::platform::terminalColumns(1).value_or(100);
//   const auto behindPipes = vexel::platform::controllingTerminalColumns();
//
// Safe from any thread.
#pragma once

#include <cstddef>
#include <optional>

namespace vexel::platform {

// terminalColumns: the width in columns of the terminal open on `fd`, or
// none when `fd` is not a terminal or reports no width.
[[nodiscard]] std::optional<std::size_t> terminalColumns(int fd);

// controllingTerminalColumns: the width of the process's controlling
// terminal (/dev/tty), for a program whose output and errors both go to
// pipes (Midnight Commander's viewer reads both); none when the process has
// no controlling terminal.
[[nodiscard]] std::optional<std::size_t> controllingTerminalColumns();

}  // namespace vexel::platform
