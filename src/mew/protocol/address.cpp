#include "mew/protocol/address.hpp"

#include <stdexcept>

#include "mew/protocol/frame_codec.hpp"
#include "mew/protocol/printable.hpp"

namespace mew::protocol {
namespace {

struct Prefix {
  std::string_view text;
  AddressKind kind;
  char device;
};

// Longer prefixes first so that "DT" wins over "D".
constexpr Prefix kPrefixes[] = {
    {"DT", AddressKind::kDataRegister, 'D'}, {"WR", AddressKind::kCoilWord, 'R'},
    {"WX", AddressKind::kCoilWord, 'X'},     {"WY", AddressKind::kCoilWord, 'Y'},
    {"D", AddressKind::kDataRegister, 'D'},  {"R", AddressKind::kCoil, 'R'},
    {"X", AddressKind::kCoil, 'X'},          {"Y", AddressKind::kCoil, 'Y'},
};

// Five digits admit a zero-padded "DT00010" yet keep the value far from overflow.
constexpr std::size_t kMaxDigits = 5;

std::optional<Address> fail(std::string* error, const char* reason) {
  if (error != nullptr) *error = reason;
  return std::nullopt;
}

}  // namespace

std::optional<Address> parse_address(std::string_view text, std::string* error) {
  const Prefix* prefix = nullptr;
  for (const Prefix& p : kPrefixes) {
    if (text.substr(0, p.text.size()) == p.text) {
      prefix = &p;
      break;
    }
  }
  if (prefix == nullptr)
    return fail(error, "unknown device code (expected DT, D, R, X, Y, WR, WX or WY)");

  const std::string_view digits = text.substr(prefix->text.size());
  if (digits.empty()) return fail(error, "missing number");
  if (digits.size() > kMaxDigits) return fail(error, "number out of range");
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return fail(error, "number must be decimal digits only");
    number = number * 10 + (c - '0');
  }
  const int max = prefix->kind == AddressKind::kDataRegister ? kMaxRegister
                  : prefix->kind == AddressKind::kCoil       ? kMaxCoil
                                                             : kMaxCoilWord;
  if (number > max) return fail(error, "number out of range");

  Address address;
  address.kind = prefix->kind;
  address.device = prefix->device;
  address.number = number;
  return address;
}

Address require_address(std::string_view text, AddressKind kind, bool for_writing) {
  std::string why;
  const auto address = parse_address(text, &why);
  const std::string quoted = "'" + printable(text) + "'";
  if (!address) throw std::invalid_argument("invalid address " + quoted + ": " + why);
  if (address->kind != kind) {
    const char* wanted = kind == AddressKind::kDataRegister ? "a data register (DT<n> or D<n>)"
                         : kind == AddressKind::kCoil       ? "a coil (R<n>, X<n> or Y<n>)"
                                                            : "a coil word (WR<n>, WX<n> or WY<n>)";
    throw std::invalid_argument("address " + quoted + " is not " + wanted);
  }
  if (for_writing && !address->writable()) {
    throw std::invalid_argument(quoted + " is an input and cannot be written");
  }
  return *address;
}

std::string format_address(const Address& address) {
  std::string out;
  switch (address.kind) {
    case AddressKind::kDataRegister:
      out = "DT";
      break;
    case AddressKind::kCoil:
      out = std::string(1, address.device);
      break;
    case AddressKind::kCoilWord:
      out = std::string("W") + address.device;
      break;
  }
  return out + std::to_string(address.number);
}

}  // namespace mew::protocol
