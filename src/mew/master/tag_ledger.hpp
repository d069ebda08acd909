// Which transaction tags a reply may still come back with, per station.
//
// A reply is told from others only by the station, command and tag it echoes,
// so a tag is not given to a new request for a station while an earlier
// request to that station with the same tag may still be answered: from the
// moment a byte of a request goes out until a reply to it has been seen, by the
// call that sent it or later, as a late reply read with another exchange or with
// stale input. A device or device server that queues requests and answers them
// late then can never have its answer taken for another request's, however many
// are outstanding. A device answers its requests in the order they came, so a
// reply also settles every earlier request to that station: answered before,
// or never. Replies that never come would hold their tags for ever: a
// station's tags are all given back once nothing has gone to or come from it
// for the quiet time, longer than any reply takes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "mew/protocol/frame_codec.hpp"

namespace mew::master {

class TagLedger {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kTags = protocol::kLastTag - protocol::kFirstTag + 1;

  explicit TagLedger(std::chrono::microseconds quiet) : quiet_(quiet) {}

  // The tag for the next request to `station`, or 0 while every tag is held.
  // Gives the station's tags back if it has been quiet long enough: the caller
  // must have read what the line holds first (see releasable()).
  char free_tag(int station, Clock::time_point now);
  // Part of a request went out with `tag`: held until its reply is seen.
  void sent(int station, protocol::Command command, char tag, Clock::time_point now);
  // A complete reply frame (the one waited for, or any other): releases the
  // tag of the request it answers and of those sent to the station before it.
  void seen(const protocol::Frame& reply, Clock::time_point now);
  // Input from `station` that could not be read (a bad checksum).
  void heard(int station, Clock::time_point now);
  // Input of unknown origin (part of a frame): no station is quiet.
  void heard_from_anyone(Clock::time_point now);

  // True when free_tag() would give `station`'s tags back now if the line
  // holds nothing from it.
  bool releasable(int station, Clock::time_point now) const;
  // When `station`'s held tags are given back if nothing comes before.
  Clock::time_point quiet_at(int station) const;
  int held(int station) const;
  std::chrono::microseconds quiet() const { return quiet_; }

 private:
  struct Station {
    std::uint32_t held = 0;  // bit k: tag 'a' + k
    std::array<protocol::Command, kTags> command{};
    std::array<std::uint64_t, kTags> order{};  // when each went out, counted in requests
    Clock::time_point last_traffic{};
  };

  std::chrono::microseconds quiet_;
  std::uint64_t sent_ = 0;
  std::array<Station, protocol::kMaxStation + 1> stations_{};
  Clock::time_point heard_from_anyone_{};
  int next_ = 0;  // tags are handed out in turn, the one after the last sent first
};

}  // namespace mew::master
