// Position, status words, input tests and the stop source.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"

namespace kov {

namespace {

const Name kFromPulseOp{"from_pulse"};
const Name kToPulseOp{"to_pulse"};
const Name kSetPositionOp{"set_position"};

constexpr Py_ssize_t kStatusWordCount = 5;
constexpr Py_ssize_t kWordInputsOutputs = 3;

Ref item(PyObject* sequence, long index) {
  // A plain list answers subscription itself; anything else is asked as `sequence[index]`.
  if (PyList_CheckExact(sequence) && index >= 0 && index < PyList_GET_SIZE(sequence))
    return Ref::borrow(PyList_GET_ITEM(sequence, index));
  Ref key = integer(index);
  return key ? Ref::steal(PyObject_GetItem(sequence, key.get())) : Ref();
}

Ref status_words(const Call& c) {
  PyObject* station = c.arg(1);
  Ref data =
      device::get_multi_int32(c.self(), station, device::kPosition, device::kStatusBlockLength);
  Ref words = data ? Ref::steal(PyList_New(kStatusWordCount)) : Ref();
  if (!words) return {};
  for (Py_ssize_t i = 0; i < kStatusWordCount; ++i) {
    PyObject* zero = PyLong_FromLong(0);
    if (zero == nullptr) return {};
    PyList_SET_ITEM(words.get(), i, zero);
  }
  const long converted[] = {device::kBlockPosition, device::kBlockEncoderPosition,
                            device::kBlockVelocity};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    Ref pulses = item(data.get(), converted[i]);
    Ref mm = pulses ? call_own(c, kFromPulseOp, {station, pulses.get()}) : Ref();
    if (!mm || PyList_SetItem(words.get(), i, mm.release()) < 0) return {};
  }
  Ref io = item(data.get(), device::kBlockInputsOutputs);
  if (!io || PyList_SetItem(words.get(), kWordInputsOutputs, io.release()) < 0) return {};
  Ref stop = item(data.get(), device::kBlockStopSource);
  Ref mask = stop ? integer(device::kStopSourceCodeMask) : Ref();
  Ref code = mask ? Ref::steal(PyNumber_And(stop.get(), mask.get())) : Ref();
  if (!code || PyList_SetItem(words.get(), 4, code.release()) < 0) return {};
  return words;
}

// None and the empty list both mean "read the device".
bool no_words(PyObject* words) { return words == Py_None || PyList_GET_SIZE(words) == 0; }

Ref get_position(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* words = c.arg(2);
  if (!no_words(words)) return item(words, 0);
  Ref pulses = device::get_int32(c.self(), station, device::kPosition);
  return pulses ? call_own(c, kFromPulseOp, {station, pulses.get()}) : Ref();
}

Ref set_position(const Call& c) {
  PyObject* station = c.arg(1);
  Ref position = real(c.real(2));
  Ref pulse = position ? call_own(c, kToPulseOp, {station, position.get()}) : Ref();
  if (!pulse || !device::set_int32(c.self(), station, device::kPosition, pulse.get())) return {};
  return Ref::none();
}

Ref set_here_o(const Call& c) {
  PyObject* station = c.arg(1);
  Ref zero = integer(0);
  if (!zero || !call_own(c, kSetPositionOp, {station, zero.get()}) ||
      !log_info(c, {"Set here O for station ", station}))
    return {};
  return Ref::none();
}

// An input (or the running output): from the device, or from status word 3 when the
// caller passes the status words.
template <const device::Address& kCoil, long kMask, long kShift = 0>
Ref input_test(const Call& c) {
  PyObject* station = c.arg(1);
  PyObject* words = c.arg(2);
  if (no_words(words)) return device::get_coil(c.self(), station, kCoil);
  Ref image = item(words, kWordInputsOutputs);
  if (!image) return {};
  if (kShift != 0) {
    Ref shift = integer(kShift);
    image = shift ? Ref::steal(PyNumber_Rshift(image.get(), shift.get())) : Ref();
    if (!image) return {};
  }
  Ref mask = integer(kMask);
  Ref bits = mask ? Ref::steal(PyNumber_And(image.get(), mask.get())) : Ref();
  Ref zero = bits ? integer(0) : Ref();
  const int set = zero ? not_equal(bits.get(), zero.get()) : -1;
  if (set < 0) return {};
  return Ref::boolean(set != 0);
}

Ref get_stop_source(const Call& c) {
  Ref value = device::get_int32(c.self(), c.arg(1), device::kStopSource);
  Ref stop_sources = value ? global(c, globals::kStopSource) : Ref();
  return stop_sources ? call(stop_sources.get(), {value.get()}) : Ref();
}

}  // namespace

