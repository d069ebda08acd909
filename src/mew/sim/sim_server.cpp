#include "mew/sim/sim_server.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <utility>

#include "mew/protocol/printable.hpp"
#include "mew/sim/line_settings.hpp"

namespace mew::sim {
namespace {

namespace proto = mew::protocol;

constexpr std::size_t kMaxPendingInput = 1 << 16;

bool finite_nonnegative(double v) { return std::isfinite(v) && v >= 0.0; }

// Bits of one character on the wire: start, 8 data, parity, stop.
double bits_per_char(const SimulatorOptions& o) {
  return 1.0 + 8.0 + (o.parity == 'N' ? 0.0 : 1.0) + o.stopbits;
}

std::string describe(int baudrate, bool parity_odd, int stopbits) {
  return std::to_string(baudrate) + " baud, " + (parity_odd ? "odd parity" : "not odd parity") +
         ", " + std::to_string(stopbits) + " stop bit" + (stopbits == 1 ? "" : "s");
}

}  // namespace

SimulatorServer::SimulatorServer(SimulatorOptions options) : options_(std::move(options)) {
  if (options_.stations.empty()) throw std::invalid_argument("at least one station is needed");
  std::set<int> seen;
  for (int s : options_.stations) {
    proto::check_station(s);
    if (!seen.insert(s).second) {
      throw std::invalid_argument("station " + std::to_string(s) + " given twice");
    }
  }
  if (!std::isfinite(options_.time_scale) || options_.time_scale <= 0.0 ||
      options_.time_scale > 1e6) {
    throw std::invalid_argument("time_scale must be a number in (0, 1e6]");
  }
  if (options_.baudrate < 0) throw std::invalid_argument("baudrate must be positive");
  if (options_.parity != 'N' && options_.parity != 'E' && options_.parity != 'O') {
    throw std::invalid_argument("parity must be 'N', 'E' or 'O'");
  }
  if (options_.stopbits != 1 && options_.stopbits != 2) {
    throw std::invalid_argument("stopbits must be 1 or 2");
  }
  if (options_.line_check && options_.baudrate == 0) {
    throw std::invalid_argument("line_check needs the modules' baudrate");
  }
  if (options_.line_check && options_.tcp) {
    // A serial device server keeps the serial settings itself; a TCP client sets none.
    throw std::invalid_argument("line_check needs a pseudo-terminal, not tcp");
  }
  if (!finite_nonnegative(options_.turnaround)) {
    throw std::invalid_argument("turnaround must be a non-negative number of seconds");
  }
  if (!finite_nonnegative(options_.trace_interval) ||
      (options_.trace_interval > 0.0 && options_.trace_interval < kMinTraceInterval)) {
    char smallest[32];
    std::snprintf(smallest, sizeof smallest, "%g", kMinTraceInterval);
    throw std::invalid_argument(
        std::string("trace_interval must be 0 (no periodic samples) or at least ") + smallest +
        " seconds");
  }
  if (options_.tcp_port < 0 || options_.tcp_port > 65535) {
    throw std::invalid_argument("tcp_port must be within 0..65535");
  }
  const Geometry& g = options_.geometry;
  if (g.negative_limit >= g.positive_limit) {
    throw std::invalid_argument("negative_limit must lie below positive_limit");
  }
  if (g.origin_low > g.origin_high)
    throw std::invalid_argument("origin_low must not exceed origin_high");

  for (int s : options_.stations) {
    auto it = models_.emplace(s, AxisModel(0.0, g, options_.start_position)).first;
    it->second.set_trace_interval(options_.trace_interval);
  }
  if (options_.tcp) {
    int bound = 0;
    listener_ = listen_loopback(options_.tcp_port, &bound);
    port_ = "tcp://127.0.0.1:" + std::to_string(bound);
  } else {
    pty_ = open_pty();
    port_ = pty_.path;
  }
  start_ = std::chrono::steady_clock::now();
  thread_ = std::thread(&SimulatorServer::serve, this);
}

SimulatorServer::~SimulatorServer() { close(); }

void SimulatorServer::close() {
  if (closed_.exchange(true)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  line_changed_.notify_all();
  wake_.notify();
  if (thread_.joinable()) thread_.join();
  client_.reset();
  listener_.reset();
  pty_ = PtyLine{};
  // Under the lock: the knobs notify the pipe while holding it, so none can
  // write to a descriptor number that is being reused.
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.close();
}

std::string SimulatorServer::port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_;
}

double SimulatorServer::now() const {
  const std::chrono::duration<double> real = std::chrono::steady_clock::now() - start_;
  return real.count() * options_.time_scale;
}

AxisModel& SimulatorServer::model(int station) {
  auto it = models_.find(station);
  if (it == models_.end()) {
    throw std::out_of_range("station " + std::to_string(station) + " is not simulated");
  }
  return it->second;
}

// ---- fault knobs ----------------------------------------------------------

void SimulatorServer::drop_replies(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.drop_replies = count < 0 ? 0 : count;
}

void SimulatorServer::corrupt_next_reply(int offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.corrupt = true;
  faults_.corrupt_offset = offset;
}

void SimulatorServer::error_next_reply(int code) {
  proto::check_error_code(code);
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.error_code = code;
}

void SimulatorServer::answer_next_as(int station) {
  proto::check_station(station);
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.as_station = station;
}

void SimulatorServer::split_next_reply(std::size_t at, double pause) {
  if (!finite_nonnegative(pause)) throw std::invalid_argument("pause must be >= 0 seconds");
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.split = true;
  faults_.split_at = at;
  faults_.split_pause = pause;
}

void SimulatorServer::delay_next_reply(double seconds) {
  if (!finite_nonnegative(seconds)) throw std::invalid_argument("delay must be >= 0 seconds");
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.delay = seconds;
}

void SimulatorServer::hang_up_on_next_request() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.hang_up = true;
}

