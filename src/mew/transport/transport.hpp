// The byte pipe under the master: a serial device (a pseudo-terminal included)
// or a TCP connection to a serial device server. The master sees only this
// interface, so framing, time-outs and retries are the same on every wire.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

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

class Transport {
 public:
  virtual ~Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Writes every byte. Returns false if the line would not take them within
  // `timeout`; throws TransportError on failure.
  virtual bool write_all(std::string_view data, std::chrono::microseconds timeout) = 0;

  // Waits up to `timeout` for input and returns what is there (at most
  // `capacity` bytes); 0 means the time passed without input. Throws
  // TransportError when the line fails or the peer has hung up.
  virtual std::size_t read_some(char* buffer, std::size_t capacity,
                                std::chrono::microseconds timeout) = 0;

  // Throws away input that has already arrived; returns how many bytes.
  virtual std::size_t discard_input() = 0;

  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // Smallest gap between two bytes of one frame that still counts as normal on
  // this kind of line (scheduling, USB and network latency).
  virtual std::chrono::microseconds inter_byte_floor() const = 0;

 protected:
  Transport() = default;
};

// Opens `port`: "tcp://host:port" for a TCP device server, otherwise the path of
// a serial device. `connect_timeout` bounds the TCP connect (name resolution
// is not bounded). Throws std::invalid_argument for bad settings or a malformed
// tcp:// address, TransportError when the port cannot be opened.
std::unique_ptr<Transport> open_transport(const std::string& port, const SerialSettings& settings,
                                          std::chrono::microseconds connect_timeout);

}  // namespace mew::transport
