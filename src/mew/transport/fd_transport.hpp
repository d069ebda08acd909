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

// Waits for `events` on `fd` for at most `timeout`, in slices of kWaitSlice
// with `between_slices` called after each (when set). True when the
// descriptor is ready (or hung up / failed: the next read or write says
// which); false on time-out or when a signal ended the wait.
bool wait_for_fd(int fd, short events, std::chrono::microseconds timeout,
                 const WaitHook& between_slices = nullptr);

class FdTransport : public Transport {
 public:
  ~FdTransport() override;

  std::size_t write_some(std::string_view data, std::chrono::microseconds timeout) override;
  std::size_t read_some(char* buffer, std::size_t capacity,
                        std::chrono::microseconds timeout) override;
  void prepare_request(std::string* stale) override;
  void close() override;
  bool is_open() const override { return fd_ >= 0; }

 protected:
  // Takes ownership of `fd`, which must already be non-blocking.
  FdTransport(int fd, std::string name, bool is_socket);
  int fd() const { return fd_; }
  // Runs just before the descriptor is closed.
  virtual void before_close() {}

 private:
  [[noreturn]] void fail(int error_number, const char* what) const;
  // Takes what is queued; true when the queue was seen empty (not cut short
  // by the limits or a failing line).
  bool take_queued(std::string* stale);
  void check_peer_open();

  int fd_;
  std::string name_;
  bool is_socket_;
};

std::unique_ptr<Transport> open_serial_port(const std::string& path, const SerialSettings& settings,
                                            bool exclusive, const TuningOptions& tuning);
std::unique_ptr<Transport> open_tcp_connection(const std::string& url,
                                               std::chrono::microseconds connect_timeout,
                                               const WaitHook& between_slices);

}  // namespace mew::transport
