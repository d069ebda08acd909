#pragma once

#include "module/py_ref.hpp"

namespace kov {

// Remembers a controller so that, if it is still alive when the interpreter exits, it
// stays usable through the application's own clean-up and is finalised, with its closed
// line, when the interpreter starts tearing down module globals.
bool track_controller(PyObject* module, PyObject* controller);

// Registers the exit hook; called once by module execution.
bool register_exit_finalisation(PyObject* module);

}  // namespace kov
