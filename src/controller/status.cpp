// Position, status words, input tests and the stop source.
#include "controller/operations.hpp"
#include "device/master_calls.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"

namespace kov {

namespace {

constexpr Param kPosition{"position", Accept::Float, "float"};

using StatusArgs = Args<kStation, kStatusWords>;

constexpr Py_ssize_t kStatusWordCount = 5;
constexpr Py_ssize_t kWordInputsOutputs = 3;

Ref item(PyObject* sequence, long index) {
  // A plain list answers subscription itself; anything else is asked as `sequence[index]`.
  if (PyList_CheckExact(sequence) && index >= 0 && index < PyList_GET_SIZE(sequence))
    return Ref::borrow(PyList_GET_ITEM(sequence, index));
  Ref key = integer(index);
  return key ? Ref::steal(PyObject_GetItem(sequence, key.get())) : Ref();
}

Ref status_words(const StationArgs& a) {
  PyObject* station = a.arg<kStation>();
  Ref data =
      device::get_multi_int32(a.self(), station, device::kPosition, device::kStatusBlockLength);
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
    Ref mm = pulses ? call_own(a, kFromPulse, {station, pulses.get()}) : Ref();
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

Ref get_position(const StatusArgs& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* words = a.arg<kStatusWords>();
  if (!no_words(words)) return item(words, 0);
  Ref pulses = device::get_int32(a.self(), station, device::kPosition);
  return pulses ? call_own(a, kFromPulse, {station, pulses.get()}) : Ref();
}

Ref set_position(const Args<kStation, kPosition>& a) {
  PyObject* station = a.arg<kStation>();
  Ref position = real(a.real<kPosition>());
  Ref pulse = position ? call_own(a, kToPulse, {station, position.get()}) : Ref();
  if (!pulse || !device::set_int32(a.self(), station, device::kPosition, pulse.get())) return {};
  return Ref::none();
}

Ref set_here_o(const StationArgs& a) {
  PyObject* station = a.arg<kStation>();
  Ref zero = integer(0);
  if (!zero || !call_own(a, kSetPosition, {station, zero.get()}) ||
      !log_info(a, {"Set here O for station ", station}))
    return {};
  return Ref::none();
}

// An input (or the running output): from the device, or from status word 3 when the
// caller passes the status words.
template <const device::Address& kCoil, long kMask, long kShift = 0>
Ref input_test(const StatusArgs& a) {
  static_assert(kShift >= 0 && kShift < 32 && kMask > 0 && kMask < (1L << 16),
                "the bit test below relies on a small mask and shift");
  PyObject* station = a.arg<kStation>();
  PyObject* words = a.arg<kStatusWords>();
  if (no_words(words)) return device::get_coil(a.self(), station, kCoil);
  Ref image = item(words, kWordInputsOutputs);
  if (!image) return {};
  if (PyLong_CheckExact(image.get())) {
    // An int that fits a C long: the same bits without the interpreter's arithmetic. Shifted
    // as an unsigned two's-complement value, which gives Python's bits for a negative int
    // too, the mask being far below the sign.
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(image.get(), &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred()))
      return Ref::boolean(((static_cast<unsigned long>(value) >> kShift) & kMask) != 0);
    if (PyErr_Occurred()) return {};
  }
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

Ref get_stop_source(const StationArgs& a) {
  Ref value = device::get_int32(a.self(), a.arg<kStation>(), device::kStopSource);
  return value ? by_value(a, globals::kStopSource, value.get()) : Ref();
}

}  // namespace

const Operation kStatusWordsOp = row<status_words>(
    kStatusWordsName,
    "\n\t\t读取电机状态字。状态字是包含多个（目前是3个）32位整数的列表。"
    "\n\t\tstatus_words[0]: 当前位置。"
    "\n\t\tstatus_words[1]: 当前编码器位置。"
    "\n\t\tstatus_words[2]: 当前速度。"
    "\n\t\tstatus_words[3]: 低16位：当前输入状态，即 WX0；高16位：当前输出状态，即 WY0。"
    "\n\t\tstatus_words[4]: 低16位：停止来源；值对应的意义见 class StopSource。高16位：保留。"
    "\n\t\t注意：不排除以后扩展状态字中元素的个数。"
    "\n\t\t");
const Operation kGetPosition = row<get_position>("get_position");
const Operation kSetPosition = row<set_position>(
    "set_position",
    "\n\t\t设置当前位置为制定坐标值。通常用于找原点后设置当前位置为原点坐标（0）。"
    "\n\t\t:param station: 电机控制模块站号。"
    "\n\t\t:param position: 坐标值。单位：mm"
    "\n\t\t");
const Operation kSetHereO = row<set_here_o>("set_here_o",
                                            "\n\t\t设置当前位置为坐标原点。"
                                            "\n\t\t:param station: 电机控制模块的站号。"
                                            "\n\t\t");
const Operation kIsAlarming = row<input_test<device::kAlarmInput, device::kAlarmMask>>(
    "is_alarming",
    "\n\t\t判断电机轴是否在报警。"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param status_words: "
    "电机状态字。如果提供了，将从状态字中提取报警状态；否则，从控制模块读取最新值"
    "\n\t\t:return: True 如果电机报警；否则，False"
    "\n\t\t");
const Operation kIsRunning =
    row<input_test<device::kRunningOutput, device::kRunningMask, device::kOutputShift>>(
        "is_running",
        "\n\t\t判断电机轴当前是否正处于发脉冲运动状态。"
        "\n\t\t:param station: 电机控制模块的站号"
        "\n\t\t:param status_words: 电机状态字"
        "\n\t\t:return: True 如果正在发脉冲；否则，False"
        "\n\t\t");
const Operation kAtO = row<input_test<device::kOriginInput, device::kOriginMask>>("at_o");
const Operation kAtPositiveLimit =
    row<input_test<device::kPositiveLimitInput, device::kPositiveLimitMask>>("at_positive_limit");
const Operation kAtNegativeLimit =
    row<input_test<device::kNegativeLimitInput, device::kNegativeLimitMask>>("at_negative_limit");
const Operation kAtEmergency =
    row<input_test<device::kEmergencyInput, device::kEmergencyMask>>("at_emergency");
const Operation kGetStopSource = row<get_stop_source>("get_stop_source", nullptr, "StopSource");

}  // namespace kov
