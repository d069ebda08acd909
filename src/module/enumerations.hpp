#pragma once

#include "module/py_ref.hpp"

namespace kov {

// Binds `Direction`, `StopSource` and `FindingOMethod` in the module, in this order.
bool add_enumerations(PyObject* module);

}  // namespace kov
