#include "mew/transport/transport.hpp"

#include "mew/transport/fd_transport.hpp"

namespace mew::transport {

void SerialSettings::validate() const {
  if (!is_supported_baudrate(baudrate)) {
    throw std::invalid_argument("unsupported baud rate " + std::to_string(baudrate));
  }
  if (bytesize < 5 || bytesize > 8) {
    throw std::invalid_argument("bytesize must be 5, 6, 7 or 8, not " + std::to_string(bytesize));
  }
  if (parity != 'N' && parity != 'E' && parity != 'O') {
    throw std::invalid_argument("parity must be 'N', 'E' or 'O'");
  }
  if (stopbits != 1 && stopbits != 2) {
    throw std::invalid_argument("stopbits must be 1 or 2, not " + std::to_string(stopbits));
  }
}

int SerialSettings::bits_per_character() const {
  return 1 + bytesize + (parity == 'N' ? 0 : 1) + stopbits;
}

std::unique_ptr<Transport> open_transport(const std::string& port, const OpenOptions& options) {
  // The C library would stop at the NUL and open a different device.
  if (port.find('\0') != std::string::npos) throw std::invalid_argument("embedded null character");
  // Else the open would fail with ENOENT and a message that names no port at all.
  if (port.empty())
    throw std::invalid_argument(
        "port must be a serial port name or tcp://host:port, not an empty string");
  // The settings describe the device server's serial side too, and set the
  // master's inter-byte time-out, so they are checked for TCP as well.
  options.serial.validate();
  options.tuning.rs485.validate();
  if (port.rfind("tcp://", 0) == 0) {
    // A device server drives its own line: direction control is set up there.
    if (options.tuning.rs485.enabled) {
      throw std::invalid_argument(
          "rs485 applies to a serial device, not to a tcp:// device server");
    }
    return open_tcp_connection(port, options.connect_timeout, options.between_slices);
  }
  return open_serial_port(port, options.serial, options.exclusive, options.tuning);
}

}  // namespace mew::transport
