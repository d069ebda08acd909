#include "mew/sim/axis_model.hpp"

#include <algorithm>
#include <cmath>

#include "mew/protocol/frame_codec.hpp"

namespace mew::sim {
namespace {

namespace proto = mew::protocol;

// Pulses already covered at distance `s`; the small slack keeps a distance
// that lands on a whole pulse from being counted one short by rounding.
std::int64_t whole_pulses(double s) {
  constexpr double kMaxDistance = 9.0e15;  // far beyond any real run, still exact in a double
  return static_cast<std::int64_t>(std::floor(std::min(std::max(s, 0.0), kMaxDistance) + 1e-7));
}

std::int32_t wrap32(std::int64_t value) {
  // The counters are 32-bit registers on the device: they wrap like one.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xffffffff));
}

double clamp_rate(std::uint32_t rate) { return std::min(static_cast<double>(rate), kMaxPulseRate); }

}  // namespace

const char* stop_source_name(StopSource source) {
  switch (source) {
    case StopSource::kNull:
      return "Null";
    case StopSource::kCommand:
      return "Command";
    case StopSource::kOrigin:
      return "Origin";
    case StopSource::kNegativeLimit:
      return "NegativeLimit";
    case StopSource::kPositiveLimit:
      return "PositiveLimit";
    case StopSource::kAlarm:
      return "Alarm";
    case StopSource::kEmergency:
      return "Emergency";
  }
  return "?";
}

AxisModel::AxisModel(double now, const Geometry& geometry, std::int32_t position)
    : now_(now),
      geometry_(geometry),
      registers_(kRegisterCount, 0),
      relays_(kRelayCount, false),
      axis_(position),
      counter_offset_(0),
      encoder_(position) {
  input_levels_[io::kEmergency] = true;
  store_u32(reg::kStartRate, kDefaultStartRate);
  store_u32(reg::kRunRate, kDefaultRunRate);
  store_u32(reg::kAccelTime, kDefaultAccelTimeMs);
  last_origin_ = origin_input();
  refresh_status_registers();
}

// ---- inputs, outputs, registers ------------------------------------------

bool AxisModel::origin_input() const {
  if (forced_sensors_[io::kOrigin]) return *forced_sensors_[io::kOrigin];
  return axis_ >= geometry_.origin_low && axis_ <= geometry_.origin_high;
}

bool AxisModel::negative_limit_input() const {
  if (forced_sensors_[io::kNegativeLimit]) return *forced_sensors_[io::kNegativeLimit];
  return axis_ <= geometry_.negative_limit;
}

bool AxisModel::positive_limit_input() const {
  if (forced_sensors_[io::kPositiveLimit]) return *forced_sensors_[io::kPositiveLimit];
  return axis_ >= geometry_.positive_limit;
}

std::uint16_t AxisModel::input_word() const {
  std::uint16_t word = 0;
  for (int n = 0; n < io::kCount; ++n) {
    bool on;
    if (n == io::kOrigin)
      on = origin_input();
    else if (n == io::kNegativeLimit)
      on = negative_limit_input();
    else if (n == io::kPositiveLimit)
      on = positive_limit_input();
    else
      on = input_levels_[static_cast<std::size_t>(n)];
    if (on) word = static_cast<std::uint16_t>(word | (1u << n));
  }
  return word;
}

std::uint16_t AxisModel::output_word() const {
  std::uint16_t word = 0;
  for (int n = 0; n < io::kCount; ++n) {
    bool on;
    if (n == io::kDirectionOutput)
      on = direction_negative_ != relay(relay::kInvertDirection);
    else if (n == io::kPulsing)
      on = motion_.has_value();
    else
      on = outputs_[static_cast<std::size_t>(n)];
    if (on) word = static_cast<std::uint16_t>(word | (1u << n));
  }
  return word;
}

std::uint32_t AxisModel::register_u32(int n) const {
  // 32-bit values sit low word first.
  return static_cast<std::uint32_t>(registers_[static_cast<std::size_t>(n)]) |
         (static_cast<std::uint32_t>(registers_[static_cast<std::size_t>(n) + 1]) << 16);
}

void AxisModel::store_u32(int n, std::uint32_t value) {
  registers_[static_cast<std::size_t>(n)] = static_cast<std::uint16_t>(value & 0xffff);
  registers_[static_cast<std::size_t>(n) + 1] = static_cast<std::uint16_t>(value >> 16);
}

std::int32_t AxisModel::counter() const { return wrap32(axis_ + counter_offset_); }

std::int32_t AxisModel::encoder() const { return wrap32(encoder_); }

double AxisModel::current_velocity() const {
  if (!motion_) return 0.0;
  return motion_->dir * motion_->profile.velocity_at(now_ - motion_->t0);
}

void AxisModel::refresh_status_registers() {
  store_u32(reg::kPosition, static_cast<std::uint32_t>(counter()));
  store_u32(reg::kEncoder, static_cast<std::uint32_t>(encoder()));
  store_u32(reg::kVelocity,
            static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(current_velocity()))));
  store_u32(reg::kIoImage, static_cast<std::uint32_t>(input_word()) |
                               (static_cast<std::uint32_t>(output_word()) << 16));
  store_u32(reg::kStopSource, static_cast<std::uint32_t>(stop_source_));
  for (int n = 18; n <= reg::kLastReadOnly; ++n) {
    if (n < reg::kStopSource || n > reg::kStopSource + 1)
      registers_[static_cast<std::size_t>(n)] = 0;
  }
}

