#include "mew/transport/fd_transport.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace mew::transport {
namespace {

int poll_milliseconds(std::chrono::microseconds timeout) {
  if (timeout.count() <= 0) return 0;
  // Round up so that a sub-millisecond remainder still waits instead of spinning.
  const auto ms = (timeout.count() + 999) / 1000;
  return ms > 3600 * 1000 ? 3600 * 1000 : static_cast<int>(ms);
}

}  // namespace

FdGuard::~FdGuard() {
  if (fd >= 0) ::close(fd);
}

FdTransport::FdTransport(int fd, std::string name, bool is_socket)
    : fd_(fd), name_(std::move(name)), is_socket_(is_socket) {}

FdTransport::~FdTransport() { close(); }

void FdTransport::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void FdTransport::fail(int error_number, const char* what) const {
  throw TransportError(error_number,
                       std::string(what) + " on " + name_ + ": " + std::strerror(error_number));
}

bool FdTransport::wait_for(short events, std::chrono::microseconds timeout) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + timeout;
  for (;;) {
    pollfd p{fd_, events, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now());
    const int n = ::poll(&p, 1, poll_milliseconds(left));
    if (n > 0) return true;  // ready, or hung up / failed: the read or write reports which
    if (n == 0) {
      if (clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) fail(errno, "poll failed");
  }
}

bool FdTransport::write_all(std::string_view data, std::chrono::microseconds timeout) {
  if (fd_ < 0) fail(EBADF, "write");
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + timeout;
  std::size_t done = 0;
  while (done < data.size()) {
    // MSG_NOSIGNAL: a peer that closed the socket must give EPIPE, not kill the process.
    const ssize_t n = is_socket_ ? ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL)
                                 : ::write(fd_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) fail(errno, "write failed");
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now());
    if (left.count() <= 0 || !wait_for(POLLOUT, left)) return false;
  }
  return true;
}

std::size_t FdTransport::read_some(char* buffer, std::size_t capacity,
                                   std::chrono::microseconds timeout) {
  if (fd_ < 0) fail(EBADF, "read");
  if (!wait_for(POLLIN, timeout)) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) fail(ECONNRESET, "connection closed by the other end");
    if (errno == EINTR) continue;
    // poll woke us, yet nothing to read: a spurious wake-up counts as no input.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // A pseudo-terminal whose other side was closed reports EIO here.
    fail(errno, "read failed");
  }
}

std::size_t FdTransport::discard_input() {
  if (fd_ < 0) return 0;
  std::size_t discarded = 0;
  char scrap[256];
  for (;;) {
    const ssize_t n = ::read(fd_, scrap, sizeof scrap);
    if (n > 0) {
      discarded += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Nothing more queued, or the line is down: the next read or write says so.
    return discarded;
  }
}

}  // namespace mew::transport
