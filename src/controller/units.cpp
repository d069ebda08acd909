// Pulses per millimetre, the conversions, and the trapezoidal velocity profile.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

const Name kPpmmAttr{"_ppmm"};
const Name kGet{"get"};
const Name kPpmmOp{"ppmm"};
const Name kToPulseOp{"to_pulse"};

// `pulses <= _MaxPulsePerSecond`, checked only while assertions are enabled.
bool within_pulse_limit(const Call& c, PyObject* pulses) {
  if (!compat::assertions_enabled()) return true;
  Ref limit = global(c, globals::kMaxPulsePerSecond);
  if (!limit) return false;
  const int ok = PyObject_RichCompareBool(pulses, limit.get(), Py_LE);
  if (ok == 0) PyErr_SetNone(PyExc_AssertionError);
  return ok == 1;
}

// Seconds to whole milliseconds, truncated toward zero.
Ref milliseconds(double seconds) { return Ref::steal(PyLong_FromDouble(seconds * 1000.0)); }

Ref to_pulse_of(const Call& c, PyObject* station, double value) {
  Ref v = real(value);
  return v ? call_own(c, kToPulseOp, {station, v.get()}) : Ref();
}

Ref set_ppmm(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* ppmm = c.arg(2);
  if (compat::assertions_enabled()) {
    Ref zero = integer(0);
    const int is_zero = zero ? equal(ppmm, zero.get()) : -1;
    if (is_zero < 0) return {};
    if (is_zero) return assertion_failed();
  }
  Ref table = attribute(c.self(), kPpmmAttr);
  if (!table || PyObject_SetItem(table.get(), station, ppmm) < 0) return {};
  if (!log_info(c, {"Set PPMM to ", ppmm, " for station ", station})) return {};
  return Ref::none();
}

Ref ppmm(const Call& c) {
  Ref table = attribute(c.self(), kPpmmAttr);
  Ref one = integer(1);
  if (!table || !one) return {};
  return call_method(table.get(), kGet, {c.arg(1), one.get()});
}

Ref to_pulse(const Call& c) {
  Ref scale = call_own(c, kPpmmOp, {c.arg(1)});
  Ref value = scale ? real(c.real(2)) : Ref();
  Ref product = value ? Ref::steal(PyNumber_Multiply(value.get(), scale.get())) : Ref();
  return product ? Ref::steal(PyNumber_Long(product.get())) : Ref();
}

Ref from_pulse(const Call& c) {
  Ref scale = call_own(c, kPpmmOp, {c.arg(1)});
  return scale ? Ref::steal(PyNumber_TrueDivide(c.arg(2), scale.get())) : Ref();
}

// set_start_velocity and set_velocity differ only in register and wording.
Ref set_profile_velocity(const Call& c, const device::Address& reg, const char* what) {
  PyObject* station = c.arg(1);
  Ref pps = to_pulse_of(c, station, c.real(2));
  if (!pps || !within_pulse_limit(c, pps.get()) ||
      !device::set_uint32(c.self(), station, reg, pps.get()))
    return {};
  Ref velocity = real(c.real(2));
  if (!velocity || !log_info(c, {what, velocity, ", station ", station})) return {};
  return Ref::none();
}

Ref set_start_velocity(const Call& c) {
  return set_profile_velocity(c, device::kStartVelocity, "Set start velocity to ");
}

Ref set_velocity(const Call& c) {
  return set_profile_velocity(c, device::kVelocity, "Set velocity to ");
}

Ref set_acceleration_time(const Call& c) {
  PyObject* station = c.arg(1);
  Ref ms = milliseconds(c.real(2));
  if (!ms || !device::set_uint32(c.self(), station, device::kAccelerationTime, ms.get())) return {};
  Ref time = real(c.real(2));
  if (!time || !log_info(c, {"Set acceleration time to ", time, ", station ", station})) return {};
  return Ref::none();
}

Ref set_parameters(const Call& c) {
  PyObject* station = c.arg(1);
  const double start_velocity = c.real(2);
  const double velocity = c.real(3);
  const double acceleration_time = c.real(4);
  // Written so that a NaN fails each test.
  if (compat::assertions_enabled() &&
      (!(start_velocity > 0) || !(start_velocity <= velocity) || !(acceleration_time >= 0)))
    return assertion_failed();
  Ref start_pps = to_pulse_of(c, station, start_velocity);
  Ref pps = start_pps ? to_pulse_of(c, station, velocity) : Ref();
  Ref ms = pps ? milliseconds(acceleration_time) : Ref();
  if (!ms || !within_pulse_limit(c, pps.get())) return {};
  Ref parameters = Ref::steal(PyList_New(0));
  if (!parameters || PyList_Append(parameters.get(), start_pps.get()) < 0 ||
      PyList_Append(parameters.get(), pps.get()) < 0 ||
      PyList_Append(parameters.get(), ms.get()) < 0 ||
      !device::set_multi_uint32(c.self(), station, device::kStartVelocity, parameters.get()))
    return {};
  Ref sv = real(start_velocity);
  Ref v = real(velocity);
  Ref at = real(acceleration_time);
  if (!sv || !v || !at ||
      !log_info(c, {"Set (start velocity, velocity, acceleration time) to (", sv, ", ", v, ", ", at,
                    ")"}))
    return {};
  return Ref::none();
}

constexpr Param kVelocityParam{"velocity", Accept::Float, "float"};

}  // namespace

const Operation kSetPpmm{
    "set_ppmm", kController, {kStation, {"ppmm", Accept::Any, "_Union[int, float]"}},
    nullptr,    nullptr,     set_ppmm};
const Operation kPpmm{"ppmm", kController, {kStation}, nullptr, nullptr, ppmm};
const Operation kToPulse{"to_pulse", kController, {kStation, {"value", Accept::Float, "float"}},
                         nullptr,    nullptr,     to_pulse};
const Operation kFromPulse{"from_pulse", kController, {kStation, {"value"}},
                           nullptr,      nullptr,     from_pulse};
const Operation kSetStartVelocity{
    "set_start_velocity", kController, {kStation, kVelocityParam}, nullptr, nullptr,
    set_start_velocity};
const Operation kSetVelocity{"set_velocity", kController, {kStation, kVelocityParam},
                             nullptr,        nullptr,     set_velocity};
const Operation kSetAccelerationTime{"set_acceleration_time",
                                     kController,
                                     {kStation, {"time", Accept::Float, "float"}},
                                     nullptr,
                                     nullptr,
                                     set_acceleration_time};
const Operation kSetParameters{
    "set_parameters",
    kController,
    {kStation,
     {"start_velocity", Accept::Float, "float"},
     kVelocityParam,
     {"acceleration_time", Accept::Float, "float"}},
    nullptr,
    "\n\t\t设置梯形速度参数"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param start_velocity: 梯形速度曲线的起始速度。单位：mm/s"
    "\n\t\t:param velocity: 梯形速度曲线的匀速速度。单位：mm/s"
    "\n\t\t:param acceleration_time: 梯形速度曲线的加、减速时间。单位：s（秒）"
    "\n\t\t",
    set_parameters};

}  // namespace kov
