// The module's integer enumerations, each member declared once: the enumeration is built
// from these declarations and the operations look the members up through them.
#pragma once

#include "module/call_support.hpp"

namespace kov {

struct EnumMember {
  const Name& enumeration;  // the module global that holds the enumeration
  Name name;
  long value;
};

namespace direction {
inline const EnumMember kNegative{globals::kDirection, Name("Negative"), -1};
inline const EnumMember kPositive{globals::kDirection, Name("Positive"), 1};
}  // namespace direction

namespace stop_source {
inline const EnumMember kNull{globals::kStopSource, Name("Null"), 0};
inline const EnumMember kCommand{globals::kStopSource, Name("Command"), 1};
inline const EnumMember kOrigin{globals::kStopSource, Name("Origin"), 2};
inline const EnumMember kNegativeLimit{globals::kStopSource, Name("NegativeLimit"), 3};
inline const EnumMember kPositiveLimit{globals::kStopSource, Name("PositiveLimit"), 4};
inline const EnumMember kAlarm{globals::kStopSource, Name("Alarm"), 5};
inline const EnumMember kEmergency{globals::kStopSource, Name("Emergency"), 6};
}  // namespace stop_source

namespace finding_o_method {
inline const EnumMember kLimitFirstThenBackward{globals::kFindingOMethod,
                                                Name("LimitFirstThenBackward"), 0};
inline const EnumMember kOriginOnly{globals::kFindingOMethod, Name("OriginOnly"), 1};
}  // namespace finding_o_method

// `Enumeration.member`, the enumeration taken from the module's current globals.
Ref member(const Call& c, const EnumMember& m);
// `value == Enumeration.member` as an `if` statement evaluates it; -1 on error.
int is(const Call& c, PyObject* value, const EnumMember& m);

// `Enumeration(value)`, the enumeration taken from the module's current globals.
Ref by_value(const Call& c, const Name& enumeration, PyObject* value);

// `Direction.reverse`: the opposite direction.
extern const Operation kReverse;

// Binds `Direction`, `StopSource` and `FindingOMethod` in the module, in this order.
bool add_enumerations(PyObject* module);

}  // namespace kov
