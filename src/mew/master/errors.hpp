// Failures of a bus transaction, as the binding maps them onto the Python
// exception classes MewError, MewTimeoutError, MewProtocolError, MewDeviceError.
#pragma once

#include <stdexcept>
#include <string>

namespace mew::master {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, int error_number = 0)
      : std::runtime_error(message), error_number_(error_number) {}
  // errno of an operating-system failure, 0 for protocol-level failures.
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// No complete reply within the first-byte or inter-byte time-out.
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// A reply arrived but was unusable: bad checksum, malformed, wrong length.
class ProtocolError : public Error {
 public:
  using Error::Error;
};

// The device answered with an error reply.
class DeviceError : public Error {
 public:
  DeviceError(const std::string& message, int code) : Error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace mew::master