void SimulatorServer::clear_faults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = FaultKnobs{};
  garbage_.clear();
}

void SimulatorServer::emit_garbage(std::string bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  garbage_ += bytes;
  wake_.notify();
}

bool SimulatorServer::hang_up(double timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return false;
  const std::uint64_t generation = line_generation_;
  hang_up_now_ = true;
  wake_.notify();
  return line_changed_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
    return line_generation_ != generation || stop_;
  }) && line_generation_ != generation;
}

std::vector<std::string> SimulatorServer::request_log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {request_log_.begin(), request_log_.end()};
}

void SimulatorServer::clear_request_log() {
  std::lock_guard<std::mutex> lock(mutex_);
  request_log_.clear();
}

std::uint64_t SimulatorServer::request_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_count_;
}

// ---- serving ----------------------------------------------------------------

int SimulatorServer::line_fd() const { return options_.tcp ? client_.get() : pty_.master.get(); }

// A request as the log shows it: the simulated time it was heard, then the frame.
std::string SimulatorServer::logged_frame(const std::string& frame_text) const {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%10.3f] ", now());
  return stamp + proto::printable_frame(frame_text);
}

SimulatorServer::LineFit SimulatorServer::line_fit(std::string* line_settings) const {
  if (!options_.line_check) return LineFit::kMatch;
  // What the master set, read at each request: it may reopen the line with
  // other settings at any time. The slave we keep open shows them.
  const std::optional<LineSettings> line = read_line_settings(pty_.keeper.get());
  if (!line) return LineFit::kMatch;
  *line_settings = describe(line->baudrate, line->parity_odd, line->stopbits);
  if (line->baudrate != options_.baudrate) return LineFit::kWrongRate;
  if (line->stopbits != options_.stopbits || line->parity_odd != (options_.parity == 'O')) {
    return LineFit::kWrongFraming;
  }
  return LineFit::kMatch;
}

