#include "ui/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vexel::platform {

std::optional<std::size_t> terminalColumns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
  return static_cast<std::size_t>(size.ws_col);
}

}  // namespace vexel::platform
