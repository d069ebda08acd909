#include "mew/master/master.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "mew/protocol/printable.hpp"

namespace mew::master {

using protocol::printable;

using protocol::Address;
using protocol::AddressKind;
using protocol::Command;
using protocol::DecodeStatus;
using protocol::Request;
using std::chrono::microseconds;

struct Master::Op {
  const char* name;
  int station;
  std::string_view address;
  Request request;
};

struct Master::Reply {
  // kNoTag: no request went out, every tag of the station was held.
  enum Outcome { kOk, kTimeout, kCorrupt, kTakenOver, kNoTag };
  Reply() = default;
  explicit Reply(Outcome o) : outcome(o) {}
  Outcome outcome = kTimeout;
  protocol::Frame frame;
  std::string detail;
  bool no_reply = false;  // not the start of any reply came back
  bool alone = false;     // the reply frame was all that was read
};

namespace {

std::string seconds_text(microseconds t) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(t.count()) / 1e6);
  return text;
}

void note(Trace* trace, TraceEntry::Kind kind, std::string_view text) {
  if (trace != nullptr) trace->push_back({kind, std::string(text)});
}

std::string op_text(const char* name, int station, std::string_view address) {
  return std::string(name) + "(" + std::to_string(station) + ", '" + printable(address) + "')";
}

// The operation's name in front of the protocol's own wording.
Address parse_for(const char* name, std::string_view text, AddressKind kind, bool write) {
  try {
    return protocol::require_address(text, kind, write);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string(name) + ": " + e.what());
  }
}

Request register_request(const char* name, std::string_view text, int words) {
  const Address a = parse_for(name, text, AddressKind::kDataRegister, false);
  if (a.number + words - 1 > protocol::kMaxRegister) {
    throw std::invalid_argument(std::string(name) + ": registers DT" + std::to_string(a.number) +
                                "..DT" + std::to_string(a.number + words - 1) + " run past DT" +
                                std::to_string(protocol::kMaxRegister));
  }
  Request r;
  r.device = 'D';
  r.number = a.number;
  r.count = words;
  return r;
}

void check_count(const char* name, std::size_t count) {
  if (count < 1 || count > static_cast<std::size_t>(kMaxValuesPerTransfer)) {
    throw std::invalid_argument(std::string(name) + ": " + std::to_string(count) +
                                " values; one transfer carries 1.." +
                                std::to_string(kMaxValuesPerTransfer));
  }
}

void check_range(const char* name, std::int64_t value, std::int64_t low, std::int64_t high,
                 const char* what) {
  if (value < low || value > high) {
    throw std::overflow_error(std::string(name) + ": value " + std::to_string(value) +
                              " out of range for " + what + " (" + std::to_string(low) + ".." +
                              std::to_string(high) + ")");
  }
}

constexpr std::int64_t kInt32Min = -2147483648LL;
constexpr std::int64_t kInt32Max = 2147483647LL;
constexpr std::int64_t kUint32Max = 4294967295LL;

void push_uint32(std::vector<std::uint16_t>& words, std::uint32_t value) {
  words.push_back(static_cast<std::uint16_t>(value & 0xFFFF));  // low word first
  words.push_back(static_cast<std::uint16_t>(value >> 16));
}

std::int32_t int32_at(const std::vector<std::uint16_t>& words, std::size_t k) {
  const std::uint32_t bits =
      static_cast<std::uint32_t>(words[2 * k]) | static_cast<std::uint32_t>(words[2 * k + 1]) << 16;
  // Modulo 2^32 (C++17 leaves it to the implementation; GCC and Clang define it so).
  return static_cast<std::int32_t>(bits);
}

// Does the data of a reply fit the request it answers? The words of a
// register or coil word read go to `words`.
bool reply_data_fits(const Request& request, std::string_view data,
                     std::vector<std::uint16_t>* words) {
  switch (request.command) {
    case Command::kReadData:
      return protocol::parse_words(data, static_cast<std::size_t>(request.count), words);
    case Command::kReadCoil:
      return data == "0" || data == "1";
    case Command::kReadWord:
      return protocol::parse_words(data, 1, words);
    default:
      return data.empty();
  }
}

