// Configuration relays (origin edge, limit/alarm/emergency inputs, direction output) and
// raw coil access by name.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"

namespace kov {

namespace {

// One relay write, then "<text>{station}".
Ref write_switch(const Call& c, const device::Address& relay, bool on, const char* text) {
  PyObject* station = c.arg(1);
  if (!device::set_coil(c.self(), station, relay, on ? Py_True : Py_False) ||
      !log_info(c, {text, station}))
    return {};
  return Ref::none();
}

Ref origin_rising_valid(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* value = c.arg(2);
  if (!device::set_coil(c.self(), station, device::kOriginRisingEdge, value)) return {};
  const int rising = PyObject_IsTrue(value);
  if (rising < 0 || !log_info(c, {"Set origin trigger edge as ", rising ? "rising" : "falling",
                                  ", station ", station}))
    return {};
  return Ref::none();
}

Ref reverse_direction_output(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* value = c.arg(2);
  if (!device::set_coil(c.self(), station, device::kDirectionOutputReversed, value) ||
      !log_info(c, {"Set reverse direction output to ", value, ", station ", station}))
    return {};
  return Ref::none();
}

Ref get_coil(const Call& c) { return device::get_coil_raw(c.self(), c.arg(1), c.arg(2)); }
Ref set_coil(const Call& c) {
  if (!device::set_coil_raw(c.self(), c.arg(1), c.arg(2), c.arg(3))) return {};
  return Ref::none();
}
Ref get_coil_uint16(const Call& c) {
  return device::get_coil_uint16_raw(c.self(), c.arg(1), c.arg(2));
}
Ref set_coil_uint16(const Call& c) {
  if (!device::set_coil_uint16_raw(c.self(), c.arg(1), c.arg(2), c.arg(3))) return {};
  return Ref::none();
}

constexpr Param kName{"name", Accept::ExactStr, "str"};

}  // namespace

const Operation kGetCoil{"get_coil", kController, {kStation, kName}, nullptr, nullptr, get_coil};
const Operation kSetCoil{"set_coil", kController, {kStation, kName, {"value", Accept::Any, "bool"}},
                         nullptr,    nullptr,     set_coil};
const Operation kGetCoilUint16{"get_coil_uint16", kController, {kStation, kName},
                               nullptr,           nullptr,     get_coil_uint16};
const Operation kSetCoilUint16{
    "set_coil_uint16", kController, {kStation, kName, {"value", Accept::ExactInt, "int"}},
    nullptr,           nullptr,     set_coil_uint16};

const Operation kOriginRisingValid{"origin_rising_valid",
                                   kController,
                                   {kStation, {"value", Accept::Any, "bool"}},
                                   nullptr,
                                   "\n\t\t设置原点检测信号是否上升沿触发。默认为下降沿触发。"
                                   "\n\t\t",
                                   origin_rising_valid};

const Operation kDisableNegativeLimit{
    "disable_negative_limit", kController, {kStation}, nullptr, nullptr, [](const Call& c) {
      return write_switch(c, device::kNegativeLimitDisabled, true,
                          "Disable negative limit, station ");
    }};
const Operation kEnableNegativeLimit{
    "enable_negative_limit", kController, {kStation}, nullptr, nullptr, [](const Call& c) {
      return write_switch(c, device::kNegativeLimitDisabled, false,
                          "Enable negative limit, station ");
    }};
const Operation kNegativeLimitIsDisabled{
    "negative_limit_is_disabled", kController, {kStation}, "bool", nullptr, [](const Call& c) {
      return device::get_coil(c.self(), c.arg(1), device::kNegativeLimitDisabled);
    }};

const Operation kDisablePositiveLimit{
    "disable_positive_limit", kController, {kStation}, nullptr, nullptr, [](const Call& c) {
      return write_switch(c, device::kPositiveLimitDisabled, true,
                          "Disable positive limit, station ");
    }};
// Takes any object as `axis` and passes it on as the station, as it always has.
const Operation kEnablePositiveLimit{
    "enable_positive_limit", kController, {{"axis"}}, nullptr, nullptr, [](const Call& c) {
      return write_switch(c, device::kPositiveLimitDisabled, false,
                          "Enable positive limit, station ");
    }};
const Operation kPositiveLimitIsDisabled{
    "positive_limit_is_disabled", kController, {kStation}, "bool", nullptr, [](const Call& c) {
      return device::get_coil(c.self(), c.arg(1), device::kPositiveLimitDisabled);
    }};

const Operation kDisableAlarm{"disable_alarm",
                              kController,
                              {kStation},
                              nullptr,
                              "\n\t\t禁用指定轴的报警信号。禁用报警信号后，运动模块的 Alarm "
                              "引脚输入信号有效也不会停止发送脉冲。"
                              "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
                              "\n\t\t",
                              [](const Call& c) {
                                return write_switch(c, device::kAlarmDisabled, true,
                                                    "Disable alarm, station ");
                              }};
const Operation kEnableAlarm{"enable_alarm",
                             kController,
                             {kStation},
                             nullptr,
                             "\n\t\t使能指定轴的报警信号。使能后，运动模块的 Alarm "
                             "引脚输入信号有效将使得运动控制模块停止发送脉冲。"
                             "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
                             "\n\t\t",
                             [](const Call& c) {
                               return write_switch(c, device::kAlarmDisabled, false,
                                                   "Enable alarm, station ");
                             }};
const Operation kAlarmIsDisabled{
    "alarm_is_disabled", kController, {kStation}, "bool", nullptr, [](const Call& c) {
      return device::get_coil(c.self(), c.arg(1), device::kAlarmDisabled);
    }};

const Operation kDisableEmergency{"disable_emergency",
                                  kController,
                                  {kStation},
                                  nullptr,
                                  "\n\t\t禁用急停信号。禁用后，运动模块的 EMG "
                                  "引脚输入信号失效（急停为常闭信号）也不会停止发送脉冲。"
                                  "\n\t\t:param station: 控制电机轴的运动控制模块站号"
                                  "\n\t\t",
                                  [](const Call& c) {
                                    return write_switch(c, device::kEmergencyDisabled, true,
                                                        "Disable emergency, station ");
                                  }};
const Operation kEnableEmergency{"enable_emergency",
                                 kController,
                                 {kStation},
                                 nullptr,
                                 "\n\t\t使能急停信号。使能后，运动模块的 EMG "
                                 "引脚输入信号失效（急停为常闭信号）将引起停止发送脉冲。"
                                 "\n\t\t:param station: 控制电机轴的运动控制模块站号"
                                 "\n\t\t",
                                 [](const Call& c) {
                                   return write_switch(c, device::kEmergencyDisabled, false,
                                                       "Enable emergency, station ");
                                 }};
const Operation kEmergencyIsDisabled{
    "emergency_is_disabled", kController, {kStation}, "bool", nullptr, [](const Call& c) {
      return device::get_coil(c.self(), c.arg(1), device::kEmergencyDisabled);
    }};

const Operation kReverseDirectionOutput{
    "reverse_direction_output",
    kController,
    {kStation, {"value", Accept::Any, "bool", Default::yes()}},
    nullptr,
    "\n\t\t反相输出方向信号。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param value: 是否反相输出。True 为反相输出，False 为正常输出（默认）"
    "\n\t\t",
    reverse_direction_output};

}  // namespace kov
