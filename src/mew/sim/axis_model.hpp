// Device model of one pulse-output motion module (one station, one axis).
//
// Plain C++ with no clock of its own: every operation takes `now`, the
// simulated time in seconds, and first brings the axis up to that moment. A
// test can therefore step time exactly; the serving thread passes the scaled
// monotonic clock. Not thread-safe: the simulator serialises access.
//
// Coordinates: the axis has a mechanical position (pulses) on which the limit
// switches and the origin window sit. The position counter DT10 is that
// position plus an offset, which changes when DT10 is written (homing does
// that), so redefining the position never moves the switches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mew/sim/motion_profile.hpp"

namespace mew::sim {

enum class StopSource : std::int32_t {
  kNull = 0,
  kCommand = 1,
  kOrigin = 2,
  kNegativeLimit = 3,
  kPositiveLimit = 4,
  kAlarm = 5,
  kEmergency = 6,
};

const char* stop_source_name(StopSource source);

// Switch positions on the mechanical axis, in pulses. The negative limit input
// is on at or below `negative_limit`, the positive one at or above
// `positive_limit`, the origin input inside [origin_low, origin_high].
struct Geometry {
  std::int32_t negative_limit = -20000;
  std::int32_t positive_limit = 20000;
  std::int32_t origin_low = -1000;
  std::int32_t origin_high = 0;
};

inline constexpr std::int32_t kDefaultStartPosition = 5000;

// Trace samples every 10 ms of simulated time unless told otherwise. The shortest interval
// accepted is 1 us: a shorter one stops advancing once the simulated clock has run long
// enough for the step to vanish in a double's resolution, and floods the trace before.
inline constexpr double kDefaultTraceInterval = 0.01;
inline constexpr double kMinTraceInterval = 1e-6;

// Profile registers of a module fresh from power-up, so a move works before
// anyone writes them: start 1000 pulses/s, run 10000 pulses/s, 100 ms ramps.
inline constexpr std::uint32_t kDefaultStartRate = 1000;
inline constexpr std::uint32_t kDefaultRunRate = 10000;
inline constexpr std::uint32_t kDefaultAccelTimeMs = 100;
// Rates above this are run at this rate; a running rate of 0 runs at 1 pulse/s.
inline constexpr double kMaxPulseRate = 200000.0;

struct TraceEntry {
  double time;            // simulated seconds
  std::int32_t position;  // position counter (DT10)
  std::int32_t axis;      // mechanical position
  double velocity;        // signed pulses per second
  std::string event;      // empty for a periodic sample, else "start ..." / "stop <source>" / ...
};

// Register, relay and I/O numbers that the module gives a meaning to.
namespace reg {
inline constexpr int kStartRate = 0;
inline constexpr int kRunRate = 2;
inline constexpr int kAccelTime = 4;
inline constexpr int kAbsoluteTarget = 6;
inline constexpr int kRelativeTarget = 8;
inline constexpr int kPosition = 10;
inline constexpr int kEncoder = 12;
inline constexpr int kVelocity = 14;
inline constexpr int kIoImage = 16;
inline constexpr int kStopSource = 20;
// DT14..DT31 are status the module computes; writing them is refused.
inline constexpr int kFirstReadOnly = 14;
inline constexpr int kLastReadOnly = 31;
}  // namespace reg

namespace relay {
inline constexpr int kStop = 0;
inline constexpr int kAbsolute = 1;
inline constexpr int kRelative = 2;
inline constexpr int kJogNegative = 3;
inline constexpr int kJogPositive = 4;
inline constexpr int kSearchNegative = 5;
inline constexpr int kSearchPositive = 6;
inline constexpr int kOriginRising = 10;
inline constexpr int kNegativeLimitOff = 12;
inline constexpr int kPositiveLimitOff = 13;
inline constexpr int kAlarmOff = 14;
inline constexpr int kEmergencyOff = 15;
inline constexpr int kInvertDirection = 16;
}  // namespace relay

namespace io {
inline constexpr int kOrigin = 0;           // X0
inline constexpr int kNegativeLimit = 1;    // X1
inline constexpr int kPositiveLimit = 2;    // X2
inline constexpr int kEmergency = 3;        // X3, normally closed: on when healthy
inline constexpr int kAlarm = 4;            // X4
inline constexpr int kDirectionOutput = 0;  // Y0, driven by the module
inline constexpr int kPulsing = 1;          // Y1, driven by the module
inline constexpr int kDriveEnable = 2;      // Y2
inline constexpr int kCount = 16;
}  // namespace io

class AxisModel {
 public:
  static constexpr int kRegisterCount = 10000;  // DT0..DT9999
  static constexpr int kRelayCount = 10000;     // R0..R9999
  static constexpr std::size_t kTraceLimit = 100000;

  explicit AxisModel(double now = 0.0, const Geometry& geometry = Geometry{},
                     std::int32_t position = kDefaultStartPosition);

