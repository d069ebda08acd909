// Unit tests of the simulator's device model on its own, stepping time by hand.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mew/protocol/frame_codec.hpp"
#include "mew/sim/axis_model.hpp"

namespace {

int failures = 0;

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

#define CHECK_EQ(a, b)                                                                            \
  do {                                                                                            \
    const long long va = static_cast<long long>(a), vb = static_cast<long long>(b);               \
    if (va != vb) {                                                                               \
      std::printf("%s:%d: CHECK_EQ failed: %s == %lld, %s == %lld\n", __FILE__, __LINE__, #a, va, \
                  #b, vb);                                                                        \
      ++failures;                                                                                 \
    }                                                                                             \
  } while (0)

using mew::sim::AxisModel;
using mew::sim::Geometry;
using mew::sim::StopSource;
namespace proto = mew::protocol;

std::vector<std::uint16_t> words32(std::initializer_list<std::int64_t> values) {
  std::vector<std::uint16_t> words;
  for (std::int64_t v : values) {
    const auto u = static_cast<std::uint32_t>(v);
    words.push_back(static_cast<std::uint16_t>(u & 0xffff));
    words.push_back(static_cast<std::uint16_t>(u >> 16));
  }
  return words;
}

std::int32_t get32(AxisModel& m, double now, int reg) {
  std::vector<std::uint16_t> w;
  CHECK_EQ(m.read_registers(now, reg, 2, &w), 0);
  if (w.size() != 2) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(w[0]) |
                                   (static_cast<std::uint32_t>(w[1]) << 16));
}

void set32(AxisModel& m, double now, int reg, std::int64_t value) {
  CHECK_EQ(m.write_registers(now, reg, words32({value})), 0);
}

bool coil(AxisModel& m, double now, char device, int n) {
  bool value = false;
  CHECK_EQ(m.read_coil(now, device, n, &value), 0);
  return value;
}

void press(AxisModel& m, double now, int relay) {
  CHECK_EQ(m.write_coil(now, 'R', relay, true), 0);
}

// Steps time in 1 ms ticks until the pulse output drops; returns the time.
double run_until_stopped(AxisModel& m, double t, double limit = 120.0) {
  while (coil(m, t, 'Y', 1) && t < limit) t += 0.001;
  return t;
}

void test_fresh_state() {
  AxisModel m;
  CHECK_EQ(get32(m, 0, 10), 5000);
  CHECK_EQ(get32(m, 0, 12), 5000);
  CHECK_EQ(get32(m, 0, 0), 1000);
  CHECK_EQ(get32(m, 0, 2), 10000);
  CHECK_EQ(get32(m, 0, 4), 100);
  CHECK_EQ(get32(m, 0, 20), 0);
  CHECK(coil(m, 0, 'X', 3));   // emergency input healthy
  CHECK(!coil(m, 0, 'X', 0));  // off the origin window
  CHECK(!coil(m, 0, 'X', 1));
  CHECK(!coil(m, 0, 'X', 2));
  CHECK(!coil(m, 0, 'X', 4));
  CHECK(!coil(m, 0, 'Y', 1));
  CHECK(!coil(m, 0, 'Y', 2));
  CHECK_EQ(get32(m, 0, 16), 1 << 3);
}

void test_absolute_profile() {
  AxisModel m;
  set32(m, 0, 6, 8000);
  press(m, 0, 1);
  CHECK(!coil(m, 0, 'R', 1));  // taken
  CHECK(coil(m, 0, 'Y', 1));
  // 3000 pulses from 1000 to 10000 pulses/s in 0.1 s: ramps of 550 pulses each,
  // 1900 pulses of cruise (0.19 s): 0.39 s in all.
  CHECK(std::fabs(m.velocity(0.05) - 5500.0) < 1.0);
  CHECK(std::fabs(m.velocity(0.2) - 10000.0) < 1e-6);
  CHECK(coil(m, 0.389, 'Y', 1));
  CHECK(!coil(m, 0.391, 'Y', 1));
  CHECK_EQ(get32(m, 0.391, 10), 8000);
  CHECK_EQ(get32(m, 0.391, 14), 0);
  CHECK_EQ(get32(m, 0.391, 20), static_cast<int>(StopSource::kNull));
}

void test_sampling_does_not_change_the_result() {
  // The same move observed once at the end or every tick ends in the same place.
  AxisModel coarse, fine;
  for (AxisModel* m : {&coarse, &fine}) {
    set32(*m, 0, 0, 300);
    set32(*m, 0, 2, 7000);
    set32(*m, 0, 4, 250);
    set32(*m, 0, 8, -1234);
    press(*m, 0, 2);
  }
  for (double t = 0; t < 2.0; t += 0.0007) fine.advance(t);
  CHECK_EQ(coarse.position(2.0), 5000 - 1234);
  CHECK_EQ(fine.position(2.0), 5000 - 1234);
}

void test_relative_repeats() {
  AxisModel m;
  set32(m, 0, 8, -1500);
  press(m, 0, 2);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), 3500);
  press(m, t, 2);  // DT8 kept: moves again
  t = run_until_stopped(m, t);
  CHECK_EQ(get32(m, t, 10), 2000);
  CHECK_EQ(get32(m, t, 8), -1500);
  CHECK_EQ(get32(m, t, 20), 0);
}

