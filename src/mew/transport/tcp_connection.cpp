#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "mew/transport/fd_transport.hpp"

namespace mew::transport {
namespace {

// A serial device server forwards bytes in network packets; its own
// packing delay plus the network can hold a frame's tail back far longer than
// a local line would.
constexpr std::chrono::microseconds kTcpInterByteFloor{200000};

class TcpConnection final : public FdTransport {
 public:
  TcpConnection(int fd, const std::string& url) : FdTransport(fd, url, true) {}
  std::chrono::microseconds inter_byte_floor() const override { return kTcpInterByteFloor; }
};

[[noreturn]] void connect_failed(int error_number, const std::string& url, const std::string& why) {
  throw TransportError(error_number, "cannot connect to " + url + ": " + why);
}

// Splits "tcp://host:port" ("tcp://[::1]:port" for IPv6 literals).
void split_url(const std::string& url, std::string* host, std::string* port) {
  const std::string rest = url.substr(6);
  std::size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      throw std::invalid_argument("malformed address " + url + " (expected tcp://[host]:port)");
    }
    *host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) {
      throw std::invalid_argument("malformed address " + url + " (expected tcp://host:port)");
    }
    *host = rest.substr(0, colon);
  }
  *port = rest.substr(colon + 1);
  bool digits = !port->empty() && port->size() <= 5;
  for (char c : *port) digits = digits && c >= '0' && c <= '9';
  if (host->empty() || !digits || std::stoi(*port) < 1 || std::stoi(*port) > 65535) {
    throw std::invalid_argument("malformed address " + url +
                                " (expected tcp://host:port, port 1..65535)");
  }
}

// Connects one resolved address within `timeout`; returns the socket or -1
// with errno set.
int connect_one(const addrinfo* ai, std::chrono::microseconds timeout,
                const WaitHook& between_slices) {
  FdGuard guard{
      ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol)};
  if (guard.fd < 0) return -1;
  if (::connect(guard.fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return -1;
      }
      if (wait_for_fd(guard.fd, POLLOUT, left, between_slices)) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(guard.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
      errno = err;
      return -1;
    }
  }
  // Frames are small and latency-bound: never hold one back to coalesce.
  int one = 1;
  ::setsockopt(guard.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return guard.release();
}

}  // namespace

std::unique_ptr<Transport> open_tcp_connection(const std::string& url,
                                               std::chrono::microseconds connect_timeout,
                                               const WaitHook& between_slices) {
  std::string host, port;
  split_url(url, &host, &port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) connect_failed(ENOENT, url, ::gai_strerror(rc));
  // Freed also when the caller's check between slices of a wait throws (Ctrl-C).
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> found(list, ::freeaddrinfo);
  int last_error = ECONNREFUSED;
  int fd = -1;
  for (const addrinfo* ai = found.get(); ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = connect_one(ai, connect_timeout, between_slices);
    if (fd < 0) last_error = errno;
  }
  if (fd < 0) connect_failed(last_error, url, std::strerror(last_error));
  return std::make_unique<TcpConnection>(fd, url);
}

}  // namespace mew::transport
