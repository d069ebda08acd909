#include "mew/sim/sim_line.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace mew::sim {
namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

PtyLine open_pty() {
  PtyLine line;
  line.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!line.master.valid()) throw_errno("posix_openpt");
  if (::grantpt(line.master.get()) != 0) throw_errno("grantpt");
  if (::unlockpt(line.master.get()) != 0) throw_errno("unlockpt");
  char name[128];
  if (::ptsname_r(line.master.get(), name, sizeof name) != 0) throw_errno("ptsname_r");
  line.path = name;
  line.keeper.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!line.keeper.valid()) throw_errno("open pty slave");
  termios tio{};
  if (::tcgetattr(line.keeper.get(), &tio) != 0) throw_errno("tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  if (::tcsetattr(line.keeper.get(), TCSANOW, &tio) != 0) throw_errno("tcsetattr");
  // A write must never block the serving thread when no client reads.
  const int flags = ::fcntl(line.master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(line.master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    throw_errno("fcntl");
  }
  line.clients = ClientWatch(line.path);
  return line;
}

ClientWatch::ClientWatch(const std::string& path) {
  // Without inotify (no instances left) the simulator serves all the same; a
  // client that dies holding the lock then leaves it set, as it would anyway.
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (fd.valid() && ::inotify_add_watch(fd.get(), path.c_str(), IN_OPEN | IN_CLOSE) >= 0) {
    fd_ = std::move(fd);
  }
}

bool ClientWatch::last_client_gone() {
  alignas(inotify_event) char buf[4096];
  bool closed = false;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
      if ((event->mask & IN_OPEN) != 0) ++opened_;
      if ((event->mask & IN_CLOSE) != 0 && opened_ > 0) {
        --opened_;
        closed = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return closed && opened_ == 0;
}

UniqueFd listen_loopback(int port, int* bound_port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) throw_errno("socket");
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw_errno("bind");
  if (::listen(fd.get(), 4) != 0) throw_errno("listen");
  socklen_t len = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw_errno("getsockname");
  }
  *bound_port = ntohs(addr.sin_port);
  return fd;
}

WakePipe::WakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw_errno("pipe2");
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
}

void WakePipe::close() {
  read_end.reset();
  write_end.reset();
}

void WakePipe::notify() const {
  if (!write_end.valid()) return;
  const char byte = 1;
  // A full pipe already wakes the reader: the lost byte does not matter.
  [[maybe_unused]] const ssize_t n = ::write(write_end.get(), &byte, 1);
}

void WakePipe::drain() const {
  char buf[64];
  while (::read(read_end.get(), buf, sizeof buf) > 0) {
  }
}

}  // namespace mew::sim