bool is_read(Command command) {
  return command == Command::kReadData || command == Command::kReadCoil ||
         command == Command::kReadWord;
}

// A request that got no answer keeps its tag until its station has been quiet
// this long (or four time-outs, if that is longer): a reply later still, after
// such a silence, is beyond what the master can tell from the answer to a new
// request (docs/protocol.md, the transaction tag).
constexpr microseconds kMinQuiet{2000000};

// What opening (and reopening) the line takes from the master's options.
transport::OpenOptions open_options(const MasterOptions& options,
                                    transport::WaitHook between_slices) {
  transport::OpenOptions o;
  o.serial = options.serial;
  o.connect_timeout = microseconds(static_cast<std::int64_t>(std::max(options.timeout, 1.0) * 1e6));
  o.exclusive = options.exclusive;
  o.tuning = options.tuning;
  o.between_slices = std::move(between_slices);
  return o;
}

}  // namespace

Master::Master(std::string port, const MasterOptions& options)
    : port_(std::move(port)), options_(options) {
  check_options();
  try {
    transport_ = transport::open_transport(port_, open_options(options_, options_.check_interrupt));
  } catch (const transport::TransportError& e) {
    throw Error(e.what(), e.error_number());
  }
  derive_timeouts();
  set_line_report(transport_->tuning_report());
}

Master::Master(std::unique_ptr<transport::Transport> transport, std::string port,
               const MasterOptions& options)
    : port_(std::move(port)), options_(options), transport_(std::move(transport)) {
  if (!transport_) throw std::invalid_argument("no transport");
  check_options();
  derive_timeouts();
  set_line_report(transport_->tuning_report());
}

Master::~Master() { close(); }

void Master::check_options() const {
  options_.serial.validate();
  if (!(options_.timeout > 0.0) || !(options_.timeout <= kMaxTimeout)) {
    throw std::invalid_argument("timeout must be a number of seconds in (0, 3600]");
  }
  if (options_.retries < 0 || options_.retries > kMaxRetries) {
    throw std::invalid_argument("retries must be 0..100");
  }
}

void Master::derive_timeouts() {
  const double char_seconds =
      static_cast<double>(options_.serial.bits_per_character()) / options_.serial.baudrate;
  char_time_ = microseconds(static_cast<std::int64_t>(std::ceil(char_seconds * 1e6)));
  first_byte_timeout_ = microseconds(static_cast<std::int64_t>(options_.timeout * 1e6));
  // Ten character times between two bytes of a frame is far beyond any UART
  // gap; the floor covers latency the baud rate says nothing about.
  inter_byte_timeout_ = std::max(transport_->inter_byte_floor(), char_time_ * 10);
  const microseconds longest_frame =
      char_time_ * static_cast<std::int64_t>(protocol::kMaxFrameLength);
  longest_attempt_ = longest_frame + first_byte_timeout_ + longest_frame + inter_byte_timeout_;
  ledger_ = TagLedger(std::max(kMinQuiet, first_byte_timeout_ * 4));
}

// ---- the line ---------------------------------------------------------------

// The right to use the line for one transaction. Threads queue for it; the
// thread whose transaction is paused may take it over: a signal handler (or a
// finaliser run while signals are checked) that stops the axis must reach the
// device now, not deadlock behind the call it interrupted.
class Master::LineTurn {
 public:
  explicit LineTurn(Master& m) : m_(m), lock_(m.mutex_) { take(); }
  LineTurn(const LineTurn&) = delete;
  LineTurn& operator=(const LineTurn&) = delete;

  // Lets `check` run without the lock (it may call into Python, and Python
  // code may use this master). False when a call of this same thread used the
  // line meanwhile: the transaction has lost its place and must not read on.
  bool pause(const transport::WaitHook& check) {
    if (!check) return true;
    {
      Unlocked unlocked(*this);
      check();
    }
    return m_.turn_ == turn_;
  }