void SimulatorServer::serve() {
  std::string input;
  char buf[4096];
  while (!stop_) {
    try {
      // Checked on every pass, not only when the wake pipe fires: a paced
      // reply may have drained the pipe while it waited.
      std::string garbage;
      bool hang = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        garbage.swap(garbage_);
        hang = hang_up_now_;
        hang_up_now_ = false;
      }
      if (hang) {
        drop_line();
        input.clear();
        continue;
      }
      if (!garbage.empty()) write_all(garbage);

      pollfd fds[4];
      nfds_t n = 0;
      fds[n++] = {wake_.read_end.get(), POLLIN, 0};
      const int line = line_fd();
      const nfds_t line_index = n;
      if (line >= 0) fds[n++] = {line, POLLIN, 0};
      const nfds_t listen_index = n;
      if (listener_.valid()) fds[n++] = {listener_.get(), POLLIN, 0};
      const nfds_t clients_index = n;
      if (pty_.clients.fd() >= 0) fds[n++] = {pty_.clients.fd(), POLLIN, 0};
      if (::poll(fds, n, -1) < 0) continue;  // EINTR
      if (stop_) break;
      if (fds[0].revents != 0) wake_.drain();
      if (clients_index < n && fds[clients_index].revents != 0 && pty_.clients.last_client_gone()) {
        // A client that locked the port (TIOCEXCL) and died without unlocking
        // it would lock every later client out: the flag lives as long as the
        // device, which our own descriptor keeps.
        ::ioctl(pty_.keeper.get(), TIOCNXCL);
      }

      if (listener_.valid() && listen_index < n && (fds[listen_index].revents & POLLIN) != 0) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
          // Like a serial device server, the newest connection owns the line.
          client_.reset(fd);
          const int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          input.clear();
          continue;
        }
      }
      if (line < 0 || line_index >= n || fds[line_index].revents == 0) continue;
      const ssize_t got = ::read(line, buf, sizeof buf);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        // Only a TCP client can end its side; a pseudo-terminal with our own
        // slave handle open does not report end of file.
        if (options_.tcp) {
          client_.reset();
          input.clear();
        }
        continue;
      }
      if (got < 0) continue;
      std::string line_settings;
      const LineFit fit = line_fit(&line_settings);
      if (fit == LineFit::kWrongRate) {
        // Characters sent at another rate reach a module as noise: it answers nothing.
        input.clear();
        if (options_.log) {
          options_.log(logged_frame(std::string(buf, got)) + " -> (heard as noise: line at " +
                       line_settings + ", modules at " + std::to_string(options_.baudrate) +
                       " baud)");
        }
        continue;
      }
      input.append(buf, static_cast<std::size_t>(got));
      if (input.size() > kMaxPendingInput) input.erase(0, input.size() - kMaxPendingInput);

      std::vector<Outgoing> replies;
      std::vector<std::string> log_lines;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        while (handle_input(input, fit == LineFit::kWrongFraming, &replies, &log_lines)) {
        }
      }
      if (options_.log) {
        for (const std::string& line_text : log_lines) options_.log(line_text);
      }
      for (const Outgoing& reply : replies) {
        if (stop_) break;
        send(reply);
        if (reply.hang_up) input.clear();
      }
    } catch (const std::exception& e) {
      // The thread must outlive anything the line throws at it.
      if (options_.log) options_.log(std::string("simulator error: ") + e.what());
    }
  }
}

