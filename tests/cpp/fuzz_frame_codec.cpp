// libFuzzer target for everything that reads bytes from the wire: the frame
// decoder (as a receiver drives it, in arbitrary chunks), the request and
// reply payload parsers, the address parser, and the master's reply handling
// behind a transport that answers with fuzzed bytes.
//
// Built only with -DZOL_BUILD_FUZZERS=ON and clang (see CMakeLists.txt); runs
// under ASan and UBSan, so an over-read or undefined behaviour is a crash.
// A broken invariant aborts with a message naming it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mew/master/errors.hpp"
#include "mew/master/master.hpp"
#include "mew/protocol/address.hpp"
#include "mew/protocol/frame_codec.hpp"
#include "mew/transport/transport.hpp"

namespace protocol = mew::protocol;
using protocol::DecodeStatus;

namespace {

[[noreturn]] void fail(const char* what, std::string_view context) {
  std::fprintf(stderr, "invariant broken: %s\n  context: '", what);
  for (char c : context) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
      std::fputc(c, stderr);
    else
      std::fprintf(stderr, "\\x%02X", u);
  }
  std::fprintf(stderr, "'\n");
  std::abort();
}

#define REQUIRE(cond, context)         \
  do {                                 \
    if (!(cond)) fail(#cond, context); \
  } while (0)

bool is_start(char c) { return c == protocol::kRequestStart || c == protocol::kReplyStart; }

bool plain_body(std::string_view body) {
  for (char c : body) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// A decoded frame must be exactly what the encoder makes of its fields, and
// the payload parsers must round-trip whatever they accept.
void check_frame(std::string_view line, const protocol::Frame& f) {
  REQUIRE(line.size() >= protocol::kMinFrameLength, line);
  REQUIRE(line.back() == protocol::kTerminator, line);
  REQUIRE(f.station >= protocol::kMinStation && f.station <= protocol::kMaxStation, line);
  REQUIRE(f.tag >= protocol::kFirstTag && f.tag <= protocol::kLastTag, line);
  REQUIRE(f.command.size() == 2, line);
  if (f.is_error()) {
    REQUIRE(f.kind == protocol::FrameKind::kReply, line);
    REQUIRE(protocol::encode_error_reply(f.station, f.command, f.tag, f.error_code) == line, line);
    return;
  }
  if (plain_body(f.body)) {
    REQUIRE(protocol::encode_frame(f.kind, f.station, f.command, f.tag, f.body) == line, line);
  }
  if (f.kind == protocol::FrameKind::kRequest) {
    const protocol::ParsedRequest p = protocol::parse_request(f);
    if (p.error == 0) {
      REQUIRE(protocol::encode_request(f.station, f.tag, p.request) == line, line);
    } else {
      REQUIRE(p.error >= protocol::kErrUnknownCommand && p.error <= protocol::kErrReadOnly, line);
      // A device answers a refused request; the answer must decode again.
      const std::string answer = protocol::encode_error_reply(f, p.error);
      const protocol::DecodeResult again = protocol::decode(answer);
      REQUIRE(again.status == DecodeStatus::kFrame && again.consumed == answer.size(), answer);
      REQUIRE(again.frame.error_code == p.error, answer);
    }
  } else if (f.body.size() % 4 == 0) {
    std::vector<std::uint16_t> words;
    if (protocol::parse_words(f.body, f.body.size() / 4, &words)) {
      REQUIRE(protocol::format_words(words) == f.body, line);
    }
  }
}

struct Outcome {
  DecodeStatus status;
  std::string bytes;
  bool operator==(const Outcome& o) const { return status == o.status && bytes == o.bytes; }
};

// Feeds `data` to the decoder `chunk` bytes at a time, as a receiver does, and
// checks each result against the decoder's contract.
std::vector<Outcome> decode_stream(std::string_view data, std::size_t chunk, std::string* rest) {
  std::vector<Outcome> outcomes;
  std::string pending;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::size_t n = std::min(chunk, data.size() - pos);
    pending.append(data.substr(pos, n));
    pos += n;
    for (;;) {
      const protocol::DecodeResult r = protocol::decode(pending);
      REQUIRE(r.consumed <= pending.size(), pending);
      if (r.status == DecodeStatus::kNeedMore) {
        REQUIRE(r.consumed == 0, pending);
        REQUIRE(pending.empty() || is_start(pending[0]), pending);
        REQUIRE(pending.find(protocol::kTerminator) == std::string::npos, pending);
        break;
      }
      REQUIRE(r.consumed > 0, pending);
      const std::string_view taken(pending.data(), r.consumed);
      switch (r.status) {
        case DecodeStatus::kFrame:
          check_frame(taken, r.frame);
          break;
        case DecodeStatus::kBadChecksum:
        case DecodeStatus::kMalformed:
          REQUIRE(is_start(taken.front()) && taken.back() == protocol::kTerminator, taken);
          break;
        case DecodeStatus::kSkippedGarbage:
          // Noise never swallows the start of a later frame.
          for (std::size_t i = 1; i < taken.size(); ++i) REQUIRE(!is_start(taken[i]), taken);
          break;
        case DecodeStatus::kNeedMore:
          break;
      }
      // Noise is skipped as far as it has arrived, so how it is cut depends on
      // the chunks; count a run of it as one outcome.
      if (r.status == DecodeStatus::kSkippedGarbage && !outcomes.empty() &&
          outcomes.back().status == DecodeStatus::kSkippedGarbage) {
        outcomes.back().bytes.append(taken);
      } else {
        outcomes.push_back({r.status, std::string(taken)});
      }
      pending.erase(0, r.consumed);
    }
    // Garbage without a terminator is given up within one frame length.
    REQUIRE(pending.size() < protocol::kMaxFrameLength, pending);
  }
  *rest = pending;
  return outcomes;
}

void fuzz_decoder(FuzzedDataProvider& in) {
  const std::size_t chunk = in.ConsumeIntegralInRange<std::size_t>(1, 200);
  const std::string data = in.ConsumeRemainingBytesAsString();
  std::string rest_whole, rest_chunked;
  const std::vector<Outcome> whole = decode_stream(data, data.size() + 1, &rest_whole);
  const std::vector<Outcome> chunked = decode_stream(data, chunk, &rest_chunked);
  // How the bytes arrive must not change what the decoder makes of them.
  REQUIRE(whole.size() == chunked.size(), data);
  for (std::size_t i = 0; i < whole.size(); ++i) REQUIRE(whole[i] == chunked[i], data);
  REQUIRE(rest_whole == rest_chunked, data);
}

void fuzz_address(FuzzedDataProvider& in) {
  const std::string text = in.ConsumeRemainingBytesAsString();
  std::string why;
  const auto a = protocol::parse_address(text, &why);
  if (!a) {
    REQUIRE(!why.empty(), text);
    return;
  }
  const std::string canonical = protocol::format_address(*a);
  const auto b = protocol::parse_address(canonical);
  REQUIRE(b && b->kind == a->kind && b->device == a->device && b->number == a->number, text);
}

// ---- the master behind a fuzzed line ---------------------------------------

class FuzzTransport : public mew::transport::Transport {
 public:
  explicit FuzzTransport(FuzzedDataProvider& in) : in_(in) {}

  std::size_t write_some(std::string_view data, std::chrono::microseconds timeout) override {
    REQUIRE(open_, data);
    const protocol::DecodeResult r = protocol::decode(data);
    // The master only ever sends whole, valid requests.
    REQUIRE(r.status == DecodeStatus::kFrame && r.consumed == data.size(), data);
    REQUIRE(r.frame.kind == protocol::FrameKind::kRequest, data);
    request_ = r.frame;
    if (in_.remaining_bytes() > 0 && in_.ConsumeIntegralInRange<int>(0, 31) == 0) {
      std::this_thread::sleep_for(std::min(timeout, std::chrono::microseconds(2000)));
      return 0;  // the line did not take it in time
    }
    line_ = make_answer();
    return data.size();
  }

  std::size_t read_some(char* buffer, std::size_t capacity,
                        std::chrono::microseconds timeout) override {
    REQUIRE(open_, "read on a closed transport");
    if (line_.empty()) {
      if (in_.remaining_bytes() == 0 || in_.ConsumeBool()) {
        throw mew::transport::TransportError(EIO, "fuzzed line hung up");
      }
      // Silence: the master must give up by its own deadline.
      std::this_thread::sleep_for(std::min(timeout, std::chrono::microseconds(2000)));
      return 0;
    }
    const std::size_t most = std::min(capacity, line_.size());
    const std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(1, most);
    line_.copy(buffer, n);
    line_.erase(0, n);
    return n;
  }

  void prepare_request(std::string* stale) override {
    REQUIRE(open_, "request prepared on a closed transport");
    // Sometimes the stale bytes have not arrived yet when the master flushes.
    if (stale != nullptr && in_.ConsumeBool()) {
      *stale += line_;
      line_.clear();
    }
  }

  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  std::chrono::microseconds inter_byte_floor() const override {
    return std::chrono::microseconds(500);
  }

 private:
  std::string header() const {
    std::string h = ">";
    h += static_cast<char>('0' + request_.station / 10);
    h += static_cast<char>('0' + request_.station % 10);
    return h + request_.command + request_.tag;
  }

  static std::string sealed(std::string text) {
    static const char hex[] = "0123456789ABCDEF";
    const std::uint8_t sum = protocol::checksum(text);
    text += hex[sum >> 4];
    text += hex[sum & 0xF];
    return text + '\r';
  }

  std::string hex_data(std::size_t digits) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < digits; ++i) out += hex[in_.ConsumeIntegral<std::uint8_t>() & 0xF];
    return out;
  }

  // What the line carries back for one request: raw noise, or frames built on
  // the request's own header so that the fuzzer reaches the data checks.
  std::string make_answer() {
    std::string out;
    const int parts = in_.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < parts; ++i) {
      switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
          out += in_.ConsumeRandomLengthString(700);
          break;
        case 1:
          out += sealed(header() + in_.ConsumeRandomLengthString(80));
          break;
        case 2: {
          const int code = in_.ConsumeIntegralInRange<int>(0, 99);
          out += sealed(header() + "!" + static_cast<char>('0' + code / 10) +
                        static_cast<char>('0' + code % 10));
          break;
        }
        case 3: {
          const std::string& c = request_.command;
          std::size_t digits = 0;
          if (c == "RD")
            digits = 4 * in_.ConsumeIntegralInRange<std::size_t>(0, 33);
          else if (c == "RW")
            digits = 4;
          std::string data = hex_data(digits);
          if (c == "RC") data = in_.ConsumeBool() ? "1" : "0";
          out += sealed(header() + data);
          break;
        }
        case 4: {
          // A late reply: same station and command, another tag.
          std::string h = header();
          h.back() = static_cast<char>('a' + in_.ConsumeIntegralInRange<int>(0, 25));
          out += sealed(h + hex_data(4));
          break;
        }
        default: {
          std::string frame = sealed(header() + hex_data(in_.ConsumeIntegralInRange<int>(0, 8)));
          if (!frame.empty()) {
            const std::size_t at = in_.ConsumeIntegralInRange<std::size_t>(0, frame.size() - 1);
            frame[at] = static_cast<char>(frame[at] ^ in_.ConsumeIntegralInRange<int>(1, 255));
          }
          out += frame;
          break;
        }
      }
    }
    return out;
  }

  FuzzedDataProvider& in_;
  protocol::Frame request_;
  std::string line_;
  bool open_ = true;
};

