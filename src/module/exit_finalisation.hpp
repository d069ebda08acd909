#pragma once

#include "module/py_ref.hpp"

namespace kov {

// Remembers a controller so that, if it is still alive when the interpreter exits, it is
// finalised while the logging machinery still works.
bool track_controller(PyObject* module, PyObject* controller);

// Registers the exit hook; called once by module execution.
bool register_exit_finalisation(PyObject* module);

}  // namespace kov