bool SimulatorServer::handle_input(std::string& input, bool garbled, std::vector<Outgoing>* out,
                                   std::vector<std::string>* log) {
  if (input.empty()) return false;
  const proto::DecodeResult r = proto::decode(input);
  if (r.status == proto::DecodeStatus::kNeedMore) return false;
  const std::size_t used = r.consumed == 0 ? 1 : std::min(r.consumed, input.size());
  const std::string frame_text = input.substr(0, used);
  input.erase(0, used);
  if (r.status == proto::DecodeStatus::kSkippedGarbage) return true;

  const proto::Frame& f = r.frame;
  // Replies from another device, and requests for stations we are not, are
  // none of our business: a real bus carries both.
  if (f.kind != proto::FrameKind::kRequest || !r.header_valid) return true;
  auto it = models_.find(f.station);
  if (it == models_.end()) return true;
  AxisModel& model = it->second;

  // Characters framed otherwise are read with some bits wrong: the module
  // finds a bad checksum, and its reply reaches the master garbled too.
  if (garbled || r.status == proto::DecodeStatus::kBadChecksum) {
    answer(frame_text, f.station, f.command, f.tag, proto::kErrChecksum, nullptr, garbled, out,
           log);
    return true;
  }
  if (r.status == proto::DecodeStatus::kMalformed) {
    answer(frame_text, f.station, f.command, f.tag, proto::kErrMalformedRequest, nullptr, false,
           out, log);
    return true;
  }
  const proto::ParsedRequest parsed = proto::parse_request(f);
  if (parsed.error != 0) {
    answer(frame_text, f.station, f.command, f.tag, parsed.error, nullptr, false, out, log);
    return true;
  }
  const double t = now();
  answer(
      frame_text, f.station, f.command, f.tag, 0,
      [&](std::string* data) { return execute(model, t, parsed.request, data); }, false, out, log);
  return true;
}

int SimulatorServer::execute(AxisModel& model, double now, const proto::Request& request,
                             std::string* data) {
  switch (request.command) {
    case proto::Command::kReadData: {
      std::vector<std::uint16_t> words;
      const int err = model.read_registers(now, request.number, request.count, &words);
      if (err == 0) *data = proto::format_words(words);
      return err;
    }
    case proto::Command::kWriteData:
      return model.write_registers(now, request.number, request.words);
    case proto::Command::kReadCoil: {
      bool value = false;
      const int err = model.read_coil(now, request.device, request.number, &value);
      if (err == 0) *data = value ? "1" : "0";
      return err;
    }
    case proto::Command::kWriteCoil:
      return model.write_coil(now, request.device, request.number, request.coil);
    case proto::Command::kReadWord: {
      std::uint16_t word = 0;
      const int err = model.read_coil_word(now, request.device, request.number, &word);
      if (err == 0) *data = proto::format_words({word});
      return err;
    }
    case proto::Command::kWriteWord:
      if (request.words.size() != 1) return proto::kErrMalformedRequest;
      return model.write_coil_word(now, request.device, request.number, request.words[0]);
  }
  return proto::kErrUnknownCommand;
}

