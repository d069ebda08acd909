// The byte pipe under the master: a serial device (a pseudo-terminal included)
// or a TCP connection to a serial device server. The master sees only this
// interface, so framing, time-outs and retries are the same on every wire.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "mew/transport/serial_tuning.hpp"

namespace mew::transport {

// An operating-system failure: open, read or write failed, or the peer hung up.
class TransportError : public std::runtime_error {
 public:
  TransportError(int error_number, const std::string& message)
      : std::runtime_error(message), error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

struct SerialSettings {
  int baudrate = 115200;
  int bytesize = 8;   // 5..8
  char parity = 'N';  // 'N', 'E' or 'O'
  int stopbits = 1;   // 1 or 2

  // Throws std::invalid_argument for a setting no serial port here can take.
  void validate() const;
  // Bits on the wire per character: start bit, data bits, parity, stop bits.
  int bits_per_character() const;
};

// True for a speed the termios interface can set (50 .. 4000000 baud).
bool is_supported_baudrate(int baudrate);

// Longest stretch a wait runs without asking the caller whether to go on
// (Ctrl-C must end a long wait promptly).
inline constexpr std::chrono::microseconds kWaitSlice{50000};

// Called between slices of a wait; throws to abandon it.
using WaitHook = std::function<void()>;

class Transport {
 public:
  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Waits up to `timeout` for the line to take bytes and writes what it takes;
  // returns how many (0: none within `timeout`, or a signal ended the wait).
  // Throws TransportError on failure.
  virtual std::size_t write_some(std::string_view data, std::chrono::microseconds timeout) = 0;

  // Waits up to `timeout` for input and returns what is there (at most
  // `capacity` bytes); 0 means the time passed without input, or a signal
  // ended the wait early. Throws TransportError when the line fails or the
  // peer has hung up.
  virtual std::size_t read_some(char* buffer, std::size_t capacity,
                                std::chrono::microseconds timeout) = 0;

  // Readies the line for the next request. Throws TransportError when the
  // line is known to be down before anything is sent on it (a TCP peer that
  // closed its end), so that the caller can tell a request that never left
  // from one that may have reached the device. With `stale`, first takes the
  // input that has already arrived off the line into it (the caller looks
  // through it, then drops it): never waits, and stops after kMaxDiscard
  // bytes, so that a peer that streams noise cannot hold the caller. Costs at
  // most one system call when nothing is waiting, and none on a serial line
  // without `stale` (a serial line that is gone refuses the write itself).
  virtual void prepare_request(std::string* stale) = 0;

  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // False for a line whose name may lead to another device once the line is
  // lost: a pseudo-terminal's name goes to the next one opened.
  virtual bool reopenable_by_name() const { return true; }

  // Smallest gap between two bytes of one frame that still counts as normal on
  // this kind of line (scheduling, USB and network latency).
  virtual std::chrono::microseconds inter_byte_floor() const = 0;

  // What opening the line found out about the device (serial devices only).
  virtual TuningReport tuning_report() const { return {}; }

 protected:
  Transport() = default;
};

inline constexpr std::size_t kMaxDiscard = 4096;

struct OpenOptions {
  SerialSettings serial;
  // Bounds the TCP connect (name resolution is not bounded).
  std::chrono::microseconds connect_timeout{1000000};
  // Lock a serial port against other openers: an advisory flock(), which every
  // cooperating opener respects (root included), and TIOCEXCL, which refuses
  // other opens of the device by unprivileged programs.
  bool exclusive = true;
  TuningOptions tuning;     // serial devices only
  WaitHook between_slices;  // optional, see WaitHook
};

// Opens `port`: "tcp://host:port" for a TCP device server, otherwise the path of
// a serial device. Throws std::invalid_argument for bad settings, a malformed
// tcp:// address or a name with an embedded NUL, TransportError when the port
// cannot be opened (EBUSY when another opener holds its lock).
std::unique_ptr<Transport> open_transport(const std::string& port, const OpenOptions& options);

}  // namespace mew::transport
