// The rows of the controller's operations, one per Python-visible member. Each source file
// of src/controller and src/homing defines the rows of one group of operations next to
// their bodies; controller_class.cpp puts them into the class in member order.
#pragma once

#include "module/call_support.hpp"
#include "module/native_function.hpp"

namespace kov {

inline constexpr const char* kController = "KOVAxisController";

// Parameters shared by many operations.
inline constexpr Param kStation{"station", Accept::ExactInt, "int"};
// The list `status_words(station)` returns, which the input tests accept in place of a read.
inline constexpr char kStatusWordsName[] = "status_words";
inline constexpr Param kStatusWords{kStatusWordsName, Accept::OptionalExactList, "_Optional[list]",
                                    Default::none()};
inline constexpr Param kDirectionParam{"direction", Accept::Any, "Direction"};

using StationArgs = Args<kStation>;
using StationDirectionArgs = Args<kStation, kDirectionParam>;

// Lifecycle.
extern const Operation kInit, kClose, kDel, kOpen;
// Units and velocity profile.
extern const Operation kSetPpmm, kPpmm, kToPulse, kFromPulse, kSetStartVelocity, kSetVelocity,
    kSetAccelerationTime, kSetParameters;
// Positioning and jogging.
extern const Operation kStop, kSetAbsoluteTarget, kSetRelativeTarget, kLocateAbsolutely,
    kLocateRelatively, kWaitForLocatingDone, kRunPositive, kRunNegative, kEnableAxis, kDisableAxis;
// Status and position.
extern const Operation kStatusWordsOp, kGetPosition, kSetPosition, kSetHereO, kIsAlarming,
    kIsRunning, kAtO, kAtPositiveLimit, kAtNegativeLimit, kAtEmergency, kGetStopSource;
// Signal configuration and raw coil access.
extern const Operation kGetCoil, kSetCoil, kGetCoilUint16, kSetCoilUint16, kOriginRisingValid,
    kDisableNegativeLimit, kEnableNegativeLimit, kNegativeLimitIsDisabled, kDisablePositiveLimit,
    kEnablePositiveLimit, kPositiveLimitIsDisabled, kDisableAlarm, kEnableAlarm, kAlarmIsDisabled,
    kDisableEmergency, kEnableEmergency, kEmergencyIsDisabled, kReverseDirectionOutput;
// Homing procedures and the homing-method property.
extern const Operation kFindingOMethodGet, kFindingOMethodSet, kFindOStart, kFindOStage0,
    kFindOThreadFunc, kFindOOriginOnly, kFindOLimitFirstThenBackward;
// Homing control.
extern const Operation kFindO, kIsFindingO, kWaitForFindOFinish;

}  // namespace kov
