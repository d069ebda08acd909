// Station numbers: two decimal digits on the wire, 00 is not a station.
#pragma once

#include <string>
#include <string_view>

namespace mew::protocol {

inline constexpr int kMinStation = 1;
inline constexpr int kMaxStation = 99;

constexpr bool valid_station(long long station) {
  return station >= kMinStation && station <= kMaxStation;
}

// The one wording of a refused station, "station 0 out of range 1..99".
// `station` is spelled by the caller: a Python int may not fit any C++ type.
std::string station_out_of_range(std::string_view station);

// Throws std::invalid_argument with that message, "<context>: " in front when
// a context (the operation's name) is given.
void check_station(long long station, std::string_view context = {});

}  // namespace mew::protocol