  // Queues again after the line was taken over.
  void take() {
    const std::thread::id me = std::this_thread::get_id();
    m_.line_free_.wait(lock_, [&] { return !m_.paused_ || m_.paused_thread_ == me; });
    m_.paused_ = false;  // a paused call of this thread is taken over
    turn_ = ++m_.turn_;
  }

 private:
  struct Unlocked {
    explicit Unlocked(LineTurn& t) : t_(t) {
      t_.m_.paused_ = true;
      t_.m_.paused_thread_ = std::this_thread::get_id();
      t_.lock_.unlock();
    }
    ~Unlocked() {
      t_.lock_.lock();
      if (t_.m_.turn_ == t_.turn_) {
        t_.m_.paused_ = false;
      } else {
        // The call that took the line over may have left it settled, but the
        // reply to the paused request can still come.
        t_.m_.line_unsettled_ = true;
      }
      t_.m_.line_free_.notify_all();
    }
    LineTurn& t_;
  };

  Master& m_;
  std::unique_lock<std::mutex> lock_;
  std::uint64_t turn_ = 0;
};

void Master::close() {
  LineTurn turn(*this);
  if (transport_) {
    transport_->close();
    transport_.reset();
  }
  set_line_report({});
  closed_.store(true, std::memory_order_release);
}

void Master::drop_line() {
  // Closed at once: a replugged adapter must find its device name free, and
  // the port lock must not outlive the line.
  transport_->close();
  transport_.reset();
  set_line_report({});
}

void Master::reopen(LineTurn& turn, const Op& op) {
  try {
    transport_ = transport::open_transport(
        port_, open_options(options_, [&] {
          if (!turn.pause(options_.check_interrupt)) {
            throw Error(where(op) + ": another call took the line while reopening it");
          }
        }));
  } catch (const transport::TransportError& e) {
    throw Error(where(op) + ": the line was lost and could not be reopened: " + e.what(),
                e.error_number());
  }
  line_unsettled_ = true;  // whatever the device said before the first request
  set_line_report(transport_->tuning_report());
}

void Master::set_line_report(transport::TuningReport report) {
  std::lock_guard<std::mutex> lock(report_mutex_);
  line_report_ = std::move(report);
}

transport::TuningReport Master::tuning_report() const {
  std::lock_guard<std::mutex> lock(report_mutex_);
  return line_report_;
}

// Input left over from an exchange that did not end cleanly (a time-out, a
// corrupt reply, noise, an interrupted wait) or from before the line was
// (re)opened cannot be the answer to the next request, even if it carries the
// tag about to be used: it is thrown away first, once late replies in it have
// freed their tags. So is what waits before the tags of a station that has
// been quiet are given back: that it was quiet must be seen on the line. After
// a clean exchange the line costs no read here; what a device still says
// unasked the decoder skips and the tag rejects. Returns the tag for the
// request, 0 while every tag of `station` is held.
char Master::prepare_line(int station, Trace* trace) {
  using clock = std::chrono::steady_clock;
  // The clock is read only for a station that holds tags (their quiet time).
  const bool holds = ledger_.held(station) > 0;
  const bool look = line_unsettled_ || (holds && ledger_.releasable(station, clock::now()));
  std::string stale;
  transport_->prepare_request(look ? &stale : nullptr);
  line_unsettled_ = true;  // until this exchange is seen to end cleanly
  if (!stale.empty()) {
    const auto now = clock::now();
    bytes_received_.fetch_add(stale.size(), std::memory_order_relaxed);
    note(trace, TraceEntry::kNote, "discarded " + std::to_string(stale.size()) + " stale byte(s)");
    // What came after the cap, or arrives later, the decoder skips and the tag
    // rejects; until it is read, no station counts as quiet.
    if (stale.size() >= transport::kMaxDiscard) ledger_.heard_from_anyone(now);
    look_through(stale, now);
  }
  return ledger_.free_tag(station, holds ? clock::now() : clock::time_point{});
}

