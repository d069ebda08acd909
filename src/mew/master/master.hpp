// The bus master: one transaction at a time on one port, with time-outs,
// retries and a per-transaction trace. Plain C++; the Python class MewMaster is
// a thin layer over it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mew/master/errors.hpp"
#include "mew/master/tag_ledger.hpp"
#include "mew/protocol/address.hpp"
#include "mew/protocol/frame_codec.hpp"
#include "mew/transport/transport.hpp"

namespace mew::master {

struct MasterOptions {
  transport::SerialSettings serial;
  double timeout = 0.5;   // seconds to wait for the first byte of a reply
  int retries = 2;        // extra attempts of a read (see Master::transact)
  bool exclusive = true;  // lock a serial port against other openers
  bool reconnect = true;  // reopen a lost line at the next call (see Master::transact)
  // Low-latency and RS-485 mode of a serial device; the sysfs root to look
  // for its latency timer.
  transport::TuningOptions tuning;
  // Called while a call waits, about every transport::kWaitSlice and when a
  // signal ends a wait early, without the master's lock: it may run code
  // that uses this master. It throws to abandon the call (the binding raises
  // KeyboardInterrupt this way).
  transport::WaitHook check_interrupt;
};

struct Stats {
  std::uint64_t transactions = 0;  // operations that went to the bus
  std::uint64_t retries = 0;       // requests sent again
  std::uint64_t errors = 0;        // attempts without a valid answer
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;  // including discarded stale bytes and noise
};

// What went over the wire in one operation, for DEBUG logging. Collected only
// when asked for, so the binding can log it after the GIL is held again.
struct TraceEntry {
  enum Kind : char { kSent = '>', kReceived = '<', kNote = '#' };
  Kind kind;
  std::string text;  // raw frame bytes, or a note ("discarded stale reply ...")
};
using Trace = std::vector<TraceEntry>;

inline constexpr double kMaxTimeout = 3600.0;
inline constexpr int kMaxRetries = 100;
inline constexpr int kMaxValuesPerTransfer = protocol::kMaxRegisterCount / 2;

class Master {
 public:
  // Opens `port` (a serial device path or "tcp://host:port"). Throws
  // std::invalid_argument for bad options, Error when the port cannot be opened.
  Master(std::string port, const MasterOptions& options);
  // Uses an already open transport (tests, or a caller's own line).
  Master(std::unique_ptr<transport::Transport> transport, std::string port,
         const MasterOptions& options);
  ~Master();
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;

  // Releases the port; idempotent. Waits for a transaction in progress.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }

  const std::string& port() const { return port_; }
  const MasterOptions& options() const { return options_; }
  std::chrono::microseconds first_byte_timeout() const { return first_byte_timeout_; }
  std::chrono::microseconds inter_byte_timeout() const { return inter_byte_timeout_; }
  Stats stats() const;
  // What opening the line found out (low-latency mode, the latency timer's
  // file) for the line open now; empty while no line is open.
  transport::TuningReport tuning_report() const;

  // The operations. Bad station, address, count: std::invalid_argument; a value
  // that does not fit its width (negatives included for the unsigned and coil
  // word writes): std::overflow_error. Both are raised before anything is sent.
  std::int32_t get_int32(int station, std::string_view address, Trace* trace = nullptr);
  void set_int32(int station, std::string_view address, std::int64_t value, Trace* trace = nullptr);
  void set_uint32(int station, std::string_view address, std::int64_t value,
                  Trace* trace = nullptr);
  std::vector<std::int32_t> get_multi_int32(int station, std::string_view address, int count,
                                            Trace* trace = nullptr);
  void set_multi_uint32(int station, std::string_view address,
                        const std::vector<std::int64_t>& values, Trace* trace = nullptr);
  bool get_coil(int station, std::string_view address, Trace* trace = nullptr);
  void set_coil(int station, std::string_view address, bool value, Trace* trace = nullptr);
  std::uint16_t get_coil_uint16(int station, std::string_view address, Trace* trace = nullptr);
  void set_coil_uint16(int station, std::string_view address, std::int64_t value,
                       Trace* trace = nullptr);

