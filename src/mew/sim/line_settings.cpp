// The kernel's termios2 gives the baud rate as a number (c_ospeed), so no table
// of B* codes is needed here. <asm/termbits.h> clashes with <termios.h>: this
// file includes only the former.
#include "mew/sim/line_settings.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace mew::sim {

std::optional<LineSettings> read_line_settings(int fd) {
  struct termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return std::nullopt;
  LineSettings s;
  s.baudrate = static_cast<int>(tio.c_ospeed);
  s.stopbits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
  s.parity_odd = (tio.c_cflag & PARODD) != 0;
  return s;
}

}  // namespace mew::sim
