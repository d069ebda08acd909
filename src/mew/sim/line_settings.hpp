// What the master at the other end of the simulator's pseudo-terminal set the
// line to, as far as a pseudo-terminal keeps it: Linux keeps the baud rate,
// the stop bits and PARODD, but always reports 8 data bits and drops PARENB.
#pragma once

#include <optional>

namespace mew::sim {

struct LineSettings {
  int baudrate = 0;
  int stopbits = 1;
  bool parity_odd = false;  // 'O'; 'E' and 'N' look alike on a pseudo-terminal
};

// Reads the settings of the terminal `fd` (any side of the pseudo-terminal);
// nothing when they cannot be read.
std::optional<LineSettings> read_line_settings(int fd);

}  // namespace mew::sim