  // Brings the axis up to `now`. Earlier times than the last one seen are
  // taken as the last one (the model never runs backwards).
  void advance(double now);

  // ---- bus accesses: 0 on success, else a protocol error code; on error
  // nothing has changed.
  int read_registers(double now, int first, int count, std::vector<std::uint16_t>* out);
  int write_registers(double now, int first, const std::vector<std::uint16_t>& words);
  int read_coil(double now, char device, int number, bool* value);
  int write_coil(double now, char device, int number, bool value);
  int read_coil_word(double now, char device, int word, std::uint16_t* value);
  int write_coil_word(double now, char device, int word, std::uint16_t value);

  // ---- control of the surroundings (tests, users)
  // Drives input Xn. For X0..X2, a value forces the sensor and nullopt lets it
  // follow the axis geometry again; for the other inputs nullopt restores the
  // idle level (X3 on, the rest off).
  void set_input(double now, int input, std::optional<bool> value);
  // Puts the axis at a mechanical position as if the module had been switched
  // on there: the position counter and the encoder read that position too.
  // Any motion ends without a stop source change.
  void place(double now, std::int32_t position);
  // Moves the switches. Refused (false) unless negative_limit < positive_limit
  // and origin_low <= origin_high.
  bool set_geometry(double now, const Geometry& geometry);
  const Geometry& geometry() const { return geometry_; }

  // ---- observation
  bool moving() const { return motion_.has_value(); }
  std::int64_t axis_position(double now);
  std::int32_t position(double now);
  StopSource stop_source() const { return stop_source_; }
  double velocity(double now);
  bool input(double now, int n);
  bool output(double now, int n);
  double time() const { return now_; }

  // Trace of motions: a sample every `interval` simulated seconds while moving
  // (0 turns periodic samples off), plus one entry per start and stop. Whatever the
  // interval, one advance takes at most kTraceLimit samples.
  void set_trace_interval(double interval) { trace_interval_ = interval; }
  const std::deque<TraceEntry>& trace() const { return trace_; }
  void clear_trace() { trace_.clear(); }

 private:
  enum class MotionKind { kPositioning, kJog, kSearch, kStopping };

  struct Motion {
    MotionKind kind;
    int dir;              // +1 or -1
    std::int64_t origin;  // mechanical position where the motion began
    double offset;        // distance covered before `profile` began
    double t0;            // simulated time at which `profile` began
    MotionProfile profile;
    bool search_rising;         // origin search: which edge of X0 counts
    std::int64_t final_pulses;  // positioning: exact distance to cover
    double v_start;             // start rate, where a decelerating stop ends
  };

  // Effective input levels at the current state.
  bool origin_input() const;
  bool negative_limit_input() const;
  bool positive_limit_input() const;
  std::uint16_t input_word() const;
  std::uint16_t output_word() const;
  bool relay(int n) const { return relays_[static_cast<std::size_t>(n)]; }

  std::uint32_t register_u32(int n) const;
  void store_u32(int n, std::uint32_t value);
  std::int32_t counter() const;
  std::int32_t encoder() const;
  double current_velocity() const;
  // Rebuilds the computed registers DT10..DT31 from the state.
  void refresh_status_registers();

  void take_command(int relay_number);
  void start_motion(MotionKind kind, int dir, std::int64_t distance, const char* what);
  void begin_stop();
  void end_motion(double t, StopSource source);
  // Stops a motion that an input or a switch state forbids right now.
  void check_inputs();
  // Mechanical position along the current motion at time `t`.
  std::int64_t position_along(const Motion& m, double t) const;
  // The nearest pulse ahead, up to `until`, at which an enabled limit switch
  // or the awaited origin edge stops the motion.
  std::optional<std::pair<std::int64_t, StopSource>> next_event(const Motion& m,
                                                                std::int64_t until) const;
  void set_axis(std::int64_t position);
  void sample_until(double t);
  void sample(double t, const char* event);

  double now_;
  Geometry geometry_;
  std::vector<std::uint16_t> registers_;
  std::vector<bool> relays_;
  std::array<bool, io::kCount> outputs_{};
  std::array<bool, io::kCount> input_levels_{};
  std::array<std::optional<bool>, 3> forced_sensors_{};  // X0..X2
  std::int64_t axis_;                                    // mechanical position
  std::int64_t counter_offset_;  // DT10 = axis_ + counter_offset_ (mod 2^32)
  std::int64_t encoder_;
  StopSource stop_source_ = StopSource::kNull;
  std::optional<Motion> motion_;
  bool direction_negative_ = false;  // level of the direction output before R16
  bool last_origin_ = false;
  double trace_interval_ = kDefaultTraceInterval;
  double next_sample_ = 0.0;
  std::deque<TraceEntry> trace_;
};

}  // namespace mew::sim
