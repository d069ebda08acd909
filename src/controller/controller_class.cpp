#include "controller/controller_class.hpp"

#include "controller/operations.hpp"
#include "module/call_support.hpp"

namespace kov {

namespace {

struct Member {
  const char* key;  // the class attribute; a private name appears mangled
  const Operation* op;
  const Operation* setter = nullptr;  // with `op` as getter: a property
};

const Member kMembers[] = {
    {"__init__", &kInit},
    {"close", &kClose},
    {"__del__", &kDel},
    {"finding_o_method", &kFindingOMethodGet, &kFindingOMethodSet},
    {"open", &kOpen},
    {"set_ppmm", &kSetPpmm},
    {"ppmm", &kPpmm},
    {"to_pulse", &kToPulse},
    {"from_pulse", &kFromPulse},
    {"stop", &kStop},
    {"set_start_velocity", &kSetStartVelocity},
    {"set_velocity", &kSetVelocity},
    {"set_acceleration_time", &kSetAccelerationTime},
    {"set_parameters", &kSetParameters},
    {"set_absolute_target", &kSetAbsoluteTarget},
    {"set_relative_target", &kSetRelativeTarget},
    {"locate_absolutely", &kLocateAbsolutely},
    {"locate_relatively", &kLocateRelatively},
    {"wait_for_locating_done", &kWaitForLocatingDone},
    {"run_positive", &kRunPositive},
    {"run_negative", &kRunNegative},
    {"enable_axis", &kEnableAxis},
    {"disable_axis", &kDisableAxis},
    {"_find_o", &kFindOStart},
    {"status_words", &kStatusWordsOp},
    {"get_position", &kGetPosition},
    {"set_position", &kSetPosition},
    {"set_here_o", &kSetHereO},
    {"is_alarming", &kIsAlarming},
    {"is_running", &kIsRunning},
    {"at_o", &kAtO},
    {"at_positive_limit", &kAtPositiveLimit},
    {"at_negative_limit", &kAtNegativeLimit},
    {"at_emergency", &kAtEmergency},
    {"get_stop_source", &kGetStopSource},
    {"get_coil", &kGetCoil},
    {"set_coil", &kSetCoil},
    {"get_coil_uint16", &kGetCoilUint16},
    {"set_coil_uint16", &kSetCoilUint16},
    {"_KOVAxisController__find_o_stage_0", &kFindOStage0},
    {"_find_o_thread_func", &kFindOThreadFunc},
    {"_find_o_origin_only", &kFindOOriginOnly},
    {"_find_o_thread_func_limit_first_then_backward", &kFindOLimitFirstThenBackward},
    {"find_o", &kFindO},
    {"is_finding_o", &kIsFindingO},
    {"wait_for_find_o_finish", &kWaitForFindOFinish},
    {"origin_rising_valid", &kOriginRisingValid},
    {"disable_negative_limit", &kDisableNegativeLimit},
    {"enable_negative_limit", &kEnableNegativeLimit},
    {"negative_limit_is_disabled", &kNegativeLimitIsDisabled},
    {"disable_positive_limit", &kDisablePositiveLimit},
    {"enable_positive_limit", &kEnablePositiveLimit},
    {"positive_limit_is_disabled", &kPositiveLimitIsDisabled},
    {"disable_alarm", &kDisableAlarm},
    {"enable_alarm", &kEnableAlarm},
    {"alarm_is_disabled", &kAlarmIsDisabled},
    {"disable_emergency", &kDisableEmergency},
    {"enable_emergency", &kEnableEmergency},
    {"emergency_is_disabled", &kEmergencyIsDisabled},
    {"reverse_direction_output", &kReverseDirectionOutput},
};

Ref make_member(const Member& m, PyObject* module) {
  Ref getter = make_function(*m.op, module);
  if (!getter || m.setter == nullptr) return getter;
  Ref setter = make_function(*m.setter, module);
  if (!setter) return {};
  return call(reinterpret_cast<PyObject*>(&PyProperty_Type), {getter.get(), setter.get()});
}

}  // namespace

Ref make_controller_class(PyObject* module) {
  Ref ns = Ref::steal(PyDict_New());
  Ref name = Ref::steal(PyUnicode_FromString(kController));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  // A class statement's namespace starts with these two.
  if (!ns || !name || !module_name || !bases ||
      PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0)
    return {};
  for (const Member& m : kMembers) {
    Ref value = make_member(m, module);
    if (!value || PyDict_SetItemString(ns.get(), m.key, value.get()) < 0) return {};
  }
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), ns.get()});
}

}  // namespace kov
