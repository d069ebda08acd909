// Shared implementation for transports that are one non-blocking file
// descriptor (serial device, TCP socket).
#pragma once

#include "mew/transport/transport.hpp"

namespace mew::transport {

// Closes a descriptor that is being set up unless ownership was handed on.
struct FdGuard {
  int fd;
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard();
  int release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

class FdTransport : public Transport {
 public:
  ~FdTransport() override;

  bool write_all(std::string_view data, std::chrono::microseconds timeout) override;
  std::size_t read_some(char* buffer, std::size_t capacity,
                        std::chrono::microseconds timeout) override;
  std::size_t discard_input() override;
  void close() override;
  bool is_open() const override { return fd_ >= 0; }

 protected:
  // Takes ownership of `fd`, which must already be non-blocking.
  FdTransport(int fd, std::string name, bool is_socket);

 private:
  // Waits for `events` on the descriptor; false on time-out.
  bool wait_for(short events, std::chrono::microseconds timeout);
  [[noreturn]] void fail(int error_number, const char* what) const;

  int fd_;
  std::string name_;
  bool is_socket_;
};

std::unique_ptr<Transport> open_serial_port(const std::string& path,
                                            const SerialSettings& settings);
std::unique_ptr<Transport> open_tcp_connection(const std::string& url,
                                               std::chrono::microseconds connect_timeout);

}  // namespace mew::transport
