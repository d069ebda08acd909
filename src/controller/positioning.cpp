// Targets, positioning and jogging triggers, the drive enable, and waiting for a positioning.
#include "controller/operations.hpp"
#include "controller/polling.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"

namespace kov {

namespace {

constexpr Param kTarget{"target"};
constexpr Param kTargetMillimetres{"target", Accept::Float, "float"};
constexpr Param kOptionalTarget{"target", Accept::OptionalExactFloat, "_Optional[float]",
                                Default::none()};
constexpr Param kTimeout{"timeout", Accept::Float, "float", Default::real_value(0.0)};

using TargetArgs = Args<kStation, kTarget>;

Ref write_target(const TargetArgs& a, const device::Address& reg) {
  PyObject* station = a.arg<kStation>();
  Ref pulse = call_own(a, kToPulse, {station, a.arg<kTarget>()});
  if (!pulse || !device::set_int32(a.self(), station, reg, pulse.get())) return {};
  return Ref::none();
}

Ref set_absolute_target(const TargetArgs& a) { return write_target(a, device::kAbsoluteTarget); }
Ref set_relative_target(const TargetArgs& a) { return write_target(a, device::kRelativeTarget); }

// One write of a coil, then one log line: "<before>{station}<after>".
Ref command(const StationArgs& a, const device::Address& coil, bool value, const char* before,
            const char* after = "") {
  PyObject* station = a.arg<kStation>();
  if (!device::set_coil(a.self(), station, coil, value ? Py_True : Py_False)) return {};
  if (!log_info(a, {before, station, after})) return {};
  return Ref::none();
}

Ref locate_absolutely(const Args<kStation, kTargetMillimetres>& a) {
  PyObject* station = a.arg<kStation>();
  Ref target = real(a.real<kTargetMillimetres>());
  if (!target || !call_own(a, kSetAbsoluteTarget, {station, target.get()}) ||
      !device::set_coil(a.self(), station, device::kLocateAbsolutelyCommand, Py_True) ||
      !log_info(a, {"Absolutely locating with target ", target, ", station ", station}))
    return {};
  return Ref::none();
}

Ref locate_relatively(const Args<kStation, kOptionalTarget>& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* target = a.arg<kOptionalTarget>();
  // Without a target the module repeats the displacement it already holds.
  if (target != Py_None && !call_own(a, kSetRelativeTarget, {station, target})) return {};
  if (!device::set_coil(a.self(), station, device::kLocateRelativelyCommand, Py_True) ||
      !log_info(a, {"Relatively locating with target ", target, ", station ", station}))
    return {};
  return Ref::none();
}

// True once the elapsed time exceeds a positive time limit; -1 on error.
int timed_out(const Call& c, PyObject* begin, double timeout) {
  Ref now_fn = global(c, globals::kNow);
  Ref now = now_fn ? call(now_fn.get(), {}) : Ref();
  Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), begin)) : Ref();
  Ref limit = elapsed ? real(timeout) : Ref();
  if (!limit) return -1;
  const int over = PyObject_RichCompareBool(elapsed.get(), limit.get(), Py_GT);
  if (over <= 0) return over;
  return timeout > 0 ? 1 : 0;
}

Ref wait_for_locating_done(const Args<kStation, kTimeout>& a) {
  PyObject* station = a.arg<kStation>();
  const double timeout = a.real<kTimeout>();
  Ref now_fn = global(a, globals::kNow);
  Ref begin = now_fn ? call(now_fn.get(), {}) : Ref();
  if (!begin) return {};
  const bool stopped = wait_until_stopped(a, station, [&] {
    const int expired = timed_out(a, begin.get(), timeout);
    if (expired > 0) raise_text(PyExc_TimeoutError, "定位超时");
    return expired < 0 ? -1 : !expired;
  });
  if (!stopped) return {};
  Ref stop_source = call_own(a, kGetStopSource, {station});
  if (!stop_source ||
      !log_info(a, {"Station ", station, " locating done. Stop source: ", stop_source}))
    return {};
  Ref null = member(a, stop_source::kNull);
  const int failed = null ? not_equal(stop_source.get(), null.get()) : -1;
  if (failed < 0) return {};
  if (failed) return raise_pieces(PyExc_OSError, {"定位动作因故未能完成:", stop_source});
  return Ref::none();
}

Ref run_positive(const StationArgs& a) {
  return command(a, device::kRunPositiveCommand, true, "Station ", " run positive");
}
Ref run_negative(const StationArgs& a) {
  return command(a, device::kRunNegativeCommand, true, "Station ", " run negative");
}
Ref stop(const StationArgs& a) { return command(a, device::kStopCommand, true, "Stop station "); }
Ref enable_axis(const StationArgs& a) {
  return command(a, device::kAxisEnableOutput, true, "Enable axis(station) ");
}
Ref disable_axis(const StationArgs& a) {
  return command(a, device::kAxisEnableOutput, false, "Disable axis(station) ");
}

}  // namespace

const Operation kStop = row<stop>("stop");
const Operation kSetAbsoluteTarget = row<set_absolute_target>("set_absolute_target");
const Operation kSetRelativeTarget = row<set_relative_target>("set_relative_target");
const Operation kLocateAbsolutely =
    row<locate_absolutely>("locate_absolutely",
                           "\n\t\t执行绝对定位。"
                           "\n\t\t:param station: 电机控制模块的站号"
                           "\n\t\t:param target: 目标的绝对位置。单位：mm"
                           "\n\t\t");
const Operation kLocateRelatively = row<locate_relatively>(
    "locate_relatively",
    "\n\t\t执行相对定位。如果不提供目标值，将使用之前提供的相对位移值，即重复执行一次相对位移量。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 相对位移量。单位：mm"
    "\n\t\t");
const Operation kWaitForLocatingDone = row<wait_for_locating_done>(
    "wait_for_locating_done",
    "\n\t\t等待定位完成"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param timeout: "
    "等待超时参数。如果传入0，表示一直等；如果传入大于0的值，最多等待该值（单位：秒）。"
    "\n\t\t\t\t如果等待超时，抛出 Timeout 异常。"
    "\n\t\t\t\t如果定位过程中碰到限位、急停等信号，将抛出 IOError。"
    "\n\t\t");
const Operation kRunPositive =
    row<run_positive>("run_positive",
                      "\n\t\t向正方向一直前进，直到碰到正极限（如果正极限处于使能状态的话）"
                      "\n\t\t:param station: 电机控制模块的站号"
                      "\n\t\t");
const Operation kRunNegative =
    row<run_negative>("run_negative",
                      "\n\t\t向负方向一直前进，直到碰到负极限（如果负极限处于使能状态的话）"
                      "\n\t\t:param station: 电机控制模块的站号"
                      "\n\t\t");
const Operation kEnableAxis = row<enable_axis>("enable_axis",
                                               "\n\t\t使能电机轴。使能后，电机将输出力矩。"
                                               "\n\t\t:param station: 电机控制模块的站号"
                                               "\n\t\t");
const Operation kDisableAxis = row<disable_axis>(
    "disable_axis",
    "\n\t\t禁能电机轴。禁能后，电机将关闭输出力矩，对应轴将处于松弛状态，可用手轻易推动。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t");

}  // namespace kov
