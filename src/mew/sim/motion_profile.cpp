#include "mew/sim/motion_profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mew::sim {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double phase_distance(const Phase& phase, double t) {
  return phase.v0 * t + 0.5 * phase.accel * t * t;
}

double phase_length(const Phase& phase) {
  return std::isinf(phase.duration) ? kInfinity : phase_distance(phase, phase.duration);
}

}  // namespace

MotionProfile MotionProfile::positioning(double distance, double v_start, double v_run,
                                         double accel_time) {
  MotionProfile profile;
  if (distance <= 0.0 || v_run <= 0.0) return profile;
  v_start = std::min(v_start, v_run);
  if (accel_time <= 0.0 || v_run <= v_start) {
    profile.phases_.push_back({distance / v_run, v_run, 0.0});
    return profile;
  }
  const double accel = (v_run - v_start) / accel_time;
  profile.ramp_accel_ = accel;
  const double ramp = (v_run * v_run - v_start * v_start) / (2.0 * accel);
  if (2.0 * ramp <= distance) {
    profile.phases_.push_back({accel_time, v_start, accel});
    const double cruise = (distance - 2.0 * ramp) / v_run;
    if (cruise > 0.0) profile.phases_.push_back({cruise, v_run, 0.0});
    profile.phases_.push_back({accel_time, v_run, -accel});
  } else {
    // Too short to reach the running rate: turn round at the rate where the
    // up-ramp and the down-ramp together cover the distance.
    const double peak = std::sqrt(v_start * v_start + accel * distance);
    const double t = (peak - v_start) / accel;
    profile.phases_.push_back({t, v_start, accel});
    profile.phases_.push_back({t, peak, -accel});
  }
  return profile;
}

MotionProfile MotionProfile::run(double v_start, double v_run, double accel_time) {
  MotionProfile profile;
  if (v_run <= 0.0) return profile;
  v_start = std::min(v_start, v_run);
  if (accel_time > 0.0 && v_run > v_start) {
    profile.ramp_accel_ = (v_run - v_start) / accel_time;
    profile.phases_.push_back({accel_time, v_start, profile.ramp_accel_});
  }
  profile.phases_.push_back({kInfinity, v_run, 0.0});
  return profile;
}

MotionProfile MotionProfile::decelerate(double v_from, double v_start, double decel) {
  MotionProfile profile;
  if (decel <= 0.0 || v_from <= v_start) return profile;
  profile.ramp_accel_ = decel;
  profile.phases_.push_back({(v_from - v_start) / decel, v_from, -decel});
  return profile;
}

double MotionProfile::distance_at(double t) const {
  double s = 0.0;
  for (const Phase& phase : phases_) {
    if (t < phase.duration) return s + phase_distance(phase, std::max(t, 0.0));
    s += phase_length(phase);
    t -= phase.duration;
  }
  return s;
}

double MotionProfile::velocity_at(double t) const {
  if (t < 0.0) return 0.0;
  for (const Phase& phase : phases_) {
    if (t < phase.duration) return phase.v0 + phase.accel * t;
    t -= phase.duration;
  }
  return 0.0;
}

double MotionProfile::duration() const {
  double total = 0.0;
  for (const Phase& phase : phases_) total += phase.duration;
  return total;
}

double MotionProfile::total_distance() const {
  double total = 0.0;
  for (const Phase& phase : phases_) total += phase_length(phase);
  return total;
}

double MotionProfile::time_at_distance(double s) const {
  if (s <= 0.0) return 0.0;
  double elapsed = 0.0;
  for (const Phase& phase : phases_) {
    const double length = phase_length(phase);
    if (s <= length) {
      double t;
      if (phase.accel == 0.0) {
        t = phase.v0 > 0.0 ? s / phase.v0 : kInfinity;
      } else {
        // Smaller root of accel/2 t^2 + v0 t - s = 0; the discriminant cannot be
        // negative inside the phase, clamp the rounding that says otherwise.
        const double disc = std::max(phase.v0 * phase.v0 + 2.0 * phase.accel * s, 0.0);
        t = (-phase.v0 + std::sqrt(disc)) / phase.accel;
      }
      return elapsed + std::min(std::max(t, 0.0), phase.duration);
    }
    s -= length;
    elapsed += phase.duration;
  }
  return kInfinity;
}

}  // namespace mew::sim