void Master::look_through(std::string& input, std::chrono::steady_clock::time_point arrived) {
  std::size_t used = 0;
  for (;;) {
    const protocol::DecodeResult d = protocol::decode(std::string_view(input).substr(used));
    if (d.status == DecodeStatus::kNeedMore) break;
    if (d.status == DecodeStatus::kFrame) ledger_.seen(d.frame, arrived);
    if (d.status == DecodeStatus::kBadChecksum && d.header_valid) {
      ledger_.heard(d.frame.station, arrived);
    }
    used += d.consumed;
  }
  input.erase(0, used);
  // The rest of a frame is on its way: until it has come, no station counts as quiet.
  if (!input.empty()) ledger_.heard_from_anyone(arrived);
}

Stats Master::stats() const {
  Stats s;
  s.transactions = transactions_.load(std::memory_order_relaxed);
  s.retries = retries_.load(std::memory_order_relaxed);
  s.errors = errors_.load(std::memory_order_relaxed);
  s.bytes_sent = bytes_sent_.load(std::memory_order_relaxed);
  s.bytes_received = bytes_received_.load(std::memory_order_relaxed);
  return s;
}

std::string Master::where(const Op& op) const {
  return op_text(op.name, op.station, op.address) + " on " + port_;
}

// ---- operations -----------------------------------------------------------

namespace {

bool is_write(Command command) {
  return command == Command::kWriteData || command == Command::kWriteCoil ||
         command == Command::kWriteWord;
}

}  // namespace

// Checks station and address of an operation on `words` data registers.
Master::Op Master::register_op(const char* name, int station, std::string_view address, int words,
                               Command command) {
  protocol::check_station(station, name);
  Op op{name, station, address, register_request(name, address, words)};
  op.request.command = command;
  return op;
}

// Checks station and address of an operation on one coil or one coil word.
Master::Op Master::coil_op(const char* name, int station, std::string_view address,
                           Command command) {
  protocol::check_station(station, name);
  const bool word = command == Command::kReadWord || command == Command::kWriteWord;
  const Address a = parse_for(name, address, word ? AddressKind::kCoilWord : AddressKind::kCoil,
                              is_write(command));
  Op op{name, station, address, Request{}};
  op.request.command = command;
  op.request.device = a.device;
  op.request.number = a.number;
  return op;
}

std::vector<std::uint16_t> Master::read_registers(const Op& op, Trace* trace) {
  std::vector<std::uint16_t> out;
  transact(op, op.request, trace, &out);
  return out;
}

void Master::write_values(const char* name, int station, std::string_view address,
                          const std::vector<std::int64_t>& values, bool is_signed, Trace* trace) {
  protocol::check_station(station, name);
  check_count(name, values.size());
  Op op =
      register_op(name, station, address, static_cast<int>(values.size()) * 2, Command::kWriteData);
  op.request.words.reserve(values.size() * 2);
  for (std::int64_t v : values) {
    if (is_signed) {
      check_range(name, v, kInt32Min, kInt32Max, "a signed 32-bit value");
    } else {
      check_range(name, v, 0, kUint32Max, "an unsigned 32-bit value");
    }
    push_uint32(op.request.words, static_cast<std::uint32_t>(v));
  }
  transact(op, op.request, trace);
}

std::int32_t Master::get_int32(int station, std::string_view address, Trace* trace) {
  const Op op = register_op("get_int32", station, address, 2, Command::kReadData);
  return int32_at(read_registers(op, trace), 0);
}

void Master::set_int32(int station, std::string_view address, std::int64_t value, Trace* trace) {
  write_values("set_int32", station, address, {value}, true, trace);
}

void Master::set_uint32(int station, std::string_view address, std::int64_t value, Trace* trace) {
  write_values("set_uint32", station, address, {value}, false, trace);
}

std::vector<std::int32_t> Master::get_multi_int32(int station, std::string_view address, int count,
                                                  Trace* trace) {
  protocol::check_station(station, "get_multi_int32");
  check_count("get_multi_int32", count < 0 ? 0 : static_cast<std::size_t>(count));
  const Op op = register_op("get_multi_int32", station, address, 2 * count, Command::kReadData);
  const std::vector<std::uint16_t> words = read_registers(op, trace);
  std::vector<std::int32_t> values;
  values.reserve(static_cast<std::size_t>(count));
  for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
    values.push_back(int32_at(words, k));
  }
  return values;
}

