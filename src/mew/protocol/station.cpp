#include "mew/protocol/station.hpp"

#include <stdexcept>

namespace mew::protocol {

std::string station_out_of_range(std::string_view station) {
  return "station " + std::string(station) + " out of range " + std::to_string(kMinStation) + ".." +
         std::to_string(kMaxStation);
}

void check_station(long long station, std::string_view context) {
  if (valid_station(station)) return;
  std::string message = station_out_of_range(std::to_string(station));
  if (!context.empty()) message = std::string(context) + ": " + message;
  throw std::invalid_argument(message);
}

}  // namespace mew::protocol
