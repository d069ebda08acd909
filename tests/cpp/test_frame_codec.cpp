// Unit tests of the frame codec and address parser, without Python.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "mew/protocol/address.hpp"
#include "mew/protocol/frame_codec.hpp"
#include "mew/protocol/printable.hpp"
#include "mew/protocol/station.hpp"

using namespace mew::protocol;

namespace {

#define CHECK_THROWS(expr)                   \
  do {                                       \
    bool threw = false;                      \
    try {                                    \
      (void)(expr);                          \
    } catch (const std::invalid_argument&) { \
      threw = true;                          \
    }                                        \
    CHECK(threw && #expr);                   \
  } while (0)

// Decodes a whole stream, collecting frames and non-frame outcomes in order.
struct Outcome {
  DecodeStatus status;
  Frame frame;
};

std::vector<Outcome> decode_all(const std::string& stream) {
  std::vector<Outcome> out;
  std::string_view rest = stream;
  for (;;) {
    DecodeResult r = decode(rest);
    CHECK(r.consumed <= rest.size());
    if (r.status == DecodeStatus::kNeedMore) {
      CHECK(r.consumed == 0);
      break;
    }
    CHECK(r.consumed > 0);
    out.push_back({r.status, r.frame});
    rest.remove_prefix(r.consumed);
  }
  return out;
}

std::vector<Frame> frames_of(const std::string& stream) {
  std::vector<Frame> frames;
  for (const Outcome& o : decode_all(stream)) {
    if (o.status == DecodeStatus::kFrame) frames.push_back(o.frame);
  }
  return frames;
}

// Feeds `stream` in pieces as a receiver would, keeping undecoded bytes.
std::vector<Frame> frames_in_pieces(const std::string& stream, std::size_t piece) {
  std::vector<Frame> frames;
  std::string pending;
  for (std::size_t i = 0; i < stream.size(); i += piece) {
    pending += stream.substr(i, piece);
    for (;;) {
      DecodeResult r = decode(pending);
      if (r.status == DecodeStatus::kNeedMore) break;
      if (r.status == DecodeStatus::kFrame) frames.push_back(r.frame);
      pending.erase(0, r.consumed);
    }
  }
  return frames;
}

bool same(const Frame& a, const Frame& b) {
  return a.kind == b.kind && a.station == b.station && a.command == b.command && a.tag == b.tag &&
         a.body == b.body && a.error_code == b.error_code;
}

void test_documented_frames() {
  Request rd;
  rd.command = Command::kReadData;
  rd.number = 10;
  rd.count = 2;
  CHECK(encode_request(1, 'a', rd) == "@01RDa00100235\r");

  Frame request = decode("@01RDa00100235\r").frame;
  CHECK(encode_reply(request, format_words({0x1234, 0x0000})) == ">01RDa123400004C\r");
  CHECK(encode_error_reply(1, "WC", 'c', kErrReadOnly) == ">01WCc!066F\r");
}

// Every frame in the ```frames blocks of docs/protocol.md must be exactly what
// the codec produces for the same content, and every request must draw the
// documented answer from parse_request.
void test_documented_frames_in_docs() {
  std::string path = __FILE__;
  path = path.substr(0, path.rfind("tests/cpp/")) + "docs/protocol.md";
  std::ifstream file(path);
  CHECK(file.good());
  std::string line;
  bool in_block = false;
  Frame request;
  DecodeStatus request_status = DecodeStatus::kNeedMore;
  int pairs = 0;
  while (std::getline(file, line)) {
    if (line.rfind("```", 0) == 0) {
      in_block = line == "```frames";
      continue;
    }
    if (!in_block || line.size() < 4) continue;
    std::istringstream fields(line.substr(3));
    std::string wire;
    fields >> wire;
    wire += kTerminator;
    DecodeResult d = decode(wire);
    CHECK(d.consumed == wire.size());
    if (line.rfind("-> ", 0) == 0) {
      request = d.frame;
      request_status = d.status;
      CHECK(d.header_valid);
      if (d.status == DecodeStatus::kFrame) {
        ParsedRequest p = parse_request(d.frame);
        if (p.error == 0) CHECK(encode_request(d.frame.station, d.frame.tag, p.request) == wire);
      }
    } else if (line.rfind("<- ", 0) == 0) {
      CHECK(d.status == DecodeStatus::kFrame && d.frame.kind == FrameKind::kReply);
      if (d.frame.is_error()) {
        CHECK(encode_error_reply(request, d.frame.error_code) == wire);
        if (d.frame.error_code == kErrChecksum) {
          CHECK(request_status == DecodeStatus::kBadChecksum);
        } else {
          CHECK(request_status == DecodeStatus::kFrame);
          CHECK(parse_request(request).error == d.frame.error_code);
        }
      } else {
        CHECK(request_status == DecodeStatus::kFrame && parse_request(request).error == 0);
        CHECK(encode_reply(request, d.frame.body) == wire);
      }
      ++pairs;
    } else {
      CHECK(!"frame line must start with -> or <-");
    }
  }
  CHECK(pairs >= 10);
}

void test_round_trips() {
  std::vector<Request> requests;
  Request r;
  r.command = Command::kReadData;
  r.number = 9968;
  r.count = 32;
  requests.push_back(r);
  r = Request{};
  r.command = Command::kWriteData;
  r.number = 0;
  r.count = 32;
  for (int i = 0; i < 32; ++i) r.words.push_back(static_cast<std::uint16_t>(i * 2053));
  requests.push_back(r);
  r = Request{};
  r.command = Command::kReadCoil;
  r.device = 'X';
  r.number = 9999;
  requests.push_back(r);
  r.command = Command::kWriteCoil;
  r.device = 'Y';
  r.coil = true;
  requests.push_back(r);
  r = Request{};
  r.command = Command::kReadWord;
  r.device = 'R';
  r.number = 624;
  requests.push_back(r);
  r.command = Command::kWriteWord;
  r.words = {0xFFFF};
  requests.push_back(r);

  int station = 1;
  for (const Request& req : requests) {
    const std::string wire = encode_request(station, 'z', req);
    CHECK(wire.size() <= kMaxFrameLength);
    DecodeResult d = decode(wire);
    CHECK(d.status == DecodeStatus::kFrame);
    CHECK(d.consumed == wire.size());
    CHECK(d.frame.station == station && d.frame.tag == 'z');
    ParsedRequest p = parse_request(d.frame);
    CHECK(p.error == 0);
    CHECK(p.request.command == req.command && p.request.device == req.device);
    CHECK(p.request.number == req.number && p.request.words == req.words);
    CHECK(p.request.coil == req.coil);
    if (req.command == Command::kReadData || req.command == Command::kWriteData) {
      CHECK(p.request.count == req.count);
    }
    const std::string reply = encode_reply(d.frame, "0001");
    DecodeResult dr = decode(reply);
    CHECK(dr.status == DecodeStatus::kFrame && dr.frame.kind == FrameKind::kReply);
    CHECK(dr.frame.body == "0001" && dr.frame.command == d.frame.command);
    const std::string err = encode_error_reply(d.frame, 42);
    DecodeResult de = decode(err);
    CHECK(de.status == DecodeStatus::kFrame && de.frame.error_code == 42 && de.frame.body.empty());
    station = station * 7 % 100;
    if (station == 0) station = 99;
  }
}

void test_pieces_and_noise() {
  const std::string a = encode_reply(5, "RD", 'q', "00FF00EE");
  const std::string b = encode_error_reply(6, "WD", 'r', kErrChecksum);
  const std::string both = a + b;
  const Frame fa = decode(a).frame;
  const Frame fb = decode(b).frame;

  for (std::size_t piece = 1; piece <= both.size(); ++piece) {
    std::vector<Frame> got = frames_in_pieces(both, piece);
    CHECK(got.size() == 2);
    if (got.size() == 2) CHECK(same(got[0], fa) && same(got[1], fb));
  }
  for (std::size_t split = 0; split <= a.size(); ++split) {
    DecodeResult head = decode(std::string_view(a).substr(0, split));
    if (split < a.size()) CHECK(head.status != DecodeStatus::kFrame);
  }

  std::vector<Frame> got = frames_of(std::string("\n\0zz\xff\r", 6) + a + "\n#" + b + "junk");
  CHECK(got.size() == 2);

  // A frame cut short by a new start character is given up, the next one kept.
  got = frames_of(a.substr(0, 7) + b);
  CHECK(got.size() == 1 && same(got[0], fb));
}

void test_bad_input() {
  std::string bad = encode_request(3, 'k', Request{Command::kReadData, 'D', 1, 1, {}, false});
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
  DecodeResult r = decode(bad);
  CHECK(r.status == DecodeStatus::kBadChecksum && r.consumed == bad.size());
  CHECK(r.header_valid && r.frame.station == 3 && r.frame.command == "RD" && r.frame.tag == 'k');

  CHECK(decode("@01RD\r").status == DecodeStatus::kMalformed);
  CHECK(decode("@00RDa00100247\r").status != DecodeStatus::kFrame);
  CHECK(decode("@01RDa001002zz\r").status == DecodeStatus::kMalformed);
  CHECK(decode(">01RDa!XX4C\r").status != DecodeStatus::kFrame);

  // Over-long line without a terminator: discarded in bounded steps.
  std::string flood = "@" + std::string(1000, '7');
  std::size_t consumed_total = 0;
  std::string_view rest = flood;
  for (;;) {
    DecodeResult d = decode(rest);
    if (d.status == DecodeStatus::kNeedMore) break;
    CHECK(d.status == DecodeStatus::kSkippedGarbage && d.consumed > 0);
    consumed_total += d.consumed;
    rest.remove_prefix(d.consumed);
  }
  CHECK(consumed_total == flood.size());
  CHECK(decode("@" + std::string(kMaxFrameLength - 2, '1')).status == DecodeStatus::kNeedMore);

  // Every byte value at every position must be handled without a frame.
  const std::string good = encode_reply(1, "RC", 'a', "1");
  for (std::size_t pos = 0; pos < good.size(); ++pos) {
    for (int v = 0; v < 256; ++v) {
      std::string mutated = good;
      if (static_cast<unsigned char>(mutated[pos]) == v) continue;
      mutated[pos] = static_cast<char>(v);
      for (const Outcome& o : decode_all(mutated)) CHECK(o.status != DecodeStatus::kFrame);
    }
  }
}

void test_parse_request_errors() {
  auto code_of = [](const std::string& command, const std::string& body) {
    Frame f;
    f.station = 1;
    f.command = command;
    f.tag = 'a';
    f.body = body;
    return parse_request(f).error;
  };
  CHECK(code_of("ZZ", "") == kErrUnknownCommand);
  CHECK(code_of("RD", "001002X") == kErrMalformedRequest);
  CHECK(code_of("RD", "0010") == kErrMalformedRequest);
  CHECK(code_of("RD", "001033") == kErrDataOutOfRange);
  CHECK(code_of("RD", "001000") == kErrDataOutOfRange);
  CHECK(code_of("RD", "999902") == kErrAddressOutOfRange);
  CHECK(code_of("WD", "0010021234") == kErrMalformedRequest);
  CHECK(code_of("WD", "00100112G4") == kErrMalformedRequest);
  CHECK(code_of("RC", "Z0001") == kErrMalformedRequest);
  CHECK(code_of("WC", "R00012") == kErrDataOutOfRange);
  CHECK(code_of("WC", "X00011") == kErrReadOnly);
  CHECK(code_of("RW", "Y625") == kErrAddressOutOfRange);
  CHECK(code_of("WW", "X000FFFF") == kErrReadOnly);
  CHECK(code_of("WW", "Y000FFFF") == 0);
}

void test_encoder_refuses() {
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 0, "RD", 'a', ""));
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 100, "RD", 'a', ""));
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 1, "rd", 'a', ""));
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 1, "RD", 'A', ""));
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 1, "RD", 'a', "\r"));
  CHECK_THROWS(encode_frame(FrameKind::kRequest, 1, "RD", 'a', std::string(200, '0')));
  CHECK_THROWS(encode_request(1, 'a', Request{Command::kReadData, 'D', 9990, 11, {}, false}));
  CHECK_THROWS(encode_request(1, 'a', Request{Command::kReadData, 'D', 0, 33, {}, false}));
  CHECK_THROWS(encode_request(1, 'a', Request{Command::kWriteData, 'D', 0, 2, {1}, false}));
  CHECK_THROWS(encode_request(1, 'a', Request{Command::kReadCoil, 'D', 0, 0, {}, false}));
  CHECK_THROWS(encode_request(1, 'a', Request{Command::kReadWord, 'R', 625, 0, {}, false}));
  CHECK_THROWS(encode_error_reply(1, "RD", 'a', 0));
}