 private:
  struct Op;  // operation name, station and address, for messages
  struct Reply;
  class LineTurn;

  void check_options() const;
  void derive_timeouts();
  Op register_op(const char* name, int station, std::string_view address, int words,
                 protocol::Command command);
  Op coil_op(const char* name, int station, std::string_view address, protocol::Command command);
  std::vector<std::uint16_t> read_registers(const Op& op, Trace* trace);
  void write_values(const char* name, int station, std::string_view address,
                    const std::vector<std::int64_t>& values, bool is_signed, Trace* trace);
  // Sends `request` and returns the data of its reply; that of a register or
  // coil word read also as words, in `words`.
  std::string transact(const Op& op, const protocol::Request& request, Trace* trace,
                       std::vector<std::uint16_t>* words = nullptr);
  Reply attempt(LineTurn& turn, const Op& op, char tag, bool* sent, Trace* trace);
  // `next_check`: when the caller's signals are due to be checked.
  Reply await_reply(LineTurn& turn, const Op& op, char tag,
                    std::chrono::steady_clock::time_point deadline,
                    std::chrono::steady_clock::time_point next_check, Trace* trace);
  // Reads the line until the station of `op` has a free tag and a whole
  // attempt still fits before `until`: kOk with the tag in `tag`, kTakenOver,
  // or kTimeout once `until` has passed.
  Reply wait_for_tag(LineTurn& turn, const Op& op, std::chrono::steady_clock::time_point until,
                     char* tag, Trace* trace);
  // Shows the ledger the frames at the front of `input`, which arrived by
  // `arrived` (late replies free their tags), and drops them; a piece of a
  // frame at the end stays, and keeps every station from counting as quiet.
  void look_through(std::string& input, std::chrono::steady_clock::time_point arrived);
  [[noreturn]] void raise_failure(const Op& op, const Reply& reply, int attempt) const;
  void reopen(LineTurn& turn, const Op& op);
  void drop_line();
  char prepare_line(int station, Trace* trace);
  void set_line_report(transport::TuningReport report);
  std::string where(const Op& op) const;

  std::string port_;
  MasterOptions options_;
  std::chrono::microseconds first_byte_timeout_{};
  std::chrono::microseconds inter_byte_timeout_{};
  std::chrono::microseconds char_time_{};
  // The most one attempt can take: a longest request on the wire, the
  // time-out, and a longest reply that began just before it ended.
  std::chrono::microseconds longest_attempt_{};

  // One transaction at a time. mutex_ guards the members below; a transaction
  // that lets its caller check for signals (LineTurn::pause) gives up mutex_
  // for that moment but keeps the line.
  std::mutex mutex_;
  std::condition_variable line_free_;
  std::uint64_t turn_ = 0;  // counts transactions that took the line
  bool paused_ = false;
  std::thread::id paused_thread_;
  std::unique_ptr<transport::Transport> transport_;  // null: closed, or the line was lost
  // Set when a line that must not be reopened by name was lost, with its errno.
  bool line_gone_ = false;
  int gone_errno_ = 0;
  TagLedger ledger_{std::chrono::microseconds(0)};  // see derive_timeouts
  // False only while the last exchange on this line is known to have ended
  // cleanly: then nothing is waiting that a request did not ask for.
  bool line_unsettled_ = true;
  std::atomic<bool> closed_{false};
  // Apart from mutex_, which a transaction holds while it waits on the wire.
  mutable std::mutex report_mutex_;
  transport::TuningReport line_report_;

  std::atomic<std::uint64_t> transactions_{0}, retries_{0}, errors_{0}, bytes_sent_{0},
      bytes_received_{0};
};

}  // namespace mew::master
