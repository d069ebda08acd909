#include "controller/controller_class.hpp"

#include "controller/operations.hpp"
#include "module/class_statement.hpp"

namespace kov {

namespace {

struct Member {
  const Operation* op;
  const Operation* setter = nullptr;  // with `op` as getter: a property
};

// The class body, in definition order; each member is stored under its row's name.
const Member kMembers[] = {
    {&kInit},
    {&kClose},
    {&kDel},
    {&kFindingOMethodGet, &kFindingOMethodSet},
    {&kOpen},
    {&kSetPpmm},
    {&kPpmm},
    {&kToPulse},
    {&kFromPulse},
    {&kStop},
    {&kSetStartVelocity},
    {&kSetVelocity},
    {&kSetAccelerationTime},
    {&kSetParameters},
    {&kSetAbsoluteTarget},
    {&kSetRelativeTarget},
    {&kLocateAbsolutely},
    {&kLocateRelatively},
    {&kWaitForLocatingDone},
    {&kRunPositive},
    {&kRunNegative},
    {&kEnableAxis},
    {&kDisableAxis},
    {&kFindOStart},
    {&kStatusWordsOp},
    {&kGetPosition},
    {&kSetPosition},
    {&kSetHereO},
    {&kIsAlarming},
    {&kIsRunning},
    {&kAtO},
    {&kAtPositiveLimit},
    {&kAtNegativeLimit},
    {&kAtEmergency},
    {&kGetStopSource},
    {&kGetCoil},
    {&kSetCoil},
    {&kGetCoilUint16},
    {&kSetCoilUint16},
    {&kFindOStage0},
    {&kFindOThreadFunc},
    {&kFindOOriginOnly},
    {&kFindOLimitFirstThenBackward},
    {&kFindO},
    {&kIsFindingO},
    {&kWaitForFindOFinish},
    {&kOriginRisingValid},
    {&kDisableNegativeLimit},
    {&kEnableNegativeLimit},
    {&kNegativeLimitIsDisabled},
    {&kDisablePositiveLimit},
    {&kEnablePositiveLimit},
    {&kPositiveLimitIsDisabled},
    {&kDisableAlarm},
    {&kEnableAlarm},
    {&kAlarmIsDisabled},
    {&kDisableEmergency},
    {&kEnableEmergency},
    {&kEmergencyIsDisabled},
    {&kReverseDirectionOutput},
};

}  // namespace

Ref make_controller_class(PyObject* module) {
  ClassStatement cls(module, kController, nullptr);
  for (const Member& m : kMembers) {
    const bool added = m.setter != nullptr ? cls.add_property(*m.op, *m.setter) : cls.add(*m.op);
    if (!added) return {};
  }
  return cls.finish();
}

}  // namespace kov
