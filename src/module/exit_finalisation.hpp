#pragma once

#include "module/py_ref.hpp"

namespace kov {

// Remembers a controller so that, if it is still alive when the interpreter exits, it
// stays usable through the application's own clean-up (exit handlers, finalisers of its
// objects) and is finalised after it, while its closed line can still be logged.
bool track_controller(PyObject* module, PyObject* controller);

// Registers the exit hook; called once by module execution.
bool register_exit_finalisation(PyObject* module);

}  // namespace kov