void test_addresses() {
  struct Case {
    const char* text;
    AddressKind kind;
    char device;
    int number;
  };
  const Case good[] = {{"DT0", AddressKind::kDataRegister, 'D', 0},
                       {"D20", AddressKind::kDataRegister, 'D', 20},
                       {"DT9999", AddressKind::kDataRegister, 'D', 9999},
                       {"DT00010", AddressKind::kDataRegister, 'D', 10},
                       {"R1", AddressKind::kCoil, 'R', 1},
                       {"X4", AddressKind::kCoil, 'X', 4},
                       {"Y9999", AddressKind::kCoil, 'Y', 9999},
                       {"WR0", AddressKind::kCoilWord, 'R', 0},
                       {"WX624", AddressKind::kCoilWord, 'X', 624},
                       {"WY3", AddressKind::kCoilWord, 'Y', 3}};
  for (const Case& c : good) {
    auto a = parse_address(c.text);
    CHECK(a.has_value());
    if (a) CHECK(a->kind == c.kind && a->device == c.device && a->number == c.number);
  }
  CHECK(format_address(*parse_address("D20")) == "DT20");
  CHECK(format_address(*parse_address("WY007")) == "WY7");
  const char* bad[] = {"",
                       "DT",
                       "dt10",
                       "DT-1",
                       "DT10000",
                       "DT 1",
                       "Q1",
                       "WR625",
                       "W1",
                       "R1.5",
                       "X99999999999999999999",
                       "DT1a",
                       "WD1"};
  for (const char* text : bad) {
    std::string why;
    CHECK(!parse_address(text, &why).has_value());
    CHECK(!why.empty());
  }
}

