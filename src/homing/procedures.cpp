// The homing procedures that run on a homing thread, and the homing-method property.
#include "controller/attributes.hpp"
#include "controller/operations.hpp"
#include "controller/polling.hpp"
#include "device/master_calls.hpp"
#include "homing/run_records.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// The property's getter and setter are both named for it.
constexpr char kFindingOMethodName[] = "finding_o_method";

constexpr Param kMethodValue{"value", Accept::Any, "FindingOMethod"};

Ref finding_o_method_get(const Args<>& a) {
  return attribute(a.self(), attributes::kFindingOMethod);
}

Ref finding_o_method_set(const Args<kMethodValue>& a) {
  PyObject* value = a.arg<kMethodValue>();
  if (compat::assertions_enabled()) {
    Ref methods = global(a, globals::kFindingOMethod);
    const int known = methods ? PyObject_IsInstance(value, methods.get()) : -1;
    if (known < 0) return {};
    if (!known) return raise_pieces(PyExc_AssertionError, {"未知的找原点方式值：", value});
  }
  if (!set_attribute(a.self(), attributes::kFindingOMethod, value) ||
      !log_info(a, {"Set finding o method to ", value}))
    return {};
  return Ref::none();
}

Ref find_o_start(const StationDirectionArgs& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* direction = a.arg<kDirectionParam>();
  const int negative = is(a, direction, direction::kNegative);
  if (negative < 0) return {};
  const device::Address& coil =
      negative ? device::kFindOriginNegativeCommand : device::kFindOriginPositiveCommand;
  if (!device::set_coil(a.self(), station, coil, Py_True) ||
      !log_info(a, {"Start finding O for station ", station, ", direction ", direction}))
    return {};
  return Ref::none();
}

// Stage 0: drive to the limit switch of `direction` (every direction but Positive counts as
// negative); an IOError unless the motion stopped on that limit.
Ref find_o_stage_0(const StationDirectionArgs& a) {
  PyObject* station = a.arg<kStation>();
  const int positive = is(a, a.arg<kDirectionParam>(), direction::kPositive);
  if (positive < 0) return {};
  Ref at_limit = call_own(a, positive ? kAtPositiveLimit : kAtNegativeLimit, {station});
  const int there = at_limit ? PyObject_IsTrue(at_limit.get()) : -1;
  if (there < 0) return {};
  if (there) return Ref::none();
  if (!call_own(a, positive ? kRunPositive : kRunNegative, {station})) return {};
  Ref expected = member(a, positive ? stop_source::kPositiveLimit : stop_source::kNegativeLimit);
  if (!expected || !wait_until_stopped(a, station)) return {};
  Ref stop_source = call_own(a, kGetStopSource, {station});
  if (!stop_source ||
      !log_info(a, {"Station ", station, ", finding O stage 0 stop, source: ", stop_source}))
    return {};
  const int unexpected = not_equal(stop_source.get(), expected.get());
  if (unexpected < 0) return {};
  if (unexpected) return raise_pieces(PyExc_OSError, {"找原点阶段一，因故停机:", stop_source});
  return Ref::none();
}

// Runs the origin search in `direction`, waits, and sets the origin on stop source Origin.
bool search_origin(const StationDirectionArgs& a, PyObject* direction, const char* stopped_text,
                   const char* failure_text) {
  PyObject* station = a.arg<kStation>();
  if (!call_own(a, kFindOStart, {station, direction}) || !wait_until_stopped(a, station))
    return false;
  Ref stop_source = call_own(a, kGetStopSource, {station});
  if (!stop_source || !log_info(a, {"Station ", station, stopped_text, stop_source})) return false;
  const int on_origin = is(a, stop_source.get(), stop_source::kOrigin);
  if (on_origin < 0) return false;
  if (!on_origin) {
    raise_pieces(PyExc_OSError, {failure_text, stop_source});
    return false;
  }
  return static_cast<bool>(call_own(a, kSetHereO, {station}));
}

// A strategy ends quietly on any Exception: the outcome is read from the module's stop
// source when the run is collected. Interrupts and exit requests still pass. Either way
// the run's record keeps that a step raised: the origin was not set, though the stop source
// may still show Origin (the failed step was set_here_o, or an earlier run's stop).
Ref guarded(const Call& c, bool ok) {
  if (ok) return Ref::none();
  homing::note_failure(c);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
  PyErr_Clear();
  return Ref::none();
}

Ref find_o_limit_first_then_backward(const StationDirectionArgs& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* direction = a.arg<kDirectionParam>();
  Ref reversed;
  const bool ok = call_own(a, kFindOStage0, {station, direction}) &&
                  (reversed = call_method(direction, kReverse, {})) &&
                  search_origin(a, reversed.get(),
                                ", finding O stage 1 stopped, source: ", "找原点阶段二，因故停机:");
  return guarded(a, ok);
}

Ref find_o_origin_only(const StationDirectionArgs& a) {
  return guarded(a,
                 search_origin(a, a.arg<kDirectionParam>(),
                               ", finding O(origin only) stopped, source: ", "找原点，因故停机:"));
}

// The method is read again for each test, as the property may change meanwhile.
Ref run_chosen_strategy(const StationDirectionArgs& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* direction = a.arg<kDirectionParam>();
  Ref method = attribute(a.self(), kFindingOMethodGet.key);
  if (!method || !log_info(a, {"Finding o started, method ", method, ", station ", station}))
    return {};
  method = attribute(a.self(), kFindingOMethodGet.key);
  int chosen = method ? is(a, method.get(), finding_o_method::kLimitFirstThenBackward) : -1;
  if (chosen < 0) return {};
  if (chosen)
    return call_own(a, kFindOLimitFirstThenBackward, {station, direction}) ? Ref::none() : Ref();
  method = attribute(a.self(), kFindingOMethodGet.key);
  chosen = method ? is(a, method.get(), finding_o_method::kOriginOnly) : -1;
  if (chosen < 0) return {};
  if (chosen) return call_own(a, kFindOOriginOnly, {station, direction}) ? Ref::none() : Ref();
  return Ref::none();
}

// The thread's entry point. Whatever ends the run, it says so in its record last.
Ref find_o_thread_func(const StationDirectionArgs& a) {
  Ref done = run_chosen_strategy(a);
  if (!done) homing::note_failure(a);
  homing::note_end(a);
  return done;
}

}  // namespace

const Operation kFindingOMethodGet =
    row<finding_o_method_get>(kFindingOMethodName, nullptr, "FindingOMethod");
const Operation kFindingOMethodSet = row<finding_o_method_set>(kFindingOMethodName);
const Operation kFindOStart = row<find_o_start>("_find_o");
const Operation kFindOStage0 = row<find_o_stage_0>("__find_o_stage_0");
const Operation kFindOThreadFunc = row<find_o_thread_func>("_find_o_thread_func");
const Operation kFindOOriginOnly = row<find_o_origin_only>("_find_o_origin_only");
const Operation kFindOLimitFirstThenBackward =
    row<find_o_limit_first_then_backward>("_find_o_thread_func_limit_first_then_backward");

}  // namespace kov
