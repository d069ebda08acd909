#include "mew/protocol/printable.hpp"

#include "mew/protocol/frame_codec.hpp"

namespace mew::protocol {

std::string printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\\' || c == '\'') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
  return out;
}

std::string printable_frame(std::string_view frame) {
  if (!frame.empty() && frame.back() == kTerminator) frame.remove_suffix(1);
  return printable(frame);
}

}  // namespace mew::protocol
