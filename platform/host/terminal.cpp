#include "host/terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vexel::platform {

std::optional<std::size_t> terminalColumns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
  return static_cast<std::size_t>(size.ws_col);
}

std::optional<std::size_t> controllingTerminalColumns() {
  // Not blocking, and not becoming the process's controlling terminal.
  const int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const std::optional<std::size_t> columns = terminalColumns(fd);
  ::close(fd);
  return columns;
}

}  // namespace vexel::platform