void Master::set_multi_uint32(int station, std::string_view address,
                              const std::vector<std::int64_t>& values, Trace* trace) {
  write_values("set_multi_uint32", station, address, values, false, trace);
}

bool Master::get_coil(int station, std::string_view address, Trace* trace) {
  const Op op = coil_op("get_coil", station, address, Command::kReadCoil);
  return transact(op, op.request, trace) == "1";
}

void Master::set_coil(int station, std::string_view address, bool value, Trace* trace) {
  Op op = coil_op("set_coil", station, address, Command::kWriteCoil);
  op.request.coil = value;
  transact(op, op.request, trace);
}

std::uint16_t Master::get_coil_uint16(int station, std::string_view address, Trace* trace) {
  const Op op = coil_op("get_coil_uint16", station, address, Command::kReadWord);
  std::vector<std::uint16_t> word;
  transact(op, op.request, trace, &word);
  return word.at(0);
}

void Master::set_coil_uint16(int station, std::string_view address, std::int64_t value,
                             Trace* trace) {
  Op op = coil_op("set_coil_uint16", station, address, Command::kWriteWord);
  check_range("set_coil_uint16", value, 0, 0xFFFF, "a 16-coil word");
  op.request.words = {static_cast<std::uint16_t>(value)};
  transact(op, op.request, trace);
}

// ---- one transaction ------------------------------------------------------

namespace {

const char kNoReplyHint[] =
    "; usual causes: baud rate or framing, station number, wiring, bus termination";
const char kGoneAtLoss[] =
    " (the line is gone: a pseudo-terminal is never reopened, its name may already belong to "
    "another one)";
const char kLineGone[] =
    ": the line is gone (a pseudo-terminal is never reopened, its name may already belong to "
    "another one); a new MewMaster can open the new line";

std::string tries_text(int attempt) {
  return attempt > 1 ? " (" + std::to_string(attempt) + " attempts)" : std::string();
}

}  // namespace