// ---- bus accesses --------------------------------------------------------

int AxisModel::read_registers(double now, int first, int count, std::vector<std::uint16_t>* out) {
  if (count < 1 || count > proto::kMaxRegisterCount) return proto::kErrDataOutOfRange;
  if (first < 0 || first + count > kRegisterCount) return proto::kErrAddressOutOfRange;
  advance(now);
  refresh_status_registers();
  out->assign(registers_.begin() + first, registers_.begin() + first + count);
  return 0;
}

int AxisModel::write_registers(double now, int first, const std::vector<std::uint16_t>& words) {
  const int count = static_cast<int>(words.size());
  if (count < 1 || count > proto::kMaxRegisterCount) return proto::kErrDataOutOfRange;
  if (first < 0 || first + count > kRegisterCount) return proto::kErrAddressOutOfRange;
  const int last = first + count - 1;
  if (first <= reg::kLastReadOnly && last >= reg::kFirstReadOnly) return proto::kErrReadOnly;
  advance(now);
  // The counters are kept outside the register array; refresh first so that a
  // write of one half of a pair keeps the other half.
  refresh_status_registers();
  std::copy(words.begin(), words.end(), registers_.begin() + first);
  auto touches = [&](int n) { return first <= n + 1 && last >= n; };
  if (touches(reg::kPosition)) {
    counter_offset_ = static_cast<std::int32_t>(register_u32(reg::kPosition)) - axis_;
  }
  if (touches(reg::kEncoder)) encoder_ = static_cast<std::int32_t>(register_u32(reg::kEncoder));
  refresh_status_registers();
  return 0;
}

int AxisModel::read_coil(double now, char device, int number, bool* value) {
  if (device == 'R') {
    if (number < 0 || number >= kRelayCount) return proto::kErrAddressOutOfRange;
    *value = relay(number);
    return 0;
  }
  if (device != 'X' && device != 'Y') return proto::kErrMalformedRequest;
  if (number < 0 || number >= io::kCount) return proto::kErrAddressOutOfRange;
  advance(now);
  const std::uint16_t word = device == 'X' ? input_word() : output_word();
  *value = ((word >> number) & 1u) != 0;
  return 0;
}

int AxisModel::write_coil(double now, char device, int number, bool value) {
  if (device == 'X') {
    if (number < 0 || number >= io::kCount) return proto::kErrAddressOutOfRange;
    return proto::kErrReadOnly;
  }
  if (device == 'Y') {
    if (number < 0 || number >= io::kCount) return proto::kErrAddressOutOfRange;
    // Direction and pulse outputs are the module's own.
    if (number == io::kDirectionOutput || number == io::kPulsing) return proto::kErrReadOnly;
    advance(now);
    outputs_[static_cast<std::size_t>(number)] = value;
    return 0;
  }
  if (device != 'R') return proto::kErrMalformedRequest;
  if (number < 0 || number >= kRelayCount) return proto::kErrAddressOutOfRange;
  advance(now);
  if (number <= relay::kSearchPositive) {
    // Command relays are taken at once and so always read back off.
    if (value) take_command(number);
  } else {
    relays_[static_cast<std::size_t>(number)] = value;
    check_inputs();
  }
  refresh_status_registers();
  return 0;
}

