// Unit tests of the transaction tag ledger, on a clock the test moves.
#include <cstdio>

#include "checks.hpp"
#include "mew/master/tag_ledger.hpp"

using mew::master::TagLedger;
using mew::protocol::Command;
using mew::protocol::Frame;
using mew::protocol::FrameKind;
using std::chrono::milliseconds;

namespace {

const TagLedger::Clock::time_point t0 = TagLedger::Clock::now();

TagLedger::Clock::time_point at(int ms) { return t0 + milliseconds(ms); }

Frame reply(int station, const char* command, char tag) {
  Frame f;
  f.kind = FrameKind::kReply;
  f.station = station;
  f.command = command;
  f.tag = tag;
  return f;
}

// Sends unanswered requests to `station` until every tag is held.
void hold_all(TagLedger& ledger, int station, int ms) {
  for (char tag = ledger.free_tag(station, at(ms)); tag != 0;
       tag = ledger.free_tag(station, at(ms))) {
    ledger.sent(station, Command::kReadData, tag, at(ms));
  }
}

void held_tags_are_not_handed_out_again() {
  TagLedger ledger(milliseconds(2000));
  CHECK(ledger.free_tag(1, at(0)) == 'a');
  ledger.sent(1, Command::kReadData, 'a', at(0));
  CHECK(ledger.free_tag(1, at(0)) == 'b');
  hold_all(ledger, 1, 0);
  CHECK(ledger.held(1) == TagLedger::kTags && ledger.free_tag(1, at(1000)) == 0);
  CHECK(ledger.free_tag(2, at(0)) != 0);  // another station's replies are told apart
}

void a_late_reply_settles_its_request_and_the_earlier_ones() {
  TagLedger ledger(milliseconds(2000));
  hold_all(ledger, 1, 0);                    // 'a' went out first, 'z' last
  ledger.seen(reply(1, "RC", 'c'), at(10));  // a stray: no request had that command
  ledger.seen(reply(2, "RD", 'c'), at(10));  // nor that station
  CHECK(ledger.free_tag(1, at(10)) == 0);
  // A device answers in order: 'a' and 'b' were answered before 'c', or never.
  ledger.seen(reply(1, "RD", 'c'), at(10));
  CHECK(ledger.held(1) == TagLedger::kTags - 3 && ledger.free_tag(1, at(10)) == 'a');
  ledger.sent(1, Command::kReadData, 'a', at(20));  // now after 'd'..'z'
  ledger.seen(reply(1, "RD", 'd'), at(30));
  CHECK(ledger.free_tag(1, at(30)) == 'b' && ledger.held(1) == TagLedger::kTags - 3);
}

void a_quiet_station_gets_its_tags_back() {
  TagLedger ledger(milliseconds(2000));
  hold_all(ledger, 1, 0);
  CHECK(!ledger.releasable(1, at(1999)) && ledger.quiet_at(1) == at(2000));
  // Whatever comes from the station, or from anyone unknown, starts the quiet time again.
  ledger.heard(1, at(1500));
  ledger.heard(2, at(3000));
  CHECK(!ledger.releasable(1, at(3499)) && ledger.releasable(1, at(3500)));
  ledger.heard_from_anyone(at(3400));
  CHECK(ledger.free_tag(1, at(5399)) == 0);
  CHECK(ledger.free_tag(1, at(5400)) != 0 && ledger.held(1) == 0);
}

}  // namespace

int main() {
  held_tags_are_not_handed_out_again();
  a_late_reply_settles_its_request_and_the_earlier_ones();
  a_quiet_station_gets_its_tags_back();
  return checks::finish("test_tag_ledger");
}