void SimulatorServer::answer(const std::string& frame_text, int station, const std::string& command,
                             char tag, int request_error,
                             const std::function<int(std::string*)>& act, bool garbled,
                             std::vector<Outgoing>* out, std::vector<std::string>* log) {
  ++request_count_;
  request_log_.push_back(proto::printable_frame(frame_text));
  if (request_log_.size() > kRequestLogLimit) request_log_.pop_front();
  std::string line = logged_frame(frame_text) + " -> ";

  FaultKnobs& f = faults_;
  if (f.hang_up) {
    // The line drops before the device has seen the request.
    f.hang_up = false;
    Outgoing o;
    o.hang_up = true;
    out->push_back(std::move(o));
    log->push_back(line + "(line hung up)");
    return;
  }
  int error = request_error;
  std::string data;
  if (f.error_code != 0) {
    // A refused request is not carried out.
    error = f.error_code;
    f.error_code = 0;
  } else if (error == 0 && act) {
    error = act(&data);
  }
  if (f.drop_replies > 0) {
    --f.drop_replies;
    log->push_back(line + "(reply dropped)");
    return;
  }
  if (f.as_station != 0) {
    station = f.as_station;
    f.as_station = 0;
  }
  Outgoing o;
  o.bytes = error != 0 ? proto::encode_error_reply(station, command, tag, error)
                       : proto::encode_reply(station, command, tag, data);
  std::string note;
  if (f.corrupt) {
    f.corrupt = false;
    const std::size_t last_digit = o.bytes.size() - 2;  // before the terminator
    if (f.corrupt_offset < 0 || static_cast<std::size_t>(f.corrupt_offset) > last_digit) {
      // Another valid hex digit: the reply still parses, its checksum is wrong.
      o.bytes[last_digit] = o.bytes[last_digit] == '0' ? '1' : '0';
    } else {
      const auto i = static_cast<std::size_t>(f.corrupt_offset);
      o.bytes[i] = static_cast<char>(o.bytes[i] ^ 0x01);
    }
    note += " (corrupted)";
  }
  if (garbled) {
    // The high bit stands for the bits that a differently framed character
    // shifts: nothing of it decodes, not even the terminator.
    for (char& c : o.bytes) c = static_cast<char>(c ^ 0x80);
    note += " (garbled: the line's framing differs from the modules')";
  }
  if (options_.baudrate > 0) {
    o.delay = static_cast<double>(frame_text.size() + o.bytes.size()) * bits_per_char(options_) /
                  options_.baudrate +
              options_.turnaround;
  }
  if (f.delay > 0.0) {
    o.delay += f.delay;
    f.delay = 0.0;
    note += " (delayed)";
  }
  if (f.split) {
    o.split = true;
    o.split_at = f.split_at;
    o.split_pause = f.split_pause;
    f.split = false;
    note += " (split)";
  }
  log->push_back(line + proto::printable_frame(o.bytes) + note);
  out->push_back(std::move(o));
}

void SimulatorServer::send(const Outgoing& reply) {
  if (reply.hang_up) {
    drop_line();
    return;
  }
  if (reply.delay > 0.0 && !pause(reply.delay)) return;
  if (reply.split) {
    const std::size_t at = std::min(reply.split_at, reply.bytes.size());
    if (!write_all(reply.bytes.substr(0, at))) return;
    if (!pause(reply.split_pause)) return;
    write_all(reply.bytes.substr(at));
    return;
  }
  write_all(reply.bytes);
}

bool SimulatorServer::write_all(const std::string& bytes) {
  std::size_t done = 0;
  int stalls = 0;
  while (done < bytes.size()) {
    const int fd = line_fd();
    if (fd < 0) return false;
    const ssize_t n = options_.tcp
                          ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                          : ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && ++stalls < 10) {
      // Nobody drains the line: wait a little, then give the bytes up, as a
      // device talking to an unplugged cable would.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (options_.tcp && n < 0 && errno != EAGAIN) client_.reset();
    return false;
  }
  return true;
}

bool SimulatorServer::pause(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!stop_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      // Sub-millisecond remainder (paced replies at high rates).
      std::this_thread::sleep_until(deadline);
      return !stop_;
    }
    pollfd p{wake_.read_end.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) > 0) {
      // Garbage and hang-up requests are picked up by the loop afterwards.
      wake_.drain();
      // A hang-up cuts a held-back reply short: the rest is never sent.
      std::lock_guard<std::mutex> lock(mutex_);
      if (hang_up_now_) return false;
    }
  }
  return false;
}

void SimulatorServer::drop_line() {
  if (options_.tcp) {
    client_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    ++line_generation_;
    line_changed_.notify_all();
    return;
  }
  PtyLine fresh;
  std::string path;
  try {
    fresh = open_pty();
    path = fresh.path;
  } catch (const std::exception& e) {
    if (options_.log)
      options_.log(std::string("simulator: no new line after hang-up: ") + e.what());
  }
  PtyLine old = std::move(pty_);
  pty_ = std::move(fresh);
  {
    // The new name is in place before the client can notice the hang-up.
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = path;
  }
  // Closing the old master is what the client sees as the hang-up.
  old = PtyLine{};
  std::lock_guard<std::mutex> lock(mutex_);
  ++line_generation_;
  line_changed_.notify_all();
}

}  // namespace mew::sim