std::string Master::transact(const Op& op, const Request& request, Trace* trace,
                             std::vector<std::uint16_t>* words) {
  std::vector<std::uint16_t> unused;
  if (words == nullptr) words = &unused;
  LineTurn turn(*this);
  // A read can always be asked again. A write is sent again only when the
  // device has told us it ignored the request (checksum error): anything else
  // may mean it already acted, and a repeated relative move would move twice.
  const bool may_repeat = is_read(request.command);
  const int attempts = options_.retries + 1;
  bool reopened = false;
  if (closed()) throw Error("MewMaster on " + port_ + " is closed");
  transactions_.fetch_add(1, std::memory_order_relaxed);
  // A call that has to wait for a free tag still ends by the time its
  // attempts may take: once it has waited, an attempt goes out only if it fits.
  const auto call_deadline = std::chrono::steady_clock::now() + longest_attempt_ * attempts;
  bool waited = false;
  Reply failed;  // the last attempt that got no valid answer, for the error
  int failed_attempt = 0;

  for (int attempt = 1;; ++attempt) {
    if (closed()) throw Error("MewMaster on " + port_ + " is closed");
    if (line_gone_) throw Error(where(op) + kLineGone, gone_errno_);
    if (!transport_) {
      // The line was lost; this call reopens it, once.
      if (reopened) throw Error(where(op) + ": the line was lost again after reopening it");
      reopened = true;
      reopen(turn, op);
    }

    Reply reply;
    bool sent = false;
    try {
      char tag = prepare_line(op.station, trace);
      Reply go(Reply::kOk);
      if (tag == 0 || waited) {
        waited = true;
        go = wait_for_tag(turn, op, call_deadline, &tag, trace);
      }
      reply = go.outcome == Reply::kOk ? this->attempt(turn, op, tag, &sent, trace) : std::move(go);
    } catch (const transport::TransportError& e) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      if (options_.reconnect && transport_) {
        const bool reopenable = transport_->reopenable_by_name();
        drop_line();
        if (!reopenable) {
          line_gone_ = true;
          gone_errno_ = e.error_number();
        } else if (!sent && !reopened) {
          // Nothing of the request left: the device cannot have acted, so the
          // request goes out on the reopened line.
          --attempt;
          continue;
        }
      }
      const char* after = !options_.reconnect ? ""
                          : line_gone_        ? kGoneAtLoss
                                              : " (the next call reopens the line)";
      throw Error(op_text(op.name, op.station, op.address) + ": " + e.what() + after,
                  e.error_number());
    }

    const bool last = attempt >= attempts;
    if (reply.outcome == Reply::kOk) {
      protocol::Frame& f = reply.frame;
      const bool well_formed = f.is_error() || reply_data_fits(request, f.body, words);
      if (well_formed && reply.alone) line_unsettled_ = false;
      if (well_formed && !f.is_error()) return std::move(f.body);
      errors_.fetch_add(1, std::memory_order_relaxed);
      if (f.is_error()) {
        if (f.error_code == protocol::kErrChecksum && !last) {
          retries_.fetch_add(1, std::memory_order_relaxed);
          continue;
        }
        throw DeviceError(where(op) + ": station " + std::to_string(op.station) +
                              " answered error " + (f.error_code < 10 ? "0" : "") +
                              std::to_string(f.error_code) + " (" +
                              protocol::error_text(f.error_code) + ")" + tries_text(attempt),
                          f.error_code);
      }
      reply.outcome = Reply::kCorrupt;
      reply.detail = "reply data '" + printable(f.body) + "' does not fit the request";
    } else if (reply.outcome == Reply::kTakenOver) {
      // A call of this thread (from a signal handler) used the line while this
      // one waited: its reply, if any comes, is thrown away as stale. No fault
      // of the line, so a read asks again without using up an attempt. A write
      // is not sent after the handler's calls (a stop must stay the last word).
      turn.take();
      if (may_repeat) {
        if (sent) retries_.fetch_add(1, std::memory_order_relaxed);
        --attempt;
        continue;
      }
      throw Error(where(op) + (sent ? ": another call of this thread used the line before the "
                                      "reply; the request was not repeated"
                                    : ": another call of this thread used the line before the "
                                      "request went out; it was not sent"));
    } else if (reply.outcome == Reply::kNoTag) {
      // Nothing went out this time; an earlier attempt's failure says more.
      if (failed_attempt > 0) raise_failure(op, failed, failed_attempt);
      errors_.fetch_add(1, std::memory_order_relaxed);
      throw TimeoutError(where(op) + ": " + reply.detail);
    } else {
      errors_.fetch_add(1, std::memory_order_relaxed);
    }

    if (may_repeat && !last) {
      retries_.fetch_add(1, std::memory_order_relaxed);
      failed = std::move(reply);
      failed_attempt = attempt;
      continue;
    }
    raise_failure(op, reply, attempt);
  }
}

void Master::raise_failure(const Op& op, const Reply& reply, int attempt) const {
  if (reply.outcome == Reply::kTimeout) {
    throw TimeoutError(where(op) + ": " + reply.detail + tries_text(attempt) +
                       (reply.no_reply ? kNoReplyHint : ""));
  }
  throw ProtocolError(where(op) + ": " + reply.detail + tries_text(attempt));
}

