#include "mew/transport/fd_transport.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace mew::transport {
namespace {

using clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// The longest time-out one poll call takes.
constexpr microseconds kLongestPoll{std::chrono::hours(1)};

int poll_milliseconds(microseconds timeout) {
  if (timeout.count() <= 0) return 0;
  // Round up so that a sub-millisecond remainder still waits instead of spinning.
  const auto ms = (std::min(timeout, kLongestPoll).count() + 999) / 1000;
  return static_cast<int>(ms);
}

// Discarding stops after this long even if bytes keep coming.
constexpr microseconds kMaxDiscardTime{20000};

}  // namespace

FdGuard::~FdGuard() {
  if (fd >= 0) ::close(fd);
}

bool wait_for_fd(int fd, short events, microseconds timeout, const WaitHook& between_slices) {
  // poll never reports a time-out early, so a wait made in one call needs no
  // clock; one cut into slices (or longer than a poll takes) keeps a deadline.
  const bool in_pieces = between_slices || timeout > kLongestPoll;
  const auto deadline = in_pieces ? clock::now() + timeout : clock::time_point{};
  for (;;) {
    pollfd p{fd, events, 0};
    auto left = timeout;
    if (in_pieces) left = std::chrono::duration_cast<microseconds>(deadline - clock::now());
    if (between_slices) left = std::min(left, kWaitSlice);
    const int n = ::poll(&p, 1, poll_milliseconds(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) {
      throw TransportError(errno, std::string("poll failed: ") + std::strerror(errno));
    }
    // The time is up, or a signal: let the caller look at it.
    if (!in_pieces || (n < 0 && !between_slices)) return false;
    if (clock::now() >= deadline) return false;
    if (between_slices) between_slices();
  }
}

FdTransport::FdTransport(int fd, std::string name, bool is_socket)
    : fd_(fd), name_(std::move(name)), is_socket_(is_socket) {}

FdTransport::~FdTransport() { close(); }

void FdTransport::close() {
  if (fd_ >= 0) {
    before_close();
    ::close(fd_);
    fd_ = -1;
  }
}

void FdTransport::fail(int error_number, const char* what) const {
  throw TransportError(error_number,
                       std::string(what) + " on " + name_ + ": " + std::strerror(error_number));
}

std::size_t FdTransport::write_some(std::string_view data, microseconds timeout) {
  if (fd_ < 0) fail(EBADF, "write");
  clock::time_point deadline{};  // read only when the line does not take the data at once
  for (;;) {
    // MSG_NOSIGNAL: a peer that closed the socket must give EPIPE, not kill the process.
    const ssize_t n = is_socket_ ? ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL)
                                 : ::write(fd_, data.data(), data.size());
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    // A pseudo-terminal or serial port whose other side is gone reports EIO.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) fail(errno, "write failed");
    if (deadline == clock::time_point{}) deadline = clock::now() + timeout;
    const auto left = std::chrono::duration_cast<microseconds>(deadline - clock::now());
    if (left.count() <= 0 || !wait_for_fd(fd_, POLLOUT, left)) return 0;
  }
}

std::size_t FdTransport::read_some(char* buffer, std::size_t capacity, microseconds timeout) {
  if (fd_ < 0) fail(EBADF, "read");
  if (!wait_for_fd(fd_, POLLIN, timeout)) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n > 0) return static_cast<std::size_t>(n);
    // End of input: a TCP peer closed, or a pseudo-terminal whose other side
    // was closed (hung up).
    if (n == 0) fail(ECONNRESET, "connection closed by the other end");
    if (errno == EINTR) continue;
    // poll woke us, yet nothing to read: a spurious wake-up counts as no input.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    fail(errno, "read failed");
  }
}

void FdTransport::prepare_request(std::string* stale) {
  if (fd_ < 0) return;  // the write reports it
  // A socket drained to its empty queue has shown its peer's end of stream
  // already, if there was one; else that takes a look of its own.
  const bool seen_empty = stale != nullptr && take_queued(stale);
  if (is_socket_ && !seen_empty) check_peer_open();
}

bool FdTransport::take_queued(std::string* stale) {
  const auto give_up = clock::now() + kMaxDiscardTime;
  char scrap[512];
  while (stale->size() < kMaxDiscard && clock::now() < give_up) {
    const ssize_t n = ::read(fd_, scrap, std::min(sizeof scrap, kMaxDiscard - stale->size()));
    if (n > 0) {
      stale->append(scrap, static_cast<std::size_t>(n));
      continue;
    }
    // A terminal in raw mode without VMIN reads 0 when nothing is queued; a
    // socket reads 0 only at its peer's end of stream.
    if (n == 0 && is_socket_) fail(ECONNRESET, "connection closed by the other end");
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno == EINTR) continue;
    break;  // the line is down: the write (or a socket's check) says how
  }
  return false;
}

void FdTransport::check_peer_open() {
  // A socket still takes data after its peer closed; the peer's end of
  // stream, already queued, says the request would go nowhere.
  pollfd p{fd_, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    fail(ECONNRESET, "connection closed by the other end");
  }
}

}  // namespace mew::transport
