// The homing procedures that run on a homing thread, and the homing-method property.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

const Name kMethodAttr{"_finding_o_method"};
const Name kMethodProperty{"finding_o_method"};
const Name kNegative{"Negative"};
const Name kPositive{"Positive"};
const Name kOrigin{"Origin"};
const Name kPositiveLimit{"PositiveLimit"};
const Name kNegativeLimit{"NegativeLimit"};
const Name kLimitFirstThenBackward{"LimitFirstThenBackward"};
const Name kOriginOnly{"OriginOnly"};
const Name kReverse{"reverse"};
const Name kIsRunningOp{"is_running"};
const Name kGetStopSourceOp{"get_stop_source"};
const Name kSetHereOOp{"set_here_o"};
const Name kAtPositiveLimitOp{"at_positive_limit"};
const Name kAtNegativeLimitOp{"at_negative_limit"};
const Name kRunPositiveOp{"run_positive"};
const Name kRunNegativeOp{"run_negative"};
const Name kFindOOp{"_find_o"};
const Name kStage0Op{"_KOVAxisController__find_o_stage_0"};
const Name kLimitFirstOp{"_find_o_thread_func_limit_first_then_backward"};
const Name kOriginOnlyOp{"_find_o_origin_only"};

constexpr double kPollPeriod = 0.01;  // seconds

// `Enumeration.member` from the module's current globals.
Ref member(const Call& c, const Name& enumeration, const Name& name) {
  Ref e = global(c, enumeration);
  return e ? attribute(e.get(), name) : Ref();
}

// `a == Enumeration.member`; -1 on error.
int is(const Call& c, PyObject* value, const Name& enumeration, const Name& name) {
  Ref m = member(c, enumeration, name);
  return m ? equal(value, m.get()) : -1;
}

Ref finding_o_method_get(const Call& c) { return attribute(c.self(), kMethodAttr); }

Ref finding_o_method_set(const Call& c) {
  PyObject* value = c.arg(1);
  if (compat::assertions_enabled()) {
    Ref methods = global(c, globals::kFindingOMethod);
    const int known = methods ? PyObject_IsInstance(value, methods.get()) : -1;
    if (known < 0) return {};
    if (!known) return raise_pieces(PyExc_AssertionError, {"未知的找原点方式值：", value});
  }
  PyObject* key = kMethodAttr.get();
  if (key == nullptr || PyObject_SetAttr(c.self(), key, value) < 0 ||
      !log_info(c, {"Set finding o method to ", value}))
    return {};
  return Ref::none();
}

// Polls the running state every poll period until the module stops; no time limit.
bool wait_until_stopped(const Call& c, PyObject* station) {
  for (;;) {
    Ref running = call_own(c, kIsRunningOp, {station});
    const int moving = running ? PyObject_IsTrue(running.get()) : -1;
    if (moving <= 0) return moving == 0;
    Ref sleep = global(c, globals::kSleep);
    Ref period = sleep ? real(kPollPeriod) : Ref();
    if (!period || !call(sleep.get(), {period.get()})) return false;
  }
}

Ref find_o_start(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* direction = c.arg(2);
  const int negative = is(c, direction, globals::kDirection, kNegative);
  if (negative < 0) return {};
  const device::Address& coil =
      negative ? device::kFindOriginNegativeCommand : device::kFindOriginPositiveCommand;
  if (!device::set_coil(c.self(), station, coil, Py_True) ||
      !log_info(c, {"Start finding O for station ", station, ", direction ", direction}))
    return {};
  return Ref::none();
}

// Stage 0: drive to the limit switch of `direction` (every direction but Positive counts as
// negative); an IOError unless the motion stopped on that limit.
Ref find_o_stage_0(const Call& c) {
  PyObject* station = c.arg(1);
  const int positive = is(c, c.arg(2), globals::kDirection, kPositive);
  if (positive < 0) return {};
  Ref at_limit = call_own(c, positive ? kAtPositiveLimitOp : kAtNegativeLimitOp, {station});
  const int there = at_limit ? PyObject_IsTrue(at_limit.get()) : -1;
  if (there < 0) return {};
  if (there) return Ref::none();
  if (!call_own(c, positive ? kRunPositiveOp : kRunNegativeOp, {station})) return {};
  Ref expected = member(c, globals::kStopSource, positive ? kPositiveLimit : kNegativeLimit);
  if (!expected || !wait_until_stopped(c, station)) return {};
  Ref stop_source = call_own(c, kGetStopSourceOp, {station});
  if (!stop_source ||
      !log_info(c, {"Station ", station, ", finding O stage 0 stop, source: ", stop_source}))
    return {};
  const int unexpected = not_equal(stop_source.get(), expected.get());
  if (unexpected < 0) return {};
  if (unexpected) return raise_pieces(PyExc_OSError, {"找原点阶段一，因故停机:", stop_source});
  return Ref::none();
}

