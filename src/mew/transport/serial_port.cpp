#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "mew/transport/fd_transport.hpp"
#include "mew/transport/serial_tuning.hpp"

namespace mew::transport {
namespace {

struct Speed {
  int baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool speed_code(int baud, speed_t* code) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

// USB serial adapters hold received bytes for up to their latency timer
// (16 ms by default) and a pseudo-terminal peer may be descheduled; 50 ms
// keeps such pauses from being mistaken for a broken reply.
constexpr std::chrono::microseconds kSerialInterByteFloor{50000};

// Linux's device numbers of pseudo-terminal slaves: /dev/pts/N, and the
// legacy /dev/ttyp* ones.
constexpr unsigned kPtsFirstMajor = 136;
constexpr unsigned kPtsLastMajor = 143;
constexpr unsigned kLegacyPtySlaveMajor = 3;

bool is_pseudo_terminal(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return (m >= kPtsFirstMajor && m <= kPtsLastMajor) || m == kLegacyPtySlaveMajor;
}

class SerialPort final : public FdTransport {
 public:
  SerialPort(int fd, const std::string& path, bool exclusive, SerialTuning tuning)
      : FdTransport(fd, path, false),
        opened_by_(::getpid()),
        exclusive_(exclusive),
        pseudo_terminal_(is_pseudo_terminal(fd)),
        tuning_(std::move(tuning)) {}
  ~SerialPort() override { close(); }
  std::chrono::microseconds inter_byte_floor() const override { return kSerialInterByteFloor; }
  TuningReport tuning_report() const override { return tuning_.report(); }
  // Linux gives a lost pseudo-terminal's name to the next one opened, at once.
  bool reopenable_by_name() const override { return !pseudo_terminal_; }

 private:
  // The driver keeps low-latency and RS-485 mode, and TIOCEXCL stays on the
  // device until its last descriptor closes (a pseudo-terminal's other side
  // may keep it open): all are given back explicitly. Only by the process that
  // opened the port: a forked child shares the device with its parent, whose
  // settings and lock must outlive the child.
  void before_close() override {
    if (::getpid() != opened_by_) return;
    tuning_.restore(fd());
    if (exclusive_) ::ioctl(fd(), TIOCNXCL);
  }

  pid_t opened_by_;
  bool exclusive_;
  bool pseudo_terminal_;
  SerialTuning tuning_;
};

[[noreturn]] void in_use(const std::string& path) {
  throw TransportError(EBUSY, "cannot open serial port " + path +
                                  ": it is in use (another MewMaster or program holds it)");
}

[[noreturn]] void open_failed(int error_number, const std::string& path, const char* step) {
  throw TransportError(error_number, "cannot open serial port " + path + " (" + step +
                                         "): " + std::strerror(error_number));
}

}  // namespace

bool is_supported_baudrate(int baudrate) {
  speed_t code;
  return speed_code(baudrate, &code);
}

std::unique_ptr<Transport> open_serial_port(const std::string& path, const SerialSettings& settings,
                                            bool exclusive, const TuningOptions& tuning_options) {
  settings.validate();
  speed_t speed = 0;
  speed_code(settings.baudrate, &speed);

  // O_NOCTTY: a serial line must never become this process's controlling terminal.
  FdGuard guard{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  if (guard.fd < 0 && errno == EBUSY) in_use(path);  // another opener set TIOCEXCL
  if (guard.fd < 0) open_failed(errno, path, "open");
  if (!::isatty(guard.fd)) open_failed(ENOTTY, path, "not a terminal device");
  if (exclusive) {
    if (::flock(guard.fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) in_use(path);
      open_failed(errno, path, "flock");
    }
  }

  termios tio{};
  if (::tcgetattr(guard.fd, &tio) != 0) open_failed(errno, path, "tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
  tio.c_cflag &= ~CRTSCTS;
#endif
  switch (settings.bytesize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  if (settings.parity == 'E') tio.c_cflag |= PARENB;
  if (settings.parity == 'O') tio.c_cflag |= PARENB | PARODD;
  if (settings.stopbits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
    open_failed(errno, path, "cfsetspeed");
  }
  if (::tcsetattr(guard.fd, TCSANOW, &tio) != 0) {
    // A pseudo-terminal keeps CS8 and drops PARENB whatever is asked, and the C library
    // then reports EINVAL although the rest took: there the speed check below decides.
    const int error_number = errno;
    if (error_number != EINVAL || !is_pseudo_terminal(guard.fd)) {
      open_failed(error_number, path, "tcsetattr");
    }
  }

  // tcsetattr succeeds if any one setting took. Check the speed, which every
  // real port and pseudo-terminal keeps; parity is not checked because a
  // pseudo-terminal silently drops PARENB, and that is no fault.
  termios check{};
  if (::tcgetattr(guard.fd, &check) != 0) open_failed(errno, path, "tcgetattr");
  if (::cfgetospeed(&check) != speed) open_failed(EINVAL, path, "baud rate not accepted");

  // After the lock: a device that another opener holds is left as it is.
  SerialTuning tuning = SerialTuning::apply(guard.fd, path, tuning_options);
  ::tcflush(guard.fd, TCIOFLUSH);
  // Last, so that no failed open leaves the flag behind.
  if (exclusive && ::ioctl(guard.fd, TIOCEXCL) != 0) {
    const int error_number = errno;
    tuning.restore(guard.fd);
    open_failed(error_number, path, "TIOCEXCL");
  }
  return std::make_unique<SerialPort>(guard.release(), path, exclusive, std::move(tuning));
}

}  // namespace mew::transport