int AxisModel::read_coil_word(double now, char device, int word, std::uint16_t* value) {
  if (device == 'R') {
    if (word < 0 || (word + 1) * 16 > kRelayCount) return proto::kErrAddressOutOfRange;
    std::uint16_t bits = 0;
    for (int k = 0; k < 16; ++k) {
      if (relay(word * 16 + k)) bits = static_cast<std::uint16_t>(bits | (1u << k));
    }
    *value = bits;
    return 0;
  }
  if (device != 'X' && device != 'Y') return proto::kErrMalformedRequest;
  if (word != 0) return proto::kErrAddressOutOfRange;
  advance(now);
  *value = device == 'X' ? input_word() : output_word();
  return 0;
}

int AxisModel::write_coil_word(double now, char device, int word, std::uint16_t value) {
  if (device == 'X') return word == 0 ? proto::kErrReadOnly : proto::kErrAddressOutOfRange;
  if (device == 'Y') {
    if (word != 0) return proto::kErrAddressOutOfRange;
    advance(now);
    // Y0 and Y1 are driven by the module: their bits are ignored so that a
    // read-modify-write of the word cannot fail on a pulse output that changed.
    for (int k = 2; k < io::kCount; ++k)
      outputs_[static_cast<std::size_t>(k)] = ((value >> k) & 1u) != 0;
    refresh_status_registers();
    return 0;
  }
  if (device != 'R') return proto::kErrMalformedRequest;
  if (word < 0 || (word + 1) * 16 > kRelayCount) return proto::kErrAddressOutOfRange;
  advance(now);
  // Switches first, so that commands in the same word see the new configuration.
  for (int k = 0; k < 16; ++k) {
    const int n = word * 16 + k;
    if (n > relay::kSearchPositive) relays_[static_cast<std::size_t>(n)] = ((value >> k) & 1u) != 0;
  }
  check_inputs();
  for (int k = 0; k < 16; ++k) {
    const int n = word * 16 + k;
    if (n <= relay::kSearchPositive && ((value >> k) & 1u) != 0) take_command(n);
  }
  refresh_status_registers();
  return 0;
}

// ---- control -------------------------------------------------------------

void AxisModel::set_input(double now, int input, std::optional<bool> value) {
  if (input < 0 || input >= io::kCount) return;
  advance(now);
  if (input < 3) {
    forced_sensors_[static_cast<std::size_t>(input)] = value;
  } else {
    input_levels_[static_cast<std::size_t>(input)] = value.value_or(input == io::kEmergency);
  }
  check_inputs();
  refresh_status_registers();
}

void AxisModel::place(double now, std::int32_t position) {
  advance(now);
  if (motion_) {
    motion_.reset();
    sample(now_, "placed");
  }
  axis_ = position;
  counter_offset_ = 0;
  encoder_ = position;
  last_origin_ = origin_input();
  refresh_status_registers();
}

bool AxisModel::set_geometry(double now, const Geometry& geometry) {
  if (geometry.negative_limit >= geometry.positive_limit) return false;
  if (geometry.origin_low > geometry.origin_high) return false;
  advance(now);
  geometry_ = geometry;
  check_inputs();
  last_origin_ = origin_input();
  refresh_status_registers();
  return true;
}

std::int64_t AxisModel::axis_position(double now) {
  advance(now);
  return axis_;
}

std::int32_t AxisModel::position(double now) {
  advance(now);
  return counter();
}

double AxisModel::velocity(double now) {
  advance(now);
  return current_velocity();
}

bool AxisModel::input(double now, int n) {
  advance(now);
  return n >= 0 && n < io::kCount && ((input_word() >> n) & 1u) != 0;
}

bool AxisModel::output(double now, int n) {
  advance(now);
  return n >= 0 && n < io::kCount && ((output_word() >> n) & 1u) != 0;
}

// ---- motion --------------------------------------------------------------

void AxisModel::take_command(int relay_number) {
  if (relay_number == relay::kStop) {
    if (motion_ && motion_->kind != MotionKind::kStopping) begin_stop();
    return;
  }
  // A module that is already pulsing ignores a new start, as real modules do.
  if (motion_) return;
  switch (relay_number) {
    case relay::kAbsolute: {
      const std::int64_t target = static_cast<std::int32_t>(register_u32(reg::kAbsoluteTarget));
      start_motion(MotionKind::kPositioning, 0, target - counter(), "start absolute");
      break;
    }
    case relay::kRelative:
      start_motion(MotionKind::kPositioning, 0,
                   static_cast<std::int32_t>(register_u32(reg::kRelativeTarget)), "start relative");
      break;
    case relay::kJogNegative:
      start_motion(MotionKind::kJog, -1, 0, "start jog negative");
      break;
    case relay::kJogPositive:
      start_motion(MotionKind::kJog, 1, 0, "start jog positive");
      break;
    case relay::kSearchNegative:
      start_motion(MotionKind::kSearch, -1, 0, "start origin search negative");
      break;
    case relay::kSearchPositive:
      start_motion(MotionKind::kSearch, 1, 0, "start origin search positive");
      break;
    default:
      break;
  }
}

