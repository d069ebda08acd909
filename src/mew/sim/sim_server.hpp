// The simulator: one device model per station behind a real line (a
// pseudo-terminal, or a loopback TCP port like a serial device server), served
// by a native thread, with fault injection.
//
// One mutex guards the models, the fault knobs and the line's identity. The
// serving thread holds it only while it decodes a request, runs it on the model
// and builds the reply; waits, pacing and writes happen outside it, so control
// calls from other threads never wait on the wire.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mew/protocol/frame_codec.hpp"
#include "mew/sim/axis_model.hpp"
#include "mew/sim/sim_line.hpp"

namespace mew::sim {

// What a simulator serves and how; the defaults here are the simulator's defaults
// everywhere (the Python binding reads them for its keyword defaults).
struct SimulatorOptions {
  std::vector<int> stations{1};
  double time_scale = 1.0;  // simulated seconds per real second
  int baudrate = 0;         // 0: answer at once; else pace replies by their wire time
  char parity = 'N';        // the modules' framing: 'N', 'E' or 'O', and 1 or 2 stop bits
  int stopbits = 1;
  // Answer only a master that set the pseudo-terminal to `baudrate` and the
  // framing; another rate is heard as noise, another framing as garbage.
  bool line_check = false;
  double turnaround = 0.002;  // seconds before a paced reply starts
  bool tcp = false;
  int tcp_port = 0;  // 0 picks a free port
  Geometry geometry;
  std::int32_t start_position = kDefaultStartPosition;
  // Simulated seconds between trace samples: 0, or kMinTraceInterval and more.
  double trace_interval = kDefaultTraceInterval;
  // Called on the serving thread, outside the lock, with one line per request.
  std::function<void(const std::string&)> log;
};

// One-shot faults that the next replies suffer.
struct FaultKnobs {
  int drop_replies = 0;
  bool corrupt = false;
  int corrupt_offset = -1;  // -1: the last checksum digit
  int error_code = 0;
  int as_station = 0;
  bool split = false;
  std::size_t split_at = 0;
  double split_pause = 0.0;
  double delay = 0.0;
  bool hang_up = false;
};

class SimulatorServer {
 public:
  static constexpr std::size_t kRequestLogLimit = 1000;

  // Opens the line and starts serving. Throws std::invalid_argument for bad
  // options and std::system_error when the line cannot be opened.
  explicit SimulatorServer(SimulatorOptions options);
  ~SimulatorServer();
  SimulatorServer(const SimulatorServer&) = delete;
  SimulatorServer& operator=(const SimulatorServer&) = delete;

  // Stops the thread and releases the line. Idempotent.
  void close();
  bool closed() const { return closed_; }

  std::string port() const;
  const std::vector<int>& stations() const { return options_.stations; }
  const SimulatorOptions& options() const { return options_; }
  double now() const;  // simulated seconds since the start

  // Runs `f(model, now)` under the lock. Throws std::out_of_range for a
  // station the simulator does not serve.
  template <class F>
  auto with_station(int station, F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(model(station), now());
  }

  // ---- fault injection (each applies to the next reply or replies)
  void drop_replies(int count);
  void corrupt_next_reply(int offset);
  void error_next_reply(int code);
  void answer_next_as(int station);
  void split_next_reply(std::size_t at, double pause);
  void delay_next_reply(double seconds);
  void hang_up_on_next_request();
  void clear_faults();
  // Writes raw bytes on the line as soon as the serving thread gets to them.
  void emit_garbage(std::string bytes);
  // Drops the line now. A pseudo-terminal is replaced by a new one (port()
  // changes); over TCP the client connection is closed and the port stays.
  // Returns once the serving thread has done it (false if it did not within
  // `timeout` seconds, e.g. while it holds back a delayed reply).
  bool hang_up(double timeout = 5.0);

  std::vector<std::string> request_log() const;
  void clear_request_log();
  std::uint64_t request_count() const;

 private:
  std::string logged_frame(const std::string& frame_text) const;
  struct Outgoing {
    std::string bytes;
    bool hang_up = false;
    double delay = 0.0;
    bool split = false;
    std::size_t split_at = 0;
    double split_pause = 0.0;
  };

  // How the master's line settings fit the modules' (line_check).
  enum class LineFit { kMatch, kWrongRate, kWrongFraming };

  AxisModel& model(int station);
  void serve();
  LineFit line_fit(std::string* line_settings) const;
  // Handles the front of the input buffer (lock held); false when it needs
  // more bytes.
  // `garbled`: the line's framing differs, so every request reads as one with a bad checksum.
  bool handle_input(std::string& input, bool garbled, std::vector<Outgoing>* out,
                    std::vector<std::string>* log);
  // Answers one request frame (lock held): runs it unless a fault says
  // otherwise and queues the reply that the faults leave.
  void answer(const std::string& frame_text, int station, const std::string& command, char tag,
              int request_error, const std::function<int(std::string*)>& act, bool garbled,
              std::vector<Outgoing>* out, std::vector<std::string>* log);
  static int execute(AxisModel& model, double now, const protocol::Request& request,
                     std::string* data);
  void send(const Outgoing& reply);
  bool write_all(const std::string& bytes);
  // Sleeps `seconds`, or less when close() asks the thread to stop.
  bool pause(double seconds);
  void drop_line();
  int line_fd() const;

  SimulatorOptions options_;
  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::map<int, AxisModel> models_;
  FaultKnobs faults_;
  std::string garbage_;
  bool hang_up_now_ = false;
  std::uint64_t line_generation_ = 0;  // counts hang-ups done
  std::condition_variable line_changed_;
  std::deque<std::string> request_log_;
  std::uint64_t request_count_ = 0;
  std::string port_;

  // Owned by the serving thread once it runs.
  PtyLine pty_;
  UniqueFd listener_;
  UniqueFd client_;
  WakePipe wake_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
  std::thread thread_;
};

}  // namespace mew::sim
