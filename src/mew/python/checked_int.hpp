// The one conversion of Python int arguments to C++ integers with a range,
// shared by the bindings: the GIL is held by every caller.
#pragma once

#include <pybind11/pybind11.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>

#include "mew/protocol/station.hpp"

namespace mew::python {

// The value of the int `number` if it lies in low..high, nothing otherwise
// (also far beyond 64 bits).
inline std::optional<long long> checked_int(pybind11::handle number, long long low,
                                            long long high) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw pybind11::error_already_set();
  if (overflow != 0 || v < low || v > high) return std::nullopt;
  return v;
}

// A station number for the core, which checks its range; one that does not
// even fit an int gets the core's message here ("<context>: " in front when
// a context is given).
inline int station_of(pybind11::handle station, std::string_view context = {}) {
  const auto v = checked_int(station, INT_MIN, INT_MAX);
  if (!v) {
    std::string message =
        protocol::station_out_of_range(pybind11::repr(station).cast<std::string>());
    if (!context.empty()) message = std::string(context) + ": " + message;
    throw pybind11::value_error(message);
  }
  return static_cast<int>(*v);
}

}  // namespace mew::python
