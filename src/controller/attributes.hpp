// The controller's instance attributes, each named here once.
#pragma once

#include "module/call_support.hpp"

namespace kov::attributes {

// The master (None while closed): the private `__mew`, stored under its mangled name.
inline const Name kMaster{"_KOVAxisController__mew"};
// Stored as given to the constructor's parameter of the same name.
inline constexpr char kBaudrateName[] = "baudrate";
inline const Name kBaudrate{kBaudrateName};
inline const Name kPpmm{"_ppmm"};                        // station -> pulses per millimetre
inline const Name kFindOThreads{"_find_o_threads"};      // station -> homing thread
inline const Name kFindingOMethod{"_finding_o_method"};  // behind the property

}  // namespace kov::attributes

namespace kov {

// The controller's master as it is bound now: a master replaced by `open` takes effect at
// once, and a closed controller gives None.
inline Ref master_of(PyObject* controller) { return attribute(controller, attributes::kMaster); }

}  // namespace kov
