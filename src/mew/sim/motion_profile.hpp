// Trapezoidal velocity profiles of the simulated axis, as pure functions of time.
//
// A profile is a list of phases of constant acceleration. Distances are in
// pulses (always >= 0: the direction is kept by the caller), velocities in
// pulses per second, times in seconds since the profile began. Computing the
// distance analytically (instead of integrating in ticks) makes the model give
// the same answer however often it is sampled, and lets it find the exact
// moment an axis reaches a limit switch or an origin edge.
#pragma once

#include <vector>

namespace mew::sim {

struct Phase {
  double duration;  // may be infinite for the cruise phase of a jog
  double v0;        // velocity at the start of the phase
  double accel;     // constant acceleration during the phase (negative to slow down)
};

class MotionProfile {
 public:
  MotionProfile() = default;

  // Move `distance` pulses: ramp from `v_start` to `v_run` in `accel_time`
  // seconds, cruise, ramp down in the same time, stop. A move too short to
  // reach `v_run` becomes a triangle. With no ramp (accel_time 0, or v_run not
  // above v_start) the whole move runs at v_run.
  static MotionProfile positioning(double distance, double v_start, double v_run,
                                   double accel_time);
  // Ramp up as for positioning, then cruise for ever.
  static MotionProfile run(double v_start, double v_run, double accel_time);
  // Slow down from `v_from` to `v_start` at `decel` pulses/s^2, then stop.
  // Ends at once when there is nothing to slow down (decel 0, or v_from <= v_start).
  static MotionProfile decelerate(double v_from, double v_start, double decel);

  double distance_at(double t) const;
  double velocity_at(double t) const;
  // Infinite for a jog that nobody stops.
  double duration() const;
  double total_distance() const;
  // Earliest time at which distance_at() reaches `s`; infinite if it never does.
  double time_at_distance(double s) const;
  // Acceleration of the ramps (0 when the profile has none); a stop reuses it.
  double ramp_accel() const { return ramp_accel_; }

  const std::vector<Phase>& phases() const { return phases_; }

 private:
  std::vector<Phase> phases_;
  double ramp_accel_ = 0.0;
};

}  // namespace mew::sim
