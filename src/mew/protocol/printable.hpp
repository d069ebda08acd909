// Bytes of the line as a reader of a log or a message wants them.
#pragma once

#include <string>
#include <string_view>

namespace mew::protocol {

// Printable ASCII kept; CR as \r, other bytes as \xhh; backslash and the
// single quote escaped, so that the text can stand between quotes and be read
// back unambiguously (the spelling of a Python bytes repr).
std::string printable(std::string_view bytes);

// A frame for a log line: its terminator left off, the rest as printable().
std::string printable_frame(std::string_view frame);

}  // namespace mew::protocol