void AxisModel::start_motion(MotionKind kind, int dir, std::int64_t distance, const char* what) {
  stop_source_ = StopSource::kNull;
  if (kind == MotionKind::kPositioning) {
    dir = distance < 0 ? -1 : 1;
    distance = distance < 0 ? -distance : distance;
  }
  const double v_run = std::max(clamp_rate(register_u32(reg::kRunRate)), 1.0);
  const double v_start = std::min(clamp_rate(register_u32(reg::kStartRate)), v_run);
  const double accel_time = register_u32(reg::kAccelTime) / 1000.0;
  Motion m{};
  m.kind = kind;
  m.dir = dir;
  m.origin = axis_;
  m.offset = 0.0;
  m.t0 = now_;
  m.search_rising = relay(relay::kOriginRising);
  m.final_pulses = distance;
  m.v_start = v_start;
  if (kind == MotionKind::kPositioning) {
    m.profile =
        MotionProfile::positioning(static_cast<double>(distance), v_start, v_run, accel_time);
  } else {
    m.profile = MotionProfile::run(v_start, v_run, accel_time);
  }
  direction_negative_ = dir < 0;
  sample(now_, what);
  if (kind == MotionKind::kPositioning && distance == 0) {
    // Already there: done without a single pulse.
    end_motion(now_, StopSource::kNull);
    return;
  }
  motion_ = m;
  next_sample_ = now_ + trace_interval_;
  check_inputs();
}

void AxisModel::begin_stop() {
  Motion& m = *motion_;
  const double t = now_ - m.t0;
  const double v = m.profile.velocity_at(t);
  MotionProfile ramp = MotionProfile::decelerate(v, m.v_start, m.profile.ramp_accel());
  if (ramp.phases().empty()) {
    end_motion(now_, StopSource::kCommand);
    return;
  }
  m.offset += m.profile.distance_at(t);
  m.t0 = now_;
  m.profile = ramp;
  m.kind = MotionKind::kStopping;
  sample(now_, "decelerate");
}

void AxisModel::end_motion(double t, StopSource source) {
  motion_.reset();
  stop_source_ = source;
  sample(t, (std::string("stop ") + stop_source_name(source)).c_str());
}

void AxisModel::check_inputs() {
  if (motion_) {
    const int dir = motion_->dir;
    const bool origin = origin_input();
    if (!input_levels_[io::kEmergency] && !relay(relay::kEmergencyOff)) {
      end_motion(now_, StopSource::kEmergency);
    } else if (input_levels_[io::kAlarm] && !relay(relay::kAlarmOff)) {
      end_motion(now_, StopSource::kAlarm);
    } else if (dir < 0 && negative_limit_input() && !relay(relay::kNegativeLimitOff)) {
      end_motion(now_, StopSource::kNegativeLimit);
    } else if (dir > 0 && positive_limit_input() && !relay(relay::kPositiveLimitOff)) {
      end_motion(now_, StopSource::kPositiveLimit);
    } else if (motion_->kind == MotionKind::kSearch && origin != last_origin_ &&
               origin == motion_->search_rising) {
      // A sensor that a test switches by hand: the edge counts where it happens.
      end_motion(now_, StopSource::kOrigin);
    }
  }
  last_origin_ = origin_input();
}

std::int64_t AxisModel::position_along(const Motion& m, double t) const {
  return m.origin + m.dir * whole_pulses(m.offset + m.profile.distance_at(t - m.t0));
}

