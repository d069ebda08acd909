#include "mew/transport/serial_tuning.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "mew/transport/transport.hpp"

namespace mew::transport {
namespace {

constexpr double kMaxRs485Delay = 1.0;  // seconds; far beyond any transceiver's need

// Whole milliseconds, as the kernel takes them, rounded up: a shorter delay
// than asked could cut off the end of a frame.
__u32 kernel_milliseconds(double seconds) {
  return static_cast<__u32>(std::ceil(seconds * 1000.0 - 1e-9));
}

constexpr __u32 kRtsBits = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;

std::string describe(const serial_rs485& r) {
  if ((r.flags & SER_RS485_ENABLED) == 0) return "RS-485 mode off";
  const char* level = (r.flags & kRtsBits) == SER_RS485_RTS_ON_SEND ? "RTS high while sending"
                      : (r.flags & kRtsBits) == SER_RS485_RTS_AFTER_SEND
                          ? "RTS low while sending"
                          : "RTS the same while sending and after";
  return std::string(level) + ", " + std::to_string(r.delay_rts_before_send) + " ms before and " +
         std::to_string(r.delay_rts_after_send) + " ms after";
}

[[noreturn]] void rs485_refused(const std::string& path, int error_number) {
  throw TransportError(error_number, "cannot open serial port " + path +
                                         ": the driver refuses RS-485 mode (" +
                                         std::strerror(error_number) +
                                         "); an adapter with automatic direction control needs no "
                                         "rs485=True");
}

// Switches RS-485 mode on as asked and returns the setting it replaced.
serial_rs485 enable_rs485(int fd, const std::string& path, const Rs485Settings& settings) {
  serial_rs485 saved{};
  if (::ioctl(fd, TIOCGRS485, &saved) != 0) rs485_refused(path, errno);
  serial_rs485 wanted = saved;  // keeps what it does not set (bus termination, addresses)
  wanted.flags = (saved.flags & ~kRtsBits) | SER_RS485_ENABLED |
                 (settings.rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
  wanted.delay_rts_before_send = kernel_milliseconds(settings.delay_before);
  wanted.delay_rts_after_send = kernel_milliseconds(settings.delay_after);
  serial_rs485 taken = wanted;
  if (::ioctl(fd, TIOCSRS485, &taken) != 0) rs485_refused(path, errno);
  // A driver adjusts what it cannot do (drops a delay, clamps it) without
  // failing: the setting is read back, and anything else than asked is refused.
  if (::ioctl(fd, TIOCGRS485, &taken) != 0) taken = serial_rs485{};
  const __u32 checked = SER_RS485_ENABLED | kRtsBits;
  if ((taken.flags & checked) != (wanted.flags & checked) ||
      taken.delay_rts_before_send != wanted.delay_rts_before_send ||
      taken.delay_rts_after_send != wanted.delay_rts_after_send) {
    ::ioctl(fd, TIOCSRS485, &saved);
    throw TransportError(EINVAL, "cannot open serial port " + path +
                                     ": the driver took RS-485 mode as " + describe(taken) +
                                     ", not as asked: " + describe(wanted));
  }
  return saved;
}

}  // namespace

void Rs485Settings::validate() const {
  for (double delay : {delay_before, delay_after}) {
    if (!(delay >= 0.0) || !(delay <= kMaxRs485Delay)) {
      throw std::invalid_argument("rs485 delays must be 0..1 s");
    }
  }
}

SerialTuning SerialTuning::apply(int fd, const std::string& path, const TuningOptions& options) {
  SerialTuning tuning;
  // RS-485 first: it may fail, and then nothing else has been changed.
  if (options.rs485.enabled) tuning.saved_rs485_ = enable_rs485(fd, path, options.rs485);
  if (options.low_latency) {
    tuning.report_.low_latency_requested = true;
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
      tuning.report_.low_latency_refused = errno;
    } else if ((serial.flags & ASYNC_LOW_LATENCY) == 0) {
      serial.flags |= ASYNC_LOW_LATENCY;
      if (::ioctl(fd, TIOCSSERIAL, &serial) == 0) {
        tuning.clear_low_latency_ = true;
      } else {
        tuning.report_.low_latency_refused = errno;
      }
    }
  }
  tuning.report_.latency_timer_file = latency_timer_file(fd, options.sysfs_root);
  return tuning;
}

void SerialTuning::restore(int fd) const {
  if (clear_low_latency_) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags &= ~ASYNC_LOW_LATENCY;
      ::ioctl(fd, TIOCSSERIAL, &serial);
    }
  }
  if (saved_rs485_) {
    serial_rs485 saved = *saved_rs485_;
    ::ioctl(fd, TIOCSRS485, &saved);
  }
}

// The kernel names a character device's directory by its number
// (<sysfs>/dev/char/MAJOR:MINOR links to it, the link's last part being the
// tty's name): unlike the path it was opened by, the number is the device
// actually open. A USB serial port keeps the timer beside its tty.
std::string latency_timer_file(int fd, const std::string& sysfs_root) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return {};
  const std::string link = sysfs_root + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev));
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
  const std::string_view to(target, static_cast<std::size_t>(n));
  const std::string name(to.substr(to.rfind('/') + 1));
  if (name.empty() || name == "." || name == "..") return {};
  std::string file = sysfs_root + "/class/tty/" + name + "/device/latency_timer";
  if (::access(file.c_str(), R_OK) != 0) return {};
  return file;
}

std::optional<int> read_latency_timer(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[16];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  int value = 0;
  ssize_t i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9' && value < 100000; ++i) {
    value = value * 10 + (text[i] - '0');
  }
  if (i == 0 || (i < n && text[i] != '\n')) return std::nullopt;
  return value;
}

}  // namespace mew::transport
