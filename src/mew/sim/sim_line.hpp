// The device end of the simulator's line: a pseudo-terminal or a loopback TCP
// listener, with file descriptors owned by RAII handles.
#pragma once

#include <cstdint>
#include <string>

namespace mew::sim {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Follows the opens and closes of a pseudo-terminal's slave by its clients
// (inotify), so that the device side sees its last client go, also one that
// crashed or was killed and closed nothing itself.
class ClientWatch {
 public:
  ClientWatch() = default;
  explicit ClientWatch(const std::string& path);
  int fd() const { return fd_.get(); }  // -1 when the system gives no watch
  // Reads the events that have arrived; true when a client closed the device
  // and none has it open now.
  bool last_client_gone();

 private:
  UniqueFd fd_;
  long opened_ = 0;  // by clients: the watch begins after the simulator's own open
};

struct PtyLine {
  UniqueFd master;  // the simulator reads requests and writes replies here
  // The simulator keeps the slave open itself: otherwise the master reports a
  // hang-up whenever no client has the port open, between two clients.
  UniqueFd keeper;
  std::string path;  // slave device to give a client
  ClientWatch clients;
};

// Opens a pseudo-terminal with its slave in raw mode (no echo, no line
// editing, no CR/LF translation: the protocol ends frames with a bare CR).
// Throws std::system_error.
PtyLine open_pty();

// Listens on 127.0.0.1:`port` (0 picks a free port); returns the port bound.
// Throws std::system_error.
UniqueFd listen_loopback(int port, int* bound_port);

// A pipe whose read end wakes the serving thread out of poll().
struct WakePipe {
  UniqueFd read_end;
  UniqueFd write_end;
  WakePipe();           // throws std::system_error
  void notify() const;  // no-op once closed
  void drain() const;
  void close();
};

}  // namespace mew::sim
