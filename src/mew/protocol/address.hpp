// Device address strings as users write them: "DT10", "D20", "R1", "X4", "Y2",
// and the 16-coil word addresses "WR0", "WX0", "WY0".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mew::protocol {

enum class AddressKind { kDataRegister, kCoil, kCoilWord };

struct Address {
  AddressKind kind = AddressKind::kDataRegister;
  // 'D' for data registers (both "DT" and "D" spellings); 'R', 'X' or 'Y' for
  // coils and coil words, i.e. the device letter that goes on the wire.
  char device = 'D';
  int number = 0;  // register 0..9999, coil 0..9999, coil word 0..624

  bool writable() const { return device != 'X'; }
};

// Parses an address: an upper-case prefix (DT, D, R, X, Y, WR, WX, WY) and a
// decimal number of at most 5 digits (leading zeros allowed) within the range
// of its kind. On failure returns nullopt and, if `error` is given, a short
// reason ("unknown device code", "number out of range", ...).
std::optional<Address> parse_address(std::string_view text, std::string* error = nullptr);

// The address an operation on `kind` needs, for a caller's own words: throws
// std::invalid_argument naming the address as printable() spells it,
// "invalid address 'Q7': unknown device code (...)", "address 'R1' is not a
// data register (DT<n> or D<n>)" and, `for_writing`, "'X1' is an input and
// cannot be written".
Address require_address(std::string_view text, AddressKind kind, bool for_writing = false);

// The canonical spelling: "DT20" for both "D20" and "DT020", "WY3", "R16".
std::string format_address(const Address& address);

}  // namespace mew::protocol