void test_triangle_and_zero_moves() {
  AxisModel m;
  set32(m, 0, 8, 40);  // too short to reach the running rate
  press(m, 0, 2);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), 5040);
  CHECK_EQ(get32(m, t, 20), 0);
  set32(m, t, 6, 5040);  // already there
  press(m, t, 1);
  CHECK(!coil(m, t, 'Y', 1));
  CHECK_EQ(get32(m, t, 20), 0);
}

void test_jog_limits_and_stop() {
  AxisModel m;
  press(m, 0, 3);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), -20000);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kNegativeLimit));
  CHECK(coil(m, t, 'X', 1));
  // Towards the limit it stands on: stops at once.
  set32(m, t, 8, -10);
  press(m, t, 2);
  CHECK(!coil(m, t, 'Y', 1));
  CHECK_EQ(get32(m, t, 10), -20000);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kNegativeLimit));
  // Away from it: runs, and R0 ramps down to a Command stop.
  press(m, t, 4);
  t += 1.0;
  CHECK(coil(m, t, 'Y', 1));
  CHECK_EQ(get32(m, t, 20), 0);
  const std::int32_t at_stop = get32(m, t, 10);
  press(m, t, 0);
  CHECK(coil(m, t + 0.05, 'Y', 1));  // still ramping down
  t = run_until_stopped(m, t);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kCommand));
  // 550 pulses to slow from 10000 to 1000 pulses/s in 0.1 s.
  CHECK_EQ(get32(m, t, 10) - at_stop, 550);
  // Positive limit, then a limit disabled lets the axis through.
  press(m, t, 4);
  t = run_until_stopped(m, t);
  CHECK_EQ(get32(m, t, 10), 20000);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kPositiveLimit));
  CHECK_EQ(m.write_coil(t, 'R', 13, true), 0);
  press(m, t, 4);
  t += 0.5;
  CHECK(coil(m, t, 'Y', 1));
  CHECK(get32(m, t, 10) > 20000);
  CHECK(coil(m, t, 'X', 2));
  CHECK_EQ(m.write_coil(t, 'R', 13, false), 0);  // enabled again while beyond it
  CHECK(!coil(m, t, 'Y', 1));
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kPositiveLimit));
}

void test_positioning_into_limit() {
  AxisModel m;
  set32(m, 0, 6, -25000);
  press(m, 0, 1);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), -20000);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kNegativeLimit));
}

struct SearchCase {
  std::int32_t start;
  int relay;
  bool rising;
  std::int32_t expected;
  StopSource source;
};

void test_origin_search() {
  // Window [-1000, 0]: rising = entering it (first pulse inside), falling =
  // leaving it (first pulse outside).
  const SearchCase cases[] = {
      {5000, 5, false, -1001, StopSource::kOrigin},
      {5000, 5, true, 0, StopSource::kOrigin},
      {-20000, 6, true, -1000, StopSource::kOrigin},
      {-20000, 6, false, 1, StopSource::kOrigin},
      {-500, 5, false, -1001, StopSource::kOrigin},
      {-500, 6, false, 1, StopSource::kOrigin},
      // Starting inside the window there is no rising edge ahead: a limit ends it.
      {-500, 5, true, -20000, StopSource::kNegativeLimit},
      {-500, 6, true, 20000, StopSource::kPositiveLimit},
      // Past the window, searching away from it.
      {5000, 6, false, 20000, StopSource::kPositiveLimit},
  };
  for (const SearchCase& c : cases) {
    AxisModel m;
    m.place(0, c.start);
    CHECK_EQ(m.write_coil(0, 'R', 10, c.rising), 0);
    press(m, 0, c.relay);
    CHECK(!coil(m, 0, 'R', c.relay));
    const double t = run_until_stopped(m, 0);
    CHECK_EQ(get32(m, t, 10), c.expected);
    CHECK_EQ(get32(m, t, 20), static_cast<int>(c.source));
    if (c.source == StopSource::kOrigin) CHECK(coil(m, t, 'X', 0) == c.rising);
  }
}