// Runs the origin search in `direction`, waits, and sets the origin on stop source Origin.
bool search_origin(const Call& c, PyObject* direction, const char* stopped_text,
                   const char* failure_text) {
  PyObject* station = c.arg(1);
  if (!call_own(c, kFindOOp, {station, direction}) || !wait_until_stopped(c, station)) return false;
  Ref stop_source = call_own(c, kGetStopSourceOp, {station});
  if (!stop_source || !log_info(c, {"Station ", station, stopped_text, stop_source})) return false;
  const int on_origin = is(c, stop_source.get(), globals::kStopSource, kOrigin);
  if (on_origin < 0) return false;
  if (!on_origin) {
    raise_pieces(PyExc_OSError, {failure_text, stop_source});
    return false;
  }
  return static_cast<bool>(call_own(c, kSetHereOOp, {station}));
}

// A strategy ends quietly on any Exception: the outcome is read from the module's stop
// source when the run is collected. Interrupts and exit requests still pass.
Ref guarded(bool ok) {
  if (ok || !PyErr_ExceptionMatches(PyExc_Exception)) return ok ? Ref::none() : Ref();
  PyErr_Clear();
  return Ref::none();
}

Ref find_o_limit_first_then_backward(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* direction = c.arg(2);
  Ref reversed;
  const bool ok = call_own(c, kStage0Op, {station, direction}) &&
                  (reversed = call_method(direction, kReverse, {})) &&
                  search_origin(c, reversed.get(),
                                ", finding O stage 1 stopped, source: ", "找原点阶段二，因故停机:");
  return guarded(ok);
}

Ref find_o_origin_only(const Call& c) {
  return guarded(search_origin(c, c.arg(2),
                               ", finding O(origin only) stopped, source: ", "找原点，因故停机:"));
}

// The thread's entry point. The method is read again for each test, as the property
// may change meanwhile.
Ref find_o_thread_func(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* direction = c.arg(2);
  Ref method = attribute(c.self(), kMethodProperty);
  if (!method || !log_info(c, {"Finding o started, method ", method, ", station ", station}))
    return {};
  method = attribute(c.self(), kMethodProperty);
  int chosen = method ? is(c, method.get(), globals::kFindingOMethod, kLimitFirstThenBackward) : -1;
  if (chosen < 0) return {};
  if (chosen) return call_own(c, kLimitFirstOp, {station, direction}) ? Ref::none() : Ref();
  method = attribute(c.self(), kMethodProperty);
  chosen = method ? is(c, method.get(), globals::kFindingOMethod, kOriginOnly) : -1;
  if (chosen < 0) return {};
  if (chosen) return call_own(c, kOriginOnlyOp, {station, direction}) ? Ref::none() : Ref();
  return Ref::none();
}

constexpr Param kDirectionParam{"direction", Accept::Any, "Direction"};

}  // namespace

const Operation kFindingOMethodGet{"finding_o_method", kController, {},
                                   "FindingOMethod",   nullptr,     finding_o_method_get};
const Operation kFindingOMethodSet{
    "finding_o_method",  kController, {{"value", Accept::Any, "FindingOMethod"}}, nullptr, nullptr,
    finding_o_method_set};
const Operation kFindOStart{"_find_o", kController, {kStation, kDirectionParam},
                            nullptr,   nullptr,     find_o_start};
const Operation kFindOStage0{
    "__find_o_stage_0", kController, {kStation, kDirectionParam}, nullptr, nullptr, find_o_stage_0};
const Operation kFindOThreadFunc{
    "_find_o_thread_func", kController, {kStation, kDirectionParam}, nullptr, nullptr,
    find_o_thread_func};
const Operation kFindOOriginOnly{
    "_find_o_origin_only", kController, {kStation, kDirectionParam}, nullptr, nullptr,
    find_o_origin_only};
const Operation kFindOLimitFirstThenBackward{"_find_o_thread_func_limit_first_then_backward",
                                             kController,
                                             {kStation, kDirectionParam},
                                             nullptr,
                                             nullptr,
                                             find_o_limit_first_then_backward};

}  // namespace kov
