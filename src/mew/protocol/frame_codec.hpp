// Framing and payload codec of the bus protocol (see docs/protocol.md).
//
// Pure functions only: no I/O, no clocks, no Python. The master uses it to build
// requests and parse replies; a device (the simulator) uses it to parse requests
// and build replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mew/protocol/station.hpp"

namespace mew::protocol {

inline constexpr char kRequestStart = '@';
inline constexpr char kReplyStart = '>';
inline constexpr char kTerminator = '\r';
inline constexpr char kErrorMark = '!';

// Longest frame either side may send, terminator included. The longest legal
// frame (a 32-register write) is 143 characters; anything that runs past this
// without a terminator is line noise and is discarded.
inline constexpr std::size_t kMaxFrameLength = 160;
// Start + station(2) + command(2) + tag + checksum(2) + terminator.
inline constexpr std::size_t kMinFrameLength = 9;

inline constexpr int kMaxRegister = 9999;
inline constexpr int kMaxCoil = 9999;
inline constexpr int kMaxCoilWord = 624;  // coils 16n..16n+15 must all exist
inline constexpr int kMaxRegisterCount = 32;

// Transaction tags run 'a'..'z'; the reply echoes the tag of its request, so a
// late reply to an earlier request can never be taken for the current one.
inline constexpr char kFirstTag = 'a';
inline constexpr char kLastTag = 'z';

enum class FrameKind : std::uint8_t { kRequest, kReply };

struct Frame {
  FrameKind kind = FrameKind::kRequest;
  int station = 0;
  std::string command;  // two upper-case letters, as received
  char tag = 0;         // 'a'..'z'
  std::string body;     // request payload or reply data; empty for an error reply
  int error_code = 0;   // non-zero only for an error reply

  bool is_error() const { return error_code != 0; }
};

enum class DecodeStatus : std::uint8_t {
  kFrame,           // `frame` holds a complete frame with a good checksum
  kNeedMore,        // the buffer holds the beginning of a frame; nothing consumed
  kSkippedGarbage,  // `consumed` bytes were noise (no start, or an over-long line)
  kBadChecksum,     // a complete line whose checksum is wrong
  kMalformed,       // a complete line that is not a frame of this protocol
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kNeedMore;
  std::size_t consumed = 0;  // bytes of the buffer this result accounts for
  Frame frame;               // valid for kFrame; for kBadChecksum see header_valid
  // kBadChecksum: station, command and tag were readable, so a device can
  // answer with a checksum error reply (frame.kind/station/command/tag are set).
  bool header_valid = false;
};

// Looks at the front of `buffer` and reports one of the outcomes above. Never
// reads past the buffer and never looks further than kMaxFrameLength bytes for
// a terminator; noise before a start character is skipped in one step. Call
// again with the remaining bytes after anything but kNeedMore.
DecodeResult decode(std::string_view buffer);

// XOR of all characters (start character included) that precede the checksum.
std::uint8_t checksum(std::string_view text);

// Generic frame encoder. Throws std::invalid_argument for a station, command,
// tag or body that could not be decoded again, or a frame longer than the limit.
std::string encode_frame(FrameKind kind, int station, std::string_view command, char tag,
                         std::string_view body);

// ---- commands and payloads ------------------------------------------------

enum class Command : std::uint8_t {
  kReadData,   // "RD" register(4) count(2)                 -> count x 4 hex
  kWriteData,  // "WD" register(4) count(2) count x 4 hex   -> empty
  kReadCoil,   // "RC" device(R|X|Y) coil(4)                -> "0" | "1"
  kWriteCoil,  // "WC" device(R|Y) coil(4) "0"|"1"          -> empty
  kReadWord,   // "RW" device(R|X|Y) word(3)                -> 4 hex (bit k = coil 16n+k)
  kWriteWord,  // "WW" device(R|Y) word(3) 4 hex            -> empty
};

std::string_view command_code(Command command);
// False when `code` names no command of this protocol.
bool command_from_code(std::string_view code, Command* command);

enum ErrorCode : int {
  kErrChecksum = 1,           // request checksum wrong: the device did NOT act on it
  kErrUnknownCommand = 2,     // command letters not known
  kErrMalformedRequest = 3,   // payload has the wrong length or characters
  kErrAddressOutOfRange = 4,  // register/coil/word outside the device's range
  kErrDataOutOfRange = 5,     // count outside 1..32, coil value not 0/1
  kErrReadOnly = 6,           // write to the input coils (X)
};

// An error reply carries its code as two decimal digits; 00 would be no error.
inline constexpr int kMinErrorCode = 1;
inline constexpr int kMaxErrorCode = 99;
// Throws std::invalid_argument "error code must be within 1..99" for another code.
void check_error_code(int code);

// Short English description of an error code ("unknown error" for others).
const char* error_text(int code);

// A request in decoded form. `device` is 'D' for the data-register commands,
// 'R', 'X' or 'Y' for the coil and coil-word commands.
struct Request {
  Command command = Command::kReadData;
  char device = 'D';
  int number = 0;                    // first register, coil, or coil word
  int count = 0;                     // RD/WD register count
  std::vector<std::uint16_t> words;  // WD data; WW the one coil word
  bool coil = false;                 // WC value
};

// Builds the request frame. Throws std::invalid_argument on values that the
// payload cannot carry (out-of-range numbers, wrong word count, bad device).
// Writing to 'X' is encodable on purpose: the device must answer it with
// kErrReadOnly.
std::string encode_request(int station, char tag, const Request& request);

struct ParsedRequest {
  int error = 0;  // 0: `request` is valid; otherwise the code to answer with
  Request request;
};

// Checks a decoded request frame's command and payload (device side).
ParsedRequest parse_request(const Frame& frame);

// Replies echo station, command and tag of the request they answer.
std::string encode_reply(const Frame& request, std::string_view data);
std::string encode_error_reply(const Frame& request, int code);
std::string encode_reply(int station, std::string_view command, char tag, std::string_view data);
std::string encode_error_reply(int station, std::string_view command, char tag, int code);

// Reply data helpers: 4 upper-case hex digits per word.
std::string format_words(const std::vector<std::uint16_t>& words);
// False unless `data` is exactly `count` words of 4 hex digits.
bool parse_words(std::string_view data, std::size_t count, std::vector<std::uint16_t>* words);

}  // namespace mew::protocol