std::optional<std::pair<std::int64_t, StopSource>> AxisModel::next_event(const Motion& m,
                                                                         std::int64_t until) const {
  std::optional<std::pair<std::int64_t, StopSource>> best;
  auto consider = [&](std::int64_t pulse, StopSource source) {
    const std::int64_t ahead = m.dir * (pulse - axis_);
    if (ahead <= 0 || m.dir * (until - pulse) < 0) return;
    // On a tie the limit, offered first, wins: the switch protects the machine.
    if (!best || ahead < m.dir * (best->first - axis_)) best = std::make_pair(pulse, source);
  };
  if (m.dir < 0 && !relay(relay::kNegativeLimitOff) && !forced_sensors_[io::kNegativeLimit]) {
    consider(geometry_.negative_limit, StopSource::kNegativeLimit);
  }
  if (m.dir > 0 && !relay(relay::kPositiveLimitOff) && !forced_sensors_[io::kPositiveLimit]) {
    consider(geometry_.positive_limit, StopSource::kPositiveLimit);
  }
  if (m.kind == MotionKind::kSearch && !forced_sensors_[io::kOrigin]) {
    // The origin input is on inside [low, high]. An edge happens on the first
    // pulse whose position has the new level: entering the window (rising)
    // lands on its first pulse, leaving it (falling) on the first pulse outside.
    const std::int64_t low = geometry_.origin_low;
    const std::int64_t high = geometry_.origin_high;
    if (m.dir > 0) {
      if (m.search_rising && axis_ < low) consider(low, StopSource::kOrigin);
      if (!m.search_rising && axis_ <= high) consider(high + 1, StopSource::kOrigin);
    } else {
      if (m.search_rising && axis_ > high) consider(high, StopSource::kOrigin);
      if (!m.search_rising && axis_ >= low) consider(low - 1, StopSource::kOrigin);
    }
  }
  return best;
}

void AxisModel::set_axis(std::int64_t position) {
  if (outputs_[io::kDriveEnable]) encoder_ += position - axis_;
  axis_ = position;
}

void AxisModel::sample_until(double t) {
  if (!motion_ || !(trace_interval_ > 0.0) || !(next_sample_ <= t)) return;
  const Motion& m = *motion_;
  // Sample k is due at next_sample_ + k * interval, for every k up to `due`: computed
  // from the count rather than by adding up steps, so a step that vanishes in the
  // clock's resolution cannot keep the loop from reaching `t`, and only the last
  // kTraceLimit samples (all the trace keeps) are made.
  const double due = std::floor((t - next_sample_) / trace_interval_) + 1.0;
  if (!std::isfinite(due)) {
    next_sample_ = std::nextafter(t, HUGE_VAL);
    return;
  }
  const double limit = static_cast<double>(kTraceLimit);
  const double first = due > limit ? due - limit : 0.0;
  const auto count = static_cast<std::size_t>(due - first);
  for (std::size_t i = 0; i < count; ++i) {
    const double k = first + static_cast<double>(i);
    const double ts = std::min(next_sample_ + k * trace_interval_, t);
    const std::int64_t pos = position_along(m, ts);
    trace_.push_back({ts, wrap32(pos + counter_offset_), wrap32(pos),
                      m.dir * m.profile.velocity_at(ts - m.t0), std::string()});
    if (trace_.size() > kTraceLimit) trace_.pop_front();
  }
  const double next = next_sample_ + due * trace_interval_;
  next_sample_ = next > t ? next : std::nextafter(t, HUGE_VAL);
}

void AxisModel::advance(double now) {
  if (!(now > now_)) return;  // also refuses NaN
  while (motion_) {
    Motion& m = *motion_;
    const double t_end = m.t0 + m.profile.duration();
    const double t = std::min(now, t_end);
    const bool finished = t >= t_end;
    std::int64_t target = position_along(m, t);
    if (finished && m.kind == MotionKind::kPositioning) target = m.origin + m.dir * m.final_pulses;
    if (m.dir * (target - axis_) < 0) target = axis_;
    if (auto event = next_event(m, target)) {
      const double d = static_cast<double>(m.dir * (event->first - m.origin)) - m.offset;
      const double t_event = std::min(std::max(m.t0 + m.profile.time_at_distance(d), now_), t);
      sample_until(t_event);
      set_axis(event->first);
      now_ = t_event;
      end_motion(t_event, event->second);
      break;
    }
    sample_until(t);
    set_axis(target);
    now_ = t;
    if (!finished) break;
    end_motion(t, m.kind == MotionKind::kStopping ? StopSource::kCommand : StopSource::kNull);
  }
  last_origin_ = origin_input();
  now_ = std::max(now_, now);
}

void AxisModel::sample(double t, const char* event) {
  trace_.push_back({t, counter(), wrap32(axis_), current_velocity(), event});
  if (trace_.size() > kTraceLimit) trace_.pop_front();
}

}  // namespace mew::sim
