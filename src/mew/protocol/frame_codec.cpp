#include "mew/protocol/frame_codec.hpp"

#include <stdexcept>

namespace mew::protocol {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool is_start(char c) { return c == kRequestStart || c == kReplyStart; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_tag(char c) { return c >= kFirstTag && c <= kLastTag; }
bool is_coil_device(char c) { return c == 'R' || c == 'X' || c == 'Y'; }

// Upper-case only: the protocol has one spelling per value, which keeps the
// documented frames and captures unambiguous.
int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses exactly `text.size()` decimal digits; -1 if any is not a digit.
int parse_decimal(std::string_view text) {
  int value = 0;
  for (char c : text) {
    if (!is_digit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

void append_decimal(std::string& out, int value, int width) {
  std::string digits(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out += digits;
}

void append_hex_word(std::string& out, std::uint16_t word) {
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(word >> shift) & 0xF];
}

bool valid_command_code(std::string_view command) {
  return command.size() == 2 && is_upper(command[0]) && is_upper(command[1]);
}

// Body characters the encoder may emit: digits, upper-case letters, '!'.
bool valid_body(std::string_view body) {
  for (char c : body) {
    if (!is_digit(c) && !is_upper(c) && c != kErrorMark) return false;
  }
  return true;
}

// `line` runs from the start character to the terminator inclusive.
DecodeResult decode_line(std::string_view line) {
  DecodeResult result;
  result.consumed = line.size();
  result.status = DecodeStatus::kMalformed;
  if (line.size() < kMinFrameLength) return result;

  Frame& frame = result.frame;
  frame.kind = line[0] == kRequestStart ? FrameKind::kRequest : FrameKind::kReply;
  const int station = parse_decimal(line.substr(1, 2));
  const std::string_view command = line.substr(3, 2);
  const char tag = line[5];
  result.header_valid = valid_station(station) && valid_command_code(command) && is_tag(tag);
  if (result.header_valid) {
    frame.station = station;
    frame.command = std::string(command);
    frame.tag = tag;
  }

  const std::size_t n = line.size();
  const int high = hex_value(line[n - 3]);
  const int low = hex_value(line[n - 2]);
  if (high < 0 || low < 0) return result;
  if (checksum(line.substr(0, n - 3)) != (high << 4 | low)) {
    result.status = DecodeStatus::kBadChecksum;
    return result;
  }
  if (!result.header_valid) return result;

  const std::string_view body = line.substr(6, n - 9);
  if (frame.kind == FrameKind::kReply && !body.empty() && body[0] == kErrorMark) {
    const int code = body.size() == 3 ? parse_decimal(body.substr(1)) : -1;
    if (code <= 0) return result;
    frame.error_code = code;
  } else {
    // Control characters or lower case in a body are corruption, not data.
    for (char c : body) {
      if (c < 0x20 || c > 0x7E) return result;
    }
    frame.body = std::string(body);
  }
  result.status = DecodeStatus::kFrame;
  return result;
}

std::string_view checked_command(std::string_view command) {
  if (!valid_command_code(command))
    throw std::invalid_argument("command must be two upper-case letters");
  return command;
}

}  // namespace

std::uint8_t checksum(std::string_view text) {
  std::uint8_t sum = 0;
  for (char c : text) sum ^= static_cast<std::uint8_t>(c);
  return sum;
}

DecodeResult decode(std::string_view buffer) {
  DecodeResult result;
  if (buffer.empty()) return result;  // kNeedMore, nothing consumed

  if (!is_start(buffer[0])) {
    std::size_t skip = 1;
    while (skip < buffer.size() && !is_start(buffer[skip])) ++skip;
    result.status = DecodeStatus::kSkippedGarbage;
    result.consumed = skip;
    return result;
  }

  const std::size_t limit = buffer.size() < kMaxFrameLength ? buffer.size() : kMaxFrameLength;
  for (std::size_t i = 1; i < limit; ++i) {
    if (buffer[i] == kTerminator) return decode_line(buffer.substr(0, i + 1));
    // A new start character means the frame before it lost its end (a byte
    // dropped on the wire): give it up and resynchronise on the new start.
    if (is_start(buffer[i])) {
      result.status = DecodeStatus::kSkippedGarbage;
      result.consumed = i;
      return result;
    }
  }
  if (buffer.size() >= kMaxFrameLength) {
    result.status = DecodeStatus::kSkippedGarbage;
    result.consumed = kMaxFrameLength;
  }
  return result;
}

std::string encode_frame(FrameKind kind, int station, std::string_view command, char tag,
                         std::string_view body) {
  check_station(station);
  checked_command(command);
  if (!is_tag(tag)) throw std::invalid_argument("transaction tag must be 'a'..'z'");
  if (!valid_body(body))
    throw std::invalid_argument("frame body holds a character outside 0-9, A-Z, '!'");
  std::string out;
  out.reserve(kMinFrameLength + body.size());
  out += kind == FrameKind::kRequest ? kRequestStart : kReplyStart;
  append_decimal(out, station, 2);
  out += command;
  out += tag;
  out += body;
  const std::uint8_t sum = checksum(out);
  out += kHexDigits[sum >> 4];
  out += kHexDigits[sum & 0xF];
  out += kTerminator;
  if (out.size() > kMaxFrameLength)
    throw std::invalid_argument("frame longer than the protocol allows");
  return out;
}

std::string_view command_code(Command command) {
  switch (command) {
    case Command::kReadData:
      return "RD";
    case Command::kWriteData:
      return "WD";
    case Command::kReadCoil:
      return "RC";
    case Command::kWriteCoil:
      return "WC";
    case Command::kReadWord:
      return "RW";
    case Command::kWriteWord:
      return "WW";
  }
  return "??";
}

bool command_from_code(std::string_view code, Command* command) {
  static constexpr Command kAll[] = {Command::kReadData,  Command::kWriteData, Command::kReadCoil,
                                     Command::kWriteCoil, Command::kReadWord,  Command::kWriteWord};
  for (Command c : kAll) {
    if (command_code(c) == code) {
      *command = c;
      return true;
    }
  }
  return false;
}

const char* error_text(int code) {
  switch (code) {
    case kErrChecksum:
      return "request checksum error";
    case kErrUnknownCommand:
      return "unknown command";
    case kErrMalformedRequest:
      return "malformed request";
    case kErrAddressOutOfRange:
      return "address out of range";
    case kErrDataOutOfRange:
      return "count or data out of range";
    case kErrReadOnly:
      return "write to a read-only device";
    default:
      return "unknown error";
  }
}

namespace {

// Coil and coil-word payloads open alike: the device letter, then the number
// in a fixed count of decimal digits.
struct CoilTarget {
  const char* what;
  int max;
  std::size_t digits;
};
constexpr CoilTarget kCoilTarget{"coil", kMaxCoil, 4};
constexpr CoilTarget kCoilWordTarget{"coil word", kMaxCoilWord, 3};

void append_coil_target(std::string& payload, const Request& r, const CoilTarget& target) {
  if (!is_coil_device(r.device)) {
    throw std::invalid_argument(std::string(target.what) + " commands take device R, X or Y");
  }
  if (r.number < 0 || r.number > target.max) {
    throw std::invalid_argument(std::string(target.what) + " number beyond 0.." +
                                std::to_string(target.max));
  }
  payload += r.device;
  append_decimal(payload, r.number, static_cast<int>(target.digits));
}

// False for a malformed payload: one that is not the target and exactly
// `value_length` more characters. The number's range is the caller's to check
// (its own error code).
bool parse_coil_target(std::string_view payload, const CoilTarget& target, std::size_t value_length,
                       Request& r) {
  if (payload.size() != 1 + target.digits + value_length) return false;
  r.device = payload[0];
  if (!is_coil_device(r.device)) return false;
  r.number = parse_decimal(payload.substr(1, target.digits));
  return r.number >= 0;
}

}  // namespace

std::string encode_request(int station, char tag, const Request& request) {
  std::string payload;
  switch (request.command) {
    case Command::kReadData:
    case Command::kWriteData: {
      if (request.device != 'D') throw std::invalid_argument("register commands take device 'D'");
      if (request.count < 1 || request.count > kMaxRegisterCount) {
        throw std::invalid_argument("register count must be 1.." +
                                    std::to_string(kMaxRegisterCount));
      }
      if (request.number < 0 || request.number > kMaxRegister - request.count + 1) {
        throw std::invalid_argument("registers beyond 0.." + std::to_string(kMaxRegister));
      }
      append_decimal(payload, request.number, 4);
      append_decimal(payload, request.count, 2);
      if (request.command == Command::kWriteData) {
        if (request.words.size() != static_cast<std::size_t>(request.count)) {
          throw std::invalid_argument("write data needs exactly count words");
        }
        for (std::uint16_t w : request.words) append_hex_word(payload, w);
      }
      break;
    }
    case Command::kReadCoil:
    case Command::kWriteCoil:
      append_coil_target(payload, request, kCoilTarget);
      if (request.command == Command::kWriteCoil) payload += request.coil ? '1' : '0';
      break;
    case Command::kReadWord:
    case Command::kWriteWord:
      append_coil_target(payload, request, kCoilWordTarget);
      if (request.command == Command::kWriteWord) {
        if (request.words.size() != 1)
          throw std::invalid_argument("coil-word write needs one word");
        append_hex_word(payload, request.words[0]);
      }
      break;
  }
  return encode_frame(FrameKind::kRequest, station, command_code(request.command), tag, payload);
}

ParsedRequest parse_request(const Frame& frame) {
  ParsedRequest parsed;
  Request& r = parsed.request;
  if (!command_from_code(frame.command, &r.command)) {
    parsed.error = kErrUnknownCommand;
    return parsed;
  }
  const std::string_view p = frame.body;
  auto fail = [&parsed](int code) {
    parsed.error = code;
    return parsed;
  };
  switch (r.command) {
    case Command::kReadData:
    case Command::kWriteData: {
      if (p.size() < 6) return fail(kErrMalformedRequest);
      r.device = 'D';
      r.number = parse_decimal(p.substr(0, 4));
      r.count = parse_decimal(p.substr(4, 2));
      if (r.number < 0 || r.count < 0) return fail(kErrMalformedRequest);
      if (r.command == Command::kReadData) {
        if (p.size() != 6) return fail(kErrMalformedRequest);
      } else {
        // Word count must match before the count is range-checked, so that a
        // truncated write is reported as malformed, not as out of range.
        const std::string_view data = p.substr(6);
        if (data.size() % 4 != 0 || data.size() / 4 != static_cast<std::size_t>(r.count)) {
          return fail(kErrMalformedRequest);
        }
        if (!parse_words(data, data.size() / 4, &r.words)) return fail(kErrMalformedRequest);
      }
      if (r.count < 1 || r.count > kMaxRegisterCount) return fail(kErrDataOutOfRange);
      if (r.number + r.count - 1 > kMaxRegister) return fail(kErrAddressOutOfRange);
      break;
    }
    case Command::kReadCoil:
    case Command::kWriteCoil: {
      const std::size_t value_length = r.command == Command::kWriteCoil ? 1 : 0;
      if (!parse_coil_target(p, kCoilTarget, value_length, r)) return fail(kErrMalformedRequest);
      if (r.command == Command::kWriteCoil) {
        if (!is_digit(p[5])) return fail(kErrMalformedRequest);
        if (p[5] != '0' && p[5] != '1') return fail(kErrDataOutOfRange);
        r.coil = p[5] == '1';
        if (r.device == 'X') return fail(kErrReadOnly);
      }
      break;
    }
    case Command::kReadWord:
    case Command::kWriteWord: {
      const std::size_t value_length = r.command == Command::kWriteWord ? 4 : 0;
      if (!parse_coil_target(p, kCoilWordTarget, value_length, r)) {
        return fail(kErrMalformedRequest);
      }
      if (r.command == Command::kWriteWord) {
        if (!parse_words(p.substr(4), 1, &r.words)) return fail(kErrMalformedRequest);
      }
      if (r.number > kMaxCoilWord) return fail(kErrAddressOutOfRange);
      if (r.command == Command::kWriteWord && r.device == 'X') return fail(kErrReadOnly);
      break;
    }
  }
  return parsed;
}

std::string encode_reply(int station, std::string_view command, char tag, std::string_view data) {
  return encode_frame(FrameKind::kReply, station, command, tag, data);
}

void check_error_code(int code) {
  if (code < kMinErrorCode || code > kMaxErrorCode) {
    throw std::invalid_argument("error code must be within " + std::to_string(kMinErrorCode) +
                                ".." + std::to_string(kMaxErrorCode));
  }
}

std::string encode_error_reply(int station, std::string_view command, char tag, int code) {
  check_error_code(code);
  std::string body(1, kErrorMark);
  append_decimal(body, code, 2);
  return encode_frame(FrameKind::kReply, station, command, tag, body);
}

std::string encode_reply(const Frame& request, std::string_view data) {
  return encode_reply(request.station, request.command, request.tag, data);
}

std::string encode_error_reply(const Frame& request, int code) {
  return encode_error_reply(request.station, request.command, request.tag, code);
}

std::string format_words(const std::vector<std::uint16_t>& words) {
  std::string out;
  out.reserve(words.size() * 4);
  for (std::uint16_t w : words) append_hex_word(out, w);
  return out;
}

bool parse_words(std::string_view data, std::size_t count, std::vector<std::uint16_t>* words) {
  if (data.size() != count * 4) return false;
  words->clear();
  words->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    unsigned value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int digit = hex_value(data[i * 4 + k]);
      if (digit < 0) return false;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    words->push_back(static_cast<std::uint16_t>(value));
  }
  return true;
}

}  // namespace mew::protocol
