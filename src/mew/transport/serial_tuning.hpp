// What a serial device is asked for beyond its termios settings: the driver's
// low-latency mode (USB adapters otherwise hold received bytes for their
// latency timer) and the kernel's RS-485 direction control (a native UART
// driving a transceiver). Both are given back when the line closes.
#pragma once

#include <linux/serial.h>

#include <optional>
#include <string>

namespace mew::transport {

struct Rs485Settings {
  bool enabled = false;
  bool rts_on_send = true;    // RTS level while sending; the opposite level after
  double delay_before = 0.0;  // seconds RTS is switched before the first bit goes out
  double delay_after = 0.0;   // seconds RTS is held after the last bit

  // Throws std::invalid_argument for a delay outside 0..1 s.
  void validate() const;
};

struct TuningOptions {
  bool low_latency = true;
  Rs485Settings rs485;
  std::string sysfs_root = "/sys";  // where the kernel's device tree is mounted
};

// What tuning found, for the master to report once it may log.
struct TuningReport {
  bool low_latency_requested = false;
  int low_latency_refused = 0;     // errno of a driver without low-latency mode
  std::string latency_timer_file;  // empty: the kernel exposes no latency timer
};

class SerialTuning {
 public:
  SerialTuning() = default;

  // Tunes the open serial device `fd` (named `path` in messages). Throws
  // TransportError when the driver refuses RS-485 mode or does not take it as
  // asked, having changed nothing. Low-latency mode is only asked for: a
  // driver without it (a pseudo-terminal, most native UARTs) is no failure.
  static SerialTuning apply(int fd, const std::string& path, const TuningOptions& options);

  // Gives back what apply changed; failures are ignored (the device may be gone).
  void restore(int fd) const;

  const TuningReport& report() const { return report_; }

 private:
  TuningReport report_;
  bool clear_low_latency_ = false;           // apply set the flag, which was clear
  std::optional<serial_rs485> saved_rs485_;  // the RS-485 setting apply replaced
};

// The latency timer file of the USB adapter behind `fd`, found through the
// device number under `sysfs_root`; empty when the kernel exposes none.
std::string latency_timer_file(int fd, const std::string& sysfs_root);

// The figure in a latency timer file (milliseconds); nullopt when the file
// cannot be read or holds no such figure.
std::optional<int> read_latency_timer(const std::string& file);

}  // namespace mew::transport