// The message of the std::invalid_argument `f` throws; "" when it throws none.
template <class F>
std::string refusal(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

void test_stations() {
  for (long long s : {0LL, -1LL, 100LL, 1LL << 40, -(1LL << 40)}) CHECK(!valid_station(s));
  for (long long s : {1LL, 2LL, 98LL, 99LL}) CHECK(valid_station(s));
  // One wording wherever a station is refused: the check, the encoder, with a context.
  CHECK(station_out_of_range("1099511627776") == "station 1099511627776 out of range 1..99");
  CHECK(refusal([] { check_station(0); }) == "station 0 out of range 1..99");
  CHECK(refusal([] { check_station(100, "get_coil"); }) ==
        "get_coil: station 100 out of range 1..99");
  CHECK(refusal([] { check_station(99); }).empty());
  CHECK(refusal([] { encode_frame(FrameKind::kReply, -7, "RD", 'a', ""); }) ==
        "station -7 out of range 1..99");
}

void test_error_codes() {
  for (int code : {kMinErrorCode, kMaxErrorCode}) {
    const DecodeResult r = decode(encode_error_reply(4, "WC", 'c', code));
    CHECK(r.status == DecodeStatus::kFrame && r.frame.error_code == code);
  }
  for (int code : {kMinErrorCode - 1, kMaxErrorCode + 1, -1}) {
    CHECK(refusal([code] { encode_error_reply(4, "WC", 'c', code); }) ==
          "error code must be within 1..99");
  }
}

void test_printable() {
  const std::pair<std::string, std::string> cases[] = {
      {"@01RDa", "@01RDa"},
      {"it's \\", "it\\'s \\\\"},
      {std::string("a\0\r\n\x7f\xff", 6), "a\\x00\\r\\x0a\\x7f\\xff"},
      {"", ""},
  };
  for (const auto& [bytes, text] : cases) CHECK(printable(bytes) == text);
  // Every byte reads back as itself: no two spell alike, and all is printable ASCII.
  std::set<std::string> spellings;
  for (int b = 0; b < 256; ++b) {
    const std::string text = printable(std::string(1, static_cast<char>(b)));
    spellings.insert(text);
    for (char c : text) CHECK(c >= 0x20 && c < 0x7F);
  }
  CHECK(spellings.size() == 256);
  // A frame loses its terminator only, and only the last one.
  CHECK(printable_frame(">01WDa45\r") == ">01WDa45");
  CHECK(printable_frame(">01\rWDa\x0c") == ">01\\rWDa\\x0c");
  CHECK(printable_frame("\r\r") == "\\r");
}

void test_required_addresses() {
  const Address a = require_address("D20", AddressKind::kDataRegister);
  CHECK(a.kind == AddressKind::kDataRegister && a.device == 'D' && a.number == 20);
  CHECK(require_address("X1", AddressKind::kCoil).device == 'X');
  CHECK(require_address("WY3", AddressKind::kCoilWord, true).number == 3);
  CHECK(refusal([] { require_address("Q7", AddressKind::kCoil); }) ==
        "invalid address 'Q7': unknown device code (expected DT, D, R, X, Y, WR, WX or WY)");
  CHECK(refusal([] { require_address("R1", AddressKind::kDataRegister); }) ==
        "address 'R1' is not a data register (DT<n> or D<n>)");
  CHECK(refusal([] { require_address("DT1", AddressKind::kCoil); }) ==
        "address 'DT1' is not a coil (R<n>, X<n> or Y<n>)");
  CHECK(refusal([] { require_address("R1", AddressKind::kCoilWord); }) ==
        "address 'R1' is not a coil word (WR<n>, WX<n> or WY<n>)");
  CHECK(refusal([] { require_address("X1", AddressKind::kCoil, true); }) ==
        "'X1' is an input and cannot be written");
  CHECK(refusal([] { require_address("WX0", AddressKind::kCoilWord, true); }) ==
        "'WX0' is an input and cannot be written");
  // The address is named as printable() spells it, whatever bytes it holds.
  CHECK(refusal([] { require_address(std::string("D'\r", 3), AddressKind::kDataRegister); }) ==
        "invalid address 'D\\'\\r': number must be decimal digits only");
}

}  // namespace

int main() {
  test_documented_frames();
  test_documented_frames_in_docs();
  test_round_trips();
  test_pieces_and_noise();
  test_bad_input();
  test_parse_request_errors();
  test_encoder_refuses();
  test_addresses();
  test_stations();
  test_error_codes();
  test_printable();
  test_required_addresses();
  return checks::finish("test_frame_codec");
}
