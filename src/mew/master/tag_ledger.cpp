#include "mew/master/tag_ledger.hpp"

#include <algorithm>

namespace mew::master {

namespace {

int tag_index(char tag) { return tag - protocol::kFirstTag; }

}  // namespace

char TagLedger::free_tag(int station, Clock::time_point now) {
  Station& s = stations_.at(static_cast<std::size_t>(station));
  if (releasable(station, now)) s.held = 0;
  for (int k = 0; k < kTags; ++k) {
    const int t = (next_ + k) % kTags;
    if ((s.held & (1u << t)) == 0) return static_cast<char>(protocol::kFirstTag + t);
  }
  return 0;
}

void TagLedger::sent(int station, protocol::Command command, char tag, Clock::time_point now) {
  Station& s = stations_.at(static_cast<std::size_t>(station));
  const int t = tag_index(tag);
  s.held |= 1u << t;
  s.command[static_cast<std::size_t>(t)] = command;
  s.order[static_cast<std::size_t>(t)] = ++sent_;
  s.last_traffic = now;
  next_ = (t + 1) % kTags;
}

void TagLedger::seen(const protocol::Frame& reply, Clock::time_point now) {
  if (reply.kind != protocol::FrameKind::kReply || !protocol::valid_station(reply.station)) return;
  Station& s = stations_[static_cast<std::size_t>(reply.station)];
  s.last_traffic = now;
  const int t = tag_index(reply.tag);
  if (t < 0 || t >= kTags || (s.held & (1u << t)) == 0) return;
  // Another command with this tag answers no request of ours: a stray.
  protocol::Command command;
  if (!protocol::command_from_code(reply.command, &command) ||
      command != s.command[static_cast<std::size_t>(t)]) {
    return;
  }
  const std::uint64_t answered = s.order[static_cast<std::size_t>(t)];
  for (int k = 0; k < kTags; ++k) {
    if (s.order[static_cast<std::size_t>(k)] <= answered) s.held &= ~(1u << k);
  }
}

void TagLedger::heard(int station, Clock::time_point now) {
  if (protocol::valid_station(station))
    stations_[static_cast<std::size_t>(station)].last_traffic = now;
}

void TagLedger::heard_from_anyone(Clock::time_point now) { heard_from_anyone_ = now; }

bool TagLedger::releasable(int station, Clock::time_point now) const {
  return held(station) > 0 && now >= quiet_at(station);
}

TagLedger::Clock::time_point TagLedger::quiet_at(int station) const {
  const Station& s = stations_.at(static_cast<std::size_t>(station));
  return std::max(s.last_traffic, heard_from_anyone_) + quiet_;
}

int TagLedger::held(int station) const {
  std::uint32_t bits = stations_.at(static_cast<std::size_t>(station)).held;
  int n = 0;
  for (; bits != 0; bits &= bits - 1) ++n;
  return n;
}

}  // namespace mew::master