void test_origin_search_with_forced_sensor() {
  AxisModel m;
  press(m, 0, 6);             // positive, falling edge counts
  m.set_input(0.2, 0, true);  // rising: not the awaited edge
  CHECK(coil(m, 0.3, 'Y', 1));
  const std::int32_t at = get32(m, 0.4, 10);
  m.set_input(0.4, 0, false);
  CHECK(!coil(m, 0.4, 'Y', 1));
  CHECK_EQ(get32(m, 0.4, 20), static_cast<int>(StopSource::kOrigin));
  CHECK_EQ(get32(m, 0.4, 10), at);
}

void test_alarm_and_emergency() {
  {
    AxisModel m;
    press(m, 0, 4);
    m.set_input(0.2, 4, true);
    CHECK(!coil(m, 0.2, 'Y', 1));
    CHECK_EQ(get32(m, 0.2, 20), static_cast<int>(StopSource::kAlarm));
    press(m, 0.3, 3);  // a start under an active alarm ends at once
    CHECK(!coil(m, 0.3, 'Y', 1));
    CHECK_EQ(get32(m, 0.3, 20), static_cast<int>(StopSource::kAlarm));
    CHECK_EQ(m.write_coil(0.3, 'R', 14, true), 0);
    press(m, 0.3, 3);
    CHECK(coil(m, 0.5, 'Y', 1));
    CHECK(coil(m, 0.5, 'X', 4));
  }
  {
    AxisModel m;
    press(m, 0, 4);
    m.set_input(0.2, 3, false);  // emergency circuit opened
    CHECK(!coil(m, 0.2, 'Y', 1));
    CHECK_EQ(get32(m, 0.2, 20), static_cast<int>(StopSource::kEmergency));
    CHECK(!coil(m, 0.2, 'X', 3));
    CHECK_EQ(m.write_coil(0.2, 'R', 15, true), 0);
    press(m, 0.2, 4);
    CHECK(coil(m, 0.4, 'Y', 1));
    CHECK_EQ(m.write_coil(0.4, 'R', 15, false), 0);  // enabled again: stops at once
    CHECK(!coil(m, 0.4, 'Y', 1));
    CHECK_EQ(get32(m, 0.4, 20), static_cast<int>(StopSource::kEmergency));
    m.set_input(0.5, 3, std::nullopt);
    CHECK(coil(m, 0.5, 'X', 3));
  }
}

void test_forced_limit() {
  AxisModel m;
  press(m, 0, 4);
  m.set_input(0.1, 1, true);  // negative limit while going positive: ignored
  CHECK(coil(m, 0.2, 'Y', 1));
  m.set_input(0.2, 2, true);
  CHECK(!coil(m, 0.2, 'Y', 1));
  CHECK_EQ(get32(m, 0.2, 20), static_cast<int>(StopSource::kPositiveLimit));
  m.set_input(0.3, 2, std::nullopt);
  CHECK(!coil(m, 0.3, 'X', 2));
}

void test_encoder_follows_only_enabled_drive() {
  AxisModel m;
  set32(m, 0, 8, 1000);
  press(m, 0, 2);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), 6000);
  CHECK_EQ(get32(m, t, 12), 5000);  // drive off: the motor did not turn
  CHECK_EQ(m.write_coil(t, 'Y', 2, true), 0);
  press(m, t, 2);
  t = run_until_stopped(m, t);
  CHECK_EQ(get32(m, t, 10), 7000);
  CHECK_EQ(get32(m, t, 12), 6000);
}

