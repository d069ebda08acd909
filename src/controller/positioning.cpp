// Targets, positioning and jogging triggers, the drive enable, and waiting for a positioning.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"

namespace kov {

namespace {

const Name kToPulseOp{"to_pulse"};
const Name kSetAbsoluteTargetOp{"set_absolute_target"};
const Name kSetRelativeTargetOp{"set_relative_target"};
const Name kIsRunningOp{"is_running"};
const Name kGetStopSourceOp{"get_stop_source"};
const Name kNull{"Null"};

constexpr double kPollPeriod = 0.01;  // seconds

Ref write_target(const Call& c, const device::Address& reg) {
  PyObject* station = c.arg(1);
  Ref pulse = call_own(c, kToPulseOp, {station, c.arg(2)});
  if (!pulse || !device::set_int32(c.self(), station, reg, pulse.get())) return {};
  return Ref::none();
}

Ref set_absolute_target(const Call& c) { return write_target(c, device::kAbsoluteTarget); }
Ref set_relative_target(const Call& c) { return write_target(c, device::kRelativeTarget); }

// One write of a coil, then one log line: "<before>{station}<after>".
Ref command(const Call& c, const device::Address& coil, bool value, const char* before,
            const char* after = "") {
  PyObject* station = c.arg(1);
  if (!device::set_coil(c.self(), station, coil, value ? Py_True : Py_False)) return {};
  if (!log_info(c, {before, station, after})) return {};
  return Ref::none();
}

Ref locate_absolutely(const Call& c) {
  PyObject* station = c.arg(1);
  Ref target = real(c.real(2));
  if (!target || !call_own(c, kSetAbsoluteTargetOp, {station, target.get()}) ||
      !device::set_coil(c.self(), station, device::kLocateAbsolutelyCommand, Py_True) ||
      !log_info(c, {"Absolutely locating with target ", target, ", station ", station}))
    return {};
  return Ref::none();
}

Ref locate_relatively(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* target = c.arg(2);
  // Without a target the module repeats the displacement it already holds.
  if (target != Py_None && !call_own(c, kSetRelativeTargetOp, {station, target})) return {};
  if (!device::set_coil(c.self(), station, device::kLocateRelativelyCommand, Py_True) ||
      !log_info(c, {"Relatively locating with target ", target, ", station ", station}))
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

Ref wait_for_locating_done(const Call& c) {
  PyObject* station = c.arg(1);
  const double timeout = c.real(2);
  Ref now_fn = global(c, globals::kNow);
  Ref begin = now_fn ? call(now_fn.get(), {}) : Ref();
  if (!begin) return {};
  for (;;) {
    Ref running = call_own(c, kIsRunningOp, {station});
    const int moving = running ? PyObject_IsTrue(running.get()) : -1;
    if (moving < 0) return {};
    if (!moving) break;
    const int expired = timed_out(c, begin.get(), timeout);
    if (expired < 0) return {};
    if (expired) return raise_text(PyExc_TimeoutError, "定位超时");
    Ref sleep = global(c, globals::kSleep);
    Ref period = sleep ? real(kPollPeriod) : Ref();
    if (!period || !call(sleep.get(), {period.get()})) return {};
  }
  Ref stop_source = call_own(c, kGetStopSourceOp, {station});
  if (!stop_source ||
      !log_info(c, {"Station ", station, " locating done. Stop source: ", stop_source}))
    return {};
  Ref stop_sources = global(c, globals::kStopSource);
  Ref null = stop_sources ? attribute(stop_sources.get(), kNull) : Ref();
  const int failed = null ? not_equal(stop_source.get(), null.get()) : -1;
  if (failed < 0) return {};
  if (failed) return raise_pieces(PyExc_OSError, {"定位动作因故未能完成:", stop_source});
  return Ref::none();
}

Ref run_positive(const Call& c) {
  return command(c, device::kRunPositiveCommand, true, "Station ", " run positive");
}
Ref run_negative(const Call& c) {
  return command(c, device::kRunNegativeCommand, true, "Station ", " run negative");
}
Ref stop(const Call& c) { return command(c, device::kStopCommand, true, "Stop station "); }
Ref enable_axis(const Call& c) {
  return command(c, device::kAxisEnableOutput, true, "Enable axis(station) ");
}
Ref disable_axis(const Call& c) {
  return command(c, device::kAxisEnableOutput, false, "Disable axis(station) ");
}

}  // namespace

const Operation kStop{"stop", kController, {kStation}, nullptr, nullptr, stop};
const Operation kSetAbsoluteTarget{
    "set_absolute_target", kController, {kStation, {"target"}}, nullptr, nullptr,
    set_absolute_target};
const Operation kSetRelativeTarget{
    "set_relative_target", kController, {kStation, {"target"}}, nullptr, nullptr,
    set_relative_target};
const Operation kLocateAbsolutely{"locate_absolutely",
                                  kController,
                                  {kStation, {"target", Accept::Float, "float"}},
                                  nullptr,
                                  "\n\t\t执行绝对定位。"
                                  "\n\t\t:param station: 电机控制模块的站号"
                                  "\n\t\t:param target: 目标的绝对位置。单位：mm"
                                  "\n\t\t",
                                  locate_absolutely};
const Operation kLocateRelatively{
    "locate_relatively",
    kController,
    {kStation, {"target", Accept::OptionalExactFloat, "_Optional[float]", Default::none()}},
    nullptr,
    "\n\t\t执行相对定位。如果不提供目标值，将使用之前提供的相对位移值，即重复执行一次相对位移量。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 相对位移量。单位：mm"
    "\n\t\t",
    locate_relatively};
const Operation kWaitForLocatingDone{
    "wait_for_locating_done",
    kController,
    {kStation, {"timeout", Accept::Float, "float", Default::real_value(0.0)}},
    nullptr,
    "\n\t\t等待定位完成"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param timeout: "
    "等待超时参数。如果传入0，表示一直等；如果传入大于0的值，最多等待该值（单位：秒）。"
    "\n\t\t\t\t如果等待超时，抛出 Timeout 异常。"
    "\n\t\t\t\t如果定位过程中碰到限位、急停等信号，将抛出 IOError。"
    "\n\t\t",
    wait_for_locating_done};
const Operation kRunPositive{"run_positive",
                             kController,
                             {kStation},
                             nullptr,
                             "\n\t\t向正方向一直前进，直到碰到正极限（如果正极限处于使能状态的话）"
                             "\n\t\t:param station: 电机控制模块的站号"
                             "\n\t\t",
                             run_positive};
const Operation kRunNegative{"run_negative",
                             kController,
                             {kStation},
                             nullptr,
                             "\n\t\t向负方向一直前进，直到碰到负极限（如果负极限处于使能状态的话）"
                             "\n\t\t:param station: 电机控制模块的站号"
                             "\n\t\t",
                             run_negative};
const Operation kEnableAxis{"enable_axis",
                            kController,
                            {kStation},
                            nullptr,
                            "\n\t\t使能电机轴。使能后，电机将输出力矩。"
                            "\n\t\t:param station: 电机控制模块的站号"
                            "\n\t\t",
                            enable_axis};
const Operation kDisableAxis{
    "disable_axis",
    kController,
    {kStation},
    nullptr,
    "\n\t\t禁能电机轴。禁能后，电机将关闭输出力矩，对应轴将处于松弛状态，可用手轻易推动。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t",
    disable_axis};

}  // namespace kov
