#pragma once

#include "module/py_ref.hpp"

namespace kov {

// The class `KOVAxisController`, created with `type` from its members in order.
Ref make_controller_class(PyObject* module);

}  // namespace kov