void test_position_write_keeps_switches() {
  AxisModel m;
  set32(m, 0, 10, 0);  // redefine here as zero
  CHECK_EQ(get32(m, 0, 10), 0);
  CHECK_EQ(m.axis_position(0), 5000);
  press(m, 0, 3);
  double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), -25000);  // the switch did not move with the counter
  CHECK_EQ(m.axis_position(t), -20000);
  // Only the low word written: the high word of the counter is kept.
  CHECK_EQ(m.write_registers(t, 10, {5}), 0);
  CHECK_EQ(get32(m, t, 10), static_cast<std::int32_t>(0xFFFF0005u));
}

void test_status_block_matches() {
  AxisModel m;
  CHECK_EQ(m.write_coil(0, 'Y', 2, true), 0);
  CHECK_EQ(m.write_coil(0, 'Y', 15, true), 0);  // image goes negative
  press(m, 0, 3);
  const double t = 0.3;
  std::vector<std::uint16_t> block;
  CHECK_EQ(m.read_registers(t, 10, 22, &block), 0);
  auto element = [&](int k) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(block[2 * k]) |
                                     (static_cast<std::uint32_t>(block[2 * k + 1]) << 16));
  };
  CHECK_EQ(element(0), m.position(t));
  CHECK_EQ(element(1), m.position(t));  // drive on: encoder follows
  CHECK_EQ(element(2), -10000);
  const std::int32_t image = element(3);
  CHECK(image < 0);
  CHECK(((image >> 16) & 2) != 0);  // Y1 running
  CHECK(((image >> 16) & 4) != 0);  // Y2 enabled
  CHECK(((image >> 16) & 1) != 0);  // Y0: direction output for negative
  CHECK((image & 8) != 0);          // X3 healthy
  CHECK_EQ(element(4), 0);
  CHECK_EQ(element(5), get32(m, t, 20));
  for (int k = 6; k <= 10; ++k) CHECK_EQ(element(k), 0);
  const double end = run_until_stopped(m, t);
  CHECK_EQ(m.read_registers(end, 10, 22, &block), 0);
  CHECK_EQ(element(5), static_cast<int>(StopSource::kNegativeLimit));
  CHECK_EQ(element(5), get32(m, end, 20));
  CHECK((element(3) & 2) != 0);  // X1
  CHECK(((element(3) >> 16) & 2) == 0);
}

void test_direction_inversion() {
  AxisModel m;
  press(m, 0, 3);
  CHECK(coil(m, 0.1, 'Y', 0));
  press(m, 0.1, 0);
  const double t = run_until_stopped(m, 0.1);
  CHECK_EQ(m.write_coil(t, 'R', 16, true), 0);
  CHECK(!coil(m, t, 'Y', 0));
  const std::int32_t before = get32(m, t, 10);
  press(m, t, 3);
  CHECK(!coil(m, t + 0.2, 'Y', 0));
  CHECK(get32(m, t + 0.2, 10) < before);  // still travels negative
}

void test_map_errors_and_block_write() {
  AxisModel a, b;
  CHECK_EQ(a.write_registers(0, 0, words32({111, 2222, 33})), 0);
  set32(b, 0, 0, 111);
  set32(b, 0, 2, 2222);
  set32(b, 0, 4, 33);
  std::vector<std::uint16_t> wa, wb;
  CHECK_EQ(a.read_registers(0, 0, 6, &wa), 0);
  CHECK_EQ(b.read_registers(0, 0, 6, &wb), 0);
  CHECK(wa == wb);
  std::vector<std::uint16_t> w;
  CHECK_EQ(a.read_registers(0, 9999, 2, &w), proto::kErrAddressOutOfRange);
  CHECK_EQ(a.read_registers(0, 9998, 2, &w), 0);
  CHECK_EQ(a.write_registers(0, 14, words32({1})), proto::kErrReadOnly);
  CHECK_EQ(a.write_registers(0, 8, words32({1, 2, 3, 4})), proto::kErrReadOnly);
  CHECK_EQ(a.write_registers(0, 32, words32({7})), 0);
  CHECK_EQ(get32(a, 0, 32), 7);
  bool v = false;
  CHECK_EQ(a.read_coil(0, 'X', 16, &v), proto::kErrAddressOutOfRange);
  CHECK_EQ(a.write_coil(0, 'X', 1, true), proto::kErrReadOnly);
  CHECK_EQ(a.write_coil(0, 'Y', 1, true), proto::kErrReadOnly);
  CHECK_EQ(a.write_coil(0, 'Y', 16, true), proto::kErrAddressOutOfRange);
  CHECK_EQ(a.write_coil(0, 'R', 9999, true), 0);
  CHECK(coil(a, 0, 'R', 9999));
  std::uint16_t word = 0;
  CHECK_EQ(a.read_coil_word(0, 'R', 624, &word), 0);
  CHECK_EQ(word, 0x8000);
  CHECK_EQ(a.read_coil_word(0, 'X', 1, &word), proto::kErrAddressOutOfRange);
  CHECK_EQ(a.write_coil_word(0, 'X', 0, 0), proto::kErrReadOnly);
  // A command bit in a relay word is taken like a single write.
  CHECK_EQ(a.write_coil_word(0, 'R', 0, 1u << 4), 0);
  CHECK(coil(a, 0.1, 'Y', 1));
  CHECK_EQ(a.read_coil_word(0.1, 'R', 0, &word), 0);
  CHECK_EQ(word, 0);
  CHECK_EQ(a.write_coil_word(0.1, 'Y', 0, 0xFFFF), 0);  // Y0/Y1 bits are the module's
  CHECK_EQ(a.read_coil_word(0.1, 'Y', 0, &word), 0);
  CHECK_EQ(word, 0xFFFE);  // running, direction positive
}