const Operation kStatusWordsOp{
    "status_words",
    kController,
    {kStation},
    nullptr,
    "\n\t\t读取电机状态字。状态字是包含多个（目前是3个）32位整数的列表。"
    "\n\t\tstatus_words[0]: 当前位置。"
    "\n\t\tstatus_words[1]: 当前编码器位置。"
    "\n\t\tstatus_words[2]: 当前速度。"
    "\n\t\tstatus_words[3]: 低16位：当前输入状态，即 WX0；高16位：当前输出状态，即 WY0。"
    "\n\t\tstatus_words[4]: 低16位：停止来源；值对应的意义见 class StopSource。高16位：保留。"
    "\n\t\t注意：不排除以后扩展状态字中元素的个数。"
    "\n\t\t",
    status_words};
const Operation kGetPosition{"get_position", kController, {kStation, kStatusWords},
                             nullptr,        nullptr,     get_position};
const Operation kSetPosition{
    "set_position",
    kController,
    {kStation, {"position", Accept::Float, "float"}},
    nullptr,
    "\n\t\t设置当前位置为制定坐标值。通常用于找原点后设置当前位置为原点坐标（0）。"
    "\n\t\t:param station: 电机控制模块站号。"
    "\n\t\t:param position: 坐标值。单位：mm"
    "\n\t\t",
    set_position};
const Operation kSetHereO{"set_here_o",
                          kController,
                          {kStation},
                          nullptr,
                          "\n\t\t设置当前位置为坐标原点。"
                          "\n\t\t:param station: 电机控制模块的站号。"
                          "\n\t\t",
                          set_here_o};
const Operation kIsAlarming{
    "is_alarming",
    kController,
    {kStation, kStatusWords},
    nullptr,
    "\n\t\t判断电机轴是否在报警。"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param status_words: "
    "电机状态字。如果提供了，将从状态字中提取报警状态；否则，从控制模块读取最新值"
    "\n\t\t:return: True 如果电机报警；否则，False"
    "\n\t\t",
    input_test<device::kAlarmInput, device::kAlarmMask>};
const Operation kIsRunning{
    "is_running",
    kController,
    {kStation, kStatusWords},
    nullptr,
    "\n\t\t判断电机轴当前是否正处于发脉冲运动状态。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param status_words: 电机状态字"
    "\n\t\t:return: True 如果正在发脉冲；否则，False"
    "\n\t\t",
    input_test<device::kRunningOutput, device::kRunningMask, device::kOutputShift>};
const Operation kAtO{"at_o",  kController, {kStation, kStatusWords},
                     nullptr, nullptr,     input_test<device::kOriginInput, device::kOriginMask>};
const Operation kAtPositiveLimit{
    "at_positive_limit",
    kController,
    {kStation, kStatusWords},
    nullptr,
    nullptr,
    input_test<device::kPositiveLimitInput, device::kPositiveLimitMask>};
const Operation kAtNegativeLimit{
    "at_negative_limit",
    kController,
    {kStation, kStatusWords},
    nullptr,
    nullptr,
    input_test<device::kNegativeLimitInput, device::kNegativeLimitMask>};
const Operation kAtEmergency{
    "at_emergency", kController, {kStation, kStatusWords},
    nullptr,        nullptr,     input_test<device::kEmergencyInput, device::kEmergencyMask>};
const Operation kGetStopSource{"get_stop_source", kController, {kStation},
                               "StopSource",      nullptr,     get_stop_source};

}  // namespace kov