Master::Reply Master::wait_for_tag(LineTurn& turn, const Op& op,
                                   std::chrono::steady_clock::time_point until, char* tag,
                                   Trace* trace) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  auto next_check = start + transport::kWaitSlice;
  int held = 0;  // when the wait began without a free tag
  std::string pending;
  char chunk[512];
  for (;;) {
    const auto now = clock::now();
    *tag = ledger_.free_tag(op.station, now);
    if (*tag != 0 && now + longest_attempt_ <= until) return Reply(Reply::kOk);
    if (*tag == 0 && held == 0) {
      held = ledger_.held(op.station);
      note(trace, TraceEntry::kNote,
           "no transaction tag free: " + std::to_string(held) +
               " requests may still be answered; waiting");
    }
    if (now >= until) {
      Reply reply(Reply::kNoTag);
      reply.detail =
          held == 0
              ? "no time left for another attempt after waiting for a free transaction tag"
              : "no transaction tag free for station " + std::to_string(op.station) + " within " +
                    seconds_text(
                        std::chrono::duration_cast<std::chrono::milliseconds>(until - start)) +
                    " s: " + std::to_string(held) +
                    " earlier requests to it may still be answered (a device or device server "
                    "that answers late); a tag is free again when its reply arrives, or when "
                    "nothing went to or came from the station for " +
                    seconds_text(ledger_.quiet()) + " s";
      return reply;
    }
    // Replies freeing tags, or the quiet time, may come before `until`.
    auto wake = std::min(until, next_check);
    if (*tag == 0) wake = std::min(wake, ledger_.quiet_at(op.station));
    const std::size_t n = transport_->read_some(
        chunk, sizeof chunk, std::chrono::duration_cast<microseconds>(std::max(wake, now) - now));
    const auto after = clock::now();
    if (n > 0) {
      bytes_received_.fetch_add(n, std::memory_order_relaxed);
      pending.append(chunk, n);
      look_through(pending, after);
    }
    if (after >= next_check || (n == 0 && after < wake)) {
      // A slice has passed, or a signal cut the wait short.
      if (!turn.pause(options_.check_interrupt)) return Reply(Reply::kTakenOver);
      next_check = clock::now() + transport::kWaitSlice;
    }
  }
}

// One request and its reply, all within one deadline: the request's time on
// the wire plus the time-out.
Master::Reply Master::attempt(LineTurn& turn, const Op& op, char tag, bool* sent, Trace* trace) {
  using clock = std::chrono::steady_clock;
  const std::string frame = protocol::encode_request(op.station, tag, op.request);
  const microseconds send_time = char_time_ * static_cast<std::int64_t>(frame.size());
  const auto start = clock::now();
  const auto deadline = start + send_time + first_byte_timeout_;
  note(trace, TraceEntry::kSent, frame);
  std::size_t done = 0;
  auto next_check = start + transport::kWaitSlice;
  auto now = start;
  while (done < frame.size()) {
    if (now >= deadline) {
      Reply reply;
      reply.detail = "the line did not take the request within " +
                     seconds_text(send_time + first_byte_timeout_) + " s";
      return reply;
    }
    const auto until = std::min(deadline, next_check);
    const std::size_t n =
        transport_->write_some(std::string_view(frame).substr(done),
                               std::chrono::duration_cast<microseconds>(until - now));
    if (n > 0) {
      if (!*sent) ledger_.sent(op.station, op.request.command, tag, now);
      *sent = true;
      done += n;
      bytes_sent_.fetch_add(n, std::memory_order_relaxed);
    } else {
      if (!turn.pause(options_.check_interrupt)) return Reply(Reply::kTakenOver);
      next_check = clock::now() + transport::kWaitSlice;
    }
    if (done < frame.size()) now = clock::now();
  }
  return await_reply(turn, op, tag, deadline, next_check, trace);
}