void fuzz_master(FuzzedDataProvider& in) {
  mew::master::MasterOptions options;
  options.serial.baudrate = 4000000;
  options.timeout = 0.001;
  options.retries = in.ConsumeIntegralInRange<int>(0, 3);
  auto transport = std::make_unique<FuzzTransport>(in);
  mew::master::Master master(std::move(transport), "fuzz", options);
  const int station = in.ConsumeIntegralInRange<int>(1, 99);
  const int ops = in.ConsumeIntegralInRange<int>(1, 4);
  for (int i = 0; i < ops && !master.closed(); ++i) {
    mew::master::Trace trace;
    try {
      switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0:
          master.get_int32(station, "DT10", &trace);
          break;
        case 1: {
          const int count = in.ConsumeIntegralInRange<int>(1, 16);
          const auto values = master.get_multi_int32(station, "DT10", count, &trace);
          REQUIRE(values.size() == static_cast<std::size_t>(count), "get_multi_int32 size");
          break;
        }
        case 2:
          master.get_coil(station, "X4", &trace);
          break;
        case 3:
          master.get_coil_uint16(station, "WY0", &trace);
          break;
        case 4:
          master.set_int32(station, "DT6", in.ConsumeIntegral<std::int32_t>(), &trace);
          break;
        case 5:
          master.set_uint32(station, "DT0", in.ConsumeIntegral<std::uint32_t>(), &trace);
          break;
        case 6:
          master.set_multi_uint32(station, "DT0", {1, 2, in.ConsumeIntegral<std::uint32_t>()},
                                  &trace);
          break;
        case 7:
          master.set_coil(station, "R1", in.ConsumeBool(), &trace);
          break;
        default:
          master.set_coil_uint16(station, "WR1", in.ConsumeIntegral<std::uint16_t>(), &trace);
          break;
      }
    } catch (const mew::master::Error&) {
      // The documented outcome of a bad line; anything else escapes and aborts.
    }
  }
  master.close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
    case 1:
      fuzz_decoder(in);
      break;
    case 2:
      fuzz_address(in);
      break;
    default:
      fuzz_master(in);
      break;
  }
  return 0;
}