void test_trace() {
  AxisModel m;
  m.set_trace_interval(0.05);
  set32(m, 0, 8, 3000);
  press(m, 0, 2);
  m.advance(1.0);
  const auto& trace = m.trace();
  CHECK(trace.size() >= 3);
  CHECK(trace.front().event == "start relative");
  CHECK(trace.back().event == "stop Null");
  CHECK_EQ(trace.back().position, 8000);
  CHECK(std::fabs(trace.back().time - 0.39) < 1e-9);
  for (std::size_t i = 1; i < trace.size(); ++i) {
    CHECK(trace[i].time >= trace[i - 1].time);
    CHECK(trace[i].position >= trace[i - 1].position);
  }
}

void test_geometry() {
  AxisModel m;
  Geometry g;
  g.negative_limit = 100;
  g.positive_limit = 100;
  CHECK(!m.set_geometry(0, g));
  g.positive_limit = 6000;
  CHECK(m.set_geometry(0, g));
  CHECK(!coil(m, 0, 'X', 2));
  press(m, 0, 4);
  const double t = run_until_stopped(m, 0);
  CHECK_EQ(get32(m, t, 10), 6000);
  CHECK_EQ(get32(m, t, 20), static_cast<int>(StopSource::kPositiveLimit));
}

void test_trace_sampling_is_bounded() {
  // A simulator that has run for 1e9 simulated seconds, where a step of 1e-12 s vanishes
  // in a double's resolution, and intervals far below and at the smallest the simulator
  // accepts: every advance ends, keeps at most kTraceLimit samples, in time order.
  for (double interval : {1e-300, 1e-12, mew::sim::kMinTraceInterval}) {
    const double t0 = 1e9;
    AxisModel m(t0);
    m.set_trace_interval(interval);
    press(m, t0, 4);  // jog positive
    for (double dt : {1e-9, 0.25, 0.5, 1.0}) m.advance(t0 + dt);
    const auto& trace = m.trace();
    CHECK(!trace.empty());
    CHECK(trace.size() <= AxisModel::kTraceLimit);
    for (std::size_t i = 1; i < trace.size(); ++i) CHECK(trace[i].time >= trace[i - 1].time);
    CHECK(trace.back().time <= t0 + 1.0);
    CHECK(m.moving());
  }
}

}  // namespace

int main() {
  test_fresh_state();
  test_absolute_profile();
  test_sampling_does_not_change_the_result();
  test_relative_repeats();
  test_triangle_and_zero_moves();
  test_jog_limits_and_stop();
  test_positioning_into_limit();
  test_origin_search();
  test_origin_search_with_forced_sensor();
  test_alarm_and_emergency();
  test_forced_limit();
  test_encoder_follows_only_enabled_drive();
  test_position_write_keeps_switches();
  test_status_block_matches();
  test_direction_inversion();
  test_map_errors_and_block_write();
  test_trace();
  test_trace_sampling_is_bounded();
  test_geometry();
  if (failures != 0) {
    std::printf("%d check(s) failed\n", failures);
    return 1;
  }
  std::printf("all axis model checks passed\n");
  return 0;
}
