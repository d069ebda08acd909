// Per-module state: what must survive the interpreter tearing down module globals and
// builtins at exit.
#pragma once

#include "module/py_ref.hpp"

namespace kov {

struct ModuleState {
  PyObject* open;              // the built-in `open`, captured at import for the log handler
  PyObject* live_controllers;  // list of weak references, in creation order
};

inline ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace kov
