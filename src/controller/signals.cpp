// Configuration relays (origin edge, limit/alarm/emergency inputs, direction output) and
// raw coil access by name.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"

namespace kov {

namespace {

constexpr Param kName{"name", Accept::ExactStr, "str"};
constexpr Param kFlag{"value", Accept::Any, "bool"};
constexpr Param kFlagOnByDefault{"value", Accept::Any, "bool", Default::yes()};
constexpr Param kWord{"value", Accept::ExactInt, "int"};
// `enable_positive_limit` names its station `axis`: callers pass it by that keyword.
constexpr Param kAxis{"axis"};

// One relay write, then "<text>{station}".
Ref write_switch(const Call& c, PyObject* station, const device::Address& relay, bool on,
                 const char* text) {
  if (!device::set_coil(c.self(), station, relay, on ? Py_True : Py_False) ||
      !log_info(c, {text, station}))
    return {};
  return Ref::none();
}

// The station's relay `kRelay` switched to `kOn`, logged as "<kText>{station}".
template <const device::Address& kRelay, bool kOn, const char* kText>
Ref switch_relay(const StationArgs& a) {
  return write_switch(a, a.arg<kStation>(), kRelay, kOn, kText);
}

template <const device::Address& kRelay>
Ref relay_state(const StationArgs& a) {
  return device::get_coil(a.self(), a.arg<kStation>(), kRelay);
}

// Takes any object as the station: it is passed on unchanged.
Ref enable_positive_limit(const Args<kAxis>& a) {
  return write_switch(a, a.arg<kAxis>(), device::kPositiveLimitDisabled, false,
                      "Enable positive limit, station ");
}

Ref origin_rising_valid(const Args<kStation, kFlag>& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* value = a.arg<kFlag>();
  if (!device::set_coil(a.self(), station, device::kOriginRisingEdge, value)) return {};
  const int rising = PyObject_IsTrue(value);
  if (rising < 0 || !log_info(a, {"Set origin trigger edge as ", rising ? "rising" : "falling",
                                  ", station ", station}))
    return {};
  return Ref::none();
}

Ref reverse_direction_output(const Args<kStation, kFlagOnByDefault>& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* value = a.arg<kFlagOnByDefault>();
  if (!device::set_coil(a.self(), station, device::kDirectionOutputReversed, value) ||
      !log_info(a, {"Set reverse direction output to ", value, ", station ", station}))
    return {};
  return Ref::none();
}

Ref get_coil(const Args<kStation, kName>& a) {
  return device::get_coil_raw(a.self(), a.arg<kStation>(), a.arg<kName>());
}
Ref set_coil(const Args<kStation, kName, kFlag>& a) {
  if (!device::set_coil_raw(a.self(), a.arg<kStation>(), a.arg<kName>(), a.arg<kFlag>())) return {};
  return Ref::none();
}
Ref get_coil_uint16(const Args<kStation, kName>& a) {
  return device::get_coil_uint16_raw(a.self(), a.arg<kStation>(), a.arg<kName>());
}
Ref set_coil_uint16(const Args<kStation, kName, kWord>& a) {
  if (!device::set_coil_uint16_raw(a.self(), a.arg<kStation>(), a.arg<kName>(), a.arg<kWord>()))
    return {};
  return Ref::none();
}

constexpr char kDisableNegativeLimitText[] = "Disable negative limit, station ";
constexpr char kEnableNegativeLimitText[] = "Enable negative limit, station ";
constexpr char kDisablePositiveLimitText[] = "Disable positive limit, station ";
constexpr char kDisableAlarmText[] = "Disable alarm, station ";
constexpr char kEnableAlarmText[] = "Enable alarm, station ";
constexpr char kDisableEmergencyText[] = "Disable emergency, station ";
constexpr char kEnableEmergencyText[] = "Enable emergency, station ";

}  // namespace

// The raw coil operations pass the master's operations on under their names.
const Operation kGetCoil = row<get_coil>(device::master_op::kGetCoil);
const Operation kSetCoil = row<set_coil>(device::master_op::kSetCoil);
const Operation kGetCoilUint16 = row<get_coil_uint16>(device::master_op::kGetCoilUint16);
const Operation kSetCoilUint16 = row<set_coil_uint16>(device::master_op::kSetCoilUint16);

const Operation kOriginRisingValid =
    row<origin_rising_valid>("origin_rising_valid",
                             "\n\t\t设置原点检测信号是否上升沿触发。默认为下降沿触发。"
                             "\n\t\t");

const Operation kDisableNegativeLimit =
    row<switch_relay<device::kNegativeLimitDisabled, true, kDisableNegativeLimitText>>(
        "disable_negative_limit");
const Operation kEnableNegativeLimit =
    row<switch_relay<device::kNegativeLimitDisabled, false, kEnableNegativeLimitText>>(
        "enable_negative_limit");
const Operation kNegativeLimitIsDisabled =
    row<relay_state<device::kNegativeLimitDisabled>>("negative_limit_is_disabled", nullptr, "bool");

const Operation kDisablePositiveLimit =
    row<switch_relay<device::kPositiveLimitDisabled, true, kDisablePositiveLimitText>>(
        "disable_positive_limit");
const Operation kEnablePositiveLimit = row<enable_positive_limit>("enable_positive_limit");
const Operation kPositiveLimitIsDisabled =
    row<relay_state<device::kPositiveLimitDisabled>>("positive_limit_is_disabled", nullptr, "bool");

const Operation kDisableAlarm = row<switch_relay<device::kAlarmDisabled, true, kDisableAlarmText>>(
    "disable_alarm",
    "\n\t\t禁用指定轴的报警信号。禁用报警信号后，运动模块的 Alarm "
    "引脚输入信号有效也不会停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t");
const Operation kEnableAlarm = row<switch_relay<device::kAlarmDisabled, false, kEnableAlarmText>>(
    "enable_alarm",
    "\n\t\t使能指定轴的报警信号。使能后，运动模块的 Alarm "
    "引脚输入信号有效将使得运动控制模块停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t");
const Operation kAlarmIsDisabled =
    row<relay_state<device::kAlarmDisabled>>("alarm_is_disabled", nullptr, "bool");

const Operation kDisableEmergency =
    row<switch_relay<device::kEmergencyDisabled, true, kDisableEmergencyText>>(
        "disable_emergency",
        "\n\t\t禁用急停信号。禁用后，运动模块的 EMG "
        "引脚输入信号失效（急停为常闭信号）也不会停止发送脉冲。"
        "\n\t\t:param station: 控制电机轴的运动控制模块站号"
        "\n\t\t");
const Operation kEnableEmergency =
    row<switch_relay<device::kEmergencyDisabled, false, kEnableEmergencyText>>(
        "enable_emergency",
        "\n\t\t使能急停信号。使能后，运动模块的 EMG "
        "引脚输入信号失效（急停为常闭信号）将引起停止发送脉冲。"
        "\n\t\t:param station: 控制电机轴的运动控制模块站号"
        "\n\t\t");
const Operation kEmergencyIsDisabled =
    row<relay_state<device::kEmergencyDisabled>>("emergency_is_disabled", nullptr, "bool");

const Operation kReverseDirectionOutput = row<reverse_direction_output>(
    "reverse_direction_output",
    "\n\t\t反相输出方向信号。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param value: 是否反相输出。True 为反相输出，False 为正常输出（默认）"
    "\n\t\t");

}  // namespace kov