Master::Reply Master::await_reply(LineTurn& turn, const Op& op, char tag,
                                  std::chrono::steady_clock::time_point deadline,
                                  std::chrono::steady_clock::time_point next_check, Trace* trace) {
  using clock = std::chrono::steady_clock;
  // The reply must begin by `deadline`, whatever else arrives; one that has
  // begun may take the time a longest frame needs on the wire, and one
  // inter-byte gap, to end. Nothing that arrives stretches the attempt further.
  const auto hard_deadline = deadline +
                             char_time_ * static_cast<std::int64_t>(protocol::kMaxFrameLength) +
                             inter_byte_timeout_;
  auto last_byte = clock::time_point{};
  const std::string command(protocol::command_code(op.request.command));
  // A device that keeps talking without ever answering must not hold us
  // forever: bound the bytes we are willing to look through.
  const std::size_t max_input = 4 * protocol::kMaxFrameLength;
  std::size_t seen = 0;
  bool other_input = false;  // noise or frames that were not the reply
  std::string pending;
  char chunk[512];
  Reply reply;
  // Frames read past the end of the wait are not lost on the ledger: late
  // replies among them free their tags.
  const auto leave = [&](std::size_t used) {
    pending.erase(0, used);
    look_through(pending, last_byte);
  };

  for (;;) {
    while (!pending.empty()) {
      protocol::DecodeResult d = protocol::decode(pending);
      if (d.status == DecodeStatus::kNeedMore) break;
      const std::string_view raw(pending.data(), d.consumed);  // valid until the erase below
      const protocol::Frame& f = d.frame;
      switch (d.status) {
        case DecodeStatus::kFrame:
          note(trace, TraceEntry::kReceived, raw);
          ledger_.seen(f, last_byte);
          if (f.kind == protocol::FrameKind::kReply && f.station == op.station &&
              f.command == command && f.tag == tag) {
            reply.outcome = Reply::kOk;
            reply.alone = !other_input && pending.size() == d.consumed;
            reply.frame = std::move(d.frame);
            leave(d.consumed);
            return reply;
          }
          // Our own request echoed by a two-wire bus, or a late reply to an
          // earlier request: neither is the answer we wait for.
          note(trace, TraceEntry::kNote, "ignored: not the reply to this request");
          other_input = true;
          break;
        case DecodeStatus::kSkippedGarbage:
          note(trace, TraceEntry::kNote, "skipped noise '" + printable(raw) + "'");
          other_input = true;
          break;
        case DecodeStatus::kBadChecksum:
        case DecodeStatus::kMalformed:
          note(trace, TraceEntry::kReceived, raw);
          if (d.header_valid) ledger_.heard(f.station, last_byte);
          reply.outcome = Reply::kCorrupt;
          reply.detail =
              std::string(d.status == DecodeStatus::kBadChecksum ? "reply with a bad checksum"
                                                                 : "malformed reply") +
              " '" + printable(raw) + "'";
          leave(d.consumed);
          return reply;
        case DecodeStatus::kNeedMore:
          break;
      }
      pending.erase(0, d.consumed);
    }
    if (seen > max_input) {
      reply.outcome = Reply::kCorrupt;
      reply.detail = "no reply among " + std::to_string(seen) + " bytes of unexpected input";
      leave(0);
      return reply;
    }

    // Between frames we wait for the start of the reply until the deadline;
    // inside a frame the next byte must follow within the inter-byte time.
    const auto until =
        pending.empty() ? deadline : std::min(last_byte + inter_byte_timeout_, hard_deadline);
    const auto now = clock::now();
    const std::size_t n =
        until > now
            ? transport_->read_some(
                  chunk, sizeof chunk,
                  std::chrono::duration_cast<microseconds>(std::min(until, next_check) - now))
            : 0;
    const auto after = clock::now();
    if (after >= next_check || (n == 0 && after < std::min(until, next_check))) {
      // A slice has passed, or a signal cut the wait short.
      if (!turn.pause(options_.check_interrupt)) return Reply(Reply::kTakenOver);
      next_check = clock::now() + transport::kWaitSlice;
    }
    if (n == 0) {
      if (clock::now() < until) continue;
      reply.outcome = Reply::kTimeout;
      if (!pending.empty()) ledger_.heard_from_anyone(after);  // a reply may be on its way
      if (pending.empty()) {
        reply.no_reply = true;
        reply.detail = "no reply from station " + std::to_string(op.station) + " within " +
                       seconds_text(first_byte_timeout_) + " s";
      } else if (until >= hard_deadline) {
        note(trace, TraceEntry::kReceived, pending);
        reply.detail = "no complete reply from station " + std::to_string(op.station) + " within " +
                       seconds_text(first_byte_timeout_) + " s; input kept coming, last '" +
                       printable(pending) + "'";
      } else {
        note(trace, TraceEntry::kReceived, pending);
        reply.detail = "reply from station " + std::to_string(op.station) + " stopped after '" +
                       printable(pending) + "' (no byte for " + seconds_text(inter_byte_timeout_) +
                       " s)";
      }
      return reply;
    }
    last_byte = after;
    bytes_received_.fetch_add(n, std::memory_order_relaxed);
    seen += n;
    pending.append(chunk, n);
  }
}

}  // namespace mew::master
