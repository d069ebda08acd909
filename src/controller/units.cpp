// Pulses per millimetre, the conversions, and the trapezoidal velocity profile.
#include "controller/attributes.hpp"
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// `set_ppmm(station, ppmm)` sets what `ppmm(station)` answers.
constexpr char kPpmmName[] = "ppmm";
constexpr Param kPpmmParam{kPpmmName, Accept::Any, "_Union[int, float]"};
constexpr Param kValue{"value", Accept::Float, "float"};
constexpr Param kPulses{"value"};
constexpr Param kVelocity{"velocity", Accept::Float, "float"};
constexpr Param kTime{"time", Accept::Float, "float"};
constexpr Param kStartVelocity{"start_velocity", Accept::Float, "float"};
constexpr Param kAccelerationTime{"acceleration_time", Accept::Float, "float"};

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
  return v ? call_own(c, kToPulse, {station, v.get()}) : Ref();
}

Ref set_ppmm(const Args<kStation, kPpmmParam>& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* ppmm = a.arg<kPpmmParam>();
  if (compat::assertions_enabled()) {
    Ref zero = integer(0);
    const int is_zero = zero ? equal(ppmm, zero.get()) : -1;
    if (is_zero < 0) return {};
    if (is_zero) return assertion_failed();
  }
  Ref table = attribute(a.self(), attributes::kPpmm);
  if (!table || PyObject_SetItem(table.get(), station, ppmm) < 0) return {};
  if (!log_info(a, {"Set PPMM to ", ppmm, " for station ", station})) return {};
  return Ref::none();
}

Ref ppmm(const StationArgs& a) {
  Ref table = attribute(a.self(), attributes::kPpmm);
  if (!table) return {};
  if (PyDict_CheckExact(table.get())) {
    // `dict.get` itself: a plain dict's methods cannot be replaced, and the station, an
    // exact int, hashes and compares without running Python code.
    PyObject* found = PyDict_GetItemWithError(table.get(), a.arg<kStation>());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
    return integer(1);
  }
  Ref one = integer(1);
  return one ? call_method(table.get(), kGetMethod, {a.arg<kStation>(), one.get()}) : Ref();
}

Ref to_pulse(const Args<kStation, kValue>& a) {
  Ref scale = call_own(a, kPpmm, {a.arg<kStation>()});
  Ref value = scale ? real(a.real<kValue>()) : Ref();
  Ref product = value ? Ref::steal(PyNumber_Multiply(value.get(), scale.get())) : Ref();
  return product ? Ref::steal(PyNumber_Long(product.get())) : Ref();
}

Ref from_pulse(const Args<kStation, kPulses>& a) {
  Ref scale = call_own(a, kPpmm, {a.arg<kStation>()});
  return scale ? Ref::steal(PyNumber_TrueDivide(a.arg<kPulses>(), scale.get())) : Ref();
}

// set_start_velocity and set_velocity differ only in register and wording.
using VelocityArgs = Args<kStation, kVelocity>;

Ref set_profile_velocity(const VelocityArgs& a, const device::Address& reg, const char* what) {
  PyObject* station = a.arg<kStation>();
  Ref pps = to_pulse_of(a, station, a.real<kVelocity>());
  if (!pps || !within_pulse_limit(a, pps.get()) ||
      !device::set_uint32(a.self(), station, reg, pps.get()))
    return {};
  Ref velocity = real(a.real<kVelocity>());
  if (!velocity || !log_info(a, {what, velocity, ", station ", station})) return {};
  return Ref::none();
}

Ref set_start_velocity(const VelocityArgs& a) {
  return set_profile_velocity(a, device::kStartVelocity, "Set start velocity to ");
}

Ref set_velocity(const VelocityArgs& a) {
  return set_profile_velocity(a, device::kVelocity, "Set velocity to ");
}

Ref set_acceleration_time(const Args<kStation, kTime>& a) {
  PyObject* station = a.arg<kStation>();
  Ref ms = milliseconds(a.real<kTime>());
  if (!ms || !device::set_uint32(a.self(), station, device::kAccelerationTime, ms.get())) return {};
  Ref time = real(a.real<kTime>());
  if (!time || !log_info(a, {"Set acceleration time to ", time, ", station ", station})) return {};
  return Ref::none();
}

Ref set_parameters(const Args<kStation, kStartVelocity, kVelocity, kAccelerationTime>& a) {
  PyObject* station = a.arg<kStation>();
  const double start_velocity = a.real<kStartVelocity>();
  const double velocity = a.real<kVelocity>();
  const double acceleration_time = a.real<kAccelerationTime>();
  // Written so that a NaN fails each test.
  if (compat::assertions_enabled() &&
      (!(start_velocity > 0) || !(start_velocity <= velocity) || !(acceleration_time >= 0)))
    return assertion_failed();
  Ref start_pps = to_pulse_of(a, station, start_velocity);
  Ref pps = start_pps ? to_pulse_of(a, station, velocity) : Ref();
  Ref ms = pps ? milliseconds(acceleration_time) : Ref();
  if (!ms || !within_pulse_limit(a, pps.get())) return {};
  Ref parameters = Ref::steal(PyList_New(0));
  if (!parameters || PyList_Append(parameters.get(), start_pps.get()) < 0 ||
      PyList_Append(parameters.get(), pps.get()) < 0 ||
      PyList_Append(parameters.get(), ms.get()) < 0 ||
      !device::set_multi_uint32(a.self(), station, device::kStartVelocity, parameters.get()))
    return {};
  Ref sv = real(start_velocity);
  Ref v = real(velocity);
  Ref at = real(acceleration_time);
  if (!sv || !v || !at ||
      !log_info(a, {"Set (start velocity, velocity, acceleration time) to (", sv, ", ", v, ", ", at,
                    ")"}))
    return {};
  return Ref::none();
}

}  // namespace

const Operation kSetPpmm = row<set_ppmm>("set_ppmm");
const Operation kPpmm = row<ppmm>(kPpmmName);
const Operation kToPulse = row<to_pulse>("to_pulse");
const Operation kFromPulse = row<from_pulse>("from_pulse");
const Operation kSetStartVelocity = row<set_start_velocity>("set_start_velocity");
const Operation kSetVelocity = row<set_velocity>("set_velocity");
const Operation kSetAccelerationTime = row<set_acceleration_time>("set_acceleration_time");
const Operation kSetParameters =
    row<set_parameters>("set_parameters",
                        "\n\t\t设置梯形速度参数"
                        "\n\t\t:param station: 电机控制模块站号"
                        "\n\t\t:param start_velocity: 梯形速度曲线的起始速度。单位：mm/s"
                        "\n\t\t:param velocity: 梯形速度曲线的匀速速度。单位：mm/s"
                        "\n\t\t:param acceleration_time: 梯形速度曲线的加、减速时间。单位：s（秒）"
                        "\n\t\t");

}  // namespace kov
