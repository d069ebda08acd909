// Waiting for a station's motion to end, as positioning and homing both wait.
#pragma once

#include "controller/operations.hpp"

namespace kov {

// Seconds between two reads of the running state.
inline constexpr double kPollPeriod = 0.01;

// Calls `is_running(station)` until it is false, pausing one poll period through the
// module's `_sleep` between calls. Before each pause `check()` runs: a positive result goes
// on, any other ends the wait with the exception the check has set. False, with an
// exception set, on any failure.
template <class Check>
bool wait_until_stopped(const Call& c, PyObject* station, Check check) {
  for (;;) {
    Ref running = call_own(c, kIsRunning, {station});
    const int moving = running ? PyObject_IsTrue(running.get()) : -1;
    if (moving <= 0) return moving == 0;
    if (check() <= 0) return false;
    // A Ctrl-C that came during the read may have been left for the interpreter to act on
    // at its next instruction, which this loop never reaches: act on it here.
    if (PyErr_CheckSignals() != 0) return false;
    Ref sleep = global(c, globals::kSleep);
    Ref period = sleep ? real(kPollPeriod) : Ref();
    if (!period || !call(sleep.get(), {period.get()})) return false;
  }
}

inline bool wait_until_stopped(const Call& c, PyObject* station) {
  return wait_until_stopped(c, station, [] { return 1; });
}

}  // namespace kov
