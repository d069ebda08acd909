// Per-module state: what must survive the interpreter tearing down module globals and
// builtins at exit.
#pragma once

#include "module/py_ref.hpp"

namespace kov {

struct ModuleState {
  PyObject* open;  // the built-in `open`, captured at import for the log handler
  // The records of the module's own homing runs, by thread (a weakref.WeakKeyDictionary;
  // see homing/run_records.hpp): a homing thread may end while the module is torn down.
  PyObject* homing_runs;
};

inline ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace kov
